// The stream engine: the driver's real-time core and its whole conversation
// with the USB stack.
//
// One StreamEngine per device, owned by the device's adapter. It reads the
// device at start (descriptors, the format scan, the configuration), selects
// the streaming interfaces' alternate settings, sends the audio class requests,
// and while any client channel is open keeps one isochronous stream per
// direction running: a PipeStream owns its TransferContexts, each a request
// (IRP + isochronous URB) that lives from stream start to stream stop and is
// passed down again from its own completion routine.
//
// Memory: the adapter's transfer memory is carved at device start into the
// transfer buffers, the device halves and the playback carry buffer (see
// Carve); the loop rings and the output-ready queue are one pool block each,
// allocated at device start. Nothing is allocated while streaming.
//
// Locks: the record lock guards the record half, its position and the
// distribution to the clients; the playback lock guards the playback half, its
// position, the carry, the pacer, the client mix and the output-ready queue.
// Each also guards its stream's submit queue and stopping flag. Requests are
// passed down with no lock held: the stack may complete a request inside
// IoCallDriver (a vanished device, a halted pipe), and that completion takes the
// lock itself. The submit queue keeps the order in which requests were built,
// so requests still go down in order when completions overlap.
//
// Configuration changes (channel open and close, rate, request count, period,
// settings apply) run at passive level and are serialised by one recursive
// resource, configLock_, so one change never stops or resizes the streams
// under another. The settings records (current_, pending_) are under it too.
//
// Seams for the later parts: notification slots 0 and 1 go through a
// NotifySink, and the companion's period callbacks through SetPeriodCallback.
#pragma once

#include "driver/engine/usb_headers.h"
#include "driver/engine/port_mixer.h"
#include "driver/engine/transfer_sizing.h"
#include "tqm/mixer_settings.h"

