// AsioDirectSound: every IASIO operation; see asio_driver.h for the states,
// threads and locks.
#include "asio/asio_driver.h"

#include <mmsystem.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "asio/device_listener.h"
#include "asio/period_thread.h"
#include "tqm/identity.h"
#include "tqm/status_block.h"
#include "tqm/transfer_sizing.h"

namespace tqmasio {
namespace {

constexpr double kRates[] = {44100.0, 48000.0, 96000.0};
constexpr long kDriverVersion = 2;
constexpr DWORD kJoinMs = 2000;  // how long stop waits for the period thread
constexpr char kClockName[] = "ORU TQM27 Clock";
constexpr char kChannelPrefix[] = "ORU TQM27";

// The one object per process that holds the device (under the library's section).
AsioDirectSound* g_live = nullptr;

bool SupportedRate(double rate) {
  for (double r : kRates)
    if (rate == r) return true;
  return false;
}

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~Locked() { LeaveCriticalSection(section_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace

Latencies ReportedLatencies(uint32_t rate, uint32_t periodFrames, uint32_t requests, long inMul, long outMul) {
  const long k = long(tqm::FramesPerPacket(rate));
  const long b = long(tqm::PlaybackFramesPerRequest(rate, periodFrames));
  const long p = long(periodFrames);
  return {inMul * p + k, outMul * p + long(requests) * b - k};
}

CUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* hr) {
  *hr = S_OK;
  try {
    return new AsioDirectSound(outer);
  } catch (const std::bad_alloc&) {
    *hr = E_OUTOFMEMORY;
    return nullptr;
  }
}

AsioDirectSound::AsioDirectSound(IUnknown* outer)
    : CUnknown(tqm::kAsioDriverName, outer), position_(std::make_shared<StreamPosition>()) {
  InitializeCriticalSection(&lock_);
  nameLength_ = std::strlen(tqm::kAsioDriverName);
  std::memcpy(message_, tqm::kAsioDriverName, nameLength_ + 1);
  for (int i = 0; i < kMaxBuffers; ++i) {
    inputChannel_[i] = outputChannel_[i] = -1;
    inputHalf0_[i] = outputHalf0_[i] = nullptr;
  }
  ReadOptions();
  // Period stamps (timeGetTime) are 1 ms accurate for the object's life.
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR) {
    UINT period = caps.wPeriodMin < 1 ? 1 : caps.wPeriodMin;
    if (caps.wPeriodMax && period > caps.wPeriodMax) period = caps.wPeriodMax;
    if (timeBeginPeriod(period) == TIMERR_NOERROR) timerPeriod_ = period;
  }
}

AsioDirectSound::~AsioDirectSound() {
  Stopped stopped;
  DeviceListener* listener;
  {
    Locked lock(&lock_);
    if (started_) stopped = StopLocked();
    disposing_ = true;
    listener = TakeListenerLocked();
  }
  Join(stopped);
  EndListener(listener);
  {
    Locked lock(&lock_);
    if (buffersCreated_ && !removed_) DisposeLocked();
    CloseDeviceLocked();
  }
  if (timerPeriod_) timeEndPeriod(timerPeriod_);
  DeleteCriticalSection(&lock_);
}

HRESULT AsioDirectSound::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  // Hosts ask for the class identifier as IASIO's interface identifier.
  if (IsEqualGUID(iid, ToGuid(tqm::kAsioClassId))) {
    *out = static_cast<IASIO*>(this);
    AddRef();
    return S_OK;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

void AsioDirectSound::ReadOptions() {
  // Read access only: a standard user gets the options too.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tqm::kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  const struct {
    const char* name;
    long* value;
  } options[] = {{tqm::kOptionProcessNow, &processNow_},
                 {tqm::kOptionUseOutReady, &useOutReady_},
                 {tqm::kOptionOutLatency, &outLatency_},
                 {tqm::kOptionInLatency, &inLatency_}};
  for (const auto& option : options) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, option.name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value)
      *option.value = long(value);
  }
  RegCloseKey(key);
}

void AsioDirectSound::SetMessage(const char* text) {
  std::snprintf(message_ + nameLength_, kMessageSize - nameLength_, "%s", text);
}

