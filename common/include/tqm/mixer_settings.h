// MixerSettings: the device's persisted user settings, 69 signed 32-bit words
// (276 bytes). The driver keeps it and stores it as the device-key value "Mixer";
// the panel keeps a copy behind its wheel step in PanelSettings (280 bytes) and
// exchanges the MixerSettings part with GetSettings/ApplySettings.
//
// The InnerROUTE PatchTable lies inside it at word 11: 4 ports x 2 channels x a
// 7-word RoutingEntry, entry e = 2 * port + channel.
#pragma once

#include "tqm/wire.h"

namespace tqm {

constexpr int32_t kRate44100 = 44100, kRate48000 = 48000, kRate96000 = 96000;
constexpr uint32_t kPortCount = 4;
constexpr uint32_t kChannelsPerPort = 2;
constexpr uint32_t kRoutingEntryCount = kPortCount * kChannelsPerPort;

struct RoutingEntry {
  int32_t routed;         // non-zero: this source feeds the loop ring of the target
  int32_t fanIn;          // cables arriving at this record channel; never below 0
  int32_t targetPort;     // 0..3
  int32_t targetSide;     // 1 (record) when routed; panel bookkeeping
  int32_t targetChannel;  // 0..1
  int32_t muted;          // channel-0 entry of ports 0..2: the port's mute switch
  int32_t reserved;       // -1 after the panel's Reset, otherwise untouched
};
static_assert(sizeof(RoutingEntry) == 28);
static_assert(offsetof(RoutingEntry, fanIn) == 4 && offsetof(RoutingEntry, targetPort) == 8);
static_assert(offsetof(RoutingEntry, targetSide) == 12 && offsetof(RoutingEntry, targetChannel) == 16);
static_assert(offsetof(RoutingEntry, muted) == 20 && offsetof(RoutingEntry, reserved) == 24);

constexpr uint32_t RoutingEntryIndex(uint32_t port, uint32_t channel) {
  return port * kChannelsPerPort + channel;
}

struct PatchTable {
  RoutingEntry entry[kRoutingEntryCount];
};
static_assert(sizeof(PatchTable) == 224);

namespace MixerWord {
constexpr uint32_t Rate = 0;
constexpr uint32_t PeriodFrames = 1;
constexpr uint32_t RequestCount = 2;
constexpr uint32_t Unused3 = 3;
constexpr uint32_t PlayMute = 4;
constexpr uint32_t PlayVolumeLeft = 5;
constexpr uint32_t PlayVolumeRight = 6;
constexpr uint32_t RecordMute = 7;
constexpr uint32_t RecordVolumeLeft = 8;
constexpr uint32_t RecordVolumeRight = 9;
constexpr uint32_t Unused10 = 10;
constexpr uint32_t Patch = 11;
constexpr uint32_t MeterEnable = 67;
constexpr uint32_t Force = 68;
constexpr uint32_t Count = 69;
}  // namespace MixerWord

// Volume words are half-dB steps: playback 110 = 0 dB, record 80 = 0 dB.
constexpr int32_t kPlayVolumeUnity = 110;
constexpr int32_t kRecordVolumeUnity = 80;
constexpr int32_t kRecordVolumeMax = 104;

struct MixerSettings {
  int32_t rate;
  int32_t periodFrames;
  int32_t requestCount;
  int32_t unused3;
  int32_t playMute;
  int32_t playVolume[2];
  int32_t recordMute;
  int32_t recordVolume[2];
  int32_t unused10;
  PatchTable patch;
  int32_t meterEnable;
  int32_t force;

  int32_t* words() { return &rate; }
  const int32_t* words() const { return &rate; }
};
constexpr uint32_t kMixerSettingsSize = 276;
static_assert(sizeof(MixerSettings) == kMixerSettingsSize);
static_assert(sizeof(MixerSettings) == MixerWord::Count * 4);
static_assert(offsetof(MixerSettings, requestCount) == MixerWord::RequestCount * 4);
static_assert(offsetof(MixerSettings, playMute) == MixerWord::PlayMute * 4);
static_assert(offsetof(MixerSettings, playVolume) == MixerWord::PlayVolumeLeft * 4);
static_assert(offsetof(MixerSettings, recordMute) == MixerWord::RecordMute * 4);
static_assert(offsetof(MixerSettings, recordVolume) == MixerWord::RecordVolumeLeft * 4);
static_assert(offsetof(MixerSettings, patch) == MixerWord::Patch * 4);
static_assert(offsetof(MixerSettings, meterEnable) == MixerWord::MeterEnable * 4);
static_assert(offsetof(MixerSettings, force) == MixerWord::Force * 4);

// The driver's defaults: what a device without a stored "Mixer" value starts from.
constexpr MixerSettings DriverMixerDefaults() {
  MixerSettings s{};
  s.rate = kRate44100;
  s.periodFrames = 256;
  s.requestCount = 2;
  s.playVolume[0] = s.playVolume[1] = kPlayVolumeUnity;
  s.recordVolume[0] = s.recordVolume[1] = kRecordVolumeUnity;
  return s;
}

// The panel's record: its mouse-wheel step, then a MixerSettings copy.
struct PanelSettings {
  int32_t wheelStep;  // 1, 2, 4 or 8 positions per notch
  MixerSettings mixer;
};
constexpr uint32_t kPanelSettingsSize = 280;
static_assert(sizeof(PanelSettings) == kPanelSettingsSize);
static_assert(offsetof(PanelSettings, mixer) == 4);
static_assert(offsetof(PanelSettings, mixer.patch) == 48);
static_assert(offsetof(PanelSettings, mixer.meterEnable) == 272);
static_assert(offsetof(PanelSettings, mixer.force) == 276);

// The panel's defaults differ from the driver's on purpose: latency 128 and
// buffer number 3 (its factory default later sets 256).
constexpr PanelSettings PanelDefaults() {
  PanelSettings p{};
  p.wheelStep = 1;
  p.mixer = DriverMixerDefaults();
  p.mixer.periodFrames = 128;
  p.mixer.requestCount = 3;
  return p;
}

}  // namespace tqm
