// Isochronous transfers through the USB stack, kept in flight by a client
// driver that resubmits from its completion routines on the clock thread:
// scheduling, packet sizes and the 44.1 kHz pattern, loopback through the
// device, underruns, cancel and abort, injected faults and surprise removal.
#include <cmath>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "tests/platform/kernel/kernel_fixture.h"
#include "tests/platform/usb/usb_host.h"
#include "tests/platform/usb/usb_stack_fixture.h"

namespace tqm::usb::testing {
namespace {

class UsbIsochTest : public UsbStackTest {
 protected:
  // For the tests that count frames exactly: ASAP on an idle pipe starts in
  // the current frame and every completion comes at the end of its last frame.
  void ExactTiming() {
    PortModes modes = port_->Modes();
    modes.asapLead = false;
    modes.completionDelayFrames = 0;
    port_->SetModes(modes);
  }
};

constexpr ULONG kInStride = 100 * 6;  // room for 100 frames at 24-bit, as a host leaves

TEST_F(UsbIsochTest, TransfersAreScheduledBackToBackAsSoonAsPossible) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  Step(3);
  const ULONG frameAtStart = ULONG(device().FrameNumber());
  IsochStream in(client_->lower(), record, 3, 5, kInStride);
  in.Start();
  // Nothing completes before the clock moves: transfers are the bus's work.
  EXPECT_TRUE(in.Take().empty());
  EXPECT_EQ(in.InFlight(), 3);
  Step(40);
  // Read before the stop: the frames after it have no transfer to go to.
  const uint64_t lost = device().Counters().inFramesLost;
  in.Stop();
  std::vector<IsochStream::Completed> done = in.Take();
  ASSERT_GE(done.size(), 8u);
  // The idle pipe's first transfer starts after the controller's lead.
  EXPECT_GE(done[0].startFrame, frameAtStart + 2);
  EXPECT_LE(done[0].startFrame, frameAtStart + 3);
  for (size_t i = 0; i < done.size(); ++i) {
    if (done[i].status == STATUS_CANCELLED) {
      EXPECT_EQ(done[i].usbd, USBD_STATUS_CANCELED) << Hex(done[i].usbd);
      continue;
    }
    ASSERT_EQ(done[i].status, STATUS_SUCCESS) << "transfer " << i << " " << Hex(done[i].status);
    EXPECT_EQ(done[i].usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(done[i].errorCount, 0u);
    if (i > 0) {
      EXPECT_EQ(done[i].startFrame, done[i - 1].startFrame + 5) << "transfer " << i;
    }
    for (const auto& p : done[i].packets) {
      EXPECT_EQ(p.Status, USBD_STATUS_SUCCESS);
      EXPECT_EQ(p.Length, 48u * 6);  // 48 frames of 24-bit stereo each millisecond
    }
  }
  EXPECT_EQ(lost, 0u) << "frames before the stream's first transfer are not lost";
}

// A transfer may name its start frame: it waits on the bus until then and the
// pipe's later transfers follow it back to back. Its packets for frames
// already past (the current one included: it is being scheduled) end late
// without crossing the bus, the rest cross in their frames; a transfer wholly
// in the past fails, and a frame beyond the controller's window either way
// is refused with USBD_STATUS_BAD_START_FRAME.
TEST_F(UsbIsochTest, AFixedStartFrameWaitsForItsFrameOrItsPastPacketsEndLate) {
  struct Row {
    const char* why;
    int32_t ahead;  // start frame - current frame
    ULONG late;     // packets of the first 5 that end late
    bool refused;
  };
  const Row rows[] = {
      {"three frames ahead", 3, 0, false}, {"the next frame", 1, 0, false},
      {"the current frame", 0, 1, false},  {"two frames past", -2, 3, false},
      {"wholly past", -7, 5, false},       {"beyond the window ahead", 2000, 0, true},
      {"beyond the window past", -2000, 0, true},
  };
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Step(10);
    const ULONG now = ULONG(device().FrameNumber());
    IsochStream in(client_->lower(), record, 3, 5, kInStride);
    in.SetFirstStartFrame(ULONG(int32_t(now) + row.ahead));
    in.Start();
    Step(row.ahead > 0 && !row.refused ? uint32_t(row.ahead) + 20 : 20);
    in.Stop();
    std::vector<IsochStream::Completed> done = in.Take();
    ASSERT_FALSE(done.empty());
    const IsochStream::Completed& first = done[0];
    if (row.refused) {
      EXPECT_EQ(first.usbd, USBD_STATUS_BAD_START_FRAME) << Hex(first.usbd);
      EXPECT_FALSE(NT_SUCCESS(first.status));
      continue;
    }
    EXPECT_EQ(first.startFrame, now + ULONG(row.ahead));
    EXPECT_EQ(first.errorCount, row.late);
    for (ULONG k = 0; k < first.packets.size(); ++k) {
      SCOPED_TRACE("packet " + std::to_string(k));
      if (k < row.late) {
        EXPECT_EQ(first.packets[k].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE) << Hex(first.packets[k].Status);
        EXPECT_EQ(first.packets[k].Length, 0u);
      } else {
        EXPECT_EQ(first.packets[k].Status, USBD_STATUS_SUCCESS) << Hex(first.packets[k].Status);
        EXPECT_EQ(first.packets[k].Length, 48u * 6);
      }
    }
    if (row.late == first.packets.size()) {
      EXPECT_EQ(first.usbd, USBD_STATUS_ISOCH_REQUEST_FAILED) << Hex(first.usbd);
      EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL) << Hex(first.status);
    } else {
      EXPECT_EQ(first.usbd, USBD_STATUS_SUCCESS) << Hex(first.usbd);
      EXPECT_EQ(first.status, STATUS_SUCCESS) << Hex(first.status);
    }
    // The client resubmits only what succeeded; the later transfers of the
    // start follow the first back to back.
    for (size_t i = 1; i < done.size() && done[i].status == STATUS_SUCCESS && row.late < 5; ++i)
      EXPECT_EQ(done[i].startFrame, done[i - 1].startFrame + 5) << "transfer " << i;
  }
}

