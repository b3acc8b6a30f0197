// The frame clock and the isochronous streams: packet sizes per rate and
// setting, the 44.1 kHz pattern, loopback, the DAC and its counters, and the
// faults that hit a running stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "usb_host.h"

namespace tqm::usb {
namespace {

using testing::Pack;
using testing::Unpack;
using testing::UsbHost;
using testing::WidthMask;

constexpr size_t kInRoom = 100 * 2 * 3;  // a host's IN packet buffer: 100 frames at 24-bit

// A deterministic signal, distinct in every sample.
std::vector<int32_t> Signal(size_t frames, uint32_t seed) {
  std::vector<int32_t> s(frames * 2);
  uint32_t x = seed;
  for (int32_t& v : s) {
    x = x * 1664525u + 1013904223u;
    v = int32_t(x);
  }
  return s;
}

// The host's own 44.1 kHz packet pattern, deliberately out of phase with the
// device's: a 45 whenever packet % 10 == 3.
uint32_t HostFrames(uint32_t rate, uint64_t packet) {
  if (rate == 44100) return packet % 10 == 3 ? 45 : 44;
  return rate / 1000;
}

TEST(FrameClock, PacketSizePerRateAndRecordSetting) {
  struct Row {
    uint8_t alt;
    uint32_t rate, bytes;
    const char* why;
  } rows[] = {
      {1, 48000, 48 * 4, "16-bit stereo: 4 bytes a frame"},
      {2, 48000, 48 * 6, "24-bit stereo: 6 bytes a frame"},
      {1, 96000, 96 * 4, "96 kHz record as the driver runs it"},
      {2, 96000, 96 * 6, "24-bit at 96 kHz"},
      {2, 44100, 44 * 6, "first 44.1 kHz packet has 44 frames"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(row.alt, 2, row.rate);
    std::vector<uint8_t> in(kInRoom);
    const FrameResult f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)});
    EXPECT_EQ(f.in, UsbStatus::Ok);
    EXPECT_EQ(f.inLength, row.bytes);
  }
}

TEST(FrameClock, TenSecondsAt44100Deliver441000FramesOneFortyFiveInEveryTen) {
  UsbHost host;
  host.StartStreams(2, 2, 44100);
  std::vector<uint8_t> in(kInRoom);
  std::vector<uint32_t> sizes;
  uint64_t total = 0;
  for (int frame = 0; frame < 10000; ++frame) {
    const FrameResult f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)});
    ASSERT_EQ(f.in, UsbStatus::Ok) << "frame " << frame;
    ASSERT_EQ(f.inLength % 6, 0u) << "frame " << frame;
    sizes.push_back(f.inLength / 6);
    total += f.inLength / 6;
  }
  EXPECT_EQ(total, 441000u);
  for (size_t i = 0; i < sizes.size(); ++i)
    ASSERT_TRUE(sizes[i] == 44 || sizes[i] == 45) << "packet " << i << " has " << sizes[i];
  for (size_t i = 0; i + 10 <= sizes.size(); ++i) {
    int big = 0;
    for (size_t k = i; k < i + 10; ++k) big += sizes[k] == 45;
    ASSERT_EQ(big, 1) << "packets " << i << ".." << i + 9;
  }
  const DeviceCounters c = host.device.Counters();
  EXPECT_EQ(c.inFrames, 441000u);
  EXPECT_EQ(c.inPackets, 10000u);
  EXPECT_EQ(c.inFramesLost, 0u);
}

