// The Plug and Play manager (machine.h): device nodes and the start, stop,
// removal and enumeration sequences, with Windows' ordering rules.
//
// Each public sequence is one Step: it holds the serial lock, and when the
// outermost step ends the interface notifications it caused are delivered.
// Requests go to the top of a node's stack as kernel IRPs (status preset to
// STATUS_NOT_SUPPORTED) and are waited for on the calling thread; no lock of
// the manager is held while a driver runs. The manager's own root bus driver
// owns the PDOs of root-enumerated devices.
#include <algorithm>
#include <cwctype>

#include "platform/kernel/internal.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/process.h"

namespace tqm::kernel {

namespace {

constexpr ULONG kRootTag = 0x746F6F52;  // "Root"
constexpr size_t kRootIdChars = 128;

struct RootPdo {
  WCHAR hardwareId[kRootIdChars];
  unsigned instance;
};

class Step {
 public:
  explicit Step(PnpState& pnp) : pnp_(pnp), lock_(pnp.serial) { ++pnp_.depth; }
  ~Step() {
    if (--pnp_.depth == 0) DeliverInterfaceNotices(pnp_);
  }

 private:
  PnpState& pnp_;
  std::lock_guard<std::recursive_mutex> lock_;
};

// ---- the root bus driver -------------------------------------------------------

PWCHAR PoolString(const std::wstring& text, bool multi) {
  const size_t chars = text.size() + (multi ? 2 : 1);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kRootTag));
  if (!buffer) return nullptr;
  wmemcpy(buffer, text.c_str(), text.size());
  for (size_t i = text.size(); i < chars; ++i) buffer[i] = 0;
  return buffer;
}

NTSTATUS RootPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* root = static_cast<RootPdo*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      IoDeleteDevice(device);
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->SurpriseRemovalOK = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID: {
      wchar_t instance[8];
      std::swprintf(instance, 8, L"%04u", root->instance);
      const std::wstring id(root->hardwareId);
      PWCHAR text = nullptr;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: text = PoolString(id, false); break;
        case BusQueryHardwareIDs: text = PoolString(id, true); break;
        case BusQueryInstanceID: text = PoolString(instance, false); break;
        default: break;
      }
      if (text) {
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
        status = STATUS_SUCCESS;
      }
      break;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
      PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = RootPnp;
  driver->MajorFunction[IRP_MJ_POWER] = RootPower;
  return STATUS_SUCCESS;
}

// ---- requests --------------------------------------------------------------------

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information,
                 void (*fill)(PIO_STACK_LOCATION, void*) = nullptr, void* context = nullptr) {
  PDEVICE_OBJECT top = TopOfStack(pdo);
  PIRP irp = NewKernelIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (fill) fill(next, context);
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS status = CallAndWait(top, irp, &iosb);
  if (information) *information = iosb.Information;
  return status;
}

// The identifier text a driver returned from pool: copied, then freed.
std::vector<std::wstring> TakeIds(ULONG_PTR information, bool multi) {
  std::vector<std::wstring> ids;
  auto* text = reinterpret_cast<PWCHAR>(information);
  if (!text) return ids;
  for (PWCHAR p = text; *p;) {
    ids.emplace_back(p);
    p += ids.back().size() + 1;
    if (!multi) break;
  }
  ExFreePool(text);
  return ids;
}

std::vector<std::wstring> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR information = 0;
  const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_ID, &information, [](PIO_STACK_LOCATION s, void* c) {
    s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE*>(c);
  }, &type);
  if (!NT_SUCCESS(status)) return {};
  return TakeIds(information, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
}

void SubtreePostOrder(DeviceNode* node, std::vector<DeviceNode*>* out) {
  for (DeviceNode* child : node->children) SubtreePostOrder(child, out);
  out->push_back(node);
}

bool Removable(NodeState s) { return s != NodeState::Removed; }

}  // namespace

const char* NodeStateName(NodeState state) {
  switch (state) {
    case NodeState::Initialized: return "Initialized";
    case NodeState::Started: return "Started";
    case NodeState::StopPending: return "StopPending";
    case NodeState::Stopped: return "Stopped";
    case NodeState::RemovePending: return "RemovePending";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    case NodeState::Failed: return "Failed";
  }
  return "?";
}

