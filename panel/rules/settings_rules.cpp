#include "settings_rules.h"

#include <algorithm>
#include <cstring>

#include "level_scale.h"

namespace tqm::panel {
namespace {

int32_t Clamp(int32_t value, int32_t low, int32_t high) { return std::min(std::max(value, low), high); }
int32_t Flag(int32_t value) { return value != 0 ? 1 : 0; }

constexpr int32_t kMinBuffers = 2;
constexpr int32_t kMaxBuffers = 9;
// A cable can arrive from every playback channel of every port.
constexpr int32_t kMaxFanIn = static_cast<int32_t>(kRoutingEntryCount);

}  // namespace

int32_t ClampWheelStep(int32_t step) {
  return step == 1 || step == 2 || step == 4 || step == 8 ? step : 1;
}

int32_t ClampRate(int32_t rate) {
  // Half-way points between the supported rates.
  if (rate < (kRate44100 + kRate48000) / 2) return kRate44100;
  if (rate < (kRate48000 + kRate96000) / 2) return kRate48000;
  return kRate96000;
}

int32_t ClampBufferNumber(int32_t count) { return Clamp(count, kMinBuffers, kMaxBuffers); }

void ClampMixerSettings(MixerSettings& s) {
  s.rate = ClampRate(s.rate);
  s.requestCount = ClampBufferNumber(s.requestCount);
  s.playMute = Flag(s.playMute);
  s.recordMute = Flag(s.recordMute);
  for (int32_t& position : s.playVolume) position = Clamp(position, 0, kOutputFaderTop);
  for (int32_t& position : s.recordVolume) position = Clamp(position, 0, kInputFaderTop);
  s.meterEnable = Flag(s.meterEnable);
  s.force = 0;
  for (RoutingEntry& e : s.patch.entry) {
    e.targetPort = Clamp(e.targetPort, 0, kPortCount - 1);
    e.targetChannel = Clamp(e.targetChannel, 0, kChannelsPerPort - 1);
    e.fanIn = Clamp(e.fanIn, 0, kMaxFanIn);
  }
}

void ClampPanelSettings(PanelSettings& settings) {
  settings.wheelStep = ClampWheelStep(settings.wheelStep);
  ClampMixerSettings(settings.mixer);
}

PanelSettings StoredPanelSettings(const void* bytes, size_t length) {
  PanelSettings settings = PanelDefaults();
  std::memcpy(&settings, bytes, std::min<size_t>(length, sizeof settings));
  ClampPanelSettings(settings);
  return settings;
}

}  // namespace tqm::panel
