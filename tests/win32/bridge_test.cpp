// A Windows program on the simulated machine, under Wine, through
// tqmsim.dll: SetupDi enumeration, CreateFileW and DeviceIoControl on the
// interface path, the status block and the SharedBuffer mapped into this
// process, a Win32 event signalled every period, the loopback played and
// recorded, a second process refused, a killed process cleaned up, and the
// device's arrival and removal as window messages.
//
// The program is also its own second process: `--child=NAME` runs one of the
// child roles below instead of the tests.
#include "tests/win32/bridge_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"

namespace {

using namespace tqm;
using namespace tqm::win32test;

// The counting signal: a 16-bit frame counter in the top bits, the channel
// in the byte below; the 24 bits the device carries hold both.
int32_t Counting(uint32_t frame, uint32_t channel) {
  return int32_t((frame & 0xFFFF) << 16 | (channel + 1) << 8);
}

// Runs `ms` of stream on an open, started device from this thread (waiting
// through sys::, as a period thread does, and answering with OutputReady): every
// period event, fill the output half the status block names from the
// counting signal, check what the input half holds, send OutputReady.
struct StreamRun {
  uint64_t periods = 0;
  uint64_t checkedFrames = 0;
  uint64_t wrongFrames = 0;
  uint64_t missedWakes = 0;
  std::string firstWrong;
};

StreamRun Stream(Device& d, HANDLE event, const StatusBlockView& block, uint32_t periods) {
  StreamRun run;
  uint32_t played = 0;
  bool locked = false;
  uint32_t expect = 0;
  for (uint32_t p = 0; p < periods; ++p) {
    if (sys::WaitForSingleObject(event, 2000) != WAIT_OBJECT_0) {
      ++run.missedWakes;
      break;
    }
    const uint32_t half = block.Read(StatusWord::RecordHalf) & 1;
    for (uint32_t f = 0; f < d.period; ++f) {
      const int32_t left = d.input[0][half][f], right = d.input[1][half][f];
      if (!locked && left != 0) {
        locked = true;
        expect = uint32_t(left) >> 16;
      }
      if (locked) {
        ++run.checkedFrames;
        if (left != Counting(expect, 0) || right != Counting(expect, 1)) {
          if (run.wrongFrames++ == 0) {
            char text[160];
            std::snprintf(text, sizeof text, "first wrong frame: period %u frame %u: %08X %08X, expected %08X %08X",
                          p, f, unsigned(left), unsigned(right), unsigned(Counting(expect, 0)),
                          unsigned(Counting(expect, 1)));
            run.firstWrong = text;
          }
        }
        ++expect;
      }
    }
    for (uint32_t f = 0; f < d.period; ++f, ++played) {
      d.output[0][half][f] = Counting(played, 0);
      d.output[1][half][f] = Counting(played, 1);
    }
    EXPECT_EQ(d.OutputReady(half), 0u) << "period " << p;
    block.Write(StatusWord::Watchdog, 0);
    ++run.periods;
  }
  return run;
}

DWORD RunChild(const std::string& role, const std::wstring& self);

std::wstring SelfPath() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// Starts this program as a child in `role`; its stdout comes through *out.
PROCESS_INFORMATION StartChild(const std::string& role, HANDLE* out) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  CreatePipe(&read, &write, &inherit, 0);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command = L"\"" + SelfPath() + L"\" --child=" + std::wstring(role.begin(), role.end());
  PROCESS_INFORMATION pi{};
  CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(write);
  *out = read;
  return pi;
}

DWORD WaitChild(PROCESS_INFORMATION pi) {
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = ~0u;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

std::string ReadLine(HANDLE pipe) {
  std::string line;
  char c;
  DWORD got = 0;
  while (ReadFile(pipe, &c, 1, &got, nullptr) && got == 1 && c != '\n') line.push_back(c);
  return line;
}

TEST(Bridge, EnumerationFollowsWindowsSizeRules) {
  const GUID cls = InterfaceClass();
  HDEVINFO set = sys::SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(sys::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, 0, &data)) << GetLastError();
  DWORD required = 0;
  EXPECT_FALSE(sys::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(required, DWORD(sizeof(DWORD) + sizeof(WCHAR)));
  std::vector<uint8_t> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = required;  // the whole buffer is not the structure's size
  EXPECT_FALSE(sys::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  EXPECT_EQ(detail->cbSize, 8u);
  ASSERT_TRUE(sys::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(wcsncmp(detail->DevicePath, L"\\\\?\\", 4), 0);
  DWORD count = 1;
  while (sys::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, count, &data)) ++count;
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS)) << "after " << count << " interfaces";
  EXPECT_TRUE(sys::SetupDiDestroyDeviceInfoList(set));
}