namespace engine {

constexpr ULONG kEngineMemoryBytes = 102400;
constexpr ULONG kTransferMemoryBytes = kEngineMemoryBytes + sizeof(tqm::DeviceStatusBlock);
constexpr ULONG kChannelBlockBytes = 2048;  // one block per channel: 512 32-bit samples
constexpr ULONG kMaxRequests = 10;
constexpr ULONG kRecordRequests = 10;
constexpr ULONG kMaxPipes = 30;
constexpr ULONG kMaxInterfaces = 8;
constexpr ULONG kMaxPeriodFrames = 288;
constexpr ULONG kRecordInterface = 2, kPlaybackInterface = 3;
constexpr UCHAR kPlaybackEndpoint = 0x03, kRecordEndpoint = 0x82;
constexpr USHORT kPlaybackUnitIndex = 0x1001, kRecordUnitIndex = 0x0E01;
constexpr ULONG kDrainRoundMs = 100, kDrainRounds = 40;
// A slot whose request fails this many times in a row is not passed down
// again: a failure that repeats at once (a halted pipe, a stack that rejects
// the request) would otherwise resubmit it in a loop.
constexpr ULONG kMaxConsecutiveFailures = 4;
// A request that came back only because all its frames had passed before it
// reached the bus does not repeat at once: the next one is for later frames,
// and the stream, a request ahead each time, catches up with the bus (a
// start held up, a late DPC). Such failures retire a slot only after a
// second's worth of them in a row.
constexpr ULONG kMaxConsecutiveLateFailures = 1000;

// The 16-bit USB audio volume (1/256 dB) for a settings volume word: half-dB
// steps from -55 dB (playback) or -40 dB (record).
// A level beyond what the field's high byte carries (-127..+127 dB) is sent
// as that end of the range, never wrapped.
USHORT VolumeWireValue(LONG word, ULONG direction);

// The shortest period at a rate: one 1 ms packet's frames, rounded up.
constexpr ULONG MinPeriodFrames(ULONG rate) { return (rate + 999) / 1000; }

class StreamEngine;
struct PipeStream;

struct TransferContext : PoolObject {
  ULONG slot;
  // The stream's first request, until it completes: a start frame the stack
  // refuses sends the stream as soon as possible instead.
  bool firstTransfer;
  PIRP irp;
  PURB urb;
  ULONG urbBytes;
  UCHAR* buffer;
  ULONG bufferBytes;
  PipeStream* stream;
  // Being passed down by Send right now (under the direction's lock): a stop
  // leaves it to finish on the bus rather than cancel it mid-call.
  bool inCall;
  // Completions in a row that failed (under the direction's lock), and of
  // those the ones that came back late; a completion without error clears
  // both.
  ULONG failures;
  ULONG lateFailures;
};

// What became of the requests that came back with an error, per direction,
// since the engine was made. A request that failed while the device is
// present goes down again and counts under its cause; cancelled requests
// (stop, removal) and those of a vanished device retire. Written under the
// direction's lock, read whole-word by anyone.
struct TransferFaultCounters {
  // Resubmitted, by cause:
  uint32_t requestFailed;  // the request failed as a whole (its packets not
                           // accessed by the controller, late, in error)
  uint32_t packetErrors;   // it completed with some of its packets in error
  uint32_t stalled;        // the pipe stalled or is halted
  uint32_t otherErrors;    // any other failure status
  // Retired:
  uint32_t slotsRetired;   // slots given up after kMaxConsecutiveFailures
  uint32_t deviceGone;     // requests of a vanished or removed device
  uint32_t poweredOff;     // requests the stack ended or refused because the
                           // device was out of D0: resubmitted, they would
                           // only be refused again until D0
  // Frames of silence put in place of the failed IN packets' frames.
  uint32_t recordFramesFilled;
};

struct PipeStream : PoolObject {
  StreamEngine* engine;
  ULONG direction;
  volatile LONG inFlight;
  KEVENT drained;
  UCHAR endpoint;
  USBD_PIPE_HANDLE pipe;
  USBD_PIPE_TYPE pipeType;
  bool stopping;  // under the direction's lock: nothing more goes down
  // Under the direction's lock. While `timed`, every request names its bus
  // frames: the stream's first goes down for the start frame (both streams
  // start in the same frame) and each next one for the frame after the one
  // built before it, `nextFrame`. A stream keeps its place in time that way
  // even when its requests come back late or fail: packets for frames
  // already past end late and are lost, but nothing after them moves, so
  // the record and playback streams stay the round trip apart. Without a
  // frame number from the stack the requests go as soon as possible.
  bool timed;
  ULONG nextFrame;
  TransferContext* contexts[kMaxRequests];
  ULONG slots;
  // Requests built and waiting to be passed down, in build order; `sending`
  // says a thread is passing them down. Under the direction's lock.
  TransferContext* pending[kMaxRequests];
  ULONG pendingHead, pendingCount;
  bool sending;
};

// Notification slots the engine signals: 0 at stream start, 1 at each
// completed record period. Called at any IRQL up to DISPATCH_LEVEL.
struct NotifySink {
  void (*signal)(void* context, ULONG slot);
  void* context;
};

using PeriodCallback = void (*)(ULONG a, ULONG c, void* context);

struct Callback {
  PeriodCallback fn;
  void* context;
};

// A registered callback runs only with its context set.
inline void Call(const Callback& callback, ULONG a, ULONG c) {
  if (callback.fn && callback.context) callback.fn(a, c, callback.context);
}

// A callback pair that changes while the completions read it, from any IRQL
// and from inside the callbacks themselves: readers take no lock and retry
// while a change is under way (the sequence is odd or moved); writers are
// serialised by the engine's callback lock, which nothing else nests inside.
struct CallbackSlot {
  uint32_t sequence;
  PeriodCallback fn;
  void* context;
};

class StreamEngine : public PoolObject {
 public:
  // ---- life (stream_engine.cpp) ----
  // `memory` is the adapter's transfer memory of kEngineMemoryBytes;
  // `status` the status block, which the adapter keeps on a page of its own.
  // `sizeValue` is the size the adapter records for the engine memory (it
  // does not limit the carve).
  StreamEngine(PDEVICE_OBJECT lower, UCHAR* memory, ULONG sizeValue, tqm::DeviceStatusBlock* status);
  ~StreamEngine();
  void SetNotifySink(NotifySink sink) { notify_ = sink; }
  // Signals a notification slot through the sink (the companion's close of
  // port 1 signals slot 0).
  void Signal(ULONG slot);
  void SetPeriodCallback(ULONG a, ULONG c, PeriodCallback fn, void* context);
  // The physical device whose driver key keeps the "Mixer" value; without it
  // nothing is stored or read.
  void SetRegistryDevice(PDEVICE_OBJECT pdo) { registryDevice_ = pdo; }

