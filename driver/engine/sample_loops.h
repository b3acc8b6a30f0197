// The engine's sample loops: packing between the device's packed USB samples and
// the 32-bit container, plain copy, saturating mix and the peak meter.
//
// Every client buffer, device half, carry buffer and loop-ring slot holds signed
// 32-bit little-endian samples with the audio in the most significant bits; the
// device packs W = 2 or 3 bytes per sample. A run is addressed by its first
// sample and a stride (32-bit samples for containers, W-byte samples for packed
// runs). Nothing here scales, dithers or allocates: the loops run inside the
// completion routines, under the lock of their direction, over at most one
// period (288 frames). A null address or a non-positive count skips the loop.
#pragma once

#include <stdint.h>

namespace engine {

// Keeps the W most significant bytes of each 32-bit sample, little-endian; the
// low-order bytes are dropped (truncation).
void PackSamples(uint8_t* dest, uint32_t destStride, uint32_t width, const int32_t* src,
                 uint32_t srcStride, int32_t frames);

// Writes the W packed bytes into the top W bytes of each destination sample and
// leaves its low-order bytes as they were (device record halves are zeroed when
// created and those bytes are never written).
void UnpackSamples(int32_t* dest, uint32_t destStride, const uint8_t* src, uint32_t srcStride,
                   uint32_t width, int32_t frames);

void CopySamples(int32_t* dest, uint32_t destStride, const int32_t* src, uint32_t srcStride,
                 int32_t count);

// dest += src, clamped to the 32-bit range where two samples of the same sign
// overflow.
void MixSamples(int32_t* dest, uint32_t destStride, const int32_t* src, uint32_t srcStride,
                int32_t count);

void ClearSamples(int32_t* dest, uint32_t destStride, int32_t count);

inline int32_t SaturatingAdd(int32_t d, int32_t s) {
  int32_t sum;
  if (!__builtin_add_overflow(d, s, &sum)) return sum;
  return d > 0 ? INT32_MAX : INT32_MIN;  // overflow only happens with equal signs
}

// Looks at every 32nd frame (0, 32, 64, ...) and returns the largest magnitude,
// taking the bitwise complement of a negative sample, so full scale either way
// reads 0x7FFFFFFF. Samples between the looked-at frames are not seen.
uint32_t PeakOf(const int32_t* run, uint32_t stride, int32_t frames);

constexpr uint32_t kPeakFrameStep = 32;

}  // namespace engine