TEST(Bridge, OpensTheInterfaceAndIdentifies) {
  Device d;
  ASSERT_TRUE(d.open()) << GetLastError();
  CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
  r.Set32(Field::VersionMajor, kProbeFill);
  r.Set32(Field::VersionMinor, kProbeFill);
  ASSERT_EQ(d.Send(r), 0u);
  EXPECT_EQ(r.Get32(Field::VersionMajor), kIdentifyMajor);
  EXPECT_EQ(r.Get32(Field::VersionMinor), kIdentifyMinor);
  // A path the machine does not have is not found.
  HANDLE none = sys::CreateFileW(L"\\\\?\\USB#VID_0000&PID_0000#0#{00000000-0000-0000-0000-000000000000}",
                                 GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(none, INVALID_HANDLE_VALUE);
}

TEST(Bridge, BadSettingsAddressIsNoAccessAndChangesNothing) {
  Device d;
  ASSERT_TRUE(d.open());
  std::vector<uint8_t> before(kMixerSettingsSize, 0xEE), after(kMixerSettingsSize, 0x11);
  ASSERT_EQ(d.Settings(ControlOp::GetSettings, before.data()), 0u);
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  for (const void* bad : {static_cast<const void*>(reinterpret_cast<void*>(0x10)), static_cast<const void*>(reserved)}) {
    EXPECT_EQ(d.Settings(ControlOp::ApplySettings, bad), DWORD(ERROR_NOACCESS)) << bad;
  }
  VirtualFree(reserved, 0, MEM_RELEASE);
  ASSERT_EQ(d.Settings(ControlOp::GetSettings, after.data()), 0u);
  EXPECT_EQ(before, after);
}

TEST(Bridge, StatusBlockIsMappedHereAndRefusedToASecondProcess) {
  Device d;
  ASSERT_TRUE(d.open());
  void* view = nullptr;
  ASSERT_EQ(d.MapStatusBlock(&view), 0u);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(StatusBlockView(view, kNativeWide).Read(StatusWord::SampleRate), 44100u);
  // Pages of the view's window outside the block are not this process's to touch.
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(VirtualQuery(view, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.Protect, DWORD(PAGE_READWRITE));
  HANDLE out = nullptr;
  PROCESS_INFORMATION child = StartChild("map-status", &out);
  CloseHandle(out);
  EXPECT_EQ(WaitChild(child), DWORD(ERROR_BUSY));
}

TEST(Bridge, CountingSignalComesBackBitExactThroughTheLoopback) {
  Device d;
  ASSERT_TRUE(d.open());
  void* view = nullptr;
  ASSERT_EQ(d.MapStatusBlock(&view), 0u);
  const StatusBlockView block(view, kNativeWide);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(d.StartStream(event), 0u);
  EXPECT_EQ(block.Read(StatusWord::SampleRate), 48000u);
  ASSERT_EQ(d.period, 240u);
  // Five seconds of periods.
  const uint32_t periods = 5 * 48000 / d.period;
  const StreamRun run = Stream(d, event, block, periods);
  EXPECT_EQ(run.periods, periods);
  EXPECT_EQ(run.missedWakes, 0u);
  EXPECT_GT(run.checkedFrames, uint64_t(periods - 10) * d.period);
  EXPECT_EQ(run.wrongFrames, 0u) << "of " << run.checkedFrames << " frames checked; " << run.firstWrong;
  EXPECT_EQ(d.StopStream(), 0u);
  CloseHandle(event);
}

// A client that sends nothing per period (no OutputReady): its period
// thread's next wait on the event is what ends the period's hold on the
// virtual clock. Were it not, each period would wait out the server's 5 s
// hold limit, these waits would time out, and the server would fail the run.
TEST(Bridge, ThePeriodThreadsNextWaitReleasesTheClock) {
  Device d;
  ASSERT_TRUE(d.open());
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(d.StartStream(event), 0u);
  uint64_t before = 0, after = 0;
  ASSERT_EQ(TqmSimNow(&before), 0u);
  const uint32_t periods = 200;  // a second of 5 ms periods
  for (uint32_t p = 0; p < periods; ++p) {
    // Both forms of wait a period thread uses.
    const HANDLE both[2] = {never, event};
    const DWORD woke = p % 2 ? sys::WaitForSingleObject(event, 2000) : sys::WaitForMultipleObjects(2, both, FALSE, 2000);
    ASSERT_EQ(woke, p % 2 ? DWORD(WAIT_OBJECT_0) : DWORD(WAIT_OBJECT_0 + 1)) << "period " << p;
  }
  ASSERT_EQ(TqmSimNow(&after), 0u);
  EXPECT_GE(after - before, uint64_t(periods - 1) * 5 * 10000) << "machine time passed, in 100 ns units";
  EXPECT_EQ(d.StopStream(), 0u);
  CloseHandle(never);
  CloseHandle(event);
}

// Nine TQM27s on the hub at once. The driver keeps a table of eight
// adapters: the ninth device's start fails, so eight interfaces answer
// Identify, each its own; every device has its HID collection. Unplugging
// takes them away again.
TEST(Bridge, NineTqm27sPlugAndEnumerate) {
  for (uint32_t i = 1; i < 9; ++i) ASSERT_EQ(TqmSimPlugDevice(i), 0u) << "device " << i;
  const std::vector<std::wstring> paths = InterfacePaths();
  ASSERT_EQ(paths.size(), 8u);
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(i);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(paths[i], paths[j]);
    HANDLE h = sys::CreateFileW(paths[i].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
    r.Set32(Field::VersionMajor, kProbeFill);
    r.Set32(Field::VersionMinor, kProbeFill);
    DWORD returned = 0;
    EXPECT_TRUE(sys::DeviceIoControl(h, kCommandControlCode, r.bytes, sizeof r.bytes, r.bytes, sizeof r.bytes,
                                     &returned, nullptr));
    EXPECT_EQ(r.Get32(Field::VersionMajor), kIdentifyMajor);
    EXPECT_EQ(r.Get32(Field::VersionMinor), kIdentifyMinor);
    EXPECT_TRUE(sys::CloseHandle(h));
  }
  GUID hid;
  sys::HidD_GetHidGuid(&hid);
  HDEVINFO set = sys::SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  DWORD collections = 0;
  while (sys::SetupDiEnumDeviceInterfaces(set, nullptr, &hid, collections, &data)) ++collections;
  sys::SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(collections, 9u);
  for (uint32_t i = 1; i < 9; ++i) ASSERT_EQ(TqmSimUnplugDevice(i), 0u) << "device " << i;
  EXPECT_EQ(InterfacePaths().size(), 1u);
  EXPECT_EQ(TqmSimPlugDevice(16), 0xC0000001u) << "the hub has 16 ports";
  uint64_t faults = ~0ull;
  EXPECT_EQ(TqmSimFaultCount(&faults), 0u);
  EXPECT_EQ(faults, 0u);
}

// The interface of another version answers Identify with 2.1 and refuses
// every other command; its removal takes its interface away.
TEST(Bridge, AnInterfaceOfAnotherVersionAnswersIdentifyWithTwoOne) {
  ASSERT_EQ(TqmSimOtherVersion(1), 0u);
  const std::vector<std::wstring> paths = InterfacePaths();
  ASSERT_EQ(paths.size(), 2u);
  struct Answer {
    uint32_t major, minor;
  };
  std::vector<Answer> answers;
  for (const std::wstring& path : paths) {
    HANDLE h = sys::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
    r.Set32(Field::VersionMajor, kProbeFill);
    r.Set32(Field::VersionMinor, kProbeFill);
    DWORD returned = 0;
    EXPECT_TRUE(sys::DeviceIoControl(h, kCommandControlCode, r.bytes, sizeof r.bytes, r.bytes, sizeof r.bytes,
                                     &returned, nullptr));
    answers.push_back({r.Get32(Field::VersionMajor), r.Get32(Field::VersionMinor)});
    if (answers.back().major == 2) {
      CommandRecord latency = Record(CMD_CLASS_CONTROL, ControlOp::GetLatency);
      EXPECT_FALSE(sys::DeviceIoControl(h, kCommandControlCode, latency.bytes, sizeof latency.bytes, latency.bytes,
                                        sizeof latency.bytes, &returned, nullptr));
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    }
    EXPECT_TRUE(sys::CloseHandle(h));
  }
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].major, kIdentifyMajor) << "the TQM27's, registered first";
  EXPECT_EQ(answers[0].minor, kIdentifyMinor);
  EXPECT_EQ(answers[1].major, 2u);
  EXPECT_EQ(answers[1].minor, 1u);
  ASSERT_EQ(TqmSimOtherVersion(0), 0u);
  EXPECT_EQ(InterfacePaths(), std::vector<std::wstring>{paths[0]});
}

