#include "shell_hooks.h"

#include <cwchar>

namespace tqm::panel {
namespace {

BOOL NotifyIconDefault(DWORD message, NOTIFYICONDATAW* data) { return Shell_NotifyIconW(message, data); }

BOOL StartProgramDefault(const wchar_t* commandLine) {
  // CreateProcessW may write into its command line.
  wchar_t line[MAX_PATH];
  lstrcpynW(line, commandLine, MAX_PATH);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return FALSE;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return TRUE;
}

void ShellOpenDefault(HWND owner, const wchar_t* target) {
  ShellExecuteW(owner, L"open", target, nullptr, nullptr, SW_SHOWDEFAULT);
}

ShellHandlers g_handlers = DefaultShellHandlers();

}  // namespace

ShellHandlers DefaultShellHandlers() { return {NotifyIconDefault, StartProgramDefault, ShellOpenDefault}; }

ShellHandlers SetShellHandlers(const ShellHandlers& handlers) {
  const ShellHandlers previous = g_handlers;
  const ShellHandlers defaults = DefaultShellHandlers();
  g_handlers.notifyIcon = handlers.notifyIcon ? handlers.notifyIcon : defaults.notifyIcon;
  g_handlers.startProgram = handlers.startProgram ? handlers.startProgram : defaults.startProgram;
  g_handlers.shellOpen = handlers.shellOpen ? handlers.shellOpen : defaults.shellOpen;
  return previous;
}

const ShellHandlers& Shell() { return g_handlers; }

}  // namespace tqm::panel
