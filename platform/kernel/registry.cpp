// The registry store (registry.h) and the registry entry points: device keys
// opened by handle, values written and read back in the kernel's layouts.
#include "platform/kernel/registry.h"

#include <cstdio>
#include <cwctype>
#include <new>

#include "platform/kernel/internal.h"

namespace tqm::kernel {

bool Registry::NameLess::operator()(const std::wstring& a, const std::wstring& b) const {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = std::towupper(wint_t(a[i]));
    const auto cb = std::towupper(wint_t(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

bool Registry::SameName(const std::wstring& a, const std::wstring& b) {
  NameLess less;
  return !less(a, b) && !less(b, a);
}

void Registry::CreateKey(const std::wstring& path) {
  std::lock_guard lock(mu_);
  if (keys_.emplace(path, Values{}).second) SaveLocked();
}

bool Registry::KeyExists(const std::wstring& path) const {
  std::lock_guard lock(mu_);
  return keys_.count(path) != 0;
}

bool Registry::SetValue(const std::wstring& path, const std::wstring& name, ULONG type,
                        const void* data, size_t bytes) {
  std::lock_guard lock(mu_);
  auto key = keys_.find(path);
  if (key == keys_.end()) return false;
  RegistryValue& value = key->second[name];
  value.type = type;
  const auto* p = static_cast<const uint8_t*>(data);
  value.data.assign(p, p + bytes);
  SaveLocked();
  return true;
}

std::optional<RegistryValue> Registry::GetValue(const std::wstring& path,
                                                const std::wstring& name) const {
  std::lock_guard lock(mu_);
  auto key = keys_.find(path);
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(name);
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

// The file holds one line per key ("K <path>") and per value
// ("V <name> <type> <data>"), text as 4-digit hex code units, data as hex bytes.
namespace {
std::string Hex(const std::wstring& text) {
  std::string out;
  char unit[8];
  for (wchar_t c : text) {
    std::snprintf(unit, sizeof unit, "%04X", unsigned(c) & 0xFFFF);
    out += unit;
  }
  return out.empty() ? "-" : out;
}

std::wstring Unhex(const std::string& text) {
  std::wstring out;
  if (text == "-") return out;
  for (size_t i = 0; i + 4 <= text.size(); i += 4) {
    out += wchar_t(std::stoul(text.substr(i, 4), nullptr, 16));
  }
  return out;
}
}  // namespace

void Registry::SaveLocked() const {
  if (file_.empty()) return;
  const std::string temporary = file_ + ".new";
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (!f) return;
  for (const auto& [path, values] : keys_) {
    std::fprintf(f, "K %s\n", Hex(path).c_str());
    for (const auto& [name, value] : values) {
      std::fprintf(f, "V %s %u ", Hex(name).c_str(), unsigned(value.type));
      if (value.data.empty()) std::fputc('-', f);
      for (uint8_t b : value.data) std::fprintf(f, "%02X", b);
      std::fputc('\n', f);
    }
  }
  std::fclose(f);
  std::rename(temporary.c_str(), file_.c_str());
}

bool Registry::AttachFile(const std::string& file) {
  std::lock_guard lock(mu_);
  file_ = file;
  FILE* f = std::fopen(file.c_str(), "r");
  if (!f) return true;
  char line[65536];
  Values* key = nullptr;
  bool ok = true;
  while (std::fgets(line, sizeof line, f)) {
    char kind = 0;
    char name[4096];
    unsigned type = 0;
    static_assert(sizeof line > 2 * 4096);
    char data[sizeof line];
    if (std::sscanf(line, "K %4095s", name) == 1) {
      key = &keys_[Unhex(name)];
      kind = 'K';
    } else if (key && std::sscanf(line, "V %4095s %u %65535s", name, &type, data) == 3) {
      RegistryValue& value = (*key)[Unhex(name)];
      value.type = type;
      value.data.clear();
      const std::string hex = data;
      if (hex != "-") {
        for (size_t i = 0; i + 2 <= hex.size(); i += 2) {
          value.data.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
      }
      kind = 'V';
    }
    ok = ok && kind != 0;
  }
  std::fclose(f);
  return ok;
}

namespace {
struct KeyObject {
  std::wstring path;
};

void DestroyKey(ObjectHeader* header) { static_cast<KeyObject*>(BodyOf(header))->~KeyObject(); }

std::wstring NameOf(PUNICODE_STRING name) {
  if (!name || !name->Buffer) return {};
  return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

constexpr ULONG AlignUp(ULONG value, ULONG alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}
}  // namespace

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  RequireIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey", __builtin_return_address(0));
  Machine& m = Machine::Current();
  const std::wstring path = m.DeviceKeyPath(DeviceObject, DevInstKeyType);
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  m.registry().CreateKey(path);
  void* body = CreateObject(ObjectType::Key, sizeof(KeyObject), DestroyKey);
  new (body) KeyObject{path};
  *DevInstRegKey = m.objects().Insert(body);
  DereferenceObject(body);
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  RequireIrql(PASSIVE_LEVEL, "ZwSetValueKey", __builtin_return_address(0));
  Machine& m = Machine::Current();
  auto* key = static_cast<KeyObject*>(m.objects().Reference(KeyHandle, ObjectType::Key));
  if (!key) return STATUS_INVALID_HANDLE;
  const bool ok = m.registry().SetValue(key->path, NameOf(ValueName), Type, Data, DataSize);
  DereferenceObject(key);
  return ok ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey", __builtin_return_address(0));
  Machine& m = Machine::Current();
  auto* key = static_cast<KeyObject*>(m.objects().Reference(KeyHandle, ObjectType::Key));
  if (!key) return STATUS_INVALID_HANDLE;
  const std::wstring name = NameOf(ValueName);
  const auto value = m.registry().GetValue(key->path, name);
  DereferenceObject(key);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

  const ULONG nameBytes = ULONG(name.size() * sizeof(WCHAR));
  const ULONG dataBytes = ULONG(value->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  ULONG fixed, required;
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      required = fixed + nameBytes;
      *ResultLength = required;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = value->type;
      info->NameLength = nameBytes;
      if (Length < required) return STATUS_BUFFER_OVERFLOW;
      memcpy(info->Name, name.data(), nameBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      // The data starts at the next 8-byte boundary after the name.
      const ULONG dataOffset = AlignUp(fixed + nameBytes, 8);
      required = dataOffset + dataBytes;
      *ResultLength = required;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = value->type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (Length < required) return STATUS_BUFFER_OVERFLOW;
      memcpy(info->Name, name.data(), nameBytes);
      memcpy(out + dataOffset, value->data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      required = fixed + dataBytes;
      *ResultLength = required;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = value->type;
      info->DataLength = dataBytes;
      if (Length < required) return STATUS_BUFFER_OVERFLOW;
      memcpy(info->Data, value->data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_INFO_CLASS;
}

}  // extern "C"
