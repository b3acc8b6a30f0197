// Period work between the device halves and the client ports; the design notes
// are in port_mixer.h.
#include "driver/engine/port_mixer.h"

#include "driver/engine/sample_loops.h"

namespace engine {

namespace {

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

bool PortMixer::SetChannelOpen(uint32_t port, uint32_t direction, uint32_t channel, bool open,
                               PeriodNumber period) {
  if (port >= kPorts || direction >= kDirections || channel >= kPortChannels) return false;
  ClientPort& p = ports_[port];
  if (open) {
    if (port == kAsioPort && direction == kPlayback && !p.openMask[kPlayback]) {
      // A client's playback joins here: nothing queued before counts, and
      // periods before this one were never answered by it.
      queue_.write = queue_.read = queue_.fill = 0;
      queue_.armed = 1;
      pairing_.firstPeriod = period;
      pairing_.answeredFrom = kNoPeriod;
    }
    p.openMask[direction] |= 1u << channel;
  } else {
    p.openMask[direction] &= ~(1u << channel);
    if (port == kAsioPort && direction == kPlayback && !p.openMask[kPlayback]) {
      queue_.armed = 0;
      queue_.write = queue_.read = queue_.fill = 0;
    }
  }
  p.toggle[direction][channel] = 0;
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

SampleRun PortMixer::AsioSource(uint32_t channel, PeriodNumber clientPeriod, bool fromQueue) const {
  if (fromQueue) return {QueueSlot(queue_.read) + channel, playChannels_};
  // No period of this client yet, or a client that answers with OutputReady
  // and has not answered this one: silence, never a half it may be writing.
  if (clientPeriod < 0 || clientPeriod < pairing_.firstPeriod || clientPeriod >= pairing_.answeredFrom)
    return {nullptr, 0};
  const uint32_t half = uint32_t(clientPeriod) & 1;
  if (latchTag_[half] == clientPeriod) return {LatchSlot(half) + channel, playChannels_};
  return ports_[kAsioPort].half[kPlayback][channel][half];
}

bool PortMixer::QueueHolds(PeriodNumber clientPeriod) {
  while (queue_.fill && queue_.tag[queue_.read] < clientPeriod) {
    queue_.read = Next(queue_.read, kQueueSlots);
    --queue_.fill;
  }
  return queue_.fill && queue_.tag[queue_.read] == clientPeriod;
}

void PortMixer::FillPlaybackHalf(int32_t* deviceHalf, uint32_t periodFrames, PeriodNumber clientPeriod) {
  if (clientPeriod > played_) played_ = clientPeriod;
  if (!deviceHalf || !rings_) return;
  const int32_t frames = int32_t(periodFrames);

  // This fill's period in the rings.
  const PeriodNumber key = clientPeriod + 1;
  uint32_t contributions[kPortChannels] = {};
  for (uint32_t p = 0; p < kPorts; ++p) {
    ClientPort& port = ports_[p];
    if (!port.openMask[kPlayback]) continue;
    bool fromQueue = false;
    if (p == kAsioPort) {
      fromQueue = clientPeriod >= 0 && QueueHolds(clientPeriod);
      if (!fromQueue && clientPeriod >= pairing_.answeredFrom) ++pairing_.latePeriods;
    }
    for (uint32_t c = 0; c < kPortChannels && c < playChannels_; ++c) {
      if (!(port.openMask[kPlayback] & (1u << c))) continue;
      ++contributions[c];

      const SampleRun source =
          p == kAsioPort ? AsioSource(c, clientPeriod, fromQueue) : port.half[kPlayback][c][port.toggle[kPlayback][c]];

      int32_t* device = deviceHalf + c;
      uint32_t ring = 0;
      const bool routed = RoutedTarget(p, c, &ring);
      // A source without an address plays silence.
      if ((routed && PortMuted(p)) || (!source.address && contributions[c] == 1))
        ClearSamples(device, playChannels_, frames);
      else if (contributions[c] == 1)
        CopySamples(device, playChannels_, source.address, source.stride, frames);
      else
        MixSamples(device, playChannels_, source.address, source.stride, frames);
      MeterPeak(c, device, playChannels_, periodFrames);

      if (routed) WriteRing(ring, key, source.address, source.stride, frames);
      port.toggle[kPlayback][c] ^= 1;
    }
    if (fromQueue) {
      queue_.read = Next(queue_.read, kQueueSlots);
      --queue_.fill;
    }
  }
}

void PortMixer::WriteRing(uint32_t ring, PeriodNumber key, const int32_t* source, uint32_t stride,
                          int32_t frames) {
  const uint32_t index = uint32_t(key % kRingSlots);
  int32_t* slot = RingSlot(ring / kPortChannels, ring % kPortChannels, index);
  if (ringKey_[ring][index] != key) {
    // The first source of this period replaces what the slot held ten
    // periods ago; a source without an address is silence.
    ringKey_[ring][index] = key;
    if (source) CopySamples(slot, 1, source, stride, frames);
    else ClearSamples(slot, 1, frames);
  } else {
    MixSamples(slot, 1, source, stride, frames);
  }
}

void PortMixer::DistributeRecordHalf(const int32_t* deviceHalf, uint32_t periodFrames, PeriodNumber period) {
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
      // Port 2 follows the period number (status word 1), the others their toggle.
      const uint32_t half = p == kAsioPort ? uint32_t(period) & 1 : port.toggle[kRecord][c];
      const SampleRun dest = port.half[kRecord][c][half];
      if (!FanIn(p, c)) {
        if (c < recordChannels_)
          CopySamples(dest.address, dest.stride, deviceHalf + c, recordChannels_, frames);
      } else {
        // The period the rings delay by; a slot nobody wrote for it is silence.
        const PeriodNumber key = period - kRingDelay;
        const uint32_t index = key < 0 ? 0 : uint32_t(key % kRingSlots);
        if (key >= 0 && ringKey_[p * kPortChannels + c][index] == key)
          CopySamples(dest.address, dest.stride, RingSlot(p, c, index), 1, frames);
        else
          ClearSamples(dest.address, dest.stride, frames);
      }
      MeterPeak(2 + c, dest.address, dest.stride, periodFrames);
      port.toggle[kRecord][c] ^= 1;
    }
  }