uint32_t AsioDirectSound::statusWord(uint32_t word) const {
  return status_ ? tqm::StatusBlockView(status_, tqm::kNativeWide).Read(word) : 0;
}

// ---- opening and closing -----------------------------------------------------------

ASIOBool AsioDirectSound::init(void* sysHandle) {
  Locked lock(&lock_);
  if (removed_) return ASIOFalse;
  if (initialized_) return ASIOTrue;
  bool claimed = false;
  {
    Locked library(Library::section());
    if (!g_live) g_live = this;
    claimed = g_live == this;
  }
  bool ok = false;
  if (claimed) {
    auto* device = new (std::nothrow) DeviceClient;
    device_.store(device);
    uint32_t busy = 1, period = 0;
    void* status = nullptr;
    uint64_t cookie = 0;
    ok = device && device->Open() > 0 && device->QueryStreamHealth(&busy) && busy == 0;
    if (ok) {
      ok = device->MapStatusBlock(&status, &cookie);
      if (ok && !status) {
        // A mapping without an address is no mapping: hand it back.
        device->UnmapStatusBlock(status, cookie);
        ok = false;
      }
    }
    if (ok) {
      status_ = status;
      statusCookie_ = cookie;
      ok = device->GetLatency(&period) && period > 0;
    }
    if (ok) periodFrames_ = long(period);
  }
  if (!ok) {
    if (claimed) CloseDeviceLocked();
    initialized_ = false;
    SetMessage("ASIO Open Fails");
    return ASIOFalse;
  }
  currentRate_ = double(statusWord(tqm::StatusWord::SampleRate));
  inputs_ = outputs_ = 2 * deviceCount();
  requestedRate_ = 44100;
  sysHandle_ = sysHandle;
  initialized_ = true;
  return ASIOTrue;
}

void AsioDirectSound::CloseDeviceLocked() {
  DeviceClient* device = device_.exchange(nullptr);
  if (device) {
    if (status_) device->UnmapStatusBlock(status_, statusCookie_);
    device->Close();
    delete device;
  }
  status_ = nullptr;
  statusCookie_ = 0;
  initialized_ = false;
  Locked library(Library::section());
  if (g_live == this) g_live = nullptr;
}

// ---- simple queries ------------------------------------------------------------------

void AsioDirectSound::getDriverName(char* name) {
  if (name) std::memcpy(name, tqm::kAsioDriverName, std::strlen(tqm::kAsioDriverName) + 1);
}

long AsioDirectSound::getDriverVersion() { return kDriverVersion; }

void AsioDirectSound::getErrorMessage(char* string) {
  if (!string) return;
  Locked lock(&lock_);
  std::memcpy(string, message_, std::strlen(message_) + 1);
}

ASIOError AsioDirectSound::getChannels(long* numInputChannels, long* numOutputChannels) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!numInputChannels || !numOutputChannels) return ASE_InvalidParameter;
  inputs_ = outputs_ = 2 * deviceCount();
  *numInputChannels = inputs_;
  *numOutputChannels = outputs_;
  return ASE_OK;
}

ASIOError AsioDirectSound::getLatencies(long* inputLatency, long* outputLatency) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!inputLatency || !outputLatency) return ASE_InvalidParameter;
  toldRate_ = statusWord(tqm::StatusWord::SampleRate);
  toldRequests_ = statusWord(tqm::StatusWord::RequestCount);
  const Latencies l = ReportedLatencies(toldRate_, uint32_t(periodFrames_), toldRequests_, inLatency_, outLatency_);
  *inputLatency = l.input;
  *outputLatency = l.output;
  return ASE_OK;
}

ASIOError AsioDirectSound::getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!minSize || !maxSize || !preferredSize || !granularity) return ASE_InvalidParameter;
  // The panel may have changed the period since init; while no buffers
  // exist the driver's current one is what createBuffers will need.
  uint32_t period = 0;
  if (!buffersCreated_ && device_.load()->GetLatency(&period) && period > 0) periodFrames_ = long(period);
  *minSize = *maxSize = *preferredSize = periodFrames_;
  *granularity = 0;
  return ASE_OK;
}

