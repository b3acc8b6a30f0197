// The HID interface's command exchange as the panel runs it: an output report
// with the marker at byte 21 and the command at 22..26 (on the wire, without
// the report id), then one input report whose byte 0 answers.
#include <gtest/gtest.h>

#include "usb_host.h"

namespace tqm::usb {
namespace {

using testing::UsbHost;

std::vector<uint8_t> CommandReport(std::array<uint8_t, 5> command, uint8_t marker = 1) {
  std::vector<uint8_t> report(kHidOutputReportBytes, 0);
  report[21] = marker;
  std::copy(command.begin(), command.end(), report.begin() + 22);
  return report;
}

// Runs frames until an input report arrives or `frames` pass.
UsbStatus PollInput(UsbHost& host, std::vector<uint8_t>& buffer, uint32_t* length, int frames) {
  UsbStatus s = UsbStatus::Nak;
  for (int i = 0; i <= frames; ++i) {
    s = host.device.HidInput(buffer, length);
    if (s != UsbStatus::Nak) return s;
    host.device.RunFrame({});
  }
  return s;
}

TEST(Hid, TwoReportExchangeAnswersEachCommand) {
  UsbHost host;
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  const std::array<uint8_t, 5> commands[] = {{0x60, 0x60, 0, 0, 0}, {0x60, 0x20, 0, 0, 0}};
  for (const auto& command : commands) {
    SCOPED_TRACE(::testing::Message() << "command 0x" << std::hex << int(command[1]));
    ASSERT_EQ(host.device.HidOutput(CommandReport(command)), UsbStatus::Ok);
    std::vector<uint8_t> buffer(kHidInputReportBytes);
    uint32_t length = 0;
    EXPECT_EQ(host.device.HidInput(buffer, &length), UsbStatus::Nak) << "not before the next frame";
    ASSERT_EQ(PollInput(host, buffer, &length, 1), UsbStatus::Ok);
    EXPECT_EQ(length, kHidInputReportBytes);
    EXPECT_EQ(buffer[0], command[1]) << "byte 1 once the host adds the report id";
    EXPECT_TRUE(std::equal(command.begin(), command.end(), buffer.begin() + 1));
  }
  const std::vector<HidCommand> seen = host.device.HidCommands();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], commands[0]);
  EXPECT_EQ(seen[1], commands[1]);
}

TEST(Hid, SetReportOnEndpointZeroWorksLikeTheInterruptPipe) {
  UsbHost host;
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  ASSERT_EQ(host.Out(0x21, 0x0A, 0, 0, {}), UsbStatus::Ok) << "SET_IDLE";
  ASSERT_EQ(host.Out(0x21, 0x09, 0x0200, 0, CommandReport({0x60, 0x20, 0, 0, 0})), UsbStatus::Ok);
  std::vector<uint8_t> buffer(kHidInputReportBytes);
  uint32_t length = 0;
  ASSERT_EQ(PollInput(host, buffer, &length, 1), UsbStatus::Ok);
  EXPECT_EQ(buffer[0], 0x20);
}

TEST(Hid, ReportsItDoesNotKnowAndTheSilentFaultGetNoAnswer) {
  struct Row {
    std::vector<uint8_t> report;
    bool silent;
    size_t commandsLogged;
    const char* why;
  } rows[] = {
      {CommandReport({0x60, 0x60, 0, 0, 0}, 0), false, 0, "no marker at byte 21"},
      {std::vector<uint8_t>(20, 1), false, 0, "too short to hold a command"},
      {CommandReport({0x60, 0x60, 0, 0, 0}), true, 1, "silent: taken, never answered"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    ASSERT_EQ(host.Configure(), UsbStatus::Ok);
    DeviceFaults faults;
    faults.hidSilent = row.silent;
    host.device.SetFaults(faults);
    ASSERT_EQ(host.device.HidOutput(row.report), UsbStatus::Ok);
    std::vector<uint8_t> buffer(kHidInputReportBytes);
    uint32_t length = 0;
    EXPECT_EQ(PollInput(host, buffer, &length, 40), UsbStatus::Nak) << "still nothing after 40 ms";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(host.device.HidCommands().size(), row.commandsLogged);
  }
}

TEST(Hid, EndpointsNeedAConfigurationAndARoomyBuffer) {
  UsbHost host;
  std::vector<uint8_t> buffer(kHidInputReportBytes);
  uint32_t length = 0;
  EXPECT_EQ(host.device.HidOutput(CommandReport({0x60, 0x60, 0, 0, 0})), UsbStatus::NoEndpoint);
  EXPECT_EQ(host.device.HidInput(buffer, &length), UsbStatus::NoEndpoint);
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  host.device.SetHidReplyDelay(0);
  ASSERT_EQ(host.device.HidOutput(CommandReport({0x60, 0x60, 0, 0, 0})), UsbStatus::Ok);
  std::vector<uint8_t> small(kHidInputReportBytes - 1);
  EXPECT_EQ(host.device.HidInput(small, &length), UsbStatus::DataOverrun);
  EXPECT_EQ(host.device.HidInput(buffer, &length), UsbStatus::Ok) << "the reply waited";
}

}  // namespace
}  // namespace tqm::usb
