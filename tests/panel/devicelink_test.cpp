// The panel's device link against the driver on the simulated machine, under
// Wine: enumeration and the identity probe, the selection rule, every command
// wrapper, and what a failed request leaves behind.
#include "panel/devicelink/device_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"

namespace {

using namespace tqm;
using tqm::panel::DeviceLink;

// Kernel handles this process holds on the simulated machine.
uint64_t MachineHandles() {
  uint64_t id = 0, handles = 0;
  int exited = 0;
  EXPECT_EQ(TqmSimProcessId(&id), 0u);
  EXPECT_EQ(TqmSimProcessState(id, &handles, &exited), 0u);
  return handles;
}

TEST(DeviceLink, EnumeratesProbesAndClosesEverything) {
  const uint64_t before = MachineHandles();
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 1);
  EXPECT_EQ(MachineHandles(), before + 1);
  // A second enumeration keeps what it has.
  EXPECT_EQ(link.Enumerate(), 1);
  EXPECT_EQ(MachineHandles(), before + 1);
  link.Select(0);
  EXPECT_TRUE(link.Identify(kIdentifyMajor, kIdentifyMinor));
  EXPECT_FALSE(link.Identify(kDriverVersionMajor, kDriverVersionMinor));
  link.CloseAll();
  EXPECT_EQ(link.count(), 0);
  EXPECT_EQ(MachineHandles(), before);
  // Commands after close-all fail without reaching anything.
  EXPECT_EQ(link.GetLatency(), 0u);
  EXPECT_FALSE(link.SetLatency(256, 1));
}

TEST(DeviceLink, SelectingPastTheCountTakesTheLast) {
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 1);
  for (int n : {0, 1, 7, 100, -1}) {
    link.Select(n);
    EXPECT_EQ(link.selected(), 0) << n;
    EXPECT_TRUE(link.Identify(1, 0)) << n;
  }
}

