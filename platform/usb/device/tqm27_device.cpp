// The virtual TQM27; see tqm27_device.h for the design.
#include "usb/device/tqm27_device.h"

#include <algorithm>
#include <cstring>

#include "usb/device/codec_gain.h"

namespace tqm::usb {
namespace {

// bmRequestType fields.
constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

// Standard requests.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kSetAddress = 0x05;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint16_t kEndpointHalt = 0;

// Audio class requests and controls.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kMuteControl = 0x01;
constexpr uint8_t kVolumeControl = 0x02;
constexpr uint8_t kSamplingFrequencyControl = 0x01;

// HID class requests.
constexpr uint8_t kHidSetReport = 0x09;
constexpr uint8_t kHidSetIdle = 0x0A;
constexpr uint8_t kHidOutputReportType = 0x02;

constexpr uint16_t kLanguageEnglishUs = 0x0409;

constexpr uint8_t kEndpoints[4] = {kHidOutEndpoint, kHidInEndpoint, kPlaybackEndpoint,
                                   kRecordEndpoint};

int EndpointSlot(uint8_t endpoint) {
  for (int i = 0; i < 4; ++i)
    if (kEndpoints[i] == endpoint) return i;
  return -1;
}
constexpr int kPlaybackSlot = 2;
constexpr int kRecordSlot = 3;

uint8_t EndpointInterface(uint8_t endpoint) {
  if (endpoint == kPlaybackEndpoint) return kPlaybackInterface;
  if (endpoint == kRecordEndpoint) return kRecordInterface;
  return kHidInterface;
}

constexpr ControlResult kStall{UsbStatus::Stall, 0};
constexpr ControlResult Done(uint32_t length = 0) { return {UsbStatus::Ok, length}; }

bool IsSupportedRate(uint32_t rate) {
  return std::find(std::begin(kSupportedRates), std::end(kSupportedRates), rate) !=
         std::end(kSupportedRates);
}

uint32_t FramesInFrame(uint32_t rate, uint64_t frame) {
  return uint32_t((frame + 1) * rate / 1000 - frame * rate / 1000);
}

// Copies a reply into the data stage, at most wLength bytes.
ControlResult Reply(std::span<const uint8_t> bytes, const SetupPacket& setup,
                    std::span<uint8_t> data) {
  const size_t n = std::min({bytes.size(), size_t(setup.length), data.size()});
  std::copy_n(bytes.begin(), n, data.begin());
  return Done(uint32_t(n));
}

}  // namespace

const char* ToString(UsbStatus status) {
  switch (status) {
    case UsbStatus::Ok: return "Ok";
    case UsbStatus::Stall: return "Stall";
    case UsbStatus::Nak: return "Nak";
    case UsbStatus::NotResponding: return "NotResponding";
    case UsbStatus::DataOverrun: return "DataOverrun";
    case UsbStatus::NoEndpoint: return "NoEndpoint";
    case UsbStatus::DeviceGone: return "DeviceGone";
  }
  return "?";
}

Tqm27Device::Tqm27Device() : loop_(kMaxLoopbackDelay + 8192) {
  UpdateGains();
  outFrames_.reserve(256 * kChannels);
  inFrames_.reserve(256 * kChannels);
}

// ---- control transfers ----

ControlResult Tqm27Device::Control(const SetupPacket& setup, std::span<uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (gone_) return {UsbStatus::DeviceGone, 0};
  const bool toHost = setup.requestType & kDeviceToHost;
  // A host-to-device data stage must carry what the setup packet announces.
  if (!toHost && data.size() < setup.length) return kStall;
  if (!toHost) data = data.first(setup.length);
  switch (setup.requestType & kTypeMask) {
    case kTypeStandard:
      return Standard(setup, data);
    case kTypeClass:
      if (configuration_ == 0) return kStall;
      if ((setup.requestType & kRecipientMask) == kRecipientInterface)
        return ClassInterface(setup, data);
      if ((setup.requestType & kRecipientMask) == kRecipientEndpoint)
        return ClassEndpoint(setup, data);
      return kStall;
    default:
      return kStall;
  }
}

ControlResult Tqm27Device::Standard(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t recipient = setup.requestType & kRecipientMask;
  const bool toHost = setup.requestType & kDeviceToHost;
  if (setup.request == kGetDescriptor && toHost) return GetDescriptor(setup, data);
  if (recipient == kRecipientDevice) {
    switch (setup.request) {
      case kSetAddress:
        return toHost ? kStall : Done();
      case kSetConfiguration:
        if (toHost || setup.value > kConfigurationValue) return kStall;
        Deconfigure();
        configuration_ = uint8_t(setup.value);
        return Done();
      case kGetConfiguration:
        if (!toHost) return kStall;
        return Reply(std::span<const uint8_t>(&configuration_, 1), setup, data);
      case kGetStatus: {
        if (!toHost) return kStall;
        const uint8_t status[2] = {0, 0};  // bus powered, no remote wakeup
        return Reply(status, setup, data);
      }
      default:
        return kStall;
    }
  }
  if (configuration_ == 0) return kStall;  // interfaces and endpoints exist once configured
  if (recipient == kRecipientInterface) {
    const uint16_t interface = setup.index;
    if (interface >= kInterfaceCount) return kStall;
    if (setup.request == kSetInterface && !toHost) {
      if (setup.value > 0xFF || !HasAlternateSetting(uint8_t(interface), uint8_t(setup.value)))
        return kStall;
      SetInterface(uint8_t(interface), uint8_t(setup.value));
      return Done();
    }
    if (setup.request == kGetInterface && toHost)
      return Reply(std::span<const uint8_t>(&alternate_[interface], 1), setup, data);
    return kStall;
  }
  if (recipient == kRecipientEndpoint) {
    const int slot = EndpointSlot(uint8_t(setup.index));
    if (slot < 0) return kStall;
    switch (setup.request) {
      case kClearFeature:
        if (toHost || setup.value != kEndpointHalt) return kStall;
        halted_[slot] = false;
        return Done();
      case kSetFeature:
        if (toHost || setup.value != kEndpointHalt) return kStall;
        halted_[slot] = true;
        return Done();
      case kGetStatus: {
        if (!toHost) return kStall;
        const uint8_t status[2] = {uint8_t(halted_[slot] ? 1 : 0), 0};
        return Reply(status, setup, data);
      }
      default:
        return kStall;
    }
  }
  return kStall;
}

ControlResult Tqm27Device::GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t type = uint8_t(setup.value >> 8);
  const uint8_t index = uint8_t(setup.value);
  const uint8_t recipient = setup.requestType & kRecipientMask;
  std::span<const uint8_t> bytes;
  if (recipient == kRecipientInterface) {
    // The HID class descriptors are read from the HID interface, which exists
    // once the device is configured.
    if (configuration_ == 0 || setup.index != kHidInterface || index != 0) return kStall;
    if (type == desc::kHid) bytes = HidDescriptor();
    else if (type == desc::kHidReport) bytes = HidReportDescriptor();
    else return kStall;
    return Reply(bytes, setup, data);
  }
  if (recipient != kRecipientDevice) return kStall;
  switch (type) {
    case desc::kDevice:
      if (index != 0) return kStall;
      bytes = DeviceDescriptor();
      break;
    case desc::kConfiguration:
      if (index != 0) return kStall;
      bytes = ConfigurationDescriptor();
      if (faults_.shortConfiguration && ++configurationReads_ >= 2)
        bytes = bytes.first(bytes.size() / 2);
      break;
    case desc::kString:
      // Language 0 is what hosts commonly send; the device also answers its
      // one declared language and stalls any other.
      if (index != 0 && setup.index != 0 && setup.index != kLanguageEnglishUs) return kStall;
      bytes = StringDescriptor(index);
      if (bytes.empty()) return kStall;
      break;
    default:
      return kStall;
  }
  ControlResult result = Reply(bytes, setup, data);
  if (faults_.mistypedDescriptor == type && result.length >= 2) data[1] |= 0x80;
  return result;
}