// The manager's internals that need the Machine: a class of static helpers
// keeps them out of the public header.
class PnpManager {
 public:
  // The node of a PDO (also a removed one, whose device may be gone: only
  // its address is compared), else of the stack device belongs to.
  // A live device is matched first: a removed node's address may since have
  // been reused by another device (a new function device, say), which must
  // not be taken for that node.
  static DeviceNode* NodeOf(Machine& m, PDEVICE_OBJECT device) {
    {
      std::lock_guard lock(m.pnp().mu);
      auto& nodes = m.pnp().nodes;
      for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        if ((*it)->pdo == device && (*it)->state != NodeState::Removed) return it->get();
      }
    }
    if (DeviceAlive(device)) {
      PDEVICE_OBJECT pdo = BottomOfStack(device);
      std::lock_guard lock(m.pnp().mu);
      auto it = m.pnp().byPdo.find(pdo);
      if (it != m.pnp().byPdo.end()) return it->second;
    }
    std::lock_guard lock(m.pnp().mu);
    auto& nodes = m.pnp().nodes;
    for (auto n = nodes.rbegin(); n != nodes.rend(); ++n) {
      if ((*n)->pdo == device) return n->get();
    }
    return nullptr;
  }

  static void SetState(Machine& m, DeviceNode* node, NodeState state) {
    std::lock_guard lock(m.pnp().mu);
    node->state = state;
  }

  static NodeState StateOf(Machine& m, DeviceNode* node) {
    std::lock_guard lock(m.pnp().mu);
    return node->state;
  }

  static DeviceNode* AddNode(Machine& m, PDEVICE_OBJECT pdo, DeviceNode* parent) {
    std::lock_guard lock(m.pnp().mu);
    // The node holds the PDO until its REMOVE has been sent, so that a bus
    // driver may delete the PDO while the function device above still detaches.
    ReferenceObject(pdo);
    m.pnp().nodes.push_back(std::make_unique<DeviceNode>());
    DeviceNode* node = m.pnp().nodes.back().get();
    node->pdo = pdo;
    node->parent = parent;
    if (parent) parent->children.push_back(node);
    m.pnp().byPdo[pdo] = node;
    return node;
  }

  static PDRIVER_OBJECT DriverFor(Machine& m, const std::vector<std::wstring>& hardwareIds) {
    PnpState::Registration found{};
    {
      std::lock_guard lock(m.pnp().mu);
      for (const std::wstring& id : hardwareIds) {
        for (const auto& r : m.pnp().registrations) {
          if (!found.entry && SameText(r.hardwareId, id)) found = r;
        }
      }
    }
    if (!found.entry) return nullptr;
    PDRIVER_OBJECT driver = m.FindDriverByServicePath(
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + found.serviceName);
    if (driver) return driver;
    NTSTATUS status;
    driver = m.LoadDriver(found.entry, found.serviceName, &status);
    if (driver) {
      std::lock_guard lock(m.pnp().mu);
      m.pnp().loaded.push_back(driver);
    }
    return driver;
  }

  static void UnloadIdle(Machine& m, const std::vector<PDRIVER_OBJECT>& drivers) {
    for (PDRIVER_OBJECT driver : drivers) {
      bool ours;
      {
        std::lock_guard lock(m.pnp().mu);
        auto& loaded = m.pnp().loaded;
        auto it = std::find(loaded.begin(), loaded.end(), driver);
        ours = it != loaded.end();
        if (ours && !DriverHasDevices(driver)) loaded.erase(it);
      }
      // A driver loaded by someone else goes too once ZwUnloadDriver asked for it.
      if ((ours || m.UnloadRequested(driver)) && !DriverHasDevices(driver)) m.UnloadDriver(driver);
    }
  }

  // Identifiers, driver, AddDevice, capabilities, then Start.
  static NTSTATUS Bring(Machine& m, DeviceNode* node) {
    const auto deviceIds = QueryId(node->pdo, BusQueryDeviceID);
    const auto hardwareIds = QueryId(node->pdo, BusQueryHardwareIDs);
    const auto instanceIds = QueryId(node->pdo, BusQueryInstanceID);
    if (deviceIds.empty()) {
      SetState(m, node, NodeState::Failed);
      return STATUS_UNSUCCESSFUL;
    }
    {
      std::lock_guard lock(m.pnp().mu);
      node->deviceId = deviceIds[0];
      node->hardwareIds = hardwareIds;
      node->instanceId = instanceIds.empty() ? L"0000" : instanceIds[0];
      node->instancePath = node->deviceId + L"\\" + node->instanceId;
    }
    m.RegisterPhysicalDevice(node->pdo, node->instancePath);
    PDRIVER_OBJECT driver = DriverFor(m, hardwareIds);
    // With no driver registered the device stays as it was reported.
    if (!driver) return STATUS_SUCCESS;
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice) {
      NTSTATUS status;
      {
        RoutineCheck check(FrameKind::DriverEntry, driver, nullptr, 0,
                           reinterpret_cast<const void*>(addDevice));
        status = addDevice(driver, node->pdo);
      }
      if (!NT_SUCCESS(status)) {
        SetState(m, node, NodeState::Failed);
        UnloadIdle(m, {driver});
        return status;
      }
    }
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    if (NT_SUCCESS(SendPnp(node->pdo, IRP_MN_QUERY_CAPABILITIES, nullptr, [](PIO_STACK_LOCATION s, void* c) {
          s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
        }, &caps))) {
      std::lock_guard lock(m.pnp().mu);
      node->capabilities = caps;
    }
    return Start(m, node);
  }

  static NTSTATUS Start(Machine& m, DeviceNode* node) {
    const NTSTATUS status = SendPnp(node->pdo, IRP_MN_START_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      // A device that fails to start is removed again. One that fails to
      // start again after a stop (a rebalance) may still have open handles:
      // it is surprise-removed, and removed once the last of them closes.
      if (SubtreeHandles(m, node) > 0) {
        SurpriseTree(m, node);
        RemoveWhenClosed(m, node);
        return status;
      }
      RemoveTree(m, node);
      SetState(m, node, NodeState::Failed);
      return status;
    }
    SetState(m, node, NodeState::Started);
    Enumerate(m, node);
    return STATUS_SUCCESS;
  }

  // BusRelations: new PDOs become started children, stopped ones start
  // again, started ones missing from the list are surprise-removed.
  static void Enumerate(Machine& m, DeviceNode* node) {
    ULONG_PTR information = 0;
    const NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS, &information,
                                    [](PIO_STACK_LOCATION s, void*) {
                                      s->Parameters.QueryDeviceRelations.Type = BusRelations;
                                    });
    if (!NT_SUCCESS(status)) return;
    std::vector<PDEVICE_OBJECT> listed;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information)) {
      for (ULONG i = 0; i < relations->Count; ++i) listed.push_back(relations->Objects[i]);
      ExFreePool(relations);
    }
    std::vector<DeviceNode*> missing, known;
    {
      std::lock_guard lock(m.pnp().mu);
      for (DeviceNode* child : node->children) {
        if (child->state == NodeState::Removed) continue;
        bool present = std::find(listed.begin(), listed.end(), child->pdo) != listed.end();
        (present ? known : missing).push_back(child);
      }
    }
    for (DeviceNode* child : missing) Vanish(m, child);
    for (PDEVICE_OBJECT pdo : listed) {
      auto it = std::find_if(known.begin(), known.end(), [pdo](DeviceNode* n) { return n->pdo == pdo; });
      if (it == known.end()) {
        Bring(m, AddNode(m, pdo, node));
      } else if (StateOf(m, *it) == NodeState::Stopped) {
        Start(m, *it);
      }
    }
    // The list's references: the manager's to give back.
    for (PDEVICE_OBJECT pdo : listed) ObDereferenceObject(pdo);
  }

  // A device its bus no longer reports.
  static void Vanish(Machine& m, DeviceNode* node) {
    SurpriseTree(m, node);
    RemoveWhenClosed(m, node);
  }

  static void SurpriseTree(Machine& m, DeviceNode* node) {
    std::vector<DeviceNode*> order;
    SubtreePostOrder(node, &order);
    for (DeviceNode* n : order) {
      const NodeState s = StateOf(m, n);
      if (s == NodeState::Removed || s == NodeState::SurpriseRemoved || s == NodeState::Failed) continue;
      // Only started devices are told; the others are simply removed later.
      if (s != NodeState::Initialized) SendPnp(n->pdo, IRP_MN_SURPRISE_REMOVAL, nullptr);
      SetState(m, n, NodeState::SurpriseRemoved);
      std::lock_guard lock(m.pnp().mu);
      DeviceGoneLocked(m.pnp(), n->pdo);
    }
  }

  static size_t SubtreeHandles(Machine& m, DeviceNode* node) {
    std::vector<DeviceNode*> order;
    SubtreePostOrder(node, &order);
    std::lock_guard lock(m.pnp().mu);
    size_t n = 0;
    for (DeviceNode* d : order) n += d->openHandles;
    return n;
  }

  static void RemoveWhenClosed(Machine& m, DeviceNode* node) {
    if (SubtreeHandles(m, node) == 0) {
      RemoveTree(m, node);
    } else {
      std::lock_guard lock(m.pnp().mu);
      node->removeWhenClosed = true;
    }
  }

  // REMOVE_DEVICE to the subtree, children first; then the drivers left
  // without devices are unloaded.
  static void RemoveTree(Machine& m, DeviceNode* node) {
    std::vector<DeviceNode*> order;
    SubtreePostOrder(node, &order);
    for (DeviceNode* n : order) {
      {
        std::lock_guard lock(m.pnp().mu);
        if (n->removeSent) continue;
        n->removeSent = true;
      }
      const auto drivers = DriversOfStack(n->pdo);
      SendPnp(n->pdo, IRP_MN_REMOVE_DEVICE, nullptr);
      // Every driver above the PDO detaches and deletes its device in REMOVE.
      if (PDEVICE_OBJECT left = TopOfStack(n->pdo); left != n->pdo) {
        RaiseFault(FaultKind::StackLeftAfterRemove,
                   DescribeDevice(left) + " is still attached above the PDO of " +
                       std::string(n->instancePath.begin(), n->instancePath.end()) +
                       " after REMOVE_DEVICE (IoDetachDevice and IoDeleteDevice missing)",
                   nullptr);
      }
      {
        std::lock_guard lock(m.pnp().mu);
        n->state = NodeState::Removed;
        n->removeWhenClosed = false;
        DeviceGoneLocked(m.pnp(), n->pdo);
        m.pnp().byPdo.erase(n->pdo);
      }
      DereferenceObject(n->pdo);
      UnloadIdle(m, drivers);
    }
  }

  static std::vector<DeviceNode*> Subtree(DeviceNode* node) {
    std::vector<DeviceNode*> order;
    SubtreePostOrder(node, &order);
    return order;
  }
};