// For every pair of widths the record stream repeats the playback stream, bit
// for bit in the narrower width's bits, `delay` frames after the frames
// captured in the millisecond the first OUT packet arrived.
// A drifting ADC clock: the record endpoint sends what the ADC made in each
// millisecond, a frame more (fast) or fewer (slow) whenever the drift has
// added up to a whole frame, never more than one; ten seconds carry the
// drifted number of frames. No drift is the exact 48 in every packet.
TEST(FrameClock, ADriftingRecordClockSendsAFrameMoreOrFewerNowAndThen) {
  struct Row {
    int32_t ppm;
    uint32_t shortest, longest;
    uint64_t frames;  // in 10 s at 48 kHz: 480000 (1 + ppm / 10^6)
    const char* why;
  } rows[] = {
      {0, 48, 48, 480000, "locked to the bus"},
      {100, 48, 49, 480048, "100 ppm fast: a 49 every ~208 ms"},
      {-2500, 47, 48, 478800, "2500 ppm slow"},
      {50000, 48, 49, 484800, "beyond the range: held at 10000 ppm"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(2, 2, 48000);
    host.device.SetRecordDrift(row.ppm);
    std::vector<uint8_t> in(kInRoom);
    uint64_t frames = 0;
    uint32_t shortest = ~0u, longest = 0;
    for (int ms = 0; ms < 10000; ++ms) {
      const FrameResult f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)});
      ASSERT_EQ(f.in, UsbStatus::Ok);
      const uint32_t n = f.inLength / 6;
      frames += n;
      shortest = std::min(shortest, n);
      longest = std::max(longest, n);
    }
    EXPECT_EQ(shortest, row.shortest);
    EXPECT_EQ(longest, row.longest);
    EXPECT_EQ(frames, row.frames);
  }
}

TEST(Loopback, BitExactAtTheNarrowerWidthAfterTheDelay) {
  struct Row {
    uint8_t recordAlt, playbackAlt;
    uint32_t rate, delay;
    const char* why;
  } rows[] = {
      {2, 2, 48000, 64, "24 -> 24"},
      {1, 2, 96000, 100, "24 -> 16: the 96 kHz case, top 16 bits survive"},
      {2, 3, 48000, 7, "16 -> 24: the 16-bit-flag case, low byte zero"},
      {1, 3, 48000, 1, "16 -> 16"},
      {2, 2, 44100, 1, "44.1 kHz: host and device 45s out of phase; one frame of delay absorbs it"},
      {1, 3, 44100, 300, "44.1 kHz 16 -> 16, long delay"},
      {2, 2, 48000, 0, "no delay at 48 kHz: the packet comes straight back"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.why << " (rate " << row.rate << ", delay " << row.delay << ")");
    UsbHost host;
    host.StartStreams(row.recordAlt, row.playbackAlt, row.rate);
    host.device.SelectLoopback(row.delay);
    const uint32_t inWidth = FindStreamingAlt(kRecordInterface, row.recordAlt)->subframeBytes;
    const uint32_t outWidth = FindStreamingAlt(kPlaybackInterface, row.playbackAlt)->subframeBytes;
    const uint32_t mask = WidthMask(std::min(inWidth, outWidth));

    std::vector<int32_t> sent, captured;
    size_t firstOutAt = 0;
    std::vector<uint8_t> in(kInRoom);
    const std::vector<int32_t> signal = Signal(300 * 100, 7);
    // Ten frames of record alone, then both.
    for (uint64_t frame = 0; frame < 300; ++frame) {
      FrameTransfers t;
      t.in = std::span<uint8_t>(in);
      std::vector<uint8_t> packet;
      if (frame >= 10) {
        if (frame == 10) firstOutAt = captured.size() / 2;
        const uint32_t n = HostFrames(row.rate, frame - 10);
        const std::vector<int32_t> chunk(signal.begin() + sent.size(),
                                         signal.begin() + sent.size() + 2 * n);
        packet = Pack(chunk, outWidth);
        for (int32_t s : chunk) sent.push_back(int32_t(uint32_t(s) & WidthMask(outWidth)));
        t.out = std::span<const uint8_t>(packet);
      }
      const FrameResult f = host.device.RunFrame(t);
      ASSERT_EQ(f.in, UsbStatus::Ok) << "frame " << frame;
      if (t.out) {
        ASSERT_EQ(f.out, UsbStatus::Ok) << "frame " << frame;
      }
      const std::vector<int32_t> got = Unpack(in.data(), f.inLength, inWidth);
      captured.insert(captured.end(), got.begin(), got.end());
    }
    size_t mismatches = 0, checked = 0;
    for (size_t i = 0; i < firstOutAt + row.delay && i < captured.size() / 2; ++i)
      for (int ch = 0; ch < 2; ++ch)
        if (captured[2 * i + ch] != 0 && mismatches++ == 0)
          ADD_FAILURE() << "frame " << i << " should be silence, is " << captured[2 * i + ch];
    for (size_t j = 0; firstOutAt + row.delay + j < captured.size() / 2 && 2 * j < sent.size(); ++j) {
      const size_t i = firstOutAt + row.delay + j;
      for (int ch = 0; ch < 2; ++ch) {
        ++checked;
        const uint32_t want = uint32_t(sent[2 * j + ch]) & mask;
        const uint32_t got = uint32_t(captured[2 * i + ch]);
        // The wider side carries nothing below the narrower side's bits.
        if (got != want && mismatches++ < 3)
          ADD_FAILURE() << "OUT frame " << j << " channel " << ch << " came back as 0x" << std::hex
                        << got << ", sent 0x" << want;
      }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(checked, 2u * 200 * (row.rate / 1000) / 2) << "most of the stream was compared";
    EXPECT_EQ(host.device.Counters().loopbackDryFrames, 0u);
  }
}

// With the device's packet pattern in phase or not, a DAC fed at the rate
// plays everything it was given, in order, at unity gain.
TEST(Dac, PlaysTheOutStreamInOrderAtUnityGain) {
  for (uint32_t rate : {44100u, 48000u, 96000u}) {
    SCOPED_TRACE(::testing::Message() << "rate " << rate);
    UsbHost host;
    host.StartStreams(2, 2, rate);
    host.device.CaptureDacToBuffer();
    const std::vector<int32_t> signal = Signal(100 * 100, 3);
    size_t sentSamples = 0;
    for (uint64_t frame = 0; frame < 100; ++frame) {
      const uint32_t n = HostFrames(rate, frame);
      const std::vector<int32_t> chunk(signal.begin() + sentSamples, signal.begin() + sentSamples + 2 * n);
      sentSamples += chunk.size();
      const std::vector<uint8_t> packet = Pack(chunk, 3);
      ASSERT_EQ(host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt}).out, UsbStatus::Ok);
    }
    const std::vector<int32_t> played = host.device.TakeDacCapture();
    // The DAC starts one millisecond after the first packet and keeps one
    // packet in its FIFO.
    ASSERT_GT(played.size(), sentSamples - 2 * 2 * (rate / 1000 + 1));
    for (size_t i = 0; i < played.size(); ++i)
      ASSERT_EQ(uint32_t(played[i]), uint32_t(signal[i]) & 0xFFFFFF00u) << "sample " << i;
    const DeviceCounters c = host.device.Counters();
    EXPECT_EQ(c.dacUnderruns, 0u);
    EXPECT_EQ(c.dacOverruns, 0u);
    EXPECT_EQ(c.outSizeMismatches, 0u);
  }
}

