// The format scan reads a configuration descriptor as the device sent it.
#include <cstddef>
#include <cstdint>

#include "driver/engine/format_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  engine::FormatScan scan{};
  if (engine::ScanFormats(data, uint32_t(size), &scan) == engine::ScanResult::Ok) {
    // A successful scan only reports what a format descriptor can hold.
    if (scan.playWidth > 4 || scan.recordWidth > 4) __builtin_trap();
  }
  return 0;
}
