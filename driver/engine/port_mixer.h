// The period work between the device halves and the four client ports: filling
// the device playback half from every open playback channel, handing the
// finished device record half to every open record channel, the InnerROUTE loop
// rings, the ASIO client's output-ready queue and the peak meters.
//
// Ports 0 and 1 belong to the companion audio driver, port 2 to the ASIO driver,
// port 3 is the device-input tap of the loopback (no client registers buffers on
// it). Each port has, per direction and channel, two client halves that the
// clients register as {address, stride} runs of 32-bit samples; a null address
// is skipped by every copy.
//
// Loop rings: per (port, channel) ten slots of one mono period. A routed
// playback channel is written into its target ring's slot for the number of
// the fill (f), a routed device input channel (port 3) into the slot for the
// number of its record period (n); each slot remembers that number, and the
// first source of a number replaces what the slot held, the others mix in. A
// record channel whose entry counts routed sources (fan-in) hears, in record
// period n, its ring's slot for n - 2 instead of the device input, or silence
// when nothing was written for n - 2. Record period n is handed out within a
// period of fill n - 1, the two completions on different processors in either
// order, and fills sometimes run a whole period ahead: fill n - 2 is always
// done by then, so the loop delays by the same two periods whichever
// completion runs first, and a fill running ahead is never heard early.
//
// Port 2 (the ASIO client) is paired with the engine by counting. The engine
// numbers the record periods since the streams started; port 2's record half
// for period k is half k mod 2, the index status word 1 names when the period
// event for k is signalled, and the client answers period k in its output half
// of the same index. The engine numbers its playback fills too, and fill f
// plays client period f - 1: the period the client finished a whole period
// ago, never the one it is writing now. A fixed lead of two halves results for
// every rate, period and request count.
//
// Output-ready queue: the ASIO client may hand its output half over with
// OutputReady; the half is copied into the next of ten slots, tagged with the
// latest record period that used that half index. A fill plays the slot tagged
// with its client period (older slots are dropped). When none is there, a
// client that has sent OutputReady since the start is late and port 2 plays
// silence for that period (counted); periods before a client's first
// OutputReady (a client that never sends one, and the first period of one that
// starts answering with the second) are played from its half (period mod 2),
// which it finished a period ago.
//
// Output latch: a client that plays from its half (no OutputReady yet) is
// handed that half again, for period k + 2, in the bus frame whose playback
// completion fills the device half that plays period k. The two completions
// run on different processors in either order, so before the record side
// hands the half over it copies it into the latch slot of its index when no
// fill has played period k yet, and that fill plays the latch. The half is
// read by exactly one of the two, before the client can write it again, and
// the result is the same in either order: client period k plays as engine
// half k + 2.
//
// Locking is the engine's: FillPlaybackHalf and QueueOutputReady run under the
// playback lock, DistributeRecordHalf under the record lock. FillPlaybackHalf,
// LatchAsioHalf and DistributeRecordHalf also hold the engine's latch lock,
// which guards the latch and the rings (the input tap and a fill write the
// same slot); their state is reset only under both direction locks. Registration of
// client halves and the open/close bookkeeping run at passive level while the
// streams are stopped or before the channel opens.
#pragma once

#include <stdint.h>

#include "driver/engine/shared_words.h"
#include "tqm/mixer_settings.h"
#include "tqm/status_block.h"

namespace engine {

constexpr uint32_t kPorts = 4;
constexpr uint32_t kDirections = 2;  // 0 playback, 1 record
constexpr uint32_t kPortChannels = 2;
constexpr uint32_t kHalves = 2;
constexpr uint32_t kPlayback = 0, kRecord = 1;
constexpr uint32_t kAsioPort = 2, kTapPort = 3;

constexpr uint32_t kRingSlots = 10;
constexpr uint32_t kSlotSamples = 512;  // 2048 bytes of mono 32-bit samples
constexpr uint32_t kRingSamples = kRingSlots * kSlotSamples;
// Every (port, channel) ring exists whatever the device's channel count, so the
// block is sized for all eight rings.
constexpr uint32_t kRingBlockBytes = kPorts * kPortChannels * kRingSamples * 4;
constexpr uint32_t kQueueSlots = 10;
// One queue slot holds an interleaved playback half: channels x 2048 bytes.
// The output latch's two slots follow the queue's.
constexpr uint32_t kLatchSlots = kHalves;
constexpr uint32_t QueueBlockBytes(uint32_t playChannels) {
  return (kQueueSlots + kLatchSlots) * playChannels * kSlotSamples * 4;
}

struct SampleRun {
  int32_t* address;
  uint32_t stride;  // in 32-bit samples
};

struct ClientPort {
  SampleRun half[kDirections][kPortChannels][kHalves];
  uint32_t openMask[kDirections];             // bit c = channel c open
  uint32_t toggle[kDirections][kPortChannels];  // client half used next
};

// Periods are numbered from the start of the streams; -1 stands for "none".
using PeriodNumber = int64_t;
constexpr PeriodNumber kNoPeriod = INT64_MAX;
// Record period n hears the loop rings' period n - 2 (see Loop rings above).
constexpr PeriodNumber kRingDelay = 2;

struct OutputReadyQueue {
  uint32_t armed;  // port 2 has a playback channel open
  uint32_t write;
  uint32_t read;
  uint32_t fill;  // slots queued and not yet played
  PeriodNumber tag[kQueueSlots];  // the client period each slot answers
};

// How port 2 is paired with the engine's periods (see above).
struct AsioPairing {
  PeriodNumber firstPeriod;   // the first period port 2 takes part in
  PeriodNumber answeredFrom;  // the period of the first OutputReady since then
  uint32_t latePeriods;       // periods played as silence: the client was late

