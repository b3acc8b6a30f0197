// TQMPanel's process frame: the entry sequence, the single-instance guard,
// the main window and its procedure, the notification icon, the device's
// arrival and removal, the two driver-event listeners, and the end.
//
// The UI thread owns every window, the MixerPanel and the settings. The
// listener threads only wait and post; the stop listener's work runs here,
// on the UI thread, when its message arrives. Nothing is locked.
//
// RunPanel is the whole program. StartPanel / FinishPanel are its two halves
// around the message loop, for a host that pumps messages itself (the tests).
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <memory>

#include "driver_listener.h"
#include "mixer_panel.h"
#include "version_discovery.h"

namespace tqm::panel {

constexpr UINT MSG_TRAY_CALLBACK = WM_USER;
constexpr UINT MSG_ACTIVATE_PANEL = WM_USER + 5;
// Posted by the stop listener; wParam is the listener's generation.
constexpr UINT MSG_DEVICE_STOPPED = WM_APP + 1;
constexpr UINT kNotifyIconId = 1287;
constexpr UINT_PTR kPanelTimerId = 0x8000;
constexpr UINT kPanelTimerMs = 10;

enum Listener { kRateListener, kStopListener, kListeners };

struct PanelApp {
  HINSTANCE instance = nullptr;
  HWND window = nullptr;
  wchar_t title[kTitleUnits] = {};
  wchar_t tip[kTitleUnits] = {};
  wchar_t className[kTitleUnits] = {};
  int32_t defaultsRequested = 0;
  int32_t devicePresent = 0;
  uint8_t versionFound = 0;
  int32_t alwaysOnTop = 0;
  UINT taskbarCreated = 0;
  NOTIFYICONDATAW icon{};
  HDEVNOTIFY notification = nullptr;
  DriverEventListener listeners[kListeners];
  WPARAM listenerGeneration = 0;
  std::unique_ptr<MixerPanel> mixer;
};

// The process's one panel (valid from StartPanel until FinishPanel).
PanelApp& App();

// "/default" exactly, as the only argument.
bool DefaultsRequestedBy(int argc, wchar_t** argv);

// Entry steps up to the message loop. Returns the main window, or null when
// another instance answered (it was activated) or the window could not be
// made; `exitCode` then holds the process's exit code.
HWND StartPanel(HINSTANCE instance, int argc, wchar_t** argv, int& exitCode);
// After the message loop: toolkit, listeners, classes.
void FinishPanel();
// The whole program.
int RunPanel(HINSTANCE instance, int argc, wchar_t** argv);

// ---- pieces the window procedure uses (main_window.cpp) ----
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OnCommand(HWND window, int id);
void OnPanelTimer(HWND window);
void RefreshWheelChecks();
void RefreshLatencyChecks();
void RefreshBufferChecks();
void RefreshMeterCheck();
void SaveWindowPlace();
void SaveMixer();
void AddIcon();
void DeleteIcon();
void StartListeners();
void StopListeners();
void SetTitleFromDiscovery();
void OnCreate(HWND window);
void OnDestroy(HWND window);
void OnEndSession(WPARAM ending);
void OnDeviceStopped(WPARAM generation);
void OnDeviceChange(WPARAM event, LPARAM lParam);

// The maker's product page behind the About dialog's link.
extern const wchar_t kProductPage[];

}  // namespace tqm::panel