TEST(Dac, BufferCaptureKeepsAtMostItsLimitBetweenTakes) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  host.device.CaptureDacToBuffer(100);
  std::vector<int32_t> chunk;
  for (int i = 0; i < 48; ++i) chunk.insert(chunk.end(), {i << 8, -(i << 8)});
  const std::vector<uint8_t> packet = Pack(chunk, 3);
  for (int frame = 0; frame < 10; ++frame) host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt});
  std::vector<int32_t> played = host.device.TakeDacCapture();
  ASSERT_EQ(played.size(), 200u) << "9 ms played, 100 frames kept";
  EXPECT_EQ(played[2 * 48 + 2], 1 << 8) << "the first frames are kept, frame 49 is the packet's second";
  host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt});
  played = host.device.TakeDacCapture();
  EXPECT_EQ(played.size(), 96u) << "a take makes room again";
}

TEST(Dac, VolumeAndMuteApplyAsTheCodecDoes) {
  struct Row {
    uint16_t left, right;
    bool mute;
    double leftGain, rightGain;
    const char* why;
  } rows[] = {
      {0x0000, 0x0000, false, 1.0, 1.0, "0 dB passes the samples unchanged"},
      {0xFA00, 0x0000, false, 0.501187, 1.0, "-6 dB on the left only"},
      {0xC900, 0xEC00, false, 0.001778, 0.1, "-55 dB and -20 dB"},
      {0x0000, 0x0000, true, 0.0, 0.0, "mute on the master channel silences both"},
      {0x8000, 0x0000, false, 0.0, 1.0, "0x8000 is silence"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(2, 2, 48000);
    ASSERT_EQ(host.SetVolume(0x10, 1, row.left), UsbStatus::Ok);
    ASSERT_EQ(host.SetVolume(0x10, 2, row.right), UsbStatus::Ok);
    ASSERT_EQ(host.SetMute(0x10, row.mute), UsbStatus::Ok);
    host.device.CaptureDacToBuffer();
    std::vector<int32_t> chunk;
    for (int i = 0; i < 48; ++i) chunk.insert(chunk.end(), {0x40000000, -0x40000000});
    const std::vector<uint8_t> packet = Pack(chunk, 3);
    for (int frame = 0; frame < 3; ++frame)
      host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt});
    const std::vector<int32_t> played = host.device.TakeDacCapture();
    ASSERT_EQ(played.size(), 2u * 48 * 2) << "two milliseconds played";
    EXPECT_NEAR(played[0] / double(0x40000000), row.leftGain, 1e-5) << "left " << played[0];
    EXPECT_NEAR(played[1] / double(-0x40000000), row.rightGain, 1e-5) << "right " << played[1];
    if (row.leftGain == 1.0) {
      EXPECT_EQ(played[0], 0x40000000);
    }
  }
}

