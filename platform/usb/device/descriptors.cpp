// The TQM27's descriptor images; see descriptors.h.
#include "usb/device/descriptors.h"

#include <array>

#include "tqm/identity.h"

namespace tqm::usb {
namespace {

constexpr uint8_t Lo(uint32_t v) { return uint8_t(v); }
constexpr uint8_t Hi(uint32_t v) { return uint8_t(v >> 8); }

constexpr uint16_t kUsbRelease = 0x0110;
constexpr uint16_t kDeviceRelease = 0x0100;

constexpr uint8_t kDeviceBytes[18] = {
    18, desc::kDevice, Lo(kUsbRelease), Hi(kUsbRelease),
    0x00, 0x00, 0x00,  // class, subclass, protocol: given per interface
    64,                // control endpoint packet size
    Lo(kUsbVendorId), Hi(kUsbVendorId), Lo(kUsbProductId), Hi(kUsbProductId),
    Lo(kDeviceRelease), Hi(kDeviceRelease),
    1, 2, 0,  // manufacturer, product, no serial number
    1,        // one configuration
};

// Vendor-defined reports: one input report of 31 bytes, one output report of
// 63 bytes, no report ids.
constexpr uint8_t kHidReportBytes[] = {
    0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection (application)
    0x09, 0x02,        //   usage 2
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, kHidInputReportBytes,
    0x81, 0x02,        //   input (data, variable, absolute)
    0x09, 0x03,        //   usage 3
    0x95, kHidOutputReportBytes,
    0x91, 0x02,        //   output (data, variable, absolute)
    0xC0,              // end collection
};

constexpr uint16_t kAcClassBytes = 72;  // header + 2 x (input terminal, feature unit, output terminal)
constexpr uint16_t kConfigurationBytes = 336;

// Rates of every format descriptor: 3-byte little-endian.
#define TQM_RATES 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x77, 0x01

constexpr uint8_t kConfigurationBytesImage[kConfigurationBytes] = {
    // configuration: 4 interfaces, bus powered, 100 mA
    9, desc::kConfiguration, Lo(kConfigurationBytes), Hi(kConfigurationBytes), kInterfaceCount,
    kConfigurationValue, 0, 0x80, 50,

    // interface 0: HID, an interrupt endpoint each way
    9, desc::kInterface, kHidInterface, 0, 2, 0x03, 0x00, 0x00, 0,
    9, desc::kHid, 0x11, 0x01, 0x00, 1, desc::kHidReport, Lo(sizeof kHidReportBytes),
    Hi(sizeof kHidReportBytes),
    7, desc::kEndpoint, kHidInEndpoint, 0x03, kHidInputReportBytes + 1, 0, 1,
    7, desc::kEndpoint, kHidOutEndpoint, 0x03, kHidOutputReportBytes + 1, 0, 1,

    // interface 1: audio control
    9, desc::kInterface, kControlInterface, 0, 0, 0x01, 0x01, 0x00, 0,
    // header: ADC 1.00, two streaming interfaces
    10, desc::kCsInterface, 0x01, 0x00, 0x01, Lo(kAcClassBytes), Hi(kAcClassBytes), 2,
    kRecordInterface, kPlaybackInterface,
    // playback: USB streaming input terminal 1 -> feature unit 0x10 -> speaker 3
    12, desc::kCsInterface, 0x02, 0x01, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0,
    10, desc::kCsInterface, 0x06, kPlaybackFeatureUnit, 0x01, 1, 0x01, 0x02, 0x02, 0,
    9, desc::kCsInterface, 0x03, 0x03, 0x01, 0x03, 0, kPlaybackFeatureUnit, 0,
    // record: line input terminal 4 -> feature unit 0x0E -> USB streaming 6
    12, desc::kCsInterface, 0x02, 0x04, 0x03, 0x06, 0, 2, 0x03, 0x00, 0, 0,
    10, desc::kCsInterface, 0x06, kRecordFeatureUnit, 0x04, 1, 0x01, 0x02, 0x02, 0,
    9, desc::kCsInterface, 0x03, 0x06, 0x01, 0x01, 0, kRecordFeatureUnit, 0,

    // interface 2: record streaming
    9, desc::kInterface, kRecordInterface, 0, 0, 0x01, 0x02, 0x00, 0,
    // alternate setting 1: 16-bit stereo
    9, desc::kInterface, kRecordInterface, 1, 1, 0x01, 0x02, 0x00, 0,
    7, desc::kCsInterface, 0x01, 0x06, 1, 0x01, 0x00,
    17, desc::kCsInterface, desc::kFormatTypeSubtype, 1, 2, 2, 16, 3, TQM_RATES,
    9, desc::kEndpoint, kRecordEndpoint, 0x05, Lo(400), Hi(400), 1, 0, 0,
    7, desc::kCsEndpoint, 0x01, 0x01, 0, 0, 0,
    // alternate setting 2: 24-bit stereo
    9, desc::kInterface, kRecordInterface, 2, 1, 0x01, 0x02, 0x00, 0,
    7, desc::kCsInterface, 0x01, 0x06, 1, 0x01, 0x00,
    17, desc::kCsInterface, desc::kFormatTypeSubtype, 1, 2, 3, 24, 3, TQM_RATES,
    9, desc::kEndpoint, kRecordEndpoint, 0x05, Lo(600), Hi(600), 1, 0, 0,
    7, desc::kCsEndpoint, 0x01, 0x01, 0, 0, 0,

    // interface 3: playback streaming
    9, desc::kInterface, kPlaybackInterface, 0, 0, 0x01, 0x02, 0x00, 0,
    // alternate setting 2: 24-bit stereo
    9, desc::kInterface, kPlaybackInterface, 2, 1, 0x01, 0x02, 0x00, 0,
    7, desc::kCsInterface, 0x01, 0x01, 1, 0x01, 0x00,
    17, desc::kCsInterface, desc::kFormatTypeSubtype, 1, 2, 3, 24, 3, TQM_RATES,
    9, desc::kEndpoint, kPlaybackEndpoint, 0x09, Lo(600), Hi(600), 1, 0, 0,
    7, desc::kCsEndpoint, 0x01, 0x01, 0, 0, 0,
    // alternate setting 3: 16-bit stereo
    9, desc::kInterface, kPlaybackInterface, 3, 1, 0x01, 0x02, 0x00, 0,
    7, desc::kCsInterface, 0x01, 0x01, 1, 0x01, 0x00,
    17, desc::kCsInterface, desc::kFormatTypeSubtype, 1, 2, 2, 16, 3, TQM_RATES,
    9, desc::kEndpoint, kPlaybackEndpoint, 0x09, Lo(400), Hi(400), 1, 0, 0,
    7, desc::kCsEndpoint, 0x01, 0x01, 0, 0, 0,
};
#undef TQM_RATES

// The image's own lengths must add up to what its header claims.
constexpr bool LengthsAddUp() {
  uint32_t at = 0;
  while (at < kConfigurationBytes) {
    if (kConfigurationBytesImage[at] == 0) return false;
    at += kConfigurationBytesImage[at];
  }
  return at == kConfigurationBytes;
}
static_assert(LengthsAddUp(), "descriptor lengths do not add up to wTotalLength");
static_assert(9 + 10 + 12 + 10 + 9 + 12 + 10 + 9 == 9 + kAcClassBytes);

constexpr uint8_t kLanguages[] = {4, desc::kString, 0x09, 0x04};  // English (United States)
constexpr uint8_t kManufacturer[] = {8, desc::kString, 'O', 0, 'R', 0, 'U', 0};
constexpr uint8_t kProduct[] = {12, desc::kString, 'T', 0, 'Q', 0, 'M', 0, '2', 0, '7', 0};

}  // namespace

const StreamingAlt* FindStreamingAlt(uint8_t interface, uint8_t alternate) {
  for (const StreamingAlt& alt : kStreamingAlts)
    if (alt.interface == interface && alt.alternate == alternate) return &alt;
  return nullptr;
}

bool HasAlternateSetting(uint8_t interface, uint8_t alternate) {
  if (interface >= kInterfaceCount) return false;
  return alternate == 0 || FindStreamingAlt(interface, alternate) != nullptr;
}

std::span<const uint8_t> DeviceDescriptor() { return kDeviceBytes; }
std::span<const uint8_t> ConfigurationDescriptor() { return kConfigurationBytesImage; }
std::span<const uint8_t> HidDescriptor() {
  return std::span<const uint8_t>(kConfigurationBytesImage).subspan(18, 9);
}
std::span<const uint8_t> HidReportDescriptor() { return kHidReportBytes; }

std::span<const uint8_t> StringDescriptor(uint8_t index) {
  switch (index) {
    case 0: return kLanguages;
    case 1: return kManufacturer;
    case 2: return kProduct;
    default: return {};
  }
}

}  // namespace tqm::usb
