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

// How long the thread waits for a period before it takes the stream for
// stalled (device gone, stream stuck): 2 s, several hundred periods at the
// longest period, and long enough that a loaded machine's scheduling hiccup
// is not taken for a dead stream.
constexpr DWORD kPeriodTimeoutMs = 2000;

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
  // What the host's latencies were worked out from: a change made before the
  // thread began (another client's, between getLatencies and start) is told too.
  uint32_t toldPeriod = 0, toldRate = 0, toldRequests = 0;
  std::atomic<uint32_t> rate{0};  // the current rate, for the time info
  void* status = nullptr;         // the mapped status block
  DWORD timeoutMs = kPeriodTimeoutMs;
  std::shared_ptr<StreamPosition> position;
  std::atomic<bool> quit{false};
  std::atomic<DWORD> threadId{0};
  ASIOTime time{};
};

// Creates the thread (time-critical) for the run; null when it cannot be made.
HANDLE StartPeriodThread(const std::shared_ptr<PeriodRun>& run);

}  // namespace tqmasio