TEST(Dac, UnderrunsCountedWhenOutPacketsStop) {
  for (uint32_t rate : {44100u, 48000u}) {
    SCOPED_TRACE(::testing::Message() << "rate " << rate);
    UsbHost host;
    host.StartStreams(2, 2, rate);
    std::vector<uint8_t> packet45(45 * 6), packet44(44 * 6), packet48(48 * 6);
    auto packetFor = [&](uint64_t n) -> std::span<const uint8_t> {
      if (rate == 48000) return packet48;
      return HostFrames(rate, n) == 45 ? packet45 : packet44;
    };
    uint64_t n = 0;
    for (; n < 50; ++n) host.device.RunFrame({packetFor(n), std::nullopt});
    EXPECT_EQ(host.device.Counters().dacUnderruns, 0u) << "fed at the rate";
    // 20 ms without packets: the first plays the millisecond the FIFO holds,
    // each of the other 19 is an underrun.
    for (int i = 0; i < 20; ++i) host.device.RunFrame({});
    EXPECT_EQ(host.device.Counters().dacUnderruns, 19u);
    // Packets again: one millisecond to refill, then no further underruns.
    for (int i = 0; i < 50; ++i, ++n) host.device.RunFrame({packetFor(n), std::nullopt});
    EXPECT_EQ(host.device.Counters().dacUnderruns, 19u);
  }
}

TEST(Dac, OverrunsWhenTheHostSendsFasterThanTheRate) {
  UsbHost host;
  host.StartStreams(2, 2, 44100);
  std::vector<uint8_t> packet(48 * 6);  // 48 frames every millisecond into a 44.1 kHz DAC
  for (int i = 0; i < 400; ++i) host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt});
  const DeviceCounters c = host.device.Counters();
  // The FIFO (1024 frames) gains 3.9 frames a millisecond after the first
  // 48-frame prime: it fills within 250 ms; every packet after that overflows.
  EXPECT_GT(c.dacOverruns, 100u);
  EXPECT_LT(c.dacOverruns, 200u);
  EXPECT_EQ(c.outSizeMismatches, 400u) << "48 frames disagree with 44.1 kHz";
}

