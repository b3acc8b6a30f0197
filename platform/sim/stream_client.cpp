// The simulator's stream client (stream_client.h).
#include "platform/sim/stream_client.h"

#include <algorithm>
#include <chrono>

#include "platform/kernel/clock.h"
#include "platform/kernel/os.h"

namespace tqm::sim {

namespace {

constexpr uint32_t kOutput = 0, kInput = 1;

// The ASIO period thread runs time-critical in the "Pro Audio" class; the
// nearest a host thread gets is a real-time policy, when the host allows it,
// below the clock thread (the host controller's DPCs preempt it on Windows).
// A refusal is reported, not fatal, as the ASIO driver ignores a failed
// class join.
constexpr int kClientRealTimeLevel = 10;
static_assert(kClientRealTimeLevel < kernel::Clock::kRealTimeLevel);

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

StreamClient::StreamClient(Simulator& sim, std::string processName)
    : sim_(sim), device_(std::make_unique<DeviceClient>(sim.machine(), std::move(processName))) {}

StreamClient::~StreamClient() {
  Stop();
  DisposeBuffers();
  Close();
}

bool StreamClient::Open(std::string* error) { return Open(std::wstring(), error); }

bool StreamClient::Open(const std::wstring& interfacePath, std::string* error) {
  // Device 0 is the interface opened last that answers the probe; the
  // client streams on one device.
  std::vector<std::wstring> paths = sim_.DriverInterfaces();
  if (!interfacePath.empty()) paths.assign(1, interfacePath);
  for (auto path = paths.rbegin(); path != paths.rend() && !devices_; ++path) {
    if (!NT_SUCCESS(device_->Open(*path))) continue;
    if (device_->Identify()) {
      devices_ = 1;
    } else {
      device_->Close();
    }
  }
  if (!device_->open()) {
    *error = "no device answers the identity probe";
    return false;
  }
  const std::optional<uint32_t> health = device_->QueryStreamHealth();
  if (!health || *health != 0) {
    *error = health ? "another client holds the engine (QueryStreamHealth answered " + std::to_string(*health) + ")"
                    : "QueryStreamHealth failed";
    device_->Close();
    devices_ = 0;
    return false;
  }
  statusBlock_ = device_->MapStatusBlock(true);
  return true;
}

bool StreamClient::CreateBuffers(uint32_t rate, std::string* error) {
  const std::optional<uint32_t> latency = device_->GetLatency();
  if (!latency || *latency == 0 || *latency > 512) {
    *error = "GetLatency gave no usable period";
    return false;
  }
  periodFrames_ = *latency;
  CommandResult result;
  void* shared = device_->AllocSharedBuffer(periodFrames_ * 32 * devices_, &result);
  if (!shared) {
    *error = "AllocSharedBuffer failed: " + StatusText(result.status);
    return false;
  }
  shared_ = static_cast<int32_t*>(shared);
  // In the host's order: inputs 0 and 1, then outputs 0 and 1; buffer i has
  // half 0 at i x 2 x period samples and half 1 right behind it.
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t direction = i < 2 ? kInput : kOutput;
    const uint32_t channel = i % 2;
    for (uint32_t half = 0; half < 2; ++half) {
      int32_t* address = shared_ + (i * 2 + half) * periodFrames_;
      halves_[direction][channel][half] = address;
      result = device_->SetClientBuffer(direction, channel, half, address);
      if (!result.ok()) {
        *error = "SetClientBuffer failed: " + StatusText(result.status);
        return false;
      }
    }
  }
  result = device_->SetSampleRate(rate);
  if (!result.ok()) {
    *error = "SetSampleRate " + std::to_string(rate) + " failed: " + StatusText(result.status);
    return false;
  }
  for (std::vector<int32_t>& copy : inputCopy_) copy.assign(periodFrames_, 0);
  buffersCreated_ = true;
  return true;
}

bool StreamClient::Start(PeriodWork work, std::string* error, const std::function<void()>& beforeActivate) {
  if (!buffersCreated_) {
    *error = "no buffers";
    return false;
  }
  work_ = std::move(work);
  handshake_ = device_->CreateEvent(false, false);
  stampsTaken_ = stampsMade_.load();
  periodEvent_ = device_->CreateWatchedEvent(&StreamClient::OnPeriodSignal, this);
  delayEvent_ = device_->CreateEvent(true, false);
  started_ = true;
  // In virtual time the thread counts as running from here: the clock must
  // not move while the host gets round to starting it.
  if (sim_.virtualTime()) enrolment_.emplace(sim_.machine());
  thread_ = std::thread([this] { PeriodThread(); });
  const CommandResult result = device_->SetPeriodEvent(periodEvent_);
  device_->WaitForEvent(handshake_, std::nullopt);
  device_->CloseEvent(handshake_);
  handshake_ = nullptr;
  if (!result.ok()) {
    *error = "SetPeriodEvent failed: " + StatusText(result.status);
    Stop();
    return false;
  }
  if (beforeActivate) beforeActivate();
  const CommandResult active = device_->ActivateChannels(3, 3, true);
  if (!active.ok()) {
    *error = "ActivateChannels failed: " + StatusText(active.status);
    Stop();
    return false;
  }
  return true;
}

void StreamClient::Stop() {
  if (!thread_.joinable()) return;
  started_ = false;
  device_->ActivateChannels(3, 3, false);
  // The thread wakes, finds the client stopped and ends; a delay it is in
  // ends at once (in virtual time nothing would move the clock for it).
  device_->SetEvent(delayEvent_);
  device_->SetEvent(periodEvent_);
  thread_.join();
  enrolment_.reset();
  device_->CloseEvent(periodEvent_);
  periodEvent_ = nullptr;
  device_->CloseEvent(delayEvent_);
  delayEvent_ = nullptr;
  device_->SetPeriodEvent(nullptr);
}

void StreamClient::DisposeBuffers() {
  if (!buffersCreated_) return;
  for (uint32_t direction = 0; direction < 2; ++direction)
    for (uint32_t channel = 0; channel < 2; ++channel)
      for (uint32_t half = 0; half < 2; ++half) device_->SetClientBuffer(direction, channel, half, nullptr);
  device_->AllocSharedBuffer(0);
  shared_ = nullptr;
  buffersCreated_ = false;
}

void StreamClient::Close() {
  if (!device_->open()) return;
  if (statusBlock_) device_->UnmapStatusBlock(true);
  statusBlock_ = nullptr;
  device_->Close();
  devices_ = 0;
}

std::optional<StatusBlockView> StreamClient::status() const {
  if (!statusBlock_) return std::nullopt;
  return StatusBlockView(statusBlock_, kNativeWide);
}

StreamCounters StreamClient::counters() const {
  StreamCounters c;
  c.periods = periods_;
  c.missed = missed_;
  c.watchdogMax = watchdogMax_;
  c.emptyWakes = emptyWakes_;
  c.outputReadyFailures = readyFailures_;
  c.priorityKnown = priorityKnown_;
  c.realTime = realTime_;
  if (c.priorityKnown) c.priorityRefusal = priorityRefusal_;
  return c;
}

void StreamClient::OnPeriodSignal(void* self) {
  // Runs on the thread that sets the event (the clock thread, in the engine's
  // completion), under the dispatcher lock and before the waiter wakes, so
  // one signal at a time.
  auto* client = static_cast<StreamClient*>(self);
  const uint64_t n = client->stampsMade_.load(std::memory_order_relaxed);
  client->stamps_[n % kStampSlots].store(SteadyNs(), std::memory_order_relaxed);
  client->stampsMade_.store(n + 1, std::memory_order_release);
}

void StreamClient::TakeWakeStamps() {
  const int64_t woke = SteadyNs();
  const uint64_t made = stampsMade_.load(std::memory_order_acquire);
  // A thread held off longer than the ring lost the oldest stamps.
  if (made - stampsTaken_ > kStampSlots) stampsTaken_ = made - kStampSlots;
  int64_t oldest = 0;
  while (stampsTaken_ < made) {
    const int64_t stamp = stamps_[stampsTaken_ % kStampSlots].load(std::memory_order_relaxed);
    // A signal after this wake belongs to the next one.
    if (stamp > woke) break;
    if (!oldest) oldest = stamp;
    ++stampsTaken_;
  }
  // Signals that met one wait share it; a wake whose signal an earlier wake
  // already took (it came between that wake and its look) has no sample.
  if (oldest) wakeLatency_.RecordNs(woke - oldest);
}

void StreamClient::PeriodThread() {
  std::optional<kernel::Participation> participation;
  if (sim_.virtualTime()) {
    participation.emplace(sim_.machine(), *enrolment_);
  } else if (!priorityKnown_) {
    realTime_ = kernel::os::RaiseToRealTime(kClientRealTimeLevel, &priorityRefusal_);
    priorityKnown_ = true;
  } else if (realTime_) {
    kernel::os::RaiseToRealTime(kClientRealTimeLevel, nullptr);
  }
  device_->SetEvent(handshake_);
  const std::optional<StatusBlockView> block = status();
  for (;;) {
    // A wait that fails (the handle is gone) ends the thread rather than
    // spinning at its raised priority.
    if (!NT_SUCCESS(device_->WaitForEvent(periodEvent_, std::nullopt)) || !started_) break;
    if (!sim_.virtualTime()) TakeWakeStamps();
    if (!responsive_) continue;
    uint32_t half = 0;
    if (block) {
      const uint32_t watchdog = block->Read(StatusWord::Watchdog);
      if (watchdog == 0) ++emptyWakes_;
      if (watchdog > 1) missed_ += watchdog - 1;
      if (watchdog > watchdogMax_) watchdogMax_ = watchdog;
      half = block->Read(StatusWord::RecordHalf) & 1;
    }
    PeriodBuffers buffers;
    buffers.index = periods_;
    buffers.frames = periodFrames_;
    buffers.half = half;
    for (uint32_t c = 0; c < 2; ++c) {
      buffers.input[c] = halves_[kInput][c][half];
      buffers.output[c] = halves_[kOutput][c][half];
    }
    if (behaviour_.delayFrames || behaviour_.jitterFrames) {
      // A host reads its input as it starts the period and writes its output
      // when it finishes: the input is taken now, before the next period can
      // overwrite its half.
      for (uint32_t c = 0; c < 2; ++c) {
        std::copy(buffers.input[c], buffers.input[c] + periodFrames_, inputCopy_[c].begin());
        buffers.input[c] = inputCopy_[c].data();
      }
      // The period's work ends this long after the event.
      uint32_t frames = behaviour_.delayFrames;
      if (behaviour_.jitterFrames) {
        jitterState_ ^= jitterState_ << 13;
        jitterState_ ^= jitterState_ >> 7;
        jitterState_ ^= jitterState_ << 17;
        frames += uint32_t(jitterState_ % (uint64_t(behaviour_.jitterFrames) + 1));
      }
      uint32_t rate = block ? block->Read(StatusWord::SampleRate) : 48000;
      if (!rate) rate = 48000;
      device_->Delay(uint64_t(frames) * 10000000 / rate, delayEvent_);
      if (!started_) break;
    }
    if (work_) work_(buffers);
    if (behaviour_.outputReady && !device_->OutputReady(half).ok()) ++readyFailures_;
    if (block) block->Write(StatusWord::Watchdog, 0);
    ++periods_;
  }
}

}  // namespace tqm::sim
