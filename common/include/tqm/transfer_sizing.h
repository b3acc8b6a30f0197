// How the driver sizes its playback requests, shared with the ASIO driver,
// which reports latencies in the same frames.
//
// At full speed one packet crosses the bus per 1 ms frame and carries
// K = rate / 1000 frames (44 or 45 at 44.1 kHz). A playback request holds the
// whole packets a period has room for, N = P / K (P / 45 at 44.1 kHz, whose
// packets may carry 45), so its base size is B = N x K frames.
#pragma once

#include "tqm/wire.h"

namespace tqm {

constexpr uint32_t FramesPerPacket(uint32_t rate) { return rate / 1000; }

constexpr uint32_t PlaybackPacketsPerRequest(uint32_t rate, uint32_t periodFrames) {
  const uint32_t k = FramesPerPacket(rate);
  if (k == 0) return 0;
  return periodFrames / (k == 44 ? 45 : k);
}

constexpr uint32_t PlaybackFramesPerRequest(uint32_t rate, uint32_t periodFrames) {
  return PlaybackPacketsPerRequest(rate, periodFrames) * FramesPerPacket(rate);
}

// 48 kHz, P = 256: five packets of 48; 44.1 kHz, P = 256: five packets of 44.
static_assert(PlaybackFramesPerRequest(48000, 256) == 240);
static_assert(PlaybackFramesPerRequest(44100, 256) == 220);
static_assert(PlaybackFramesPerRequest(96000, 64) == 0);

}  // namespace tqm
