// The virtual TQM27: the USB device as the bus sees it. It knows nothing of
// IRPs or URBs; the USB stack above it turns those into the calls below:
//   Control      a control transfer on endpoint 0 (setup packet + data stage):
//                descriptors, configuration and alternate settings, endpoint
//                halt, the audio class requests, the HID class requests;
//   RunFrame     one 1 ms bus frame: the isochronous OUT packet the host sends in
//                it (if a transfer is pending) and the IN packet the device sends
//                (if a transfer is pending to take it);
//   HidOutput,   the HID interrupt endpoints;
//   HidInput
//   ClearHalt    the bus side of a pipe reset (CLEAR_FEATURE(ENDPOINT_HALT)).
// The rest is for the simulator and the tests: the ADC source, the DAC sink,
// state read-back, counters and fault injection.
//
// Time is the frame count: the device advances one millisecond per RunFrame
// call, made by whoever owns the machine's clock. Its sample clock follows the
// frame count exactly: in frame n a direction at rate R moves
// floor((n+1)R/1000) - floor(nR/1000) frames (44.1 kHz: nine 44s, then a 45),
// unless the ADC is set to drift (SetRecordDrift): then the record direction
// moves a frame more or fewer whenever the drift has added up to one.
//
// Lifetime: created when the simulated hub plugs the device, destroyed after it
// is unplugged. Unplug() leaves the object alive but gone: every later request
// fails as a vanished device fails.
//
// Locking: one mutex guards all state. Every public method takes it, so the
// clock thread may run frames while another thread sends control requests or
// changes the source, sink or faults. Nothing is called back with it held.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <vector>

#include "audio/wav.h"
#include "usb/device/adc_source.h"
#include "usb/device/dac.h"
#include "usb/device/descriptors.h"
#include "usb/device/frame_ring.h"
#include "usb/device/hid_responder.h"

namespace tqm::usb {

struct SetupPacket {
  uint8_t requestType;  // bmRequestType
  uint8_t request;      // bRequest
  uint16_t value;       // wValue
  uint16_t index;       // wIndex
  uint16_t length;      // wLength
};

// What the bus reports for a transaction, before any host stack names it.
enum class UsbStatus : uint8_t {
  Ok,
  Stall,          // the endpoint answered STALL (request refused, endpoint halted)
  Nak,            // interrupt IN: nothing to send yet; the host polls again
  NotResponding,  // no answer in this frame (a packet error)
  DataOverrun,    // the device sent more than the host's buffer holds
  NoEndpoint,     // the endpoint does not exist in the current configuration/setting
  DeviceGone,     // the device has left the bus
};
const char* ToString(UsbStatus status);
inline std::ostream& operator<<(std::ostream& out, UsbStatus status) {
  return out << ToString(status);
}

struct ControlResult {
  UsbStatus status;
  uint32_t length;  // bytes moved in the data stage
};

// The isochronous traffic of one frame. An absent member means no transfer is
// pending on that endpoint in this frame.
struct FrameTransfers {
  std::optional<std::span<const uint8_t>> out;  // the OUT packet for endpoint 0x03
  std::optional<std::span<uint8_t>> in;         // room for the IN packet of endpoint 0x82
};

struct FrameResult {
  UsbStatus out = UsbStatus::Ok;  // meaningful only when an OUT packet was given
  UsbStatus in = UsbStatus::Ok;   // meaningful only when IN room was given
  uint32_t inLength = 0;
};

struct FeatureUnitState {
  bool mute = false;
  int16_t volume[2] = {0, 0};  // channels 1 and 2, 1/256 dB
};

struct DeviceState {
  uint8_t configuration = 0;
  std::array<uint8_t, kInterfaceCount> alternate{};
  uint32_t playbackRate = 0;  // sampling frequency of endpoint 0x03
  uint32_t recordRate = 0;    // sampling frequency of endpoint 0x82
  FeatureUnitState playback;  // unit 0x10
  FeatureUnitState record;    // unit 0x0E
  bool playbackHalted = false;
  bool recordHalted = false;
  bool gone = false;
};

struct DeviceCounters {
  uint64_t frames = 0;
  uint64_t outPackets = 0;         // OUT packets taken
  uint64_t outFrames = 0;          // audio frames in them
  uint64_t inPackets = 0;          // IN packets delivered
  uint64_t inFrames = 0;           // audio frames in them
  uint64_t dacUnderruns = 0;       // milliseconds the running DAC lacked frames
  uint64_t dacOverruns = 0;        // OUT packets that did not fit in the DAC FIFO
  uint64_t inFramesLost = 0;       // ADC frames made while no IN transfer was pending,
                                   // from the record stream's first transfer on
  uint64_t outSizeMismatches = 0;  // OUT packets whose size disagrees with rate and width
  uint64_t packetErrors = 0;       // isochronous packets failed by injection
  uint64_t loopbackDryFrames = 0;  // loopback frames the delay line could not supply
};

struct DeviceFaults {
  // SET_CUR sampling frequency stalls, on either endpoint.
  bool refuseSamplingFrequency = false;
  // From the second configuration-descriptor read on, replies are cut to half
  // the configuration's length.
  bool shortConfiguration = false;
  // Replies for this descriptor type (0 = none) carry the type with bit 7 set.
  uint8_t mistypedDescriptor = 0;
  // The HID interface takes output reports and never answers.
  bool hidSilent = false;
};

class Tqm27Device {
 public:
  static constexpr uint32_t kDefaultRate = 48000;
  static constexpr uint32_t kMaxLoopbackDelay = 96000;

