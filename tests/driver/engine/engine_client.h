// A client of the engine for the streaming tests: it registers two channels
// of halves per direction on one port, plays a counting signal from the
// playback period callback (into the half the engine reads next) and collects
// what the record period callback hands it. Both callbacks run on the clock
// thread, one after the other, so the client needs no lock of its own; the
// test reads the results once the clock has stopped or been stepped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/engine/stream_engine.h"

namespace engine::testing {

// The counting signal at `bits` of resolution, left-aligned: channel 1 carries
// a different pattern so a swap of channels shows.
inline int32_t CountingSample(uint32_t counter, uint32_t channel, uint32_t bits) {
  const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  const uint32_t v = (channel ? counter ^ 0x2A5A : counter) & mask;
  return int32_t(v << (32 - bits));
}
inline uint32_t SampleValue(int32_t sample, uint32_t bits) { return uint32_t(sample) >> (32 - bits); }

class CountingClient {
 public:
  CountingClient(StreamEngine* engine, uint32_t playPort, uint32_t recordPort, uint32_t bits)
      : engine_(engine), playPort_(playPort), recordPort_(recordPort), bits_(bits) {
    for (uint32_t c = 0; c < 2; ++c)
      for (uint32_t h = 0; h < 2; ++h) {
        engine->RegisterHalf(playPort, kPlayback, c, h, {play_[c][h], 1});
        engine->RegisterHalf(recordPort, kRecord, c, h, {record_[c][h], 1});
      }
    engine->SetPeriodCallback(0, 0, OnPlayback, this);
    engine->SetPeriodCallback(1, 2, OnRecord, this);
  }

  std::vector<int32_t> recorded[2];  // per channel, in order
  std::vector<uint32_t> finishedHalves;  // status word 1 at each record period
  std::atomic<uint32_t> recordPeriods{0};
  // Set before the channels start closing: what follows a partial close is
  // not the full signal any more, and a client does not touch a channel it
  // closes. Record periods are still counted.
  std::atomic<bool> frozen{false};
  // The channels the client plays and collects (bit c = channel c).
  std::atomic<uint32_t> channels{3};
  std::function<void()> onThirdRecordPeriod;

 private:
  static void OnPlayback(ULONG, ULONG, void* context) {
    auto* self = static_cast<CountingClient*>(context);
    if (self->frozen.load()) return;
    // The status block's words are shared (the record side publishes them
    // on the other processor): read whole, as a client reads them.
    const uint32_t period = ReadShared(&self->engine_->status()->periodFrames);
    const ClientPort& port = self->engine_->mixer().port(self->playPort_);
    const uint32_t mask = self->channels.load();
    for (uint32_t c = 0; c < 2; ++c) {
      if (!(mask & (1u << c))) continue;
      int32_t* half = self->play_[c][port.toggle[kPlayback][c]];
      for (uint32_t i = 0; i < period; ++i) half[i] = CountingSample(self->next_ + i, c, self->bits_);
    }
    self->next_ += period;
  }
  static void OnRecord(ULONG, ULONG, void* context) {
    auto* self = static_cast<CountingClient*>(context);
    const uint32_t periods = ++self->recordPeriods;
    if (self->frozen.load()) return;
    // The status block's words are shared (the record side publishes them
    // on the other processor): read whole, as a client reads them.
    const uint32_t period = ReadShared(&self->engine_->status()->periodFrames);
    const ClientPort& port = self->engine_->mixer().port(self->recordPort_);
    const uint32_t mask = self->channels.load();
    for (uint32_t c = 0; c < 2; ++c) {
      if (!(mask & (1u << c))) continue;
      // The engine flipped the toggle after writing the half.
      const int32_t* half = self->record_[c][port.toggle[kRecord][c] ^ 1];
      self->recorded[c].insert(self->recorded[c].end(), half, half + period);
    }
    self->finishedHalves.push_back(ReadShared(&self->engine_->status()->recordHalf));
    if (periods == 3 && self->onThirdRecordPeriod) self->onThirdRecordPeriod();
  }

  StreamEngine* engine_;
  uint32_t playPort_, recordPort_, bits_;
  uint32_t next_ = 1;  // the signal starts at 1, so its start is seen
  int32_t play_[2][2][512] = {};
  int32_t record_[2][2][512] = {};
};

// Checks that `samples` holds the counting signal from 1 on, after a silent
// lead-in, without a frame lost or repeated. Returns the frames checked.
inline size_t ExpectCounting(const std::vector<int32_t>& samples, uint32_t channel, uint32_t bits,
                             const std::string& label) {
  size_t first = 0;
  while (first < samples.size() && samples[first] == 0) ++first;
  const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  size_t errors = 0;
  for (size_t i = first; i < samples.size(); ++i) {
    const uint32_t expected = SampleValue(CountingSample(uint32_t(i - first + 1), channel, bits), bits) & mask;
    const uint32_t got = SampleValue(samples[i], bits);
    if (got != expected && ++errors <= 3)
      ADD_FAILURE() << label << " channel " << channel << " frame " << i - first << ": got 0x" << std::hex << got
                    << " expected 0x" << expected << std::dec;
  }
  EXPECT_EQ(errors, 0u) << label << " channel " << channel;
  return samples.size() - first;
}

}  // namespace engine::testing
