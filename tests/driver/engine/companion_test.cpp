// The companion's call-in operations against the engine on the simulated
// machine: every block is filled as the companion fills it (pointer arguments
// in two words, low word first), and the results are read where they show:
// the reply words, the engine's ports and streams, the status block, the
// debug output and the virtual TQM27's feature units.
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/engine/companion.h"
#include "tests/driver/engine/engine_client.h"
#include "tests/driver/engine/engine_fixture.h"

namespace engine::testing {
namespace {

// One call-in block. Unused words hold a marker so a stray write shows.
struct Block {
  static constexpr ULONG kMarker = 0xC0DEC0DE;
  ULONG w[16];
  Block() {
    for (ULONG& word : w) word = kMarker;
  }
  Block(std::initializer_list<ULONG> words) : Block() {
    ULONG i = 0;
    for (ULONG word : words) w[i++] = word;
  }
};

std::unique_ptr<CompanionState> NewState() {
  auto state = std::make_unique<CompanionState>();
  std::memset(state.get(), 0, sizeof(CompanionState));
  state->firstUse = 1;
  return state;
}

// The companion's RegisterCallback block: a, b, c, function, context.
Block CallbackBlock(ULONG a, ULONG b, ULONG c, PeriodCallback fn, void* context) {
  Block block{a, b, c};
  SetCompanionPointerArgument(block.w, 3, reinterpret_cast<void*>(fn));
  SetCompanionPointerArgument(block.w, 5, context);
  return block;
}

// The companion's RegisterBuffers block: direction, selector, (ignored), count,
// address, half-1 offset, stride.
Block BufferBlock(ULONG direction, ULONG selector, ULONG count, void* address, ULONG secondHalf, ULONG stride) {
  Block block{direction, selector, Block::kMarker, count};
  SetCompanionPointerArgument(block.w, 4, address);
  block.w[6] = secondHalf;
  block.w[7] = stride;
  return block;
}

std::string Words(const Block& b, ULONG n) {
  std::string text;
  for (ULONG i = 0; i < n; ++i) text += (i ? " " : "") + std::to_string(b.w[i]);
  return text;
}

bool Logged(Rig& rig, const std::string& text) {
  for (const auto& line : rig.machine_.DebugOutput())
    if (line.text == text) return true;
  return false;
}

size_t VolumeLines(Rig& rig) {
  size_t n = 0;
  for (const auto& line : rig.machine_.DebugOutput())
    if (line.text.rfind("SetWDMVolume", 0) == 0) ++n;
  return n;
}

tqm::MixerSettings Current(Rig& rig) {
  tqm::MixerSettings s;
  rig.engine_->GetSettings(&s);
  return s;
}

class CompanionCallTest : public EngineTest {
 protected:
  NTSTATUS Call(ULONG op, Block& block) { return CompanionCall(engine_, state_.get(), op, block.w); }
  std::unique_ptr<CompanionState> state_ = NewState();
};

// The operations that only answer: what each writes into the block, and that
// it writes nothing else.
TEST_F(CompanionCallTest, Replies) {
  ASSERT_EQ(engine_->StartDevice(44100, 192, 2, 0), STATUS_SUCCESS);
  const ULONG m = Block::kMarker;
  struct Row {
    ULONG op;
    Block in;
    Block out;
    const char* why;
  } rows[] = {
      {6, {48000, 7}, {48000, 48000}, "ProposeRate: nothing open, a supported rate is taken"},
      {6, {22050, 7}, {22050, 44100}, "ProposeRate: an unsupported rate gives the current one"},
      {6, {0, 7}, {0, 44100}, "ProposeRate: 0 asks for the current rate"},
      {7, {9}, {0}, "QueryValue answers 0"},
      {9, {3, 7}, {3, 1}, "QueryFlag answers 1 in word 1"},
      {10, {3, 7}, {3, 0xFFFF}, "QueryMask answers 0xFFFF in word 1"},
      {12, {7}, {192}, "GetPeriodSize: status block word 0"},
      {18, {5, 6, 7}, {5, 6, 0}, "ClearWord clears word 2 only"},
      {19, {7, 7}, {2, 2}, "two channels each way"},
      {20, {7, 7}, {32, 32}, "32-bit containers each way"},
      {22, {7}, {1}, "TakeFlag: the first-use flag is still set"},
      {22, {7}, {0}, "TakeFlag: taken by the call before"},
      {13, {1, 2, 3}, {1, 2, 3}, "no effect"},
      {16, {1, 2, 3}, {1, 2, 3}, "no effect"},
      {21, {1, 2, 3}, {1, 2, 3}, "no effect"},
      {24, {1, 2, 3}, {1, 2, 3}, "above 23: no effect"},
      {0xFFFFFFFF, {1, 2, 3}, {1, 2, 3}, "far above 23: no effect"},
  };
  for (Row& r : rows) {
    Block block = r.in;
    EXPECT_EQ(Call(r.op, block), STATUS_SUCCESS) << r.why;
    for (ULONG i = 0; i < 16; ++i) {
      const ULONG expected = i < 8 && r.out.w[i] != m ? r.out.w[i] : m;
      EXPECT_EQ(block.w[i], expected) << "op " << r.op << " word " << i << ": " << r.why << " (block "
                                      << Words(block, 4) << ")";
    }
  }
  // Without an engine the period query answers 0.
  Block block{7};
  EXPECT_EQ(CompanionCall(nullptr, state_.get(), 12, block.w), STATUS_SUCCESS);
  EXPECT_EQ(block.w[0], 0u);
}

// SetFormat stores the 16-bit flag as the mode and changes the rate with it,
// reports the container width in status word 10 and clears reply word 6; the
// mode decides the playback alternate setting once streaming starts.
TEST_F(CompanionCallTest, SetFormatChangesRateModeAndWidth) {
  ASSERT_EQ(engine_->StartWithSettings(), STATUS_SUCCESS);
  Block format{0, 48000, 0, 32, 1, 0, 99};
  ASSERT_EQ(Call(5, format), STATUS_SUCCESS);
  EXPECT_EQ(format.w[6], 0u);
  EXPECT_EQ(engine_->status()->sampleRate, 48000u);
  EXPECT_EQ(engine_->status()->containerBits, 32u);
  EXPECT_EQ(engine_->mode(), 1u);
  EXPECT_EQ(device().State().playbackRate, 48000u);
  Block open{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(3, open), STATUS_SUCCESS);
  EXPECT_EQ(engine_->playAlternate(), 3) << "16-bit playback at 48 kHz";
  EXPECT_EQ(engine_->playWidth(), 2u);
  Block close{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(4, close), STATUS_SUCCESS);
  // An unsupported rate is refused and the rate stays.
  Block bad{0, 22050, 0, 24, 0, 0, 99};
  EXPECT_EQ(Call(5, bad), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine_->status()->sampleRate, 48000u);
}

// Indexes, selectors and counts that name nothing are refused and change
// nothing: not the companion's tables, not the engine's ports, channels or
// request count.
TEST_F(CompanionCallTest, RejectedIndexesChangeNothing) {
  ASSERT_EQ(engine_->StartDevice(48000, 96, 4, 0), STATUS_SUCCESS);
  int32_t buffer[4096];
  auto fn = [](ULONG, ULONG, void*) {};
  struct Row {
    ULONG op;
    Block block;
    const char* why;
  } rows[] = {
      {0, CallbackBlock(2, 0, 0, fn, buffer), "callback kind a = 2"},
      {0, CallbackBlock(0, 16, 0, fn, buffer), "callback row b = 16"},
      {0, CallbackBlock(1, 0, 16, fn, buffer), "callback column c = 16"},
      {0, CallbackBlock(0xFFFFFFFF, 0, 0, fn, buffer), "a huge kind would index far outside the table"},
      {1, {16, 1, 2}, "pair 16: the table has 16 entries"},
      {2, BufferBlock(kPlayback, 1, 2, buffer, 1024, 2), "selector 1 names channels 2 and 3 of a two-channel port"},
      {2, BufferBlock(kRecord, 4, 3, buffer, 1024, 2), "three channels of port 1"},
      {2, BufferBlock(2, 0, 2, buffer, 1024, 2), "direction 2"},
      {3, {kPlayback, 2, 0, 1}, "open: selector 2"},
      {3, {kRecord, 0, 0, 3}, "open: count 3"},
      {3, {3, 0, 0, 1}, "open: direction 3"},
      {4, {kPlayback, 5, 0, 1}, "close: selector 5"},
      {4, {kRecord, 4, 0, 3}, "close: count 3"},
      {4, {2, 0, 0, 1}, "close: direction 2 (only 4 means stop-all)"},
      {23, {1}, "request count 1"},
      {23, {10}, "request count 10: a stream has ten slots, the record side's"},
      {23, {0xFFFFFFFF}, "request count far out of range"},
  };
  // Port 2 streams meanwhile, so a wrong close would show as a stop.
  ASSERT_EQ(engine_->OpenChannel(2, kRecord, 0), STATUS_SUCCESS);
  for (Row& r : rows) {
    const auto before = NewState();
    std::memcpy(before.get(), state_.get(), sizeof(CompanionState));
    ClientPort ports[kPorts];
    for (ULONG p = 0; p < kPorts; ++p) ports[p] = engine_->mixer().port(p);
    Block block = r.block;
    EXPECT_EQ(Call(r.op, block), STATUS_INVALID_PARAMETER) << r.why;
    EXPECT_EQ(std::memcmp(before.get(), state_.get(), sizeof(CompanionState)), 0) << r.why;
    for (ULONG p = 0; p < kPorts; ++p)
      EXPECT_EQ(std::memcmp(&ports[p], &engine_->mixer().port(p), sizeof(ClientPort)), 0)
          << r.why << ": port " << p << " changed";
    EXPECT_TRUE(engine_->Streaming()) << r.why;
    EXPECT_EQ(engine_->status()->requestCount, 4u) << r.why;
  }
  EXPECT_EQ(engine_->CloseChannel(2, kRecord, 0), STATUS_SUCCESS);
}

// The tables the companion fills and the engine does not read: pairs, use
// counts by byte index, the counts' reset.
TEST_F(CompanionCallTest, PairsAndUseCounts) {
  struct Row {
    ULONG op;
    Block block;
    const char* why;
  } script[] = {
      {1, {15, 7, 9}, "the last pair"},
      {1, {0, 1, 2}, "the first pair"},
      {11, {0, 1}, "index 0 up"},
      {11, {0x100, 1}, "index 0x100 is byte 0: up again"},
      {11, {1, 1}, "index 1 up"},
      {11, {1, 0}, "index 1 down"},
      {11, {1, 0}, "index 1 down below zero"},
      {11, {200, 1}, "index 200 up"},
      {11, {200, 2}, "on = 2 does nothing"},
  };
  for (Row& r : script) EXPECT_EQ(Call(r.op, r.block), STATUS_SUCCESS) << r.why;
  EXPECT_EQ(state_->pairs[15][0], 7u);
  EXPECT_EQ(state_->pairs[15][1], 9u);
  EXPECT_EQ(state_->pairs[0][0], 1u);
  EXPECT_EQ(state_->pairs[0][1], 2u);
  EXPECT_EQ(state_->useCounts[0], 2);
  EXPECT_EQ(state_->useCounts[1], -1);
  EXPECT_EQ(state_->useCounts[200], 1);
  Block reset;
  EXPECT_EQ(Call(8, reset), STATUS_SUCCESS);
  EXPECT_EQ(state_->useCounts[0], 0);
  EXPECT_EQ(state_->useCounts[1], 0);
  EXPECT_EQ(state_->useCounts[200], 1) << "only indexes 0 and 1 are cleared";
  Block up{1, 1};
  ASSERT_EQ(Call(11, up), STATUS_SUCCESS);
  Block query{7};
  EXPECT_EQ(Call(7, query), STATUS_SUCCESS);
  EXPECT_EQ(state_->useCounts[1], 0) << "QueryValue clears them too";
  // ResetCounters reads no arguments: a companion may pass none.
  EXPECT_EQ(CompanionCall(engine_, state_.get(), 8, nullptr), STATUS_SUCCESS);
}

// Buffers land on the port and channels the selector names: channel j at
// address + 4j, half 1 behind it by the half-1 offset, with the stride given.
// A null address takes the halves away.
TEST_F(CompanionCallTest, RegisterBuffersLaysOutHalves) {
  static int32_t area[2][2048];
  struct Row {
    ULONG direction, selector, count, port;
    int32_t* address;
    ULONG offset, stride;
    const char* why;
  } rows[] = {
      {kPlayback, 0, 2, 0, area[0], 4096, 2, "port 0, interleaved stereo, halves 4 KiB apart"},
      {kRecord, 4, 2, 1, area[1], 2048, 2, "selector 4 is port 1"},
      {kRecord, 0, 1, 0, area[1] + 100, 400, 1, "one channel only"},
      {kPlayback, 4, 0, 1, area[0], 8, 2, "no channels: nothing registered"},
      {kPlayback, 0, 2, 0, nullptr, 4096, 2, "null address: both halves of both channels go"},
  };
  for (Row& r : rows) {
    ClientPort before = engine_->mixer().port(r.port);
    Block block = BufferBlock(r.direction, r.selector, r.count, r.address, r.offset, r.stride);
    ASSERT_EQ(Call(2, block), STATUS_SUCCESS) << r.why;
    const ClientPort& port = engine_->mixer().port(r.port);
    for (ULONG j = 0; j < 2; ++j) {
      for (ULONG h = 0; h < 2; ++h) {
        const SampleRun& run = port.half[r.direction][j][h];
        if (j >= r.count) {
          EXPECT_EQ(run.address, before.half[r.direction][j][h].address) << r.why << ": channel " << j << " untouched";
          continue;
        }
        int32_t* expected = nullptr;
        if (r.address)
          expected = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(r.address) + 4 * j + (h ? r.offset : 0));
        EXPECT_EQ(run.address, expected) << r.why << ": channel " << j << " half " << h;
        EXPECT_EQ(run.stride, r.stride) << r.why << ": channel " << j << " half " << h;
      }
    }
  }
}

// Levels in 1/65536 dB become half-dB settings words, out-of-range ones are
// stored all the same and logged with the system's exact lines, and the
// feature units follow 50 ms later through the deferred apply.
TEST_F(CompanionCallTest, SetWdmVolumeExamples) {
  ASSERT_EQ(engine_->StartWithSettings(), STATUS_SUCCESS);
  const LONG dB = 65536;
  struct Row {
    ULONG device, id;
    LONG left, right;
    int32_t word0, word1;  // the words the id addresses afterwards
    const char* line;      // the debug line, or null for none
    const char* why;
  } rows[] = {
      {0, 0, 0, 0, 110, 110, nullptr, "0 dB is playback word 110"},
      {0, 0, -55 * dB, -55 * dB, 0, 0, nullptr, "-55 dB (-3604480) is word 0, the bottom, not logged"},
      {0, 0, -55 * dB - dB / 2, -56 * dB, -1, -2,
       "SetWDMVolume Volume OUT (Dev[0], Id[0], LM[-3637248] - vL[-1], RM[-3670016] - vR[-2]) \n",
       "below -55 dB: a negative word, logged and stored"},
      {0, 0, -dB, dB / 2, 108, 111,
       "SetWDMVolume Volume OUT (Dev[0], Id[0], LM[-65536] - vL[108], RM[32768] - vR[111]) \n",
       "right +0.5 dB is above the top"},
      {0, 0, -dB / 4, -3 * dB / 4, 110, 109, nullptr, "quarter steps truncate toward zero"},
      {0, 0, INT_MIN, INT_MIN, -32768, -32768,
       "SetWDMVolume Volume OUT (Dev[0], Id[0], LM[-2147483648] - vL[-32768], RM[-2147483648] - vR[-32768]) \n",
       "the lowest level saturates at the 16-bit bottom instead of wrapping to 0 dB"},
      {0, 2, 12 * dB, 12 * dB, 104, 104, nullptr, "+12 dB (786432) is record word 104, the top"},
      {0, 2, 12 * dB + dB / 2, 0, 105, 80,
       "SetWDMVolume Volume IN WRONG VALUE (Dev[0], Id[2], LM[819200] - vL[105], RM[0] - vR[80]) \n",
       "+12.5 dB is word 105: logged and stored"},
      {0, 2, -40 * dB, 0, 0, 80, nullptr, "-40 dB is record word 0"},
      {0, 1, 1, 77, 1, -1, nullptr, "playback mute takes left as it is"},
      {0, 3, 1, 77, 1, -1, nullptr, "record mute takes left as it is"},
      {1, 0, -20 * dB, -20 * dB, 110, 110, nullptr, "device 1 changes nothing"},
      {0, 4, -20 * dB, -20 * dB, 110, 110, nullptr, "id 4 changes nothing"},
  };
  for (Row& r : rows) {
    machine_.ClearDebugOutput();
    const tqm::MixerSettings before = Current(*this);
    Block block{r.device, r.id, ULONG(r.left), ULONG(r.right)};
    ASSERT_EQ(Call(17, block), STATUS_SUCCESS) << r.why;
    if (r.line)
      EXPECT_TRUE(Logged(*this, r.line)) << r.why << ": expected line " << r.line;
    else
      EXPECT_EQ(VolumeLines(*this), 0u) << r.why;
    EXPECT_EQ(VolumeLines(*this), r.line ? 1u : 0u) << r.why;
    Step(45);
    const tqm::MixerSettings early = Current(*this);
    EXPECT_EQ(std::memcmp(&before, &early, sizeof before), 0) << r.why << ": applied before 50 ms";
    Step(10);
    const tqm::MixerSettings after = Current(*this);
    const auto state = device().State();
    switch (r.device == 0 ? r.id : 99) {
      case 0:
        EXPECT_EQ(after.playVolume[0], r.word0) << r.why;
        EXPECT_EQ(after.playVolume[1], r.word1) << r.why;
        EXPECT_EQ(uint16_t(state.playback.volume[0]), VolumeWireValue(r.word0, kPlayback)) << r.why;
        EXPECT_EQ(uint16_t(state.playback.volume[1]), VolumeWireValue(r.word1, kPlayback)) << r.why;
        break;
      case 1:
        EXPECT_EQ(after.playMute, r.word0) << r.why;
        EXPECT_TRUE(state.playback.mute) << r.why;
        break;
      case 2:
        EXPECT_EQ(after.recordVolume[0], r.word0) << r.why;
        EXPECT_EQ(after.recordVolume[1], r.word1) << r.why;
        EXPECT_EQ(uint16_t(state.record.volume[0]), VolumeWireValue(r.word0, kRecord)) << r.why;
        EXPECT_EQ(uint16_t(state.record.volume[1]), VolumeWireValue(r.word1, kRecord)) << r.why;
        break;
      case 3:
        EXPECT_EQ(after.recordMute, r.word0) << r.why;
        EXPECT_TRUE(state.record.mute) << r.why;
        break;
      default:
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << r.why;
        break;
    }
    // Back to unity and unmuted for the next row.
    tqm::MixerSettings reset = after;
    reset.playVolume[0] = reset.playVolume[1] = tqm::kPlayVolumeUnity;
    reset.recordVolume[0] = reset.recordVolume[1] = tqm::kRecordVolumeUnity;
    reset.playMute = reset.recordMute = 0;
    engine_->ApplySettings(&reset);
  }
  // The examples' hardware values, spelled out.
  EXPECT_EQ(VolumeWireValue(0, kPlayback), 0xC900) << "-55 dB";
  EXPECT_EQ(VolumeWireValue(104, kRecord), 0x0C00) << "+12 dB";
}

struct CallbackLog {
  std::atomic<uint32_t> calls[2][16] = {};
  std::atomic<uint32_t> wrongArguments{0};
  std::atomic<uint32_t> recordPeriods{0};
  void* self;
};

void CountCall(ULONG a, ULONG c, void* context) {
  auto* log = static_cast<CallbackLog*>(context);
  if (a >= 2 || c >= 16 || log->self != log) {
    ++log->wrongArguments;
    return;
  }
  ++log->calls[a][c];
}

// The four slots the engine calls are called once per period of their
// direction with their own (a, c) and context; registered slots the engine
// does not call, and slots registered without a context, stay silent.
TEST_F(CompanionCallTest, PeriodCallbacksOncePerPeriod) {
  StartWith(*this, 48000, 96);
  CallbackLog log;
  log.self = &log;
  CallbackLog other;
  other.self = &other;
  engine_->SetNotifySink({[](void* context, ULONG slot) {
                            if (slot == 1) ++static_cast<CallbackLog*>(context)->recordPeriods;
                          },
                          &log});
  struct Row {
    ULONG a, b, c;
    CallbackLog* context;
  } registered[] = {
      {0, 0, 0, &log}, {0, 0, 6, &log}, {1, 0, 2, &log}, {1, 0, 6, &log},  // the engine's four
      {0, 1, 0, &other}, {1, 0, 3, &other}, {1, 15, 15, &other},           // the companion's own
      {0, 0, 6, nullptr},  // registered again without a context: disabled
  };
  for (Row& r : registered) {
    Block block = CallbackBlock(r.a, r.b, r.c, CountCall, r.context);
    ASSERT_EQ(Call(0, block), STATUS_SUCCESS);
  }
  const CompanionCallbackSlot& slot = state_->callbacks[(16 * 1 + 15) * 16 + 15];
  EXPECT_EQ(slot.enabled, 1u);
  EXPECT_EQ(slot.context, &other);
  EXPECT_EQ(state_->callbacks[6].enabled, 0u) << "(0, 0, 6) without a context";

  int32_t play[2][2][96] = {}, record[2][2][96] = {};
  for (ULONG c = 0; c < 2; ++c)
    for (ULONG h = 0; h < 2; ++h) {
      engine_->RegisterHalf(0, kPlayback, c, h, {play[c][h], 1});
      engine_->RegisterHalf(0, kRecord, c, h, {record[c][h], 1});
    }
  Block open{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(3, open), STATUS_SUCCESS);
  Block openRecord{kRecord, 0, 0, 2};
  ASSERT_EQ(Call(3, openRecord), STATUS_SUCCESS);
  Step(200);
  Block close{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(4, close), STATUS_SUCCESS);
  Block closeRecord{kRecord, 0, 0, 2};
  ASSERT_EQ(Call(4, closeRecord), STATUS_SUCCESS);

  const uint32_t periods = log.recordPeriods.load();
  // 200 ms of 2 ms periods.
  EXPECT_GE(periods, 95u);
  EXPECT_LE(periods, 100u);
  EXPECT_EQ(log.calls[1][2].load(), periods) << "record slot (1, 0, 2)";
  EXPECT_EQ(log.calls[1][6].load(), periods) << "record slot (1, 0, 6)";
  // The playback side consumes the same periods; it runs a request or so ahead.
  EXPECT_GE(log.calls[0][0].load() + 2, periods) << "playback slot (0, 0, 0)";
  EXPECT_LE(log.calls[0][0].load(), periods + 2) << "playback slot (0, 0, 0)";
  EXPECT_EQ(log.calls[0][6].load(), 0u) << "(0, 0, 6) was disabled again";
  EXPECT_EQ(log.wrongArguments.load(), 0u);
  for (ULONG a = 0; a < 2; ++a)
    for (ULONG c = 0; c < 16; ++c) EXPECT_EQ(other.calls[a][c].load(), 0u) << "slot " << a << ", " << c;
}

// Stop-all (CloseChannels with direction 4) stops both streams although the
// ASIO client's port-2 channels stay open, ignores selector and count, and
// clears the peaks; no period follows.
TEST_F(CompanionCallTest, StopAllStopsStreamingWithPort2Open) {
  ASSERT_EQ(engine_->StartDevice(48000, 96, 2, 1), STATUS_SUCCESS);
  CountingClient asio(engine_, 2, 2, 24);
  OpenAll(engine_, 2, 2);
  Block open{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(3, open), STATUS_SUCCESS);
  Step(50);
  ASSERT_TRUE(engine_->Streaming());
  EXPECT_NE(engine_->status()->outPeak[0], 0u) << "the ASIO client plays a signal with meters on";
  Block stop{4, 77, 0, 1000};  // selector and count name nothing: ignored
  ASSERT_EQ(Call(4, stop), STATUS_SUCCESS);
  EXPECT_FALSE(engine_->Streaming());
  EXPECT_EQ(engine_->stream(kPlayback), nullptr);
  EXPECT_EQ(engine_->stream(kRecord), nullptr);
  for (ULONG c = 0; c < 2; ++c) {
    EXPECT_EQ(engine_->status()->outPeak[c], 0u) << "channel " << c;
    EXPECT_EQ(engine_->status()->inPeak[c], 0u) << "channel " << c;
    EXPECT_TRUE(engine_->mixer().IsOpen(2, kPlayback, c)) << "the ASIO client's channel " << c << " stays open";
  }
  const uint32_t periods = asio.recordPeriods.load();
  Step(50);
  EXPECT_EQ(asio.recordPeriods.load(), periods) << "no period after the stop";
  asio.frozen = true;
  Block close{kPlayback, 0, 0, 2};
  EXPECT_EQ(Call(4, close), STATUS_SUCCESS);
  CloseAll(engine_, 2, 2);
  EXPECT_EQ(device().State().alternate[kPlaybackInterface], 0) << "the last close deselects";
}

// Closing port 1's channels signals slot 0 before each close, while the
// channel is still open; port 0's close signals nothing.
TEST_F(CompanionCallTest, Port1CloseSignalsSlot0First) {
  StartWith(*this, 48000, 96);
  struct Seen {
    StreamEngine* engine;
    std::vector<std::string> events;
  } seen{engine_, {}};
  engine_->SetNotifySink({[](void* context, ULONG slot) {
                            auto* s = static_cast<Seen*>(context);
                            if (slot != 0) return;
                            std::string e = "slot0";
                            for (ULONG c = 0; c < 2; ++c)
                              if (s->engine->mixer().IsOpen(1, kRecord, c)) e += " open" + std::to_string(c);
                            s->events.push_back(e);
                          },
                          &seen});
  Block open0{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(3, open0), STATUS_SUCCESS);
  Block open1{kRecord, 4, 0, 2};
  ASSERT_EQ(Call(3, open1), STATUS_SUCCESS);
  Step(10);
  seen.events.clear();
  Block close1{kRecord, 4, 0, 2};
  ASSERT_EQ(Call(4, close1), STATUS_SUCCESS);
  EXPECT_EQ(seen.events, (std::vector<std::string>{"slot0 open0 open1", "slot0 open1"}));
  seen.events.clear();
  Block close0{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(4, close0), STATUS_SUCCESS);
  EXPECT_TRUE(seen.events.empty()) << seen.events.size() << " signals for port 0";
  EXPECT_FALSE(engine_->Streaming());
}

// The request count goes through like every other entry's; while streaming
// the playback stream restarts with the new count.
TEST_F(CompanionCallTest, SetRequestCountRestartsTheStream) {
  StartWith(*this, 48000, 96);
  Block open{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(3, open), STATUS_SUCCESS);
  Block count{6};
  ASSERT_EQ(Call(23, count), STATUS_SUCCESS);
  EXPECT_EQ(engine_->status()->requestCount, 6u);
  ASSERT_NE(engine_->stream(kPlayback), nullptr);
  EXPECT_EQ(engine_->stream(kPlayback)->slots, 6u);
  Step(20);
  EXPECT_EQ(Current(*this).requestCount, 6);
  Block close{kPlayback, 0, 0, 2};
  ASSERT_EQ(Call(4, close), STATUS_SUCCESS);
}

// The calls that block on the device are refused above PASSIVE_LEVEL and
// change nothing; without an engine they are refused too.
TEST_F(CompanionCallTest, BlockingCallsNeedPassiveLevelAndAnEngine) {
  StartWith(*this, 48000, 96);
  const struct {
    ULONG op;
    Block block;
  } rows[] = {{3, {kPlayback, 0, 0, 2}}, {4, {4}}, {5, {0, 44100, 0, 32, 0, 0, 0}}, {17, {0, 0, ULONG(-20 * 65536), ULONG(-20 * 65536)}}, {23, {5}}};
  for (const auto& r : rows) {
    Block block = r.block;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = Call(r.op, block);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE) << "op " << r.op;
    block = r.block;
    EXPECT_EQ(CompanionCall(nullptr, state_.get(), r.op, block.w), STATUS_INVALID_DEVICE_STATE) << "op " << r.op;
  }
  EXPECT_FALSE(engine_->mixer().AnyOpen());
  EXPECT_EQ(engine_->status()->sampleRate, 48000u);
  EXPECT_EQ(engine_->status()->requestCount, 2u);
  Step(60);
  EXPECT_EQ(Current(*this).playVolume[0], tqm::kPlayVolumeUnity) << "no apply was scheduled";
}

}  // namespace
}  // namespace engine::testing