// ---- the kernel's own uses ---------------------------------------------------------

bool PnpHoldsDevice(Machine& m, PDEVICE_OBJECT device) {
  std::lock_guard lock(m.pnp().mu);
  return m.pnp().byPdo.count(device) != 0;
}

void PnpShutdown(Machine& m) {
  Step step(m.pnp());
  std::vector<DeviceNode*> roots;
  {
    std::lock_guard lock(m.pnp().mu);
    for (const auto& n : m.pnp().nodes) {
      if (!n->parent) roots.push_back(n.get());
    }
  }
  for (auto it = roots.rbegin(); it != roots.rend(); ++it) PnpManager::RemoveTree(m, *it);
}

// ---- the user side ------------------------------------------------------------------

NTSTATUS PnpOpenTarget(Machine& m, const std::wstring& path, PDEVICE_OBJECT* pdo) {
  PnpState& pnp = m.pnp();
  std::lock_guard lock(pnp.mu);
  for (const auto& i : pnp.interfaces) {
    if (!SameText(UserPathOf(i.link), UserPathOf(path))) continue;
    if (!i.enabled || !i.pdo) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = pnp.byPdo.find(i.pdo);
    if (it == pnp.byPdo.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    DeviceNode* node = it->second;
    if ((node->state != NodeState::Started && node->state != NodeState::StopPending) ||
        node->opensBlocked) {
      return STATUS_DELETE_PENDING;
    }
    ++node->openHandles;
    *pdo = i.pdo;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

void PnpHandleClosed(Machine& m, PDEVICE_OBJECT pdo) {
  PnpState& pnp = m.pnp();
  Step step(pnp);
  DeviceNode* pending = nullptr;
  {
    std::lock_guard lock(pnp.mu);
    DeviceNode* node = nullptr;
    for (const auto& n : pnp.nodes) {
      if (n->pdo == pdo && n->openHandles > 0 && n->state != NodeState::Removed) node = n.get();
    }
    if (!node) return;
    --node->openHandles;
    for (DeviceNode* n = node; n; n = n->parent) {
      if (n->removeWhenClosed) pending = n;
    }
  }
  if (pending && PnpManager::SubtreeHandles(m, pending) == 0) PnpManager::RemoveTree(m, pending);
}

// ---- Machine's Plug and Play interface -----------------------------------------------

void Machine::RegisterDriver(const std::wstring& hardwareId, PDRIVER_INITIALIZE entry,
                             const std::wstring& serviceName) {
  std::lock_guard lock(pnp_->mu);
  pnp_->registrations.push_back({hardwareId, entry, serviceName});
}

PDEVICE_OBJECT Machine::CreateRootDevice(const std::wstring& hardwareId, NTSTATUS* status) {
  Step step(*pnp_);
  PDRIVER_OBJECT root;
  unsigned instance;
  {
    std::lock_guard lock(pnp_->mu);
    root = pnp_->rootDriver;
    instance = pnp_->nextRootInstance++;
  }
  if (!root) {
    NTSTATUS loaded;
    root = LoadDriver(RootDriverEntry, L"PnpManager", &loaded);
    std::lock_guard lock(pnp_->mu);
    pnp_->rootDriver = root;
  }
  PDEVICE_OBJECT pdo = nullptr;
  {
    RoutineCheck check(FrameKind::DriverEntry, root, nullptr, 0, reinterpret_cast<const void*>(RootDriverEntry));
    *status = IoCreateDevice(root, sizeof(RootPdo), nullptr, FILE_DEVICE_BUS_EXTENDER,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  }
  if (!NT_SUCCESS(*status)) return nullptr;
  auto* ext = static_cast<RootPdo*>(pdo->DeviceExtension);
  const size_t chars = std::min(hardwareId.size(), kRootIdChars - 1);
  wmemcpy(ext->hardwareId, hardwareId.c_str(), chars);
  ext->hardwareId[chars] = 0;
  ext->instance = instance;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceNode* node = PnpManager::AddNode(*this, pdo, nullptr);
  *status = PnpManager::Bring(*this, node);
  return NT_SUCCESS(*status) ? pdo : nullptr;
}

NTSTATUS Machine::QueryStopDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
  std::vector<DeviceNode*> queried;
  for (DeviceNode* n : PnpManager::Subtree(node)) {
    if (PnpManager::StateOf(*this, n) != NodeState::Started) continue;
    const NTSTATUS status = SendPnp(n->pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        SendPnp((*it)->pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
        PnpManager::SetState(*this, *it, NodeState::Started);
      }
      return status;
    }
    PnpManager::SetState(*this, n, NodeState::StopPending);
    queried.push_back(n);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Machine::CancelStopDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::StopPending) return STATUS_INVALID_DEVICE_STATE;
  auto order = PnpManager::Subtree(node);
  NTSTATUS result = STATUS_SUCCESS;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (PnpManager::StateOf(*this, *it) != NodeState::StopPending) continue;
    const NTSTATUS status = SendPnp((*it)->pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    PnpManager::SetState(*this, *it, NodeState::Started);
  }
  return result;
}

NTSTATUS Machine::StopDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::StopPending) return STATUS_INVALID_DEVICE_STATE;
  for (DeviceNode* n : PnpManager::Subtree(node)) {
    if (PnpManager::StateOf(*this, n) != NodeState::StopPending) continue;
    SendPnp(n->pdo, IRP_MN_STOP_DEVICE, nullptr);
    PnpManager::SetState(*this, n, NodeState::Stopped);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Machine::StartDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::Stopped) return STATUS_INVALID_DEVICE_STATE;
  return PnpManager::Start(*this, node);
}

NTSTATUS Machine::RebalanceDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  const NTSTATUS query = QueryStopDevice(pdo);
  if (!NT_SUCCESS(query)) return query;
  StopDevice(pdo);
  return StartDevice(pdo);
}