ControlResult Tqm27Device::ClassInterface(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t interface = uint8_t(setup.index);
  const uint8_t entity = uint8_t(setup.index >> 8);
  if (interface == kControlInterface) {
    if (entity == kPlaybackFeatureUnit) return FeatureUnit(playbackUnit_, setup, data);
    if (entity == kRecordFeatureUnit) return FeatureUnit(recordUnit_, setup, data);
    return kStall;
  }
  if (interface == kHidInterface && entity == 0) {
    if (setup.requestType & kDeviceToHost) return kStall;
    if (setup.request == kHidSetIdle) return Done();
    if (setup.request == kHidSetReport && (setup.value >> 8) == kHidOutputReportType) {
      hid_.Output(data, frame_);
      return Done(uint32_t(data.size()));
    }
  }
  return kStall;
}

// Mute on the master channel (1 byte) and volume on channels 1 and 2 (2 bytes,
// little-endian) are the unit's controls; anything else stalls, and so does a
// request whose length is not the control's size.
ControlResult Tqm27Device::FeatureUnit(FeatureUnitState& unit, const SetupPacket& setup,
                                       std::span<uint8_t> data) {
  const uint8_t selector = uint8_t(setup.value >> 8);
  const uint8_t channel = uint8_t(setup.value);
  const bool set = setup.requestType == 0x21 && setup.request == kSetCur;
  const bool get = setup.requestType == 0xA1 && setup.request == kGetCur;
  if (!set && !get) return kStall;
  if (selector == kMuteControl && channel == 0) {
    if (setup.length != 1 || data.size() < 1) return kStall;
    if (set) {
      if (data[0] > 1) return kStall;
      unit.mute = data[0] != 0;
      UpdateGains();
    } else {
      data[0] = unit.mute ? 1 : 0;
    }
    return Done(1);
  }
  if (selector == kVolumeControl && (channel == 1 || channel == 2)) {
    if (setup.length != 2 || data.size() < 2) return kStall;
    int16_t& volume = unit.volume[channel - 1];
    if (set) {
      volume = int16_t(uint16_t(data[0] | (data[1] << 8)));
      UpdateGains();
    } else {
      data[0] = uint8_t(volume);
      data[1] = uint8_t(uint16_t(volume) >> 8);
    }
    return Done(2);
  }
  return kStall;
}

