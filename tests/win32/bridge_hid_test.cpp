// The TQM27's HID collection through tqmsim.dll, under Wine, as a Windows
// program reaches a HID device: the HID class enumerated with SetupDi, a
// probe handle with no access for the attributes and capabilities, a
// synchronous write handle and an overlapped read handle, the two-report
// command exchange, a read that times out and is cancelled, report lengths,
// a silent device and a stalled one, and an unrelated HID device that
// refuses to open.
#include "tests/win32/bridge_client.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/identity.h"

namespace {

using namespace tqm;
using namespace tqm::win32test;

std::vector<std::wstring> HidPaths() {
  GUID cls;
  sys::HidD_GetHidGuid(&cls);
  return InterfacePaths(cls);
}

HANDLE OpenHid(const std::wstring& path, DWORD access, DWORD flags = 0) {
  return sys::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                          nullptr);
}

// The TQM27's collection, found by vendor and product through probe handles.
std::wstring Tqm27HidPath() {
  for (const std::wstring& path : HidPaths()) {
    HANDLE probe = OpenHid(path, 0);
    if (probe == INVALID_HANDLE_VALUE) continue;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    const bool match = sys::HidD_GetAttributes(probe, &attributes) && attributes.VendorID == kUsbVendorId &&
                       attributes.ProductID == kUsbProductId;
    sys::CloseHandle(probe);
    if (match) return path;
  }
  return {};
}

