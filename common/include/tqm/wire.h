// Little-endian access to the records that cross between the driver and its
// clients. Everything in common/ is freestanding: fixed-width types only, no
// Windows headers and no standard library, because the kernel driver includes it
// next to the DDK's headers and the clients include it next to <windows.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire records are little-endian and laid over native structures");

namespace tqm {

inline uint32_t LoadLe32(const void* at) {
  const uint8_t* b = static_cast<const uint8_t*>(at);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

inline void StoreLe32(void* at, uint32_t value) {
  uint8_t* b = static_cast<uint8_t*>(at);
  b[0] = uint8_t(value);
  b[1] = uint8_t(value >> 8);
  b[2] = uint8_t(value >> 16);
  b[3] = uint8_t(value >> 24);
}

inline uint64_t LoadLe64(const void* at) {
  const uint8_t* b = static_cast<const uint8_t*>(at);
  return uint64_t(LoadLe32(b)) | uint64_t(LoadLe32(b + 4)) << 32;
}

inline void StoreLe64(void* at, uint64_t value) {
  uint8_t* b = static_cast<uint8_t*>(at);
  StoreLe32(b, uint32_t(value));
  StoreLe32(b + 4, uint32_t(value >> 32));
}

}  // namespace tqm
