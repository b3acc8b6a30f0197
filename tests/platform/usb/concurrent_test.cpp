// The clock thread runs frames while another thread changes the device: class
// requests, settings, source and sink, faults, and reads of state and counters.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "usb_host.h"

namespace tqm::usb {
namespace {

using testing::UsbHost;

TEST(ConcurrentDevice, ClockThreadAndControlThreadShareTheDevice) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  host.device.SelectLoopback(48);
  host.device.CaptureDacToBuffer();
  constexpr int kFrames = 3000;
  std::atomic<bool> done{false};
  uint64_t delivered = 0, playedSamples = 0;

  std::thread clock([&] {
    std::vector<uint8_t> out(96 * 6), in(600);
    for (int frame = 0; frame < kFrames; ++frame) {
      // Packet size follows the record setting's rate the control thread moves.
      const uint32_t rate = host.device.State().playbackRate;
      const uint32_t n = rate == 44100 ? (frame % 10 == 3 ? 45 : 44) : rate / 1000;
      const FrameResult f = host.device.RunFrame(
          {std::span<const uint8_t>(out).first(n * 6), std::span<uint8_t>(in)});
      if (f.in == UsbStatus::Ok) delivered += f.inLength / 6;
    }
    done = true;
  });

  int requests = 0;
  const uint32_t rates[] = {44100, 48000, 96000};
  while (!done) {
    const uint32_t rate = rates[requests % 3];
    EXPECT_EQ(host.SetRate(kPlaybackEndpoint, rate), UsbStatus::Ok);
    EXPECT_EQ(host.SetRate(kRecordEndpoint, rate), UsbStatus::Ok);
    EXPECT_EQ(host.SetVolume(kPlaybackFeatureUnit, 1, uint16_t(-256 * (requests % 40))), UsbStatus::Ok);
    EXPECT_EQ(host.SetMute(kRecordFeatureUnit, requests % 2), UsbStatus::Ok);
    if (requests % 7 == 0) host.device.SelectSine(440, -12);
    if (requests % 7 == 3) host.device.SelectLoopback(uint32_t(requests % 100));
    if (requests % 11 == 0) host.device.InjectPacketErrors(kRecordEndpoint, 1);
    playedSamples += host.device.TakeDacCapture().size();
    (void)host.device.Counters();
    ++requests;
  }
  clock.join();
  const DeviceCounters c = host.device.Counters();
  EXPECT_EQ(c.frames, uint64_t(kFrames));
  EXPECT_EQ(c.inFrames, delivered);
  EXPECT_EQ(c.inPackets + c.packetErrors, uint64_t(kFrames)) << "every frame had an IN request";
  EXPECT_EQ(c.outPackets, uint64_t(kFrames));
  EXPECT_GT(requests, 0);
  ::testing::Test::RecordProperty("controlRequests", requests);
  std::cout << "control rounds during " << kFrames << " frames: " << requests
            << ", DAC samples captured: " << playedSamples << "\n";
}

}  // namespace
}  // namespace tqm::usb
