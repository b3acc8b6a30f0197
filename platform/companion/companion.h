// The companion audio-class driver of the simulated machine: what Windows
// loads on TQMDRV's child device (hardware identifier ORU\TQM27_01), and what
// Windows audio streams through.
//
// The driver part (companion_driver.cpp) is a small WDM function driver: at
// START it asks its stack for the TqmCompanionInterface with
// IRP_MN_QUERY_INTERFACE and keeps the reference it is given until its own
// REMOVE. Between START and SURPRISE_REMOVAL/STOP/REMOVE a Companion object
// (one per child device) is attached to the interface: it registers a render
// buffer as client port 0's playback halves and a capture buffer as port 1's
// record halves, registers its period callbacks, and opens and closes those
// channels when a test or the simulator plays or records.
//
// Streaming as Windows audio does it: the render side fills, in each
// playback period callback, the buffer half the engine reads after the next
// one (the half it has just finished with); the capture side copies, in each
// record period callback, the half the engine has just completed. Both sides
// hold only the companion's own spin lock in the callbacks, which run at
// DISPATCH_LEVEL on the engine's completion path.
//
// Endpoints: a render and a capture endpoint with a per-channel volume in dB
// and a mute, in the ranges Windows shows. A change is forwarded to TQMDRV
// with SetWDMVolume (levels in 1/65536 dB) and told to the observers, as the
// endpoint's change notification.
//
// Letting the device go: on QUERY_REMOVE and QUERY_STOP the driver gives the
// interface back (LetGo: quiesce, dereference, free the buffers), so that
// TQMDRV, which refuses both while its interface is referenced, lets a safe
// removal, a disable or a rebalance through; on CANCEL_REMOVE/CANCEL_STOP it
// asks for the interface again and attaches as at START. While a render or
// capture stream is open through the interface the companion refuses the
// query itself (STATUS_DEVICE_BUSY, as a driver with an open audio stream
// does) and keeps everything as it was. SetKeepsInterface(true) makes a
// companion that does not let go: it agrees to the queries and keeps its
// reference, and TQMDRV's own veto refuses them.
//
// Lifetime: the Companion exists from the driver's AddDevice to its REMOVE;
// a pointer from FindCompanion is good until the child device is removed.
// Control calls come from host threads at PASSIVE_LEVEL; none of them may be
// made from an observer or from inside the machine's callbacks.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/wav.h"
#include "driver/companion_interface.h"

namespace tqm::kernel {
class Machine;
}

namespace tqm::companion {

// The child device's hardware identifier the driver is registered for.
inline constexpr wchar_t kHardwareId[] = L"ORU\\TQM27_01";
inline constexpr wchar_t kServiceName[] = L"TqmCompanion";
constexpr ULONG kPoolTag = 0x6E706D43;  // "Cmpn"

// The buffers: two halves of up to kHalfFrames interleaved stereo frames each.
constexpr uint32_t kChannels = 2;
constexpr uint32_t kHalfFrames = 512;
constexpr uint32_t kHalfBytes = kHalfFrames * kChannels * sizeof(int32_t);

// Registers the driver with the machine's Plug and Play manager: loaded on
// every child that reports kHardwareId.
void RegisterDriver(kernel::Machine& machine);

// ---- volume conversion ----
// A Windows endpoint level in dB as SetWDMVolume carries it (1/65536 dB,
// rounded to the nearest unit, saturating at the 32-bit range).
int32_t WdmLevel(double db);

// ---- what the render side plays ----
// Stereo, 32-bit containers with the audio in the top bits. A tone is a sine
// of 24-bit resolution on both channels; a WAV plays at the stream's rate as
// it stands (no resampling), mono on both channels, channels beyond two
// dropped; a WAV that does not repeat is followed by silence.
class Source {
 public:
  static Source Silence();
  static Source Tone(double frequencyHz, double dbfs);
  static Source Wav(std::shared_ptr<const audio::WavData> wav, bool repeat);
  static std::optional<Source> WavFile(const std::filesystem::path& path, bool repeat);

  // The next `frames` frames, interleaved, at `rate`.
  void Render(int32_t* out, uint32_t frames, uint32_t rate);
  // True once a WAV that does not repeat has been played to its end.
  bool Finished() const { return finished_; }
  // The rate the source wants (a WAV's own), 0 for any.
  uint32_t PreferredRate() const;

 private:
  enum class Kind { Silence, Tone, Wav };
  Kind kind_ = Kind::Silence;
  double frequency_ = 0, amplitude_ = 0, phase_ = 0;
  std::shared_ptr<const audio::WavData> wav_;
  bool repeat_ = false;
  size_t frame_ = 0;
  bool finished_ = false;
};

enum class Flow { Render = 0, Capture = 1 };

struct VolumeRange {
  double minDb, maxDb, stepDb;
};

struct EndpointState {
  double levelDb[kChannels];
  bool muted;
};

class Companion {
 public:
  Companion();
  ~Companion();
  Companion(const Companion&) = delete;
  Companion& operator=(const Companion&) = delete;

