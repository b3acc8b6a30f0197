// The device listener: a hidden window on a thread of the driver's own, with
// its own message loop, so that the removal of the device is noticed whether
// or not the host's thread pumps messages. It registers for device-interface
// notifications of the driver's class and tells the driver object when an
// interface of that class goes away; the object decides whether it was one
// of its own. The window class is registered with the library's module
// handle by the first listener and unregistered with the last window.
#pragma once

#include <windows.h>

#include <atomic>

namespace tqmasio {

class AsioDirectSound;

class DeviceListener {
 public:
  static constexpr UINT_PTR kTimerId = 4711;
  static constexpr UINT kTimerMs = 500;

  // Starts the thread and waits until its window and notification exist;
  // null when either cannot be made.
  static DeviceListener* Start(AsioDirectSound* owner);
  // Ends the listener. From its own thread (the host reacting to a removal
  // inside our notice) the thread finishes and frees itself afterwards;
  // from any other thread the call waits for it.
  static void End(DeviceListener* listener);

  DWORD threadId() const { return threadId_; }

 private:
  explicit DeviceListener(AsioDirectSound* owner) : owner_(owner) {}
  static DWORD WINAPI Main(void* self);
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool Create();
  void Destroy();

  AsioDirectSound* owner_;
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  HANDLE ready_ = nullptr;
  bool created_ = false;
  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
  std::atomic<bool> detached_{false};
  std::atomic<bool> ownerGone_{false};
};

}  // namespace tqmasio
