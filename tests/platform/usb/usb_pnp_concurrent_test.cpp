// The hub as a Plug and Play bus on the real clock: the device is unplugged
// while the clock thread completes and resubmits the function driver's
// transfers, and the manager's requests run on the unplugging thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/kernel/process.h"
#include "usb_pnp_fixture.h"

namespace tqm::usb::testing {
namespace {

std::string Hex(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(s));
  return text;
}

class UsbPnpConcurrentTest : public UsbPnpTestBase {
 protected:
  UsbPnpConcurrentTest() : UsbPnpTestBase(kernel::MachineOptions{kernel::ClockMode::Real}) {}
};

TEST_F(UsbPnpConcurrentTest, UnplugWhileStreamingEndsEveryTransferBeforeRemove) {
  Tqm27Port* port = hub_->Plug();
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(log_.Take().size(), 2u);
  kernel::Process& app = machine_.StartProcess("app");
  NTSTATUS opened;
  HANDLE handle = app.Open(InterfacePath(), &opened);
  ASSERT_NE(handle, nullptr) << Hex(opened);

  UsbClient requests(machine_, UsbClient::SendThrough{FunctionLower()});
  auto [record, playback] = requests.StartStreaming(1, 3, 96000);
  IsochStream in(FunctionLower(), record, 3, 3, 100 * 4);
  IsochStream out(FunctionLower(), playback, 3, 3, 96 * 4);
  in.Start();
  out.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  hub_->Unplug();
  EXPECT_EQ(machine_.DeviceNodeState(port->pdo()), kernel::NodeState::SurpriseRemoved);
  // No cancels: the stack ends them, as the function driver waits for it to.
  for (IsochStream* stream : {&in, &out}) {
    for (int i = 0; i < 400 && stream->InFlight() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(stream->InFlight(), 0);
    const auto done = stream->Take();
    ASSERT_FALSE(done.empty());
    EXPECT_GT(done.size(), 3u) << "transfers completed before the unplug";
    EXPECT_EQ(done.back().status, STATUS_DEVICE_NOT_CONNECTED) << Hex(done.back().status);
    EXPECT_EQ(done.back().usbd, USBD_STATUS_DEVICE_GONE) << Hex(done.back().usbd);
  }
  EXPECT_FALSE(port->Deleted());
  // The application notices on its own thread and closes its handle: REMOVE
  // comes from there.
  std::thread closer([&] { EXPECT_EQ(app.CloseHandle(handle), STATUS_SUCCESS); });
  closer.join();
  std::string seen;
  for (const auto& line : log_.Take()) seen += line + "; ";
  EXPECT_EQ(seen, "SURPRISE_REMOVAL; REMOVE; ");
  EXPECT_TRUE(port->Deleted());
  ASSERT_NE(hub_->Plug(), nullptr) << "the port takes a new device";
}

}  // namespace
}  // namespace tqm::usb::testing
