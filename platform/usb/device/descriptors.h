// The TQM27's descriptors and the device facts that go with them, as tables.
//
// The byte images are what the device answers to GET_DESCRIPTOR; the tables
// below them (streaming alternate settings, feature units, endpoints) are the
// same facts in the form the model acts on. A test reads the bytes back the way
// a host does and checks that both say the same thing.
#pragma once

#include <cstdint>
#include <span>

namespace tqm::usb {

// USB and USB Audio Class 1.0 numbers the model speaks.
namespace desc {
constexpr uint8_t kDevice = 0x01;
constexpr uint8_t kConfiguration = 0x02;
constexpr uint8_t kString = 0x03;
constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kEndpoint = 0x05;
constexpr uint8_t kHid = 0x21;
constexpr uint8_t kHidReport = 0x22;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;
constexpr uint8_t kFormatTypeSubtype = 0x02;
}  // namespace desc

constexpr uint8_t kHidInterface = 0;
constexpr uint8_t kControlInterface = 1;
constexpr uint8_t kRecordInterface = 2;
constexpr uint8_t kPlaybackInterface = 3;
constexpr uint8_t kInterfaceCount = 4;
constexpr uint8_t kConfigurationValue = 1;

constexpr uint8_t kRecordEndpoint = 0x82;    // isochronous IN
constexpr uint8_t kPlaybackEndpoint = 0x03;  // isochronous OUT
constexpr uint8_t kHidInEndpoint = 0x81;     // interrupt IN, input reports
constexpr uint8_t kHidOutEndpoint = 0x01;    // interrupt OUT, output reports

constexpr uint8_t kPlaybackFeatureUnit = 0x10;
constexpr uint8_t kRecordFeatureUnit = 0x0E;

constexpr uint32_t kChannels = 2;
constexpr uint32_t kSupportedRates[] = {44100, 48000, 96000};

// HID report sizes on the wire (no report id: the report descriptor declares
// none). A host adds the id byte 0 in front, giving 32 and 64 bytes.
constexpr uint32_t kHidInputReportBytes = 31;
constexpr uint32_t kHidOutputReportBytes = 63;

// Streaming alternate settings other than the zero-bandwidth setting 0.
struct StreamingAlt {
  uint8_t interface;
  uint8_t alternate;
  uint8_t endpoint;
  uint8_t subframeBytes;  // bytes per sample on the wire
  uint8_t bitResolution;
  uint16_t maxPacketBytes;
};
// The packet ceiling is 100 frames: 96 at 96 kHz plus the slack a host may
// leave in its IN packet buffers.
constexpr StreamingAlt kStreamingAlts[] = {
    {kRecordInterface, 1, kRecordEndpoint, 2, 16, 400},
    {kRecordInterface, 2, kRecordEndpoint, 3, 24, 600},
    {kPlaybackInterface, 2, kPlaybackEndpoint, 3, 24, 600},
    {kPlaybackInterface, 3, kPlaybackEndpoint, 2, 16, 400},
};

// Returns the alternate setting's entry, or null when the interface has no such
// streaming setting (setting 0, a missing number, a non-streaming interface).
const StreamingAlt* FindStreamingAlt(uint8_t interface, uint8_t alternate);
// True for every setting the configuration describes, 0 included.
bool HasAlternateSetting(uint8_t interface, uint8_t alternate);

std::span<const uint8_t> DeviceDescriptor();
std::span<const uint8_t> ConfigurationDescriptor();
std::span<const uint8_t> HidDescriptor();        // the 9 bytes inside the configuration
std::span<const uint8_t> HidReportDescriptor();
// String index 0 (languages), 1 (manufacturer), 2 (product); empty for others.
std::span<const uint8_t> StringDescriptor(uint8_t index);

}  // namespace tqm::usb