NTSTATUS Machine::QueryRemoveDevice(PDEVICE_OBJECT pdo, bool closeHandlesOnNotice) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node) return STATUS_INVALID_DEVICE_STATE;
  const NodeState state = PnpManager::StateOf(*this, node);
  if (state == NodeState::RemovePending || state == NodeState::SurpriseRemoved ||
      state == NodeState::Removed) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  const auto order = PnpManager::Subtree(node);
  // From the count of handles on, nobody opens the subtree until the query is
  // over (then the nodes are remove-pending, or back as they were).
  auto blockOpens = [&](bool block) {
    std::lock_guard lock(pnp_->mu);
    for (DeviceNode* n : order) n->opensBlocked = block;
  };
  blockOpens(true);
  struct Unblock {
    decltype(blockOpens)& unblock;
    ~Unblock() { unblock(false); }
  } unblock{blockOpens};
  if (PnpManager::SubtreeHandles(*this, node) != 0) {
    // Applications hear of the query first; one that keeps its handle vetoes.
    if (!closeHandlesOnNotice) return STATUS_UNSUCCESSFUL;
    std::vector<PDEVICE_OBJECT> pdos;
    for (DeviceNode* n : order) pdos.push_back(n->pdo);
    for (Process* process : Processes()) {
      for (HANDLE handle : process->FileHandlesOn(pdos)) process->CloseHandle(handle);
    }
  }
  std::vector<DeviceNode*> queried;
  for (DeviceNode* n : order) {
    // A child already removed (its PDO may be deleted: a device that failed
    // to start was removed at once), one whose start failed, or one gone from
    // its bus is not asked; the last gets its REMOVE with the rest of the
    // subtree.
    const NodeState childState = PnpManager::StateOf(*this, n);
    bool removed;
    {
      std::lock_guard lock(pnp_->mu);
      removed = n->removeSent;
    }
    if (n != node && (removed || childState == NodeState::Removed || childState == NodeState::SurpriseRemoved ||
                      childState == NodeState::Failed))
      continue;
    const NTSTATUS status = SendPnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        SendPnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
        PnpManager::SetState(*this, *it, (*it)->beforeQuery);
      }
      return status;
    }
    {
      std::lock_guard lock(pnp_->mu);
      n->beforeQuery = n->state;
      n->state = NodeState::RemovePending;
    }
    queried.push_back(n);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Machine::CancelRemoveDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::RemovePending) return STATUS_INVALID_DEVICE_STATE;
  auto order = PnpManager::Subtree(node);
  NTSTATUS result = STATUS_SUCCESS;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (PnpManager::StateOf(*this, *it) != NodeState::RemovePending) continue;
    const NTSTATUS status = SendPnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    PnpManager::SetState(*this, *it, (*it)->beforeQuery);
  }
  return result;
}

