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
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"

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
  Client(uint16_t port, const std::string& name) {
    std::string error;
    connected_ = native.Connect(port, name, &error);
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

// In virtual time the client's period work holds the clock: a stream through
// the connection is as exact as the simulator's own.
class VirtualServeTest : public ServeTest {
 protected:
  kernel::ClockMode Clock() const override { return kernel::ClockMode::Virtual; }
};

// A 16-bit frame counter in the top bits and the channel below: the 24 bits
// the device carries hold both.
int32_t Counting(uint32_t frame, uint32_t channel) { return int32_t((frame & 0xFFFF) << 16 | (channel + 1) << 8); }

TEST_F(VirtualServeTest, CountingSignalComesBackBitExactThroughTheLoopback) {
  Client host(port_, "asio host");
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
  // The server stops while the stream runs and the client owes a period.
  StopServer();
  EXPECT_EQ(exitStatus_, 0);
  EXPECT_TRUE(Eventually([&] { return !host.native.connected(); }));
}

}  // namespace
}  // namespace tqm::sim