// Sampling frequency, 3 bytes little-endian, on an isochronous endpoint of the
// current alternate setting.
ControlResult Tqm27Device::ClassEndpoint(const SetupPacket& setup, std::span<uint8_t> data) {
  if (setup.index != kPlaybackEndpoint && setup.index != kRecordEndpoint) return kStall;
  const uint8_t endpoint = uint8_t(setup.index);
  if (!ActiveAlt(EndpointInterface(endpoint))) return kStall;
  if (setup.value != kSamplingFrequencyControl << 8 || setup.length != 3 || data.size() < 3)
    return kStall;
  uint32_t& rate = endpoint == kPlaybackEndpoint ? playbackRate_ : recordRate_;
  if (setup.requestType == 0x22 && setup.request == kSetCur) {
    const uint32_t wanted = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16;
    if (faults_.refuseSamplingFrequency || !IsSupportedRate(wanted)) return kStall;
    rate = wanted;
    return Done(3);
  }
  if (setup.requestType == 0xA2 && setup.request == kGetCur) {
    data[0] = uint8_t(rate);
    data[1] = uint8_t(rate >> 8);
    data[2] = uint8_t(rate >> 16);
    return Done(3);
  }
  return kStall;
}

void Tqm27Device::SetInterface(uint8_t interface, uint8_t alternate) {
  alternate_[interface] = alternate;
  // Selecting a setting resets the halt of the interface's endpoints.
  if (interface == kPlaybackInterface) {
    halted_[kPlaybackSlot] = false;
    dac_.Stop();
    loopArmed_ = false;
  } else if (interface == kRecordInterface) {
    halted_[kRecordSlot] = false;
    inStarted_ = false;
  } else if (interface == kHidInterface) {
    halted_[EndpointSlot(kHidInEndpoint)] = halted_[EndpointSlot(kHidOutEndpoint)] = false;
  }
}

void Tqm27Device::Deconfigure() {
  configuration_ = 0;
  alternate_.fill(0);
  halted_.fill(false);
  dac_.Stop();
  loopArmed_ = false;
  inStarted_ = false;
}

