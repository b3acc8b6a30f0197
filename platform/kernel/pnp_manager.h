// Private state of the Plug and Play manager (pnp_manager.cpp), the device
// interfaces (device_interfaces.cpp) and the power manager's walks
// (power_manager.cpp).
//
// The device tree: one DeviceNode per PDO the manager was told of, linked to
// its parent and children; nodes are kept until the machine ends (a removed
// node only leaves the index by PDO), so that tests can still ask a removed
// device's state. `serial` lets one Plug and Play step run at a time (it is
// recursive: a notification delivered at the end of a step may start
// another); `mu` guards the data and is never held while a driver runs.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"

namespace tqm::kernel {

struct DeviceNode {
  PDEVICE_OBJECT pdo = nullptr;
  DeviceNode* parent = nullptr;
  std::vector<DeviceNode*> children;
  std::wstring deviceId;
  std::wstring instanceId;
  std::wstring instancePath;
  std::vector<std::wstring> hardwareIds;
  NodeState state = NodeState::Initialized;
  NodeState beforeQuery = NodeState::Initialized;  // restored by a cancel
  DEVICE_CAPABILITIES capabilities{};
  size_t openHandles = 0;
  bool removeWhenClosed = false;  // surprise-removed with handles still open
  bool removeSent = false;        // REMOVE_DEVICE sent; the PDO reference is given back
  bool opensBlocked = false;      // a removal query is under way: no new handles
};

struct PnpState {
  struct Registration {
    std::wstring hardwareId;
    PDRIVER_INITIALIZE entry;
    std::wstring serviceName;
  };
  struct Interface {
    std::wstring link;  // "\??\..." as the kernel names it
    GUID classGuid;
    PDEVICE_OBJECT pdo;  // null once the device is gone
    bool enabled = false;
  };
  struct Subscriber {
    int cookie;
    Process* process;
    GUID classGuid;
    Machine::InterfaceNotification notify;
  };
  struct Notice {
    Process* process;
    Machine::InterfaceNotification notify;
    bool arrival;
    std::wstring path;
  };

  std::recursive_mutex serial;
  int depth = 0;  // nesting of steps on the thread that holds serial

  mutable std::mutex mu;
  std::vector<std::unique_ptr<DeviceNode>> nodes;
  std::map<PDEVICE_OBJECT, DeviceNode*> byPdo;
  std::vector<Registration> registrations;
  std::vector<PDRIVER_OBJECT> loaded;       // drivers the manager loaded
  std::vector<PDEVICE_OBJECT> invalidated;  // BusRelations to query again
  PDRIVER_OBJECT rootDriver = nullptr;
  unsigned nextRootInstance = 0;
  std::vector<Interface> interfaces;
  std::vector<Subscriber> subscribers;
  int nextCookie = 1;
  std::vector<Notice> notices;
};

// ---- pnp_manager.cpp, for the user side of the I/O manager (process.cpp) ----
// The PDO behind an enabled interface path whose device accepts opens; the
// count of open handles on it is raised. An error status otherwise.
NTSTATUS PnpOpenTarget(Machine& machine, const std::wstring& interfacePath, PDEVICE_OBJECT* pdo);
// A handle opened with PnpOpenTarget is closed (after IRP_MJ_CLOSE).
void PnpHandleClosed(Machine& machine, PDEVICE_OBJECT pdo);

// True while the manager holds device as a node's PDO (its own reference).
bool PnpHoldsDevice(Machine& machine, PDEVICE_OBJECT device);
// Removes every device tree, last reported first (the machine is ending).
void PnpShutdown(Machine& machine);

// ---- device_interfaces.cpp ----
std::wstring UserPathOf(const std::wstring& link);
// Queues the notifications of a change of one interface; called with mu held.
void QueueInterfaceNoticeLocked(PnpState& pnp, const PnpState::Interface& i, bool arrival);
// Disables (with notices) every interface of a removed device; called with mu held.
void DeviceGoneLocked(PnpState& pnp, PDEVICE_OBJECT pdo);
// Tells the queued notices, each in its process's context.
void DeliverInterfaceNotices(PnpState& pnp);
bool SameText(const std::wstring& a, const std::wstring& b);

// ---- power_manager.cpp ----
// Nodes in the order power requests reach them: children first when going
// to sleep, parents first when waking.
std::vector<DeviceNode*> StartedNodes(PnpState& pnp, bool childrenFirst);

}  // namespace tqm::kernel