ASIOError AsioDirectSound::canSampleRate(ASIOSampleRate sampleRate) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  return SupportedRate(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError AsioDirectSound::getSampleRate(ASIOSampleRate* sampleRate) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!sampleRate) return ASE_InvalidParameter;
  currentRate_ = double(statusWord(tqm::StatusWord::SampleRate));
  *sampleRate = currentRate_;
  return ASE_OK;
}

ASIOError AsioDirectSound::setSampleRate(ASIOSampleRate sampleRate) {
  ASIOCallbacks callbacks{};
  bool notify = false, idle = false;
  {
    Locked lock(&lock_);
    if (!usable()) return ASE_NotPresent;
    if (!SupportedRate(sampleRate)) return ASE_NoClock;
    if (sampleRate == currentRate_) return ASE_OK;
    const long rate = long(sampleRate);
    bool ok = true;
    for (int d = 0; d < deviceCount(); ++d) ok = device_.load()->SetSampleRate(d, uint32_t(rate)) && ok;
    if (!ok) {
      // The driver keeps its rate, and so do we.
      char text[128];
      std::snprintf(text, sizeof text, "Sample Rate Can't change to %ldKhz\nPlease setup by audio panel", rate);
      SetMessage(text);
      return ASE_NoClock;
    }
    currentRate_ = sampleRate;
    requestedRate_ = rate;
    if (run_) run_->rate.store(uint32_t(rate));
    notify = haveCallbacks_;
    callbacks = callbacks_;
    idle = !started_;
  }
  if (notify && callbacks.sampleRateDidChange) callbacks.sampleRateDidChange(sampleRate);
  // While streaming the period thread sees the new rate and tells the host.
  if (notify && idle && callbacks.asioMessage) callbacks.asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
  return ASE_OK;
}

ASIOError AsioDirectSound::getClockSources(ASIOClockSource* clocks, long* numSources) {
  if (!clocks || !numSources) return ASE_InvalidParameter;
  std::memset(clocks, 0, sizeof *clocks);
  clocks->index = 0;
  clocks->associatedChannel = 0;
  clocks->associatedGroup = 0;
  clocks->isCurrentSource = ASIOTrue;
  std::snprintf(clocks->name, sizeof clocks->name, "%s", kClockName);
  *numSources = 1;
  return ASE_OK;
}

ASIOError AsioDirectSound::setClockSource(long reference) {
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError AsioDirectSound::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!sPos || !tStamp) return ASE_InvalidParameter;
  // One period behind the half last handed to the host, never below 0;
  // counted in 64 bits so that it does not wrap after 2^32 samples.
  const uint64_t samples = position_->samples.load();
  const uint64_t period = uint64_t(bufferFrames_ > 0 ? bufferFrames_ : periodFrames_);
  const uint64_t at = samples > period ? samples - period : 0;
  sPos->hi = static_cast<unsigned long>(at >> 32);
  sPos->lo = static_cast<unsigned long>(at & 0xFFFFFFFFu);
  const uint64_t ns = uint64_t(position_->lastPeriodMs.load()) * 1000000u;
  tStamp->hi = static_cast<unsigned long>(ns >> 32);
  tStamp->lo = static_cast<unsigned long>(ns & 0xFFFFFFFFu);
  return ASE_OK;
}

ASIOError AsioDirectSound::getChannelInfo(ASIOChannelInfo* info) {
  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (!info || info->channel < 0 || (info->isInput != 0 && info->isInput != 1)) return ASE_InvalidParameter;
  const long count = info->isInput ? inputs_ : outputs_;
  if (info->channel >= count) return ASE_InvalidParameter;
  info->isActive = ASIOTrue;
  info->channelGroup = 0;
  info->type = ASIOSTInt32LSB;
  const long c = info->channel;
  if (c % 2 == 0)
    std::snprintf(info->name, sizeof info->name, "%s %ld/%ld:L", kChannelPrefix, c + 1, c + 2);
  else
    std::snprintf(info->name, sizeof info->name, "%s %ld/%ld:R", kChannelPrefix, c, c + 1);
  return ASE_OK;
}

