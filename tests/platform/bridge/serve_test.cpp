// `tqm27sim serve` driven by native clients over the bridge protocol: each
// client is a simulated process whose memory, views and events live on the
// client's side of the connection, as a Windows program's do under Wine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/bridge/native_client.h"
#include "platform/sim/serve.h"
#include "usb/tqm27_port.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"
#include "tqm/version.h"

namespace tqm::sim {
namespace {

using bridge::Message;
using bridge::MessageType;
using bridge::NativeClient;

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kDeviceBusy = 0x80000011;

void InterfaceGuid(uint8_t out[bridge::kGuidBytes]) {
  StoreLe32(out, kInterfaceGuid.data1);
  out[4] = uint8_t(kInterfaceGuid.data2);
  out[5] = uint8_t(kInterfaceGuid.data2 >> 8);
  out[6] = uint8_t(kInterfaceGuid.data3);
  out[7] = uint8_t(kInterfaceGuid.data3 >> 8);
  for (int i = 0; i < 8; ++i) out[8 + i] = kInterfaceGuid.data4[i];
}

// Polls a condition of the server's side (cleanup happens on its threads)
// for up to five seconds of wall time.
template <typename F>
bool Eventually(F condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// A client process with the command interface open.
class Client {
 public:
  Client(uint16_t port, const std::string& name, bool fifos = false) {
    std::string error;
    connected_ = native.Connect(port, name, &error, 0, fifos);
    EXPECT_TRUE(connected_) << error;
    if (!connected_) return;
    uint8_t guid[bridge::kGuidBytes];
    InterfaceGuid(guid);
    paths = native.InterfacePaths(guid);
    if (!paths.empty()) openStatus = native.Open(paths.back(), &handle);
    record_ = static_cast<uint8_t*>(native.Allocate(kCommandRecordSize));
  }

  // One record, sent as the clients send it: input and output.
  uint32_t Send(CommandRecord& r) {
    uint32_t information = 0;
    return native.Control(handle, kCommandControlCode, r.bytes, kCommandRecordSize, r.bytes, kCommandRecordSize,
                          &information);
  }
  static CommandRecord Record(uint32_t cls, uint32_t op) {
    CommandRecord r;
    memset(r.bytes, 0, sizeof r.bytes);
    r.Set32(Field::Class, cls);
    r.Set32(Field::SubOp, op);
    return r;
  }
  bool Identify() {
    CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
    r.Set32(Field::VersionMajor, kProbeFill);
    r.Set32(Field::VersionMinor, kProbeFill);
    return Send(r) == kSuccess && r.Get32(Field::VersionMajor) == 1 && r.Get32(Field::VersionMinor) == 0;
  }
  uint32_t Settings(uint32_t op, uint64_t address) {
    CommandRecord r = Record(CMD_CLASS_CONTROL, op);
    r.SetSlot(Field::SettingsAddress, address);
    return Send(r);
  }
  uint32_t MapStatusBlock(void** view) {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::MapStatusBlock);
    r.Set32(Field::MapFlag, 1);
    const uint32_t status = Send(r);
    address_ = r.GetSlot(Field::StatusAddress);
    *view = native.Local(address_);
    token_ = r.GetSlot(Field::StatusToken);
    return status;
  }
  uint32_t UnmapStatusBlock() {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::MapStatusBlock);
    r.SetSlot(Field::StatusAddress, address_);
    r.SetSlot(Field::StatusToken, token_);
    return Send(r);
  }
  uint64_t Handles() {
    Message m;
    m.type = MessageType::Machine;
    m.a[0] = uint64_t(bridge::MachineOp::OpenHandles);
    std::optional<Message> r = native.Request(m);
    return r ? r->a[0] : ~0ull;
  }
  // Handles of another process and whether it has exited.
  std::pair<uint64_t, bool> ProcessState(uint64_t id) {
    Message m;
    m.type = MessageType::Machine;
    m.a[0] = uint64_t(bridge::MachineOp::ProcessHandles);
    m.a[1] = id;
    std::optional<Message> r = native.Request(m);
    return r ? std::pair<uint64_t, bool>(r->a[0], r->a[1] != 0) : std::pair<uint64_t, bool>(~uint64_t(0), false);
  }
  uint32_t MachineOp(bridge::MachineOp op) {
    Message m;
    m.type = MessageType::Machine;
    m.a[0] = uint64_t(op);
    std::optional<Message> r = native.Request(m);
    return r ? r->status : ~0u;
  }

  // The stream client's set-up over the bridge: the SharedBuffer, its eight
  // halves, the rate, the period event and both channels of each direction.
  uint32_t StartStream(uint64_t periodEvent) {
    CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::GetLatency);
    if (uint32_t s = Send(r); s != kSuccess) return s;
    period = r.Get32(Field::Latency);
    auto* cell = static_cast<uint64_t*>(native.Allocate(8));
    r = Record(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer);
    r.Set32(Field::SharedLength, period * 32);
    r.SetSlot(Field::SharedCell, native.Address(cell));
    if (uint32_t s = Send(r); s != kSuccess) return s;
    // The cell holds the SharedBuffer's address in this client.
    sharedAddress = *cell;
    shared = static_cast<int32_t*>(native.Local(sharedAddress));
    if (!shared) return ~0u;
    for (uint32_t i = 0; i < 4; ++i) {
      for (uint32_t half = 0; half < 2; ++half) {
        r = Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer);
        r.Set32(Field::Direction, i < 2 ? 1 : 0);
        r.Set32(Field::Channel, i % 2);
        r.Set32(Field::Half, half);
        r.SetSlot(Field::HalfAddress, sharedAddress + (i * 2 + half) * period * sizeof(int32_t));
        r.Set32(Field::Stride, 1);
        if (uint32_t s = Send(r); s != kSuccess) return s;
      }
    }
    r = Record(CMD_CLASS_STREAM, StreamOp::SetSampleRate);
    r.Set32(Field::SampleRate, 48000);
    if (uint32_t s = Send(r); s != kSuccess) return s;
    r = Record(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent);
    r.SetSlot(Field::PeriodEvent, periodEvent);
    if (uint32_t s = Send(r); s != kSuccess) return s;
    r = Record(CMD_CLASS_STREAM, StreamOp::ActivateChannels);
    r.Set32(Field::OutputMask, 3);
    r.Set32(Field::InputMask, 3);
    r.Set32(Field::OnOff, 1);
    return Send(r);
  }
  uint32_t SetLatency(uint32_t frames) {
    CommandRecord r = Record(CMD_CLASS_CONTROL, ControlOp::SetLatency);
    r.Set32(Field::Latency, frames);
    r.Set32(Field::BusyCheck, 1);
    return Send(r);
  }
  uint32_t OutputReady(uint32_t half) {
    CommandRecord r = Record(CMD_CLASS_STREAM, StreamOp::OutputReady);
    r.Set32(Field::ReadyHalf, half);
    r.Set32(Field::ReadyArg2, 1);
    return Send(r);
  }

  NativeClient native;
  std::vector<std::wstring> paths;
  uint64_t handle = 0;
  uint32_t openStatus = ~0u;
  uint32_t period = 0;
  uint64_t sharedAddress = 0;
  int32_t* shared = nullptr;

 private:
  bool connected_ = false;
  uint8_t* record_ = nullptr;
  uint64_t address_ = 0;
  uint64_t token_ = 0;
};