  // The input tap: port 3's routed entries feed this period's device input
  // into rings, beside the playback of the fill of the same number.
  for (uint32_t c = 0; c < kPortChannels && c < recordChannels_; ++c) {
    uint32_t ring;
    if (RoutedTarget(kTapPort, c, &ring)) WriteRing(ring, period, deviceHalf + c, recordChannels_, frames);
  }
}

void PortMixer::LatchAsioHalf(uint32_t clientHalf, uint32_t periodFrames, PeriodNumber period) {
  const ClientPort& asio = ports_[kAsioPort];
  if (clientHalf >= kLatchSlots || !queueSlots_ || !asio.openMask[kPlayback]) return;
  if (period < 0 || period <= played_ || (uint32_t(period) & 1) != clientHalf) return;
  int32_t* slot = LatchSlot(clientHalf);
  for (uint32_t c = 0; c < kPortChannels && c < playChannels_; ++c) {
    if (!(asio.openMask[kPlayback] & (1u << c))) continue;
    const SampleRun& half = asio.half[kPlayback][c][clientHalf];
    if (half.address) CopySamples(slot + c, playChannels_, half.address, half.stride, int32_t(periodFrames));
    else ClearSamples(slot + c, playChannels_, int32_t(periodFrames));
  }
  latchTag_[clientHalf] = period;
}

bool PortMixer::QueueOutputReady(uint32_t clientHalf, uint32_t periodFrames, PeriodNumber periodsDone) {
  ClientPort& asio = ports_[kAsioPort];
  if (clientHalf >= kHalves || !queueSlots_) return false;
  if (!asio.openMask[kPlayback] || !queue_.armed || queue_.fill >= kQueueSlots) return false;
  // The half answers the latest period handed to the client in it; a late
  // answer is tagged with the period it answers, not the one running now.
  PeriodNumber tag = periodsDone - 1;
  if (tag >= 0 && (uint32_t(tag) & 1) != clientHalf) --tag;
  if (tag < 0 || tag < pairing_.firstPeriod) return false;
  if (tag < pairing_.answeredFrom) pairing_.answeredFrom = tag;
  int32_t* slot = QueueSlot(queue_.write);
  for (uint32_t c = 0; c < kPortChannels && c < playChannels_; ++c) {
    if (!(asio.openMask[kPlayback] & (1u << c))) continue;
    const SampleRun& half = asio.half[kPlayback][c][clientHalf];
    CopySamples(slot + c, playChannels_, half.address, half.stride, int32_t(periodFrames));
  }
  queue_.tag[queue_.write] = tag;
  ++queue_.fill;
  queue_.write = Next(queue_.write, kQueueSlots);
  return true;
}

void PortMixer::ClearRings() {
  if (rings_) ClearSamples(rings_, 1, int32_t(kRingBlockBytes / 4));
  for (auto& ring : ringKey_)
    for (PeriodNumber& key : ring) key = kNoPeriod;
}

void PortMixer::ClearQueue() {
  const uint32_t armed = queue_.armed;
  queue_ = {};
  queue_.armed = armed;
  if (queueSlots_) ClearSamples(queueSlots_, 1, int32_t(kQueueSlots * playChannels_ * kSlotSamples));
}

void PortMixer::RestartPairing() {
  ClearQueue();
  latchTag_[0] = latchTag_[1] = kNoPeriod;
  played_ = -1;
  ClearRings();
  pairing_ = {0, kNoPeriod, 0};
  for (uint32_t d = 0; d < kDirections; ++d)
    for (uint32_t c = 0; c < kPortChannels; ++c) ports_[kAsioPort].toggle[d][c] = 0;
}

void PortMixer::ClearPeaks() {
  if (!status_) return;
  for (uint32_t c = 0; c < 2; ++c) {
    WriteShared(&status_->outPeak[c], 0);
    WriteShared(&status_->inPeak[c], 0);
  }
}

}  // namespace engine
