// tqmsim.dll's device information sets, shared by the interface enumeration
// (bridge.cpp) and the driver lists (driver_store.cpp).
//
// A set holds what SetupDiGetClassDevsW found when it was made: the present
// interfaces' paths and, for the driver's interface class, the device nodes
// (present or not unless DIGCF_PRESENT). Each node may carry the driver list
// SetupDiBuildDriverInfoList built for it, a copy of the store's entries at
// that moment. The counters say how many sets and lists are alive, so a
// test can prove that a caller destroyed everything it obtained.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bridge/protocol.h"

namespace tqmsim {

struct DriverEntry {
  std::wstring manufacturer, provider, description;
  uint64_t version = 0;
};

struct DeviceSet {
  GUID cls;
  std::vector<std::wstring> paths;
  DWORD nodes = 0;
  std::map<DWORD, std::vector<DriverEntry>> driverLists;  // by node index
};

extern std::atomic<int64_t> g_liveSets;
extern std::atomic<int64_t> g_liveDriverLists;

// The device nodes of a class as the server counts them (0 without a server).
DWORD DriverStoreNodes(const GUID& cls, bool presentOnly, DWORD presentInterfaces);

// One request to the server over the process's connection (bridge.cpp);
// nothing when there is no server.
std::optional<tqm::bridge::Message> Request(tqm::bridge::Message request);

}  // namespace tqmsim