class ServeTest : public ::testing::Test {
 protected:
  virtual kernel::ClockMode Clock() const { return kernel::ClockMode::Real; }
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tqm-serve-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ServeOptions o;
    o.dir = dir_.string();
    o.clock = Clock();
    o.log = [this](const std::string& line) {
      std::lock_guard lock(logMu_);
      log_.push_back(line);
    };
    server_ = std::make_unique<BridgeServer>(o);
    thread_ = std::thread([this] { exitStatus_ = server_->Run(); });
    port_ = server_->WaitListening();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    StopServer();
    std::filesystem::remove_all(dir_);
    if (expectCleanExit_) {
      std::lock_guard lock(logMu_);
      std::string all;
      for (const auto& l : log_) all += l + "\n";
      EXPECT_EQ(exitStatus_, 0) << all;
    }
  }
  void StopServer() {
    if (!thread_.joinable()) return;
    server_->Stop();
    thread_.join();
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(logMu_);
    return log_;
  }

  std::filesystem::path dir_;
  std::unique_ptr<BridgeServer> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  int exitStatus_ = -1;
  bool expectCleanExit_ = true;
  std::mutex logMu_;
  std::vector<std::string> log_;
};

TEST_F(ServeTest, PortFileNamesTheListeningPort) {
  std::ifstream in(dir_ / "port");
  int port = 0;
  in >> port;
  EXPECT_EQ(port, port_);
}

TEST_F(ServeTest, AVerifierFaultAtAnyTimeFailsTheRun) {
  {
    Client c(port_, "asio host");
    ASSERT_TRUE(c.Identify());
  }
  server_->sim().machine().ReportFault(kernel::FaultKind::PoolMisuse, "a block freed twice", "a test");
  StopServer();
  EXPECT_EQ(exitStatus_, 1);
  expectCleanExit_ = false;
}

TEST_F(ServeTest, ClientEnumeratesOpensAndIdentifies) {
  Client c(port_, "asio host");
  ASSERT_FALSE(c.paths.empty());
  EXPECT_EQ(c.openStatus, kSuccess);
  EXPECT_TRUE(c.Identify());
  EXPECT_EQ(c.Handles(), 1u);
  EXPECT_EQ(c.native.Close(c.handle), kSuccess);
  EXPECT_EQ(c.Handles(), 0u);
}

TEST_F(ServeTest, SettingsTravelThroughTheCallersMemory) {
  Client c(port_, "panel");
  auto* before = static_cast<uint8_t*>(c.native.Allocate(kMixerSettingsSize));
  auto* after = static_cast<uint8_t*>(c.native.Allocate(kMixerSettingsSize));
  memset(before, 0xEE, kMixerSettingsSize);
  ASSERT_EQ(c.Settings(ControlOp::GetSettings, c.native.Address(before)), kSuccess);
  // The driver wrote the block into this client's memory through the copy
  // callbacks: the pattern is gone.
  EXPECT_NE(before[0] | before[kMixerSettingsSize - 1], 0xEE);

  // Addresses the client does not have: the probe refuses them.
  for (uint64_t bad : {uint64_t(0x10), c.native.Address(before) + 8, uint64_t(0x7FFF00000000)}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(c.Settings(ControlOp::ApplySettings, bad), kAccessViolation);
  }
  ASSERT_EQ(c.Settings(ControlOp::GetSettings, c.native.Address(after)), kSuccess);
  EXPECT_EQ(memcmp(before, after, kMixerSettingsSize), 0) << "a refused apply changed the settings";
}

TEST_F(ServeTest, StatusBlockIsMappedIntoTheClientAndBusyForASecond) {
  Client first(port_, "asio host");
  void* view = nullptr;
  ASSERT_EQ(first.MapStatusBlock(&view), kSuccess);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(first.native.mappedViews(), 1u);
  // The view is the client's own mapping of the kernel's pages: it shows the
  // rate the device started at (44.1 kHz); the stream test sees it change.
  EXPECT_EQ(StatusBlockView(view, kNativeWide).Read(StatusWord::SampleRate), 44100u);

  Client second(port_, "second host");
  void* other = nullptr;
  EXPECT_EQ(second.MapStatusBlock(&other), kDeviceBusy);
  EXPECT_EQ(second.native.mappedViews(), 0u);

  EXPECT_EQ(first.UnmapStatusBlock(), kSuccess);
  EXPECT_EQ(first.native.mappedViews(), 0u);
  EXPECT_EQ(second.MapStatusBlock(&other), kSuccess);
}

