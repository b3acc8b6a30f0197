// Screenshots of TQMPanel on the simulated machine (scripts/panel-shots):
// the panel itself, in this process, against a `tqm27sim serve`, with a
// stream client of the driver's own commands playing the device's sine
// input. Each scene is captured from the screen into OUTDIR/<name>.bmp:
//   panel-streaming  the device present, a stream running, meters lit
//   latency-menu     the latency submenu, opened as a popup beside the panel
//   latency-refused  the refusal box after choosing 96 while the stream runs
//   about            the About dialog
//   inner-route      the InnerROUTE window with two cables
//   panel-absent     the panel after the device was pulled out
// Usage: panel_shots OUTDIR
//
// With --running it photographs a TQMPanel that runs in a process of its own
// (scripts/demo): it waits for the panel's window, switches its level meters
// on through the panel's own menu command when the driver has them off,
// shows the panel as a second start would and writes OUTDIR/ready (the
// panel has finished its start, load and forced apply included, so a host
// started now is not overtaken by them); then it waits until a stream client
// is active on the driver, lets the panel follow the stream for SETTLEMS and
// captures it into OUTDIR/NAME.bmp.
// Usage: panel_shots --running OUTDIR NAME SETTLEMS
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "panel/devicelink/device_link.h"
#include "panel/panel_app.h"
#include "panel/resource_ids.h"
#include "panel/shell_hooks.h"
#include "platform/bridge/tqmsim/control.h"
#include "toolkit.h"
#include "tqm/command_record.h"
#include "tqm/mixer_settings.h"