// The machine logs every record this process sent, as the driver received
// it, with the status it answered.
TEST(Bridge, CommandLogShowsTheCommandsThisProcessSent) {
  uint32_t before = ~0u;
  ASSERT_EQ(TqmSimCommandCount(0, &before), 0u);
  Device d;
  ASSERT_TRUE(d.open());
  CommandRecord identify = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
  identify.Set32(Field::VersionMajor, kProbeFill);
  identify.Set32(Field::VersionMinor, kProbeFill);
  ASSERT_EQ(d.Send(identify), 0u);
  CommandRecord bad = Record(CMD_CLASS_CONTROL, ControlOp::ApplySettings);
  bad.SetSlot(Field::SettingsAddress, 0x10);
  EXPECT_EQ(d.Send(bad), DWORD(ERROR_NOACCESS));
  CommandRecord latency = Record(CMD_CLASS_CONTROL, ControlOp::GetLatency);
  ASSERT_EQ(d.Send(latency), 0u);
  struct Row {
    uint32_t cls, subOp, status;
  } rows[] = {
      {CMD_CLASS_DRIVER, DriverOp::Identify, 0},
      {CMD_CLASS_CONTROL, ControlOp::ApplySettings, 0xC0000005},  // STATUS_ACCESS_VIOLATION
      {CMD_CLASS_CONTROL, ControlOp::GetLatency, 0},
  };
  uint32_t after = 0;
  ASSERT_EQ(TqmSimCommandCount(0, &after), 0u);
  ASSERT_EQ(after, before + 3);
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    TqmSimCommandEntry entry{};
    ASSERT_EQ(TqmSimCommand(0, before + i, &entry), 0u);
    EXPECT_EQ(entry.commandClass, rows[i].cls);
    EXPECT_EQ(entry.subOp, rows[i].subOp);
    EXPECT_EQ(entry.status, rows[i].status);
    EXPECT_EQ(entry.information, rows[i].status ? 0u : 128u);
  }
  TqmSimCommandEntry first{};
  ASSERT_EQ(TqmSimCommand(0, before, &first), 0u);
  EXPECT_EQ(first.record[12], kProbeFill) << "the record as sent, not as answered";
  uint64_t self = 0;
  ASSERT_EQ(TqmSimProcessId(&self), 0u);
  uint32_t byId = 0;
  ASSERT_EQ(TqmSimCommandCount(self, &byId), 0u);
  EXPECT_EQ(byId, after);
  EXPECT_NE(TqmSimCommand(0, after, &first), 0u) << "beyond the log";
}