// Every wrapper against the live driver: what it returns and what the driver
// did with the fields it set.
TEST(DeviceLink, EveryWrapperReachesTheDriver) {
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 1);
  link.Select(0);
  std::vector<uint8_t> settings(kMixerSettingsSize, 0xEE), again(kMixerSettingsSize, 0x11);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);

  struct Row {
    const char* name;
    std::function<bool()> run;
  };
  const std::vector<Row> rows = {
      {"Identify", [&] { return link.Identify(1, 0); }},
      {"GetSettings", [&] { return link.GetSettings(settings.data()); }},
      {"ApplySettings then GetSettings gives the same block",
       [&] {
         link.ApplySettings(settings.data());
         return link.GetSettings(again.data()) && again == settings;
       }},
      {"ApplyAndSaveSettings", [&] { return link.ApplyAndSaveSettings(settings.data()); }},
      {"ApplySettingsAlias", [&] { return link.ApplySettingsAlias(settings.data()); }},
      {"SetLatency 256 then GetLatency", [&] { return link.SetLatency(256, 1) && link.GetLatency() == 256; }},
      {"SetLatency of a size off the menu is refused", [&] { return !link.SetLatency(12345, 1); }},
      {"GetActiveClient with nothing open", [&] { return link.GetActiveClient() == 0; }},
      {"SetEvent rate", [&] { return link.SetEvent(event, ControlOp::SetRateEvent); }},
      {"SetEvent rate cleared", [&] { return link.SetEvent(nullptr, ControlOp::SetRateEvent); }},
      {"SetEvent removal", [&] { return link.SetEvent(event, ControlOp::SetRemovalEvent); }},
      {"SetEvent removal cleared", [&] { return link.SetEvent(nullptr, ControlOp::SetRemovalEvent); }},
      {"ReservedQuery answers 0", [&] { return link.ReservedQuery() == 0; }},
      {"ReservedSet", [&] { return link.ReservedSet(); }},
      {"GetChannelCounts 2/2",
       [&] {
         const auto c = link.GetChannelCounts();
         return c.inputs == 2 && c.outputs == 2;
       }},
      {"GetDriverVersion 2.1",
       [&] {
         const auto v = link.GetDriverVersion();
         return v.major == kDriverVersionMajor && v.minor == kDriverVersionMinor;
       }},
      {"Reserved6", [&] { return link.Reserved6(); }},
      {"Reserved8", [&] { return link.Reserved8(); }},
      {"NoOp 17, 19, 20", [&] { return link.NoOp(17) && link.NoOp(19) && link.NoOp(20); }},
      {"NoOp of an unknown sub-op fails", [&] { return !link.NoOp(12); }},
      {"FixedQuery answers 999", [&] { return link.FixedQuery(1, 2, 3) == kFixedQueryAnswer; }},
      {"QueryStreamHealth: nobody holds the engine", [&] { return link.QueryStreamHealth() == 0; }},
      {"TakePendingFlag", [&] { return link.TakePendingFlag() <= 1; }},
      {"SetSampleRate 48000 shows in the status block",
       [&] {
         uint64_t token = 0, address = 0;
         if (!link.MapStatusBlock(1, token, address) || !address) return false;
         const bool ok = link.SetSampleRate(48000);
         StatusBlockView block(reinterpret_cast<void*>(address), kNativeWide);
         bool seen = false;
         for (int i = 0; i < 200 && !seen; ++i) {
           TqmSimStep(1);
           seen = block.Read(StatusWord::SampleRate) == 48000;
         }
         return ok && seen && link.MapStatusBlock(0, token, address) != 0;
       }},
      {"MapStreamStatusBlock maps and unmaps",
       [&] {
         uint64_t token = 0, address = 0;
         return link.MapStreamStatusBlock(1, token, address) != 0 && address != 0 &&
                link.MapStreamStatusBlock(0, token, address) != 0;
       }},
      {"A stream set up and torn down through the wrappers",
       [&] {
         void* cell = nullptr;
         const uint32_t period = link.GetLatency();
         if (!link.AllocSharedBuffer(period * 32, &cell) || !cell) return false;
         auto* shared = static_cast<int32_t*>(cell);
         bool ok = true;
         for (uint32_t i = 0; i < 8; ++i)
           ok = ok && link.SetClientBuffer(i < 4 ? 1 : 0, (i / 2) % 2, i % 2, shared + i * period, 1);
         ok = ok && link.SetPeriodEvent(event);
         ok = ok && link.ActivateChannels(3, 3, 1) == 0 && link.GetActiveClient() == 3;
         ok = ok && link.OutputReady(0) && link.StartStop(1);
         ok = ok && link.ActivateChannels(3, 3, 0) == 0 && link.GetActiveClient() == 0;
         // The same through the mask form: bits 0-1 outputs, 16-17 inputs.
         ok = ok && link.ActivateChannelMask(0x30003, 1) == 0 && link.GetActiveClient() == 3;
         ok = ok && link.ActivateChannelMask(0x30003, 0) == 0 && link.GetActiveClient() == 0;
         ok = ok && link.SetPeriodEvent(nullptr) && link.AllocSharedBuffer(0, &cell);
         return ok && link.GetActiveClient() == 0;
       }},
  };
  for (const Row& row : rows) EXPECT_TRUE(row.run()) << row.name;
  CloseHandle(event);
  uint64_t faults = 0;
  ASSERT_EQ(TqmSimFaultCount(&faults), 0u);
  EXPECT_EQ(faults, 0u);
}

TEST(DeviceLink, AFailedRequestLeavesNoStaleAnswer) {
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 1);
  link.Select(0);
  ASSERT_TRUE(link.SetLatency(256, 1));
  ASSERT_EQ(link.GetLatency(), 256u);
  uint64_t token = 0x1111, address = 0x2222;
  ASSERT_EQ(TqmSimUnplug(), 0u);
  EXPECT_EQ(link.GetLatency(), 0u);
  EXPECT_EQ(link.GetActiveClient(), 0u);
  link.CloseAll();
  // With no device a mapping request fails and leaves the outputs alone; the
  // channel wrappers answer a failure status, not the flag they sent.
  EXPECT_EQ(link.MapStatusBlock(1, token, address), 0u);
  EXPECT_EQ(token, 0x1111u);
  EXPECT_EQ(address, 0x2222u);
  EXPECT_NE(link.ActivateChannels(3, 3, 0), 0u);
  link.CloseAll();
  EXPECT_EQ(link.Enumerate(), 0);
}

}  // namespace