TEST_F(ServeTest, PeriodEventsReachTheClientAndACrashedStreamIsReleased) {
  uint64_t crashedId = 0;
  {
    Client host(port_, "asio host");
    void* view = nullptr;
    ASSERT_EQ(host.MapStatusBlock(&view), kSuccess);
    const uint64_t event = host.native.CreateEvent(false);
    ASSERT_EQ(host.StartStream(event), kSuccess);
    EXPECT_EQ(host.native.liveDuplicates(), 1u);
    const StatusBlockView block(view, kNativeWide);
    // The engine's rate change shows through the client's view.
    EXPECT_EQ(block.Read(StatusWord::SampleRate), 48000u);
    int woken = 0;
    for (int i = 0; i < 20; ++i) {
      if (!host.native.WaitEvent(event, 2000)) break;
      ++woken;
      const uint32_t half = block.Read(StatusWord::RecordHalf) & 1;
      EXPECT_EQ(host.OutputReady(half), kSuccess) << "period " << i;
      block.Write(StatusWord::Watchdog, 0);
    }
    EXPECT_EQ(woken, 20);
    crashedId = host.native.processId();
    // The host dies mid-stream: its connection ends with everything open.
    host.native.Kill();
  }
  Client observer(port_, "observer");
  EXPECT_TRUE(Eventually([&] { return observer.ProcessState(crashedId) == std::make_pair(uint64_t(0), true); }));
  // The engine is free: a new host maps and streams.
  Client next(port_, "next host");
  void* view = nullptr;
  ASSERT_EQ(next.MapStatusBlock(&view), kSuccess);
  const uint64_t event = next.native.CreateEvent(false);
  ASSERT_EQ(next.StartStream(event), kSuccess);
  EXPECT_TRUE(next.native.WaitEvent(event, 2000));
}

TEST_F(ServeTest, ClientDyingMidRequestLeavesNothingBehind) {
  Client dying(port_, "dying");
  void* view = nullptr;
  ASSERT_EQ(dying.MapStatusBlock(&view), kSuccess);
  auto* block = dying.native.Allocate(kMixerSettingsSize);
  // The process ends while the driver is copying from it.
  dying.native.SetCallbackHook([&](const Message& m) {
    if (m.type != MessageType::Read && m.type != MessageType::Query) return true;
    dying.native.Kill();
    return false;
  });
  EXPECT_NE(dying.Settings(ControlOp::ApplySettings, dying.native.Address(block)), kSuccess);
  Client observer(port_, "observer");
  EXPECT_TRUE(Eventually([&] {
    return observer.ProcessState(dying.native.processId()) == std::make_pair(uint64_t(0), true);
  }));
  void* again = nullptr;
  EXPECT_EQ(observer.MapStatusBlock(&again), kSuccess) << "the dead process's mapping was not released";
}

TEST_F(ServeTest, AClientSilentPastItsHeartbeatsIsTakenForDead) {
  NativeClient silent;
  std::string error;
  ASSERT_TRUE(silent.Connect(port_, "silent", &error, 50)) << error;
  uint8_t guid[bridge::kGuidBytes];
  InterfaceGuid(guid);
  uint64_t handle = 0;
  ASSERT_EQ(silent.Open(silent.InterfacePaths(guid).back(), &handle), kSuccess);
  Client observer(port_, "observer");
  // The socket stays open; only the missing heartbeats tell.
  EXPECT_TRUE(Eventually([&] {
    return observer.ProcessState(silent.processId()) == std::make_pair(uint64_t(0), true);
  }));
  // and the server closed its end.
  EXPECT_TRUE(Eventually([&] { return !silent.connected(); }));
}

TEST_F(ServeTest, MalformedMessageClosesOnlyThatConnection) {
  Client bad(port_, "garbage");
  Client good(port_, "good");
  ASSERT_TRUE(bad.Identify());
  bad.native.SendBytes({0xEE, 0xEE, 0xEE, 0xEE, 0x40, 0, 0, 0});
  EXPECT_TRUE(Eventually([&] { return !bad.native.connected(); }));
  EXPECT_TRUE(good.Identify());
  EXPECT_TRUE(Eventually([&] {
    for (const std::string& line : Log())
      if (line.find("malformed") != std::string::npos) return true;
    return false;
  }));
}

TEST_F(ServeTest, UnplugAndPlugAreToldToWatchingClients) {
  Client panel(port_, "panel");
  const std::wstring path = panel.paths.back();
  ASSERT_EQ(panel.native.Close(panel.handle), kSuccess);
  Message watch;
  watch.type = MessageType::WatchInterfaces;
  watch.a[0] = 1;
  uint8_t guid[bridge::kGuidBytes];
  InterfaceGuid(guid);
  watch.payload.assign(guid, guid + bridge::kGuidBytes);
  ASSERT_TRUE(panel.native.Request(watch));
  ASSERT_EQ(panel.MachineOp(bridge::MachineOp::Unplug), kSuccess);
  EXPECT_TRUE(Eventually([&] { return !panel.native.deviceChanges().empty(); }));
  EXPECT_TRUE(panel.native.InterfacePaths(guid).empty());
  ASSERT_EQ(panel.MachineOp(bridge::MachineOp::Plug), kSuccess);
  EXPECT_TRUE(Eventually([&] { return panel.native.deviceChanges().size() >= 2; }));
  const auto changes = panel.native.deviceChanges();
  ASSERT_GE(changes.size(), 2u);
  EXPECT_FALSE(changes[0].arrival);
  EXPECT_EQ(changes[0].path, path);
  EXPECT_TRUE(changes.back().arrival);
  EXPECT_FALSE(panel.native.InterfacePaths(guid).empty());
}

// ---- the HID collections, several devices, the control additions ----

constexpr uint32_t kPending = 0x103;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kNotConnected = 0xC000009D;
constexpr uint32_t kAccessDenied = 0xC0000022;
constexpr uint64_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000;

