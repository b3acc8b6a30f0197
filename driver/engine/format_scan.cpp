// Format scan of the configuration descriptor; see format_scan.h.
#include "driver/engine/format_scan.h"

namespace engine {

namespace {

// The streaming settings the engine selects, by direction.
bool EngineSelects(bool record, uint8_t interface, uint8_t setting) {
  return record ? interface == 2 && (setting == 1 || setting == 2) : interface == 3 && (setting == 2 || setting == 3);
}

}  // namespace

ScanResult ScanFormats(const uint8_t* config, uint32_t length, FormatScan* scan) {
  using namespace usb_desc;
  FormatScan found{};
  uint32_t at = kConfigHeaderLength;
  bool inStreaming = false;
  uint8_t interface = 0, setting = 0;
  while (config && length > at && length - at > 2) {
    const uint32_t dlen = config[at];
    if (dlen < 2 || dlen > length - at) break;  // a walk that cannot advance or runs off
    const uint8_t type = config[at + 1];
    if (type == kInterface && dlen >= 7) {
      inStreaming = config[at + 5] == kAudioClass && config[at + 6] == kAudioStreamingSubclass;
      interface = config[at + 2];
      setting = config[at + 3];
    }
    if (inStreaming && type == kCsInterface && dlen >= 3 && config[at + 2] == kFormatTypeSubtype) {
      if (dlen < 7) return ScanResult::DeviceDataError;
      const uint8_t formatType = config[at + 3];
      if (formatType == kFormatTypeII) return ScanResult::DeviceDataError;
      const uint32_t next = at + dlen;
      const bool endpointFollows = length - next >= 3 && config[next] >= 3 &&
                                   config[next] <= length - next && config[next + 1] == kEndpoint;
      if ((formatType == kFormatTypeI || formatType == kFormatTypeIII) && endpointFollows) {
        const uint32_t channels = config[at + 4];
        const uint32_t width = config[at + 6] / 8u;
        if (channels == 0 || width == 0 || width > 4) return ScanResult::DeviceDataError;
        // A setting the engine never selects says nothing about its streams.
        const bool record = config[next + 2] & 0x80;
        if (EngineSelects(record, interface, setting)) {
          (record ? found.recordChannels : found.playChannels) = channels;
          (record ? found.recordWidth : found.playWidth) = width;
        }
      }
    }
    at += dlen;
  }
  *scan = found;
  return ScanResult::Ok;
}

}  // namespace engine
