#include "tqm/win32/interface_table.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "tqm/identity.h"

namespace tqm::win32 {

bool SendRecord(HANDLE device, CommandRecord& record) {
  DWORD returned = 0;
  return sys::DeviceIoControl(device, kCommandControlCode, record.bytes, kCommandRecordSize, record.bytes,
                              kCommandRecordSize, &returned, nullptr) != FALSE;
}

CommandRecord MakeRecord(uint32_t commandClass, uint32_t subOp) {
  CommandRecord record;
  memset(record.bytes, 0, sizeof record.bytes);
  record.Set32(Field::Class, commandClass);
  record.Set32(Field::SubOp, subOp);
  return record;
}

bool Identify(HANDLE device, uint32_t expectMajor, uint32_t expectMinor) {
  CommandRecord record = MakeRecord(CMD_CLASS_DRIVER, DriverOp::Identify);
  record.Set32(Field::VersionMajor, kProbeFill);
  record.Set32(Field::VersionMinor, kProbeFill);
  return SendRecord(device, record) && record.Get32(Field::VersionMajor) == expectMajor &&
         record.Get32(Field::VersionMinor) == expectMinor;
}

// A size query that does not name a size, or an allocation that fails, is
// answered like a failed fetch.
SP_DEVICE_INTERFACE_DETAIL_DATA_W* FetchInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data) {
  DWORD required = 0;
  sys::SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return nullptr;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(malloc(required));
  if (!detail) return nullptr;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!sys::SetupDiGetDeviceInterfaceDetailW(set, data, detail, required, nullptr, nullptr)) {
    free(detail);
    return nullptr;
  }
  return detail;
}

int InterfaceTable::Open() {
  if (count_ != 0) return count_;
  const GUID cls = DriverInterfaceClass();
  HDEVINFO set = sys::SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;
  for (DWORD index = 0; count_ < kCapacity; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!sys::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &data)) break;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = FetchInterfaceDetail(set, &data);
    if (!detail) break;
    HANDLE device = sys::CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
      if (Identify(device)) {
        handles_[count_] = device;
        // A path too long for the table is kept cut short: it only serves to
        // recognise the interface in a removal broadcast, which then fails to
        // match and the device is found gone at its next request.
        wcsncpy(paths_[count_], detail->DevicePath, kPathChars - 1);
        paths_[count_][kPathChars - 1] = L'\0';
        ++count_;
      } else {
        sys::CloseHandle(device);
      }
    }
    free(detail);
  }
  sys::SetupDiDestroyDeviceInfoList(set);
  return count_;
}

void InterfaceTable::CloseAll() {
  for (int i = 0; i < count_; ++i) {
    if (handles_[i] && handles_[i] != INVALID_HANDLE_VALUE) sys::CloseHandle(handles_[i]);
    handles_[i] = nullptr;
    paths_[i][0] = L'\0';
  }
  count_ = 0;
}

HANDLE InterfaceTable::handle(int index) const {
  return index >= 0 && index < count_ ? handles_[index] : nullptr;
}

const wchar_t* InterfaceTable::path(int index) const {
  return index >= 0 && index < count_ ? paths_[index] : L"";
}

}  // namespace tqm::win32
