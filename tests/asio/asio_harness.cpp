#include "tests/asio/asio_harness.h"

#include <gtest/gtest.h>

#include "platform/bridge/tqmsim/control.h"
#include "tqm/identity.h"
#include "tqm/win32/interface_table.h"

#include <cctype>

namespace asiotest {

Host* Host::current = nullptr;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

FARPROC Export(const char* name) { return GetProcAddress(Library::module(), name); }

void Enter(Host& h) {
  const long now = h.inside.fetch_add(1) + 1;
  long seen = h.maxInside.load();
  while (now > seen && !h.maxInside.compare_exchange_weak(seen, now)) {
  }
  if (h.closed.load()) h.callbacksAfterClose.fetch_add(1);
}

void Switch(long half) {
  Host& h = *Host::current;
  Enter(h);
  const long period = h.switches.load();
  h.halves.push_back(half);
  if (h.switchSleepMs) Sleep(h.switchSleepMs);
  if (h.inSwitch) h.inSwitch(period);
  if (h.postOutput && h.driver && !h.closed.load()) h.driver->outputReady();
  h.switches.fetch_add(1);
  h.inside.fetch_sub(1);
  SetEvent(h.switched);
}

void BufferSwitch(long half, ASIOBool) { Switch(half); }

ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long half, ASIOBool) {
  Host& h = *Host::current;
  h.timeInfoSwitches.fetch_add(1);
  h.timeFlags.push_back(time->timeInfo.flags);
  h.timePositions.push_back(time->timeInfo.samplePosition.lo);
  Switch(half);
  return time;
}

void SampleRateDidChange(ASIOSampleRate) {
  Host& h = *Host::current;
  if (h.closed.load()) h.callbacksAfterClose.fetch_add(1);
  h.rateChanges.fetch_add(1);
}

long AsioMessage(long selector, long value, void*, double*) {
  Host& h = *Host::current;
  switch (selector) {
    case kAsioEngineVersion:
      h.engineVersionAsked.push_back(value);
      return 2;
    case kAsioSupportsTimeInfo:
      return h.answerTimeInfo ? 1 : 0;
    case kAsioResetRequest:
      h.resetThread.store(GetCurrentThreadId());
      h.resetAt.store(GetTickCount64());
      h.resetRequests.fetch_add(1);
      return 1;
    case kAsioLatenciesChanged:
      h.latencyChanges.fetch_add(1);
      return 1;
    default:
      return 0;
  }
}

}  // namespace

HMODULE Library::module() {
  // The simulator flavour, beside which the build puts tqmsim.dll; this
  // program has loaded that one already, and the library shares it.
  static HMODULE module = [] {
    // build/windows/tests/asio/<test>.exe -> build/windows/asio/sim/TQMAsio.dll,
    // spelt as Windows spells paths (the registration records it).
    wchar_t self[MAX_PATH], path[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll(self);
    dll = dll.substr(0, dll.find_last_of(L'\\')) + L"\\..\\..\\asio\\sim\\TQMAsio.dll";
    GetFullPathNameW(dll.c_str(), MAX_PATH, path, nullptr);
    return LoadLibraryW(path);
  }();
  return module;
}

HRESULT Library::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  auto f = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(Export("DllGetClassObject")));
  return f ? f(clsid, iid, out) : E_FAIL;
}

HRESULT Library::CanUnloadNow() {
  auto f = reinterpret_cast<NoArgumentFn>(reinterpret_cast<void*>(Export("DllCanUnloadNow")));
  return f ? f() : E_FAIL;
}

HRESULT Library::RegisterServer() {
  auto f = reinterpret_cast<NoArgumentFn>(reinterpret_cast<void*>(Export("DllRegisterServer")));
  return f ? f() : E_FAIL;
}

GUID ClassId() { return tqm::win32::ToGuid(tqm::kAsioClassId); }

IASIO* CreateDriver() {
  IClassFactory* factory = nullptr;
  const GUID clsid = ClassId();
  if (FAILED(Library::GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return nullptr;
  IASIO* driver = nullptr;
  factory->CreateInstance(nullptr, clsid, reinterpret_cast<void**>(&driver));
  factory->Release();
  return driver;
}

Host::Host() {
  current = this;
  callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
  switched = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  halves.reserve(1 << 16);
  timeFlags.reserve(1 << 16);
  timePositions.reserve(1 << 16);
}

Host::~Host() {
  CloseHandle(switched);
  current = nullptr;
}

std::vector<ASIOBufferInfo> Host::AllChannels(long inputs, long outputs) {
  std::vector<ASIOBufferInfo> infos;
  for (long c = 0; c < inputs; ++c) infos.push_back({ASIOTrue, c, {nullptr, nullptr}});
  for (long c = 0; c < outputs; ++c) infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
  return infos;
}

uint64_t OpenHandles() {
  uint64_t id = 0, handles = 0;
  int exited = 0;
  EXPECT_EQ(TqmSimProcessId(&id), 0u);
  EXPECT_EQ(TqmSimProcessState(id, &handles, &exited), 0u);
  return handles;
}

bool WaitSwitches(Host& host, long count, DWORD boundMs) {
  const ULONGLONG end = GetTickCount64() + boundMs;
  while (host.switches.load() < count) {
    if (GetTickCount64() > end) return false;
    WaitForSingleObject(host.switched, 50);
  }
  return true;
}

bool StepUntilSwitches(Host& host, long count, uint32_t maxMs) {
  for (uint32_t ms = 0; host.switches.load() < count; ++ms) {
    if (ms >= maxMs || TqmSimStep(1) != 0) return false;
    // The step's reply comes after its signals: a period's switch is
    // under way or about to be.
    WaitForSingleObject(host.switched, 2);
  }
  return true;
}

std::string Identifier(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return out;
}

bool OpenWithBuffers(Host& host, Opened* opened) {
  opened->driver = CreateDriver();
  if (!opened->driver) return false;
  host.driver = opened->driver;
  if (!opened->driver->init(nullptr)) return false;
  long minSize = 0, maxSize = 0, granularity = 0;
  if (opened->driver->getBufferSize(&minSize, &maxSize, &opened->period, &granularity) != ASE_OK) return false;
  opened->infos = host.AllChannels();
  if (opened->driver->createBuffers(opened->infos.data(), long(opened->infos.size()), opened->period,
                                    &host.callbacks) != ASE_OK)
    return false;
  // As hosts do after createBuffers: one call asks whether outputReady is taken.
  return opened->driver->outputReady() == ASE_OK;
}

}  // namespace asiotest
