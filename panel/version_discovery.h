// The window title that names the installed driver: "TQM27 v%d.%d.%d.%d"
// from the driver store's entries for the driver's interface class whose
// manufacturer or provider is "ORU" and whose description is "TQM27
// Controller driver". Devices that are not present count too.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tqm::panel {

constexpr int kTitleUnits = 100;

// The title rule over the entries of one discovery run: the major, minor
// and build of the last matching entry, and the largest revision of all
// matching entries seen so far in the run.
class VersionTitle {
 public:
  // True when the entry matched (and the title was written).
  bool Offer(const wchar_t* manufacturer, const wchar_t* provider, const wchar_t* description, uint64_t version,
             wchar_t (&title)[kTitleUnits]);
  bool matched() const { return matched_; }

 private:
  bool matched_ = false;
  unsigned maxRevision_ = 0;
};

// One discovery run over the driver store. Writes the title buffer for each
// matching entry; after each device's list, when no run has ever matched
// (`versionFound` clear), the buffer gets string-table entry 1. Every set and
// list it obtains is destroyed. True when an entry matched in this run.
bool DiscoverDriverVersion(HINSTANCE instance, wchar_t (&title)[kTitleUnits], uint8_t& versionFound);

}  // namespace tqm::panel
