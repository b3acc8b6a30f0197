#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver/engine/sample_loops.h"

namespace {

TEST(SaturatingMix, EdgeValues) {
  struct Row {
    int32_t d, s, expected;
    const char* why;
  };
  const Row rows[] = {
      {0x70000000, 0x20000000, INT32_MAX, "two positives past the range clamp high"},
      {INT32_MAX, 1, INT32_MAX, "one step past full scale"},
      {-0x70000000, -0x20000000, INT32_MIN, "two negatives past the range clamp low"},
      {INT32_MIN, -1, INT32_MIN, "one step below full scale"},
      {5, -7, -2, "opposite signs never overflow"},
      {0, 123456, 123456, "zero leaves the other sample"},
      {-99, 0, -99, "zero on the source side"},
      {INT32_MAX, INT32_MIN, -1, "extremes of opposite sign"},
      {0x40000000, 0x3FFFFFFF, INT32_MAX, "largest sum that still fits"},
  };
  for (const Row& r : rows) {
    int32_t dest = r.d;
    engine::MixSamples(&dest, 1, &r.s, 1, 1);
    EXPECT_EQ(dest, r.expected) << r.why << ": " << r.d << " + " << r.s;
  }
}

TEST(PackSamples, KeepsTheMostSignificantBytesLittleEndian) {
  struct Row {
    uint32_t width;
    std::vector<uint8_t> bytes;
    const char* why;
  };
  const Row rows[] = {
      {3, {0x56, 0x34, 0x12}, "24-bit: 0x123456, the low byte 0x78 dropped"},
      {2, {0x34, 0x12}, "16-bit: 0x1234"},
      {1, {0x12}, "8-bit: the top byte"},
      {4, {0x78, 0x56, 0x34, 0x12}, "32-bit: all four"},
  };
  for (const Row& r : rows) {
    const int32_t sample = 0x12345678;
    std::vector<uint8_t> out(r.width + 2, 0xEE);
    engine::PackSamples(out.data(), 1, r.width, &sample, 1, 1);
    for (size_t i = 0; i < r.width; ++i) EXPECT_EQ(out[i], r.bytes[i]) << r.why << " byte " << i;
    EXPECT_EQ(out[r.width], 0xEE) << r.why << ": wrote past the sample";
  }
}

TEST(UnpackSamples, FillsTheTopBytesAndKeepsTheRest) {
  struct Row {
    uint32_t width;
    std::vector<uint8_t> bytes;
    int32_t before, after;
    const char* why;
  };
  const Row rows[] = {
      {3, {0x01, 0x02, 0x03}, 0, 0x03020100, "24-bit into a zeroed half"},
      {3, {0x01, 0x02, 0x03}, 0x000000AB, 0x030201AB, "the low byte is left as it was"},
      {2, {0xFF, 0x7F}, 0, 0x7FFF0000, "16-bit full scale"},
      {2, {0x00, 0x80}, 0x1234, int32_t(0x80001234), "16-bit negative, low half kept"},
      {4, {1, 2, 3, 4}, -1, 0x04030201, "32-bit overwrites everything"},
  };
  for (const Row& r : rows) {
    int32_t dest = r.before;
    engine::UnpackSamples(&dest, 1, r.bytes.data(), 1, r.width, 1);
    EXPECT_EQ(dest, r.after) << r.why;
  }
}

// Interleaved stereo: channel 1 of the transfer buffer starts one sample in and
// both sides step by the channel count.
TEST(PackSamples, InterleavedRoundTripIsExactAtTheDeviceWidth) {
  constexpr int32_t kFrames = 48;
  for (uint32_t width : {2u, 3u}) {
    std::vector<int32_t> half(2 * kFrames), back(2 * kFrames, 0);
    for (int32_t i = 0; i < 2 * kFrames; ++i) half[i] = int32_t(0x9E3779B9u * uint32_t(i + 1));
    std::vector<uint8_t> wire(2 * kFrames * width);
    for (uint32_t ch = 0; ch < 2; ++ch) {
      engine::PackSamples(wire.data() + ch * width, 2, width, half.data() + ch, 2, kFrames);
      engine::UnpackSamples(back.data() + ch, 2, wire.data() + ch * width, 2, width, kFrames);
    }
    const uint32_t mask = width == 3 ? 0xFFFFFF00u : 0xFFFF0000u;
    for (int32_t i = 0; i < 2 * kFrames; ++i)
      ASSERT_EQ(uint32_t(back[i]), uint32_t(half[i]) & mask) << "width " << width << " sample " << i;
  }
}

TEST(SampleLoops, NullAddressesAndEmptyCountsTouchNothing) {
  int32_t dest[2] = {7, 7};
  const int32_t src[2] = {1, 1};
  engine::CopySamples(dest, 1, nullptr, 1, 2);
  engine::CopySamples(nullptr, 1, src, 1, 2);
  engine::MixSamples(dest, 1, src, 1, 0);
  engine::MixSamples(dest, 1, src, 1, -5);
  engine::ClearSamples(dest, 1, 0);
  EXPECT_EQ(dest[0], 7);
  EXPECT_EQ(dest[1], 7);
  engine::CopySamples(dest, 1, src, 1, 2);
  EXPECT_EQ(dest[1], 1);
}

TEST(PeakOf, SamplesEveryThirtySecondFrame) {
  struct Row {
    int32_t frames;
    int32_t position;
    int32_t value;
    uint32_t expected;
    const char* why;
  };
  const Row rows[] = {
      {256, 0, 1000, 1000, "frame 0 is looked at"},
      {256, 31, 1000, 0, "between looked-at frames: not seen"},
      {256, 224, -1000, 999, "negative: bitwise complement"},
      {256, 64, INT32_MIN, 0x7FFFFFFF, "negative full scale reads as positive full scale"},
      {225, 224, 5, 5, "(P - 1) / 32 + 1 frames: 224 is the last of 225"},
      {224, 224, 5, 0, "224 frames end before frame 224"},
  };
  for (const Row& r : rows) {
    std::vector<int32_t> run(2 * 288, 0);
    run[2 * r.position] = r.value;       // channel 0 of an interleaved half
    run[2 * r.position + 1] = INT32_MAX;  // channel 1 must not leak into channel 0
    EXPECT_EQ(engine::PeakOf(run.data(), 2, r.frames), r.expected) << r.why;
  }
}

}  // namespace
