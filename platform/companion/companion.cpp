// The companion's streams and endpoints over the call-in interface.
//
// Render: port 0's playback channels 0 and 1 read an interleaved stereo
// buffer of two halves (half 1 kHalfBytes behind half 0, stride 2). After the
// channels open, the engine reads half 0 first and then alternates, one read
// after each playback period callback; so before opening, half 0 gets the
// first period, and callback k (from 1) fills half k mod 2, which the engine
// has finished with and reads next but one.
//
// Capture: port 1's record channels write a buffer of the same shape; record
// period k (from 0) completed half k mod 2, and its callback copies it out.
//
// The callbacks run on the engine's completion path at DISPATCH_LEVEL (the
// record one inside the engine's record lock) and take only lock_. Nothing
// that calls into the engine is made while lock_ is held.
#include <algorithm>
#include <cstring>

#include "companion/companion.h"
#include "platform/kernel/internal.h"

namespace tqm::companion {

namespace {

constexpr ULONG kContainerBits = 32;

// One call-in block, with the pointer arguments in two words.
struct Block {
  ULONG w[8] = {};
};

class SpinGuard {
 public:
  explicit SpinGuard(KSPIN_LOCK* lock) : lock_(lock) { KeAcquireSpinLock(lock_, &irql_); }
  ~SpinGuard() { KeReleaseSpinLock(lock_, irql_); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL irql_;
};

}  // namespace

Companion::Companion() { KeInitializeSpinLock(&lock_); }

Companion::~Companion() { Release(); }

NTSTATUS Companion::Call(ULONG operation, ULONG* block) {
  if (!attached_.load() || !itf_.CallIn) return STATUS_DEVICE_NOT_CONNECTED;
  // What runs inside the call-in is TQMDRV's: the simulated kernel charges
  // the pool it takes to TQMDRV (on Windows the tag says whose it is), and
  // checks that it returns at the IRQL it was called at with no spin lock
  // held.
  kernel::RoutineCheck frame(kernel::FrameKind::InterfaceCall, provider_, nullptr, 0,
                             reinterpret_cast<const void*>(itf_.CallIn));
  return itf_.CallIn(itf_.Adapter, operation, block);
}

NTSTATUS Companion::RegisterCallback(ULONG a, ULONG b, ULONG c, TqmCompanionPeriodCallback* fn, void* context) {
  Block block;
  block.w[0] = a;
  block.w[1] = b;
  block.w[2] = c;
  SetCompanionPointerArgument(block.w, 3, reinterpret_cast<void*>(fn));
  SetCompanionPointerArgument(block.w, 3 + kCompanionPointerWords, context);
  return Call(kCompanionRegisterCallback, block.w);
}

NTSTATUS Companion::Channels(ULONG operation, ULONG direction, ULONG selector) {
  Block block;
  block.w[0] = direction;
  block.w[1] = selector;
  block.w[3] = kChannels;
  return Call(operation, block.w);
}

ULONG Companion::PeriodFrames() {
  Block block;
  if (!NT_SUCCESS(Call(kCompanionGetPeriodSize, block.w))) return 0;
  return std::min<ULONG>(block.w[0], kHalfFrames);
}

NTSTATUS Companion::Attach(const TqmCompanionInterface& itf, PDRIVER_OBJECT provider) {
  itf_ = itf;
  provider_ = provider;
  const ULONG bytes = 2 * kHalfBytes;
  playBuffer_ = static_cast<int32_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag));
  recordBuffer_ = static_cast<int32_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag));
  if (!playBuffer_ || !recordBuffer_) {
    Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(playBuffer_, 0, bytes);
  std::memset(recordBuffer_, 0, bytes);
  attached_ = true;

  struct {
    ULONG direction, selector;
    int32_t* buffer;
  } const buffers[] = {{0, 0, playBuffer_}, {1, kCompanionPort1Selector, recordBuffer_}};
  NTSTATUS status = STATUS_SUCCESS;
  for (const auto& b : buffers) {
    Block block;
    block.w[0] = b.direction;
    block.w[1] = b.selector;
    block.w[3] = kChannels;
    SetCompanionPointerArgument(block.w, 4, b.buffer);
    block.w[6] = kHalfBytes;
    block.w[7] = kChannels;
    if (NT_SUCCESS(status)) status = Call(kCompanionRegisterBuffers, block.w);
  }
  if (NT_SUCCESS(status)) status = RegisterCallback(0, 0, 0, OnPlayback, this);
  if (NT_SUCCESS(status)) status = RegisterCallback(1, 0, 2, OnRecord, this);
  if (!NT_SUCCESS(status)) {
    Quiesce();
    Release();
  }
  return status;
}