ASIOError AsioDirectSound::controlPanel() { return ASE_OK; }

ASIOError AsioDirectSound::future(long selector, void* opt) {
  switch (selector) {
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead: {
      Locked lock(&lock_);
      timeCodeRead_ = selector == kAsioEnableTimeCodeRead;
      return ASE_SUCCESS;
    }
    case kAsioSetInputMonitor:
      return ASE_SUCCESS;
    default:
      return ASE_NotPresent;
  }
}

// ---- buffers ---------------------------------------------------------------------------

ASIOError AsioDirectSound::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                         ASIOCallbacks* callbacks) {
  // Everything is checked before anything changes.
  if (!bufferInfos || !callbacks || !callbacks->bufferSwitch || numChannels <= 0) return ASE_InvalidParameter;
  for (long i = 0; i < numChannels; ++i) {
    const ASIOBufferInfo& info = bufferInfos[i];
    if ((info.isInput != 0 && info.isInput != 1) || info.channelNum < 0) return ASE_InvalidParameter;
    for (long j = 0; j < i; ++j)
      if (bufferInfos[j].isInput == info.isInput && bufferInfos[j].channelNum == info.channelNum)
        return ASE_InvalidParameter;
  }
  // Hosts may free their record after the call: the driver keeps a copy.
  const ASIOCallbacks copy = *callbacks;
  {
    Locked lock(&lock_);
    if (!usable()) return ASE_NotPresent;
    if (buffersCreated_ || disposing_) return ASE_InvalidMode;
    uint32_t period = 0;
    if (device_.load()->GetLatency(&period) && period > 0) periodFrames_ = long(period);
    if (bufferSize != periodFrames_) return ASE_InvalidMode;
  }
  // The host is asked outside our lock.
  bool timeInfo = false;
  if (copy.asioMessage) {
    copy.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr);
    timeInfo = copy.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1 && copy.bufferSwitchTimeInfo;
  }

  Locked lock(&lock_);
  if (!usable()) return ASE_NotPresent;
  if (buffersCreated_ || disposing_ || bufferSize != periodFrames_) return ASE_InvalidMode;
  DeviceClient* device = device_.load();
  const int devices = deviceCount();
  inputCount_ = outputCount_ = 0;
  bufferFrames_ = bufferSize;
  for (int i = 0; i < kMaxBuffers; ++i) inputChannel_[i] = outputChannel_[i] = -1;

  void* shared = nullptr;
  if (!device->AllocSharedBuffer(uint32_t(periodFrames_) * 32 * uint32_t(devices), &shared) || !shared) {
    if (shared) device->AllocSharedBuffer(0, nullptr);
    return ASE_NoMemory;
  }
  shared_ = shared;
  bool registered = true;
  for (long i = 0; i < numChannels && registered; ++i) {
    ASIOBufferInfo& info = bufferInfos[i];
    const long count = info.isInput ? inputs_ : outputs_;
    // The first channel beyond the device's ends the list, without an error.
    if (info.channelNum >= count) break;
    int& created = info.isInput ? inputCount_ : outputCount_;
    if (created >= count || created >= kMaxBuffers) {
      DisposeLocked();
      return ASE_InvalidParameter;
    }
    auto* half0 = static_cast<uint8_t*>(shared) + size_t(i) * 2 * size_t(bufferSize) * 4;
    info.buffers[0] = half0;
    info.buffers[1] = half0 + size_t(bufferSize) * 4;
    (info.isInput ? inputChannel_ : outputChannel_)[created] = info.channelNum;
    (info.isInput ? inputHalf0_ : outputHalf0_)[created] = half0;
    ++created;
    for (uint32_t half = 0; half < 2; ++half)
      registered = device->SetClientBuffer(int(info.channelNum / 2), info.isInput ? 1 : 0,
                                           uint32_t(info.channelNum % 2), half, info.buffers[half]) &&
                   registered;
  }
  if (registered && currentRate_ > 0)
    for (int d = 0; d < devices; ++d) registered = device->SetSampleRate(d, uint32_t(currentRate_)) && registered;
  if (registered && !listener_) {
    listener_ = DeviceListener::Start(this);
    registered = listener_ != nullptr;
  }
  if (!registered) {
    DisposeLocked();
    return ASE_HWMalfunction;
  }
  callbacks_ = copy;
  haveCallbacks_ = true;
  timeInfoMode_ = timeInfo;
  toldRate_ = statusWord(tqm::StatusWord::SampleRate);
  toldRequests_ = statusWord(tqm::StatusWord::RequestCount);
  buffersCreated_ = true;
  return ASE_OK;
}

