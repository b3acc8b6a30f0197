// What a client can reach through the command interface and its mappings:
// mapped memory is whole pages holding nothing but what the client is meant
// to see, no kernel address reaches user mode, and the SharedBuffer belongs
// to the host that allocated it.
//
// The fixture's verifier hook fails a test on any fault: a user mapping that
// exposes a page shared with other pool blocks is one.
#include <link.h>

#include "driver_fixture.h"
#include "platform/kernel/pool.h"

namespace tqmdrv::testing {
namespace {

using namespace tqm;

constexpr ULONG kSharedTag = 0x3275724F;  // "Oru2"

class BoundaryTest : public DriverTest {
 protected:
  void SetUp() override { ASSERT_NE(Plug(), nullptr); }
  ULONG Period(Client& client) {
    return client.Command(CMD_CLASS_CONTROL, ControlOp::GetLatency).record.Get32(Field::Latency);
  }
  engine::StreamEngine* Engine() {
    return static_cast<FdoExtension*>(Pdo()->AttachedDevice->DeviceExtension)->adapter->engine;
  }
  // Buffer, eight halves, the channels of `outputs` and `inputs`.
  int32_t* StartStreaming(Client& host, ULONG period, ULONG outputs = 3, ULONG inputs = 3) {
    int32_t* shared = host.AllocShared(period * 32);
    if (!shared) return nullptr;
    for (ULONG d = 0; d < 2; ++d)
      for (ULONG c = 0; c < 2; ++c)
        for (ULONG h = 0; h < 2; ++h)
          if (host.RegisterHalf(d, c, h, shared + ((d * 2 + c) * 2 + h) * period) != STATUS_SUCCESS) return nullptr;
    if (host.Activate(outputs, inputs, true) != STATUS_SUCCESS) return nullptr;
    return shared;
  }
  // Steps until the watchdog reaches 10: the host stopped calling back.
  bool LetTheWatchdogRunOut(DeviceStatusBlock* status) {
    for (int i = 0; i < 200 && status->watchdog < kWatchdogLimit; ++i) Step(10);
    return status->watchdog == kWatchdogLimit;
  }
  // Whether the driver still takes a half in the host's buffer: true only
  // while the buffer is the driver's and the host's.
  bool BufferIsTheDriversFor(Client& host, const int32_t* shared) {
    const bool taken = host.RegisterHalf(1, 1, 1, shared) == STATUS_SUCCESS;
    if (taken) host.RegisterHalf(1, 1, 1, nullptr);
    return taken;
  }
};

// ---- whole pages ----------------------------------------------------------------

TEST_F(BoundaryTest, TheSharedBufferIsWholeZeroedPagesOfItsOwn) {
  Client& asio = Open("asio");
  const ULONG lengths[] = {2048, 4196, 8192};
  for (ULONG length : lengths) {
    SCOPED_TRACE(length);
    const size_t pages = (length + PAGE_SIZE - 1) / PAGE_SIZE;
    auto* shared = reinterpret_cast<uint8_t*>(asio.AllocShared(length));
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(BYTE_OFFSET(shared), 0u);
    // The client sees whole pages, and every byte of them is zero.
    ASSERT_TRUE(asio.process().Contains(shared, pages * PAGE_SIZE));
    size_t nonZero = 0;
    for (size_t i = 0; i < pages * PAGE_SIZE; ++i) nonZero += shared[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    // Dirty it all, then release it: the next buffer starts clean again.
    std::memset(shared, 0x5A, pages * PAGE_SIZE);
    EXPECT_EQ(asio.AllocShared(0), nullptr);
    EXPECT_EQ(asio.process().MappingCount(), 0u);
  }
  EXPECT_EQ(machine_.pool().Usage(kSharedTag).blocks, 0u);
}

TEST_F(BoundaryTest, OversizedSharedBuffersAreRefusedBeforeAnythingChanges) {
  Client& asio = Open("asio");
  int32_t* kept = asio.AllocShared(4096);
  ASSERT_NE(kept, nullptr);
  // The largest a client can need: 288 frames x 32 bytes x 8 devices, in
  // whole pages.
  constexpr ULONG kLargest = 73728;
  for (ULONG length : {kLargest + 1, kLargest + ULONG(PAGE_SIZE), 0x80000000u, 0xFFFFFFFFu, 0xFFFFF001u}) {
    SCOPED_TRACE(length);
    const uint64_t allocations = machine_.pool().Usage(kSharedTag).allocations;
    void** cell = static_cast<void**>(asio.process().Allocate(sizeof(void*)));
    *cell = reinterpret_cast<void*>(0x1234);
    const Reply reply = asio.Command(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer,
                                     {Word(Field::SharedLength, length), Slot(Field::SharedCell, cell)});
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(*cell, reinterpret_cast<void*>(0x1234));
    asio.process().Free(cell);
    EXPECT_EQ(machine_.pool().Usage(kSharedTag).allocations, allocations);
    EXPECT_TRUE(BufferIsTheDriversFor(asio, kept));
  }
  int32_t* largest = asio.AllocShared(kLargest);
  ASSERT_NE(largest, nullptr);
  EXPECT_TRUE(asio.process().Contains(largest, kLargest));
  EXPECT_EQ(asio.AllocShared(0), nullptr);
}

TEST_F(BoundaryTest, TheStatusBlockIsMappedFromAPageOfItsOwn) {
  HoldClock();
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  DeviceStatusBlock* control = panel.MapStatus(CMD_CLASS_CONTROL);
  DeviceStatusBlock* stream = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_NE(control, nullptr);
  ASSERT_NE(stream, nullptr);
  // The block starts its page, and what the clients see of it is unchanged.
  EXPECT_EQ(BYTE_OFFSET(control), 0u);
  EXPECT_TRUE(control->sampleRate == 44100 || control->sampleRate == 48000 || control->sampleRate == 96000)
      << control->sampleRate;
  EXPECT_EQ(control->periodFrames, Period(panel));
  EXPECT_EQ(stream->sampleRate, control->sampleRate);
  EXPECT_EQ(control->kernelAddress, nullptr);
  // A client's scribbles on the rest of its page reach nothing of the kernel.
  std::memset(reinterpret_cast<uint8_t*>(control) + sizeof *control, 0xEE, 64);
  const int32_t* shared = StartStreaming(asio, Period(panel));
  ASSERT_NE(shared, nullptr);
  Step(50);
  EXPECT_LT(stream->watchdog, kWatchdogLimit);
  EXPECT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
}

// ---- no kernel addresses ---------------------------------------------------------

// The loaded image the driver's code lives in.
struct Range {
  uintptr_t low = UINTPTR_MAX, high = 0;
  bool Holds(uint64_t value) const { return value >= low && value < high; }
};

Range ImageOf(const void* code) {
  struct Search {
    uintptr_t code;
    Range range;
  } search = {reinterpret_cast<uintptr_t>(code), {}};
  dl_iterate_phdr(
      [](dl_phdr_info* module, size_t, void* context) {
        auto* s = static_cast<Search*>(context);
        Range range;
        bool holds = false;
        for (int i = 0; i < module->dlpi_phnum; ++i) {
          const auto& header = module->dlpi_phdr[i];
          if (header.p_type != PT_LOAD) continue;
          const uintptr_t start = module->dlpi_addr + header.p_vaddr;
          range.low = std::min<uintptr_t>(range.low, start);
          range.high = std::max<uintptr_t>(range.high, start + header.p_memsz);
          holds = holds || (s->code >= start && s->code < start + header.p_memsz);
        }
        if (holds) s->range = range;
        return holds ? 1 : 0;
      },
      &search);
  return search.range;
}

TEST_F(BoundaryTest, NoReplyFieldOrStatusWordHoldsAKernelAddress) {
  const Range image = ImageOf(reinterpret_cast<const void*>(&DriverEntry));
  ASSERT_LT(image.low, image.high);
  auto kernel = [&](uint64_t value) {
    return image.Holds(value) || machine_.pool().Contains(reinterpret_cast<const void*>(uintptr_t(value)), 1);
  };
  // The scan itself finds what it must.
  ASSERT_TRUE(kernel(uint64_t(reinterpret_cast<uintptr_t>(&DriverEntry))));
  ASSERT_TRUE(kernel(uint64_t(reinterpret_cast<uintptr_t>(
      static_cast<FdoExtension*>(Pdo()->AttachedDevice->DeviceExtension)->adapter))));

  Client& panel = Open("panel");
  Client& asio = Open("asio");
  DeviceStatusBlock* control = panel.MapStatus(CMD_CLASS_CONTROL);
  DeviceStatusBlock* stream = asio.MapStatus(CMD_CLASS_STREAM);
  ASSERT_TRUE(control && stream);
  ASSERT_NE(StartStreaming(asio, Period(panel)), nullptr);
  auto* settings = static_cast<uint8_t*>(panel.process().Allocate(4096));
  void** cell = static_cast<void**>(asio.process().Allocate(sizeof(void*)));

  std::vector<std::string> found;
  auto scan = [&](const char* what, const uint8_t* bytes, size_t length, ULONG cls, ULONG op) {
    for (size_t at = 0; at + 4 <= length; at += 4) {
      uint64_t value = 0;
      std::memcpy(&value, bytes + at, at + 8 <= length ? 8 : 4);
      if (kernel(value))
        found.push_back(std::string(what) + " of " + std::to_string(cls) + "." + std::to_string(op) + " at " +
                        std::to_string(at));
    }
  };
  // Every command of every class, from each client, the address slots aimed
  // at the caller's own memory.
  for (Client* client : {&panel, &asio}) {
    for (ULONG cls = CMD_CLASS_DRIVER; cls <= CMD_CLASS_CONTROL; ++cls) {
      for (ULONG op = 0; op < 24; ++op) {
        if (cls == CMD_CLASS_DRIVER && op == DriverOp::UnloadService) continue;  // sent last
        Set fields[] = {Word(Field::MapFlag, 1), Slot(Field::SettingsAddress, settings), Word(Field::Latency, 0)};
        CommandRecord record = Record(cls, op);
        for (const Set& f : fields) f.slot ? record.SetSlot(f.offset, f.value) : record.Set32(f.offset, ULONG(f.value));
        if (cls == CMD_CLASS_STREAM && op == StreamOp::AllocSharedBuffer) {
          record.Set32(Field::SharedLength, 0);  // a release: the host's buffer stays in use
          record.SetSlot(Field::SharedCell, uint64_t(reinterpret_cast<uintptr_t>(cell)));
        }
        if (cls == CMD_CLASS_STREAM && op == StreamOp::SetSampleRate) record.Set32(Field::SampleRate, 48000);
        if (cls == CMD_CLASS_STREAM && op == StreamOp::StartStop) record.Set32(Field::OnOff, 1);
        if (cls == CMD_CLASS_STREAM && (op == StreamOp::ActivateChannels || op == StreamOp::ActivateChannelMask))
          continue;  // the stream keeps running
        if (cls == CMD_CLASS_STREAM && op == StreamOp::SetClientBuffer) continue;  // changes no reply
        const Reply reply = client->Send(record);
        // Each map command replaced that client's mapping.
        if ((cls == CMD_CLASS_CONTROL && op == ControlOp::MapStatusBlock && client == &panel) ||
            (cls == CMD_CLASS_STREAM && op == StreamOp::MapStatusBlock && client == &asio)) {
          auto* fresh = reinterpret_cast<DeviceStatusBlock*>(uintptr_t(reply.record.GetSlot(Field::StatusAddress)));
          ASSERT_NE(fresh, nullptr);
          EXPECT_NE(reply.record.GetSlot(Field::StatusToken), 0u);
          (client == &panel ? control : stream) = fresh;
        }
        scan("reply", reply.record.bytes, sizeof reply.record.bytes, cls, op);
        scan("settings", settings, sizeof(MixerSettings), cls, op);
        scan("cell", reinterpret_cast<const uint8_t*>(cell), sizeof *cell, cls, op);
        for (auto [what, owner, block] : {std::tuple{"control status block", &panel, control},
                                          std::tuple{"stream status block", &asio, stream}}) {
          ASSERT_TRUE(owner->process().Contains(block, sizeof *block)) << what << " lost after " << cls << "." << op;
          scan(what, reinterpret_cast<const uint8_t*>(block), sizeof *block, cls, op);
        }
      }
    }
  }
  // The allocation itself, and the service unload that is refused while the
  // device is there.
  void* shared = nullptr;
  ASSERT_EQ(asio.Activate(3, 3, false), STATUS_SUCCESS);
  ASSERT_NE(shared = asio.AllocShared(8192), nullptr);
  scan("SharedBuffer address", reinterpret_cast<const uint8_t*>(&shared), sizeof shared, 2, 5);
  const Reply unload = panel.Command(CMD_CLASS_DRIVER, DriverOp::UnloadService);
  scan("reply", unload.record.bytes, sizeof unload.record.bytes, 1, DriverOp::UnloadService);
  EXPECT_TRUE(found.empty()) << found.size() << " kernel addresses, first: " << found.front();
  asio.process().Free(cell);
  panel.process().Free(settings);
}

TEST_F(BoundaryTest, MappingTokensAreOpaqueSequenceNumbers) {
  Client& panel = Open("panel");
  Client& asio = Open("asio");
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 3; ++i) {
    for (auto [client, cls, op] : {std::tuple{&panel, CMD_CLASS_CONTROL, ControlOp::MapStatusBlock},
                                   std::tuple{&asio, CMD_CLASS_STREAM, StreamOp::MapStatusBlock}}) {
      const Reply reply = client->Command(cls, op, {Word(Field::MapFlag, 1)});
      ASSERT_EQ(reply.status, STATUS_SUCCESS);
      tokens.push_back(reply.record.GetSlot(Field::StatusToken));
    }
  }
  // Non-zero, a new one per mapping, and nothing the kernel holds.
  for (size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_NE(tokens[i], 0u);
    EXPECT_FALSE(machine_.pool().Contains(reinterpret_cast<const void*>(uintptr_t(tokens[i])), 1));
    for (size_t j = 0; j < i; ++j) EXPECT_NE(tokens[i], tokens[j]);
  }
  // Unmapping does not consult the token.
  for (uint64_t token : {uint64_t(0), uint64_t(0xDEADBEEF)}) {
    ASSERT_NE(panel.MapStatus(CMD_CLASS_CONTROL), nullptr);
    EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::MapStatusBlock,
                            {Word(Field::MapFlag, 0), Slot(Field::StatusToken, token)})
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(panel.process().MappingCount(), 0u);
  }
}

// ---- the SharedBuffer's host -----------------------------------------------------

enum class HostState { Allocated, Streaming, Gone };

const char* Describe(HostState state) {
  switch (state) {
    case HostState::Allocated: return "allocated, channels closed";
    case HostState::Streaming: return "streaming healthily";
    case HostState::Gone: return "stream gone (watchdog at 10)";
  }
  return "?";
}

class HostTest : public BoundaryTest {
 protected:
  // The host's buffer and halves in the given state; the clock is held.
  int32_t* Prepare(Client& host, HostState state) {
    HoldClock();
    status_ = host.MapStatus(CMD_CLASS_STREAM);
    if (!status_) return nullptr;
    period_ = status_->periodFrames;
    int32_t* shared = nullptr;
    if (state == HostState::Allocated) {
      shared = host.AllocShared(period_ * 32);
    } else {
      shared = StartStreaming(host, period_);
      Step(20);
      if (state == HostState::Gone && !LetTheWatchdogRunOut(status_)) return nullptr;
    }
    return shared;
  }
  DeviceStatusBlock* status_ = nullptr;
  ULONG period_ = 0;
};

TEST_F(HostTest, ThePanelLeavingNeverReleasesAnOpenHostsBuffer) {
  for (HostState state : {HostState::Allocated, HostState::Streaming, HostState::Gone}) {
    SCOPED_TRACE(Describe(state));
    Client& panel = Open("panel");
    Client& asio = Open("asio");
    int32_t* shared = Prepare(asio, state);
    ASSERT_NE(shared, nullptr);
    const ULONG health = asio.Health();
    const size_t mappings = asio.process().MappingCount();
    EXPECT_EQ(panel.Command(CMD_CLASS_CONTROL, ControlOp::SetRemovalEvent).status, STATUS_SUCCESS);
    Step(30);
    EXPECT_EQ(asio.Health(), health);
    EXPECT_EQ(asio.process().MappingCount(), mappings);
    EXPECT_TRUE(BufferIsTheDriversFor(asio, shared));
    // Its handle's cleanup is what releases it.
    asio.Close();
    EXPECT_EQ(asio.process().MappingCount(), 0u);
    EXPECT_EQ(panel.Health(), 0u);
    panel.Close();
    machine_.clock().RunFree(true);
  }
}

TEST_F(HostTest, AnotherHostTakesTheBufferOnlyFromAStreamThatIsGone) {
  for (HostState state : {HostState::Allocated, HostState::Streaming, HostState::Gone}) {
    SCOPED_TRACE(Describe(state));
    Client& old = Open("old host");
    Client& next = Open("new host");
    int32_t* shared = Prepare(old, state);
    ASSERT_NE(shared, nullptr);
    void** cell = static_cast<void**>(next.process().Allocate(sizeof(void*)));
    *cell = reinterpret_cast<void*>(0x1234);
    const Reply reply = next.Command(CMD_CLASS_STREAM, StreamOp::AllocSharedBuffer,
                                     {Word(Field::SharedLength, period_ * 32), Slot(Field::SharedCell, cell)});
    if (state != HostState::Gone) {
      EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(*cell, nullptr);
      EXPECT_TRUE(BufferIsTheDriversFor(old, shared));
      // Nor does a release from the other host touch it.
      EXPECT_EQ(next.AllocShared(0), nullptr);
      EXPECT_TRUE(BufferIsTheDriversFor(old, shared));
    } else {
      ASSERT_EQ(reply.status, STATUS_SUCCESS);
      ASSERT_NE(*cell, nullptr);
      EXPECT_NE(*cell, static_cast<void*>(shared));
      EXPECT_FALSE(BufferIsTheDriversFor(old, shared));
      // The old host keeps its mapping: a host that wakes does not fault,
      // and what it writes there goes nowhere the engine reads or writes.
      const size_t bytes = period_ * 32;
      ASSERT_TRUE(old.process().Contains(shared, bytes));
      std::memset(shared, 0x77, bytes);
      Step(50);
      EXPECT_TRUE(old.process().Contains(shared, bytes));
      size_t changed = 0;
      for (size_t i = 0; i < bytes; ++i) changed += reinterpret_cast<uint8_t*>(shared)[i] != 0x77;
      EXPECT_EQ(changed, 0u);
      // The new host's buffer is the driver's now.
      EXPECT_TRUE(BufferIsTheDriversFor(next, static_cast<int32_t*>(*cell)));
      // The old host's release releases only what it had.
      EXPECT_EQ(old.AllocShared(0), nullptr);
      EXPECT_FALSE(old.process().Contains(shared, 4));
      EXPECT_TRUE(BufferIsTheDriversFor(next, static_cast<int32_t*>(*cell)));
    }
    next.process().Free(cell);
    old.Close();
    next.Close();
    EXPECT_EQ(old.process().MappingCount(), 0u);
    EXPECT_EQ(next.process().MappingCount(), 0u);
    EXPECT_EQ(machine_.pool().Usage(kSharedTag).blocks, 0u);
    machine_.clock().RunFree(true);
  }
}

TEST_F(HostTest, ATakenBufferStaysMappedUntilItsHostsHandleCloses) {
  Client& old = Open("old host");
  Client& next = Open("new host");
  int32_t* shared = Prepare(old, HostState::Gone);
  ASSERT_NE(shared, nullptr);
  const size_t before = old.process().MappingCount();
  ASSERT_NE(next.AllocShared(period_ * 32), nullptr);
  EXPECT_EQ(old.process().MappingCount(), before);
  old.Close();
  EXPECT_EQ(old.process().MappingCount(), 0u);
  EXPECT_EQ(next.process().MappingCount(), 1u);
  EXPECT_EQ(next.AllocShared(0), nullptr);
}

TEST_F(BoundaryTest, EachHostsCleanupClosesExactlyTheChannelsItOpened) {
  Client& first = Open("first host");
  Client& second = Open("second host");
  struct Row {
    const char* why;
    Client* closing;
    bool playbackOpen, recordOpen;  // after it closed
  };
  // The first host opens the outputs, the second the inputs after it.
  const Row rows[] = {{"the first host goes", &first, false, true}, {"the second host goes", &second, false, false}};
  ASSERT_EQ(first.Activate(3, 0, true), STATUS_SUCCESS);
  ASSERT_EQ(second.Activate(0, 3, true), STATUS_SUCCESS);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    row.closing->Close();
    for (ULONG c = 0; c < 2; ++c) {
      EXPECT_EQ(Engine()->ChannelOpen(2, engine::kPlayback, c), row.playbackOpen);
      EXPECT_EQ(Engine()->ChannelOpen(2, engine::kRecord, c), row.recordOpen);
    }
  }
}

TEST_F(BoundaryTest, TheLastOpenerOfAChannelIsTheOneWhoseCleanupClosesIt) {
  Client& first = Open("first host");
  Client& second = Open("second host");
  ASSERT_EQ(first.Activate(1, 1, true), STATUS_SUCCESS);
  ASSERT_EQ(second.Activate(1, 0, true), STATUS_SUCCESS);  // output 0 again
  first.Close();
  EXPECT_TRUE(Engine()->ChannelOpen(2, engine::kPlayback, 0));
  EXPECT_FALSE(Engine()->ChannelOpen(2, engine::kRecord, 0));
  second.Close();
  EXPECT_FALSE(Engine()->AnyChannelOpen());
}

}  // namespace
}  // namespace tqmdrv::testing