// A finished transfer's completion may come up to the port's completion delay
// later, several in one frame, and what the client resubmits then still joins
// its pipe behind what is queued: per pipe the completions keep their order,
// every IN frame reaches a transfer, and the delays follow the seed.
TEST_F(UsbIsochTest, CompletionsComeLateInOrderAndBatchedWithoutLosingFrames) {
  struct Run {
    uint32_t delay;
    uint64_t seed;
  };
  const Run runs[] = {{0, 7}, {2, 7}, {2, 8}};
  std::vector<std::vector<int64_t>> lateness;  // per run, per completion: ms after its last frame
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  for (const Run& run : runs) {
    SCOPED_TRACE("delay up to " + std::to_string(run.delay) + " seed " + std::to_string(run.seed));
    PortModes modes = port_->Modes();
    modes.completionDelayFrames = run.delay;
    modes.seed = run.seed;
    port_->SetModes(modes);
    Step(5);
    const ULONG start = ULONG(device().FrameNumber()) + 3;
    IsochStream in(client_->lower(), record, 4, 1, kInStride);
    in.SetFirstStartFrame(start);
    in.Start();
    Step(4);  // the first transfer is on the bus
    const uint64_t lostBefore = device().Counters().inFramesLost;
    Step(200);
    EXPECT_EQ(device().Counters().inFramesLost, lostBefore) << "an IN transfer was queued in every frame";
    in.Stop();
    const auto done = in.Take();
    ASSERT_GT(done.size(), 150u);
    std::vector<int64_t> late;
    std::map<int64_t, int> perMs;
    for (size_t i = 0; i < done.size() && done[i].status == STATUS_SUCCESS; ++i) {
      if (i > 0) EXPECT_EQ(done[i].startFrame, done[i - 1].startFrame + 1) << "completion " << i;
      // Frame f's work runs at a fixed offset from millisecond f; the least
      // lateness seen is that offset.
      late.push_back(done[i].completedAtMs - int64_t(done[i].startFrame));
      ++perMs[done[i].completedAtMs];
    }
    ASSERT_GT(late.size(), 150u);
    const int64_t base = *std::min_element(late.begin(), late.end());
    int batched = 0;
    for (auto [ms, count] : perMs) batched += count > 1;
    for (int64_t& l : late) {
      l -= base;
      EXPECT_GE(l, 0);
      EXPECT_LE(l, int64_t(run.delay));
    }
    if (run.delay == 0) {
      EXPECT_EQ(*std::max_element(late.begin(), late.end()), 0);
      EXPECT_EQ(batched, 0);
    } else {
      EXPECT_GT(batched, 10) << "completions held back arrive together";
    }
    late.resize(150);
    lateness.push_back(late);
  }
  EXPECT_NE(lateness[1], lateness[2]) << "another seed, other delays";
}

