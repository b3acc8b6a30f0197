#include <gtest/gtest.h>

#include <cstring>

#include "tqm/status_block.h"

namespace {

// Word 12 is pointer-sized: in the 64-bit view everything after it moves up 4.
TEST(StatusBlock, OffsetsOfBothViews) {
  struct Row {
    uint32_t word;
    uint32_t offset32;
    uint32_t offset64;
  };
  const Row rows[] = {
      {tqm::StatusWord::PeriodFrames, 0, 0},   {tqm::StatusWord::RecordHalf, 4, 4},
      {tqm::StatusWord::SampleRate, 8, 8},     {tqm::StatusWord::Watchdog, 16, 16},
      {tqm::StatusWord::RequestCount, 20, 20}, {tqm::StatusWord::ContainerBits, 40, 40},
      {tqm::StatusWord::KernelAddress, 48, 48},  // the pointer itself does not move
      {tqm::StatusWord::OutPeakLeft, 52, 56},  {tqm::StatusWord::OutPeakRight, 56, 60},
      {tqm::StatusWord::InPeakLeft, 60, 64},   {tqm::StatusWord::InPeakRight, 64, 68},
      {tqm::StatusWord::MeterEnable, 68, 72},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(tqm::StatusWordOffset(r.word, false), r.offset32) << "word " << r.word;
    EXPECT_EQ(tqm::StatusWordOffset(r.word, true), r.offset64) << "word " << r.word;
  }
  EXPECT_EQ(tqm::StatusBlockSize(false), 72u);
  EXPECT_EQ(tqm::StatusBlockSize(true), 76u);
}

// The view a 64-bit client reads agrees with the block this build's driver writes.
TEST(StatusBlock, NativeStructAndWideViewSeeTheSameWords) {
  static_assert(sizeof(void*) == 8, "the deliverables are 64-bit");
  tqm::DeviceStatusBlock block{};
  block.sampleRate = 48000;
  block.requestCount = 4;
  block.kernelAddress = &block;
  block.outPeak[1] = 0x7FFFFFFF;
  block.inPeak[0] = 12345;
  block.meterEnable = 1;

  tqm::StatusBlockView view(&block, true);
  EXPECT_EQ(view.Read(tqm::StatusWord::SampleRate), 48000u);
  EXPECT_EQ(view.Read(tqm::StatusWord::RequestCount), 4u);
  EXPECT_EQ(view.Read(tqm::StatusWord::OutPeakRight), 0x7FFFFFFFu);
  EXPECT_EQ(view.Read(tqm::StatusWord::InPeakLeft), 12345u);
  EXPECT_EQ(view.Read(tqm::StatusWord::MeterEnable), 1u);

  view.Write(tqm::StatusWord::MeterEnable, 0);
  EXPECT_EQ(block.meterEnable, 0u);
}

TEST(StatusBlock, NarrowViewReadsA32BitDriversBlock) {
  uint8_t bytes[tqm::kStatusBlockSize32] = {};
  bytes[52] = 7;  // output left peak in a 32-bit block
  bytes[68] = 1;  // level-meter enable
  tqm::StatusBlockView view(bytes, false);
  EXPECT_EQ(view.Read(tqm::StatusWord::OutPeakLeft), 7u);
  EXPECT_EQ(view.Read(tqm::StatusWord::MeterEnable), 1u);
}

}  // namespace