std::vector<uint8_t> HidClass() {
  uint8_t g[bridge::kGuidBytes];
  StoreLe32(g, 0x4D1E55B2);
  g[4] = 0x6F, g[5] = 0xF1, g[6] = 0xCF, g[7] = 0x11;
  const uint8_t tail[8] = {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
  memcpy(g + 8, tail, 8);
  return {g, g + bridge::kGuidBytes};
}

Message MachineCall(NativeClient& c, bridge::MachineOp op, uint64_t a1 = 0, uint64_t a2 = 0, uint64_t a3 = 0) {
  Message m;
  m.type = MessageType::Machine;
  m.a[0] = uint64_t(op);
  m.a[1] = a1;
  m.a[2] = a2;
  m.a[3] = a3;
  std::optional<Message> r = c.Request(m);
  if (!r) {
    Message dead;
    dead.status = ~0u;
    return dead;
  }
  return *r;
}

// A HID handle: Open with an access mask.
Message OpenHid(NativeClient& c, const std::wstring& path, uint64_t access) {
  Message m;
  m.type = MessageType::Open;
  m.a[0] = access;
  m.payload = bridge::PathBytes(path);
  std::optional<Message> r = c.Request(m);
  return r ? *r : Message{};
}

Message Io(NativeClient& c, uint64_t handle, bridge::IoKind kind, uint64_t id, uint64_t length,
           std::vector<uint8_t> data = {}) {
  Message m;
  m.type = MessageType::Io;
  m.a[0] = handle;
  m.a[1] = uint64_t(kind);
  m.a[2] = id;
  m.a[3] = length;
  m.payload = std::move(data);
  std::optional<Message> r = c.Request(m);
  return r ? *r : Message{};
}

std::vector<uint8_t> CommandReport(uint8_t second) {
  std::vector<uint8_t> report(64, 0);
  report[22] = 1;
  report[23] = 0x60;
  report[24] = second;
  return report;
}

std::vector<std::wstring> HidPaths(NativeClient& c) {
  const std::vector<uint8_t> cls = HidClass();
  return c.InterfacePaths(cls.data());
}

TEST_F(ServeTest, HidReadWaitsForTheReplyAndEveryOpenFileGetsIt) {
  Client panel(port_, "panel");
  const std::vector<std::wstring> paths = HidPaths(panel.native);
  ASSERT_EQ(paths.size(), 1u);
  const Message probe = OpenHid(panel.native, paths[0], 0);
  ASSERT_EQ(probe.status, kSuccess);
  EXPECT_EQ(probe.a[1], uint64_t(bridge::HandleKind::Hid));
  Message info;
  info.type = MessageType::HidInfo;
  info.a[0] = probe.a[0];
  const std::optional<Message> attributes = panel.native.Request(info);
  ASSERT_TRUE(attributes);
  EXPECT_EQ(attributes->a[0] & 0xFFFF, kUsbVendorId);
  EXPECT_EQ(attributes->a[0] >> 16 & 0xFFFF, kUsbProductId);
  EXPECT_EQ(attributes->a[1], 32u | 64u << 16) << "input and output report bytes with the id byte";
  const uint64_t reader = OpenHid(panel.native, paths[0], kGenericRead).a[0];
  const uint64_t other = OpenHid(panel.native, paths[0], kGenericRead).a[0];
  const uint64_t writer = OpenHid(panel.native, paths[0], kGenericWrite).a[0];
  // Nothing queued yet: the read waits.
  EXPECT_EQ(Io(panel.native, reader, bridge::IoKind::Read, 1, 32).status, kPending);
  const Message written = Io(panel.native, writer, bridge::IoKind::Write, 2, 0, CommandReport(0x20));
  EXPECT_EQ(written.status, kSuccess);
  EXPECT_EQ(written.a[0], 64u);
  const std::optional<Message> done = panel.native.WaitIoDone(1, 2000);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, kSuccess);
  ASSERT_EQ(done->payload.size(), 32u);
  EXPECT_EQ(done->payload[0], 0) << "the report id";
  EXPECT_EQ(done->payload[1], 0x20);
  // The second reader had it queued: its read ends at once.
  const Message queued = Io(panel.native, other, bridge::IoKind::Read, 3, 32);
  EXPECT_EQ(queued.status, kSuccess);
  EXPECT_EQ(queued.payload, done->payload);
  // What the probe and a short buffer may not do.
  EXPECT_EQ(Io(panel.native, probe.a[0], bridge::IoKind::Read, 4, 32).status, kAccessDenied);
  EXPECT_EQ(Io(panel.native, probe.a[0], bridge::IoKind::Write, 5, 0, CommandReport(0x60)).status, kAccessDenied);
  EXPECT_EQ(Io(panel.native, reader, bridge::IoKind::Read, 6, 31).status, 0xC0000206u);
  EXPECT_EQ(Io(panel.native, writer, bridge::IoKind::Write, 7, 0, std::vector<uint8_t>(63)).status, 0xC000000Du);
  for (uint64_t h : {probe.a[0], reader, other, writer}) {
    Message close;
    close.type = MessageType::Close;
    close.a[0] = h;
    close.a[1] = uint64_t(bridge::HandleKind::Hid);
    EXPECT_EQ(panel.native.Request(close)->status, kSuccess);
  }
  const Message log = MachineCall(panel.native, bridge::MachineOp::HidReportCount, 0);
  EXPECT_EQ(log.a[0], 1u) << "only the one write reached the device";
}

TEST_F(ServeTest, HidCancelAndCloseEndPendingOperationsAndUnplugDisconnects) {
  Client panel(port_, "panel");
  const std::wstring path = HidPaths(panel.native).at(0);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::HidSilent, 0, 1).status, kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::HidStallWrites, 0, 1).status, kSuccess);
  const uint64_t reader = OpenHid(panel.native, path, kGenericRead).a[0];
  const uint64_t writer = OpenHid(panel.native, path, kGenericWrite).a[0];
  EXPECT_EQ(Io(panel.native, writer, bridge::IoKind::Write, 1, 0, CommandReport(0x60)).status, kPending);
  EXPECT_EQ(Io(panel.native, reader, bridge::IoKind::Read, 2, 32).status, kPending);
  EXPECT_EQ(Io(panel.native, reader, bridge::IoKind::Read, 3, 32).status, kPending);
  EXPECT_FALSE(panel.native.WaitIoDone(2, 100)) << "a silent device answers nothing";
  // The cancel's IoDone comes before its reply.
  Message cancel;
  cancel.type = MessageType::CancelIo;
  cancel.a[0] = writer;
  cancel.a[1] = 1;
  ASSERT_EQ(panel.native.Request(cancel)->status, kSuccess);
  std::optional<Message> ended = panel.native.WaitIoDone(1, 0);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->status, kCancelled);
  // Unplugged: the reads end as disconnected, new ones fail. (The driver's
  // handle goes first, or the port stays taken until it closes.)
  ASSERT_EQ(panel.native.Close(panel.handle), kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Unplug, 0).status, kSuccess);
  for (uint64_t id : {2, 3}) {
    ended = panel.native.WaitIoDone(id, 2000);
    ASSERT_TRUE(ended) << id;
    EXPECT_EQ(ended->status, kNotConnected);
  }
  EXPECT_EQ(Io(panel.native, reader, bridge::IoKind::Read, 4, 32).status, kNotConnected);
  EXPECT_TRUE(HidPaths(panel.native).empty());
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Plug, 0).status, kSuccess);
  EXPECT_EQ(HidPaths(panel.native).size(), 1u);
}