namespace {

uint64_t BridgeHandles() {
  uint64_t handles = 0;
  EXPECT_EQ(TqmSimOpenHandles(&handles), 0u);
  return handles;
}

// The driver itself serves at most eight TQM27s, so a ninth one has no
// interface; an interface of another version registered after the eight
// shows that enumeration stops opening once eight are held: it is never
// opened, and only eight Identify requests are sent.
TEST(DeviceLink, NineDevicesOpenEightAndLeaveTheNinthAlone) {
  for (uint32_t port = 1; port < 9; ++port) ASSERT_EQ(TqmSimPlugDevice(port), 0u) << port;
  ASSERT_EQ(TqmSimOtherVersion(1), 0u);
  const uint64_t machine = MachineHandles(), bridge = BridgeHandles();
  {
    DeviceLink link;
    uint32_t logged = 0;
    ASSERT_EQ(TqmSimCommandCount(0, &logged), 0u);
    ASSERT_EQ(link.Enumerate(), DeviceLink::kMaxDevices);
    uint32_t after = 0;
    ASSERT_EQ(TqmSimCommandCount(0, &after), 0u);
    EXPECT_EQ(after - logged, 8u) << "an interface beyond the eighth was probed";
    EXPECT_EQ(MachineHandles(), machine + 8);
    EXPECT_EQ(BridgeHandles(), bridge + 8);
    // Device 0 is the interface opened last; past the count, the last one.
    struct Row {
      int n, index;
    };
    for (const Row row : {Row{0, 7}, Row{1, 6}, Row{7, 0}, Row{8, 7}, Row{100, 7}}) {
      link.Select(row.n);
      EXPECT_EQ(link.selected(), row.index) << row.n;
      EXPECT_TRUE(link.Identify(1, 0)) << row.n;
    }
    // Eight different devices, each answering on its own handle.
    for (int i = 0; i < 8; ++i)
      for (int j = i + 1; j < 8; ++j) {
        link.Select(7 - i);
        const std::wstring a = link.path();
        link.Select(7 - j);
        EXPECT_NE(a, link.path()) << i << " " << j;
      }
    link.CloseAll();
    EXPECT_EQ(MachineHandles(), machine);
    EXPECT_EQ(BridgeHandles(), bridge);
  }
  uint64_t faults = 0;
  ASSERT_EQ(TqmSimFaultCount(&faults), 0u);
  EXPECT_EQ(faults, 0u);
}

TEST(DeviceLink, AnInterfaceOfAnotherVersionIsClosedAndItsSlotReused) {
  ASSERT_EQ(TqmSimOtherVersion(1), 0u);
  ASSERT_EQ(TqmSimPlugDevice(1), 0u);  // enumerated after the other version
  const uint64_t bridge = BridgeHandles();
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 2);
  EXPECT_EQ(BridgeHandles(), bridge + 2);
  for (int n : {0, 1}) {
    link.Select(n);
    EXPECT_TRUE(link.Identify(1, 0)) << n;
    EXPECT_EQ(link.GetDriverVersion().major, kDriverVersionMajor) << n;
  }
  link.CloseAll();
  EXPECT_EQ(BridgeHandles(), bridge);
  ASSERT_EQ(TqmSimOtherVersion(0), 0u);
}

}  // namespace

