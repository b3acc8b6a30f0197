// Device interfaces: registration by a driver, enabling and disabling, the
// enumeration user mode sees, and arrival/removal notifications.
//
// A registration stays for the life of the machine (user mode can enumerate
// an interface whose device is gone: present is then false). The kernel names
// an interface "\??\<instance path with # for \>#{class guid}[\reference]";
// user mode sees the same name with the "\\?\" prefix. Notifications are
// queued while the manager's lock is held and told at the end of the Plug and
// Play step that caused them (or at the next ProcessDeviceRelations when a
// driver changed an interface outside any step), in the subscriber's process.
#include <cwctype>

#include "platform/kernel/internal.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/process.h"

namespace tqm::kernel {

namespace {

constexpr ULONG kInterfaceTag = 0x69446F49;  // "IoDi"

std::wstring GuidText(const GUID& g) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(g.Data1),
                unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::wstring FromUnicode(PCUNICODE_STRING s) { return std::wstring(s->Buffer, s->Length / sizeof(WCHAR)); }

}  // namespace

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

std::wstring UserPathOf(const std::wstring& link) {
  if (link.rfind(L"\\??\\", 0) == 0) return L"\\\\?\\" + link.substr(4);
  return link;
}

void QueueInterfaceNoticeLocked(PnpState& pnp, const PnpState::Interface& i, bool arrival) {
  for (const auto& s : pnp.subscribers) {
    if (SameGuid(s.classGuid, i.classGuid)) {
      pnp.notices.push_back({s.process, s.notify, arrival, UserPathOf(i.link)});
    }
  }
}

void DeviceGoneLocked(PnpState& pnp, PDEVICE_OBJECT pdo) {
  for (auto& i : pnp.interfaces) {
    if (i.pdo != pdo) continue;
    if (i.enabled) QueueInterfaceNoticeLocked(pnp, i, false);
    i.enabled = false;
    i.pdo = nullptr;
  }
}

void DeliverInterfaceNotices(PnpState& pnp) {
  for (;;) {
    std::vector<PnpState::Notice> notices;
    {
      std::lock_guard lock(pnp.mu);
      notices.swap(pnp.notices);
    }
    if (notices.empty()) return;
    for (const auto& n : notices) {
      if (n.process->exited()) continue;
      ProcessScope scope(*n.process);
      n.notify(n.arrival, n.path);
    }
  }
}

std::vector<DeviceInterfaceInfo> Machine::DeviceInterfaces(const GUID& classGuid) const {
  std::lock_guard lock(pnp_->mu);
  std::vector<DeviceInterfaceInfo> list;
  for (const auto& i : pnp_->interfaces) {
    if (SameGuid(i.classGuid, classGuid)) {
      list.push_back({UserPathOf(i.link), i.classGuid, i.enabled, i.pdo != nullptr});
    }
  }
  return list;
}

int Machine::RegisterInterfaceNotification(Process& process, const GUID& classGuid,
                                           InterfaceNotification notify) {
  std::lock_guard lock(pnp_->mu);
  const int cookie = pnp_->nextCookie++;
  pnp_->subscribers.push_back({cookie, &process, classGuid, std::move(notify)});
  return cookie;
}

void Machine::UnregisterInterfaceNotification(int cookie) {
  std::lock_guard lock(pnp_->mu);
  auto& subs = pnp_->subscribers;
  for (auto it = subs.begin(); it != subs.end(); ++it) {
    if (it->cookie == cookie) {
      subs.erase(it);
      return;
    }
  }
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  RequireIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface", __builtin_return_address(0));
  Machine& m = Machine::Current();
  const std::wstring instancePath = m.InstancePath(PhysicalDeviceObject);
  // Only a PDO the Plug and Play manager reported has an instance path.
  if (instancePath.empty() || BottomOfStack(PhysicalDeviceObject) != PhysicalDeviceObject) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::wstring munged = instancePath;
  for (wchar_t& c : munged) {
    if (c == L'\\') c = L'#';
  }
  std::wstring link = L"\\??\\" + munged + L"#" + GuidText(*InterfaceClassGuid);
  if (ReferenceString && ReferenceString->Length) link += L"\\" + FromUnicode(ReferenceString);

  const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  wmemcpy(buffer, link.c_str(), link.size() + 1);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = USHORT(bytes);

  PnpState& pnp = m.pnp();
  std::lock_guard lock(pnp.mu);
  for (auto& i : pnp.interfaces) {
    if (SameText(i.link, link)) {
      i.pdo = PhysicalDeviceObject;
      return STATUS_SUCCESS;
    }
  }
  pnp.interfaces.push_back({link, *InterfaceClassGuid, PhysicalDeviceObject, false});
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", __builtin_return_address(0));
  PnpState& pnp = Machine::Current().pnp();
  const std::wstring link = FromUnicode(SymbolicLinkName);
  std::lock_guard lock(pnp.mu);
  for (auto& i : pnp.interfaces) {
    if (!SameText(i.link, link)) continue;
    const bool enable = Enable != FALSE;
    // The interfaces of a device that is gone were disabled with it.
    if (!i.pdo) return enable ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
    if (i.enabled != enable) {
      i.enabled = enable;
      QueueInterfaceNoticeLocked(pnp, i, enable);
    }
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