TEST_F(ServeTest, TheUnrelatedHidDeviceComesFirstAndRefusesEveryOpen) {
  Client panel(port_, "panel");
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::ForeignHid, 1).status, kSuccess);
  const std::vector<std::wstring> paths = HidPaths(panel.native);
  ASSERT_EQ(paths.size(), 2u);
  for (uint64_t access : {uint64_t(0), kGenericRead, kGenericWrite})
    EXPECT_EQ(OpenHid(panel.native, paths[0], access).status, kAccessDenied) << access;
  EXPECT_EQ(OpenHid(panel.native, paths[1], 0).status, kSuccess);
}

TEST_F(ServeTest, DevicesOnSeveralPortsAndAnInterfaceOfAnotherVersion) {
  Client panel(port_, "panel");
  for (uint64_t i = 1; i < 4; ++i) ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Plug, i).status, kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::OtherVersion, 1).status, kSuccess);
  uint8_t guid[bridge::kGuidBytes];
  InterfaceGuid(guid);
  const std::vector<std::wstring> paths = panel.native.InterfacePaths(guid);
  ASSERT_EQ(paths.size(), 5u);
  EXPECT_EQ(HidPaths(panel.native).size(), 4u);
  std::vector<uint32_t> majors;
  for (const std::wstring& path : paths) {
    uint64_t h = 0;
    ASSERT_EQ(panel.native.Open(path, &h), kSuccess);
    CommandRecord r = Client::Record(CMD_CLASS_DRIVER, DriverOp::Identify);
    uint32_t information = 0;
    EXPECT_EQ(panel.native.Control(h, kCommandControlCode, r.bytes, kCommandRecordSize, r.bytes, kCommandRecordSize,
                                   &information),
              kSuccess);
    majors.push_back(r.Get32(Field::VersionMajor) * 10 + r.Get32(Field::VersionMinor));
    EXPECT_EQ(panel.native.Close(h), kSuccess);
  }
  EXPECT_EQ(majors, (std::vector<uint32_t>{10, 10, 10, 10, 21}));
  // Its removal closes a handle held on it.
  uint64_t held = 0;
  ASSERT_EQ(panel.native.Open(paths.back(), &held), kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::OtherVersion, 0).status, kSuccess);
  EXPECT_EQ(panel.native.InterfacePaths(guid).size(), 4u);
  for (uint64_t i = 1; i < 4; ++i) ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Unplug, i).status, kSuccess);
  EXPECT_EQ(panel.native.InterfacePaths(guid).size(), 1u);
  // The log holds what the driver (and the stand-in) received.
  const Message count = MachineCall(panel.native, bridge::MachineOp::CommandCount, 0);
  EXPECT_EQ(count.a[0], 5u);
  const Message last = MachineCall(panel.native, bridge::MachineOp::Command, 0, 4);
  EXPECT_EQ(last.a[0], uint64_t(CMD_CLASS_DRIVER) | uint64_t(DriverOp::Identify) << 32);
  EXPECT_EQ(uint32_t(last.a[1]), kSuccess);
  EXPECT_EQ(last.payload.size(), kCommandRecordSize);
}

Message StoreCall(NativeClient& c, bridge::DriverStoreOp op, uint64_t a1 = 0, std::vector<uint8_t> payload = {}) {
  Message m;
  m.type = MessageType::DriverStore;
  m.a[0] = uint64_t(op);
  m.a[1] = a1;
  m.payload = std::move(payload);
  std::optional<Message> r = c.Request(m);
  if (!r) {
    Message dead;
    dead.status = ~0u;
    return dead;
  }
  return *r;
}

// The driver store: a node for every hub port that had a TQM27, kept after
// the device leaves; our package at the build's version until a test
// changes the entries.
TEST_F(ServeTest, DriverStoreKeepsNodesOfPulledDevicesAndItsEntries) {
  Client panel(port_, "panel");
  uint8_t guid[bridge::kGuidBytes];
  InterfaceGuid(guid);
  const std::vector<uint8_t> driverClass(guid, guid + sizeof guid);
  std::vector<uint8_t> otherClass = driverClass;
  otherClass[0] ^= 1;
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Nodes, 0, driverClass).a[0], 1u) << "plugged at boot";
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Plug, 2).status, kSuccess);
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Nodes, 0, driverClass).a[0], 2u);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Unplug, 2).status, kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Unplug, 0).status, kSuccess);
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Nodes, 0, driverClass).a[0], 2u) << "nodes stay";
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Nodes, 0, otherClass).a[0], 0u);

  const Message first = StoreCall(panel.native, bridge::DriverStoreOp::Entry, 0);
  ASSERT_EQ(first.status, kSuccess);
  EXPECT_EQ(first.a[0], uint64_t(TQM_VERSION_MAJOR) << 48 | uint64_t(TQM_VERSION_MINOR) << 32 |
                            uint64_t(TQM_VERSION_BUILD) << 16 | TQM_VERSION_REVISION);
  EXPECT_EQ(bridge::PathFromBytes(first.payload), std::wstring(L"ORU\0ORU\0TQM27 Controller driver\0", 32));
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Entry, 1).status, 0x8000001Au);  // no more entries

  struct Row {
    std::wstring texts;
    uint32_t status;
    const char* why;
  };
  const Row adds[] = {
      {std::wstring(L"A\0B\0C\0", 6), kSuccess, "three texts, each ended"},
      {std::wstring(L"A\0B\0C", 5), 0xC000000Du, "the last text unended"},
      {std::wstring(L"A\0B\0", 4), 0xC000000Du, "two texts"},
      {std::wstring(L"A\0B\0C\0D\0", 8), 0xC000000Du, "four texts"},
  };
  for (const Row& r : adds)
    EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Add, 7, bridge::PathBytes(r.texts)).status, r.status)
        << r.why;
  const Message added = StoreCall(panel.native, bridge::DriverStoreOp::Entry, 1);
  ASSERT_EQ(added.status, kSuccess);
  EXPECT_EQ(added.a[0], 7u);
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Remove, 5).status, 0xC000000Du);
  ASSERT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Remove, 0).status, kSuccess);
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Entry, 0).a[0], 7u) << "the rest moves up";
  ASSERT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Remove, bridge::kAllEntries).status, kSuccess);
  EXPECT_EQ(StoreCall(panel.native, bridge::DriverStoreOp::Entry, 0).status, 0x8000001Au);
}

