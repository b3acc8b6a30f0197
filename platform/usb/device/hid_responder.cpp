// The HID command responder; see hid_responder.h.
#include "usb/device/hid_responder.h"

#include <algorithm>

namespace tqm::usb {

void HidResponder::Output(std::span<const uint8_t> report, uint64_t now) {
  if (reports_.size() == kMaxLoggedReports) reports_.pop_front();
  reports_.emplace_back(report.begin(), report.end());
  if (report.size() < kCommandByte + 5 || report[kMarkerByte] != 1) return;
  HidCommand command;
  std::copy_n(report.begin() + kCommandByte, command.size(), command.begin());
  commands_.push_back(command);
  // The firmware keeps a short queue: a host that never reads loses the oldest.
  if (silent_) return;
  if (replies_.size() == kMaxQueuedReplies) replies_.pop_front();
  Pending reply{now + replyDelay_, {}};
  reply.report[0] = command[1];
  std::copy(command.begin(), command.end(), reply.report.begin() + 1);
  replies_.push_back(reply);
}

bool HidResponder::TakeInput(uint64_t now, HidReport* report) {
  if (replies_.empty() || replies_.front().due > now) return false;
  *report = replies_.front().report;
  replies_.pop_front();
  return true;
}

}  // namespace tqm::usb
