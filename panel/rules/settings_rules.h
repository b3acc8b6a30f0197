// What the panel accepts as settings. Values that come from outside the panel
// (the stored "Mixer" record, the driver's GetSettings answer, the status
// block) are brought into range before anything uses them, so that no fader,
// dB label, meter, menu check mark or patch index can go out of range.
//
// Pure arithmetic without Windows headers: built and tested in both builds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tqm/mixer_settings.h"

namespace tqm::panel {

// The mouse-wheel steps the menu offers; anything else becomes 1.
int32_t ClampWheelStep(int32_t step);
// The device's rates; anything else becomes the nearest of them.
int32_t ClampRate(int32_t rate);
// Playback requests in flight: 2 .. 9.
int32_t ClampBufferNumber(int32_t count);

// Every field of a MixerSettings record: rate, buffer number, the fader
// positions of both strips (output 0..110, input 0..104), the mutes and the
// level-meter switch to 0/1, the force flag to 0, and the patch table's
// targets inside the table (port 0..3, channel 0..1, fan-in 0..8). The
// latency is left alone: the driver refuses a size it does not know, and the
// menu shows none checked.
void ClampMixerSettings(MixerSettings& settings);
void ClampPanelSettings(PanelSettings& settings);

// A stored record of `length` bytes: the bytes it has, the defaults for the
// bytes it lacks (a value longer than the record is not accepted by the
// store), then clamped.
PanelSettings StoredPanelSettings(const void* bytes, size_t length);

}  // namespace tqm::panel
