// The device listener; see device_listener.h.
#include "asio/device_listener.h"

#include <dbt.h>

#include <new>

#include "asio/asio_driver.h"
#include "asio/com_frame.h"
#include "platform/bridge/sys.h"
#include "tqm/identity.h"

namespace tqmasio {
namespace {

constexpr wchar_t kClassName[] = L"ORUASIODeviceListener";
constexpr UINT kEndMessage = WM_APP + 1;
int g_windows = 0;  // listener windows alive, under the library's section

}  // namespace

DeviceListener* DeviceListener::Start(AsioDirectSound* owner) {
  auto* listener = new (std::nothrow) DeviceListener(owner);
  if (!listener) return nullptr;
  listener->ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (listener->ready_)
    listener->thread_ = CreateThread(nullptr, 0, Main, listener, 0, &listener->threadId_);
  if (!listener->thread_) {
    if (listener->ready_) CloseHandle(listener->ready_);
    delete listener;
    return nullptr;
  }
  WaitForSingleObject(listener->ready_, INFINITE);
  CloseHandle(listener->ready_);
  listener->ready_ = nullptr;
  if (!listener->created_) {
    WaitForSingleObject(listener->thread_, INFINITE);
    CloseHandle(listener->thread_);
    delete listener;
    return nullptr;
  }
  return listener;
}

void DeviceListener::End(DeviceListener* listener) {
  if (!listener) return;
  listener->ownerGone_.store(true);
  if (GetCurrentThreadId() == listener->threadId_) {
    // Inside our own notice: the loop frees the listener when it returns.
    listener->detached_.store(true);
    PostThreadMessageW(listener->threadId_, kEndMessage, 0, 0);
    return;
  }
  PostThreadMessageW(listener->threadId_, kEndMessage, 0, 0);
  WaitForSingleObject(listener->thread_, INFINITE);
  CloseHandle(listener->thread_);
  delete listener;
}

bool DeviceListener::Create() {
  HMODULE module = Library::module();
  EnterCriticalSection(Library::section());
  if (g_windows == 0) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Procedure;
    wc.hInstance = module;
    wc.lpszClassName = kClassName;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      LeaveCriticalSection(Library::section());
      return false;
    }
  }
  window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, module, this);
  if (window_) ++g_windows;
  else if (g_windows == 0) UnregisterClassW(kClassName, module);
  LeaveCriticalSection(Library::section());
  if (!window_) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetTimer(window_, kTimerId, kTimerMs, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = ToGuid(tqm::kInterfaceGuid);
  notification_ = sys::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!notification_) {
    Destroy();
    return false;
  }
  return true;
}

void DeviceListener::Destroy() {
  if (notification_) sys::UnregisterDeviceNotification(notification_);
  notification_ = nullptr;
  if (!window_) return;
  KillTimer(window_, kTimerId);
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  window_ = nullptr;
  EnterCriticalSection(Library::section());
  if (--g_windows == 0) UnregisterClassW(kClassName, Library::module());
  LeaveCriticalSection(Library::section());
}

DWORD WINAPI DeviceListener::Main(void* argument) {
  auto* self = static_cast<DeviceListener*>(argument);
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists before Start returns
  self->created_ = self->Create();
  SetEvent(self->ready_);
  if (!self->created_) return 0;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.hwnd == nullptr && message.message == kEndMessage) break;
    DispatchMessageW(&message);
  }
  self->Destroy();
  if (self->detached_.load()) {
    CloseHandle(self->thread_);
    delete self;
  }
  return 0;
}

LRESULT CALLBACK DeviceListener::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE && lParam) {
    auto* self = reinterpret_cast<DeviceListener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (self && !self->ownerGone_.load() && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      if (IsEqualGUID(broadcast->dbcc_classguid, ToGuid(tqm::kInterfaceGuid)))
        self->owner_->OnInterfaceRemoved(broadcast->dbcc_name);
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tqmasio
