#include <gtest/gtest.h>

#include <vector>

#include "driver/engine/format_scan.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Config() { return {9, 2, 0, 0, 4, 1, 0, 0x80, 50}; }  // wTotalLength patched by Append
// interface descriptors: audio streaming (class 1, subclass 2) and audio control
Bytes Interface(uint8_t number, uint8_t alt) { return {9, 4, number, alt, 1, 1, 2, 0, 0}; }
Bytes ControlInterface() { return {9, 4, 1, 0, 0, 1, 1, 0, 0}; }
// input terminal: CS_INTERFACE subtype 2 as well, with the terminal id at byte 3
Bytes InputTerminal(uint8_t id) { return {12, 0x24, 2, id, 0x01, 0x01, 0, 2, 3, 0, 0, 0}; }
// format type descriptor: bLength, CS_INTERFACE, FORMAT_TYPE, type, channels,
// subframe size, bit resolution, one discrete rate
Bytes Format(uint8_t type, uint8_t channels, uint8_t bits) {
  return {11, 0x24, 2, type, channels, uint8_t(bits / 8), bits, 1, 0x44, 0xAC, 0x00};
}
Bytes Endpoint(uint8_t address) { return {9, 5, address, 0x05, 0x20, 0x01, 1, 0, 0}; }
Bytes CsEndpoint() { return {7, 0x25, 1, 1, 0, 0, 0}; }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  out[2] = uint8_t(out.size());
  out[3] = uint8_t(out.size() >> 8);
  return out;
}

TEST(FormatScan, DeviceLayoutsAndTheirResult) {
  struct Row {
    const char* why;
    Bytes config;
    engine::ScanResult result;
    engine::FormatScan expected;
  };
  const Row rows[] = {
      {"record alt 1 (16) then alt 2 (24), playback alt 2 (24) then alt 3 (16): last wins",
       Join({Config(), Interface(2, 1), Format(1, 2, 16), Endpoint(0x82), CsEndpoint(),
             Interface(2, 2), Format(1, 2, 24), Endpoint(0x82), CsEndpoint(),
             Interface(3, 2), Format(1, 2, 24), Endpoint(0x03), CsEndpoint(),
             Interface(3, 3), Format(1, 2, 16), Endpoint(0x03), CsEndpoint()}),
       engine::ScanResult::Ok, {2, 2, 2, 3}},
      {"no endpoint right after the record format: record stays at 0 channels",
       Join({Config(), Interface(2, 1), Format(1, 2, 24), CsEndpoint(), Endpoint(0x82),
             Interface(3, 2), Format(1, 2, 24), Endpoint(0x03)}),
       engine::ScanResult::Ok, {2, 3, 0, 0}},
      {"format type III counts like type I",
       Join({Config(), Interface(2, 1), Format(3, 1, 16), Endpoint(0x83)}), engine::ScanResult::Ok,
       {0, 0, 1, 2}},
      {"format type II fails the scan",
       Join({Config(), Interface(3, 2), Format(1, 2, 24), Endpoint(0x03), Format(2, 2, 16),
             Endpoint(0x82)}),
       engine::ScanResult::DeviceDataError, {}},
      {"zero channels is unusable device data",
       Join({Config(), Interface(3, 2), Format(1, 0, 24), Endpoint(0x03)}),
       engine::ScanResult::DeviceDataError, {}},
      {"bit resolution below 8 would give width 0",
       Join({Config(), Interface(3, 2), Format(1, 2, 4), Endpoint(0x03)}),
       engine::ScanResult::DeviceDataError, {}},
      {"an input terminal with id 2 in the control interface is not a format type II",
       Join({Config(), ControlInterface(), InputTerminal(2), Endpoint(0x83), Interface(3, 2),
             Format(1, 2, 24), Endpoint(0x03)}),
       engine::ScanResult::Ok, {2, 3, 0, 0}},
      {"settings the engine never selects do not count, however late they come",
       Join({Config(), Interface(2, 2), Format(1, 2, 24), Endpoint(0x82), Interface(2, 3), Format(1, 1, 16),
             Endpoint(0x82), Interface(3, 2), Format(1, 2, 24), Endpoint(0x03), Interface(3, 1),
             Format(1, 1, 16), Endpoint(0x03), Interface(3, 4), Format(1, 4, 32), Endpoint(0x03)}),
       engine::ScanResult::Ok, {2, 3, 2, 3}},
      {"format descriptors outside a streaming interface are not formats",
       Join({Config(), ControlInterface(), Format(1, 2, 24), Endpoint(0x03)}),
       engine::ScanResult::Ok, {0, 0, 0, 0}},
      {"nothing after the configuration header", Config(), engine::ScanResult::Ok, {0, 0, 0, 0}},
  };
  for (const Row& r : rows) {
    engine::FormatScan scan{99, 99, 99, 99};
    ASSERT_EQ(engine::ScanFormats(r.config.data(), uint32_t(r.config.size()), &scan), r.result)
        << r.why;
    if (r.result != engine::ScanResult::Ok) continue;
    EXPECT_EQ(scan.playChannels, r.expected.playChannels) << r.why;
    EXPECT_EQ(scan.playWidth, r.expected.playWidth) << r.why;
    EXPECT_EQ(scan.recordChannels, r.expected.recordChannels) << r.why;
    EXPECT_EQ(scan.recordWidth, r.expected.recordWidth) << r.why;
  }
}

// Malformed lengths from a faulty device: the walk ends instead of looping
// forever or reading past the buffer (ASan watches the reads: each case gets a
// buffer of exactly its size).
TEST(FormatScan, MalformedLengthsEndTheWalk) {
  struct Row {
    const char* why;
    Bytes config;
  };
  const Row rows[] = {
      {"bLength 0 would never advance",
       Join({Config(), Interface(3, 2), Bytes{0, 0x24, 2, 1}, Format(1, 2, 24)})},
      {"bLength 1", Join({Config(), Bytes{1, 0x24, 2, 1}})},
      {"descriptor runs past the end", Join({Config(), Bytes{40, 0x24, 2, 1, 2, 3, 24}})},
      {"format cut short before its endpoint",
       Join({Config(), Interface(3, 2), Format(1, 2, 24), Bytes{9, 5}})},
      {"format descriptor of 5 bytes",
       Join({Config(), Interface(3, 2), Bytes{5, 0x24, 2, 1, 2}, Endpoint(0x03)})},
  };
  for (const Row& r : rows) {
    auto* copy = new uint8_t[r.config.size()];
    std::copy(r.config.begin(), r.config.end(), copy);
    engine::FormatScan scan{};
    engine::ScanFormats(copy, uint32_t(r.config.size()), &scan);
    EXPECT_EQ(scan.playChannels, 0u) << r.why;
    delete[] copy;
  }
}

}  // namespace

