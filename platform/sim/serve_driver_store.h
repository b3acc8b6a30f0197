// The simulated machine's driver store: the driver packages installed for
// the TQM27 and the device nodes they apply to, as SetupAPI shows them to a
// Windows process (SetupDiEnumDeviceInfo, SetupDiBuildDriverInfoList,
// SetupDiEnumDriverInfoW through the bridge).
//
// A TQM27 plugged into a hub port installs a device node for that port; the
// node stays when the device is pulled (Windows keeps a node that is not
// present), so a process that asks for the interface class without
// DIGCF_PRESENT finds it. Every node lists every entry of the store as a
// compatible driver: the store holds what would match the TQM27's hardware
// id (our package, and, say, the class driver), and tests add or remove
// entries through the control API. By default it holds our package at the
// project's version.
//
// Any thread; one mutex guards the entries and the nodes.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/bridge/protocol.h"

namespace tqm::sim {

class DriverStore {
 public:
  struct Entry {
    std::wstring manufacturer, provider, description;
    uint64_t version = 0;  // major << 48 | minor << 32 | build << 16 | revision
  };

  DriverStore();  // our package, at the project's version

  void Add(Entry entry);
  bool Remove(size_t index);  // false when there is no such entry
  void Clear();
  std::vector<Entry> Entries() const;

  // A TQM27 was plugged into hub port `port`: its node exists from now on.
  void Installed(size_t port);
  size_t Nodes() const;

  // The bridge's DriverStore request (protocol.h).
  bridge::Message Answer(const bridge::Message& request);

 private:
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  std::set<size_t> nodes_;
};

}  // namespace tqm::sim
