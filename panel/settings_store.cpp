// The panel's registry values. The key's name is loaded from the string table
// at every access, as the rest of the panel's texts are.
#include "settings_store.h"

#include <cstring>

#include "resource_ids.h"
#include "settings_rules.h"

namespace tqm::panel {
namespace {

constexpr int kKeyUnits = 256;

bool KeyName(HINSTANCE instance, wchar_t (&key)[kKeyUnits]) {
  return LoadStringW(instance, IDS_REGISTRY_KEY, key, kKeyUnits) > 0;
}

}  // namespace

bool ReadPanelValue(HINSTANCE instance, const wchar_t* name, const void* defaults, void* destination,
                    DWORD size, DWORD* length) {
  std::memcpy(destination, defaults, size);
  if (length) *length = 0;
  wchar_t keyName[kKeyUnits];
  HKEY key = nullptr;
  if (!KeyName(instance, keyName) || RegOpenKeyExW(HKEY_CURRENT_USER, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD got = size;
  const LONG status = RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(destination), &got);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_BINARY) {
    // A failed or mistyped query may have written part of the destination.
    std::memcpy(destination, defaults, size);
    return false;
  }
  if (length) *length = got;
  return true;
}

void WritePanelValue(HINSTANCE instance, const wchar_t* name, const void* bytes, DWORD size) {
  wchar_t keyName[kKeyUnits];
  HKEY key = nullptr;
  if (!KeyName(instance, keyName) ||
      RegCreateKeyExW(HKEY_CURRENT_USER, keyName, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(bytes), size);
  RegCloseKey(key);
}

void SaveWindowPosition(HINSTANCE instance, HWND window) {
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return;
  const int32_t x = rect.left, y = rect.top;
  WritePanelValue(instance, L"WinX", &x, sizeof x);
  WritePanelValue(instance, L"WinY", &y, sizeof y);
}

void SaveSettings(HINSTANCE instance, const PanelSettings& settings) {
  WritePanelValue(instance, L"Mixer", &settings, sizeof settings);
}

bool LoadStoredSettings(HINSTANCE instance, PanelSettings& settings) {
  const PanelSettings defaults = PanelDefaults();
  PanelSettings scratch;
  DWORD length = 0;
  const bool read = ReadPanelValue(instance, L"Mixer", &defaults, &scratch, sizeof scratch, &length);
  settings = read ? StoredPanelSettings(&scratch, length) : defaults;
  return read;
}

}  // namespace tqm::panel
