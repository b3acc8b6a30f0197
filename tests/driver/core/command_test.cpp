// The command interface as clients see it: one control code, one 128-byte
// record, sent from simulated processes to the started device.
#include "driver_fixture.h"

namespace tqmdrv::testing {
namespace {

using namespace tqm;

class CommandTest : public DriverTest {
 protected:
  void SetUp() override {
    ASSERT_NE(Plug(), nullptr);
    ASSERT_EQ(State(), NodeState::Started);
    ASSERT_FALSE(InterfacePath().empty());
  }
};

TEST_F(CommandTest, FixedAnswersIgnoreWhatElseTheRecordHolds) {
  Client& panel = Open("panel");
  struct Row {
    const char* why;
    ULONG commandClass, op;
    ULONG offsetA, expectA, offsetB, expectB;
  };
  const Row rows[] = {
      {"the identity probe the clients accept", CMD_CLASS_DRIVER, DriverOp::Identify, 12, 1, 16, 0},
      {"the driver version", CMD_CLASS_DRIVER, DriverOp::GetDriverVersion, 12, 2, 16, 1},
      {"two channels each way", CMD_CLASS_DRIVER, DriverOp::GetChannelCounts, 44, 2, 48, 2},
      {"the reserved query answers 0", CMD_CLASS_DRIVER, DriverOp::ReservedQuery, 28, 0, 0, 1},
      {"the fixed query", CMD_CLASS_CONTROL, ControlOp::FixedQuery, 24, 999, 0, 3},
      {"nothing ever sets the pending flag", CMD_CLASS_STREAM, StreamOp::TakePendingFlag, 64, 0, 0, 2},
  };
  for (const Row& row : rows) {
    // Every byte but the header is 0xA5: the answer must not depend on it.
    CommandRecord record;
    std::memset(record.bytes, 0xA5, sizeof record.bytes);
    record.Set32(Field::Class, row.commandClass);
    record.Set32(4, 0);
    record.Set32(Field::SubOp, row.op);
    const Reply reply = panel.Send(record);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << row.why;
    EXPECT_EQ(reply.information, 128u) << row.why;
    EXPECT_EQ(reply.record.Get32(row.offsetA), row.expectA) << row.why;
    EXPECT_EQ(reply.record.Get32(row.offsetB), row.expectB) << row.why;
  }
}

TEST_F(CommandTest, UnknownClassesAndSubOpsAreInvalidParameters) {
  Client& panel = Open("panel");
  struct Row {
    ULONG commandClass, op;
  };
  const Row rows[] = {
      {1, 2}, {1, 3}, {1, 8}, {1, 10},                       // class 1 holes and beyond
      {2, 6}, {2, 12}, {2, 13}, {2, 15},                     // class 2 reserved sub-ops
      {3, 11}, {3, 12}, {3, 13}, {3, 14}, {3, 15}, {3, 22},  // class 3 holes and beyond
      {3, 0xFFFFFFFF}, {0, 1}, {4, 1}, {0xFFFFFFFF, 1},      // classes that do not exist
  };
  for (const Row& row : rows) {
    const Reply reply = panel.Command(row.commandClass, row.op);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << row.commandClass << "." << row.op;
  }
  // The no-op and reserved ones succeed.
  for (ULONG op : {ControlOp::Reserved6, ControlOp::Reserved8, ControlOp::NoOp17, ControlOp::NoOp19, ControlOp::NoOp20})
    EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, op).status, STATUS_SUCCESS) << "3." << op;
  EXPECT_EQ(panel.Command(CMD_CLASS_DRIVER, DriverOp::ReservedSet, {Word(24, 7), Word(40, 9)}).status, STATUS_SUCCESS);
}

