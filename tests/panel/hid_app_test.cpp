// The panel's HID link against the TQM27's HID interface on the simulated
// machine, under Wine: the two-report exchange as the device logs it, the
// bounded reads and writes, the devices it must pass over or refuse, and the
// handles it leaves behind (none).
#include "panel/devicelink/hid_app.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/identity.h"

namespace {

using namespace tqm;
using tqm::panel::CHidApp;

struct Leftovers {
  uint64_t handles = 0, blocks = 0;
};
Leftovers Held() {
  Leftovers l;
  EXPECT_EQ(TqmSimOpenHandles(&l.handles), 0u);
  EXPECT_EQ(TqmSimPreparsedBlocks(&l.blocks), 0u);
  return l;
}
void ExpectNothingLeft(const Leftovers& before, const char* what) {
  const Leftovers after = Held();
  EXPECT_EQ(after.handles, before.handles) << what;
  EXPECT_EQ(after.blocks, before.blocks) << what;
}

// The output reports the device received, as the host wrote them.
std::vector<std::vector<uint8_t>> DeviceLog() {
  uint32_t count = 0;
  EXPECT_EQ(TqmSimHidReportCount(0, &count), 0u);
  std::vector<std::vector<uint8_t>> log;
  for (uint32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> report(256);
    uint32_t length = 0;
    EXPECT_EQ(TqmSimHidReport(0, i, report.data(), uint32_t(report.size()), &length), 0u);
    report.resize(length);
    log.push_back(report);
  }
  return log;
}

void ExpectCommand(const std::vector<uint8_t>& report, std::array<uint8_t, 5> command, size_t length) {
  ASSERT_EQ(report.size(), length);
  EXPECT_EQ(report[0], 0);   // report id
  EXPECT_EQ(report[22], 1);  // marker
  for (size_t i = 0; i < command.size(); ++i) EXPECT_EQ(report[23 + i], command[i]) << "command byte " << i;
  for (size_t i = 1; i < report.size(); ++i) {
    if (i < 22 || i > 27) {
      EXPECT_EQ(report[i], 0) << "byte " << i;
    }
  }
}

TEST(HidLink, ExchangeSendsBothReportsAndLeavesNothingOpen) {
  const Leftovers before = Held();
  ASSERT_TRUE(panel::RunHidExchange());
  const auto log = DeviceLog();
  ASSERT_EQ(log.size(), 2u);
  ExpectCommand(log[0], {0x60, 0x60, 0, 0, 0}, 64);
  ExpectCommand(log[1], {0x60, 0x20, 0, 0, 0}, 64);
  ExpectNothingLeft(before, "after the exchange");
}

TEST(HidLink, ASilentDeviceTimesOutAndTheExchangeGoesOn) {
  ASSERT_EQ(TqmSimHidSilent(0, 1), 0u);
  const Leftovers before = Held();
  CHidApp hid;
  ASSERT_TRUE(hid.Open(kUsbVendorId, kUsbProductId));
  uint8_t reply[CHidApp::kInputReportBytes] = {};
  const DWORD start = GetTickCount();
  EXPECT_EQ(hid.ReadReport(reply), 0u);
  EXPECT_GE(GetTickCount() - start, CHidApp::kReadTimeoutMs - 16);  // the tick's granularity
  // The time-out leaves the link open: the next transaction still writes.
  EXPECT_TRUE(hid.isOpen());
  uint8_t second[5] = {0x60, 0x20, 0, 0, 0};
  EXPECT_EQ(hid.Transact(second, true), 1);
  EXPECT_TRUE(hid.isOpen());
  hid.Close();
  ExpectNothingLeft(before, "after close");
  // The whole exchange against the silent device still sends both reports.
  ASSERT_TRUE(panel::RunHidExchange());
  const auto log = DeviceLog();
  ASSERT_EQ(log.size(), 3u);
  ExpectCommand(log[1], {0x60, 0x60, 0, 0, 0}, 64);
  ExpectCommand(log[2], {0x60, 0x20, 0, 0, 0}, 64);
  ExpectNothingLeft(before, "after the exchange");
}

TEST(HidLink, AnsweringDeviceRepliesWithinTheReadLimit) {
  CHidApp hid;
  ASSERT_TRUE(hid.Open(kUsbVendorId, kUsbProductId));
  EXPECT_EQ(hid.caps().InputReportByteLength, 32);
  EXPECT_EQ(hid.caps().OutputReportByteLength, 64);
  EXPECT_NE(wcsstr(hid.path(), L"\\\\?\\"), nullptr);
  uint8_t report[CHidApp::kOutputReportBytes] = {};
  report[22] = 1;
  report[23] = 0x60;
  report[24] = 0x60;
  ASSERT_EQ(hid.WriteReport(report), 64u);
  uint8_t reply[CHidApp::kInputReportBytes] = {};
  EXPECT_EQ(hid.ReadReport(reply), 32u);
  // The device echoes the command's second byte first, after the report id.
  EXPECT_EQ(reply[1], 0x60);
}

// Devices Open must pass over, and devices it must refuse; either way no
// handle and no preparsed block stays behind a refusal.
TEST(HidLink, OpenPassesOverStrangersAndRefusesReportsTooLong) {
  struct Row {
    const char* name;
    bool foreign;
    uint32_t input, output;
    bool opens;
  };
  const Row rows[] = {
      {"an unrelated device that refuses to open comes first", true, 32, 64, true},
      {"output reports one byte too long", false, 32, 65, false},
      {"input reports one byte too long", false, 33, 64, false},
      {"short reports fit", false, 8, 9, true},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(TqmSimForeignHid(row.foreign ? 1 : 0), 0u);
    ASSERT_EQ(TqmSimHidReportLengths(0, row.input, row.output), 0u);
    const Leftovers before = Held();
    {
      CHidApp hid;
      EXPECT_EQ(hid.Open(kUsbVendorId, kUsbProductId), row.opens) << row.name;
      EXPECT_EQ(hid.isOpen(), row.opens) << row.name;
      if (!row.opens) ExpectNothingLeft(before, row.name);
      if (row.opens) {
        uint8_t command[5] = {0x60, 0x60, 0, 0, 0};
        hid.Transact(command, true);
        const auto log = DeviceLog();
        ASSERT_FALSE(log.empty()) << row.name;
        EXPECT_EQ(log.back().size(), row.output) << row.name;
      }
    }
    ExpectNothingLeft(before, row.name);
  }
}

TEST(HidLink, WithoutTheDeviceOpenFailsAndHoldsNothing) {
  ASSERT_EQ(TqmSimUnplug(), 0u);
  const Leftovers before = Held();
  CHidApp hid;
  EXPECT_FALSE(hid.Open(kUsbVendorId, kUsbProductId));
  EXPECT_FALSE(panel::RunHidExchange());
  uint8_t report[CHidApp::kOutputReportBytes] = {};
  EXPECT_EQ(hid.WriteReport(report), 0u);
  EXPECT_EQ(hid.ReadReport(report), 0u);
  ExpectNothingLeft(before, "without the device");
}

TEST(HidLink, AStuckWriteIsCancelledAndClosesTheLink) {
  const Leftovers before = Held();
  CHidApp hid;
  ASSERT_TRUE(hid.Open(kUsbVendorId, kUsbProductId));
  ASSERT_EQ(TqmSimHidStallWrites(0, 1), 0u);
  uint8_t command[5] = {0x60, 0x60, 0, 0, 0};
  const DWORD start = GetTickCount();
  EXPECT_EQ(hid.Transact(command, true), 1);
  // Bounded: the write's time-out, not forever (generous for a loaded machine).
  EXPECT_LT(GetTickCount() - start, 20000u);
  EXPECT_FALSE(hid.isOpen());
  ExpectNothingLeft(before, "after the stuck write");
  // Later transactions do nothing.
  ASSERT_EQ(TqmSimHidStallWrites(0, 0), 0u);
  const size_t logged = DeviceLog().size();
  EXPECT_EQ(hid.Transact(command, true), 1);
  EXPECT_EQ(DeviceLog().size(), logged);
}

}  // namespace
