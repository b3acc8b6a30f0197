// TQMPanel.exe's entry point.
#include <windows.h>
#include <shellapi.h>

#include "panel_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const int code = tqm::panel::RunPanel(instance, argc, argv);
  if (argv) LocalFree(argv);
  return code;
}
