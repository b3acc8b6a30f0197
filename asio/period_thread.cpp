// The period thread; see period_thread.h.
#include "asio/period_thread.h"

#include <mmsystem.h>

#include <new>

#include "asio/asio_driver.h"
#include "platform/bridge/sys.h"
#include "tqm/status_block.h"

namespace tqmasio {
namespace {

// The multimedia class scheduler, loaded at run time: it is missing on some
// systems, and joining the class is a wish, not a need.
struct Avrt {
  HANDLE(WINAPI* setCharacteristics)(LPCSTR, LPDWORD) = nullptr;
  BOOL(WINAPI* setPriority)(HANDLE, int) = nullptr;
  BOOL(WINAPI* revert)(HANDLE) = nullptr;
  HMODULE module = nullptr;

  Avrt() {
    module = LoadLibraryW(L"avrt.dll");
    if (!module) return;
    setCharacteristics = reinterpret_cast<decltype(setCharacteristics)>(
        reinterpret_cast<void*>(GetProcAddress(module, "AvSetMmThreadCharacteristicsA")));
    setPriority = reinterpret_cast<decltype(setPriority)>(
        reinterpret_cast<void*>(GetProcAddress(module, "AvSetMmThreadPriority")));
    revert = reinterpret_cast<decltype(revert)>(
        reinterpret_cast<void*>(GetProcAddress(module, "AvRevertMmThreadCharacteristics")));
  }
  ~Avrt() {
    if (module) FreeLibrary(module);
  }
};

constexpr int kAvrtPriorityHigh = 2;

void RunPeriods(PeriodRun& run) {
  Avrt avrt;
  HANDLE task = nullptr;
  if (avrt.setCharacteristics) {
    DWORD index = 0;
    task = avrt.setCharacteristics("Pro Audio", &index);
    if (task && avrt.setPriority) avrt.setPriority(task, kAvrtPriorityHigh);
  }
  const tqm::StatusBlockView block(run.status, tqm::kNativeWide);
  StreamPosition& position = *run.position;
  // What the reported latencies depend on: a change is the host's cue to ask again.
  uint32_t period = run.toldPeriod ? run.toldPeriod : block.Read(tqm::StatusWord::PeriodFrames);
  uint32_t rate = run.toldRate ? run.toldRate : block.Read(tqm::StatusWord::SampleRate);
  uint32_t requests = run.toldRequests ? run.toldRequests : block.Read(tqm::StatusWord::RequestCount);
  uint64_t counter = 0;
  SetEvent(run.handshake);

  const HANDLE waits[2] = {run.quitEvent, run.periodEvent};
  for (;;) {
    const DWORD woke = sys::WaitForMultipleObjects(2, waits, FALSE, run.timeoutMs);
    if (woke == WAIT_OBJECT_0 || run.quit.load()) break;
    if (woke == WAIT_TIMEOUT) {
      // Periods stopped coming (device gone, stream stalled): the host
      // decides what to do; its buffers stay until it disposes them.
      OutputDebugStringA("WAIT_TIMEOUT\n");
      if (!position.resetAsked.exchange(true) && run.callbacks.asioMessage)
        run.callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
      break;
    }
    if (woke == WAIT_ABANDONED_0 + 1) {
      OutputDebugStringA("WAIT_ABANDONED\n");
      continue;
    }
    if (woke != WAIT_OBJECT_0 + 1) break;

    const DWORD now = timeGetTime();
    // The half the engine just completed, not a toggle of our own: a missed
    // wake cannot leave the host on the wrong half.
    const long half = long(block.Read(tqm::StatusWord::RecordHalf) & 1);
    const DWORD last = position.lastPeriodMs.load();
    position.intervalMs.store(last ? now - last : 0);
    position.lastPeriodMs.store(now ? now : 1);
    position.samples.store(counter);
    position.handedHalf.store(half);

    if (run.timeInfoMode) {
      AsioTimeInfo& info = run.time.timeInfo;
      const uint64_t ns = uint64_t(now) * 1000000u;
      info.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
      info.systemTime.hi = static_cast<unsigned long>(ns >> 32);
      info.systemTime.lo = static_cast<unsigned long>(ns & 0xFFFFFFFFu);
      info.samplePosition.hi = static_cast<unsigned long>(counter >> 32);
      info.samplePosition.lo = static_cast<unsigned long>(counter & 0xFFFFFFFFu);
      const double current = double(run.rate.load());
      if (info.sampleRate != current) {
        info.flags |= kSampleRateChanged;
        info.sampleRate = current;
      }
      run.callbacks.bufferSwitchTimeInfo(&run.time, half, run.processNow);
    } else {
      run.callbacks.bufferSwitch(half, run.processNow);
    }
    // stop() may have run meanwhile (inside the switch or beside it): the
    // status block may be going away, and the host wants no more calls.
    if (run.quit.load()) break;
    counter += run.periodFrames;
    position.periods.fetch_add(1);
    block.Write(tqm::StatusWord::Watchdog, 0);

    const uint32_t p = block.Read(tqm::StatusWord::PeriodFrames);
    const uint32_t r = block.Read(tqm::StatusWord::SampleRate);
    const uint32_t w = block.Read(tqm::StatusWord::RequestCount);
    if (p != period || r != rate || w != requests) {
      period = p, rate = r, requests = w;
      if (run.callbacks.asioMessage) run.callbacks.asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    }
  }
  if (task && avrt.revert) avrt.revert(task);
}

DWORD WINAPI PeriodThreadMain(void* argument) {
  auto* held = static_cast<std::shared_ptr<PeriodRun>*>(argument);
  RunPeriods(**held);
  delete held;
  return 0;
}

}  // namespace

PeriodRun::~PeriodRun() {
  for (HANDLE h : {periodEvent, quitEvent, handshake})
    if (h) CloseHandle(h);
}

HANDLE StartPeriodThread(const std::shared_ptr<PeriodRun>& run) {
  auto* held = new (std::nothrow) std::shared_ptr<PeriodRun>(run);
  if (!held) return nullptr;
  DWORD id = 0;
  // A small committed stack, as the period work needs little; the host's
  // callbacks run on it, so the reservation stays the default.
  HANDLE thread = CreateThread(nullptr, 4096, PeriodThreadMain, held, CREATE_SUSPENDED, &id);
  if (!thread) {
    delete held;
    return nullptr;
  }
  run->threadId.store(id);
  SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
  ResumeThread(thread);
  return thread;
}

}  // namespace tqmasio