void Companion::Quiesce() {
  if (!attached_.load()) return;
  StopPlay();
  StopRecord();
  RegisterCallback(0, 0, 0, nullptr, nullptr);
  RegisterCallback(1, 0, 2, nullptr, nullptr);
  // The engine keeps no address of buffers that are about to go.
  for (ULONG direction = 0; direction < 2; ++direction) {
    Block block;
    block.w[0] = direction;
    block.w[1] = direction == 0 ? 0 : kCompanionPort1Selector;
    block.w[3] = kChannels;
    Call(kCompanionRegisterBuffers, block.w);
  }
  attached_ = false;
}

NTSTATUS Companion::LetGo(bool* released) {
  *released = false;
  {
    SpinGuard guard(&lock_);
    // A stream open through the interface: the device is in use.
    if (playing_ || recording_) return STATUS_DEVICE_BUSY;
  }
  if (keepsInterface_.load() || !attached_.load()) return STATUS_SUCCESS;
  Quiesce();
  Release();
  ++letGo_;
  *released = true;
  return STATUS_SUCCESS;
}

void Companion::Release() {
  attached_ = false;
  if (itf_.InterfaceDereference) itf_.InterfaceDereference(itf_.Context);
  itf_ = {};
  provider_ = nullptr;
  if (playBuffer_) ExFreePoolWithTag(playBuffer_, kPoolTag);
  if (recordBuffer_) ExFreePoolWithTag(recordBuffer_, kPoolTag);
  playBuffer_ = recordBuffer_ = nullptr;
}

// ---- streams ----

void Companion::SetStreamFormat(uint32_t rate, bool playback16) {
  SpinGuard guard(&lock_);
  formatRate_ = rate;
  formatPlayback16_ = playback16;
}

NTSTATUS Companion::Play(Source source) {
  if (!attached_.load()) return STATUS_DEVICE_NOT_CONNECTED;
  {
    SpinGuard guard(&lock_);
    if (playing_) {
      source_ = std::move(source);
      return STATUS_SUCCESS;
    }
  }
  uint32_t rate, playback16;
  {
    SpinGuard guard(&lock_);
    rate = formatRate_;
    playback16 = formatPlayback16_;
  }
  Block propose;
  propose.w[0] = rate ? rate : source.PreferredRate();
  NTSTATUS status = Call(kCompanionProposeRate, propose.w);
  if (!NT_SUCCESS(status)) return status;
  Block format;
  format.w[1] = propose.w[1];
  format.w[3] = kContainerBits;
  format.w[4] = playback16;
  status = Call(kCompanionSetFormat, format.w);
  if (!NT_SUCCESS(status)) return status;
  streamRate_ = propose.w[1];

  const ULONG period = PeriodFrames();
  {
    SpinGuard guard(&lock_);
    source_ = std::move(source);
    source_->Render(playBuffer_, period, streamRate_);
    playPeriods_ = 0;
    playing_ = true;
  }
  status = Channels(kCompanionOpenChannels, 0, 0);
  if (!NT_SUCCESS(status)) {
    SpinGuard guard(&lock_);
    playing_ = false;
  }
  return status;
}

void Companion::StopPlay() {
  {
    SpinGuard guard(&lock_);
    if (!playing_) return;
    playing_ = false;
  }
  Channels(kCompanionCloseChannels, 0, 0);
  SpinGuard guard(&lock_);
  source_.reset();
}

bool Companion::Playing() const {
  SpinGuard guard(&lock_);
  return playing_;
}

NTSTATUS Companion::StartRecord() {
  if (!attached_.load()) return STATUS_DEVICE_NOT_CONNECTED;
  {
    SpinGuard guard(&lock_);
    if (recording_) return STATUS_SUCCESS;
    recording_ = true;
    recordPeriods_ = 0;
  }
  const NTSTATUS status = Channels(kCompanionOpenChannels, 1, kCompanionPort1Selector);
  if (!NT_SUCCESS(status)) {
    SpinGuard guard(&lock_);
    recording_ = false;
  }
  return status;
}