NTSTATUS Machine::RemoveDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || PnpManager::StateOf(*this, node) != NodeState::RemovePending) return STATUS_INVALID_DEVICE_STATE;
  PnpManager::RemoveTree(*this, node);
  return STATUS_SUCCESS;
}

NTSTATUS Machine::RequestRemoval(PDEVICE_OBJECT pdo, bool closeHandlesOnNotice) {
  Step step(*pnp_);
  const NTSTATUS status = QueryRemoveDevice(pdo, closeHandlesOnNotice);
  if (!NT_SUCCESS(status)) return status;
  return RemoveDevice(pdo);
}

NTSTATUS Machine::SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  Step step(*pnp_);
  DeviceNode* node = PnpManager::NodeOf(*this, pdo);
  if (!node || !Removable(PnpManager::StateOf(*this, node))) return STATUS_INVALID_DEVICE_STATE;
  PnpManager::Vanish(*this, node);
  return STATUS_SUCCESS;
}

void Machine::ProcessDeviceRelations() {
  Step step(*pnp_);
  for (;;) {
    std::vector<PDEVICE_OBJECT> queued;
    {
      std::lock_guard lock(pnp_->mu);
      queued.swap(pnp_->invalidated);
    }
    if (queued.empty()) break;
    for (PDEVICE_OBJECT device : queued) {
      DeviceNode* node = PnpManager::NodeOf(*this, device);
      if (node && PnpManager::StateOf(*this, node) == NodeState::Started) PnpManager::Enumerate(*this, node);
    }
  }
}

