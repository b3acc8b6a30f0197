#include "panel_app.h"

#include <dbt.h>

#include <cstdio>
#include <cwchar>

#include "endpoint_core_audio.h"
#include "panel/devicelink/hid_app.h"
#include "platform/bridge/sys.h"
#include "resource_ids.h"
#include "settings_store.h"
#include "shell_hooks.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "toolkit.h"

namespace tqm::panel {
namespace {

PanelApp* g_app = nullptr;

const GUID kInterfaceClass = {kInterfaceGuid.data1,
                              kInterfaceGuid.data2,
                              kInterfaceGuid.data3,
                              {kInterfaceGuid.data4[0], kInterfaceGuid.data4[1], kInterfaceGuid.data4[2],
                               kInterfaceGuid.data4[3], kInterfaceGuid.data4[4], kInterfaceGuid.data4[5],
                               kInterfaceGuid.data4[6], kInterfaceGuid.data4[7]}};

bool RegisterMainClass(PanelApp& app) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = app.instance;
  wc.hIcon = LoadIconW(app.instance, MAKEINTRESOURCEW(IDI_PANEL));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = MAKEINTRESOURCEW(IDM_PANEL);
  wc.lpszClassName = app.className;
  return RegisterClassExW(&wc) != 0;
}

}  // namespace

PanelApp& App() { return *g_app; }

bool DefaultsRequestedBy(int argc, wchar_t** argv) {
  return argc == 2 && argv && argv[1] && std::wcscmp(argv[1], L"/default") == 0;
}

void AddIcon() { Shell().notifyIcon(NIM_ADD, &App().icon); }
void DeleteIcon() { Shell().notifyIcon(NIM_DELETE, &App().icon); }

void SaveWindowPlace() { SaveWindowPosition(App().instance, App().window); }

void SaveMixer() {
  if (App().mixer) SaveSettings(App().instance, App().mixer->current());
}

void SetTitleFromDiscovery() {
  PanelApp& app = App();
  DiscoverDriverVersion(app.instance, app.title, app.versionFound);
  wchar_t text[kTitleUnits];
  swprintf(text, kTitleUnits, L"%ls", app.title);
  SetWindowTextW(app.window, text);
}

void StartListeners() {
  PanelApp& app = App();
  if (!app.devicePresent || !app.mixer || !app.mixer->link()) return;
  // A pair that runs is stopped first: an arrival never leaves one behind.
  StopListeners();
  ++app.listenerGeneration;
  DeviceLink& link = *app.mixer->link();
  app.listeners[kRateListener].Start(link, ControlOp::SetRateEvent, nullptr, 0, app.listenerGeneration);
  app.listeners[kStopListener].Start(link, ControlOp::SetRemovalEvent, app.window, MSG_DEVICE_STOPPED,
                                     app.listenerGeneration);
}

void StopListeners() {
  PanelApp& app = App();
  DeviceLink* link = app.mixer ? app.mixer->link() : nullptr;
  for (DriverEventListener& listener : app.listeners) listener.Stop(link);
}

HWND StartPanel(HINSTANCE instance, int argc, wchar_t** argv, int& exitCode) {
  exitCode = 0;
  g_app = new PanelApp;
  PanelApp& app = *g_app;
  app.instance = instance;
  DiscoverDriverVersion(instance, app.title, app.versionFound);
  LoadStringW(instance, IDS_TITLE, app.title, kTitleUnits);
  LoadStringW(instance, IDS_TITLE, app.tip, kTitleUnits);
  LoadStringW(instance, IDS_CLASS_NAME, app.className, kTitleUnits);
  app.defaultsRequested = 0;
  if (DefaultsRequestedBy(argc, argv)) app.defaultsRequested = 1;

  if (HWND running = FindWindowW(app.className, nullptr)) {
    SetForegroundWindow(running);
    PostMessageW(running, MSG_ACTIVATE_PANEL, 0, WM_LBUTTONDBLCLK);
    delete g_app;
    g_app = nullptr;
    return nullptr;
  }

  widgets::InitControls(instance);
  widgets::RegisterWndBaseClass(instance);
  RegisterMainClass(app);
  app.window = CreateWindowExW(0, app.className, app.title, WS_POPUP | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, 0,
                               CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
  if (!app.window) {
    FinishPanel();
    return nullptr;
  }
  StartListeners();
  ShowWindow(app.window, SW_HIDE);
  UpdateWindow(app.window);
  return app.window;
}

void FinishPanel() {
  if (!g_app) return;
  PanelApp& app = *g_app;
  if (app.window && IsWindow(app.window)) DestroyWindow(app.window);
  widgets::TermControls();
  StopListeners();
  app.mixer.reset();
  widgets::UnregisterWndBaseClass(app.instance);
  UnregisterClassW(app.className, app.instance);
  widgets::SetBackgroundBitmap(nullptr);
  delete g_app;
  g_app = nullptr;
}

int RunPanel(HINSTANCE instance, int argc, wchar_t** argv) {
  int exitCode = 0;
  if (!StartPanel(instance, argc, argv, exitCode)) return exitCode;
  MSG msg;
  int code = 0;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      code = static_cast<int>(msg.wParam);
      break;
    }
    if (got == -1) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  FinishPanel();
  return code;
}

// ---- device arrival and removal ----