void AsioDirectSound::DisposeLocked() {
  DeviceClient* device = device_.load();
  if (device) {
    for (int i = 0; i < inputCount_; ++i)
      for (uint32_t half = 0; half < 2; ++half)
        device->SetClientBuffer(int(inputChannel_[i] / 2), 1, uint32_t(inputChannel_[i] % 2), half, nullptr);
    for (int i = 0; i < outputCount_; ++i)
      for (uint32_t half = 0; half < 2; ++half)
        device->SetClientBuffer(int(outputChannel_[i] / 2), 0, uint32_t(outputChannel_[i] % 2), half, nullptr);
    if (shared_) device->AllocSharedBuffer(0, nullptr);
  }
  shared_ = nullptr;
  inputCount_ = outputCount_ = 0;
  buffersCreated_ = false;
}

DeviceListener* AsioDirectSound::TakeListenerLocked() {
  DeviceListener* listener = listener_;
  listener_ = nullptr;
  return listener;
}

void AsioDirectSound::EndListener(DeviceListener* listener) { DeviceListener::End(listener); }

ASIOError AsioDirectSound::disposeBuffers() {
  Stopped stopped;
  {
    Locked lock(&lock_);
    if (!usable()) return ASE_NotPresent;
    if (!buffersCreated_ || disposing_) return ASE_InvalidMode;
    if (started_) stopped = StopLocked();
    disposing_ = true;
  }
  // The period thread may still be in the host's switch, using the halves.
  Join(stopped);
  DeviceListener* listener;
  {
    Locked lock(&lock_);
    disposing_ = false;
    if (!removed_ && buffersCreated_) DisposeLocked();
    listener = TakeListenerLocked();
  }
  EndListener(listener);
  return ASE_OK;
}

// ---- streaming --------------------------------------------------------------------------

ASIOError AsioDirectSound::start() {
  Stopped failed;
  {
    Locked lock(&lock_);
    if (!usable() || !buffersCreated_) return ASE_NotPresent;
    if (started_ || disposing_) return ASE_InvalidMode;
    DeviceClient* device = device_.load();
    std::shared_ptr<PeriodRun> run;
    try {
      run = std::make_shared<PeriodRun>();
    } catch (const std::bad_alloc&) {
      return ASE_HWMalfunction;
    }
    run->periodEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    run->quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    run->handshake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!run->periodEvent || !run->quitEvent || !run->handshake) return ASE_HWMalfunction;
    run->callbacks = callbacks_;
    run->timeInfoMode = timeInfoMode_;
    run->processNow = processNow_;
    run->periodFrames = uint32_t(bufferFrames_);
    run->toldPeriod = uint32_t(periodFrames_);
    run->toldRate = toldRate_;
    run->toldRequests = toldRequests_;
    run->rate.store(uint32_t(currentRate_));
    run->status = status_;
    run->position = position_;
    std::memset(&run->time, 0, sizeof run->time);
    run->time.timeInfo.sampleRate = currentRate_;
    run->time.timeCode.speed = 1.0;
    StreamPosition& position = *position_;
    position.samples.store(0);
    position.periods.store(0);
    position.intervalMs.store(0);
    position.handedHalf.store(0);
    position.resetAsked.store(false);

    HANDLE thread = StartPeriodThread(run);
    if (!thread) return ASE_HWMalfunction;
    const bool registered = device->SetPeriodEvent(run->periodEvent);
    const bool running = registered && WaitForSingleObject(run->handshake, kJoinMs) == WAIT_OBJECT_0;
    started_ = true;  // before the channels open, so the first period is not lost
    run_ = run;
    thread_ = thread;
    position.lastPeriodMs.store(timeGetTime());
    bool opened = running;
    for (int d = 0; d < deviceCount() && opened; ++d) {
      uint32_t outMask = 0, inMask = 0;
      for (int i = 0; i < outputCount_; ++i)
        if (outputChannel_[i] / 2 == d) outMask |= 1u << (outputChannel_[i] % 2);
      for (int i = 0; i < inputCount_; ++i)
        if (inputChannel_[i] / 2 == d) inMask |= 1u << (inputChannel_[i] % 2);
      if (!outMask && !inMask) continue;
      uint32_t result = ~0u;
      opened = device->ActivateChannels(d, outMask, inMask, true, &result) && result == 0;
    }
    if (opened) return ASE_OK;
    failed = StopLocked();
  }
  Join(failed);
  return ASE_HWMalfunction;
}