// Ten seconds at 44.1 kHz: 441000 frames, nine packets of 44 and one of 45 in
// every ten consecutive packets.
TEST_F(UsbIsochTest, TenSecondsAt44100DeliverExactly441000Frames) {
  auto [record, playback] = client_->StartStreaming(1, 2, 44100);
  const uint64_t lostBefore = device().Counters().inFramesLost;
  IsochStream in(client_->lower(), record, 4, 10, kInStride);
  in.Start();
  Step(10000 + 50);
  // Read before the stop: the frames after it have no transfer to go to.
  EXPECT_EQ(device().Counters().inFramesLost, lostBefore) << "an IN request was pending in every frame";
  in.Stop();
  std::vector<uint32_t> frames;  // per packet, in bus order
  for (const auto& c : in.Take()) {
    if (c.status != STATUS_SUCCESS) continue;
    for (const auto& p : c.packets) frames.push_back(p.Length / 4);
  }
  ASSERT_GE(frames.size(), 10000u);
  frames.resize(10000);
  uint64_t total = 0;
  for (uint32_t f : frames) total += f;
  EXPECT_EQ(total, 441000u);
  size_t badWindows = 0;
  for (size_t i = 0; i + 10 <= frames.size(); ++i) {
    int fortyFives = 0, others = 0;
    for (size_t k = i; k < i + 10; ++k) {
      fortyFives += frames[k] == 45;
      others += frames[k] != 44 && frames[k] != 45;
    }
    if ((fortyFives != 1 || others != 0) && badWindows++ < 3)
      ADD_FAILURE() << "packets " << i << ".." << i + 9 << " hold " << fortyFives << " packets of 45 and "
                    << others << " of neither size";
  }
  EXPECT_EQ(badWindows, 0u);
}

// OUT packets take their lengths from the offsets; the last packet takes the
// rest of the transfer, here the extra frame of the 44.1 kHz pattern.
TEST_F(UsbIsochTest, OutPacketLengthsComeFromTheOffsets) {
  ExactTiming();
  auto [record, playback] = client_->StartStreaming(2, 2, 44100);
  constexpr ULONG kFrameBytes = 6;
  IsochStream out(client_->lower(), playback, 1, 10, 44 * kFrameBytes,
                  [](UCHAR*, _URB_ISOCH_TRANSFER& urb) { return urb.NumberOfPackets * 44 * kFrameBytes + kFrameBytes; });
  const DeviceCounters before = device().Counters();
  out.Start();
  out.SetRunning(false);
  Step(12);
  const DeviceCounters after = device().Counters();
  const auto done = out.Take();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].status, STATUS_SUCCESS) << Hex(done[0].status);
  EXPECT_EQ(after.outPackets - before.outPackets, 10u);
  EXPECT_EQ(after.outFrames - before.outFrames, 441u);
  EXPECT_EQ(after.outSizeMismatches - before.outSizeMismatches, 0u);
}

