#include "panel/devicelink/hid_app.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "tqm/identity.h"
#include "tqm/win32/interface_table.h"

namespace tqm::panel {

namespace {

constexpr DWORD kReportIdByte = 0;
constexpr DWORD kMarkerByte = 22;
constexpr DWORD kCommandByte = 23;
constexpr DWORD kCommandBytes = 5;
constexpr DWORD kEmptyReplyCount = 18;
constexpr ULONG kAttributesSize = 12;

bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

void CloseIfValid(HANDLE& h) {
  if (Valid(h)) sys::CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
}

}  // namespace

CHidApp::CHidApp() {
  ioEvent_ = sys::CreateEventW(nullptr, TRUE, TRUE, L"");
  writeEvent_ = sys::CreateEventW(nullptr, TRUE, TRUE, nullptr);
  overlapped_.hEvent = ioEvent_;
  sys::HidD_GetHidGuid(&hidClass_);
}

CHidApp::~CHidApp() {
  // Close first: nothing may still be pending on an event that goes away.
  Close();
  if (ioEvent_) sys::CloseHandle(ioEvent_);
  if (writeEvent_) sys::CloseHandle(writeEvent_);
}

bool CHidApp::Open(uint16_t vendor, uint16_t product) {
  if (open_) return true;
  HDEVINFO set = sys::SetupDiGetClassDevsW(&hidClass_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool opened = false;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!sys::SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass_, index, &data)) break;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = win32::FetchInterfaceDetail(set, &data);
    if (!detail) break;
    // A device we may not even open for its attributes is someone else's:
    // pass it over.
    probe_ = sys::CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    bool match = false;
    if (Valid(probe_)) {
      attributes_ = HIDD_ATTRIBUTES{};
      attributes_.Size = kAttributesSize;
      match = sys::HidD_GetAttributes(probe_, &attributes_) && attributes_.VendorID == vendor &&
              attributes_.ProductID == product;
      if (!match) CloseIfValid(probe_);
    }
    if (match) {
      opened = OpenMatch(detail->DevicePath);
      free(detail);
      break;
    }
    probe_ = INVALID_HANDLE_VALUE;
    free(detail);
  }
  sys::SetupDiDestroyDeviceInfoList(set);
  return opened;
}

bool CHidApp::OpenMatch(const wchar_t* devicePath) {
  open_ = 1;
  wcsncpy(path_, devicePath, kPathChars - 1);
  path_[kPathChars - 1] = L'\0';
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  bool capsRead = false;
  if (sys::HidD_GetPreparsedData(probe_, &preparsed)) {
    caps_ = HIDP_CAPS{};
    capsRead = sys::HidP_GetCaps(preparsed, &caps_) == HIDP_STATUS_SUCCESS;
    sys::HidD_FreePreparsedData(preparsed);
  }
  CloseIfValid(probe_);
  // Reports that do not fit the buffers would be read or written past their
  // ends: such a device is refused.
  if (!capsRead || caps_.OutputReportByteLength > kOutputReportBytes ||
      caps_.InputReportByteLength > kInputReportBytes) {
    Close();
    return false;
  }
  write_ = sys::CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  read_ = sys::CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  if (!Valid(write_) || !Valid(read_)) {
    Close();
    return false;
  }
  return true;
}

DWORD CHidApp::Finish(HANDLE file, OVERLAPPED& overlapped, DWORD ms, DWORD* transferred) {
  const DWORD wait = sys::WaitForSingleObject(overlapped.hEvent, ms);
  if (wait == WAIT_OBJECT_0) {
    if (!sys::GetOverlappedResult(file, &overlapped, transferred, FALSE)) return WAIT_FAILED;
    return WAIT_OBJECT_0;
  }
  // Cancel, then wait for the request's end: until it has ended, the
  // system may still write into the buffer and the OVERLAPPED.
  sys::CancelIo(file);
  DWORD ignored = 0;
  sys::GetOverlappedResult(file, &overlapped, &ignored, TRUE);
  return wait;
}

DWORD CHidApp::WriteReport(const uint8_t* report) {
  if (!Valid(write_)) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = writeEvent_;
  sys::ResetEvent(writeEvent_);
  DWORD written = 0;
  bool done = sys::WriteFile(write_, report, caps_.OutputReportByteLength, &written, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING)
    done = Finish(write_, overlapped, kWriteTimeoutMs, &written) == WAIT_OBJECT_0;
  else if (done && !sys::GetOverlappedResult(write_, &overlapped, &written, FALSE))
    done = false;
  if (!done) {
    Close();
    return 0;
  }
  return written;
}

DWORD CHidApp::ReadReport(uint8_t* report) {
  if (!Valid(read_)) return 0;
  overlapped_.Offset = 0;
  overlapped_.OffsetHigh = 0;
  sys::ResetEvent(ioEvent_);
  DWORD got = 0;
  if (!sys::ReadFile(read_, report, caps_.InputReportByteLength, &got, &overlapped_) &&
      GetLastError() != ERROR_IO_PENDING) {
    Close();
    return 0;
  }
  switch (Finish(read_, overlapped_, kReadTimeoutMs, &got)) {
    case WAIT_OBJECT_0:
      return got != 0 ? got : kEmptyReplyCount;
    case WAIT_TIMEOUT:
      return 0;
    default:
      Close();
      return 0;
  }
}

int CHidApp::Transact(uint8_t command[5], bool write) {
  uint8_t out[kOutputReportBytes] = {};
  out[kReportIdByte] = 0;
  out[kMarkerByte] = 1;
  memcpy(out + kCommandByte, command, kCommandBytes);
  if (write) {
    WriteReport(out);
    Sleep(2);
  }
  uint8_t reply[kInputReportBytes] = {};
  if (ReadReport(reply) != 0) command[1] = reply[1];
  Sleep(5);
  return 1;
}

void CHidApp::Close() {
  CloseIfValid(read_);
  CloseIfValid(write_);
  CloseIfValid(probe_);
  open_ = 0;
}

bool RunHidExchange() {
  CHidApp hid;
  if (!hid.Open(kUsbVendorId, kUsbProductId)) return false;
  uint8_t first[5] = {0x60, 0x60, 0x00, 0x00, 0x00};
  hid.Transact(first, true);
  uint8_t second[5] = {0x60, 0x20, 0x00, 0x00, 0x00};
  hid.Transact(second, true);
  hid.Close();
  return true;
}

}  // namespace tqm::panel
