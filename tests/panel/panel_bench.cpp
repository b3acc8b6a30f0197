#include "panel_bench.h"

#include <tlhelp32.h>

#include <chrono>
#include <thread>

#include "platform/bridge/tqmsim/control.h"
#include "toolkit.h"
#include "tqm/command_record.h"

namespace tqm::panel::testing {
namespace {

constexpr wchar_t kKey[] = L"Software\\ORU\\TQM27";
constexpr wchar_t kBenchClass[] = L"TqmPanelBench";

LRESULT CALLBACK BenchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return n;
}

bool ScriptedEndpoints::Search() {
  calls_->push_back({"Search", 0, 0, 0, 0});
  return script_->found;
}
bool ScriptedEndpoints::RegisterListeners() {
  calls_->push_back({"RegisterListeners", 0, 0, 0, 0});
  return script_->registers;
}
bool ScriptedEndpoints::ReadLevels(int flow, int, float& left, float& right) {
  calls_->push_back({"ReadLevels", flow, 0, 0, 0});
  if (!script_->reads) return false;
  left = script_->levels[flow][0];
  right = script_->levels[flow][1];
  return true;
}
bool ScriptedEndpoints::ReadMute(int flow, int, int32_t& mute) {
  calls_->push_back({"ReadMute", flow, 0, 0, 0});
  if (!script_->reads) return false;
  mute = script_->mutes[flow];
  return true;
}
bool ScriptedEndpoints::SetLevels(int flow, int, float left, float right) {
  calls_->push_back({"SetLevels", flow, left, right, 0});
  return script_->sets;
}
bool ScriptedEndpoints::SetMute(int flow, int, int32_t mute) {
  calls_->push_back({"SetMute", flow, 0, 0, mute});
  return script_->sets;
}
void ScriptedEndpoints::Release() { calls_->push_back({"Release", 0, 0, 0, 0}); }

void PanelBench::SetUp() {
  instance_ = GetModuleHandleW(nullptr);
  ClearRegistry();
  widgets::InitControls(instance_);
  WNDCLASSW wc{};
  wc.lpfnWndProc = BenchProc;
  wc.hInstance = instance_;
  wc.lpszClassName = kBenchClass;
  RegisterClassW(&wc);
  main_ = CreateWindowExW(0, kBenchClass, L"bench", WS_POPUP | WS_CAPTION, 0, 0, 212, 380, nullptr, nullptr,
                          instance_, nullptr);
  ASSERT_NE(main_, nullptr);
  background_ = widgets::LoadBitmapByName(instance_, L"IDB_BACK1");
  widgets::SetBackgroundBitmap(background_);
  ASSERT_EQ(driver_.Enumerate(), 1) << "the machine has no TQM27";
  driver_.Select(0);
}

void PanelBench::TearDown() {
  if (streaming_) StopStreamClient();
  driver_.CloseAll();
  if (main_) DestroyWindow(main_);
  widgets::SetBackgroundBitmap(nullptr);
  widgets::TermControls();
  UnregisterClassW(kBenchClass, instance_);
  ClearRegistry();
  uint64_t faults = 0;
  ASSERT_EQ(TqmSimFaultCount(&faults), 0u);
  EXPECT_EQ(faults, 0u) << "the machine's verifier found faults";
}

MixerSettings PanelBench::DriverSettings() {
  MixerSettings s{};
  EXPECT_TRUE(driver_.GetSettings(&s));
  return s;
}

void PanelBench::ChangeDriverSettings(const std::function<void(MixerSettings&)>& change) {
  MixerSettings s = DriverSettings();
  change(s);
  driver_.ApplySettings(&s);
}

bool PanelBench::WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

void PanelBench::StartStreamClient() {
  const uint32_t period = driver_.GetLatency();
  ASSERT_NE(period, 0u);
  ASSERT_TRUE(driver_.AllocSharedBuffer(period * 32, &shared_));
  auto* samples = static_cast<int32_t*>(shared_);
  for (uint32_t i = 0; i < 8; ++i)
    ASSERT_TRUE(driver_.SetClientBuffer(i < 4 ? 1 : 0, (i / 2) % 2, i % 2, samples + i * period, 1)) << i;
  ASSERT_EQ(driver_.ActivateChannels(3, 3, 1), 0u);
  ASSERT_NE(driver_.GetActiveClient(), 0u);
  streaming_ = true;
}

void PanelBench::StopStreamClient() {
  streaming_ = false;
  driver_.ActivateChannels(3, 3, 0);
  driver_.AllocSharedBuffer(0, &shared_);
}

uint64_t PanelBench::MachineHandles() {
  uint64_t id = 0, handles = 0;
  int exited = 0;
  EXPECT_EQ(TqmSimProcessId(&id), 0u);
  EXPECT_EQ(TqmSimProcessState(id, &handles, &exited), 0u);
  return handles;
}

void PanelBench::Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

uint32_t PanelBench::CommandsLogged() {
  uint32_t count = 0;
  EXPECT_EQ(TqmSimCommandCount(0, &count), 0u);
  return count;
}

std::vector<std::pair<uint32_t, uint32_t>> PanelBench::CommandsSince(uint32_t from) {
  std::vector<std::pair<uint32_t, uint32_t>> commands;
  const uint32_t count = CommandsLogged();
  for (uint32_t i = from; i < count; ++i) {
    TqmSimCommandEntry entry{};
    EXPECT_EQ(TqmSimCommand(0, i, &entry), 0u);
    commands.emplace_back(entry.commandClass, entry.subOp);
  }
  return commands;
}

int PanelBench::Count(const std::vector<std::pair<uint32_t, uint32_t>>& commands, uint32_t commandClass,
                      uint32_t subOp) {
  int n = 0;
  for (const auto& c : commands) n += c.first == commandClass && c.second == subOp;
  return n;
}

std::vector<std::pair<uint8_t, uint8_t>> PanelBench::HidCommands() {
  std::vector<std::pair<uint8_t, uint8_t>> commands;
  uint32_t count = 0;
  if (TqmSimHidReportCount(0, &count) != 0) return commands;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t report[256] = {};
    uint32_t length = 0;
    EXPECT_EQ(TqmSimHidReport(0, i, report, sizeof report, &length), 0u);
    if (length > 24 && report[22] == 1) commands.emplace_back(report[23], report[24]);
  }
  return commands;
}

void PanelBench::ClearRegistry() { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }

void PanelBench::StoreRaw(const wchar_t* name, DWORD type, const void* bytes, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(bytes), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

std::vector<uint8_t> PanelBench::Stored(const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<uint8_t> bytes(1024);
  DWORD size = static_cast<DWORD>(bytes.size()), type = 0;
  const LONG status = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return {};
  bytes.resize(size);
  return bytes;
}

}  // namespace tqm::panel::testing