void Tqm27Device::UpdateGains() {
  dac_.SetGain(GainFactor(playbackUnit_.volume[0], playbackUnit_.mute),
               GainFactor(playbackUnit_.volume[1], playbackUnit_.mute));
  recordGain_[0] = GainFactor(recordUnit_.volume[0], recordUnit_.mute);
  recordGain_[1] = GainFactor(recordUnit_.volume[1], recordUnit_.mute);
}

const StreamingAlt* Tqm27Device::ActiveAlt(uint8_t interface) const {
  if (configuration_ == 0) return nullptr;
  return FindStreamingAlt(interface, alternate_[interface]);
}

bool Tqm27Device::TakePacketError(int slot) {
  if (packetErrors_[slot] == 0) return false;
  --packetErrors_[slot];
  ++counters_.packetErrors;
  return true;
}

UsbStatus Tqm27Device::ClearHalt(uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  if (gone_) return UsbStatus::DeviceGone;
  const int slot = EndpointSlot(endpoint);
  if (slot < 0 || configuration_ == 0) return UsbStatus::Stall;
  halted_[slot] = false;
  return UsbStatus::Ok;
}

// ---- frames ----

FrameResult Tqm27Device::RunFrame(const FrameTransfers& transfers) {
  std::lock_guard lock(mutex_);
  FrameResult result;
  if (gone_) {
    result.out = result.in = UsbStatus::DeviceGone;
    return result;
  }
  const uint64_t now = frame_;
  const StreamingAlt* outAlt = ActiveAlt(kPlaybackInterface);
  uint32_t received = 0;
  bool gotPacket = false;
  if (transfers.out) {
    if (!outAlt) {
      result.out = UsbStatus::NoEndpoint;
    } else if (halted_[kPlaybackSlot]) {
      result.out = UsbStatus::Stall;
    } else if (TakePacketError(kPlaybackSlot)) {
      result.out = UsbStatus::NotResponding;
    } else {
      ReceiveOut(*outAlt, *transfers.out, now);
      received = uint32_t(outFrames_.size() / kChannels);
      gotPacket = true;
    }
  }
  if (outAlt) RunPlayback(received, gotPacket, now);
  const FrameResult record = RunRecord(transfers, now);
  result.in = record.in;
  result.inLength = record.inLength;
  ++frame_;
  ++counters_.frames;
  return result;
}

// Unpacks one OUT packet into 32-bit frames (audio in the top bits) and checks
// its size against the rate: 44.1 kHz packets carry 44 or 45 frames, the others
// exactly rate / 1000.
void Tqm27Device::ReceiveOut(const StreamingAlt& alt, std::span<const uint8_t> packet,
                             uint64_t now) {
  const uint32_t width = alt.subframeBytes;
  const uint32_t frameBytes = width * kChannels;
  const uint32_t frames = uint32_t(packet.size() / frameBytes);
  const uint32_t low = playbackRate_ / 1000;
  const uint32_t high = (playbackRate_ + 999) / 1000;
  if (packet.size() % frameBytes != 0 || frames < low || frames > high)
    ++counters_.outSizeMismatches;
  outFrames_.resize(size_t(frames) * kChannels);
  const uint8_t* p = packet.data();
  for (int32_t& s : outFrames_) {
    uint32_t u = 0;
    for (uint32_t b = 0; b < width; ++b) u |= uint32_t(p[b]) << (32 - 8 * width + 8 * b);
    s = int32_t(u);
    p += width;
  }
  ++counters_.outPackets;
  counters_.outFrames += frames;
}

// The DAC's millisecond, and the loopback line's input: the line carries what
// the DAC was given, and silence for a millisecond without a packet.
void Tqm27Device::RunPlayback(uint32_t received, bool gotPacket, uint64_t now) {
  const uint32_t playCount = FramesInFrame(playbackRate_, now);
  if (gotPacket && !dac_.Receive(outFrames_.data(), received)) ++counters_.dacOverruns;
  if (dac_.Play(playCount, gotPacket)) ++counters_.dacUnderruns;
  if (gotPacket && !loopArmed_) {
    loopArmed_ = true;
    loop_.Clear();
    loop_.PushSilence(loopDelay_);
  }
  if (!loopArmed_) return;
  if (gotPacket) loop_.Push(outFrames_.data(), received);
  else loop_.PushSilence(playCount);
}