void Companion::StopRecord() {
  {
    SpinGuard guard(&lock_);
    if (!recording_) return;
    recording_ = false;
  }
  Channels(kCompanionCloseChannels, 1, kCompanionPort1Selector);
}

bool Companion::Recording() const {
  SpinGuard guard(&lock_);
  return recording_;
}

std::vector<int32_t> Companion::TakeRecorded() {
  std::vector<int32_t> out;
  SpinGuard guard(&lock_);
  out.swap(recorded_);
  return out;
}

void Companion::OnPlayback(ULONG, ULONG, PVOID context) {
  auto* self = static_cast<Companion*>(context);
  const ULONG period = self->PeriodFrames();
  SpinGuard guard(&self->lock_);
  if (!self->playing_ || !self->source_) return;
  const uint64_t k = self->playPeriods_.load() + 1;
  int32_t* half = self->playBuffer_ + (k % 2) * kHalfFrames * kChannels;
  self->source_->Render(half, period, self->streamRate_);
  self->playPeriods_ = k;
}

void Companion::OnRecord(ULONG, ULONG, PVOID context) {
  auto* self = static_cast<Companion*>(context);
  const ULONG period = self->PeriodFrames();
  SpinGuard guard(&self->lock_);
  if (!self->recording_) return;
  const uint64_t k = self->recordPeriods_.load();
  const int32_t* half = self->recordBuffer_ + (k % 2) * kHalfFrames * kChannels;
  self->recorded_.insert(self->recorded_.end(), half, half + size_t(period) * kChannels);
  self->recordPeriods_ = k + 1;
}

// ---- endpoints ----

VolumeRange Companion::Range(Flow flow) {
  // What Windows shows for the device's endpoints: the render range reaches
  // below the hardware's -55 dB (such levels reach the driver as they are).
  return flow == Flow::Render ? VolumeRange{-96.0, 0.0, 0.5} : VolumeRange{-96.0, 12.0, 0.5};
}

EndpointState Companion::Endpoint(Flow flow) const {
  std::lock_guard lock(mu_);
  return endpoints_[int(flow)];
}

bool Companion::SetVolume(Flow flow, double leftDb, double rightDb) {
  const VolumeRange range = Range(flow);
  const auto inside = [&](double db) { return db >= range.minDb && db <= range.maxDb; };
  if (!attached_.load() || !inside(leftDb) || !inside(rightDb)) return false;
  EndpointState state;
  {
    std::lock_guard lock(mu_);
    endpoints_[int(flow)].levelDb[0] = leftDb;
    endpoints_[int(flow)].levelDb[1] = rightDb;
    state = endpoints_[int(flow)];
  }
  Block block;
  block.w[1] = flow == Flow::Render ? kCompanionPlayVolume : kCompanionRecordVolume;
  block.w[2] = ULONG(WdmLevel(leftDb));
  block.w[3] = ULONG(WdmLevel(rightDb));
  Call(kCompanionSetWdmVolume, block.w);
  Notify(flow, state);
  return true;
}

bool Companion::SetMute(Flow flow, bool muted) {
  if (!attached_.load()) return false;
  EndpointState state;
  {
    std::lock_guard lock(mu_);
    endpoints_[int(flow)].muted = muted;
    state = endpoints_[int(flow)];
  }
  Block block;
  block.w[1] = flow == Flow::Render ? kCompanionPlayMute : kCompanionRecordMute;
  block.w[2] = block.w[3] = muted ? 1 : 0;
  Call(kCompanionSetWdmVolume, block.w);
  Notify(flow, state);
  return true;
}

int Companion::AddObserver(Observer observer) {
  std::lock_guard lock(mu_);
  observers_[nextCookie_] = std::move(observer);
  return nextCookie_++;
}

void Companion::RemoveObserver(int cookie) {
  std::lock_guard lock(mu_);
  observers_.erase(cookie);
}

void Companion::Notify(Flow flow, const EndpointState& state) {
  std::vector<Observer> observers;
  {
    std::lock_guard lock(mu_);
    for (const auto& [cookie, observer] : observers_) observers.push_back(observer);
  }
  for (const Observer& observer : observers) observer(flow, state);
}

}  // namespace tqm::companion
