// The period thread: wakes at every completed record period, hands the host
// the half the engine just completed (status word 1) and clears the watchdog.
//
// One `PeriodRun` per start(). The thread holds its own reference, so the
// object may drop the run (stop, dispose, Release) while the thread finishes
// its last switch; once `quit` is set the thread calls nothing more on the
// host and touches nothing but the run.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "asio/asio_interface.h"

namespace tqmasio {

struct StreamPosition;

struct PeriodRun {
  PeriodRun() = default;
  ~PeriodRun();
  PeriodRun(const PeriodRun&) = delete;
  PeriodRun& operator=(const PeriodRun&) = delete;

  HANDLE periodEvent = nullptr;  // auto-reset, signalled by the driver every period
  HANDLE quitEvent = nullptr;    // manual-reset, set by stop
  HANDLE handshake = nullptr;    // auto-reset, set once the thread runs
  ASIOCallbacks callbacks{};
  bool timeInfoMode = false;
  long processNow = 1;
  uint32_t periodFrames = 0;
  std::atomic<uint32_t> rate{0};  // the current rate, for the time info
  void* status = nullptr;         // the mapped status block
  DWORD timeoutMs = 2000;
  std::shared_ptr<StreamPosition> position;
  std::atomic<bool> quit{false};
  std::atomic<DWORD> threadId{0};
  ASIOTime time{};
};

// How long the thread waits for a period before it takes the stream for
// stalled: a few hundred periods, at most 2 s, at least half a second.
DWORD PeriodTimeoutMs(uint32_t periodFrames, uint32_t rate);

// Creates the thread (time-critical) for the run; null when it cannot be made.
HANDLE StartPeriodThread(const std::shared_ptr<PeriodRun>& run);

}  // namespace tqmasio
