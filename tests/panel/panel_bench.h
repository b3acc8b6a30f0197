// Test bench for the panel's application code under Wine against the
// simulated machine: the toolkit started on the test program's resources
// (the panel's texts, menu and pictures are linked in), the panel's registry
// key emptied, a link of the test's own to the driver to look at and change
// what the driver holds behind the panel's back, and a stream client made of
// the driver's own stream commands.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "panel/devicelink/device_link.h"
#include "panel/endpoint_table.h"
#include "tqm/mixer_settings.h"

namespace tqm::panel::testing {

// An endpoint table whose answers a test sets and whose calls it reads back:
// the seam the Windows endpoints plug into, seen from the mixer's side.
class ScriptedEndpoints : public EndpointTable {
 public:
  struct Call {
    std::string what;
    int flow;
    float left;
    float right;
    int32_t mute;
  };
  struct Script {
    bool found = true;
    bool registers = true;
    bool reads = true;
    bool sets = true;
    float levels[2][2] = {{0, 0}, {0, 0}};  // [flow][channel]
    int32_t mutes[2] = {0, 0};
  };

  explicit ScriptedEndpoints(Script* script, std::vector<Call>* calls) : script_(script), calls_(calls) {}
  bool Search() override;
  bool RegisterListeners() override;
  bool ReadLevels(int flow, int slot, float& left, float& right) override;
  bool ReadMute(int flow, int slot, int32_t& mute) override;
  bool SetLevels(int flow, int slot, float left, float right) override;
  bool SetMute(int flow, int slot, int32_t mute) override;
  void Release() override;

 private:
  Script* script_;
  std::vector<Call>* calls_;
};

// Threads of this process now.
int ThreadsOfThisProcess();

class PanelBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The driver as the test's own link sees it.
  MixerSettings DriverSettings();
  void ChangeDriverSettings(const std::function<void(MixerSettings&)>& change);
  // Waits (the machine's clock runs free) until the predicate holds; false
  // after 3 s.
  static bool WaitFor(const std::function<bool()>& done);
  // Opens both channels of both directions as a stream client does; the
  // driver then refuses a latency change with the busy check.
  void StartStreamClient();
  void StopStreamClient();
  // Kernel handles this process holds on the machine.
  static uint64_t MachineHandles();
  // Pumps the thread's queue.
  static void Pump();

  // The commands this process sent to the driver (the machine's log), from
  // entry `from` on, as (class, sub-op) pairs.
  static uint32_t CommandsLogged();
  static std::vector<std::pair<uint32_t, uint32_t>> CommandsSince(uint32_t from);
  static int Count(const std::vector<std::pair<uint32_t, uint32_t>>& commands, uint32_t commandClass,
                   uint32_t subOp);
  // The command reports the first TQM27's HID interface received: byte 23
  // and 24 of each report (0x60 0x60, then 0x60 0x20 for one exchange).
  static std::vector<std::pair<uint8_t, uint8_t>> HidCommands();

  static void ClearRegistry();
  static void StoreRaw(const wchar_t* name, DWORD type, const void* bytes, DWORD size);
  // The stored value's bytes; empty when it is missing.
  static std::vector<uint8_t> Stored(const wchar_t* name);

  HINSTANCE instance_ = nullptr;
  HWND main_ = nullptr;
  HBITMAP background_ = nullptr;
  DeviceLink driver_;
  bool streaming_ = false;
  void* shared_ = nullptr;
};

}  // namespace tqm::panel::testing