  Tqm27Device();

  // ---- the bus side ----
  // `data` is the data stage: filled for device-to-host requests (at most
  // wLength bytes), read for host-to-device ones (wLength bytes).
  ControlResult Control(const SetupPacket& setup, std::span<uint8_t> data);
  FrameResult RunFrame(const FrameTransfers& transfers);
  UsbStatus HidOutput(std::span<const uint8_t> report);
  UsbStatus HidInput(std::span<uint8_t> buffer, uint32_t* length);
  UsbStatus ClearHalt(uint8_t endpoint);

  // ---- the simulator and test side ----
  DeviceState State() const;
  DeviceCounters Counters() const;
  uint64_t FrameNumber() const;

  void SelectSilence();
  void SelectSine(double frequencyHz, double dbfs);
  void SelectWav(std::shared_ptr<const audio::WavData> wav, bool repeat);
  bool SelectWavFile(const std::filesystem::path& path, bool repeat);
  // The ADC hears the DAC's input stream `delayFrames` frames late: the first
  // OUT frame after the playback stream starts comes back as the
  // (delayFrames + 1)-th frame captured from the millisecond it arrived in.
  void SelectLoopback(uint32_t delayFrames);

  static constexpr uint32_t kDefaultCaptureFrames = 60 * 96000;  // a minute at 96 kHz
  // Keeps at most `maxFrames` frames between takes; the rest are dropped.
  void CaptureDacToBuffer(uint32_t maxFrames = kDefaultCaptureFrames);
  bool CaptureDacToWav(const std::filesystem::path& path);
  void StopDacCapture();
  std::vector<int32_t> TakeDacCapture();  // interleaved, MSB-aligned, after volume

  std::vector<HidCommand> HidCommands() const;
  // The output reports the HID interface received, oldest first.
  std::vector<std::vector<uint8_t>> HidReports() const;
  void SetHidReplyDelay(uint32_t frames);
  // The same switch as DeviceFaults::hidSilent, leaving the other faults alone.
  void SetHidSilent(bool silent);

  // The ADC's clock against the bus's, in parts per million (0, the default:
  // locked to it). The record endpoint is asynchronous: its packets carry the
  // frames the ADC made in each millisecond, so a fast clock now and then
  // sends one frame more (49 at 48 kHz), a slow one one frame fewer (47).
  // Kept within +-10000 ppm, where a packet differs by one frame at most.
  void SetRecordDrift(int32_t ppm);

  void SetFaults(const DeviceFaults& faults);
  void HaltEndpoint(uint8_t endpoint);
  void InjectPacketErrors(uint8_t endpoint, uint32_t packets);
  void Unplug();

 private:
  enum class Source { Adc, Loopback };

  ControlResult Standard(const SetupPacket& setup, std::span<uint8_t> data);
  ControlResult GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data);
  ControlResult ClassInterface(const SetupPacket& setup, std::span<uint8_t> data);
  ControlResult ClassEndpoint(const SetupPacket& setup, std::span<uint8_t> data);
  ControlResult FeatureUnit(FeatureUnitState& unit, const SetupPacket& setup,
                            std::span<uint8_t> data);
  void SetInterface(uint8_t interface, uint8_t alternate);
  void Deconfigure();
  void UpdateGains();
  bool TakePacketError(int slot);
  const StreamingAlt* ActiveAlt(uint8_t interface) const;
  void ReceiveOut(const StreamingAlt& alt, std::span<const uint8_t> packet, uint64_t now);
  void RunPlayback(uint32_t received, bool gotPacket, uint64_t now);
  FrameResult RunRecord(const FrameTransfers& transfers, uint64_t now);

  mutable std::mutex mutex_;
  uint64_t frame_ = 0;
  bool gone_ = false;
  uint8_t configuration_ = 0;
  std::array<uint8_t, kInterfaceCount> alternate_{};
  uint32_t playbackRate_ = kDefaultRate;
  uint32_t recordRate_ = kDefaultRate;
  FeatureUnitState playbackUnit_;
  FeatureUnitState recordUnit_;
  int64_t recordGain_[2];
  // Per endpoint slot (0x01, 0x81, 0x03, 0x82): halted, injected errors left.
  std::array<bool, 4> halted_{};
  std::array<uint32_t, 4> packetErrors_{};
  DeviceFaults faults_;
  uint32_t configurationReads_ = 0;
  DeviceCounters counters_;

  Source source_ = Source::Adc;
  AdcSource adc_;
  Dac dac_;
  uint32_t loopDelay_ = 0;
  bool loopArmed_ = false;
  bool inStarted_ = false;  // the record stream had its first IN transfer
  int32_t recordDriftPpm_ = 0;
  int64_t driftAccumulator_ = 0;  // in millionths of a frame
  FrameRing loop_;
  HidResponder hid_;

  // Per-frame work areas, kept to avoid allocating on the clock thread.
  std::vector<int32_t> outFrames_;
  std::vector<int32_t> inFrames_;
};

}  // namespace tqm::usb