FrameResult Tqm27Device::RunRecord(const FrameTransfers& transfers, uint64_t now) {
  FrameResult result;
  const StreamingAlt* inAlt = ActiveAlt(kRecordInterface);
  uint32_t count = FramesInFrame(recordRate_, now);
  if (recordDriftPpm_) {
    driftAccumulator_ += int64_t(count) * recordDriftPpm_;
    if (driftAccumulator_ >= 1000000) {
      driftAccumulator_ -= 1000000;
      ++count;
    } else if (driftAccumulator_ <= -1000000) {
      driftAccumulator_ += 1000000;
      --count;
    }
  }
  inFrames_.resize(size_t(count) * kChannels);
  // The loopback line runs in real time whether or not anything records it.
  uint32_t looped = 0;
  if (loopArmed_) looped = loop_.Pop(inFrames_.data(), count);
  if (!inAlt) {
    if (transfers.in) result.in = UsbStatus::NoEndpoint;
    return result;
  }
  if (source_ == Source::Loopback) {
    std::fill(inFrames_.begin() + size_t(looped) * kChannels, inFrames_.end(), 0);
    if (loopArmed_) counters_.loopbackDryFrames += count - looped;
  } else {
    adc_.Render(inFrames_.data(), count, recordRate_);
  }
  // Record volume, then the converter's 24 bits.
  for (size_t i = 0; i < inFrames_.size(); ++i)
    inFrames_[i] = int32_t(uint32_t(ApplyGain(inFrames_[i], recordGain_[i % kChannels])) &
                           0xFFFFFF00u);
  if (!transfers.in) {
    // Before the stream's first transfer nothing was asked for yet.
    if (inStarted_) counters_.inFramesLost += count;
    return result;
  }
  inStarted_ = true;
  if (halted_[kRecordSlot]) {
    result.in = UsbStatus::Stall;
    return result;
  }
  if (TakePacketError(kRecordSlot)) {
    result.in = UsbStatus::NotResponding;
    return result;
  }
  const uint32_t width = inAlt->subframeBytes;
  const size_t bytes = size_t(count) * kChannels * width;
  std::span<uint8_t> room = *transfers.in;
  if (room.size() < bytes) {
    result.in = UsbStatus::DataOverrun;
    return result;
  }
  uint8_t* p = room.data();
  for (int32_t s : inFrames_) {
    const uint32_t u = uint32_t(s);
    for (uint32_t b = 0; b < width; ++b) *p++ = uint8_t(u >> (32 - 8 * width + 8 * b));
  }
  result.inLength = uint32_t(bytes);
  ++counters_.inPackets;
  counters_.inFrames += count;
  return result;
}

// ---- HID interrupt endpoints ----

UsbStatus Tqm27Device::HidOutput(std::span<const uint8_t> report) {
  std::lock_guard lock(mutex_);
  if (gone_) return UsbStatus::DeviceGone;
  if (configuration_ == 0) return UsbStatus::NoEndpoint;
  if (halted_[EndpointSlot(kHidOutEndpoint)]) return UsbStatus::Stall;
  hid_.Output(report, frame_);
  return UsbStatus::Ok;
}

UsbStatus Tqm27Device::HidInput(std::span<uint8_t> buffer, uint32_t* length) {
  std::lock_guard lock(mutex_);
  *length = 0;
  if (gone_) return UsbStatus::DeviceGone;
  if (configuration_ == 0) return UsbStatus::NoEndpoint;
  if (halted_[EndpointSlot(kHidInEndpoint)]) return UsbStatus::Stall;
  HidReport report;
  if (buffer.size() < report.size()) return UsbStatus::DataOverrun;
  if (!hid_.TakeInput(frame_, &report)) return UsbStatus::Nak;
  std::copy(report.begin(), report.end(), buffer.begin());
  *length = uint32_t(report.size());
  return UsbStatus::Ok;
}

// ---- simulator and test side ----