TEST(Counters, OutPacketsWhoseSizeDisagreesWithTheRate) {
  struct Row {
    uint8_t playbackAlt;
    uint32_t rate, bytes;
    bool mismatch;
    const char* why;
  } rows[] = {
      {2, 48000, 48 * 6, false, "48 frames at 48 kHz"},
      {2, 48000, 47 * 6, true, "one frame short"},
      {2, 48000, 49 * 6, true, "one frame long"},
      {2, 44100, 44 * 6, false, "44 at 44.1 kHz"},
      {2, 44100, 45 * 6, false, "45 at 44.1 kHz"},
      {2, 44100, 46 * 6, true, "46 at 44.1 kHz"},
      {2, 96000, 96 * 6, false, "96 at 96 kHz"},
      {2, 48000, 48 * 6 + 3, true, "half a frame too much"},
      {3, 48000, 48 * 4, false, "16-bit packet on the 16-bit setting"},
      {2, 48000, 48 * 4, true, "16-bit-sized packet on the 24-bit setting"},
      {2, 48000, 0, true, "empty packet"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(2, row.playbackAlt, row.rate);
    std::vector<uint8_t> packet(row.bytes);
    EXPECT_EQ(host.device.RunFrame({std::span<const uint8_t>(packet), std::nullopt}).out, UsbStatus::Ok);
    EXPECT_EQ(host.device.Counters().outSizeMismatches, row.mismatch ? 1u : 0u);
  }
}

TEST(Counters, InFramesLostWhileNoRequestIsPending) {
  UsbHost host;
  host.StartStreams(2, 2, 44100);
  std::vector<uint8_t> in(kInRoom);
  uint64_t delivered = 0;
  for (int frame = 0; frame < 100; ++frame) {
    // Every third frame after the first finds no IN transfer pending.
    if (frame % 3 == 1) {
      host.device.RunFrame({});
    } else {
      delivered += host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)}).inLength / 6;
    }
  }
  const DeviceCounters c = host.device.Counters();
  EXPECT_EQ(c.inFramesLost + delivered, 4410u) << "100 ms at 44.1 kHz";
  EXPECT_EQ(c.inFrames, delivered);
  EXPECT_GE(c.inFramesLost, 33u * 44);
  EXPECT_LE(c.inFramesLost, 33u * 45);
}

TEST(StreamFaults, StalledEndpointFailsUntilThePipeIsReset) {
  enum class Reset { Pipe, ClearFeature, SetInterface };
  struct Row {
    uint8_t endpoint;
    Reset reset;
    const char* why;
  } rows[] = {
      {0x82, Reset::Pipe, "record, pipe reset"},
      {0x03, Reset::Pipe, "playback, pipe reset"},
      {0x82, Reset::ClearFeature, "record, CLEAR_FEATURE(ENDPOINT_HALT) on endpoint 0"},
      {0x03, Reset::SetInterface, "playback, selecting the setting again resets the halt as USB defines"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    host.StartStreams(2, 2, 48000);
    host.device.HaltEndpoint(row.endpoint);
    std::vector<uint8_t> out(288), in(kInRoom);
    const FrameTransfers both{std::span<const uint8_t>(out), std::span<uint8_t>(in)};
    for (int i = 0; i < 3; ++i) {
      const FrameResult f = host.device.RunFrame(both);
      const UsbStatus s = row.endpoint == 0x82 ? f.in : f.out;
      const UsbStatus other = row.endpoint == 0x82 ? f.out : f.in;
      EXPECT_EQ(s, UsbStatus::Stall) << "frame " << i;
      EXPECT_EQ(other, UsbStatus::Ok) << "frame " << i << ": the other endpoint runs on";
    }
    const testing::Reply status = host.In(0x82, 0x00, 0, row.endpoint, 2);
    EXPECT_EQ(status.data, (std::vector<uint8_t>{1, 0})) << "GET_STATUS shows the halt";
    switch (row.reset) {
      case Reset::Pipe:
        ASSERT_EQ(host.device.ClearHalt(row.endpoint), UsbStatus::Ok);
        break;
      case Reset::ClearFeature:
        ASSERT_EQ(host.Out(0x02, 0x01, 0, row.endpoint, {}), UsbStatus::Ok);
        break;
      case Reset::SetInterface:
        ASSERT_EQ(host.SelectAlt(kPlaybackInterface, 2), UsbStatus::Ok);
        break;
    }
    const FrameResult f = host.device.RunFrame(both);
    EXPECT_EQ(f.in, UsbStatus::Ok);
    EXPECT_EQ(f.out, UsbStatus::Ok);
  }
}

TEST(StreamFaults, PacketErrorsFailThatManyPackets) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  host.device.InjectPacketErrors(0x82, 3);
  host.device.InjectPacketErrors(0x03, 2);
  std::vector<uint8_t> out(288), in(kInRoom);
  const FrameTransfers both{std::span<const uint8_t>(out), std::span<uint8_t>(in)};
  const UsbStatus nr = UsbStatus::NotResponding, ok = UsbStatus::Ok;
  const struct {
    UsbStatus in, out;
    uint32_t inLength;
  } expected[] = {{nr, nr, 0}, {nr, nr, 0}, {nr, ok, 0}, {ok, ok, 288}, {ok, ok, 288}};
  for (size_t i = 0; i < std::size(expected); ++i) {
    const FrameResult f = host.device.RunFrame(both);
    EXPECT_EQ(f.in, expected[i].in) << "frame " << i;
    EXPECT_EQ(f.out, expected[i].out) << "frame " << i;
    EXPECT_EQ(f.inLength, expected[i].inLength) << "frame " << i;
  }
  EXPECT_EQ(host.device.Counters().packetErrors, 5u);
  EXPECT_EQ(host.device.Counters().outPackets, 3u) << "failed OUT packets never reached the DAC";
}