// What goes out comes back through the device's loopback, bit for bit at the
// narrower of the two widths, after the configured delay.
TEST_F(UsbIsochTest, LoopbackIsBitExactAtTheNarrowerWidthForEveryWidthPair) {
  struct Row {
    UCHAR recordAlt, playbackAlt;
    uint32_t delay;
    const char* why;
  } rows[] = {
      {2, 2, 64, "24 -> 24"},
      {1, 2, 100, "24 -> 16: the top 16 bits survive"},
      {2, 3, 7, "16 -> 24: the low byte comes back zero"},
      {1, 3, 1, "16 -> 16"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    // Each row on a freshly plugged device.
    client_.reset();
    hub_.Unplug();
    {
      PDEVICE_OBJECT pdo = port_->pdo();
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildDeviceIoControlRequest(0, pdo, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
      IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
      IoCallDriver(pdo, irp);
    }
    port_ = hub_.Plug();
    ASSERT_NE(port_, nullptr);
    ExactTiming();
    client_ = std::make_unique<UsbClient>(machine_, port_->pdo());

    auto [record, playback] = client_->StartStreaming(row.recordAlt, row.playbackAlt, 48000);
    device().SelectLoopback(row.delay);
    const uint32_t inWidth = FindStreamingAlt(kRecordInterface, row.recordAlt)->subframeBytes;
    const uint32_t outWidth = FindStreamingAlt(kPlaybackInterface, row.playbackAlt)->subframeBytes;
    const uint32_t mask = WidthMask(std::min(inWidth, outWidth));

    std::vector<int32_t> signal(2 * 48 * 400);
    uint32_t x = row.delay + 1;
    for (int32_t& v : signal) v = int32_t(x = x * 1664525u + 1013904223u);
    std::vector<int32_t> sent;
    IsochStream in(client_->lower(), record, 3, 4, kInStride);
    IsochStream out(client_->lower(), playback, 3, 4, 48 * 2 * outWidth,
                    [&](UCHAR* buffer, _URB_ISOCH_TRANSFER& urb) {
                      const size_t samples = urb.NumberOfPackets * 48 * 2;
                      std::vector<int32_t> chunk(signal.begin() + sent.size(),
                                                 signal.begin() + sent.size() + samples);
                      const std::vector<uint8_t> bytes = Pack(chunk, outWidth);
                      std::copy(bytes.begin(), bytes.end(), buffer);
                      for (int32_t s : chunk) sent.push_back(int32_t(uint32_t(s) & WidthMask(outWidth)));
                      return ULONG(bytes.size());
                    });
    in.Start();
    Step(5);
    out.Start();
    Step(300);
    out.Stop();
    in.Stop();

    // The IN frames by bus frame, and where the first OUT packet went.
    std::map<ULONG, std::vector<int32_t>> byFrame;
    for (const auto& c : in.Take()) {
      if (c.status != STATUS_SUCCESS) continue;
      size_t at = 0;
      for (ULONG k = 0; k < c.packets.size(); ++k) {
        byFrame[c.startFrame + k] = Unpack(c.data.data() + at, c.packets[k].Length, inWidth);
        at += c.packets[k].Length;
      }
    }
    const auto outs = out.Take();
    ASSERT_FALSE(outs.empty());
    const ULONG firstOutFrame = outs[0].startFrame;
    std::vector<int32_t> captured;
    size_t firstOutAt = 0;
    for (const auto& [frame, samples] : byFrame) {
      if (frame == firstOutFrame) firstOutAt = captured.size() / 2;
      captured.insert(captured.end(), samples.begin(), samples.end());
    }
    ASSERT_GT(firstOutAt, 0u);
    size_t mismatches = 0, checked = 0;
    for (size_t j = 0; firstOutAt + row.delay + j < captured.size() / 2 && 2 * j + 1 < sent.size(); ++j) {
      for (int ch = 0; ch < 2; ++ch) {
        ++checked;
        const uint32_t want = uint32_t(sent[2 * j + ch]) & mask;
        const uint32_t got = uint32_t(captured[2 * (firstOutAt + row.delay + j) + ch]);
        if (got != want && mismatches++ < 3)
          ADD_FAILURE() << "OUT frame " << j << " channel " << ch << " came back as 0x" << std::hex << got
                        << ", sent 0x" << want;
      }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(checked, 2u * 48 * 250) << "most of the stream was compared";
  }
}

TEST_F(UsbIsochTest, UnderrunsAreCountedWhenOutRequestsStop) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  IsochStream out(client_->lower(), playback, 3, 4, 48 * 6);
  out.Start();
  Step(200);
  const uint64_t streaming = device().Counters().dacUnderruns;
  out.SetRunning(false);
  Step(50);
  const uint64_t stopped = device().Counters().dacUnderruns;
  EXPECT_EQ(streaming, 0u) << "a stream fed at the rate never underruns";
  EXPECT_GT(stopped, streaming) << "underruns " << streaming << " -> " << stopped;
  EXPECT_EQ(out.InFlight(), 0);
}

// Cancel and abort, in the stack's two ways: by default a cancelled transfer
// is only marked and completes at the next frame, and an abort completes
// before the transfers it aborted, which complete at the frame after; inline,
// each cancelled transfer comes back from IoCancelIrp itself and every
// aborted one before the abort request, inside IoCallDriver.
TEST_F(UsbIsochTest, CancelAndAbortCompletePendingTransfers) {
  for (const bool inline_ : {false, true}) {
    SCOPED_TRACE(inline_ ? "inline" : "at the next frame");
    PortModes modes;
    modes.cancelInline = modes.abortInline = modes.controlInline = inline_;
    port_->SetModes(modes);
    const uint64_t cancelledBefore = port_->Counters().cancelled;
    auto [record, playback] = client_->StartStreaming(2, 2, 48000);
    {
      IsochStream in(client_->lower(), record, 4, 10, kInStride);
      in.Start();
      Step(3);
      in.Cancel();
      EXPECT_EQ(in.InFlight(), inline_ ? 0 : 4);
      Step(1);
      EXPECT_EQ(in.InFlight(), 0);
      const auto done = in.Take();
      ASSERT_EQ(done.size(), 4u);
      for (const auto& c : done) {
        EXPECT_EQ(c.status, STATUS_CANCELLED) << Hex(c.status);
        EXPECT_EQ(c.usbd, USBD_STATUS_CANCELED) << Hex(c.usbd);
      }
    }
    {
      IsochStream out(client_->lower(), playback, 3, 10, 48 * 6);
      out.Start();
      out.SetRunning(false);
      Step(2);
      const auto abort = client_->PipeRequest(URB_FUNCTION_ABORT_PIPE, playback.PipeHandle);
      EXPECT_EQ(abort.result.completedInside, inline_);
      EXPECT_EQ(abort.usbd, USBD_STATUS_SUCCESS);
      EXPECT_EQ(out.InFlight(), inline_ ? 0 : 3) << "when the abort completed";
      Step(1);
      EXPECT_EQ(out.InFlight(), 0);
      const auto done = out.Take();
      ASSERT_EQ(done.size(), 3u);
      for (const auto& c : done) {
        EXPECT_EQ(c.status, STATUS_CANCELLED) << Hex(c.status);
        EXPECT_EQ(c.usbd, USBD_STATUS_CANCELED) << Hex(c.usbd);
      }
    }
    EXPECT_EQ(port_->Counters().cancelled - cancelledBefore, 7u);
  }
}

// Packet errors fail single packets: the transfer succeeds with a non-zero
// error count, unless every packet failed.
TEST_F(UsbIsochTest, PacketErrorsReachTheClientPerPacket) {
  ExactTiming();
  struct Row {
    uint32_t errors;
    const char* why;
  } rows[] = {
      {3, "a few packets fail: the transfer succeeds with ErrorCount 3"},
      {25, "whole transfers fail: the request fails"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto [record, playback] = client_->StartStreaming(2, 2, 48000);
    IsochStream in(client_->lower(), record, 2, 10, kInStride);
    in.Start();
    Step(10);
    device().InjectPacketErrors(0x82, row.errors);
    in.SetRunning(false);
    Step(30);
    in.Stop();
    uint32_t failedPackets = 0;
    bool wholeFailed = false;
    for (const auto& c : in.Take()) {
      uint32_t failedHere = 0;
      for (const auto& p : c.packets) {
        if (p.Status == USBD_STATUS_DEV_NOT_RESPONDING) ++failedHere;
        else EXPECT_EQ(p.Status, USBD_STATUS_SUCCESS) << Hex(p.Status);
      }
      EXPECT_EQ(c.errorCount, failedHere);
      failedPackets += failedHere;
      if (failedHere == c.packets.size()) {
        wholeFailed = true;
        EXPECT_EQ(c.usbd, USBD_STATUS_ISOCH_REQUEST_FAILED) << Hex(c.usbd);
        EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL) << Hex(c.status);
      } else {
        EXPECT_EQ(c.usbd, USBD_STATUS_SUCCESS) << Hex(c.usbd);
        EXPECT_EQ(c.status, STATUS_SUCCESS) << Hex(c.status);
      }
    }
    EXPECT_EQ(failedPackets, std::min<uint32_t>(row.errors, 20));
    EXPECT_EQ(wholeFailed, row.errors >= 20);
  }
}

// Injected request failures, per direction: about the chosen fraction of the
// requests fails, the same ones for the same seed; a failed request keeps its
// frames in the schedule but none of its packets reaches the device (the DAC
// goes without them, the ADC's frames of those milliseconds are lost), each
// packet ends not accessed, and the request fails.
TEST_F(UsbIsochTest, InjectedRequestFailuresFailWholeRequestsDeterministically) {
  ExactTiming();
  struct Row {
    UCHAR endpoint;
    uint32_t perMillion;
    uint64_t seed;
  } rows[] = {{0x82, 100000, 5}, {0x82, 100000, 5}, {0x82, 0, 5}, {0x03, 250000, 9}};
  std::vector<std::vector<size_t>> failedIndexes;
  std::vector<uint64_t> lost;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.endpoint) + " at " + std::to_string(row.perMillion) + " ppm");
    auto [record, playback] = client_->StartStreaming(2, 2, 48000);
    const bool in = row.endpoint == 0x82;
    constexpr ULONG kPackets = 2, kOutBytes = 48 * 6;
    // 200 requests queued back to back, none passed down again.
    IsochStream stream(client_->lower(), in ? record : playback, 200, kPackets, in ? kInStride : kOutBytes,
                       in ? IsochStream::Filler() : [](UCHAR*, _URB_ISOCH_TRANSFER& urb) {
                         return urb.NumberOfPackets * kOutBytes;
                       });
    port_->FailRequests(row.endpoint, {row.perMillion, row.seed});
    const DeviceCounters before = device().Counters();
    const PortCounters portBefore = port_->Counters();
    stream.Start();
    stream.SetRunning(false);
    Step(200 * kPackets + 5);
    stream.Stop();
    port_->FailRequests(row.endpoint, {0, 0});
    const DeviceCounters after = device().Counters();
    const PortCounters bus = port_->Counters();
    const auto done = stream.Take();
    ASSERT_EQ(done.size(), 200u);
    std::vector<size_t> failed;
    for (size_t i = 0; i < done.size(); ++i) {
      const auto& c = done[i];
      if (c.usbd == USBD_STATUS_SUCCESS) {
        EXPECT_EQ(c.errorCount, 0u);
        continue;
      }
      failed.push_back(i);
      EXPECT_EQ(c.usbd, USBD_STATUS_ISOCH_REQUEST_FAILED) << Hex(c.usbd);
      EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL) << Hex(c.status);
      EXPECT_EQ(c.errorCount, kPackets);
      for (const auto& p : c.packets) {
        EXPECT_EQ(p.Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) << Hex(p.Status);
        if (in) EXPECT_EQ(p.Length, 0u);
      }
    }
    const uint64_t failedRequests =
        in ? bus.failedInRequests - portBefore.failedInRequests : bus.failedOutRequests - portBefore.failedOutRequests;
    EXPECT_EQ(failed.size(), failedRequests);
    const double expected = double(done.size()) * row.perMillion / 1e6;
    EXPECT_NEAR(double(failed.size()), expected, 4 * std::sqrt(expected) + 1) << "of " << done.size();
    // The bus kept its schedule: one packet per frame either way.
    if (in) {
      // Compared below with the run without failures, which also loses the
      // frames after its last request.
      lost.push_back(after.inFramesLost - before.inFramesLost);
    } else {
      EXPECT_EQ(after.outPackets - before.outPackets, (done.size() - failed.size()) * kPackets)
          << "only the packets of requests that did not fail reached the device";
    }
    failedIndexes.push_back(failed);
  }
  EXPECT_EQ(failedIndexes[0], failedIndexes[1]) << "the same seed fails the same requests";
  EXPECT_TRUE(failedIndexes[2].empty());
  ASSERT_EQ(lost.size(), 3u);
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(lost[i] - lost[2], failedIndexes[i].size() * 2 * 48) << "the ADC frames of the failed packets";
}

