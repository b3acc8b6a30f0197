// Period work between the device halves and the client ports; the design notes
// are in port_mixer.h.
#include "driver/engine/port_mixer.h"

#include "driver/engine/sample_loops.h"

namespace engine {

namespace {

constexpr uint32_t kRingCount = kPorts * kPortChannels;

uint32_t Next(uint32_t index, uint32_t count) { return index + 1 == count ? 0 : index + 1; }


}  // namespace

void PortMixer::Attach(int32_t* ringBlock, int32_t* queueBlock, uint32_t playChannels,
                       uint32_t recordChannels) {
  rings_ = ringBlock;
  queueSlots_ = queueBlock;
  playChannels_ = playChannels;
  recordChannels_ = recordChannels;
}

bool PortMixer::RegisterHalf(uint32_t port, uint32_t direction, uint32_t channel, uint32_t half,
                             SampleRun run) {
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels || half >= kHalves)
    return false;
  ports_[port].half[direction][channel][half] = run;
  return true;
}

bool PortMixer::SetChannelOpen(uint32_t port, uint32_t direction, uint32_t channel, bool open) {
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels) return false;
  ClientPort& p = ports_[port];
  if (open) {
    if (port == kAsioPort) {
      queue_.armed = 0;
      queue_.write = queue_.read = queue_.fill = 0;
    }
    p.openMask[direction] |= 1u << channel;
  } else {
    p.openMask[direction] &= ~(1u << channel);
  }
  p.toggle[direction][channel] = 0;
  p.ringWrite[direction][channel] = 0;
  p.ringRead[direction][channel] = 0;
  return true;
}

bool PortMixer::IsOpen(uint32_t port, uint32_t direction, uint32_t channel) const {
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels) return false;
  return ports_[port].openMask[direction] & (1u << channel);
}

bool PortMixer::AnyOpen() const {
  for (uint32_t p = 0; p < kPorts; ++p)
    if (PortHasOpen(p)) return true;
  return false;
}

bool PortMixer::RoutedTarget(uint32_t port, uint32_t channel, uint32_t* targetRing) const {
  if (!patch_) return false;
  const tqm::RoutingEntry& e = patch_->entry[tqm::RoutingEntryIndex(port, channel)];
  if (!e.routed) return false;
  const uint32_t tp = static_cast<uint32_t>(e.targetPort);
  const uint32_t tc = static_cast<uint32_t>(e.targetChannel);
  if (tp >= kPorts || tc >= kPortChannels) return false;
  *targetRing = tp * kPortChannels + tc;
  return true;
}

bool PortMixer::FanIn(uint32_t port, uint32_t channel) const {
  return patch_ && patch_->entry[tqm::RoutingEntryIndex(port, channel)].fanIn != 0;
}

bool PortMixer::PortMuted(uint32_t port) const {
  return patch_ && patch_->entry[tqm::RoutingEntryIndex(port, 0)].muted == 1;
}

void PortMixer::MeterPeak(uint32_t word, const int32_t* run, uint32_t stride, uint32_t frames) {
  if (!status_ || !ReadShared(&status_->meterEnable)) return;
  uint32_t* peaks = word < 2 ? status_->outPeak : status_->inPeak;
  WriteShared(&peaks[word % 2], PeakOf(run, stride, int32_t(frames)));
}

void PortMixer::FillPlaybackHalf(int32_t* deviceHalf, uint32_t periodFrames) {
  if (!deviceHalf || !rings_) return;
  const int32_t frames = int32_t(periodFrames);

  // Rings that port 3 routes the device input into already hold this period's
  // input (the record side wrote it), so playback sources mix into them.
  uint32_t ringUse[kRingCount] = {};
  for (uint32_t c = 0; c < kPortChannels; ++c) {
    uint32_t ring;
    if (RoutedTarget(kTapPort, c, &ring)) ++ringUse[ring];
  }

  uint32_t contributions[kPortChannels] = {};
  for (uint32_t p = 0; p < kPorts; ++p) {
    ClientPort& port = ports_[p];
    if (!port.openMask[kPlayback]) continue;
    for (uint32_t c = 0; c < kPortChannels && c < playChannels_; ++c) {
      if (!(port.openMask[kPlayback] & (1u << c))) continue;
      ++contributions[c];

      SampleRun source = port.half[kPlayback][c][port.toggle[kPlayback][c]];
      if (p == kAsioPort && queue_.Active()) source = {QueueSlot(queue_.read) + c, playChannels_};

      int32_t* device = deviceHalf + c;
      uint32_t ring = 0;
      const bool routed = RoutedTarget(p, c, &ring);
      if (routed && PortMuted(p))
        ClearSamples(device, playChannels_, frames);
      else if (contributions[c] == 1)
        CopySamples(device, playChannels_, source.address, source.stride, frames);
      else
        MixSamples(device, playChannels_, source.address, source.stride, frames);
      MeterPeak(c, device, playChannels_, periodFrames);

      if (routed) {
        const uint32_t tp = ring / kPortChannels, tc = ring % kPortChannels;
        int32_t* slot = RingSlot(tp, tc, ports_[tp].ringWrite[kRecord][tc]);
        if (++ringUse[ring] == 1)
          CopySamples(slot, 1, source.address, source.stride, frames);
        else
          MixSamples(slot, 1, source.address, source.stride, frames);
      }
      port.toggle[kPlayback][c] ^= 1;
    }
    if (p == kAsioPort) AdvanceQueueAfterMix();
  }

  for (uint32_t ring = 0; ring < kRingCount; ++ring) {
    if (!ringUse[ring]) continue;
    uint32_t& write = ports_[ring / kPortChannels].ringWrite[kRecord][ring % kPortChannels];
    write = Next(write, kRingSlots);
  }
}

