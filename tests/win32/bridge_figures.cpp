// The bridge's figures, measured from a Windows program under Wine against a
// real-time `tqm27sim serve` (not a test: scripts run it, see the README):
//
//   request round trip    DeviceIoControl(Identify) from call to return
//   period wake           the kernel's KeSetEvent of the period event to the
//                         waiting thread's return from WaitForSingleObject
//
//   win32_bridge_figures [PERIODS [PERIOD_FRAMES]]   (defaults 20000 and 48: 1 ms)
//
// Wine gives threads no real-time priority: these are the bridge plus Linux
// scheduling, not Windows' figures.
#include "tests/win32/bridge_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/status_block.h"

namespace {

using namespace tqm;
using namespace tqm::win32test;

void Print(const char* what, std::vector<double> micros) {
  if (micros.empty()) {
    std::printf("%-24s no samples\n", what);
    return;
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))]; };
  std::printf("%-24s n=%zu  median %.1f us  p99 %.1f us  max %.1f us\n", what, micros.size(), at(0.5), at(0.99),
              micros.back());
}

double Micros(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return double(to.QuadPart - from.QuadPart) * 1e6 / double(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t periods = argc > 1 ? uint32_t(std::atoi(argv[1])) : 20000;
  const uint32_t frames = argc > 2 ? uint32_t(std::atoi(argv[2])) : 48;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  Device d;
  if (!d.open()) {
    std::fprintf(stderr, "no device (is TQM_SIM_DIR set and the server running?)\n");
    return 1;
  }
  std::vector<double> roundTrips;
  for (int i = 0; i < 5000; ++i) {
    CommandRecord r = Record(CMD_CLASS_DRIVER, DriverOp::Identify);
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    if (d.Send(r) != 0) return 2;
    QueryPerformanceCounter(&b);
    roundTrips.push_back(Micros(a, b, frequency));
  }
  Print("request round trip", roundTrips);

  void* view = nullptr;
  if (d.MapStatusBlock(&view) != 0) return 3;
  const StatusBlockView block(view, kNativeWide);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (DWORD e = d.StartStream(event, frames)) {
    std::fprintf(stderr, "stream set-up failed: %lu\n", e);
    return 4;
  }
  std::vector<double> wakes;
  uint64_t missed = 0;
  for (uint32_t p = 0; p < periods; ++p) {
    if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) break;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t signalled = 0;
    if (TqmSimLastSignal(event, &signalled) == 0) {
      LARGE_INTEGER then;
      then.QuadPart = LONGLONG(signalled);
      wakes.push_back(Micros(then, now, frequency));
    }
    const uint32_t watchdog = block.Read(StatusWord::Watchdog);
    if (watchdog > 1) missed += watchdog - 1;
    d.OutputReady(block.Read(StatusWord::RecordHalf) & 1);
    block.Write(StatusWord::Watchdog, 0);
  }
  std::printf("period %u frames at 48 kHz, %u periods, %llu missed\n", d.period, periods,
              static_cast<unsigned long long>(missed));
  Print("period signal -> wake", wakes);
  d.StopStream();
  CloseHandle(event);
  return 0;
}
