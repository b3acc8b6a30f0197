// Sample loops of the stream engine; see sample_loops.h for the container rules.
#include "driver/engine/sample_loops.h"

namespace engine {

void PackSamples(uint8_t* dest, uint32_t destStride, uint32_t width, const int32_t* src,
                 uint32_t srcStride, int32_t frames) {
  if (!dest || !src || frames <= 0 || width == 0 || width > 4) return;
  const uint32_t step = width * destStride;
  const uint32_t drop = 4 - width;  // low-order bytes left out
  for (int32_t i = 0; i < frames; ++i) {
    const uint32_t sample = static_cast<uint32_t>(*src);
    for (uint32_t b = 0; b < width; ++b) dest[b] = static_cast<uint8_t>(sample >> (8 * (drop + b)));
    dest += step;
    src += srcStride;
  }
}

void UnpackSamples(int32_t* dest, uint32_t destStride, const uint8_t* src, uint32_t srcStride,
                   uint32_t width, int32_t frames) {
  if (!dest || !src || frames <= 0 || width == 0 || width > 4) return;
  const uint32_t step = width * srcStride;
  const uint32_t shift = 8 * (4 - width);
  // The bytes below the packed ones are kept: for W = 4 nothing is kept.
  const uint32_t keep = width == 4 ? 0u : (1u << shift) - 1u;
  for (int32_t i = 0; i < frames; ++i) {
    uint32_t packed = 0;
    for (uint32_t b = 0; b < width; ++b) packed |= uint32_t(src[b]) << (8 * b);
    const uint32_t old = static_cast<uint32_t>(*dest);
    *dest = static_cast<int32_t>((old & keep) | (packed << shift));
    dest += destStride;
    src += step;
  }
}

void CopySamples(int32_t* dest, uint32_t destStride, const int32_t* src, uint32_t srcStride,
                 int32_t count) {
  if (!dest || !src || count <= 0) return;
  for (int32_t i = 0; i < count; ++i) {
    *dest = *src;
    dest += destStride;
    src += srcStride;
  }
}

void MixSamples(int32_t* dest, uint32_t destStride, const int32_t* src, uint32_t srcStride,
                int32_t count) {
  if (!dest || !src || count <= 0) return;
  for (int32_t i = 0; i < count; ++i) {
    *dest = SaturatingAdd(*dest, *src);
    dest += destStride;
    src += srcStride;
  }
}

void ClearSamples(int32_t* dest, uint32_t destStride, int32_t count) {
  if (!dest || count <= 0) return;
  for (int32_t i = 0; i < count; ++i) {
    *dest = 0;
    dest += destStride;
  }
}

uint32_t PeakOf(const int32_t* run, uint32_t stride, int32_t frames) {
  if (!run || frames <= 0) return 0;
  uint32_t peak = 0;
  for (int32_t i = 0; i < frames; i += kPeakFrameStep) {
    const int32_t s = run[uint32_t(i) * stride];
    const uint32_t v = static_cast<uint32_t>(s < 0 ? ~s : s);
    if (v > peak) peak = v;
  }
  return peak;
}

}  // namespace engine