namespace engine::testing {
namespace {

// Every operation the companion may call at any IRQL, with a block that makes
// it do its work: at DISPATCH_LEVEL, and from inside the record callback
// (which runs under the record lock) and the playback callback of a running
// stream. None may wait, take a passive-level lock or a lock the caller holds.
struct AnyLevelCalls {
  StreamEngine* engine;
  CompanionState* state;
  int32_t buffer[2][512] = {};
  std::vector<std::pair<ULONG, NTSTATUS>> results;
  bool done = false;

  static void Noop(ULONG, ULONG, void*) {}

  void Run() {
    static int marker;
    struct Row {
      ULONG op;
      Block block;
    };
    std::vector<Row> rows = {
        {0, CallbackBlock(1, 0, 5, Noop, &marker)},            // a record slot the engine does not call
        {0, CallbackBlock(0, 0, 6, Noop, &marker)},            // a playback slot the engine calls
        {1, {3, 7, 8}},                                        // a pair
        {2, BufferBlock(kRecord, 0, 2, buffer[1], 768, 2)},    // record buffers of port 0
        {2, BufferBlock(kPlayback, 0, 2, buffer[0], 768, 2)},  // playback buffers of port 0
        {6, {96000, 0}},                                       // ProposeRate
        {7, {0}},     {8, {}},     {9, {0, 0}}, {10, {0, 0}}, {11, {1, 1}}, {12, {0}}, {13, {}}, {14, {}},
        {15, {}},     {16, {}},    {18, {0, 0, 5}}, {19, {0, 0}}, {20, {0, 0}}, {21, {0}}, {22, {0}},
    };
    for (Row& r : rows) results.emplace_back(r.op, CompanionCall(engine, state, r.op, r.block.w));
    done = true;
  }
  static void FromCallback(ULONG, ULONG, void* context) {
    auto* self = static_cast<AnyLevelCalls*>(context);
    if (!self->done) self->Run();
  }
};

TEST_F(CompanionCallTest, AnyLevelCallsAtDispatchAndFromInsideEachCallback) {
  StartWith(*this, 48000, 96);
  for (const char* where : {"at DISPATCH_LEVEL", "in the record callback", "in the playback callback"}) {
    SCOPED_TRACE(where);
    AnyLevelCalls calls{engine_, state_.get()};
    const std::string at = where;
    if (at == "at DISPATCH_LEVEL") {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      calls.Run();
      KeLowerIrql(old);
    } else {
      const bool record = at == "in the record callback";
      Block hook = CallbackBlock(record ? 1 : 0, 0, record ? 2 : 0, AnyLevelCalls::FromCallback, &calls);
      ASSERT_EQ(Call(0, hook), STATUS_SUCCESS);
      Block open{kRecord, 0, 0, 2};
      ASSERT_EQ(Call(3, open), STATUS_SUCCESS);
      Step(20);
      Block close{4};
      ASSERT_EQ(Call(4, close), STATUS_SUCCESS);
      Block closeRecord{kRecord, 0, 0, 2};
      ASSERT_EQ(Call(4, closeRecord), STATUS_SUCCESS);
      Block unhook = CallbackBlock(record ? 1 : 0, 0, record ? 2 : 0, nullptr, nullptr);
      ASSERT_EQ(Call(0, unhook), STATUS_SUCCESS);
    }
    ASSERT_TRUE(calls.done) << "the callback never ran";
    for (const auto& [op, status] : calls.results) EXPECT_EQ(status, STATUS_SUCCESS) << "op " << op;
    // What the calls registered took effect.
    EXPECT_EQ(engine_->mixer().port(0).half[kRecord][1][1].address, calls.buffer[1] + 1 + 192);
    EXPECT_EQ(engine_->mixer().port(0).half[kPlayback][0][0].address, calls.buffer[0]);
    for (ULONG direction : {kPlayback, kRecord}) {
      Block none = BufferBlock(direction, 0, 2, nullptr, 0, 2);
      ASSERT_EQ(Call(2, none), STATUS_SUCCESS);
    }
  }
}

}  // namespace
}  // namespace engine::testing