namespace {

std::vector<TqmSimCommandEntry> CommandsSince(uint32_t first) {
  uint32_t count = 0;
  EXPECT_EQ(TqmSimCommandCount(0, &count), 0u);
  std::vector<TqmSimCommandEntry> entries;
  for (uint32_t i = first; i < count; ++i) {
    TqmSimCommandEntry entry{};
    EXPECT_EQ(TqmSimCommand(0, i, &entry), 0u);
    entries.push_back(entry);
  }
  return entries;
}

uint32_t CommandCount() {
  uint32_t count = 0;
  EXPECT_EQ(TqmSimCommandCount(0, &count), 0u);
  return count;
}

// One command per wrapper, as the driver received it: its class and sub-op,
// the fields the wrapper set, the status it completed with, and what the
// wrapper made of the reply.
TEST(DeviceLink, EachWrapperSendsItsCommandWithItsFields) {
  DeviceLink link;
  ASSERT_EQ(link.Enumerate(), 1);
  link.Select(0);
  std::vector<uint8_t> settings(kMixerSettingsSize);
  ASSERT_TRUE(link.GetSettings(settings.data()));
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  void* cell = nullptr;
  uint64_t token = 0, address = 0;
  const uint64_t settingsAt = reinterpret_cast<uintptr_t>(settings.data());
  const uint64_t eventAt = reinterpret_cast<uintptr_t>(event);

  struct Field32 {
    uint32_t offset;
    uint64_t value;
    bool slot;
  };
  struct Row {
    const char* name;
    std::function<uint64_t()> call;
    uint32_t cls, op;
    std::vector<Field32> fields;
    bool succeeds;
    uint64_t returns;
  };
  const std::vector<Row> rows = {
      {"Identify", [&] { return uint64_t(link.Identify(1, 0)); }, 1, 1,
       {{Field::VersionMajor, 255, false}, {Field::VersionMinor, 255, false}}, true, 1},
      {"ReservedQuery", [&] { return uint64_t(link.ReservedQuery()); }, 1, 4, {}, true, 0},
      {"ReservedSet", [&] { return uint64_t(link.ReservedSet()); }, 1, 5, {}, true, 1},
      {"GetChannelCounts", [&] { return uint64_t(link.GetChannelCounts().inputs); }, 1, 6, {}, true, 2},
      {"GetDriverVersion", [&] { return uint64_t(link.GetDriverVersion().minor); }, 1, 7, {}, true, 1},
      {"SetPeriodEvent", [&] { return uint64_t(link.SetPeriodEvent(event)); }, 2, 1,
       {{Field::PeriodEvent, eventAt, true}}, true, 1},
      {"SetPeriodEvent cleared", [&] { return uint64_t(link.SetPeriodEvent(nullptr)); }, 2, 1,
       {{Field::PeriodEvent, 0, true}}, true, 1},
      {"SetSampleRate", [&] { return uint64_t(link.SetSampleRate(44100)); }, 2, 2,
       {{Field::SampleRate, 44100, false}}, true, 1},
      {"AllocSharedBuffer", [&] { return uint64_t(link.AllocSharedBuffer(8192, &cell)); }, 2, 5,
       {{Field::SharedLength, 8192, false}, {Field::SharedCell, reinterpret_cast<uintptr_t>(&cell), true}}, true,
       1},
      {"SetClientBuffer", [&] { return uint64_t(link.SetClientBuffer(1, 1, 1, cell, 1)); }, 2, 3,
       {{Field::Direction, 1, false},
        {Field::Channel, 1, false},
        {Field::Half, 1, false},
        {Field::Stride, 1, false}},
       true, 1},
      {"ActivateChannelMask", [&] { return uint64_t(link.ActivateChannelMask(0x10001, 1)); }, 2, 4,
       {{Field::ChannelMask, 0x10001, false}, {Field::OnOff, 1, false}}, true, 0},
      {"GetActiveClient", [&] { return uint64_t(link.GetActiveClient()); }, 3, 10, {}, true, 3},
      {"ActivateChannels", [&] { return uint64_t(link.ActivateChannels(1, 1, 0)); }, 2, 7,
       {{Field::OutputMask, 1, false}, {Field::InputMask, 1, false}, {Field::OnOff, 0, false}}, true, 0},
      {"StartStop", [&] { return uint64_t(link.StartStop(0)); }, 2, 8, {{Field::OnOff, 0, false}}, true, 1},
      // A SharedBuffer with no channel open counts as a client holding the engine.
      {"QueryStreamHealth", [&] { return uint64_t(link.QueryStreamHealth()); }, 2, 9, {}, true, 1},
      {"OutputReady", [&] { return uint64_t(link.OutputReady(1)); }, 2, 10, {{Field::ReadyHalf, 1, false}}, true,
       1},
      {"TakePendingFlag", [&] { return uint64_t(link.TakePendingFlag() > 1); }, 2, 11, {}, true, 0},
      {"MapStreamStatusBlock", [&] { return uint64_t(link.MapStreamStatusBlock(1, token, address) != 0); }, 2,
       14, {{Field::MapFlag, 1, false}, {Field::StatusAddress, 0, true}, {Field::StatusToken, 0, true}}, true, 1},
      {"MapStreamStatusBlock unmap",
       [&] {
         const uint64_t sent = token;
         return uint64_t(link.MapStreamStatusBlock(0, token, address) == sent);
       },
       2, 14, {{Field::MapFlag, 0, false}}, true, 1},
      {"AllocSharedBuffer release", [&] { return uint64_t(link.AllocSharedBuffer(0, &cell)); }, 2, 5,
       {{Field::SharedLength, 0, false}}, true, 1},
      {"GetSettings", [&] { return uint64_t(link.GetSettings(settings.data())); }, 3, 1,
       {{Field::SettingsAddress, settingsAt, true}}, true, 1},
      {"ApplySettings", [&] { link.ApplySettings(settings.data()); return uint64_t(1); }, 3, 2,
       {{Field::SettingsAddress, settingsAt, true}}, true, 1},
      {"SetLatency", [&] { return uint64_t(link.SetLatency(192, 1)); }, 3, 4,
       {{Field::Latency, 192, false}, {Field::BusyCheck, 1, false}}, true, 1},
      {"SetLatency refused", [&] { return uint64_t(link.SetLatency(512, 1)); }, 3, 4,
       {{Field::Latency, 512, false}}, false, 0},
      {"GetLatency", [&] { return uint64_t(link.GetLatency()); }, 3, 5, {}, true, 192},
      {"Reserved6", [&] { return uint64_t(link.Reserved6()); }, 3, 6, {}, true, 1},
      {"SetEvent rate", [&] { return uint64_t(link.SetEvent(event, ControlOp::SetRateEvent)); }, 3, 7,
       {{Field::NotifyEvent, eventAt, true}}, true, 1},
      {"Reserved8", [&] { return uint64_t(link.Reserved8()); }, 3, 8, {}, true, 1},
      {"ApplyAndSaveSettings", [&] { return uint64_t(link.ApplyAndSaveSettings(settings.data())); }, 3, 9,
       {{Field::SettingsAddress, settingsAt, true}}, true, 1},
      {"SetEvent removal", [&] { return uint64_t(link.SetEvent(event, ControlOp::SetRemovalEvent)); }, 3, 16,
       {{Field::NotifyEvent, eventAt, true}}, true, 1},
      {"SetEvent removal cleared", [&] { return uint64_t(link.SetEvent(nullptr, ControlOp::SetRemovalEvent)); },
       3, 16, {{Field::NotifyEvent, 0, true}}, true, 1},
      {"NoOp 19", [&] { return uint64_t(link.NoOp(19)); }, 3, 19, {}, true, 1},
      {"FixedQuery", [&] { return uint64_t(link.FixedQuery(7, 8, 9)); }, 3, 18,
       {{Field::QueryArg0, 7, false}, {Field::QueryArg1, 8, false}, {Field::QueryArg2, 9, false}}, true, 999},
      {"ApplySettingsAlias", [&] { return uint64_t(link.ApplySettingsAlias(settings.data())); }, 3, 21,
       {{Field::SettingsAddress, settingsAt, true}}, true, 1},
      {"MapStatusBlock", [&] { return uint64_t(link.MapStatusBlock(1, token, address) != 0 && address != 0); }, 3,
       3, {{Field::MapFlag, 1, false}}, true, 1},
  };
  for (const Row& row : rows) {
    const uint32_t before = CommandCount();
    EXPECT_EQ(row.call(), row.returns) << row.name;
    const auto sent = CommandsSince(before);
    ASSERT_EQ(sent.size(), 1u) << row.name;
    const TqmSimCommandEntry& e = sent[0];
    EXPECT_EQ(e.commandClass, row.cls) << row.name;
    EXPECT_EQ(e.subOp, row.op) << row.name;
    EXPECT_EQ(e.status == 0, row.succeeds) << row.name << ": status " << std::hex << e.status;
    CommandRecord received;
    memcpy(received.bytes, e.record, sizeof received.bytes);
    for (const Field32& f : row.fields) {
      const uint64_t got = f.slot ? received.GetSlot(f.offset) : received.Get32(f.offset);
      EXPECT_EQ(got, f.value) << row.name << ": field " << f.offset;
    }
  }
  CloseHandle(event);
}

}  // namespace
