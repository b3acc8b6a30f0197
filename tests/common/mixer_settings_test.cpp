#include <gtest/gtest.h>

#include <cstring>

#include "tqm/identity.h"
#include "tqm/mixer_settings.h"

namespace {

int32_t WordAt(const void* record, size_t byteOffset) {
  return static_cast<int32_t>(tqm::LoadLe32(static_cast<const uint8_t*>(record) + byteOffset));
}

// Entry e = 2 * port + channel starts at word 11 + 7e of MixerSettings.
TEST(RoutingEntry, WordPositionsInsideMixerSettings) {
  tqm::MixerSettings s{};
  for (uint32_t port = 0; port < tqm::kPortCount; ++port) {
    for (uint32_t ch = 0; ch < tqm::kChannelsPerPort; ++ch) {
      const uint32_t e = tqm::RoutingEntryIndex(port, ch);
      tqm::RoutingEntry& entry = s.patch.entry[e];
      entry.routed = int32_t(100 * e + 0);
      entry.fanIn = int32_t(100 * e + 1);
      entry.targetPort = int32_t(100 * e + 2);
      entry.targetSide = int32_t(100 * e + 3);
      entry.targetChannel = int32_t(100 * e + 4);
      entry.muted = int32_t(100 * e + 5);
      entry.reserved = int32_t(100 * e + 6);
    }
  }
  for (uint32_t e = 0; e < tqm::kRoutingEntryCount; ++e)
    for (uint32_t w = 0; w < 7; ++w)
      EXPECT_EQ(s.words()[11 + 7 * e + w], int32_t(100 * e + w)) << "entry " << e << " word " << w;
  EXPECT_EQ(11 + 7 * 8, 67) << "the table ends where the level-meter word begins";
}

// Byte-for-byte images of both default records. They differ on purpose: the
// driver starts at period 256 with 2 requests, the panel at latency 128 with
// buffer number 3 and wheel step 1.
TEST(DefaultRecords, DriverAndPanelDefaultsByteForByte) {
  const tqm::MixerSettings driver = tqm::DriverMixerDefaults();
  int32_t driverWords[69] = {44100, 256, 2, 0, 0, 110, 110, 0, 80, 80, 0};
  ASSERT_EQ(sizeof driverWords, sizeof driver);
  EXPECT_EQ(0, std::memcmp(&driver, driverWords, sizeof driver));

  const tqm::PanelSettings panel = tqm::PanelDefaults();
  int32_t panelWords[70] = {1, 44100, 128, 3, 0, 0, 110, 110, 0, 80, 80, 0};
  ASSERT_EQ(sizeof panelWords, sizeof panel);
  EXPECT_EQ(0, std::memcmp(&panel, panelWords, sizeof panel));

  struct Row {
    const char* field;
    size_t panelOffset;
    int32_t panelValue;
    int32_t driverValue;
  };
  const Row rows[] = {
      {"wheel step", 0, 1, 0},     {"rate", 4, 44100, 44100},   {"latency", 8, 128, 256},
      {"buffer number", 12, 3, 2}, {"output left", 24, 110, 110}, {"input right", 40, 80, 80},
      {"meter enable", 272, 0, 0}, {"force", 276, 0, 0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(WordAt(&panel, r.panelOffset), r.panelValue) << r.field;
    if (r.panelOffset >= 4) {
      EXPECT_EQ(WordAt(&driver, r.panelOffset - 4), r.driverValue) << r.field;
    }
  }
}

TEST(Identity, GuidsMatchTheirTextForm) {
  // {24186016-6708-4D1F-8460-07055C251AAF}
  EXPECT_EQ(tqm::kInterfaceGuid.data1, 0x24186016u);
  EXPECT_EQ(tqm::kInterfaceGuid.data2, 0x6708u);
  EXPECT_EQ(tqm::kInterfaceGuid.data3, 0x4D1Fu);
  const uint8_t tail[8] = {0x84, 0x60, 0x07, 0x05, 0x5C, 0x25, 0x1A, 0xAF};
  EXPECT_EQ(0, std::memcmp(tqm::kInterfaceGuid.data4, tail, 8));
  EXPECT_FALSE(tqm::SameGuid(tqm::kInterfaceGuid, tqm::kAsioClassId));
  EXPECT_EQ(tqm::kAsioClassId.data1, 0xF10D3474u);
}

}  // namespace