  bool Answering() const { return answeredFrom != kNoPeriod; }
};

class PortMixer {
 public:
  PortMixer() { ClearRings(); }

  // The memory blocks are the engine's (kRingBlockBytes and QueueBlockBytes);
  // the mixer neither allocates nor frees.
  void Attach(int32_t* ringBlock, int32_t* queueBlock, uint32_t playChannels,
              uint32_t recordChannels);
  void SetStatusBlock(tqm::DeviceStatusBlock* status) { status_ = status; }
  void SetPatch(const tqm::PatchTable* patch) { patch_ = patch; }
  void SetClientRecordChannels(uint32_t channels) { clientRecordChannels_ = channels; }

  // Registration by the clients; an out-of-range port, direction, channel or
  // half is refused (false).
  bool RegisterHalf(uint32_t port, uint32_t direction, uint32_t channel, uint32_t half,
                    SampleRun run);

  // Open/close bookkeeping of one channel: sets or clears its bit and restarts
  // its half toggle and ring indexes. Opening a port-2 channel empties and
  // disarms the output-ready queue.
  // `period` is the number of the record period now running: a port-2
  // playback channel opened on running streams takes part from that period.
  bool SetChannelOpen(uint32_t port, uint32_t direction, uint32_t channel, bool open,
                      PeriodNumber period = 0);
  bool IsOpen(uint32_t port, uint32_t direction, uint32_t channel) const;
  bool AnyOpen() const;
  bool PortHasOpen(uint32_t port) const {
    return port < kPorts && (ports_[port].openMask[kPlayback] | ports_[port].openMask[kRecord]);
  }

  // Fills interleaved device playback half `half` (stride = playback channels)
  // with P frames from every open playback channel and feeds the loop rings.
  // `clientPeriod` is the client period port 2 plays in it (-1: none yet).
  void FillPlaybackHalf(int32_t* deviceHalf, uint32_t periodFrames, PeriodNumber clientPeriod);
  // Hands the finished interleaved device record half of record period
  // `period` to every open record channel and to the rings port 3 routes the
  // input into.
  void DistributeRecordHalf(const int32_t* deviceHalf, uint32_t periodFrames, PeriodNumber period);
  // Copies the named client half of port 2's open playback channels into the
  // next queue slot, tagged with the period it answers: the latest of the
  // `periodsDone` record periods that used that half. Returns false when
  // nothing was queued (no channel open, no period delivered with that half
  // yet, or the queue full).
  bool QueueOutputReady(uint32_t clientHalf, uint32_t periodFrames, PeriodNumber periodsDone);
  // The record side, before it hands port 2's client half `clientHalf` over
  // again: latches what the half holds for client period `period` (the one
  // two periods back) when no fill has played that period yet.
  void LatchAsioHalf(uint32_t clientHalf, uint32_t periodFrames, PeriodNumber period);

  void ClearRings();
  void ClearQueue();
  // A stream start: the rings and the queue empty, port 2 paired from period
  // 0, every ring index back at slot 0.
  void RestartPairing();
  // Peaks read 0 while no stream runs.
  void ClearPeaks();

  const ClientPort& port(uint32_t p) const { return ports_[p]; }
  const OutputReadyQueue& queue() const { return queue_; }
  const AsioPairing& pairing() const { return pairing_; }
  int32_t* RingSlot(uint32_t port, uint32_t channel, uint32_t slot) const {
    return rings_ + ((port * kPortChannels + channel) * kRingSlots + slot) * kSlotSamples;
  }

 private:
  // The routing entry of (port, channel) with its target checked: entries come
  // from any client's settings record, so a target outside the ports and
  // channels counts as not routed.
  bool RoutedTarget(uint32_t port, uint32_t channel, uint32_t* targetRing) const;
  bool FanIn(uint32_t port, uint32_t channel) const;
  bool PortMuted(uint32_t port) const;
  // Writes a source into `ring`'s slot of period `key`: the first source of
  // that period is copied, the others mixed in.
  void WriteRing(uint32_t ring, PeriodNumber key, const int32_t* source, uint32_t stride, int32_t frames);
  void MeterPeak(uint32_t word, const int32_t* run, uint32_t stride, uint32_t frames);
  int32_t* QueueSlot(uint32_t slot) const { return queueSlots_ + slot * playChannels_ * kSlotSamples; }
  int32_t* LatchSlot(uint32_t half) const { return QueueSlot(kQueueSlots + half); }
  // Port 2's source for a client period: a queue slot (*fromQueue), its own
  // half, or silence (a null address).
  SampleRun AsioSource(uint32_t channel, PeriodNumber clientPeriod, bool fromQueue) const;
  // Drops queued slots that answer periods before `clientPeriod`; true when the
  // slot at the read index answers it.
  bool QueueHolds(PeriodNumber clientPeriod);

  ClientPort ports_[kPorts] = {};
  OutputReadyQueue queue_ = {};
  AsioPairing pairing_ = {0, kNoPeriod, 0};
  // The output latch: the client period each slot holds, and the latest
  // period a fill has played (-1: none).
  PeriodNumber latchTag_[kLatchSlots] = {kNoPeriod, kNoPeriod};
  PeriodNumber played_ = -1;
  // Per ring and slot, the period its samples belong to.
  PeriodNumber ringKey_[kPorts * kPortChannels][kRingSlots];
  int32_t* rings_ = nullptr;
  int32_t* queueSlots_ = nullptr;
  uint32_t playChannels_ = 0;
  uint32_t recordChannels_ = 0;
  uint32_t clientRecordChannels_ = 0;
  tqm::DeviceStatusBlock* status_ = nullptr;
  const tqm::PatchTable* patch_ = nullptr;
};

}  // namespace engine
