// Mappings of the status block and the SharedBuffer across client
// processes: who may map, who may release, and what a release or a period
// change leaves of the halves the engine writes.
#include "driver_fixture.h"

namespace tqmdrv::testing {
namespace {

using namespace tqm;

class MappingTest : public DriverTest {
 protected:
  void SetUp() override { ASSERT_NE(Plug(), nullptr); }
  ULONG Period(Client& client) {
    return client.Command(CMD_CLASS_CONTROL, ControlOp::GetLatency).record.Get32(Field::Latency);
  }
  // The ASIO client's usual set-up: buffer, eight halves, channels 0 and 1.
  int32_t* StartStreaming(Client& asio, ULONG period) {
    int32_t* shared = asio.AllocShared(period * 32);
    if (!shared) return nullptr;
    for (ULONG d = 0; d < 2; ++d)
      for (ULONG c = 0; c < 2; ++c)
        for (ULONG h = 0; h < 2; ++h)
          if (asio.RegisterHalf(d, c, h, shared + ((d * 2 + c) * 2 + h) * period) != STATUS_SUCCESS) return nullptr;
    if (asio.Activate(3, 3, true) != STATUS_SUCCESS) return nullptr;
    return shared;
  }
};

TEST_F(MappingTest, StatusBlockMappings) {
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  DeviceStatusBlock* first = panel.MapStatus(CMD_CLASS_CONTROL);
  ASSERT_NE(first, nullptr);
  // Mapping again from the same process replaces the first mapping.
  DeviceStatusBlock* second = panel.MapStatus(CMD_CLASS_CONTROL);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_FALSE(panel.process().Contains(first, sizeof *first));
  EXPECT_TRUE(panel.process().Contains(second, sizeof *second));
  EXPECT_EQ(panel.process().MappingCount(), 1u);
  // Another process cannot take the panel's mapping while it lives.
  const Reply busy = asio.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, 1)});
  EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(asio.process().MappingCount(), 0u);

  // The stream mapping is a mapping of its own, of the same bytes.
  DeviceStatusBlock* stream = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->sampleRate, second->sampleRate);
  EXPECT_EQ(stream->periodFrames, Period(panel));
  second->meterEnable = 0x5A;
  EXPECT_EQ(stream->meterEnable, 0x5Au);

  // Any flag but 1 unmaps; unmapping twice is harmless.
  for (ULONG flag : {0u, 7u, 0u}) {
    EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, flag)}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(panel.process().MappingCount(), 0u) << flag;
  }
  EXPECT_EQ(asio.Command(CMD_CLASS_STREAM, StreamOp::MapStatusBlock, {Word(Field::MapFlag, 7)}).status,
            STATUS_SUCCESS);
  EXPECT_EQ(asio.process().MappingCount(), 0u);
  // Now the other process may map the control block.
  EXPECT_NE(asio.MapStatus(CMD_CLASS_CONTROL), nullptr);
}

TEST_F(MappingTest, SharedBufferAllocation) {
  Client& asio = Open("asio");
  EXPECT_EQ(asio.Health(), 0u);
  NTSTATUS status;
  EXPECT_EQ(asio.AllocShared(0, &status), nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);  // releasing nothing

  int32_t* first = asio.AllocShared(8192);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(asio.Health(), 1u);  // a buffer, nothing open
  for (int i = 0; i < 2048; ++i) first[i] = -1;
  int32_t* second = asio.AllocShared(8192);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_FALSE(asio.process().Contains(first, 4));
  EXPECT_EQ(asio.process().MappingCount(), 1u);
  bool zero = true;
  for (int i = 0; i < 2048; ++i) zero = zero && second[i] == 0;
  EXPECT_TRUE(zero);
  EXPECT_EQ(asio.AllocShared(0, &status), nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(asio.process().MappingCount(), 0u);
  EXPECT_EQ(asio.Health(), 0u);
}

TEST_F(MappingTest, AHealthyStreamKeepsItsBuffer) {
  HoldClock();
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  DeviceStatusBlock* status = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_NE(status, nullptr);
  const ULONG period = status->periodFrames;
  int32_t* shared = StartStreaming(asio, period);
  ASSERT_NE(shared, nullptr);
  Step(20);
  ASSERT_LT(status->watchdog, 10u);
  EXPECT_EQ(asio.Health(), 1u);

  // A second allocation while the client streams healthily is refused, and
  // the caller's cell reads 0.
  void** cell = static_cast<void**>(asio.process().Allocate(sizeof(void*)));
  *cell = reinterpret_cast<void*>(0x1234);
  const Reply refused = asio.Command(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer,
                                     {Word(Field::SharedLength, 4096), Slot(Field::SharedCell, cell)});
  EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(*cell, nullptr);
  // The panel leaving does not take it either.
  EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::SetRemovalEvent).status, STATUS_SUCCESS);
  EXPECT_EQ(asio.Health(), 1u);
  EXPECT_TRUE(asio.process().Contains(shared, period * 32));

  // Ten missed periods: the client counts as gone.
  for (int i = 0; i < 100 && status->watchdog < 10; ++i) Step(10);
  ASSERT_EQ(status->watchdog, 10u);
  EXPECT_EQ(asio.Health(), 0u);
  // Even now the panel's leaving does not take it: the client's handle is
  // open, and its cleanup is what releases a dead host's buffer.
  EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::SetRemovalEvent).status, STATUS_SUCCESS);
  Step(50);
  EXPECT_EQ(asio.process().MappingCount(), 2u);
  EXPECT_EQ(asio.RegisterHalf(1, 0, 0, shared), STATUS_SUCCESS);
  EXPECT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
  asio.Close();
  EXPECT_EQ(asio.process().MappingCount(), 0u);
  EXPECT_EQ(panel.Health(), 0u);
}

TEST_F(MappingTest, ACrashedHostReleasesBufferAndChannels) {
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  const ULONG period = Period(panel);
  ASSERT_NE(StartStreaming(asio, period), nullptr);
  EXPECT_EQ(panel.ActiveClient(), 3u);
  asio.process().Exit();
  EXPECT_EQ(panel.ActiveClient(), 0u);
  // The next host is not locked out.
  Client& next = Open("next host");
  EXPECT_EQ(next.Health(), 0u);
  ASSERT_NE(StartStreaming(next, period), nullptr);
  EXPECT_EQ(panel.ActiveClient(), 3u);
  EXPECT_EQ(next.Activate(3, 3, false), STATUS_SUCCESS);
}

TEST_F(MappingTest, HalvesNeverOutliveOrOutgrowTheirBuffer) {
  HoldClock();
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::SetLatency, {Word(Field::Latency, 64)}).status,
            STATUS_SUCCESS);
  // A buffer exactly as large as the eight halves at period 64.
  int32_t* shared = StartStreaming(asio, 64);
  ASSERT_NE(shared, nullptr);
  Step(30);
  // The period grows: halves that would reach past the buffer are dropped
  // before the engine runs the new period (a write past the block would be
  // caught by the pool's guard).
  ASSERT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::SetLatency, {Word(Field::Latency, 288)}).status,
            STATUS_SUCCESS);
  Step(30);
  // And a released buffer is no longer written.
  ASSERT_EQ(asio.AllocShared(0), nullptr);
  Step(30);
  // A half named after the release is refused.
  EXPECT_EQ(asio.RegisterHalf(1, 0, 0, shared), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tqmdrv::testing