TEST_F(CommandTest, RequestsThatAreNotOneRecordAreRefused) {
  Client& panel = Open("panel");
  const CommandRecord identify = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
  struct Row {
    const char* why;
    ULONG code, in, out;
    NTSTATUS expect;
  };
  const Row rows[] = {
      {"another control code", 0x2A3BBC, 128, 128, STATUS_INVALID_DEVICE_REQUEST},
      {"a short input buffer would be read past its end", kCommandControlCode, 127, 128, STATUS_INVALID_PARAMETER},
      {"a short output buffer would be written past its end", kCommandControlCode, 128, 16, STATUS_INVALID_PARAMETER},
      {"no buffer at all", kCommandControlCode, 0, 0, STATUS_INVALID_PARAMETER},
      {"a longer buffer holds a record", kCommandControlCode, 256, 256, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    uint8_t in[256] = {}, out[256];
    std::memcpy(in, identify.bytes, sizeof identify.bytes);
    std::memset(out, 0xEE, sizeof out);
    ULONG returned = 99;
    const NTSTATUS status =
        panel.process().DeviceIoControl(panel.handle(), row.code, in, row.in, out, row.out, &returned);
    EXPECT_EQ(status, row.expect) << row.why;
    if (row.expect != STATUS_SUCCESS) {
      EXPECT_EQ(returned, 0u) << row.why;
      EXPECT_EQ(out[0], 0xEE) << row.why;
    } else {
      EXPECT_EQ(returned, 256u) << row.why;
    }
  }
}

TEST_F(CommandTest, SetLatencyKeepsToOnePacketAndTheBusyCheck) {
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  auto setLatency = [&](ULONG frames, ULONG busyCheck) {
    return panel.Command(CMD_CLASS_CONTROL, ControlOp::SetLatency,
                         {Word(Field::Latency, frames), Word(Field::BusyCheck, busyCheck)})
        .status;
  };
  auto latency = [&] {
    return panel.Command(CMD_CLASS_CONTROL, ControlOp::GetLatency).record.Get32(Field::Latency);
  };
  auto rate = [&](ULONG hz) {
    return asio.Command(CMD_CLASS_STREAM, StreamOp::SetSampleRate, {Word(Field::SampleRate, hz)}).status;
  };
  ASSERT_EQ(rate(48000), STATUS_SUCCESS);
  struct Row {
    const char* why;
    ULONG rate, frames, busyCheck;
    NTSTATUS expect;
    ULONG latencyAfter;
  };
  const Row rows[] = {
      {"below one packet at 48 kHz", 48000, 47, 1, STATUS_INVALID_PARAMETER, 0},
      {"one packet at 48 kHz", 48000, 48, 1, STATUS_SUCCESS, 48},
      {"the engine's halves hold 288 frames", 48000, 288, 1, STATUS_SUCCESS, 288},
      {"more would overrun the halves", 48000, 289, 0, STATUS_INVALID_PARAMETER, 288},
      {"one packet at 96 kHz is 96 frames", 96000, 64, 1, STATUS_INVALID_PARAMETER, 288},
      {"without the busy check the minimum still holds", 96000, 95, 0, STATUS_INVALID_PARAMETER, 288},
      {"96 at 96 kHz", 96000, 96, 0, STATUS_SUCCESS, 96},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(rate(row.rate), STATUS_SUCCESS) << row.why;
    EXPECT_EQ(setLatency(row.frames, row.busyCheck), row.expect) << row.why;
    if (row.latencyAfter) {
      EXPECT_EQ(latency(), row.latencyAfter) << row.why;
    }
  }
  // The stored record follows.
  const std::vector<uint8_t> stored = StoredMixer();
  ASSERT_EQ(stored.size(), kMixerSettingsSize);
  EXPECT_EQ(LoadLe32(stored.data() + 4), 96u);

  // A streaming client makes the busy check refuse; without it the change goes through.
  ASSERT_EQ(setLatency(128, 0), STATUS_SUCCESS);
  int32_t* shared = asio.AllocShared(128 * 32);
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(asio.Activate(1, 1, true), STATUS_SUCCESS);
  EXPECT_EQ(setLatency(192, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(latency(), 128u);
  EXPECT_EQ(setLatency(192, 0), STATUS_SUCCESS);
  EXPECT_EQ(latency(), 192u);
  ASSERT_EQ(asio.Activate(1, 1, false), STATUS_SUCCESS);
}

TEST_F(CommandTest, SampleRateRefusalIsReported) {
  Client& asio = Open("asio");
  tqm::DeviceStatusBlock* status = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::SetSampleRate, {Word(Field::SampleRate, 48000)}).status,
            STATUS_SUCCESS);
  EXPECT_EQ(status->sampleRate, 48000u);
  EXPECT_EQ(status->containerBits, 32u);
  EXPECT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::SetSampleRate, {Word(Field::SampleRate, 22050)}).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(status->sampleRate, 48000u);
}