// What the bridge gave this process and the kernel's handle table of its
// simulated process both return to where they started.
TEST(Bridge, OpenHandleCountsReturnToTheirStartAfterClosing) {
  uint64_t self = 0, kernelBefore = 0, kernelOpen = 0, kernelAfter = 0, bridgeBefore = 0, bridgeOpen = 0,
           bridgeAfter = 0;
  int exited = 1;
  ASSERT_EQ(TqmSimProcessId(&self), 0u);
  ASSERT_EQ(TqmSimOpenHandles(&bridgeBefore), 0u);
  ASSERT_EQ(TqmSimProcessState(self, &kernelBefore, &exited), 0u);
  EXPECT_EQ(exited, 0);
  {
    Device a, b;
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    ASSERT_EQ(TqmSimOpenHandles(&bridgeOpen), 0u);
    ASSERT_EQ(TqmSimProcessState(self, &kernelOpen, &exited), 0u);
    EXPECT_EQ(bridgeOpen, bridgeBefore + 2);
    EXPECT_EQ(kernelOpen, kernelBefore + 2);
  }
  ASSERT_EQ(TqmSimOpenHandles(&bridgeAfter), 0u);
  ASSERT_EQ(TqmSimProcessState(self, &kernelAfter, &exited), 0u);
  EXPECT_EQ(bridgeAfter, bridgeBefore);
  EXPECT_EQ(kernelAfter, kernelBefore);
}

