// The driver store is read through `sys::`: SetupAPI itself in the shipped
// program, the simulated machine's store in a simulator build.
#include "version_discovery.h"

#include "platform/bridge/sys.h"

#include <cstdio>
#include <cwchar>

#include "resource_ids.h"
#include "tqm/identity.h"

namespace tqm::panel {
namespace {

const GUID kInterfaceClass = {kInterfaceGuid.data1,
                              kInterfaceGuid.data2,
                              kInterfaceGuid.data3,
                              {kInterfaceGuid.data4[0], kInterfaceGuid.data4[1], kInterfaceGuid.data4[2],
                               kInterfaceGuid.data4[3], kInterfaceGuid.data4[4], kInterfaceGuid.data4[5],
                               kInterfaceGuid.data4[6], kInterfaceGuid.data4[7]}};

bool Same(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }

}  // namespace

bool VersionTitle::Offer(const wchar_t* manufacturer, const wchar_t* provider, const wchar_t* description,
                         uint64_t version, wchar_t (&title)[kTitleUnits]) {
  if (!(Same(manufacturer, L"ORU") || Same(provider, L"ORU")) || !Same(description, L"TQM27 Controller driver"))
    return false;
  const unsigned major = unsigned(version >> 48) & 0xFFFF, minor = unsigned(version >> 32) & 0xFFFF;
  const unsigned build = unsigned(version >> 16) & 0xFFFF, revision = unsigned(version) & 0xFFFF;
  if (!matched_ || revision > maxRevision_) maxRevision_ = revision;
  matched_ = true;
  swprintf(title, kTitleUnits, L"TQM27 v%u.%u.%u.%u", major, minor, build, maxRevision_);
  title[kTitleUnits - 1] = L'\0';
  return true;
}

bool DiscoverDriverVersion(HINSTANCE instance, wchar_t (&title)[kTitleUnits], uint8_t& versionFound) {
  // Not present devices too: the title names the installed driver.
  HDEVINFO set = sys::SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  VersionTitle rule;
  bool failed = false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD d = 0; !failed && sys::SetupDiEnumDeviceInfo(set, d, &device); ++d) {
    if (!sys::SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER)) {
      failed = true;
      break;
    }
    SP_DRVINFO_DATA_W entry{};
    entry.cbSize = sizeof entry;
    for (DWORD e = 0; sys::SetupDiEnumDriverInfoW(set, &device, SPDIT_COMPATDRIVER, e, &entry); ++e) {
      if (rule.Offer(entry.MfgName, entry.ProviderName, entry.Description, entry.DriverVersion, title))
        versionFound = 1;
    }
    sys::SetupDiDestroyDriverInfoList(set, &device, SPDIT_COMPATDRIVER);
    if (!versionFound) LoadStringW(instance, IDS_TITLE, title, kTitleUnits);
  }
  sys::SetupDiDestroyDeviceInfoList(set);
  return !failed && rule.matched();
}

}  // namespace tqm::panel
