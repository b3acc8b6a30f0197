// The format scan: what the engine learns from the configuration descriptor
// about the device's streams, channel counts and sample widths.
//
// The configuration descriptor is walked descriptor by descriptor from byte 9.
// Inside an audio streaming interface, each class-specific interface descriptor
// (0x24) of subtype 2 (format type) of format type I or III gives a channel count (byte 4) and a sample width (bit
// resolution at byte 6, divided by 8); the endpoint descriptor that immediately
// follows it says the direction (address bit 7 set: record). Only the settings
// the engine selects count (record: interface 2, settings 1 and 2; playback:
// interface 3, settings 2 and 3): a device may list more, a mono one say, and
// the channel count must describe what the engine streams. The last counted
// pair per direction wins, so with several of those settings the one listed
// last decides. A format type II stream (compressed audio) is not something
// the engine can carry and fails the scan, in any setting.
//
// The bytes come from the device: a descriptor whose length would not advance
// the walk or would run past the data ends it, and a format that is too short to
// hold the fields read, or that gives no channels or an impossible width, is
// treated as device data the engine cannot use. Subtype 2 means format type
// only in a streaming interface: in the audio control interface it is an input
// terminal, whose terminal id would otherwise be taken for a format type (and
// id 2 for an unsupported one).
#pragma once

#include <stdint.h>

namespace engine {

struct FormatScan {
  uint32_t playChannels;
  uint32_t playWidth;  // bytes
  uint32_t recordChannels;
  uint32_t recordWidth;
};

enum class ScanResult { Ok, DeviceDataError };

ScanResult ScanFormats(const uint8_t* config, uint32_t length, FormatScan* scan);

namespace usb_desc {
constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kEndpoint = 0x05;
constexpr uint8_t kAudioClass = 0x01;
constexpr uint8_t kAudioStreamingSubclass = 0x02;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kFormatTypeSubtype = 0x02;
constexpr uint8_t kFormatTypeI = 1, kFormatTypeII = 2, kFormatTypeIII = 3;
constexpr uint32_t kConfigHeaderLength = 9;
}  // namespace usb_desc

}  // namespace engine
