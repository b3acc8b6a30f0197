// The simulator's stream client: what an ASIO driver does with the command
// interface, in a simulated process of its own, with a period thread.
//
// Open: open every driver interface and keep those that answer Identify with
// 1/0 (device 0 is the one opened last), ask QueryStreamHealth (another
// client holds the engine unless it answers 0), map the status block.
// CreateBuffers: read the period with GetLatency, allocate the SharedBuffer of
// period x 32 x devices bytes, place the two input and two output buffers in
// it (two halves each) and register every half, set the rate. Start: create
// the period event and the period thread, register the event, activate the
// channels. At every period the thread wakes on the event, takes the input
// half the status block names (word 1), lets the period work read it and fill
// the output half of the same index, sends OutputReady for that half and
// clears the watchdog (word 4). Stop, DisposeBuffers and Close undo these in
// the reverse order; a host that resets (a new period) does Stop, DisposeBuffers,
// CreateBuffers and Start again, and its counters go on.
//
// Virtual time: the period thread takes part in the clock, so the clock waits
// for it from the period event until it waits again; each period's work is
// done before the machine's next instant, and a run is exact. Real time: the
// thread is on its own, at a real-time priority when the host allows (below
// the clock thread's, which plays the host controller); a period it handles
// late shows in the watchdog, and its wake latency after each period event is
// recorded so that a late period can be told from a late clock.
//
// Threads: Open..Close are called from one thread (the owner's); the period
// thread is the only one that runs the period work and touches the counters
// below until Stop has joined it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/latency_histogram.h"
#include "platform/sim/device_client.h"
#include "platform/sim/simulator.h"
#include "tqm/status_block.h"

namespace tqm::sim {

struct PeriodBuffers {
  uint64_t index;        // periods handled before this one
  uint32_t frames;       // the period
  uint32_t half;         // 0 or 1, from status word 1
  const int32_t* input[2];
  int32_t* output[2];
};
using PeriodWork = std::function<void(const PeriodBuffers&)>;

// How the client answers its periods, as real hosts do: some finish their
// period's work a while after the event (a fixed delay plus a deterministic
// pseudo-random jitter, in frames), some never send OutputReady.
struct ClientBehaviour {
  uint32_t delayFrames = 0;
  uint32_t jitterFrames = 0;
  bool outputReady = true;
};

struct StreamCounters {
  uint64_t periods = 0;        // period events handled
  uint64_t missed = 0;         // periods the watchdog counted beyond the one handled
  uint32_t watchdogMax = 0;    // highest watchdog word seen at a wake
  uint64_t emptyWakes = 0;     // wakes that found the watchdog at 0
  uint64_t outputReadyFailures = 0;
  // Real time: whether the period thread got its real-time priority, and the
  // host's reason when it did not (unknown before the thread started).
  bool priorityKnown = false;
  bool realTime = false;
  std::string priorityRefusal;
};

class StreamClient {
 public:
  explicit StreamClient(Simulator& sim, std::string processName = "stream client");
  ~StreamClient();
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;

  bool Open(std::string* error);
  // The same on one interface only (a machine with several TQM27s).
  bool Open(const std::wstring& interfacePath, std::string* error);
  bool CreateBuffers(uint32_t rate, std::string* error);
  // `beforeActivate` runs after the period thread and event are set up and
  // right before the channels are activated (the simulator aligns the clock
  // there).
  bool Start(PeriodWork work, std::string* error, const std::function<void()>& beforeActivate = {});
  void Stop();
  void DisposeBuffers();
  void Close();

  // A host that stops answering: while unresponsive the period thread still
  // wakes but neither runs the period work nor sends OutputReady nor clears
  // the watchdog, so the engine's watchdog climbs as it does for a hung host.
  void SetResponsive(bool responsive) { responsive_ = responsive; }
  // Before Start.
  void SetBehaviour(const ClientBehaviour& behaviour) { behaviour_ = behaviour; }

  DeviceClient& device() { return *device_; }
  uint32_t devices() const { return devices_; }
  uint32_t periodFrames() const { return periodFrames_; }
  bool started() const { return started_.load(); }
  // The mapped status block (null before Open or when the driver made none).
  std::optional<StatusBlockView> status() const;
  // Where the status block is mapped in the client's process (null when not).
  void* statusBlockAddress() const { return statusBlock_; }
  // Safe to read after Stop; while running, a snapshot that may lag a period.
  StreamCounters counters() const;
  // Real time: how long after the engine signalled the period event the
  // period thread ran (from the first signal it had not yet handled), over
  // all periods of this client.
  const kernel::LatencyHistogram& wakeLatency() const { return wakeLatency_; }

 private:
  void PeriodThread();
  // Records the wake latency of the signals this wake took.
  void TakeWakeStamps();
  static void OnPeriodSignal(void* self);

  Simulator& sim_;
  std::unique_ptr<DeviceClient> device_;
  uint32_t devices_ = 0;
  void* statusBlock_ = nullptr;
  uint32_t periodFrames_ = 0;
  int32_t* shared_ = nullptr;
  bool buffersCreated_ = false;
  // halves_[direction][channel][half], direction 0 output, 1 input.
  int32_t* halves_[2][2][2] = {};
  PeriodWork work_;
  HANDLE periodEvent_ = nullptr;
  HANDLE delayEvent_ = nullptr;  // never signalled: the client's delays wait on it
  ClientBehaviour behaviour_;
  std::vector<int32_t> inputCopy_[2];  // the input a delayed client took at its wake
  uint64_t jitterState_ = 0x9E3779B97F4A7C15ull;
  HANDLE handshake_ = nullptr;
  std::optional<kernel::Enrolment> enrolment_;  // the period thread's, until it adopts it
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> responsive_{true};
  std::atomic<uint64_t> periods_{0}, missed_{0}, emptyWakes_{0}, readyFailures_{0};
  std::atomic<uint32_t> watchdogMax_{0};
  // Each period signal's steady-clock time, stamped before its waiter wakes
  // (the signalling thread writes, under the kernel's dispatcher lock); at
  // each wake the thread takes the stamps up to its wake and measures from
  // the oldest, the signal that set the event.
  static constexpr uint32_t kStampSlots = 64;
  std::array<std::atomic<int64_t>, kStampSlots> stamps_{};
  std::atomic<uint64_t> stampsMade_{0};
  uint64_t stampsTaken_ = 0;  // the period thread's
  kernel::LatencyHistogram wakeLatency_;
  std::atomic<bool> priorityKnown_{false}, realTime_{false};
  std::string priorityRefusal_;  // written before priorityKnown_ is set
};

}  // namespace tqm::sim
