#include "driver_listener.h"

#include "panel/devicelink/device_link.h"

#include <new>

namespace tqm::panel {

namespace {

// What the thread needs, copied for it: the thread owns this record and
// frees it, so it never reads the listener object, which may be started
// again while a starved thread is still ending.
struct ThreadContext {
  HANDLE quit;
  HANDLE event;
  HWND window;
  UINT message;
  WPARAM generation;
};

}  // namespace

DWORD WINAPI DriverEventListener::Main(void* context) {
  auto* c = static_cast<ThreadContext*>(context);
  const HANDLE waits[2] = {c->quit, c->event};
  for (;;) {
    const DWORD woke = sys::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    // The quit event, or a failed wait: either way the listener is done and
    // never acts again.
    if (woke != WAIT_OBJECT_0 + 1) break;
    if (c->window) PostMessageW(c->window, c->message, c->generation, 0);
  }
  delete c;
  return 0;
}

bool DriverEventListener::Start(DeviceLink& link, uint32_t subOp, HWND window, UINT message, WPARAM generation) {
  Stop(nullptr);
  generation_ = generation;
  subOp_ = subOp;
  event_ = sys::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  quit_ = sys::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event_ && quit_) {
    auto* context = new (std::nothrow) ThreadContext{quit_, event_, window, message, generation};
    if (context) thread_ = CreateThread(nullptr, kStackBytes, Main, context, 0, nullptr);
    if (!thread_) delete context;
  }
  if (!thread_ || !link.SetEvent(event_, subOp)) {
    Stop(nullptr);
    return false;
  }
  return true;
}

void DriverEventListener::Stop(DeviceLink* link) {
  if (link && event_) link->SetEvent(nullptr, subOp_);
  if (thread_) {
    sys::SetEvent(quit_);
    // The thread only waits and posts: it ends at once unless the machine is
    // starved. One that does not end in time is left to end on its own, and
    // the handles its wait names are not closed under it.
    const bool ended = WaitForSingleObject(thread_, kStopWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread_);
    thread_ = nullptr;
    if (!ended) {
      event_ = nullptr;
      quit_ = nullptr;
      return;
    }
  }
  if (event_) sys::CloseHandle(event_);
  if (quit_) sys::CloseHandle(quit_);
  event_ = nullptr;
  quit_ = nullptr;
}

}  // namespace tqm::panel
