// Commands from two client processes on their own threads while the Plug
// and Play manager stops and restarts the device under them: no command may
// run on an Adapter being torn down, nothing may leak, every command ends.
#include <atomic>
#include <thread>

#include "driver_fixture.h"

namespace tqmdrv::testing {
namespace {

using namespace tqm;

TEST_F(DriverTest, CommandsRaceStopAndRestart) {
  ASSERT_NE(Plug(), nullptr);
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};

  std::thread panelThread([&] {
    auto* block = static_cast<MixerSettings*>(panel.process().Allocate(sizeof(MixerSettings)));
    for (int i = 0; !stop; ++i) {
      NTSTATUS s = STATUS_SUCCESS;
      switch (i % 5) {
        case 0: s = panel.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, 1)}).status; break;
        case 1: s = panel.Command(CMD_CLASS_CONTROL, ControlOp::GetSettings, {Slot(Field::SettingsAddress, block)}).status; break;
        case 2: s = panel.Command(CMD_CLASS_CONTROL, ControlOp::SetLatency, {Word(Field::Latency, 64 + 32 * (i % 7))}).status; break;
        case 3: s = panel.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock, {Word(Field::MapFlag, 0)}).status; break;
        default: s = panel.Command(CMD_CLASS_CONTROL, ControlOp::GetActiveClient).status; break;
      }
      if (s == STATUS_SUCCESS) served++;
    }
  });
  std::thread asioThread([&] {
    for (int i = 0; !stop; ++i) {
      if (asio.MapStatus(CMD_CLASS_STREAM)) served++;
      int32_t* shared = asio.AllocShared(288 * 32);
      if (shared) {
        asio.RegisterHalf(0, 0, 0, shared);
        asio.RegisterHalf(1, 0, 1, shared + 288);
        asio.Activate(3, 3, true);
        asio.Command(CMD_CLASS_STREAM, StreamOp::OutputReady, {Word(Field::ReadyHalf, i % 2)});
        asio.Activate(3, 3, false);
        asio.AllocShared(0);
      }
    }
  });
  for (int round = 0; round < 15; ++round) {
    EXPECT_EQ(machine_.RebalanceDevice(Pdo()), STATUS_SUCCESS) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  panelThread.join();
  asioThread.join();
  EXPECT_EQ(State(), NodeState::Started);
  EXPECT_GT(served.load(), 0);
  // Everything the clients held goes with their handles.
  panel.Close();
  asio.Close();
  EXPECT_EQ(panel.process().MappingCount(), 0u);
  EXPECT_EQ(asio.process().MappingCount(), 0u);
}

}  // namespace
}  // namespace tqmdrv::testing