NodeState Machine::DeviceNodeState(PDEVICE_OBJECT device) const {
  DeviceNode* node = PnpManager::NodeOf(const_cast<Machine&>(*this), device);
  if (!node) return NodeState::Removed;  // never reported, or its stack is gone
  std::lock_guard lock(pnp_->mu);
  return node->state;
}

std::vector<PDEVICE_OBJECT> Machine::ChildDevices(PDEVICE_OBJECT device) const {
  DeviceNode* node = PnpManager::NodeOf(const_cast<Machine&>(*this), device);
  std::vector<PDEVICE_OBJECT> children;
  if (!node) return children;
  std::lock_guard lock(pnp_->mu);
  for (DeviceNode* child : node->children) {
    if (child->state != NodeState::Removed) children.push_back(child->pdo);
  }
  return children;
}

PDEVICE_OBJECT Machine::FindDeviceByInstancePath(const std::wstring& instancePath) const {
  std::lock_guard lock(pnp_->mu);
  for (const auto& [pdo, node] : pnp_->byPdo) {
    if (SameText(node->instancePath, instancePath)) return pdo;
  }
  return nullptr;
}

std::wstring Machine::InstancePath(PDEVICE_OBJECT device) const {
  DeviceNode* node = PnpManager::NodeOf(const_cast<Machine&>(*this), device);
  if (!node) return {};
  std::lock_guard lock(pnp_->mu);
  return node->instancePath;
}