  // Reads the device, selects the configuration, fills the status block from
  // the given settings (corrected into range), carves the memory and sizes the
  // transfers. Nothing streams yet.
  NTSTATUS StartDevice(ULONG rate, ULONG periodFrames, ULONG requestCount, ULONG meterEnable);
  // Stops the streams, unconfigures the device and frees what StartDevice made.
  void StopDevice();
  // The first step of the adapter's teardown: no deferred apply is taken any
  // more, one under way finishes, then the streams stop under the
  // configuration lock.
  void StopForTeardown();

  // ---- settings (settings.cpp) ----
  // Device start with the stored settings: defaults, the stored "Mixer"
  // overlay, StartDevice with the corrected values, an apply of every item,
  // then the hardware at 0 dB unmuted.
  NTSTATUS StartWithSettings();
  // Applies a record against the current one (corrected in place) and stores it.
  void ApplySettings(tqm::MixerSettings* record);
  void GetSettings(tqm::MixerSettings* out);
  // Writes the current record to the device key's "Mixer" value.
  void SaveSettings();
  NTSTATUS SetRate(ULONG rate, bool playback16);
  ULONG ProposeRate(ULONG rate);
  NTSTATUS SetRequestCount(ULONG count);
  NTSTATUS SetPeriodSize(ULONG frames, bool refuseWhenActive);
  // The companion's deferred apply: the words of `record` that `wordMask`
  // names (bit i = word i; volumes and mutes) join the pending changes; unless
  // an apply is already pending, a system thread applies them 50 ms later,
  // over the record current then. Stop and destruction wait for it.
  void ScheduleApply(const tqm::MixerSettings& record, ULONG wordMask);
  // The mode word the rate calls pass as their 16-bit flag.
  void SetMode(ULONG mode) { mode_ = mode; }
  ULONG mode() const { return mode_; }

  tqm::DeviceStatusBlock* status() const { return status_; }
  // What runs: the engine's own period, rate and request count. The status
  // block only shows them; clients can write it, so nothing is read back from it.
  ULONG periodFrames() const { return ReadShared(&period_); }
  ULONG rate() const { return ReadShared(&rate_); }
  ULONG requestCount() const { return ReadShared(&requestCount_); }
  // Periods port 2 played as silence because its OutputReady had not come.
  ULONG lateOutputPeriods();
  PortMixer& mixer() { return mixer_; }
  // The failed-request counters of a direction (kPlayback or kRecord).
  TransferFaultCounters transferFaults(ULONG direction) const {
    const TransferFaultCounters& f = faults_[direction == kPlayback ? 0 : 1];
    TransferFaultCounters out;
    out.requestFailed = ReadShared(&f.requestFailed);
    out.packetErrors = ReadShared(&f.packetErrors);
    out.stalled = ReadShared(&f.stalled);
    out.otherErrors = ReadShared(&f.otherErrors);
    out.slotsRetired = ReadShared(&f.slotsRetired);
    out.deviceGone = ReadShared(&f.deviceGone);
    out.poweredOff = ReadShared(&f.poweredOff);
    out.recordFramesFilled = ReadShared(&f.recordFramesFilled);
    return out;
  }

