// The main window's procedure: every message dispatches to a handler of the
// panel (panel_app.cpp) or, for the menu and the faders, to MixerPanel. The
// commands, the 10 ms PanelTimer, the menu's check marks and the About box.
#include <cwchar>

#include "panel_app.h"
#include "resource_ids.h"
#include "shell_hooks.h"
#include "toolkit.h"
#include "window_object.h"

namespace tqm::panel {

const wchar_t kProductPage[] = L"https://oru.example";

namespace {

constexpr wchar_t kSoundSettings[] = L"rundll32.exe shell32.dll,Control_RunDLL mmsys.cpl";

struct LatencyItem {
  int id;
  uint32_t frames;
};
constexpr LatencyItem kLatencyItems[] = {
    {IDM_LATENCY_64, 64},   {IDM_LATENCY_96, 96},   {IDM_LATENCY_128, 128}, {IDM_LATENCY_144, 144},
    {IDM_LATENCY_192, 192}, {IDM_LATENCY_240, 240}, {IDM_LATENCY_256, 256}, {IDM_LATENCY_288, 288},
};
constexpr int32_t kWheelSteps[] = {1, 2, 4, 8};

HMENU Menu() { return GetMenu(App().window); }
void Uncheck(int id) { CheckMenuItem(Menu(), id, MF_BYCOMMAND | MF_UNCHECKED); }
void Check(int id) { CheckMenuItem(Menu(), id, MF_BYCOMMAND | MF_CHECKED); }

MixerPanel* DeviceMixer() {
  PanelApp& app = App();
  return app.devicePresent && app.mixer ? app.mixer.get() : nullptr;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* link = new widgets::CCtrlLinkBtn;
      if (!link->CreateCtrl(App().instance, dialog, IDC_ABOUT_LINK, 87, 80, 164, 24, kProductPage,
                            DT_LEFT | DT_SINGLELINE | DT_VCENTER)) {
        delete link;
        link = nullptr;
      }
      SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(link));
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_ABOUT_LINK && HIWORD(wParam) == 0) {
        Shell().shellOpen(dialog, kProductPage);
        return TRUE;
      }
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      delete reinterpret_cast<widgets::CCtrlLinkBtn*>(GetWindowLongPtrW(dialog, DWLP_USER));
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;
  }
  return FALSE;
}

void ChangeLatency(HWND window, MixerPanel& mixer, uint32_t frames) {
  if (!mixer.SetLatency(frames)) {
    wchar_t text[256], caption[128];
    LoadStringW(App().instance, IDS_LATENCY_TEXT, text, 256);
    LoadStringW(App().instance, IDS_LATENCY_CAPTION, caption, 128);
    widgets::ShowToolkitMessageBox(window, text, caption, MB_ICONERROR | MB_OK);
  }
  RefreshLatencyChecks();
}

// The commands that need the device. False for an id that is none of them.
bool DeviceCommand(HWND window, MixerPanel& mixer, int id) {
  if (id == IDM_WINDOWS_AUDIO) {
    Shell().startProgram(kSoundSettings);
  } else if (id == IDM_IROUTE) {
    mixer.ToggleRouteWindow();
  } else if (id == IDM_FACTORY_DEFAULT) {
    mixer.FactoryDefault();
    RefreshWheelChecks();
    RefreshLatencyChecks();
    RefreshBufferChecks();
    RefreshMeterCheck();
  } else if (id == IDM_LEVEL_METER) {
    if (mixer.mapped()) {
      mixer.ToggleMeter();
      RefreshMeterCheck();
    }
  } else if (id >= IDM_WHEEL_1 && id <= IDM_WHEEL_8) {
    if (mixer.SetWheelStep(kWheelSteps[id - IDM_WHEEL_1])) RefreshWheelChecks();
  } else if (id >= IDM_BUFFERS_2 && id <= IDM_BUFFERS_9) {
    if (mixer.SetBufferNumber(id - IDM_BUFFERS_2 + 2)) RefreshBufferChecks();
  } else if (id == 3328 || id == 3329) {
    mixer.ApplySettings();
  } else if (id == ChannelStrip::kMuteId || id == ChannelStrip::kMuteId + 1) {
    mixer.ToggleMute(id - ChannelStrip::kMuteId);
  } else if (id >= 258 && id <= 511) {
    // Only the reconcile and the save.
  } else {
    bool latency = false;
    for (const LatencyItem& item : kLatencyItems) {
      if (item.id == id) {
        ChangeLatency(window, mixer, item.frames);
        latency = true;
      }
    }
    if (!latency) return false;
  }
  return true;
}

}  // namespace

void RefreshWheelChecks() {
  PanelApp& app = App();
  for (int id = IDM_WHEEL_1; id <= IDM_WHEEL_8; ++id) Uncheck(id);
  if (!app.mixer) return;
  const int32_t step = app.mixer->current().wheelStep;
  for (int i = 0; i < 4; ++i)
    if (kWheelSteps[i] == step) Check(IDM_WHEEL_1 + i);
  widgets::SetWheelStep(step);
}