TEST_F(CommandTest, IndexesOutOfRangeChangeNothing) {
  Client& asio = Open("asio");
  int32_t* shared = asio.AllocShared(4096);
  ASSERT_NE(shared, nullptr);
  struct Row {
    const char* why;
    CommandRecord record;
  };
  const Row rows[] = {
      {"direction 2", Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
                             {Word(Field::Direction, 2), Slot(Field::HalfAddress, shared), Word(Field::Stride, 1)})},
      {"channel 2", Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
                           {Word(Field::Channel, 2), Slot(Field::HalfAddress, shared), Word(Field::Stride, 1)})},
      {"half 2", Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
                        {Word(Field::Half, 2), Slot(Field::HalfAddress, shared), Word(Field::Stride, 1)})},
      {"stride 0 would put every frame on one sample",
       Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer, {Slot(Field::HalfAddress, shared), Word(Field::Stride, 0)})},
      {"a misaligned half", Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
                                   {Slot(Field::HalfAddress, reinterpret_cast<char*>(shared) + 2), Word(Field::Stride, 1)})},
      {"a half that runs past the buffer's end",
       Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
              {Slot(Field::HalfAddress, reinterpret_cast<char*>(shared) + 4096 - 8), Word(Field::Stride, 1)})},
      {"an address outside the buffer", Record(CMD_CLASS_STREAM, StreamOp::SetClientBuffer,
                                               {Slot(Field::HalfAddress, 0x1000), Word(Field::Stride, 1)})},
      {"channel bit 2 names no channel", Record(CMD_CLASS_STREAM, StreamOp::ActivateChannelMask,
                                                {Word(Field::ChannelMask, 0x4), Word(Field::OnOff, 1)})},
      {"input bit 18 names no channel", Record(CMD_CLASS_STREAM, StreamOp::ActivateChannelMask,
                                               {Word(Field::ChannelMask, 0x40001), Word(Field::OnOff, 1)})},
      {"output-ready half 2", Record(CMD_CLASS_STREAM, StreamOp::OutputReady, {Word(Field::ReadyHalf, 2)})},
  };
  for (const Row& row : rows) {
    const Reply reply = asio.Send(row.record);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << row.why;
    EXPECT_EQ(asio.ActiveClient(), 0u) << row.why;
  }
  // The accepted forms, for contrast.
  EXPECT_EQ(asio.RegisterHalf(1, 1, 1, shared + 1024 - 288), STATUS_SUCCESS);
  EXPECT_EQ(asio.RegisterHalf(1, 1, 1, nullptr), STATUS_SUCCESS);
  const Reply opened = asio.Command(CMD_CLASS_STREAM, StreamOp::ActivateChannelMask,
                                    {Word(Field::ChannelMask, 0x10001), Word(Field::OnOff, 1)});
  EXPECT_EQ(opened.status, STATUS_SUCCESS);
  EXPECT_EQ(opened.record.Get32(Field::OnOff), 0u);
  EXPECT_EQ(asio.ActiveClient(), 3u);
}

TEST_F(CommandTest, BadCallerAddressesFailAndChangeNothing) {
  Client& panel = Open("panel");
  Client& other = Open("other");
  MixerSettings* block = static_cast<MixerSettings*>(panel.process().Allocate(sizeof(MixerSettings)));
  void* foreign = other.process().Allocate(sizeof(MixerSettings));
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::GetSettings, {Slot(Field::SettingsAddress, block)}).status,
            STATUS_SUCCESS);
  const MixerSettings before = *block;
  EXPECT_EQ(before.rate, 44100);
  struct Row {
    const char* why;
    ULONG op;
    const void* address;
  };
  const Row rows[] = {
      {"get into an unmapped address", ControlOp::GetSettings, reinterpret_cast<void*>(0x10)},
      {"get into another process's buffer", ControlOp::GetSettings, foreign},
      {"apply from a kernel address", ControlOp::ApplySettings, reinterpret_cast<void*>(0xFFFF800000001000ull)},
      {"apply from another process's buffer", ControlOp::ApplySettings, foreign},
      {"apply-and-save from nowhere", ControlOp::ApplyAndSaveSettings, nullptr},
      {"the second apply from a block that ends early", ControlOp::ApplySettingsAlias,
       reinterpret_cast<char*>(block) + 8},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, row.op, {Slot(Field::SettingsAddress, row.address)}).status,
              STATUS_ACCESS_VIOLATION)
        << row.why;
  }
  MixerSettings after;
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::GetSettings, {Slot(Field::SettingsAddress, block)}).status,
            STATUS_SUCCESS);
  after = *block;
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

  // The shared-buffer cell: a bad one leaves no buffer behind.
  Client& asio = Open("asio");
  const Reply bad = asio.Command(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer,
                                 {Word(Field::SharedLength, 4096), Slot(Field::SharedCell, 0x20)});
  EXPECT_EQ(bad.status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(asio.Health(), 0u);
}