  // ---- clients (stream_engine.cpp) ----
  NTSTATUS OpenChannel(ULONG port, ULONG direction, ULONG channel);
  NTSTATUS CloseChannel(ULONG port, ULONG direction, ULONG channel);
  // Under the direction's lock: once it returns, no completion uses the half
  // that was registered before (its memory may go right after).
  bool RegisterHalf(ULONG port, ULONG direction, ULONG channel, ULONG half, SampleRun run);
  // The open state of client channels for callers at passive level, read
  // under the playback lock (the bookkeeping changes under both locks).
  bool ChannelOpen(ULONG port, ULONG direction, ULONG channel);
  bool AnyChannelOpen();
  bool PortOpen(ULONG port);
  // The ASIO client's output half, queued for the next playback period.
  bool OutputReady(ULONG clientHalf);
  // Starts both streams on the selected interfaces (refused while either
  // runs); stops both and clears the peaks (also what closing the last
  // channel does). Rate and request-count changes stop, reconfigure and
  // start again through these.
  NTSTATUS StartStreams();
  void StopStreams();
  // StopStreams under the configuration lock, for a caller outside it (the
  // companion's stop-all, the stream client's stop): the channels' open bits
  // stay as they are.
  void StopAllStreams();
  // The stream client's start/stop: on applies the current settings and
  // starts the streams unless they run; off is StopAllStreams.
  NTSTATUS StartStop(bool on);
  bool Streaming() const { return playStream_ || recordStream_; }
  // Power. Before the device leaves D0 the streams stop (their requests are
  // cancelled and waited for) and nothing more is sent to the device: a
  // request while it is down fails at once with STATUS_DEVICE_POWERED_OFF
  // without reaching the bus. Back in D0 the streams that ran start again,
  // clean (slot 0 is signalled, the halves and the pairing restart), unless
  // the device went down again since `downs`, the count PowerDownCount gave
  // when the wake began. The wake also sends the record's volumes and mutes
  // again: the device need not keep them, and a change applied while it was
  // down never reached it. Both at passive level, under the configuration lock.
  void PowerDown();
  NTSTATUS PowerUp(ULONG downs);
  // Sends both directions' volumes and mutes of the current record.
  void SendLevels();
  // With the streams stopped: the settings and sizing for the current rate,
  // the streaming interfaces and the device rate, then the streams; under the
  // configuration lock.
  NTSTATUS ConfigureAndStart();
  ULONG PowerDownCount() const { return ReadShared(&powerDowns_); }
  bool poweredDown() const { return ReadShared(&poweredDown_) != 0; }
  // Chooses alternate settings and widths for a rate, and recomputes the sizing.
  // Both only while the streams are stopped.
  void ChooseFormat(ULONG rate);
  NTSTATUS Resize();
  void SetPlayback16(bool on) { playback16_ = on; }

  // ---- USB conversation (usb_device.cpp) ----
  NTSTATUS SubmitSync(PURB urb);
  // recipient 0 device, 1 interface, 2 endpoint. On success *data is a pool
  // block of `length` bytes that the caller frees with FreeBlock.
  NTSTATUS GetDescriptor(ULONG recipient, UCHAR type, UCHAR index, USHORT language,
                         ULONG retries, ULONG length, UCHAR** data);
  NTSTATUS ReadDevice();
  NTSTATUS SelectConfiguration();
  NTSTATUS SelectAlternate(ULONG number, ULONG setting);
  NTSTATUS SelectStreaming();
  void Deselect();
  NTSTATUS Unconfigure();
  NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe);
  NTSTATUS SetSamplingFrequency(UCHAR endpoint, ULONG rate);
  // The rate the record endpoint runs at (GET_CUR); 0 when it does not say.
  ULONG GetSamplingFrequency(UCHAR endpoint);
  // The bus's current frame number; false when the stack does not give it.
  bool CurrentFrame(ULONG* frame);
  NTSTATUS SetVolume(ULONG channel, USHORT value, ULONG direction);
  NTSTATUS SetMute(bool muted, ULONG direction);
  // Both endpoints, playback first (its result is not what counts). Devices
  // need not keep their rate across a change of alternate setting, so every
  // selection of the streaming interfaces is followed by it.
  NTSTATUS SendRate(ULONG rate);
  // Selects the streaming interfaces for the engine's rate and sends it; when
  // the device refuses it and does not run it anyway, the engine takes the
  // rate the device reports and the result is STATUS_DEVICE_DATA_ERROR.
  NTSTATUS SelectAndSendRate();
  void BuildIsochronous(TransferContext* context, ULONG direction);

  // Read-back for the companion, the command path and the tests.
  ULONG playChannels() const { return playChannels_; }
  ULONG recordChannels() const { return recordChannels_; }
  ULONG playWidth() const { return playWidth_; }
  ULONG recordWidth() const { return recordWidth_; }
  UCHAR playAlternate() const { return playAlternate_; }
  UCHAR recordAlternate() const { return recordAlternate_; }
  const TransferSchedule& schedule() const { return schedule_; }
  ULONG pipeCount() const { return pipeCount_; }
  const USBD_PIPE_INFORMATION* pipe(ULONG i) const { return pipes_[i]; }
  bool configured() const { return configured_; }
  const PipeStream* stream(ULONG direction) const {
    return direction == kPlayback ? playStream_ : recordStream_;
  }
  static void FreeBlock(void* block);