void RefreshLatencyChecks() {
  PanelApp& app = App();
  for (const LatencyItem& item : kLatencyItems) Uncheck(item.id);
  const uint32_t latency = app.mixer ? app.mixer->QueryLatency() : 0;
  for (const LatencyItem& item : kLatencyItems)
    if (item.frames == latency) Check(item.id);
}

void RefreshBufferChecks() {
  PanelApp& app = App();
  for (int id = IDM_BUFFERS_2; id <= IDM_BUFFERS_9; ++id) Uncheck(id);
  if (!app.mixer) return;
  const int count = app.mixer->CurrentBufferNumber();
  if (count >= 2 && count <= 9) Check(IDM_BUFFERS_2 + count - 2);
}

void RefreshMeterCheck() {
  PanelApp& app = App();
  Uncheck(IDM_LEVEL_METER);
  if (app.mixer && app.mixer->MeterEnabled()) Check(IDM_LEVEL_METER);
}

void OnPanelTimer(HWND window) {
  PanelApp& app = App();
  KillTimer(window, kPanelTimerId);
  if (app.mixer) app.mixer->Poll();
  RefreshWheelChecks();
  RefreshLatencyChecks();
  RefreshBufferChecks();
  RefreshMeterCheck();
  SetTimer(window, kPanelTimerId, kPanelTimerMs, nullptr);
}

void OnCommand(HWND window, int id) {
  PanelApp& app = App();
  switch (id) {
    case IDM_CLOSE_WINDOW:
      ShowWindow(window, SW_HIDE);
      SaveWindowPlace();
      return;
    case IDM_EXIT:
      SaveWindowPlace();
      ShowWindow(window, SW_HIDE);
      return;
    case IDM_ALWAYS_ON_TOP:
      app.alwaysOnTop = app.alwaysOnTop ? 0 : 1;
      SetWindowPos(window, app.alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE);
      CheckMenuItem(Menu(), IDM_ALWAYS_ON_TOP, MF_BYCOMMAND | (app.alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
      return;
    case IDM_ABOUT:
      DialogBoxParamW(app.instance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutProc, 0);
      return;
  }
  MixerPanel* mixer = DeviceMixer();
  if (!mixer) return;
  if (!DeviceCommand(window, *mixer, id)) return;
  mixer->Reconcile();
  SaveMixer();
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  PanelApp& app = App();
  if (app.taskbarCreated && message == app.taskbarCreated) {
    AddIcon();
    return DefWindowProcW(window, message, wParam, lParam);
  }
  switch (message) {
    case WM_CREATE:
      OnCreate(window);
      return 0;
    case WM_DESTROY:
      OnDestroy(window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      HBITMAP background = widgets::LoadBitmapByName(app.instance, L"IDB_BACK1");
      BITMAP size{};
      if (background && GetObjectW(background, sizeof size, &size)) {
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(memory, background);
        BitBlt(dc, 0, 0, size.bmWidth, size.bmHeight, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
      }
      EndPaint(window, &ps);
      return 0;
    }
    case WM_ENDSESSION:
      OnEndSession(wParam);
      return 0;
    case WM_COMMAND:
      OnCommand(window, LOWORD(wParam));
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        SaveWindowPlace();
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
      if (wParam == kPanelTimerId) OnPanelTimer(window);
      return 0;
    case WM_VSCROLL: {
      const int id = lParam ? GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) : 0;
      MixerPanel* mixer = DeviceMixer();
      if (mixer && (id >> 8) == 2) {
        mixer->OnFaderMoved(id - ChannelStrip::kFaderId);
        mixer->Reconcile();
        SaveMixer();
      }
      return 0;
    }
    case WM_HSCROLL:
      return 0;
    case WM_MOUSEMOVE:
      if (GetForegroundWindow() == window) SetFocus(window);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      if (app.mixer) app.mixer->SetButtonHeld(message == WM_LBUTTONDOWN);
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      return 0;
    case MSG_ENDPOINT_CHANGED:
      if (MixerPanel* mixer = DeviceMixer())
        mixer->OnEndpointChanged(static_cast<int>(lParam), (wParam & kOwnEndpointChange) != 0);
      return 0;
    case MSG_TRAY_CALLBACK:
      if (LOWORD(lParam) == WM_LBUTTONDOWN || LOWORD(lParam) == WM_RBUTTONDOWN) {
        ShowWindow(window, SW_SHOWNORMAL);
        SetForegroundWindow(window);
      }
      return 0;
    case MSG_ACTIVATE_PANEL:
      ShowWindow(window, SW_SHOWNORMAL);
      SetFocus(window);
      SetActiveWindow(window);
      SetForegroundWindow(window);
      return 0;
    case MSG_DEVICE_STOPPED:
      OnDeviceStopped(wParam);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tqm::panel