TEST_F(ServeTest, TheServersStreamClientRunsOnTheDeviceNamed) {
  Client panel(port_, "panel");
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::Plug, 1).status, kSuccess);
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::StreamStart, 1, 48000).status, kSuccess);
  EXPECT_TRUE(Eventually([&] { return MachineCall(panel.native, bridge::MachineOp::StreamState, 1).a[0] >= 50; }));
  EXPECT_EQ(MachineCall(panel.native, bridge::MachineOp::StreamState, 0).a[1], 0u) << "device 0 has none";
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::StreamStop, 1).status, kSuccess);
  const Message stopped = MachineCall(panel.native, bridge::MachineOp::StreamState, 1);
  EXPECT_EQ(stopped.a[1], 0u);
  EXPECT_GE(stopped.a[0], 50u);
  const Message counters = MachineCall(panel.native, bridge::MachineOp::DeviceCounters, 1);
  ASSERT_EQ(counters.payload.size(), 11 * 8u);
  EXPECT_GT(LoadLe64(counters.payload.data() + 8), 0u) << "OUT packets";
  // A stream left running is stopped by the server's teardown.
  ASSERT_EQ(MachineCall(panel.native, bridge::MachineOp::StreamStart, 0, 44100).status, kSuccess);
}

// In virtual time the client's period work holds the clock: a stream through
// the connection is as exact as the simulator's own.
class VirtualServeTest : public ServeTest {
 protected:
  kernel::ClockMode Clock() const override { return kernel::ClockMode::Virtual; }
};

// A 16-bit frame counter in the top bits and the channel below: the 24 bits
// the device carries hold both.
int32_t Counting(uint32_t frame, uint32_t channel) { return int32_t((frame & 0xFFFF) << 16 | (channel + 1) << 8); }

// A client that sends nothing per period: its period thread's wait, told to
// the server with the number of the last signal it saw, ends the hold. A
// wait that has not seen the holding signal yet (it began before) does not.
// An Endpoint request of a client: op, arguments, the event context's first
// byte (0: none) and the endpoint id.
std::optional<Message> EndpointRequest(NativeClient& client, bridge::EndpointOp op, const std::wstring& id = L"",
                                       uint64_t a1 = 0, uint64_t a2 = 0, uint8_t context = 0) {
  Message m;
  m.type = MessageType::Endpoint;
  m.a[0] = uint64_t(op);
  m.a[1] = a1;
  m.a[2] = a2;
  m.payload.assign(16, 0);
  m.payload[0] = context;
  const std::vector<uint8_t> bytes = bridge::PathBytes(id);
  m.payload.insert(m.payload.end(), bytes.begin(), bytes.end());
  return client.Request(m);
}

uint64_t DbBits(float db) {
  uint32_t u;
  memcpy(&u, &db, sizeof u);
  return u;
}

float BitsDb(uint64_t bits) {
  const uint32_t u = uint32_t(bits);
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

TEST_F(ServeTest, EndpointsAreTheCompanionsAndEveryChangeReachesEveryWatcher) {
  Client setter(port_, "panel"), watcher(port_, "sound settings");
  struct Described {
    uint32_t status;
    uint64_t flow, topology;
    std::wstring id, connected;
  };
  const auto describe = [&](uint64_t index) {
    Described d{};
    std::optional<Message> r = EndpointRequest(setter.native, bridge::EndpointOp::Describe, L"", index);
    if (!r) return d;
    d.status = r->status;
    d.flow = r->a[0];
    d.topology = r->a[1];
    const std::wstring all = bridge::PathFromBytes(r->payload);
    d.id = all.substr(0, all.find(L'\0'));
    d.connected = all.substr(all.rfind(L'\0') + 1);
    return d;
  };
  // The companion's render then capture endpoint, connected to its filter.
  const Described render = describe(0), capture = describe(1);
  ASSERT_EQ(render.status, kSuccess);
  ASSERT_EQ(capture.status, kSuccess);
  EXPECT_EQ(render.flow, 0u);
  EXPECT_EQ(capture.flow, 1u);
  for (const Described& d : {render, capture}) {
    EXPECT_EQ(d.topology, 0u);
    EXPECT_NE(d.connected.find(L"oru_mixer"), std::wstring::npos);
    EXPECT_NE(d.connected.find(L"oru#tqm27_01"), std::wstring::npos);
    EXPECT_EQ(d.connected.back(), L'1');
  }
  EXPECT_EQ(describe(2).status, 0x8000001Au) << "no third endpoint";

  ASSERT_EQ(EndpointRequest(watcher.native, bridge::EndpointOp::Watch, L"", 1)->status, kSuccess);
  std::optional<Message> set = EndpointRequest(setter.native, bridge::EndpointOp::SetLevel, render.id, 2,
                                               DbBits(-12.0f), 0x5A);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->status, kSuccess);
  // Told to the watcher with the setter's context; the setter did not watch.
  ASSERT_TRUE(Eventually([&] { return watcher.native.endpointChanges().size() == 1; }));
  const Message told = watcher.native.endpointChanges()[0];
  EXPECT_EQ(told.payload[0], 0x5A);
  EXPECT_EQ(BitsDb(told.a[0]), -12.0f);
  EXPECT_EQ(BitsDb(told.a[0] >> 32), -12.0f);
  EXPECT_TRUE(setter.native.endpointChanges().empty());
  // The companion forwarded it; the driver's deferred apply reaches the
  // playback feature unit (1/256 dB).
  EXPECT_TRUE(Eventually([&] {
    usb::DeviceState state{};
    server_->OnMachineThread([&] { state = server_->sim().port(0)->device().State(); });
    return state.playback.volume[0] == -12 * 256 && state.playback.volume[1] == -12 * 256;
  }));
  // Beyond the render range (-96..0 dB): refused, nothing changes.
  EXPECT_EQ(EndpointRequest(setter.native, bridge::EndpointOp::SetLevel, render.id, 0, DbBits(3.0f))->status,
            0x80070057u);
  std::optional<Message> read = EndpointRequest(setter.native, bridge::EndpointOp::Read, render.id);
  ASSERT_TRUE(read);
  EXPECT_EQ(BitsDb(read->a[0]), -12.0f);

  // Another device's endpoint comes first, its topology unreadable; with the
  // TQM27's taken away only it is left, and the TQM27's calls fail.
  Message control;
  control.type = MessageType::Machine;
  control.a[0] = uint64_t(bridge::MachineOp::EndpointExtra);
  control.a[1] = uint64_t(bridge::EndpointExtraKind::Unrelated);
  control.a[2] = 1;
  ASSERT_EQ(setter.native.Request(control)->status, kSuccess);
  control.a[0] = uint64_t(bridge::MachineOp::EndpointsPresent);
  control.a[1] = 0;
  ASSERT_EQ(setter.native.Request(control)->status, kSuccess);
  const Described first = describe(0);
  EXPECT_EQ(first.status, kSuccess);
  EXPECT_NE(first.topology, 0u);
  EXPECT_EQ(first.connected.find(L"oru_mixer"), std::wstring::npos);
  EXPECT_EQ(describe(1).status, 0x8000001Au);
  EXPECT_EQ(EndpointRequest(setter.native, bridge::EndpointOp::Read, render.id)->status, 0x88890004u);
}