namespace {

using namespace tqm;
using namespace tqm::panel;

std::wstring g_out;
HWND g_panel = nullptr;

BOOL NoIcon(DWORD, NOTIFYICONDATAW*) { return TRUE; }
BOOL NoProgram(const wchar_t*) { return TRUE; }
void NoOpen(HWND, const wchar_t*) {}

void Pump(int ms) {
  const DWORD end = GetTickCount() + ms;
  while (static_cast<int>(end - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
}

RECT Union(RECT a, HWND w) {
  RECT b{};
  if (!w || !GetWindowRect(w, &b)) return a;
  UnionRect(&a, &a, &b);
  return a;
}

// The screen's pixels in `area` (plus a margin) as a 24-bit BMP file.
void Capture(const wchar_t* name, RECT area) {
  InflateRect(&area, 6, 6);
  const int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  area.left = area.left < 0 ? 0 : area.left;
  area.top = area.top < 0 ? 0 : area.top;
  area.right = area.right > sw ? sw : area.right;
  area.bottom = area.bottom > sh ? sh : area.bottom;
  const int w = area.right - area.left, h = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, w, h, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = (w * 3 + 3) & ~3u;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + stride * h;
  const std::wstring path = g_out + L"\\" + name + L".bmp";
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    fwrite(&file, sizeof file, 1, f);
    fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
    fwrite(bits, stride, h, f);
    fclose(f);
  }
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

RECT PanelRect() {
  RECT r{};
  GetWindowRect(g_panel, &r);
  return r;
}

// Dialogs and menus run their own modal loops: a timer captures from inside.
const wchar_t* g_dialogCaption = nullptr;
const wchar_t* g_dialogShot = nullptr;
void CALLBACK ShootDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", g_dialogCaption);
  if (!dialog) return;
  KillTimer(nullptr, timer);
  Pump(300);
  Capture(g_dialogShot, Union(PanelRect(), dialog));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}

void CALLBACK ShootMenu(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  RECT area = PanelRect();
  for (HWND w = FindWindowW(L"#32768", nullptr); w; w = FindWindowExW(nullptr, w, L"#32768", nullptr))
    area = Union(area, w);
  Capture(L"latency-menu", area);
  EndMenu();
}

// A client of the driver's stream commands: both channels of both
// directions open, so the device streams and the engine meters the input.
struct StreamClient {
  DeviceLink link;
  void* shared = nullptr;
  bool Start() {
    if (link.Enumerate() == 0) return false;
    link.Select(0);
    const uint32_t period = link.GetLatency();
    if (!period || !link.AllocSharedBuffer(period * 32, &shared)) return false;
    auto* samples = static_cast<int32_t*>(shared);
    for (uint32_t i = 0; i < 8; ++i) link.SetClientBuffer(i < 4 ? 1 : 0, (i / 2) % 2, i % 2, samples + i * period, 1);
    return link.ActivateChannels(3, 3, 1) == 0;
  }
  void Stop() {
    link.ActivateChannels(3, 3, 0);
    link.AllocSharedBuffer(0, &shared);
    link.CloseAll();
  }
};

int ShootRunningPanel(const wchar_t* name, DWORD settleMs) {
  HWND panel = nullptr;
  for (int i = 0; i < 300 && !(panel = FindWindowW(L"TQM27 Class", nullptr)); ++i) Sleep(50);
  if (!panel) {
    fwprintf(stderr, L"panel_shots: no running panel\n");
    return 1;
  }
  g_panel = panel;
  DeviceLink link;
  MixerSettings settings{};
  if (link.Enumerate() == 0) {
    fwprintf(stderr, L"panel_shots: no device\n");
    return 1;
  }
  link.Select(0);
  // A message sent to the panel is handled once its thread runs its loop,
  // that is after its window's creation (the device opened, the settings
  // loaded and applied).
  SendMessageW(panel, WM_NULL, 0, 0);
  if (link.GetSettings(&settings) && !settings.meterEnable) SendMessageW(panel, WM_COMMAND, IDM_LEVEL_METER, 0);
  SetWindowPos(panel, HWND_TOP, 24, 24, 0, 0, SWP_NOSIZE);
  PostMessageW(panel, MSG_ACTIVATE_PANEL, 0, WM_LBUTTONDBLCLK);
  SendMessageW(panel, WM_NULL, 0, 0);
  if (FILE* ready = _wfopen((g_out + L"\\ready").c_str(), L"wb")) fclose(ready);
  int waited = 0;
  for (; waited < 60000 && link.GetActiveClient() == 0; waited += 10) Pump(10);
  link.CloseAll();
  if (waited >= 60000) {
    fwprintf(stderr, L"panel_shots: no stream client became active\n");
    return 1;
  }
  Pump(int(settleMs));
  if (!IsWindowVisible(panel)) {
    fwprintf(stderr, L"panel_shots: the panel did not show\n");
    return 1;
  }
  Capture(name, PanelRect());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wstring(argv[1]) == L"--running") {
    g_out = argv[2];
    return ShootRunningPanel(argv[3], DWORD(_wtoi(argv[4])));
  }
  if (argc != 2) {
    fwprintf(stderr, L"usage: panel_shots OUTDIR | panel_shots --running OUTDIR NAME WAITMS\n");
    return 2;
  }
  g_out = argv[1];
  SetShellHandlers({NoIcon, NoProgram, NoOpen});
  HINSTANCE instance = GetModuleHandleW(nullptr);
  int code = 0;
  wchar_t* args[] = {argv[0]};
  g_panel = StartPanel(instance, 1, args, code);
  if (!g_panel || !App().devicePresent) {
    fwprintf(stderr, L"panel_shots: no panel or no device\n");
    return 1;
  }
  SetWindowPos(g_panel, nullptr, 24, 24, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(g_panel, SW_SHOWNORMAL);

  TqmSimSetInput(2, 1000);
  StreamClient client;
  if (!client.Start()) fwprintf(stderr, L"panel_shots: the stream client could not start\n");
  SendMessageW(g_panel, WM_COMMAND, IDM_LEVEL_METER, 0);
  // The output fader a little down, so both strips show something of their own.
  const HWND outFader = App().mixer->strip(0).fader;
  SendMessageW(outFader, SBM_SETPOS, MAKELONG(98, 92), MAKELONG(98, 92));
  SendMessageW(g_panel, WM_VSCROLL, SB_THUMBPOSITION, reinterpret_cast<LPARAM>(outFader));
  Pump(800);
  Capture(L"panel-streaming", PanelRect());

  HMENU config = GetSubMenu(GetMenu(g_panel), 1);
  HMENU latency = GetSubMenu(config, 2);
  const RECT r = PanelRect();
  SetTimer(nullptr, 0, 400, ShootMenu);
  TrackPopupMenu(latency, TPM_LEFTALIGN | TPM_TOPALIGN, r.right + 4, r.top + 40, 0, g_panel, nullptr);
  Pump(200);

  widgets::SetMessageBoxHandler(nullptr);
  g_dialogCaption = L"Warning : Latency change failed !";
  g_dialogShot = L"latency-refused";
  SetTimer(nullptr, 0, 100, ShootDialog);
  SendMessageW(g_panel, WM_COMMAND, IDM_LATENCY_96, 0);
  Pump(200);

  g_dialogCaption = L"TQM27";
  g_dialogShot = L"about";
  SetTimer(nullptr, 0, 100, ShootDialog);
  SendMessageW(g_panel, WM_COMMAND, IDM_ABOUT, 0);
  Pump(200);

  // Two cables patched the way a user's drags patch them: WDM playback left
  // into ASIO record right, ASIO playback right into WDM record left.
  SendMessageW(g_panel, WM_COMMAND, IDM_IROUTE, 0);
  HWND route = App().mixer->routeWindow();
  const POINT cables[][2] = {{{100, 58}, {226, 81}}, {{187, 81}, {139, 58}}};
  for (const auto& c : cables) {
    SendMessageW(route, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(c[0].x, c[0].y));
    SendMessageW(route, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(c[1].x, c[1].y));
    SendMessageW(route, WM_LBUTTONUP, 0, MAKELPARAM(c[1].x, c[1].y));
  }
  SetWindowPos(route, HWND_TOP, r.right + 8, r.top, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  Pump(500);
  RECT routeRect{};
  GetWindowRect(route, &routeRect);
  Capture(L"inner-route", routeRect);
  SendMessageW(g_panel, WM_COMMAND, IDM_IROUTE, 0);

  client.Stop();
  TqmSimUnplug();
  for (int i = 0; i < 300 && App().devicePresent; ++i) Pump(10);
  Pump(300);
  Capture(L"panel-absent", PanelRect());

  FinishPanel();
  return 0;
}