TEST(StreamFaults, TransfersToEndpointsOfSettingZeroOrTooSmallBuffers) {
  UsbHost host;
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  std::vector<uint8_t> out(288), in(kInRoom);
  FrameResult f = host.device.RunFrame({std::span<const uint8_t>(out), std::span<uint8_t>(in)});
  EXPECT_EQ(f.out, UsbStatus::NoEndpoint) << "playback at setting 0";
  EXPECT_EQ(f.in, UsbStatus::NoEndpoint) << "record at setting 0";
  host.StartStreams(2, 2, 96000);
  std::vector<uint8_t> small(96 * 6 - 1);
  f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(small)});
  EXPECT_EQ(f.in, UsbStatus::DataOverrun) << "96 frames do not fit in " << small.size() << " bytes";
  EXPECT_EQ(f.inLength, 0u);
}

TEST(AdcSources, SineAndSilenceReachTheRecordStream) {
  UsbHost host;
  host.StartStreams(2, 2, 48000);
  host.device.SelectSine(1000, -6.0);
  std::vector<uint8_t> in(kInRoom);
  std::vector<int32_t> captured;
  for (int frame = 0; frame < 10; ++frame) {
    const FrameResult f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)});
    const std::vector<int32_t> got = Unpack(in.data(), f.inLength, 3);
    captured.insert(captured.end(), got.begin(), got.end());
  }
  int32_t peak = 0;
  for (size_t i = 0; i < captured.size(); i += 2) peak = std::max(peak, captured[i]);
  EXPECT_NEAR(peak / 2147483648.0, 0.501187, 1e-3) << "-6 dBFS peak, got " << peak;
  // A 1 kHz sine at 48 kHz repeats every 48 frames.
  EXPECT_NEAR(captured[2 * 100], captured[2 * 148], 512.0);
  // Left is sin, right is cos: at frame 12 (a quarter period) left is at its peak.
  EXPECT_NEAR(captured[2 * 12], peak, 512.0);

  host.device.SelectSilence();
  const FrameResult f = host.device.RunFrame({std::nullopt, std::span<uint8_t>(in)});
  for (int32_t s : Unpack(in.data(), f.inLength, 3)) ASSERT_EQ(s, 0);
}

TEST(AdcSources, RecordVolumeAppliesToWhatTheAdcHears) {
  UsbHost host;
  host.StartStreams(2, 3, 48000);
  host.device.SelectLoopback(0);
  ASSERT_EQ(host.SetVolume(0x0E, 1, 0xFA00), UsbStatus::Ok);  // -6 dB left
  ASSERT_EQ(host.SetMute(0x0E, false), UsbStatus::Ok);
  std::vector<int32_t> chunk;
  for (int i = 0; i < 48; ++i) chunk.insert(chunk.end(), {0x40000000, 0x40000000});
  const std::vector<uint8_t> packet = Pack(chunk, 2);
  std::vector<uint8_t> in(kInRoom);
  const FrameResult f = host.device.RunFrame({std::span<const uint8_t>(packet), std::span<uint8_t>(in)});
  const std::vector<int32_t> got = Unpack(in.data(), f.inLength, 3);
  ASSERT_EQ(got.size(), 96u);
  EXPECT_NEAR(got[0] / double(0x40000000), 0.501187, 1e-5) << got[0];
  EXPECT_EQ(got[1], 0x40000000) << "right channel at 0 dB";
  ASSERT_EQ(host.SetMute(0x0E, true), UsbStatus::Ok);
  const FrameResult g = host.device.RunFrame({std::span<const uint8_t>(packet), std::span<uint8_t>(in)});
  for (int32_t s : Unpack(in.data(), g.inLength, 3)) ASSERT_EQ(s, 0);
}

}  // namespace
}  // namespace tqm::usb