namespace {

const DEV_BROADCAST_DEVICEINTERFACE_W* OurInterface(LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return nullptr;
  const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
  return IsEqualGUID(record->dbcc_classguid, kInterfaceClass) ? record : nullptr;
}

void OnArrival() {
  PanelApp& app = App();
  if (!app.mixer) return;
  // The device the panel holds is still there and mapped: nothing is new
  // (another interface of the class arrived).
  if (app.devicePresent && app.mixer->hasLink() && app.mixer->mapped()) return;
  if (app.devicePresent) {
    // Open but released by the driver's stop event: start over.
    StopListeners();
    app.mixer->Close();
  }
  app.devicePresent = app.mixer->Open();
  if (!app.devicePresent) return;
  SetTitleFromDiscovery();
  RefreshWheelChecks();
  RefreshLatencyChecks();
  RefreshBufferChecks();
  RunHidExchange();
  AddIcon();
  StartListeners();
  app.mixer->ReadEndpointsIntoSettings();
}

void OnRemoval(const DEV_BROADCAST_DEVICEINTERFACE_W* record) {
  PanelApp& app = App();
  if (!app.devicePresent || !app.mixer) return;
  // Only the removal of the device the link has open.
  const wchar_t* open = app.mixer->devicePath();
  if (!open || lstrcmpiW(open, record->dbcc_name) != 0) return;
  StopListeners();
  SaveWindowPlace();
  SetTitleFromDiscovery();
  app.mixer->Close();
  app.mixer->ShowStrips(false);
  HMENU menu = GetMenu(app.window);
  for (int id = IDM_WHEEL_1; id <= IDM_WHEEL_8; ++id) CheckMenuItem(menu, id, MF_BYCOMMAND | MF_UNCHECKED);
  RefreshLatencyChecks();
  RefreshBufferChecks();
  app.devicePresent = 0;
  DeleteIcon();
}

}  // namespace

void OnDeviceChange(WPARAM event, LPARAM lParam) {
  const DEV_BROADCAST_DEVICEINTERFACE_W* record = OurInterface(lParam);
  if (!record) return;
  if (event == DBT_DEVICEARRIVAL) OnArrival();
  if (event == DBT_DEVICEREMOVECOMPLETE) OnRemoval(record);
}

// ---- window creation ----

void OnCreate(HWND window) {
  PanelApp& app = App();
  app.window = window;
  app.icon = NOTIFYICONDATAW{};
  app.icon.cbSize = sizeof(NOTIFYICONDATAW);
  app.icon.hWnd = window;
  app.icon.uID = kNotifyIconId;
  app.icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  app.icon.uCallbackMessage = MSG_TRAY_CALLBACK;
  app.icon.hIcon = LoadIconW(app.instance, MAKEINTRESOURCEW(IDI_PANEL));
  lstrcpynW(app.icon.szTip, app.tip, sizeof app.icon.szTip / sizeof(wchar_t));
  DeleteIcon();
  app.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kInterfaceClass;
  app.notification = sys::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

  HBITMAP background = widgets::LoadBitmapByName(app.instance, L"IDB_BACK1");
  widgets::SetBackgroundBitmap(background);
  BITMAP size{};
  if (background) GetObjectW(background, sizeof size, &size);
  const int w = size.bmWidth, h = size.bmHeight;
  const int width = 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXDLGFRAME) + w + 12;
  const int height = 2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYDLGFRAME) +
                     GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + h + 11;
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  const int32_t centreX = (screenW - (w + 12)) / 2, centreY = (screenH - (h + 11)) / 2;
  int32_t x = centreX, y = centreY;
  ReadPanelValue(app.instance, L"WinX", &centreX, &x, sizeof x);
  ReadPanelValue(app.instance, L"WinY", &centreY, &y, sizeof y);
  // Compared unsigned, so a negative coordinate recentres too.
  if (static_cast<uint32_t>(x) > static_cast<uint32_t>(screenW - (w + 12))) x = centreX;
  if (static_cast<uint32_t>(y) > static_cast<uint32_t>(screenH - (h + 11))) y = centreY;
  MoveWindow(window, x, y, width, height, FALSE);

  widgets::SetWheelStep(1);
  if (!app.mixer)
    app.mixer = std::make_unique<MixerPanel>(window, app.instance, app.defaultsRequested, MakeEndpointTable(window));
  app.devicePresent = app.mixer->Open();
  if (app.devicePresent) {
    app.mixer->ReadEndpointsIntoSettings();
    RefreshWheelChecks();
    RefreshLatencyChecks();
    RefreshBufferChecks();
    RunHidExchange();
    AddIcon();
  } else {
    SetTitleFromDiscovery();
  }
  SetTimer(window, kPanelTimerId, kPanelTimerMs, nullptr);
}

void OnDestroy(HWND window) {
  PanelApp& app = App();
  PostQuitMessage(0);
  KillTimer(window, kPanelTimerId);
  if (app.devicePresent) {
    SaveWindowPlace();
    // The listeners end before the mixer they would post about goes.
    StopListeners();
    app.mixer.reset();
  }
  if (app.notification) sys::UnregisterDeviceNotification(app.notification);
  app.notification = nullptr;
  DeleteIcon();
}

void OnEndSession(WPARAM ending) {
  PanelApp& app = App();
  // A cancelled end of the session changes nothing.
  if (!ending) return;
  SaveWindowPlace();
  StopListeners();
  app.mixer.reset();
}

void OnDeviceStopped(WPARAM generation) {
  PanelApp& app = App();
  // A message queued by a listener that has stopped since is stale.
  if (generation != app.listenerGeneration || !app.listeners[kStopListener].running() || !app.mixer) return;
  SaveWindowPlace();
  app.mixer->HideRouteWindow();
  SaveMixer();
  if (app.mixer->mapped()) app.mixer->ReleaseStatusMapping();
}

}  // namespace tqm::panel