// The server's own stream client holds the engine of a device while it
// streams, and lets it go when stopped; the device's counters show the
// stream.
TEST(Bridge, TheServersStreamClientStreamsAndStops) {
  TqmSimDeviceCounters before{};
  ASSERT_EQ(TqmSimGetDeviceCounters(0, &before), 0u);
  ASSERT_EQ(TqmSimStreamStart(0, 48000), 0u);
  EXPECT_EQ(TqmSimStreamStart(0, 48000), 0x80000011u) << "STATUS_DEVICE_BUSY: one stream client per device";
  TqmSimStreamInfo info{};
  for (int wait = 0; wait < 200; ++wait) {
    ASSERT_EQ(TqmSimStreamState(0, &info), 0u);
    if (info.periods >= 100) break;
    Sleep(20);
  }
  EXPECT_TRUE(info.running);
  EXPECT_GE(info.periods, 100u);
  EXPECT_GT(info.periodFrames, 0u);
  {
    Device d;
    ASSERT_TRUE(d.open());
    CommandRecord health = Record(CMD_CLASS_STREAM, StreamOp::QueryStreamHealth);
    ASSERT_EQ(d.Send(health), 0u);
    EXPECT_NE(health.Get32(Field::OnOff), 0u) << "another client holds the engine";
  }
  ASSERT_EQ(TqmSimStreamStop(0), 0u);
  TqmSimStreamInfo stopped{};
  ASSERT_EQ(TqmSimStreamState(0, &stopped), 0u);
  EXPECT_FALSE(stopped.running);
  EXPECT_GE(stopped.periods, info.periods);
  Sleep(50);
  TqmSimStreamInfo later{};
  ASSERT_EQ(TqmSimStreamState(0, &later), 0u);
  EXPECT_EQ(later.periods, stopped.periods) << "no period after the stop";
  TqmSimDeviceCounters after{};
  ASSERT_EQ(TqmSimGetDeviceCounters(0, &after), 0u);
  EXPECT_GT(after.outPackets, before.outPackets);
  EXPECT_GT(after.inPackets, before.inPackets);
  EXPECT_GT(after.frames, before.frames);
  Device d;
  ASSERT_TRUE(d.open());
  CommandRecord health = Record(CMD_CLASS_STREAM, StreamOp::QueryStreamHealth);
  ASSERT_EQ(d.Send(health), 0u);
  EXPECT_EQ(health.Get32(Field::OnOff), 0u) << "the engine is free again";
  EXPECT_NE(TqmSimStreamStart(5, 48000), 0u) << "no TQM27 on port 5";
}

