// A bare USB host for driving the virtual TQM27 in tests: it speaks setup
// packets and frame transfers, the way the USB stack above the device will.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "usb/device/tqm27_device.h"

namespace tqm::usb::testing {

struct Reply {
  UsbStatus status;
  std::vector<uint8_t> data;
};

class UsbHost {
 public:
  Tqm27Device device;

  Reply In(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
           uint16_t length) {
    std::vector<uint8_t> data(length, 0xEE);
    const ControlResult r =
        device.Control(SetupPacket{requestType, request, value, index, length}, data);
    data.resize(r.length);
    return {r.status, data};
  }

  UsbStatus Out(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                std::vector<uint8_t> data) {
    return device
        .Control(SetupPacket{requestType, request, value, index, uint16_t(data.size())}, data)
        .status;
  }

  Reply Descriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t language = 0) {
    return In(0x80, 0x06, uint16_t(type << 8 | index), language, length);
  }
  UsbStatus Configure(uint8_t value = 1) { return Out(0x00, 0x09, value, 0, {}); }
  UsbStatus SelectAlt(uint8_t interface, uint8_t alternate) {
    return Out(0x01, 0x0B, alternate, interface, {});
  }
  UsbStatus SetRate(uint8_t endpoint, uint32_t rate) {
    return Out(0x22, 0x01, 0x0100, endpoint,
               {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)});
  }
  Reply GetRate(uint8_t endpoint) { return In(0xA2, 0x81, 0x0100, endpoint, 3); }
  UsbStatus SetVolume(uint8_t unit, uint8_t channel, uint16_t value) {
    return Out(0x21, 0x01, uint16_t(0x0200 | channel), uint16_t(unit << 8 | 1),
               {uint8_t(value), uint8_t(value >> 8)});
  }
  UsbStatus SetMute(uint8_t unit, bool muted) {
    return Out(0x21, 0x01, 0x0100, uint16_t(unit << 8 | 1), {uint8_t(muted ? 1 : 0)});
  }

  // Configures the device and starts both streams the way the driver does:
  // playback setting, record setting, then the rate on 0x03 and 0x82.
  void StartStreams(uint8_t recordAlt, uint8_t playbackAlt, uint32_t rate) {
    ASSERT_EQ(Configure(), UsbStatus::Ok);
    ASSERT_EQ(SelectAlt(kPlaybackInterface, playbackAlt), UsbStatus::Ok);
    ASSERT_EQ(SelectAlt(kRecordInterface, recordAlt), UsbStatus::Ok);
    ASSERT_EQ(SetRate(kPlaybackEndpoint, rate), UsbStatus::Ok);
    ASSERT_EQ(SetRate(kRecordEndpoint, rate), UsbStatus::Ok);
  }
};

// Packs MSB-aligned stereo samples at `width` bytes, little-endian.
inline std::vector<uint8_t> Pack(const std::vector<int32_t>& samples, uint32_t width) {
  std::vector<uint8_t> out;
  for (int32_t s : samples)
    for (uint32_t b = 0; b < width; ++b) out.push_back(uint8_t(uint32_t(s) >> (32 - 8 * width + 8 * b)));
  return out;
}

inline std::vector<int32_t> Unpack(const uint8_t* bytes, size_t length, uint32_t width) {
  std::vector<int32_t> out;
  for (size_t at = 0; at + width <= length; at += width) {
    uint32_t u = 0;
    for (uint32_t b = 0; b < width; ++b) u |= uint32_t(bytes[at + b]) << (32 - 8 * width + 8 * b);
    out.push_back(int32_t(u));
  }
  return out;
}

inline uint32_t WidthMask(uint32_t bytes) { return ~0u << (32 - 8 * bytes); }

}  // namespace tqm::usb::testing
