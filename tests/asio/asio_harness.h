// What the ASIO tests share: the simulator flavour of TQMAsio.dll loaded as a
// host loads it (the library, its class object, the driver object through the
// factory), and a recording host whose callbacks the tests configure.
//
// The tests run in virtual time beside a private server. A period's signal
// holds the machine's clock until this process's next request; a host that
// answers with outputReady releases it every period. Tests of hosts that do
// not (or that take longer than a period) stop the clock and step it
// themselves, so that no hold is left waiting.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "asio/asio_interface.h"

namespace asiotest {

// The library, loaded once per test process.
struct Library {
  static HMODULE module();
  static HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);
  static HRESULT CanUnloadNow();
  static HRESULT RegisterServer();
};

GUID ClassId();

// A driver object made through the class factory (no outer unknown); null on failure.
IASIO* CreateDriver();

// The recording host. One per test; its callbacks are plain functions, as
// the interface has them, so they find it through a global.
struct Host {
  Host();
  ~Host();

  ASIOCallbacks callbacks{};
  // Behaviour.
  bool answerTimeInfo = true;   // answers 1 to kAsioSupportsTimeInfo
  bool postOutput = true;       // calls outputReady in each switch
  DWORD switchSleepMs = 0;      // how long a switch takes
  std::function<void(long period)> inSwitch;  // extra work inside a switch

  // Observations.
  IASIO* driver = nullptr;
  std::atomic<long> switches{0};
  std::atomic<long> timeInfoSwitches{0};
  std::atomic<long> inside{0}, maxInside{0};
  std::atomic<bool> closed{false};          // set when the test's stop/dispose/Release returned
  std::atomic<long> callbacksAfterClose{0};
  std::atomic<long> resetRequests{0};
  std::atomic<long> latencyChanges{0};
  std::atomic<long> rateChanges{0};
  std::atomic<DWORD> resetThread{0};
  std::atomic<ULONGLONG> resetAt{0};
  std::vector<long> halves;                 // half of each switch
  std::vector<unsigned long> timeFlags;     // time info flags of each switch
  std::vector<unsigned long> timePositions; // time info sample position (low word)
  std::vector<long> engineVersionAsked;
  HANDLE switched = nullptr;                // auto-reset, set after every switch

  // Buffers for every channel of a single device (2 in, 2 out).
  std::vector<ASIOBufferInfo> AllChannels(long inputs = 2, long outputs = 2);
  void MarkClosed() { closed.store(true); }

  static Host* current;
};

// Waits until `count` switches happened (wall-time bound in ms).
bool WaitSwitches(Host& host, long count, DWORD boundMs = 10000);
// The handles this process holds in the machine.
uint64_t OpenHandles();
// Steps a stopped clock until `count` switches happened.
bool StepUntilSwitches(Host& host, long count, uint32_t maxMs = 5000);

// An initialised driver with buffers for every channel.
struct Opened {
  IASIO* driver = nullptr;
  long period = 0;
  std::vector<ASIOBufferInfo> infos;
};
bool OpenWithBuffers(Host& host, Opened* opened);

// A test name from a row's description: letters and digits, the rest '_'.
std::string Identifier(const std::string& text);
template <class Info>
std::string RowWhat(const Info& info) {
  return Identifier(info.param.what);
}

}  // namespace asiotest