TEST(Bridge, AStepReplyComesAfterTheSignalsOfItsMilliseconds) {
  Device d;
  ASSERT_TRUE(d.open());
  void* view = nullptr;
  ASSERT_EQ(d.MapStatusBlock(&view), 0u);
  const StatusBlockView block(view, kNativeWide);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(d.StartStream(event), 0u);
  EXPECT_EQ(Stream(d, event, block, 10).periods, 10u);
  ASSERT_EQ(TqmSimRunFree(0), 0u);
  // Signals from before the stop: the last instant's completion may still be
  // posting its signal as the stop is answered.
  while (WaitForSingleObject(event, 100) == WAIT_OBJECT_0) {
  }
  uint64_t before = 0, after = 0;
  ASSERT_EQ(TqmSimNow(&before), 0u);
  Sleep(50);
  ASSERT_EQ(TqmSimNow(&after), 0u);
  EXPECT_EQ(after, before) << "the stopped clock moved";
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
  // One period is 5 ms: six milliseconds hold a period's end wherever the
  // clock stopped, and its signal is set before the reply returns.
  ASSERT_EQ(TqmSimStep(6), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
  ASSERT_EQ(TqmSimNow(&after), 0u);
  EXPECT_EQ(after, before + 6 * 10000);
  ASSERT_EQ(TqmSimRunFree(1), 0u);
  EXPECT_EQ(d.StopStream(), 0u);
  CloseHandle(event);
}

TEST(Bridge, AKilledProcessIsCleanedUpAndAnotherStreams) {
  HANDLE out = nullptr;
  PROCESS_INFORMATION child = StartChild("stream", &out);
  const std::string line = ReadLine(out);
  CloseHandle(out);
  ASSERT_EQ(line.rfind("streaming ", 0), 0u) << line;
  const uint64_t id = std::stoull(line.substr(10));
  TerminateProcess(child.hProcess, 9);
  const auto killed = std::chrono::steady_clock::now();
  WaitChild(child);
  uint64_t handles = ~0ull;
  int exited = 0;
  double ms = 0;
  for (;;) {
    ASSERT_EQ(TqmSimProcessState(id, &handles, &exited), 0u);
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed).count();
    if ((exited && handles == 0) || ms > 5000) break;
    Sleep(5);
  }
  EXPECT_TRUE(exited && handles == 0) << "after " << ms << " ms: " << handles << " handles";
  std::printf("killed process cleaned up %.1f ms after TerminateProcess\n", ms);

  Device d;
  ASSERT_TRUE(d.open());
  void* view = nullptr;
  ASSERT_EQ(d.MapStatusBlock(&view), 0u);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(d.StartStream(event), 0u);
  EXPECT_EQ(Stream(d, event, StatusBlockView(view, kNativeWide), 20).periods, 20u);
  CloseHandle(event);
}

struct Changes {
  std::vector<std::pair<WPARAM, std::wstring>> seen;
};

LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* c = reinterpret_cast<Changes*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    if (c && b && b->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) c->seen.emplace_back(wParam, b->dbcc_name);
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool PumpUntil(Changes& c, size_t count) {
  for (int i = 0; i < 500 && c.seen.size() < count; ++i) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return c.seen.size() >= count;
}

TEST(Bridge, UnplugAndPlugArriveAsDeviceChangeMessages) {
  const std::vector<std::wstring> paths = InterfacePaths();
  ASSERT_FALSE(paths.empty());
  WNDCLASSW wc{};
  wc.lpfnWndProc = NoticeProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TqmNoticeTest";
  RegisterClassW(&wc);
  HWND window = CreateWindowW(L"TqmNoticeTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  Changes changes;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&changes));
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = InterfaceClass();
  HDEVNOTIFY notify = sys::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(notify, nullptr);

  ASSERT_EQ(TqmSimUnplug(), 0u);
  ASSERT_TRUE(PumpUntil(changes, 1));
  EXPECT_EQ(changes.seen[0].first, WPARAM(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_EQ(changes.seen[0].second, paths.back());
  EXPECT_TRUE(InterfacePaths().empty());

  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(PumpUntil(changes, 2));
  EXPECT_EQ(changes.seen.back().first, WPARAM(DBT_DEVICEARRIVAL));
  EXPECT_FALSE(InterfacePaths().empty());
  EXPECT_TRUE(sys::UnregisterDeviceNotification(notify));
  DestroyWindow(window);
}

// ---- the child roles ----

DWORD RunChild(const std::string& role, const std::wstring&) {
  Device d;
  if (!d.open()) return 1000;
  void* view = nullptr;
  if (role == "map-status") return d.MapStatusBlock(&view);
  if (role == "stream") {
    if (DWORD e = d.MapStatusBlock(&view)) return e;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (DWORD e = d.StartStream(event)) return e;
    const StatusBlockView block(view, kNativeWide);
    for (int p = 0; p < 5; ++p) {
      WaitForSingleObject(event, 2000);
      d.OutputReady(block.Read(StatusWord::RecordHalf) & 1);
    }
    uint64_t id = 0;
    TqmSimProcessId(&id);
    std::printf("streaming %llu\n", static_cast<unsigned long long>(id));
    std::fflush(stdout);
    for (;;) {
      WaitForSingleObject(event, INFINITE);
      d.OutputReady(block.Read(StatusWord::RecordHalf) & 1);
    }
  }
  return 1001;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strncmp(argv[i], "--child=", 8) == 0) return int(RunChild(argv[i] + 8, SelfPath()));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