HIDP_CAPS Caps(const std::wstring& path) {
  HIDP_CAPS caps{};
  HANDLE probe = OpenHid(path, 0);
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (probe != INVALID_HANDLE_VALUE && sys::HidD_GetPreparsedData(probe, &preparsed)) {
    EXPECT_EQ(sys::HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_TRUE(sys::HidD_FreePreparsedData(preparsed));
  }
  if (probe != INVALID_HANDLE_VALUE) sys::CloseHandle(probe);
  return caps;
}

// A command report as the host builds it: report id 0, the marker 1 at byte
// 22, the command at 23..27.
std::vector<uint8_t> CommandReport(std::array<uint8_t, 5> command, size_t length = 64) {
  std::vector<uint8_t> report(length, 0);
  report[22] = 1;
  std::copy(command.begin(), command.end(), report.begin() + 23);
  return report;
}

uint64_t OpenHandles() {
  uint64_t handles = ~0ull;
  EXPECT_EQ(TqmSimOpenHandles(&handles), 0u);
  return handles;
}

// A HID link as a panel holds one: a write handle and an overlapped read
// handle with its event.
struct Link {
  explicit Link(const std::wstring& path) {
    write = OpenHid(path, GENERIC_WRITE);
    read = OpenHid(path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    overlapped.hEvent = event;
  }
  ~Link() {
    if (write != INVALID_HANDLE_VALUE) sys::CloseHandle(write);
    if (read != INVALID_HANDLE_VALUE) sys::CloseHandle(read);
    CloseHandle(event);
  }
  DWORD Write(const std::vector<uint8_t>& report) {
    DWORD written = 0;
    if (!sys::WriteFile(write, report.data(), DWORD(report.size()), &written, nullptr)) return GetLastError();
    EXPECT_EQ(written, report.size());
    return 0;
  }
  // Starts an overlapped read of `length` bytes: ERROR_IO_PENDING, or 0 when
  // it finished at once.
  DWORD StartRead(DWORD length = 32) {
    overlapped.Offset = overlapped.OffsetHigh = 0;
    if (sys::ReadFile(read, buffer, length, nullptr, &overlapped)) return 0;
    return GetLastError();
  }
  HANDLE write = INVALID_HANDLE_VALUE;
  HANDLE read = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  uint8_t buffer[64] = {};
};

class BridgeHid : public ::testing::Test {
 protected:
  void SetUp() override {
    startHandles_ = OpenHandles();
    path_ = Tqm27HidPath();
    ASSERT_FALSE(path_.empty()) << "no HID collection with the TQM27's vendor and product";
  }
  void TearDown() override {
    uint64_t blocks = ~0ull;
    EXPECT_EQ(TqmSimPreparsedBlocks(&blocks), 0u);
    EXPECT_EQ(blocks, 0u) << "preparsed data left";
    EXPECT_EQ(OpenHandles(), startHandles_) << "handles left open";
    uint64_t faults = ~0ull;
    EXPECT_EQ(TqmSimFaultCount(&faults), 0u);
    EXPECT_EQ(faults, 0u);
  }
  std::vector<uint8_t> LoggedReport(uint32_t index) {
    std::vector<uint8_t> report(128);
    uint32_t length = 0;
    EXPECT_EQ(TqmSimHidReport(0, index, report.data(), uint32_t(report.size()), &length), 0u);
    report.resize(length);
    return report;
  }
  uint32_t LoggedCount() {
    uint32_t count = ~0u;
    EXPECT_EQ(TqmSimHidReportCount(0, &count), 0u);
    return count;
  }
  std::wstring path_;
  uint64_t startHandles_ = 0;
};

TEST_F(BridgeHid, EnumerationFindsTheTqm27AndTheUnrelatedDeviceRefusesToOpen) {
  ASSERT_EQ(TqmSimForeignHid(1), 0u);
  const std::vector<std::wstring> paths = HidPaths();
  ASSERT_EQ(paths.size(), 2u);
  size_t refused = 0, matched = 0;
  for (const std::wstring& path : paths) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    HANDLE probe = OpenHid(path, 0);
    if (probe == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
      ++refused;
      continue;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(sys::HidD_GetAttributes(probe, &attributes)) << GetLastError();
    EXPECT_EQ(attributes.VendorID, kUsbVendorId);
    EXPECT_EQ(attributes.ProductID, kUsbProductId);
    EXPECT_EQ(attributes.VersionNumber, 0x0100);
    EXPECT_TRUE(sys::CloseHandle(probe));
    ++matched;
  }
  EXPECT_EQ(refused, 1u) << "the unrelated device comes first and cannot be opened";
  EXPECT_EQ(matched, 1u);
  EXPECT_EQ(paths.back(), path_);
  ASSERT_EQ(TqmSimForeignHid(0), 0u);
  EXPECT_EQ(HidPaths().size(), 1u);
}

TEST_F(BridgeHid, CapabilitiesGiveTheReportLengthsWithTheIdByte) {
  const HIDP_CAPS caps = Caps(path_);
  EXPECT_EQ(caps.InputReportByteLength, 32);
  EXPECT_EQ(caps.OutputReportByteLength, 64);
  EXPECT_EQ(caps.UsagePage, 0xFF00);
}

TEST_F(BridgeHid, ReportLengthsAreConfigurable) {
  struct Row {
    uint32_t input, output;  // set through the control API (0 keeps)
    USHORT expectInput, expectOutput;
  } rows[] = {
      {33, 65, 33, 65},  // one byte beyond what a 32/64-byte client buffer holds
      {0, 16, 33, 16},   // the input kept, a short output report
      {32, 64, 32, 64},  // back to the device's own
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.input << "/" << row.output);
    ASSERT_EQ(TqmSimHidReportLengths(0, row.input, row.output), 0u);
    const HIDP_CAPS caps = Caps(path_);
    EXPECT_EQ(caps.InputReportByteLength, row.expectInput);
    EXPECT_EQ(caps.OutputReportByteLength, row.expectOutput);
  }
  // A write of any other length than the declared one is refused.
  ASSERT_EQ(TqmSimHidReportLengths(0, 0, 65), 0u);
  {
    Link link(path_);
    EXPECT_EQ(link.Write(CommandReport({0x60, 0x60, 0, 0, 0}, 64)), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(link.Write(CommandReport({0x60, 0x60, 0, 0, 0}, 65)), 0u);
  }
  ASSERT_EQ(TqmSimHidReportLengths(0, 0, 64), 0u);
}

TEST_F(BridgeHid, TwoReportExchangeIsAnsweredAndLogged) {
  Link link(path_);
  ASSERT_NE(link.read, INVALID_HANDLE_VALUE);
  ASSERT_NE(link.write, INVALID_HANDLE_VALUE);
  const uint32_t before = LoggedCount();
  const std::array<uint8_t, 5> commands[] = {{0x60, 0x60, 0, 0, 0}, {0x60, 0x20, 0, 0, 0}};
  for (const auto& command : commands) {
    SCOPED_TRACE(::testing::Message() << "command 0x" << std::hex << int(command[1]));
    ASSERT_EQ(link.Write(CommandReport(command)), 0u);
    const DWORD started = link.StartRead();
    ASSERT_TRUE(started == 0 || started == ERROR_IO_PENDING) << started;
    ASSERT_EQ(WaitForSingleObject(link.event, 2000), WAIT_OBJECT_0);
    DWORD got = 0;
    ASSERT_TRUE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, FALSE)) << GetLastError();
    EXPECT_EQ(got, 32u);
    EXPECT_EQ(link.buffer[0], 0) << "the report id";
    EXPECT_EQ(link.buffer[1], command[1]) << "the reply echoes the command's second byte";
    EXPECT_EQ(0, memcmp(link.buffer + 2, command.data(), command.size()));
  }
  ASSERT_EQ(LoggedCount(), before + 2);
  for (uint32_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const std::vector<uint8_t> report = LoggedReport(before + i);
    ASSERT_EQ(report.size(), 64u);
    EXPECT_EQ(report[22], 1);
    EXPECT_EQ(0, memcmp(report.data() + 23, commands[i].data(), 5));
  }
}

