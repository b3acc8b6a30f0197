// A thread that waits on an event the driver signals: the rate listener
// (SetRateEvent; it only waits) and the stop listener (SetRemovalEvent). The
// stop listener does no work of its own: it posts a message to the main
// window, whose UI thread saves the state and releases the status mapping,
// so the 10 ms poll never reads a mapping another thread is releasing.
//
// Stopping does not depend on the driver (whose commands fail after a
// surprise removal): a quit event wakes the thread, and Stop waits for it,
// bounded. A stopped listener posts nothing more; its generation number,
// carried in the posted message, lets the window drop a message that was
// already queued when the listener stopped.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tqm::panel {

class DeviceLink;

class DriverEventListener {
 public:
  static constexpr DWORD kStackBytes = 4096;
  static constexpr DWORD kStopWaitMs = 2000;

  DriverEventListener() = default;
  ~DriverEventListener() { Stop(nullptr); }
  DriverEventListener(const DriverEventListener&) = delete;
  DriverEventListener& operator=(const DriverEventListener&) = delete;

  // Creates the event and the thread and registers the event with the
  // driver (`subOp`: SetRateEvent or SetRemovalEvent). A null `window` makes
  // a listener that only waits. True only if all three succeeded; otherwise
  // nothing is left running.
  bool Start(DeviceLink& link, uint32_t subOp, HWND window, UINT message, WPARAM generation);
  // Drops the driver's registration (when a link is given; its failure does
  // not matter), wakes and ends the thread and closes the handles.
  void Stop(DeviceLink* link);

  bool running() const { return thread_ != nullptr; }
  HANDLE thread() const { return thread_; }
  WPARAM generation() const { return generation_; }

 private:
  static DWORD WINAPI Main(void* context);

  HANDLE event_ = nullptr;
  HANDLE quit_ = nullptr;
  HANDLE thread_ = nullptr;
  WPARAM generation_ = 0;
  uint32_t subOp_ = 0;
};

}  // namespace tqm::panel
