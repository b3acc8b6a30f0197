// The registry: keys by full path ("\Registry\Machine\..."), each with typed
// values, names compared without regard to case. Values keep the type they
// were written with, whatever their length. Optionally backed by a file: Load
// reads it, and every change is written back (the simulator keeps its devices'
// settings across runs this way). One lock guards the keys.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

namespace tqm::kernel {

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

class Registry {
 public:
  struct NameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
  };
  static bool SameName(const std::wstring& a, const std::wstring& b);

  void CreateKey(const std::wstring& path);
  bool KeyExists(const std::wstring& path) const;
  bool SetValue(const std::wstring& path, const std::wstring& name, ULONG type,
                const void* data, size_t bytes);
  std::optional<RegistryValue> GetValue(const std::wstring& path, const std::wstring& name) const;

  // Reads the file (if it exists) and keeps it up to date from now on.
  bool AttachFile(const std::string& file);

 private:
  using Values = std::map<std::wstring, RegistryValue, NameLess>;
  void SaveLocked() const;

  mutable std::mutex mu_;
  std::map<std::wstring, Values, NameLess> keys_;
  std::string file_;
};

}  // namespace tqm::kernel
