// The firmware behind the TQM27's HID interface, as far as the host can see it:
// it takes output reports (63 bytes on the wire) and answers each command
// report with one input report (31 bytes) a set number of milliseconds later.
//
// A command report carries the marker 1 at byte 21 and a five-byte command at
// bytes 22..26 (bytes 22 and 23..27 once a host puts the report id 0 in front).
// The reply echoes the command's second byte at byte 0 and the whole command
// at bytes 1..5. Reports without the marker are ignored, as the firmware
// ignores what it does not know; a silent responder answers nothing.
//
// Owned by the device and guarded by its lock; time is the device's frame count.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "usb/device/descriptors.h"

namespace tqm::usb {

using HidCommand = std::array<uint8_t, 5>;
using HidReport = std::array<uint8_t, kHidInputReportBytes>;

class HidResponder {
 public:
  static constexpr size_t kMarkerByte = 21;
  static constexpr size_t kCommandByte = 22;
  static constexpr size_t kMaxQueuedReplies = 8;
  // The output reports kept as received, the oldest dropped beyond this.
  static constexpr size_t kMaxLoggedReports = 256;

  void SetSilent(bool silent) { silent_ = silent; }
  void SetReplyDelay(uint32_t frames) { replyDelay_ = frames; }

  // One output report received in frame `now`.
  void Output(std::span<const uint8_t> report, uint64_t now);
  // The next reply due by frame `now`, if any.
  bool TakeInput(uint64_t now, HidReport* report);

  const std::vector<HidCommand>& Commands() const { return commands_; }
  // Every output report as it arrived, command or not (the last
  // kMaxLoggedReports of them).
  const std::deque<std::vector<uint8_t>>& Reports() const { return reports_; }

 private:
  struct Pending {
    uint64_t due;
    HidReport report;
  };
  bool silent_ = false;
  uint32_t replyDelay_ = 1;
  std::deque<Pending> replies_;
  std::vector<HidCommand> commands_;
  std::deque<std::vector<uint8_t>> reports_;
};

}  // namespace tqm::usb