AsioDirectSound::Stopped AsioDirectSound::StopLocked() {
  Stopped stopped{run_, thread_};
  started_ = false;
  if (run_) {
    run_->quit.store(true);
    SetEvent(run_->quitEvent);
  }
  if (DeviceClient* device = device_.load(); device && !removed_) {
    for (int d = 0; d < deviceCount(); ++d) {
      uint32_t outMask = 0, inMask = 0;
      for (int i = 0; i < outputCount_; ++i)
        if (outputChannel_[i] / 2 == d) outMask |= 1u << (outputChannel_[i] % 2);
      for (int i = 0; i < inputCount_; ++i)
        if (inputChannel_[i] / 2 == d) inMask |= 1u << (inputChannel_[i] % 2);
      if (outMask || inMask) device->ActivateChannels(d, outMask, inMask, false, nullptr);
    }
    device->SetPeriodEvent(nullptr);
  }
  run_.reset();
  thread_ = nullptr;
  position_->lastPeriodMs.store(0);
  return stopped;
}

void AsioDirectSound::Join(Stopped stopped) {
  if (!stopped.thread) return;
  // From inside the host's switch the thread ends by itself when the switch returns.
  if (GetCurrentThreadId() != stopped.run->threadId.load()) WaitForSingleObject(stopped.thread, kJoinMs);
  CloseHandle(stopped.thread);
}

ASIOError AsioDirectSound::stop() {
  Stopped stopped;
  {
    Locked lock(&lock_);
    if (!usable() || !buffersCreated_) return ASE_NotPresent;
    if (!started_) return ASE_InvalidMode;
    stopped = StopLocked();
  }
  Join(stopped);
  return ASE_OK;
}

ASIOError AsioDirectSound::outputReady() {
  // No lock: hosts call this from inside the switch while another thread may be in stop.
  if (useOutReady_ == 0 || removed_.load()) return ASE_NotPresent;
  DeviceClient* device = device_.load();
  if (!device) return ASE_NotPresent;
  // The first call is the host asking whether the driver takes outputReady.
  if (!outputReadySeen_.exchange(true)) return ASE_OK;
  device->OutputReady(uint32_t(position_->handedHalf.load()));
  return ASE_OK;
}

// ---- removal ----------------------------------------------------------------------------

void AsioDirectSound::OnInterfaceRemoved(const wchar_t* path) {
  Stopped stopped;
  ASIOCallbacks callbacks{};
  bool notify = false;
  std::shared_ptr<StreamPosition> position;
  {
    Locked lock(&lock_);
    DeviceClient* device = device_.load();
    if (removed_ || !device || !device->Holds(path)) return;
    if (started_) stopped = StopLocked();
    removed_ = true;
    disposing_ = true;
    notify = haveCallbacks_;
    callbacks = callbacks_;
    position = position_;
  }
  Join(stopped);
  DeviceListener* listener;
  {
    Locked lock(&lock_);
    // The device is gone: hand back what it allows (halves, buffer, mapping) and close.
    if (buffersCreated_) DisposeLocked();
    CloseDeviceLocked();
    disposing_ = false;
    listener = TakeListenerLocked();
  }
  EndListener(listener);
  // Asked last, so that a host that releases the driver in its handler finds
  // nothing left for this thread to do.
  if (notify && callbacks.asioMessage && !position->resetAsked.exchange(true))
    callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

}  // namespace tqmasio