 private:
  // settings.cpp
  NTSTATUS SendRateToDevice(ULONG rate);
  void LoadSettings(tqm::MixerSettings* record);
  static void ApplyThread(PVOID context);
  void WaitForApply();
  void ReapApplyThread();
  void LockConfig();
  void UnlockConfig();
  NTSTATUS OpenChannelLocked(ULONG port, ULONG direction, ULONG channel);
  NTSTATUS CloseChannelLocked(ULONG port, ULONG direction, ULONG channel);

  // stream_engine.cpp
  bool Carve();
  // Opens or closes one channel under both locks. Returns whether any channel
  // was open before an open, or is still open after a close.
  bool SetOpen(ULONG port, ULONG direction, ULONG channel, bool open);
  void ResetPositions();
  void ClearPlaybackState();
  // Writes the engine's period, rate and request count into the status block.
  void Publish();
  // Sets the engine's own values (and publishes them).
  void SetPeriodValue(ULONG frames);
  void SetRateValue(ULONG rate);
  void SetRequestCountValue(ULONG count);

  // pipe_stream.cpp
  NTSTATUS StartPipe(PipeStream** out, ULONG direction, const USBD_PIPE_INFORMATION* pipe, ULONG startFrame);
  void StopPipe(PipeStream** stream);
  NTSTATUS StartSlot(PipeStream* stream, ULONG slot);
  static NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  void RecordCompleted(TransferContext* context, bool* periodDone);
  void PlaybackCompleted(TransferContext* context, bool* periodDone);
  static bool ShouldRetire(PipeStream* stream, PIRP irp, PURB urb);
  static bool DeviceGone(NTSTATUS status, USBD_STATUS usbd);
  // Every packet of the request ended late: its frames had passed before it reached the bus.
  static bool AllPacketsLate(const _URB_ISOCH_TRANSFER& transfer);
  // Under the direction's lock, for a completion that is not retired: counts
  // a failed request by cause and says whether its slot goes down again.
  bool Resubmit(TransferContext* context, PIRP irp);
  // Under the record lock: the frames of IN packets that failed become
  // silence of the size the device sends, so the record stream keeps time.
  void FillFailedPackets(TransferContext* context);
  void Count(uint32_t* counter) { WriteShared(counter, ReadShared(counter) + 1); }
  void Prepare(TransferContext* context);
  // Called with the direction's lock held (taken at `irql`), returns with it
  // released: queues a prepared request and passes down whatever is queued
  // unless another thread already does.
  void Send(PipeStream* stream, TransferContext* context, KIRQL irql);
  void Retire(PipeStream* stream);
  PKSPIN_LOCK LockOf(ULONG direction) { return direction == kPlayback ? &playLock_ : &recordLock_; }

  // usb_device.cpp
  void RebuildPipes();
  NTSTATUS ClassRequest(USHORT function, USHORT value, USHORT index, const UCHAR* data, ULONG length);
  // A class request with up to 8 bytes of data, either way.
  NTSTATUS ClassTransfer(USHORT function, UCHAR request, USHORT value, USHORT index, UCHAR* data, ULONG length,
                         bool in);
  void FreeInterfaces();

  PDEVICE_OBJECT lower_;
  UCHAR* memory_;
  ULONG sizeValue_;
  tqm::DeviceStatusBlock* status_;
  // The values that run; changed at passive level under configLock_ while the
  // streams are stopped, read by the completions.
  uint32_t period_ = 256;
  uint32_t rate_ = 44100;
  uint32_t requestCount_ = 2;
  // The rate the device last confirmed; 0 while unknown.
  ULONG confirmedRate_ = 0;
  // Power: the device is out of D0 (read by SubmitSync without the lock),
  // the power-downs so far, and whether streams ran when it went down (under
  // configLock_).
  uint32_t poweredDown_ = 0;
  uint32_t powerDowns_ = 0;
  bool resumeStreams_ = false;