// A stalled endpoint fails the transfers on its pipe; later ones are refused
// at once until the pipe is reset.
TEST_F(UsbIsochTest, StalledPipeFailsUntilReset) {
  ExactTiming();
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  IsochStream in(client_->lower(), record, 3, 4, kInStride);
  in.Start();
  Step(5);
  device().HaltEndpoint(0x82);
  Step(5);
  EXPECT_EQ(in.InFlight(), 0) << "every transfer on the halted pipe ended";
  bool sawStall = false;
  for (const auto& c : in.Take()) {
    if (c.status == STATUS_SUCCESS) continue;
    sawStall = true;
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL) << Hex(c.status);
    EXPECT_EQ(c.usbd, USBD_STATUS_STALL_PID) << Hex(c.usbd);
  }
  EXPECT_TRUE(sawStall);

  // A new transfer is refused inside IoCallDriver.
  UrbBlock urb(GET_ISO_URB_SIZE(1));
  std::vector<UCHAR> buffer(kInStride);
  urb->UrbHeader.Length = USHORT(urb.size());
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->UrbIsochronousTransfer.PipeHandle = record.PipeHandle;
  urb->UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN;
  urb->UrbIsochronousTransfer.TransferBuffer = buffer.data();
  urb->UrbIsochronousTransfer.TransferBufferLength = kInStride;
  urb->UrbIsochronousTransfer.NumberOfPackets = 1;
  const SyncResult refused = client_->Submit(urb.get());
  EXPECT_TRUE(refused.completedInside);
  EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL) << Hex(refused.status);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID) << Hex(urb->UrbHeader.Status);

  const auto reset = client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, record.PipeHandle);
  EXPECT_EQ(reset.usbd, USBD_STATUS_SUCCESS);
  EXPECT_FALSE(device().State().recordHalted);
  in.Start();
  Step(10);
  in.Stop();
  size_t ok = 0;
  for (const auto& c : in.Take()) ok += c.status == STATUS_SUCCESS;
  EXPECT_GE(ok, 2u) << "transfers run again after the reset";
}