TEST_F(CommandTest, SettingsRoundTripAndPersist) {
  Client& panel = Open("panel");
  auto* block = static_cast<MixerSettings*>(panel.process().Allocate(sizeof(MixerSettings)));
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::GetSettings, {Slot(Field::SettingsAddress, block)}).status,
            STATUS_SUCCESS);
  block->words()[MixerWord::PlayVolumeLeft] = 90;
  block->words()[MixerWord::RecordMute] = 1;
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::ApplyAndSaveSettings, {Slot(Field::SettingsAddress, block)})
                .status,
            STATUS_SUCCESS);
  const std::vector<uint8_t> stored = StoredMixer();
  ASSERT_EQ(stored.size(), kMixerSettingsSize);
  EXPECT_EQ(std::memcmp(stored.data(), block, kMixerSettingsSize), 0);
  EXPECT_TRUE(port_->device().State().record.mute);
}

TEST_F(CommandTest, EventSlotsTakeEventsOnly) {
  Client& asio = Open("asio");
  HANDLE event = asio.process().CreateEventHandle(false, false);
  struct Row {
    const char* why;
    uint64_t handle;
    NTSTATUS expect;
  };
  const Row rows[] = {
      {"an event", uint64_t(uintptr_t(event)), STATUS_SUCCESS},
      {"a handle that names nothing", 0x7777, STATUS_INVALID_HANDLE},
      {"a device handle is no event", uint64_t(uintptr_t(asio.handle())), STATUS_OBJECT_TYPE_MISMATCH},
      {"clearing", 0, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::SetPeriodEvent, {Slot(Field::PeriodEvent, row.handle)}).status,
              row.expect)
        << row.why;
    EXPECT_EQ(asio.Command(CMD_CLASS_CONTROL, ControlOp::SetRateEvent, {Slot(Field::NotifyEvent, row.handle)}).status,
              row.expect)
        << row.why;
  }
  // The rate event fires at a rate change once it is set; a failed
  // reference leaves the slot as it was.
  ASSERT_EQ(asio.Command(CMD_CLASS_CONTROL, ControlOp::SetRateEvent, {Slot(Field::NotifyEvent, event)}).status,
            STATUS_SUCCESS);
  ASSERT_EQ(asio.Command(CMD_CLASS_CONTROL, ControlOp::SetRateEvent, {Slot(Field::NotifyEvent, 0x7777)}).status,
            STATUS_INVALID_HANDLE);
  ASSERT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::SetSampleRate, {Word(Field::SampleRate, 96000)}).status,
            STATUS_SUCCESS);
  EXPECT_TRUE(asio.process().EventSignalled(event));
}

TEST_F(CommandTest, GetActiveClientNamesTheFirstPortWithAnOpenChannel) {
  Client& asio = Open("asio");
  ASSERT_NE(asio.AllocShared(4096), nullptr);
  EXPECT_EQ(asio.ActiveClient(), 0u);
  ASSERT_EQ(asio.Activate(0, 2, true), STATUS_SUCCESS);
  EXPECT_EQ(asio.ActiveClient(), 3u);
  ASSERT_EQ(asio.Activate(0, 2, false), STATUS_SUCCESS);
  EXPECT_EQ(asio.ActiveClient(), 0u);
}

}  // namespace
}  // namespace tqmdrv::testing
