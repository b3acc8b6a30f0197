// The driver's interfaces as a user-mode client finds them: enumeration of the
// interface class, the identity probe, and a table of at most eight open
// handles in opening order. The ASIO driver and the panel each keep their own
// rule for which handle a command addresses.
//
// Everything goes through sys:: so the same code reaches a real TQMDRV or, in
// simulator builds, the simulated machine.
#pragma once

#include "platform/bridge/sys.h"

#include "tqm/command_record.h"
#include "tqm/identity.h"

namespace tqm::win32 {

// One of our identifiers (common/) as the platform's GUID.
inline GUID ToGuid(const Guid128& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
  return out;
}

// The interface class of the driver as the platform's GUID.
inline GUID DriverInterfaceClass() { return ToGuid(kInterfaceGuid); }

// The detail record (the device path) of one interface of `set`, in a block
// the caller frees with free(); null when it cannot be fetched or allocated.
SP_DEVICE_INTERFACE_DETAIL_DATA_W* FetchInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data);

// One synchronous request: the 128-byte record in and out on the driver's one
// control code. Returns the DeviceIoControl result; on failure the record keeps
// what the caller put in (the system copies nothing back).
bool SendRecord(HANDLE device, CommandRecord& record);

// A zeroed record of one command.
CommandRecord MakeRecord(uint32_t commandClass, uint32_t subOp);

// Identify with 12 and 16 pre-set to 255; true only when the request succeeded
// and the reply names the expected interface version.
bool Identify(HANDLE device, uint32_t expectMajor = kIdentifyMajor, uint32_t expectMinor = kIdentifyMinor);

class InterfaceTable {
 public:
  static constexpr int kCapacity = 8;
  static constexpr int kPathChars = 256;

  InterfaceTable() = default;
  ~InterfaceTable() { CloseAll(); }
  InterfaceTable(const InterfaceTable&) = delete;
  InterfaceTable& operator=(const InterfaceTable&) = delete;

  // Opens the present interfaces of the driver's class in enumeration order and
  // keeps those that pass the identity probe, until kCapacity are held; the
  // rest are left unopened. A table that already holds interfaces is left as
  // it is. Returns the count.
  int Open();
  // Closes every handle; the count is 0 afterwards.
  void CloseAll();

  int count() const { return count_; }
  // Handle and interface path of the index-th interface kept, in opening order.
  HANDLE handle(int index) const;
  const wchar_t* path(int index) const;

 private:
  HANDLE handles_[kCapacity] = {};
  wchar_t paths_[kCapacity][kPathChars] = {};
  int count_ = 0;
};

}  // namespace tqm::win32
