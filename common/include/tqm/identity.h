// Names and identifiers by which the three deliverables find one another.
#pragma once

#include "tqm/wire.h"

namespace tqm {

// Our own GUID record (the platform's GUID type is a Windows name).
struct Guid128 {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid128) == 16);

constexpr bool SameGuid(const Guid128& a, const Guid128& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.data4[i] != b.data4[i]) return false;
  return true;
}

// Device-interface class of the driver; also the companion interface's type.
constexpr Guid128 kInterfaceGuid = {0x24186016, 0x6708, 0x4D1F,
                                    {0x84, 0x60, 0x07, 0x05, 0x5C, 0x25, 0x1A, 0xAF}};
// Class identifier of the ASIO driver's COM object.
constexpr Guid128 kAsioClassId = {0xF10D3474, 0xB826, 0x4CE8,
                                  {0xB4, 0x04, 0xFB, 0x66, 0x7F, 0x14, 0xF1, 0x2F}};

constexpr const char kAsioClassName[] = "Asio 2.0";
constexpr const char kAsioDriverName[] = "ORU TQM27 ASIO DRIVER";
// Machine key of the ASIO driver's options and user key of the panel.
constexpr const char kProductKey[] = "Software\\ORU\\TQM27";
constexpr const char kOptionProcessNow[] = "ProcessNow";
constexpr const char kOptionUseOutReady[] = "UseOutReady";
constexpr const char kOptionOutLatency[] = "OutLatency";
constexpr const char kOptionInLatency[] = "InLatency";

// Device registry value of the driver's MixerSettings; panel values.
constexpr const char kMixerValueName[] = "Mixer";
constexpr const char kWinXValueName[] = "WinX";
constexpr const char kWinYValueName[] = "WinY";

constexpr const char kServiceKeyPath[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TQM27_01";

// USB identity of the TQM27: the device reports it, and the panel finds the
// device's HID interface by it.
constexpr uint16_t kUsbVendorId = 0x1D27;
constexpr uint16_t kUsbProductId = 0x0127;
// The Plug and Play hardware id the driver package installs on.
constexpr const char kHardwareId[] = "USB\\VID_1D27&PID_0127";
// The driver's service (its key names the same service in kServiceKeyPath).
constexpr const char kServiceName[] = "TQM27_01";

// Child device identifiers.
constexpr const char kChildDeviceId[] = "ORU\\TQM27_01";
constexpr const char kChildInstanceId[] = "0001";

}  // namespace tqm
