// The panel's calls into the Windows shell, each behind a replaceable
// handler: the notification icon, starting the Windows sound settings, and
// opening the About link. The defaults call the shell; a host without a
// shell (a test under Wine, which has no notification area) puts its own in.
// Message boxes go through the toolkit's handler (widgets/toolkit.h).
#pragma once

#include <windows.h>
#include <shellapi.h>

namespace tqm::panel {

struct ShellHandlers {
  // Shell_NotifyIconW: NIM_ADD or NIM_DELETE with the panel's record.
  BOOL (*notifyIcon)(DWORD message, NOTIFYICONDATAW* data);
  // Starts a program line with the normal show state.
  BOOL (*startProgram)(const wchar_t* commandLine);
  // Opens a document or address with the "open" verb.
  void (*shellOpen)(HWND owner, const wchar_t* target);
};

ShellHandlers DefaultShellHandlers();
// Installs handlers (null members take the defaults); returns the previous ones.
ShellHandlers SetShellHandlers(const ShellHandlers& handlers);
const ShellHandlers& Shell();

}  // namespace tqm::panel