TEST_F(VirtualServeTest, APeriodWaitAfterTheSignalReleasesTheClock) {
  Client host(port_, "asio host");
  ASSERT_EQ(host.SetLatency(240), kSuccess);
  const uint64_t event = host.native.CreateEvent(false);
  ASSERT_EQ(host.StartStream(event), kSuccess);
  auto periodWait = [&](uint64_t seen) {
    Message m;
    m.type = MessageType::PeriodWait;
    m.a[0] = event;
    m.a[1] = seen;
    return host.native.SendBytes(bridge::Encode(m));
  };
  ASSERT_TRUE(host.native.WaitEvent(event, 5000));
  // A stale wait: the clock stays held, no further period comes.
  ASSERT_TRUE(periodWait(host.native.signalsReceived() - 1));
  EXPECT_FALSE(host.native.WaitEvent(event, 300)) << "the clock moved past a held period";
  for (uint32_t p = 0; p < 100; ++p) {
    ASSERT_TRUE(periodWait(host.native.signalsReceived())) << "period " << p;
    ASSERT_TRUE(host.native.WaitEvent(event, 3000)) << "period " << p;
  }
}

// A request that spends machine time in the kernel (a slow synchronous
// transfer) lets periods end while the client is inside it. The latest of
// them holds the clock when the request returns: the request began before
// that period, so it is not that period's work.
TEST_F(VirtualServeTest, APeriodThatEndsDuringARequestStillHoldsTheClock) {
  Client host(port_, "asio host");
  ASSERT_EQ(host.SetLatency(240), kSuccess);  // 5 ms periods
  const uint64_t event = host.native.CreateEvent(false);
  ASSERT_EQ(host.StartStream(event), kSuccess);
  ASSERT_TRUE(host.native.WaitEvent(event, 5000));
  const uint64_t before = host.native.signalsReceived();
  Message pause;
  pause.type = MessageType::Machine;
  pause.a[0] = uint64_t(bridge::MachineOp::Pause);
  pause.a[1] = 125000;  // 12.5 ms: two periods end inside it
  std::optional<Message> r = host.native.Request(pause);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, kSuccess);
  const uint64_t during = host.native.signalsReceived();
  ASSERT_EQ(during, before + 2) << "periods that ended inside the request";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(host.native.signalsReceived(), during) << "the clock ran on past a period whose work had not begun";
  // The client's work for that period releases it.
  ASSERT_TRUE(host.native.WaitEvent(event, 0));
  ASSERT_EQ(host.OutputReady(0), kSuccess);
  EXPECT_TRUE(host.native.WaitEvent(event, 3000)) << "the clock stayed held after the period's work";
}

// Two seconds of machine time of a counting signal through the loopback,
// compared frame by frame.
void ExpectCountingLoopback(Client& host) {
  void* view = nullptr;
  ASSERT_EQ(host.MapStatusBlock(&view), kSuccess);
  // 240 frames at 48 kHz is five whole packets: bit-exact from the first frame.
  ASSERT_EQ(host.SetLatency(240), kSuccess);
  const uint64_t event = host.native.CreateEvent(false);
  ASSERT_EQ(host.StartStream(event), kSuccess);
  ASSERT_EQ(host.period, 240u);
  const StatusBlockView block(view, kNativeWide);
  int32_t* input[2][2];
  int32_t* output[2][2];
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t h = 0; h < 2; ++h) {
      input[c][h] = host.shared + (c * 2 + h) * host.period;
      output[c][h] = host.shared + ((2 + c) * 2 + h) * host.period;
    }
  uint32_t played = 0, expect = 0;
  bool locked = false;
  uint64_t checked = 0, wrong = 0;
  const uint32_t periods = 2 * 48000 / host.period;  // two seconds of machine time
  for (uint32_t p = 0; p < periods; ++p) {
    ASSERT_TRUE(host.native.WaitEvent(event, 5000)) << "period " << p;
    const uint32_t half = block.Read(StatusWord::RecordHalf) & 1;
    for (uint32_t f = 0; f < host.period; ++f) {
      if (!locked && input[0][half][f] != 0) {
        locked = true;
        expect = uint32_t(input[0][half][f]) >> 16;
      }
      if (!locked) continue;
      ++checked;
      wrong += input[0][half][f] != Counting(expect, 0) || input[1][half][f] != Counting(expect, 1);
      ++expect;
    }
    for (uint32_t f = 0; f < host.period; ++f, ++played) {
      output[0][half][f] = Counting(played, 0);
      output[1][half][f] = Counting(played, 1);
    }
    ASSERT_EQ(host.OutputReady(half), kSuccess) << "period " << p;
    block.Write(StatusWord::Watchdog, 0);
  }
  EXPECT_GT(checked, uint64_t(periods - 10) * host.period);
  EXPECT_EQ(wrong, 0u) << "of " << checked << " frames";
}

