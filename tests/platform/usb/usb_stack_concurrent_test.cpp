// The USB stack with the clock running on its own (real time): completions
// and resubmissions on the clock thread race the client's control requests,
// its cancels and the device leaving the bus. Run under the race detector.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/platform/usb/usb_stack_fixture.h"

namespace tqm::usb::testing {
namespace {

// Each test runs with completions at the end of their last frame and with
// completions held back up to two frames (delivered in batches, racing the
// cancels and the unplug).
class UsbStackConcurrentTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  UsbStackConcurrentTest()
      : machine_(kernel::MachineOptions{kernel::ClockMode::Real}), hub_(machine_), port_(hub_.Plug()) {
    PortModes modes = port_->Modes();
    modes.completionDelayFrames = GetParam();
    port_->SetModes(modes);
    client_ = std::make_unique<UsbClient>(machine_, port_->pdo());
  }
  ~UsbStackConcurrentTest() override { client_.reset(); }

  kernel::Machine machine_;
  UsbHub hub_;
  Tqm27Port* port_;
  std::unique_ptr<UsbClient> client_;
};

// Full duplex while the client changes volume and reads descriptors, then a
// stop whose cancels race the clock thread's completions.
TEST_P(UsbStackConcurrentTest, StreamsRunWhileControlRequestsAndCancelsRace) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  IsochStream in(client_->lower(), record, 4, 2, 100 * 6);
  IsochStream out(client_->lower(), playback, 4, 2, 48 * 6);
  in.Start();
  out.Start();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  int requests = 0;
  while (std::chrono::steady_clock::now() < until) {
    const auto volume = client_->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0201, 0x1001,
                                              {UCHAR(requests), 0xFF});
    ASSERT_EQ(volume.usbd, USBD_STATUS_SUCCESS) << Hex(volume.usbd);
    ASSERT_EQ(client_->GetDescriptor(2, 0, 0, 9).usbd, USBD_STATUS_SUCCESS);
    ++requests;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  out.Stop(2000);
  in.Stop(2000);
  EXPECT_EQ(in.InFlight(), 0);
  EXPECT_EQ(out.InFlight(), 0);
  size_t succeeded = 0;
  for (IsochStream* stream : {&in, &out}) {
    for (const auto& c : stream->Take()) {
      if (c.status == STATUS_SUCCESS) {
        ++succeeded;
        EXPECT_EQ(c.usbd, USBD_STATUS_SUCCESS);
      } else {
        EXPECT_EQ(c.status, STATUS_CANCELLED) << Hex(c.status);
        EXPECT_EQ(c.usbd, USBD_STATUS_CANCELED) << Hex(c.usbd);
      }
    }
  }
  EXPECT_GT(succeeded, 50u) << "transfers completed while the requests ran (" << requests << " requests)";
  EXPECT_EQ(port_->device().State().playback.volume[0], int16_t(0xFF00 | UCHAR(requests - 1)));
}

// The device leaves the bus while the clock thread is completing and
// resubmitting: every transfer still ends, as a vanished device's.
TEST_P(UsbStackConcurrentTest, UnplugDuringStreamingEndsEveryTransfer) {
  auto [record, playback] = client_->StartStreaming(1, 3, 96000);
  IsochStream in(client_->lower(), record, 3, 3, 100 * 4);
  IsochStream out(client_->lower(), playback, 3, 3, 96 * 4);
  in.Start();
  out.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  hub_.Unplug();
  // No cancels: the stack itself must end them.
  for (IsochStream* stream : {&in, &out}) {
    for (int i = 0; i < 200 && stream->InFlight() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(stream->InFlight(), 0);
    const auto done = stream->Take();
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back().status, STATUS_DEVICE_NOT_CONNECTED) << Hex(done.back().status);
    EXPECT_EQ(done.back().usbd, USBD_STATUS_DEVICE_GONE) << Hex(done.back().usbd);
  }
}

INSTANTIATE_TEST_SUITE_P(CompletionDelay, UsbStackConcurrentTest, ::testing::Values(0u, 2u));

}  // namespace
}  // namespace tqm::usb::testing
