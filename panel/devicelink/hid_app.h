// The device's HID interface as the panel uses it: found by USB vendor and
// product id, one output report written and one input report read per
// transaction, every wait bounded so a silent or stuck device cannot hold the
// panel's window thread.
#pragma once

#include "platform/bridge/sys.h"

#include <cstdint>

namespace tqm::panel {

class CHidApp {
 public:
  // The report buffers: a device with longer reports is refused at Open.
  static constexpr DWORD kOutputReportBytes = 64;
  static constexpr DWORD kInputReportBytes = 32;
  static constexpr DWORD kReadTimeoutMs = 32;
  static constexpr DWORD kWriteTimeoutMs = 300;
  static constexpr int kPathChars = 256;

  CHidApp();
  virtual ~CHidApp();
  CHidApp(const CHidApp&) = delete;
  CHidApp& operator=(const CHidApp&) = delete;

  // Opens the first present HID device with this vendor and product id.
  // Devices that do not match, or cannot even be opened for their attributes,
  // are passed over. True when a device is open (at once if one already is).
  bool Open(uint16_t vendor, uint16_t product);
  // Writes one output report from `report` (OutputReportByteLength bytes).
  // Returns the bytes written; 0 when nothing is open or the write failed or
  // timed out, which closes the link.
  DWORD WriteReport(const uint8_t* report);
  // Reads one input report into `report` (InputReportByteLength bytes),
  // waiting at most 32 ms. Returns the bytes read (18 when the device reports
  // none); 0 on a time-out (the read is cancelled and its end waited for) or
  // when nothing is open; any other failure closes the link.
  DWORD ReadReport(uint8_t* report);
  // One command: a zeroed output report with 1 at byte 22 and the five
  // command bytes at 23..27, written when `write`, then one reply read; the
  // reply's byte 1 goes back into command[1] when a reply came.
  int Transact(uint8_t command[5], bool write);
  void Close();

  bool isOpen() const { return open_ != 0; }
  const wchar_t* path() const { return path_; }
  const HIDP_CAPS& caps() const { return caps_; }

 private:
  bool OpenMatch(const wchar_t* devicePath);
  // Waits for an overlapped request on `file` up to `ms`; on a time-out the
  // request is cancelled and its end waited for, so `overlapped` and the
  // buffer are free again. Returns the wait's result.
  DWORD Finish(HANDLE file, OVERLAPPED& overlapped, DWORD ms, DWORD* transferred);

  int32_t open_ = 0;
  HANDLE ioEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  HANDLE probe_ = INVALID_HANDLE_VALUE;
  HANDLE write_ = INVALID_HANDLE_VALUE;
  HANDLE read_ = INVALID_HANDLE_VALUE;
  GUID hidClass_{};
  OVERLAPPED overlapped_{};
  wchar_t path_[kPathChars] = {};
  HIDD_ATTRIBUTES attributes_{};
  HIDP_CAPS caps_{};
};

// The two-report exchange the panel runs when the device arrives and after a
// sample-rate change. False when no TQM27 HID device could be opened.
bool RunHidExchange();

}  // namespace tqm::panel