const DEVICE_CAPABILITIES* Machine::Capabilities(PDEVICE_OBJECT device) const {
  DeviceNode* node = PnpManager::NodeOf(const_cast<Machine&>(*this), device);
  return node ? &node->capabilities : nullptr;
}

size_t Machine::OpenHandleCount(PDEVICE_OBJECT device) const {
  DeviceNode* node = PnpManager::NodeOf(const_cast<Machine&>(*this), device);
  if (!node) return 0;
  std::lock_guard lock(pnp_->mu);
  return node->openHandles;
}

std::vector<DeviceNode*> StartedNodes(PnpState& pnp, bool childrenFirst) {
  std::vector<DeviceNode*> order;
  std::lock_guard lock(pnp.mu);
  for (const auto& n : pnp.nodes) {
    if (!n->parent && n->state != NodeState::Removed) SubtreePostOrder(n.get(), &order);
  }
  if (!childrenFirst) std::reverse(order.begin(), order.end());
  std::vector<DeviceNode*> started;
  for (DeviceNode* n : order) {
    if (n->state == NodeState::Started) started.push_back(n);
  }
  return started;
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  RequireIrql(DISPATCH_LEVEL, "IoInvalidateDeviceRelations", __builtin_return_address(0));
  if (Type != BusRelations) return;
  PnpState& pnp = Machine::Current().pnp();
  std::lock_guard lock(pnp.mu);
  pnp.invalidated.push_back(DeviceObject);
}