DeviceState Tqm27Device::State() const {
  std::lock_guard lock(mutex_);
  DeviceState s;
  s.configuration = configuration_;
  s.alternate = alternate_;
  s.playbackRate = playbackRate_;
  s.recordRate = recordRate_;
  s.playback = playbackUnit_;
  s.record = recordUnit_;
  s.playbackHalted = halted_[kPlaybackSlot];
  s.recordHalted = halted_[kRecordSlot];
  s.gone = gone_;
  return s;
}

DeviceCounters Tqm27Device::Counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

uint64_t Tqm27Device::FrameNumber() const {
  std::lock_guard lock(mutex_);
  return frame_;
}

void Tqm27Device::SelectSilence() {
  std::lock_guard lock(mutex_);
  source_ = Source::Adc;
  adc_ = AdcSource::Silence();
}

void Tqm27Device::SelectSine(double frequencyHz, double dbfs) {
  std::lock_guard lock(mutex_);
  source_ = Source::Adc;
  adc_ = AdcSource::Sine(frequencyHz, dbfs);
}

void Tqm27Device::SelectWav(std::shared_ptr<const audio::WavData> wav, bool repeat) {
  std::lock_guard lock(mutex_);
  source_ = Source::Adc;
  adc_ = AdcSource::Wav(std::move(wav), repeat);
}

bool Tqm27Device::SelectWavFile(const std::filesystem::path& path, bool repeat) {
  // The file is read before the lock is taken: the clock thread never waits on I/O.
  std::optional<audio::WavData> wav = audio::ReadWavFile(path);
  if (!wav) return false;
  SelectWav(std::make_shared<const audio::WavData>(std::move(*wav)), repeat);
  return true;
}

void Tqm27Device::SelectLoopback(uint32_t delayFrames) {
  std::lock_guard lock(mutex_);
  source_ = Source::Loopback;
  loopDelay_ = std::min(delayFrames, kMaxLoopbackDelay);
  // A new delay takes effect when the next packet re-arms the line.
  loopArmed_ = false;
}

void Tqm27Device::CaptureDacToBuffer(uint32_t maxFrames) {
  std::lock_guard lock(mutex_);
  dac_.CaptureToBuffer(maxFrames);
}

bool Tqm27Device::CaptureDacToWav(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  return dac_.CaptureToWav(path, playbackRate_);
}

void Tqm27Device::StopDacCapture() {
  std::lock_guard lock(mutex_);
  dac_.StopCapture();
}

std::vector<int32_t> Tqm27Device::TakeDacCapture() {
  std::lock_guard lock(mutex_);
  return dac_.TakeCapture();
}

std::vector<HidCommand> Tqm27Device::HidCommands() const {
  std::lock_guard lock(mutex_);
  return hid_.Commands();
}

std::vector<std::vector<uint8_t>> Tqm27Device::HidReports() const {
  std::lock_guard lock(mutex_);
  return {hid_.Reports().begin(), hid_.Reports().end()};
}

void Tqm27Device::SetHidSilent(bool silent) {
  std::lock_guard lock(mutex_);
  faults_.hidSilent = silent;
  hid_.SetSilent(silent);
}

void Tqm27Device::SetHidReplyDelay(uint32_t frames) {
  std::lock_guard lock(mutex_);
  hid_.SetReplyDelay(frames);
}

void Tqm27Device::SetRecordDrift(int32_t ppm) {
  std::lock_guard lock(mutex_);
  recordDriftPpm_ = std::clamp(ppm, -10000, 10000);
  driftAccumulator_ = 0;
}

void Tqm27Device::SetFaults(const DeviceFaults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
  configurationReads_ = 0;
  hid_.SetSilent(faults.hidSilent);
}

void Tqm27Device::HaltEndpoint(uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  const int slot = EndpointSlot(endpoint);
  if (slot >= 0) halted_[slot] = true;
}

void Tqm27Device::InjectPacketErrors(uint8_t endpoint, uint32_t packets) {
  std::lock_guard lock(mutex_);
  const int slot = EndpointSlot(endpoint);
  if (slot >= 0) packetErrors_[slot] += packets;
}

void Tqm27Device::Unplug() {
  std::lock_guard lock(mutex_);
  gone_ = true;
  dac_.StopCapture();
}

}  // namespace tqm::usb