TEST_F(BridgeHid, OverlappedReadTimesOutAndIsCancelled) {
  ASSERT_EQ(TqmSimHidReplyDelay(0, 60000), 0u);
  {
    Link link(path_);
    ASSERT_EQ(link.Write(CommandReport({0x60, 0x60, 0, 0, 0})), 0u);
    ASSERT_EQ(link.StartRead(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(link.event, 32), DWORD(WAIT_TIMEOUT));
    DWORD got = 99;
    EXPECT_FALSE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_TRUE(sys::CancelIo(link.read));
    EXPECT_FALSE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 0u);
    // The buffer and the OVERLAPPED may be reused: the next read runs.
    EXPECT_EQ(link.StartRead(), DWORD(ERROR_IO_PENDING));
    EXPECT_TRUE(sys::CancelIo(link.read));
    EXPECT_FALSE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, TRUE));
  }
  ASSERT_EQ(TqmSimHidReplyDelay(0, 1), 0u);
}

TEST_F(BridgeHid, SilentDeviceGivesNoReplyButLogsTheReport) {
  ASSERT_EQ(TqmSimHidSilent(0, 1), 0u);
  const uint32_t before = LoggedCount();
  {
    Link link(path_);
    ASSERT_EQ(link.Write(CommandReport({0x60, 0x20, 0, 0, 0})), 0u);
    ASSERT_EQ(link.StartRead(), DWORD(ERROR_IO_PENDING));
    // Long beyond the 1 ms a speaking device answers in.
    EXPECT_EQ(WaitForSingleObject(link.event, 200), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(sys::CancelIo(link.read));
    DWORD got = 0;
    EXPECT_FALSE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  }
  ASSERT_EQ(LoggedCount(), before + 1);
  EXPECT_EQ(LoggedReport(before)[24], 0x20);
  ASSERT_EQ(TqmSimHidSilent(0, 0), 0u);
}

TEST_F(BridgeHid, StalledWriteIsCancelledLikeARead) {
  ASSERT_EQ(TqmSimHidStallWrites(0, 1), 0u);
  {
    HANDLE write = OpenHid(path_, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(write, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const std::vector<uint8_t> report = CommandReport({0x60, 0x60, 0, 0, 0});
    EXPECT_FALSE(sys::WriteFile(write, report.data(), DWORD(report.size()), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 100), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(sys::CancelIo(write));
    DWORD got = 9;
    EXPECT_FALSE(sys::GetOverlappedResult(write, &overlapped, &got, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 0u);
    CloseHandle(overlapped.hEvent);
    EXPECT_TRUE(sys::CloseHandle(write));
  }
  ASSERT_EQ(TqmSimHidStallWrites(0, 0), 0u);
}

TEST_F(BridgeHid, SynchronousReadWaitsForTheReply) {
  HANDLE write = OpenHid(path_, GENERIC_WRITE);
  HANDLE read = OpenHid(path_, GENERIC_READ);
  ASSERT_NE(read, INVALID_HANDLE_VALUE);
  const std::vector<uint8_t> report = CommandReport({0x60, 0x20, 0, 0, 0});
  DWORD done = 0;
  ASSERT_TRUE(sys::WriteFile(write, report.data(), DWORD(report.size()), &done, nullptr)) << GetLastError();
  EXPECT_EQ(done, 64u);
  uint8_t reply[32] = {};
  ASSERT_TRUE(sys::ReadFile(read, reply, sizeof reply, &done, nullptr)) << GetLastError();
  EXPECT_EQ(done, 32u);
  EXPECT_EQ(reply[1], 0x20);
  EXPECT_TRUE(sys::CloseHandle(write));
  EXPECT_TRUE(sys::CloseHandle(read));
}

TEST_F(BridgeHid, HandlesRefuseWhatTheirAccessOrModeDoesNotAllow) {
  HANDLE probe = OpenHid(path_, 0);
  HANDLE overlappedRead = OpenHid(path_, GENERIC_READ, FILE_FLAG_OVERLAPPED);
  HANDLE write = OpenHid(path_, GENERIC_WRITE);
  ASSERT_NE(probe, INVALID_HANDLE_VALUE);
  ASSERT_NE(overlappedRead, INVALID_HANDLE_VALUE);
  ASSERT_NE(write, INVALID_HANDLE_VALUE);
  const uint32_t logged = LoggedCount();
  uint8_t report[64] = {};
  uint8_t numbered[64] = {5};
  DWORD done = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = OpenHid(path_, 0);
  sys::CloseHandle(closed);
  struct Row {
    const char* what;
    std::function<BOOL()> call;
    DWORD error;
  } rows[] = {
      {"write on a probe handle", [&] { return sys::WriteFile(probe, report, 64, &done, nullptr); },
       ERROR_ACCESS_DENIED},
      {"read on a probe handle", [&] { return sys::ReadFile(probe, report, 32, &done, nullptr); },
       ERROR_ACCESS_DENIED},
      {"read on a write handle", [&] { return sys::ReadFile(write, report, 32, &done, nullptr); },
       ERROR_ACCESS_DENIED},
      {"overlapped handle without an OVERLAPPED",
       [&] { return sys::ReadFile(overlappedRead, report, 32, &done, nullptr); }, ERROR_INVALID_PARAMETER},
      {"read shorter than a report", [&] { return sys::ReadFile(overlappedRead, report, 31, &done, &overlapped); },
       ERROR_INVALID_USER_BUFFER},
      {"write shorter than a report", [&] { return sys::WriteFile(write, report, 63, &done, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"report id other than 0", [&] { return sys::WriteFile(write, numbered, 64, &done, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"attributes through a closed handle's value",
       [&] {
         HIDD_ATTRIBUTES a{};
         a.Size = sizeof a;
         return BOOL(sys::HidD_GetAttributes(closed, &a));
       },
       ERROR_INVALID_HANDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetLastError(0);
    EXPECT_FALSE(row.call());
    EXPECT_EQ(GetLastError(), row.error);
  }
  CloseHandle(overlapped.hEvent);
  sys::CloseHandle(probe);
  sys::CloseHandle(overlappedRead);
  sys::CloseHandle(write);
  EXPECT_EQ(LoggedCount(), logged) << "nothing refused reached the device";
}

TEST_F(BridgeHid, UnplugEndsAPendingReadAndTheCollectionGoes) {
  {
    Link link(path_);
    ASSERT_EQ(link.StartRead(), DWORD(ERROR_IO_PENDING));
    ASSERT_EQ(TqmSimUnplug(), 0u);
    DWORD got = 0;
    EXPECT_FALSE(sys::GetOverlappedResult(link.read, &link.overlapped, &got, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(Tqm27HidPath().empty());
    EXPECT_EQ(link.Write(CommandReport({0x60, 0x60, 0, 0, 0})), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  }
  ASSERT_EQ(TqmSimPlug(), 0u);
  const std::wstring again = Tqm27HidPath();
  EXPECT_FALSE(again.empty());
  EXPECT_NE(again, path_) << "a new arrival is a new instance";
}

TEST_F(BridgeHid, NoHandleIsLeftAfterAProbeOfEveryCollection) {
  ASSERT_EQ(TqmSimForeignHid(1), 0u);
  const uint64_t before = OpenHandles();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(Tqm27HidPath(), path_);
    Caps(path_);
    EXPECT_EQ(OpenHandles(), before);
  }
  ASSERT_EQ(TqmSimForeignHid(0), 0u);
}

}  // namespace
