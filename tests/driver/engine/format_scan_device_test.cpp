#include <gtest/gtest.h>

#include "driver/engine/format_scan.h"
#include "usb/device/descriptors.h"

namespace {

// The engine's scan over the virtual TQM27's own configuration descriptor:
// record alt 2 (24-bit) and playback alt 3 (16-bit) are listed last.
TEST(FormatScan, VirtualDeviceConfiguration) {
  const auto config = tqm::usb::ConfigurationDescriptor();
  engine::FormatScan scan{};
  ASSERT_EQ(engine::ScanFormats(config.data(), uint32_t(config.size()), &scan),
            engine::ScanResult::Ok);
  EXPECT_EQ(scan.recordChannels, 2u);
  EXPECT_EQ(scan.recordWidth, 3u);
  EXPECT_EQ(scan.playChannels, 2u);
  EXPECT_EQ(scan.playWidth, 2u);
}

}  // namespace
