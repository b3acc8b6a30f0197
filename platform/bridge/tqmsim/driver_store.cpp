// tqmsim.dll: the driver store as SetupAPI shows it (device nodes, their
// driver lists) and its control API. The server keeps the store
// (platform/sim/serve_driver_store.h); a driver list is the store's entries
// copied when it is built, as Windows builds it from the INFs it finds then.
#define TQM_SYS_IMPLEMENTATION
#include <windows.h>

#include <cstring>

#include "platform/bridge/sys.h"
#include "platform/bridge/tqmsim/control.h"
#include "platform/bridge/tqmsim/device_set.h"

namespace tqmsim {

std::atomic<int64_t> g_liveSets{0};
std::atomic<int64_t> g_liveDriverLists{0};

namespace {

using tqm::bridge::DriverStoreOp;
using tqm::bridge::Message;
using tqm::bridge::MessageType;

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNoServer = 0xC000014B;          // STATUS_PIPE_BROKEN
constexpr uint32_t kInvalidParameter = 0xC000000D;  // STATUS_INVALID_PARAMETER

std::optional<Message> StoreRequest(DriverStoreOp op, uint64_t argument, std::vector<uint8_t> payload = {}) {
  Message m;
  m.type = MessageType::DriverStore;
  m.a[0] = uint64_t(op);
  m.a[1] = argument;
  m.payload = std::move(payload);
  return Request(std::move(m));
}

// The store's entries now, in its order.
std::vector<DriverEntry> StoreEntries() {
  std::vector<DriverEntry> entries;
  for (uint64_t index = 0;; ++index) {
    std::optional<Message> r = StoreRequest(DriverStoreOp::Entry, index);
    if (!r || r->status != kSuccess) break;
    const std::wstring all = tqm::bridge::PathFromBytes(r->payload);
    DriverEntry e;
    std::wstring* fields[3] = {&e.manufacturer, &e.provider, &e.description};
    size_t at = 0;
    for (std::wstring* field : fields) {
      const size_t end = all.find(L'\0', at);
      if (end == std::wstring::npos) break;
      *field = all.substr(at, end - at);
      at = end + 1;
    }
    e.version = r->a[0];
    entries.push_back(std::move(e));
  }
  return entries;
}

DeviceSet* SetOf(HDEVINFO handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<DeviceSet*>(handle);
}

// The node a SP_DEVINFO_DATA from SetupDiEnumDeviceInfo names.
bool NodeOf(const DeviceSet& set, PSP_DEVINFO_DATA device, DWORD* node) {
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA) || device->Reserved >= set.nodes) return false;
  *node = DWORD(device->Reserved);
  return true;
}

void CopyText(WCHAR (&to)[LINE_LEN], const std::wstring& from) {
  const size_t n = std::min<size_t>(from.size(), LINE_LEN - 1);
  std::memcpy(to, from.data(), n * sizeof(WCHAR));
  to[n] = L'\0';
}

}  // namespace

DWORD DriverStoreNodes(const GUID& cls, bool presentOnly, DWORD presentInterfaces) {
  // Present only: a node per present interface (one interface per TQM27).
  if (presentOnly) return presentInterfaces;
  std::vector<uint8_t> guid(sizeof(GUID));
  std::memcpy(guid.data(), &cls, sizeof(GUID));
  std::optional<Message> r = StoreRequest(DriverStoreOp::Nodes, 0, std::move(guid));
  return r && r->status == kSuccess ? DWORD(r->a[0]) : 0;
}

}  // namespace tqmsim

namespace sys {

using tqmsim::DeviceSet;

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA device) {
  DeviceSet* set = tqmsim::SetOf(handle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= set->nodes) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  // The MEDIA setup class, as the INF installs the TQM27.
  device->ClassGuid = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  device->DevInst = index + 1;
  device->Reserved = index;
  return TRUE;
}

namespace {

// The set and the node a driver-list call names, or null with the error set.
DeviceSet* ListArguments(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD driverType, DWORD* node) {
  DeviceSet* set = tqmsim::SetOf(handle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!tqmsim::NodeOf(*set, device, node) || (driverType != SPDIT_COMPATDRIVER && driverType != SPDIT_CLASSDRIVER)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return set;
}

}  // namespace

BOOL SetupDiBuildDriverInfoList(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD driverType) {
  // The simulated store answers for a node, not for a whole class: a caller
  // that builds the set's class list gets a refusal here.
  DWORD node = 0;
  DeviceSet* set = ListArguments(handle, device, driverType, &node);
  if (!set) return FALSE;
  // A list already built stays as it is.
  if (set->driverLists.count(node)) return TRUE;
  set->driverLists[node] = tqmsim::StoreEntries();
  ++tqmsim::g_liveDriverLists;
  return TRUE;
}

BOOL SetupDiEnumDriverInfoW(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD driverType, DWORD index,
                            PSP_DRVINFO_DATA_W data) {
  DWORD node = 0;
  DeviceSet* set = ListArguments(handle, device, driverType, &node);
  if (!set) return FALSE;
  if (!data || data->cbSize != sizeof(SP_DRVINFO_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  auto it = set->driverLists.find(node);
  if (it == set->driverLists.end() || index >= it->second.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const tqmsim::DriverEntry& e = it->second[index];
  data->DriverType = driverType;
  data->Reserved = index;
  tqmsim::CopyText(data->Description, e.description);
  tqmsim::CopyText(data->MfgName, e.manufacturer);
  tqmsim::CopyText(data->ProviderName, e.provider);
  data->DriverDate = {};
  data->DriverVersion = e.version;
  return TRUE;
}

BOOL SetupDiDestroyDriverInfoList(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD driverType) {
  DWORD node = 0;
  DeviceSet* set = ListArguments(handle, device, driverType, &node);
  if (!set) return FALSE;
  if (set->driverLists.erase(node)) --tqmsim::g_liveDriverLists;
  return TRUE;
}

}  // namespace sys

uint32_t TqmSimDriverStoreAdd(const wchar_t* manufacturer, const wchar_t* provider, const wchar_t* description,
                              uint64_t version) {
  if (!manufacturer || !provider || !description) return tqmsim::kInvalidParameter;
  std::wstring all = std::wstring(manufacturer) + L'\0' + provider + L'\0' + description + L'\0';
  std::optional<tqm::bridge::Message> r =
      tqmsim::StoreRequest(tqm::bridge::DriverStoreOp::Add, version, tqm::bridge::PathBytes(all));
  return r ? r->status : tqmsim::kNoServer;
}

uint32_t TqmSimDriverStoreRemove(uint32_t index) {
  const uint64_t which = index == kTqmSimAllDriverEntries ? tqm::bridge::kAllEntries : index;
  std::optional<tqm::bridge::Message> r = tqmsim::StoreRequest(tqm::bridge::DriverStoreOp::Remove, which);
  return r ? r->status : tqmsim::kNoServer;
}

uint32_t TqmSimDeviceInfoLists(uint64_t* sets, uint64_t* driverLists) {
  if (sets) *sets = uint64_t(tqmsim::g_liveSets.load());
  if (driverLists) *driverLists = uint64_t(tqmsim::g_liveDriverLists.load());
  return tqmsim::kSuccess;
}