// The device leaves the bus with transfers pending both ways: every one
// completes as a vanished device's, and so does every later request, at once.
TEST_F(UsbIsochTest, SurpriseRemovalCompletesEveryPendingTransfer) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  IsochStream in(client_->lower(), record, 4, 10, kInStride);
  IsochStream out(client_->lower(), playback, 4, 10, 48 * 6);
  in.Start();
  out.Start();
  Step(15);
  in.Take();
  out.Take();
  ASSERT_EQ(in.InFlight(), 4);
  ASSERT_EQ(out.InFlight(), 4);
  hub_.Unplug();
  Step(1);
  EXPECT_EQ(in.InFlight(), 0);
  EXPECT_EQ(out.InFlight(), 0);
  for (IsochStream* stream : {&in, &out}) {
    const auto done = stream->Take();
    EXPECT_EQ(done.size(), 4u);
    for (const auto& c : done) {
      EXPECT_EQ(c.status, STATUS_DEVICE_NOT_CONNECTED) << Hex(c.status);
      EXPECT_EQ(c.usbd, USBD_STATUS_DEVICE_GONE) << Hex(c.usbd);
    }
  }
  const auto rate = client_->SetRate(0x82, 48000);
  EXPECT_TRUE(rate.result.completedInside);
  EXPECT_EQ(rate.result.status, STATUS_DEVICE_NOT_CONNECTED) << Hex(rate.result.status);
  EXPECT_EQ(rate.usbd, USBD_STATUS_DEVICE_GONE) << Hex(rate.usbd);
  in.Start();
  EXPECT_EQ(in.InFlight(), 0) << "new transfers are refused inside IoCallDriver";
  for (const auto& c : in.Take()) EXPECT_EQ(c.status, STATUS_DEVICE_NOT_CONNECTED) << Hex(c.status);

  // The Plug and Play side: surprise removal, then removal, after which the
  // departed device's PDO is gone and the port takes a new device.
  EXPECT_EQ(client_->Send(IRP_MJ_PNP, 0, nullptr, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = port_->pdo();
  client_.reset();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0, pdo, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
  EXPECT_TRUE(port_->Deleted());
  port_ = hub_.Plug();
  ASSERT_NE(port_, nullptr);
  client_ = std::make_unique<UsbClient>(machine_, port_->pdo());
  EXPECT_EQ(client_->GetDescriptor(1, 0, 0, 18).usbd, USBD_STATUS_SUCCESS);
}


// Removal of a device still on the bus (its driver went away, the device did
// not): whatever was left pending ends, later requests are refused as for a
// device that is not there, the PDO stays, and a new start brings it back.
TEST_F(UsbIsochTest, RemovalWhileConnectedEndsPendingTransfersAndKeepsThePdo) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  IsochStream in(client_->lower(), record, 3, 10, kInStride);
  in.Start();
  Step(2);
  EXPECT_EQ(client_->Send(IRP_MJ_PNP, 0, nullptr, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(in.InFlight(), 0);
  const auto done = in.Take();
  EXPECT_EQ(done.size(), 3u);
  for (const auto& c : done) {
    EXPECT_EQ(c.status, STATUS_NO_SUCH_DEVICE) << Hex(c.status);
    EXPECT_EQ(c.usbd, USBD_STATUS_DEVICE_GONE) << Hex(c.usbd);
  }
  EXPECT_FALSE(port_->Deleted());
  const auto refused = client_->GetDescriptor(1, 0, 0, 18);
  EXPECT_TRUE(refused.result.completedInside);
  EXPECT_EQ(refused.result.status, STATUS_NO_SUCH_DEVICE) << Hex(refused.result.status);
  EXPECT_EQ(refused.usbd, USBD_STATUS_DEVICE_GONE) << Hex(refused.usbd);
  EXPECT_EQ(client_->Send(IRP_MJ_PNP, 0, nullptr, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(client_->GetDescriptor(1, 0, 0, 18).usbd, USBD_STATUS_SUCCESS);
}

// An OUT transfer's buffer belongs to the stack from submission until the
// transfer completes: a driver that writes into it meanwhile (the host
// controller may already have read it) is told so when the transfer completes.
TEST_F(UsbIsochTest, AnOutBufferChangedAfterSubmissionIsAFault) {
  auto [record, playback] = client_->StartStreaming(2, 2, 48000);
  for (const bool change : {false, true}) {
    SCOPED_TRACE(change ? "changed while pending" : "left alone");
    kernel::testing::FaultRecorder faults(machine_);
    constexpr ULONG kPackets = 4, kBytes = 48 * 6;
    UrbBlock urb(GET_ISO_URB_SIZE(kPackets));
    std::vector<UCHAR> buffer(kPackets * kBytes, 0x11);
    auto& r = urb->UrbIsochronousTransfer;
    urb->UrbHeader.Length = USHORT(urb.size());
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = playback.PipeHandle;
    r.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    r.TransferBuffer = buffer.data();
    r.TransferBufferLength = kPackets * kBytes;
    r.NumberOfPackets = kPackets;
    for (ULONG k = 0; k < kPackets; ++k) r.IsoPacket[k].Offset = k * kBytes;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, client_->lower(), nullptr, 0, nullptr,
                                             0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb.get();
    ASSERT_EQ(IoCallDriver(client_->lower(), irp), STATUS_PENDING);
    if (change) buffer[kBytes * 3 + 7] ^= 0x40;  // a packet the bus has not sent yet
    ASSERT_TRUE(LetClockRun(machine_, &done, 50));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << Hex(iosb.Status);
    const auto recorded = faults.Take();
    bool reported = false;
    for (const auto& f : recorded)
      reported |= f.kind == kernel::FaultKind::IrpMisuse && f.what.find("changed after submission") != std::string::npos;
    EXPECT_EQ(reported, change) << kernel::testing::FaultRecorder::Describe(recorded);
  }
}

}  // namespace
}  // namespace tqm::usb::testing