  // ---- the driver's side (companion_driver.cpp) ----
  // Takes over an interface the child handed out (one reference held):
  // allocates and registers the buffers, registers the callbacks. On failure
  // the reference is given back. `provider` is the driver behind the
  // interface (the child's), or null.
  NTSTATUS Attach(const TqmCompanionInterface& itf, PDRIVER_OBJECT provider);
  // Stops playing and recording and takes the callbacks back; no call-in
  // follows. The reference is still held.
  void Quiesce();
  // Gives the reference back and frees the buffers (after Quiesce).
  void Release();
  bool Attached() const { return attached_.load(); }
  // The query (QUERY_REMOVE, QUERY_STOP): STATUS_DEVICE_BUSY, with nothing
  // changed, while a stream is open; otherwise gives the interface back
  // (Quiesce and Release) unless it keeps it, and succeeds.
  NTSTATUS LetGo(bool* released);
  // A companion that keeps its interface through the queries (false: it lets
  // go, the default).
  void SetKeepsInterface(bool keeps) { keepsInterface_ = keeps; }
  bool KeepsInterface() const { return keepsInterface_.load(); }
  // Times the interface was given back at a query and taken again at its cancel.
  uint64_t LetGoCount() const { return letGo_.load(); }
  uint64_t TakeBackCount() const { return takenBack_.load(); }
  void CountTakeBack() { ++takenBack_; }

  // ---- streams ----
  // Sets the stream format (SetFormat) and starts the render stream on port 0
  // playing `source`; a render stream already running switches to it.
  // Returns the status of the format or open call.
  NTSTATUS Play(Source source);
  void StopPlay();
  bool Playing() const;
  // Starts the capture stream on port 1; what it captures collects until taken.
  NTSTATUS StartRecord();
  void StopRecord();
  bool Recording() const;
  // Interleaved stereo frames captured since the last take.
  std::vector<int32_t> TakeRecorded();
  // The periods the callbacks have seen since the stream started.
  uint64_t PlayPeriods() const { return playPeriods_.load(); }
  uint64_t RecordPeriods() const { return recordPeriods_.load(); }
  // The stream format a Play sets: rate (0 = the rate the driver proposes for
  // the source) and the 16-bit playback flag.
  void SetStreamFormat(uint32_t rate, bool playback16);

  // ---- endpoints ----
  static VolumeRange Range(Flow flow);
  EndpointState Endpoint(Flow flow) const;
  // False, with nothing changed, when a level lies outside the range or the
  // companion is not attached.
  bool SetVolume(Flow flow, double leftDb, double rightDb);
  bool SetMute(Flow flow, bool muted);
  using Observer = std::function<void(Flow flow, const EndpointState& state)>;
  int AddObserver(Observer observer);
  void RemoveObserver(int cookie);

  // ---- the raw interface, for tests and the simulator ----
  // One call-in with a block of words; STATUS_DEVICE_NOT_CONNECTED when not
  // attached.
  NTSTATUS Call(ULONG operation, ULONG* block);
  // What the child handed out (valid while attached).
  const TqmCompanionInterface& Interface() const { return itf_; }

 private:
  static void OnPlayback(ULONG a, ULONG c, PVOID context);
  static void OnRecord(ULONG a, ULONG c, PVOID context);
  NTSTATUS RegisterCallback(ULONG a, ULONG b, ULONG c, TqmCompanionPeriodCallback* fn, void* context);
  NTSTATUS Channels(ULONG operation, ULONG direction, ULONG selector);
  ULONG PeriodFrames();
  void Notify(Flow flow, const EndpointState& state);

  TqmCompanionInterface itf_ = {};
  PDRIVER_OBJECT provider_ = nullptr;
  std::atomic<bool> attached_{false};
  std::atomic<bool> keepsInterface_{false};
  std::atomic<uint64_t> letGo_{0}, takenBack_{0};
  int32_t* playBuffer_ = nullptr;    // two halves, port 0 playback
  int32_t* recordBuffer_ = nullptr;  // two halves, port 1 record

  // Stream state, under lock_ (taken at DISPATCH_LEVEL by the callbacks).
  mutable KSPIN_LOCK lock_;
  bool playing_ = false;
  bool recording_ = false;
  std::optional<Source> source_;
  std::vector<int32_t> recorded_;
  std::atomic<uint64_t> playPeriods_{0}, recordPeriods_{0};
  uint32_t formatRate_ = 0;
  bool formatPlayback16_ = false;
  uint32_t streamRate_ = 0;  // the rate of the last format call

  // Endpoints and observers, under mu_ (passive level only).
  mutable std::mutex mu_;
  EndpointState endpoints_[2] = {{{0, 0}, false}, {{0, 0}, false}};
  std::map<int, Observer> observers_;
  int nextCookie_ = 1;
};

// The companion on a child device (any device of the child's stack), or null.
Companion* FindCompanion(PDEVICE_OBJECT device);
// Every companion loaded, in load order.
std::vector<Companion*> Companions();

}  // namespace tqm::companion
