// `AsioDirectSound`: the driver object a host creates and drives through IASIO.
//
// States: constructed (options read) -> initialized (device open, status block
// mapped) -> buffers created (SharedBuffer halves registered with port 2,
// listener running) -> started (period thread, channels open) and back; a
// removal of one of our interfaces ends in "removed", where every call answers
// ASE_NotPresent and only Release does work.
//
// Threads and locks. Host calls are serialised by the object's lock, which is
// never held while the host is called and never held while another of our
// threads is joined. The period thread takes no lock: it owns a `PeriodRun`
// (its events, a copy of the callbacks, the time-info record) which it keeps
// alive itself, so nothing it uses is freed under it; it reads and writes the
// status block and `StreamPosition` only. outputReady takes no lock either
// (hosts call it from inside bufferSwitch while another thread is in stop).
// The device listener runs on a thread of its own.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "asio/asio_interface.h"
#include "asio/com_frame.h"
#include "asio/device_client.h"

namespace tqmasio {

class DeviceListener;
struct PeriodRun;

// What the period thread publishes for the host's calls; shared with the
// threads so that it outlives any of them.
struct StreamPosition {
  std::atomic<uint64_t> samples{0};        // position of the half last handed to the host
  std::atomic<uint64_t> periods{0};        // wakes handled since start
  std::atomic<uint32_t> lastPeriodMs{0};   // timeGetTime of the last period (0: none)
  std::atomic<uint32_t> intervalMs{0};
  std::atomic<long> handedHalf{0};         // the half last handed to the host
  std::atomic<bool> resetAsked{false};     // one reset request per stream
};

class AsioDirectSound : public IASIO, public CUnknown {
 public:
  static constexpr int kMaxBuffers = 64;  // per direction
  static constexpr size_t kMessageSize = 256;

  explicit AsioDirectSound(IUnknown* outer);
  ~AsioDirectSound() override;

  // IUnknown of the IASIO interface: the outer unknown's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return outer()->QueryInterface(iid, out); }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer()->Release(); }
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  long getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
  ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
  ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
  ASIOError setClockSource(long reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(long selector, void* opt) override;
  ASIOError outputReady() override;

  // The listener saw an interface of our class go away (its thread).
  void OnInterfaceRemoved(const wchar_t* path);

 private:
  struct Stopped {
    std::shared_ptr<PeriodRun> run;
    HANDLE thread = nullptr;
  };

  void ReadOptions();
  void SetMessage(const char* text);
  bool usable() const { return initialized_ && !removed_; }
  int deviceCount() const {
    DeviceClient* d = device_.load();
    return d ? d->count() : 0;
  }
  // Under the lock: ends the stream on the device and hands back the thread to join.
  Stopped StopLocked();
  // Under the lock: unregisters the halves and frees the SharedBuffer.
  void DisposeLocked();
  void CloseDeviceLocked();
  static void Join(Stopped stopped);
  // Detaches the listener under the lock; joined by the caller after it.
  DeviceListener* TakeListenerLocked();
  static void EndListener(DeviceListener* listener);
  uint32_t statusWord(uint32_t word) const;

  CRITICAL_SECTION lock_;

  bool initialized_ = false;
  bool buffersCreated_ = false;
  bool started_ = false;
  bool disposing_ = false;  // between a stop and the release of the halves
  std::atomic<bool> removed_{false};

  ASIOCallbacks callbacks_{};
  bool haveCallbacks_ = false;
  bool timeInfoMode_ = false;
  bool timeCodeRead_ = false;
  std::atomic<bool> outputReadySeen_{false};

  long periodFrames_ = 0;   // from the driver at init
  long bufferFrames_ = 0;   // given to createBuffers
  // The rate and request count the host's latencies were last worked out
  // from: the period thread measures a change from these.
  uint32_t toldRate_ = 0, toldRequests_ = 0;
  long inputs_ = 0, outputs_ = 0;
  int inputCount_ = 0, outputCount_ = 0;
  long inputChannel_[kMaxBuffers];
  long outputChannel_[kMaxBuffers];
  void* inputHalf0_[kMaxBuffers];
  void* outputHalf0_[kMaxBuffers];

  char message_[kMessageSize];
  size_t nameLength_ = 0;
  double currentRate_ = 0;
  long requestedRate_ = 0;

  void* shared_ = nullptr;
  void* sysHandle_ = nullptr;
  void* status_ = nullptr;
  uint64_t statusCookie_ = 0;
  std::atomic<DeviceClient*> device_{nullptr};

  long processNow_ = 1, useOutReady_ = 1, outLatency_ = 1, inLatency_ = 1;
  UINT timerPeriod_ = 0;

  std::shared_ptr<StreamPosition> position_;
  std::shared_ptr<PeriodRun> run_;
  HANDLE thread_ = nullptr;
  DeviceListener* listener_ = nullptr;
};

// The reported latencies in frames: input = inMul x P + K, output =
// outMul x P + W x B - K (K frames per 1 ms packet, W playback requests in
// flight, B frames per request). With both multipliers 1 the two add up to
// the round trip through the device minus its own loop delay.
struct Latencies {
  long input;
  long output;
};
Latencies ReportedLatencies(uint32_t rate, uint32_t periodFrames, uint32_t requests, long inMul, long outMul);

}  // namespace tqmasio
