// The NT status values the system returns to its clients. Named here without
// the DDK's STATUS_ prefix: driver files include both this and the DDK headers.
#pragma once

#include "tqm/wire.h"

namespace tqm::nt {

constexpr uint32_t Success = 0x00000000;
constexpr uint32_t Pending = 0x00000103;
constexpr uint32_t Unsuccessful = 0xC0000001;
constexpr uint32_t InvalidParameter = 0xC000000D;
constexpr uint32_t InvalidDeviceRequest = 0xC0000010;
constexpr uint32_t MoreProcessingRequired = 0xC0000016;
constexpr uint32_t DeletePending = 0xC0000056;
constexpr uint32_t InsufficientResources = 0xC000009A;
constexpr uint32_t NotSupported = 0xC00000BB;
constexpr uint32_t Cancelled = 0xC0000120;
constexpr uint32_t DeviceDataError = 0xC000009C;
constexpr uint32_t DeviceNotConnected = 0xC000009D;
constexpr uint32_t NoSuchDevice = 0xC000000E;
constexpr uint32_t DeviceRemoved = 0xC00002B6;
constexpr uint32_t AccessViolation = 0xC0000005;
constexpr uint32_t InvalidHandle = 0xC0000008;
constexpr uint32_t BufferTooSmall = 0xC0000023;

constexpr bool IsError(uint32_t status) { return (status >> 30) == 3; }

}  // namespace tqm::nt
