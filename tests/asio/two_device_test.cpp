// Two TQM27s: four channels each way, channels 2 and 3 on the device opened
// first (device 1 in the driver's numbering), as channels 0 and 1 of its port.
// Device 1 streams without a period event of its own, so its halves are not
// in step with the host's switches: the test plays a constant value per
// channel and finds each one again on the matching input.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "platform/bridge/tqmsim/control.h"
#include "tests/asio/asio_harness.h"
#include "tqm/command_record.h"

namespace {

using namespace asiotest;

constexpr int32_t Mark(long channel) { return int32_t(uint32_t(channel + 1) << 24 | 0x00420000u); }

TEST(TwoDevices, FourChannelsEachWayAndPairsAddressTheirDevice) {
  ASSERT_EQ(TqmSimPlugDevice(1), 0u);
  Host host;
  IASIO* d = CreateDriver();
  ASSERT_NE(d, nullptr);
  host.driver = d;
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  long in = 0, out = 0;
  ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 4);
  EXPECT_EQ(out, 4);
  const char* names[] = {"ORU TQM27 1/2:L", "ORU TQM27 1/2:R", "ORU TQM27 3/4:L", "ORU TQM27 3/4:R"};
  for (long c = 0; c < 4; ++c) {
    ASIOChannelInfo info{};
    info.channel = c;
    info.isInput = ASIOTrue;
    ASSERT_EQ(d->getChannelInfo(&info), ASE_OK) << c;
    EXPECT_STREQ(info.name, names[c]);
  }
  ASIOChannelInfo beyond{};
  beyond.channel = 4;
  EXPECT_EQ(d->getChannelInfo(&beyond), ASE_InvalidParameter);

  long period = 0, a, b, g;
  ASSERT_EQ(d->getBufferSize(&a, &b, &period, &g), ASE_OK);
  std::vector<ASIOBufferInfo> infos = host.AllChannels(4, 4);
  uint32_t from = 0;
  ASSERT_EQ(TqmSimCommandCount(0, &from), 0u);
  ASSERT_EQ(d->createBuffers(infos.data(), long(infos.size()), period, &host.callbacks), ASE_OK);
  // Channels 2 and 3 go to device 1 as its channels 0 and 1; the rate to both devices.
  uint32_t to = 0, halves = 0, rates = 0;
  ASSERT_EQ(TqmSimCommandCount(0, &to), 0u);
  for (uint32_t i = from; i < to; ++i) {
    TqmSimCommandEntry e{};
    ASSERT_EQ(TqmSimCommand(0, i, &e), 0u);
    const uint32_t channel = tqm::LoadLe32(e.record + tqm::Field::Channel);
    if (e.commandClass == tqm::CMD_CLASS_STREAM && e.subOp == tqm::StreamOp::SetClientBuffer) {
      EXPECT_LT(channel, 2u) << "command " << i;
      ++halves;
    }
    if (e.commandClass == tqm::CMD_CLASS_STREAM && e.subOp == tqm::StreamOp::SetSampleRate) ++rates;
  }
  EXPECT_EQ(halves, 16u);
  EXPECT_EQ(rates, 2u);
  for (const ASIOBufferInfo& info : infos) ASSERT_NE(info.buffers[0], nullptr) << info.channelNum;
  // Every output half holds its channel's mark from the start.
  for (const ASIOBufferInfo& info : infos) {
    if (info.isInput) continue;
    for (int half = 0; half < 2; ++half)
      for (long f = 0; f < period; ++f) static_cast<int32_t*>(info.buffers[half])[f] = Mark(info.channelNum);
  }
  // What each input carried while streaming, from either half.
  int32_t seen[4] = {};
  host.inSwitch = [&](long) {
    for (const ASIOBufferInfo& info : infos) {
      if (!info.isInput) continue;
      for (int half = 0; half < 2; ++half) {
        const int32_t v = static_cast<const int32_t*>(info.buffers[half])[period / 2];
        if (v != 0) seen[info.channelNum] = v;
      }
    }
  };
  d->outputReady();
  ASSERT_EQ(d->start(), ASE_OK);
  ASSERT_TRUE(WaitSwitches(host, 200));
  ASSERT_EQ(d->stop(), ASE_OK);
  host.MarkClosed();
  // Each input came back through its own device's loop with its own mark.
  for (long c = 0; c < 4; ++c) EXPECT_EQ(seen[c] & int32_t(0xFFFF0000u), Mark(c)) << "input " << c;
  EXPECT_EQ(d->disposeBuffers(), ASE_OK);
  EXPECT_EQ(d->Release(), 0u);
  EXPECT_EQ(host.callbacksAfterClose.load(), 0);
}

}  // namespace