void PortMixer::DistributeRecordHalf(const int32_t* deviceHalf, uint32_t periodFrames) {
  if (!deviceHalf || !rings_) return;
  const int32_t frames = int32_t(periodFrames);

  for (uint32_t p = 0; p < kPorts; ++p) {
    ClientPort& port = ports_[p];
    if (!port.openMask[kRecord]) continue;
    // The watchdog counts periods the ASIO client has not acknowledged.
    // User mode clears the watchdog at any time; a clear between the read and
    // the write costs one count, never a torn value.
    if (p == kAsioPort && status_) {
      const uint32_t watchdog = ReadShared(&status_->watchdog);
      if (watchdog < tqm::kWatchdogLimit) WriteShared(&status_->watchdog, watchdog + 1);
    }

    for (uint32_t c = 0; c < kPortChannels && c < clientRecordChannels_; ++c) {
      if (!(port.openMask[kRecord] & (1u << c))) continue;
      const SampleRun dest = port.half[kRecord][c][port.toggle[kRecord][c]];
      if (!FanIn(p, c)) {
        if (c < recordChannels_)
          CopySamples(dest.address, dest.stride, deviceHalf + c, recordChannels_, frames);
      } else {
        uint32_t& read = port.ringRead[kRecord][c];
        int32_t* slot = RingSlot(p, c, read);
        CopySamples(dest.address, dest.stride, slot, 1, frames);
        ClearSamples(slot, 1, frames);
        // An empty ring is read again at the same slot next period.
        if (read != port.ringWrite[kRecord][c]) read = Next(read, kRingSlots);
      }
      MeterPeak(2 + c, dest.address, dest.stride, periodFrames);
      port.toggle[kRecord][c] ^= 1;
    }
  }

  // The input tap: port 3's routed entries feed the device input into rings.
  uint32_t tapUse[kRingCount] = {};
  for (uint32_t c = 0; c < kPortChannels && c < recordChannels_; ++c) {
    uint32_t ring;
    if (!RoutedTarget(kTapPort, c, &ring)) continue;
    const uint32_t tp = ring / kPortChannels, tc = ring % kPortChannels;
    const ClientPort& target = ports_[tp];
    int32_t* slot = RingSlot(tp, tc, target.ringRead[kRecord][tc]);
    const bool empty = target.ringRead[kRecord][tc] == target.ringWrite[kRecord][tc];
    if (++tapUse[ring] == 1 && empty)
      CopySamples(slot, 1, deviceHalf + c, recordChannels_, frames);
    else
      MixSamples(slot, 1, deviceHalf + c, recordChannels_, frames);
  }
}

bool PortMixer::QueueOutputReady(uint32_t clientHalf, uint32_t periodFrames) {
  ClientPort& asio = ports_[kAsioPort];
  if (clientHalf >= kHalves || !queueSlots_) return false;
  if (!asio.openMask[kPlayback] || !queue_.armed || queue_.fill >= kQueueSlots) return false;
  int32_t* slot = QueueSlot(queue_.write);
  for (uint32_t c = 0; c < kPortChannels && c < playChannels_; ++c) {
    if (!(asio.openMask[kPlayback] & (1u << c))) continue;
    const SampleRun& half = asio.half[kPlayback][c][clientHalf];
    CopySamples(slot + c, playChannels_, half.address, half.stride, int32_t(periodFrames));
  }
  ++queue_.fill;
  queue_.write = Next(queue_.write, kQueueSlots);
  return true;
}

void PortMixer::AdvanceQueueAfterMix() {
  queue_.armed = 1;
  if (!queue_.Active()) return;
  queue_.read = Next(queue_.read, kQueueSlots);
  --queue_.fill;
}

void PortMixer::ClearRings() {
  if (rings_) ClearSamples(rings_, 1, int32_t(kRingBlockBytes / 4));
}

void PortMixer::ClearQueue() {
  queue_ = {};
  if (queueSlots_) ClearSamples(queueSlots_, 1, int32_t(QueueBlockBytes(playChannels_) / 4));
}

void PortMixer::ClearPeaks() {
  if (!status_) return;
  for (uint32_t c = 0; c < 2; ++c) {
    WriteShared(&status_->outPeak[c], 0);
    WriteShared(&status_->inPeak[c], 0);
  }
}

}  // namespace engine