  // USB state
  UCHAR* deviceDescriptor_ = nullptr;
  UCHAR* configDescriptor_ = nullptr;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
  PUSBD_INTERFACE_INFORMATION interfaces_[kMaxInterfaces] = {};
  PUSBD_PIPE_INFORMATION pipes_[kMaxPipes] = {};
  ULONG pipeCount_ = 0;

  PipeStream* playStream_ = nullptr;
  PipeStream* recordStream_ = nullptr;

  ULONG playChannels_ = 0, recordChannels_ = 0;
  ULONG clientPlayChannels_ = 0, clientRecordChannels_ = 0;
  ULONG playWidth_ = 3, recordWidth_ = 3;
  UCHAR playAlternate_ = 2, recordAlternate_ = 2;
  bool playback16_ = false;

  TransferSchedule schedule_ = {};
  Pacer pacer_;

  // carve
  UCHAR* playBuffers_[kMaxRequests] = {};
  UCHAR* recordBuffers_[kMaxRequests] = {};
  ULONG playBufferBytes_ = 0, recordBufferBytes_ = 0;
  int32_t* playHalves_[kHalves] = {};
  int32_t* recordHalves_[kHalves] = {};
  int32_t* carry_ = nullptr;
  int32_t* ringBlock_ = nullptr;
  int32_t* queueBlock_ = nullptr;
  bool carved_ = false;

  // positions (playback under playLock_, record under recordLock_)
  ULONG playHalf_ = 0, recordHalf_ = 0;
  ULONG playPosition_ = 0, recordPosition_ = 0;
  ULONG carryFrames_ = 0;
  bool playHalfFinished_ = false;
  // Record periods completed since the streams started (written under the
  // record lock, read by OutputReady), and playback halves filled (under the
  // playback lock). Fill f plays client period f - 1.
  uint32_t recordPeriods_ = 0;
  uint32_t fills_ = 0;
  bool configured_ = false;

  KSPIN_LOCK playLock_;
  // The output latch's and the loop rings' (port_mixer.h): taken inside either
  // direction's lock, nothing inside it.
  KSPIN_LOCK latchLock_;
  KSPIN_LOCK recordLock_;

  ERESOURCE configLock_;
  tqm::MixerSettings current_;
  tqm::MixerSettings pending_;
  ULONG pendingMask_ = 0;  // the words of pending_ changed since the last apply
  ULONG mode_ = 0;
  // Under configLock_: an apply thread is created and has not applied yet.
  bool applyPending_ = false;
  bool tearingDown_ = false;  // under configLock_: ScheduleApply takes nothing
  // Apply threads created and not finished; applyIdle_ is set when none.
  volatile LONG applyThreads_ = 0;
  KEVENT applyIdle_;
  // Under configLock_: the last apply thread's object, until its end was waited for.
  PKTHREAD applyThread_ = nullptr;
  PDEVICE_OBJECT registryDevice_ = nullptr;

  PortMixer mixer_;
  // The InnerROUTE table the mixer routes by: the current record's, copied
  // under both direction locks whenever a record is applied.
  tqm::PatchTable patch_;
  NotifySink notify_ = {nullptr, nullptr};
  // The companion's period callbacks, [a][c]: a = 0 playback, 1 record.
  CallbackSlot callbacks_[2][16] = {};
  KSPIN_LOCK callbackLock_;
  Callback ReadCallback(ULONG a, ULONG c) const;
  // The thread running the record callbacks (under the record lock) while it
  // does: what it registers for the record side needs no lock, what it
  // registers for the playback side waits for the next playback period.
  PKTHREAD recordCallbackThread_ = nullptr;
  // Playback halves registered from inside the record callbacks, under
  // pendingLock_ (innermost: taken inside either direction's lock).
  struct PendingHalf {
    bool set;
    SampleRun run;
  };
  PendingHalf pendingPlay_[kPorts][kPortChannels][kHalves] = {};
  volatile LONG pendingAny_ = 0;
  KSPIN_LOCK pendingLock_;
  // With the playback lock held: takes over the pending playback halves.
  void ApplyPendingHalves();
  // Any client channel open; kept beside the masks for lock-free readers.
  uint32_t anyOpen_ = 0;
  // [0] playback, [1] record: each under its direction's lock.
  TransferFaultCounters faults_[2] = {};
};

}  // namespace engine