TEST_F(VirtualServeTest, CountingSignalComesBackBitExactThroughTheLoopback) {
  Client host(port_, "asio host");
  ExpectCountingLoopback(host);
}

// The Windows bridge moves each connection to a pair of named FIFOs: the
// same traffic, the socket left only to tell the end.
TEST_F(VirtualServeTest, TheConnectionMovesToNamedFifosAndEndsWithItsSocket) {
  // Connected before the stream: once the host stops answering its periods,
  // the clock (and so a new connection's first request) waits for it.
  Client watcher(port_, "watcher");
  Client host(port_, "asio host", true);
  ASSERT_TRUE(host.Identify());
  EXPECT_TRUE(host.native.onFifos());
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    EXPECT_NE(entry.path().filename().string()[0], 'c') << "a FIFO name left behind: " << entry.path();
  ExpectCountingLoopback(host);
  const uint64_t id = host.native.processId();
  ASSERT_GT(host.Handles(), 0u);
  host.native.Kill();
  EXPECT_TRUE(Eventually([&] { return watcher.ProcessState(id) == std::make_pair(uint64_t(0), true); }));
}

TEST_F(VirtualServeTest, TheInputChosenOverTheConnectionIsWhatTheClientRecords) {
  Client host(port_, "asio host");
  void* view = nullptr;
  ASSERT_EQ(host.MapStatusBlock(&view), kSuccess);
  const auto setInput = [&](uint64_t kind, uint64_t value) {
    Message m;
    m.type = MessageType::Machine;
    m.a[0] = uint64_t(bridge::MachineOp::SetInput);
    m.a[1] = kind;
    m.a[2] = value;
    std::optional<Message> r = host.native.Request(m);
    return r ? r->status : ~0u;
  };
  EXPECT_EQ(setInput(7, 0), 0xC000000Du) << "an input kind the device does not have";
  ASSERT_EQ(setInput(2, 1000), kSuccess);  // a 1 kHz sine instead of the loopback
  const uint64_t event = host.native.CreateEvent(false);
  ASSERT_EQ(host.StartStream(event), kSuccess);
  const StatusBlockView block(view, kNativeWide);
  uint64_t nonzero = 0;
  for (int p = 0; p < 40; ++p) {
    ASSERT_TRUE(host.native.WaitEvent(event, 5000));
    const uint32_t half = block.Read(StatusWord::RecordHalf) & 1;
    // The client plays silence: whatever it records comes from the sine.
    for (uint32_t f = 0; f < host.period; ++f) nonzero += host.shared[half * host.period + f] != 0;
    ASSERT_EQ(host.OutputReady(half), kSuccess);
  }
  EXPECT_GT(nonzero, 20u * host.period);
  Message faults;
  faults.type = MessageType::Machine;
  faults.a[0] = uint64_t(bridge::MachineOp::FaultCount);
  std::optional<Message> r = host.native.Request(faults);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->a[0], 0u);
}

TEST_F(VirtualServeTest, AStoppedClockMovesOnlyWhenStepped) {
  Client c(port_, "test");
  const auto op = [&](bridge::MachineOp which, uint64_t arg) {
    Message m;
    m.type = MessageType::Machine;
    m.a[0] = uint64_t(which);
    m.a[1] = arg;
    std::optional<Message> r = c.native.Request(m);
    return r ? *r : Message{};
  };
  EXPECT_EQ(op(bridge::MachineOp::Step, 5).status, 0xC0000184u) << "a running clock is not stepped";
  ASSERT_EQ(op(bridge::MachineOp::RunFree, 0).status, kSuccess);
  const uint64_t t0 = op(bridge::MachineOp::Now, 0).a[0];
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(op(bridge::MachineOp::Now, 0).a[0], t0) << "the clock moved while stopped";
  ASSERT_EQ(op(bridge::MachineOp::Step, 10).status, kSuccess);
  EXPECT_EQ(op(bridge::MachineOp::Now, 0).a[0], t0 + 10 * 10000);
  ASSERT_EQ(op(bridge::MachineOp::RunFree, 1).status, kSuccess);
  EXPECT_TRUE(Eventually([&] { return op(bridge::MachineOp::Now, 0).a[0] > t0 + 100 * 10000; }));
}

TEST_F(VirtualServeTest, StoppingMidStreamClosesTheProcessAndEndsCleanly) {
  Client host(port_, "asio host");
  void* view = nullptr;
  ASSERT_EQ(host.MapStatusBlock(&view), kSuccess);
  const uint64_t event = host.native.CreateEvent(false);
  ASSERT_EQ(host.StartStream(event), kSuccess);
  const StatusBlockView block(view, kNativeWide);
  for (int p = 0; p < 5; ++p) {
    ASSERT_TRUE(host.native.WaitEvent(event, 5000));
    ASSERT_EQ(host.OutputReady(block.Read(StatusWord::RecordHalf) & 1), kSuccess);
  }
  // The server stops while the stream runs and the client owes a period:
  // the next one has begun and holds the clock.
  ASSERT_TRUE(host.native.WaitEvent(event, 5000));
  StopServer();
  EXPECT_EQ(exitStatus_, 0);
  EXPECT_TRUE(Eventually([&] { return !host.native.connected(); }));
}

}  // namespace
}  // namespace tqm::sim
