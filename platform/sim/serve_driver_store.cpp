// The simulated driver store (serve_driver_store.h).
#include "platform/sim/serve_driver_store.h"

#include <cstring>

#include "tqm/identity.h"
#include "tqm/version.h"

namespace tqm::sim {
namespace {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNoMoreEntries = 0x8000001A;     // STATUS_NO_MORE_ENTRIES
constexpr uint32_t kInvalidParameter = 0xC000000D;  // STATUS_INVALID_PARAMETER

// The driver's interface class in Windows' GUID layout (little-endian fields).
bool IsDriverClass(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != bridge::kGuidBytes) return false;
  uint8_t want[16];
  for (int i = 0; i < 4; ++i) want[i] = uint8_t(kInterfaceGuid.data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) want[4 + i] = uint8_t(kInterfaceGuid.data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) want[6 + i] = uint8_t(kInterfaceGuid.data3 >> (8 * i));
  std::memcpy(want + 8, kInterfaceGuid.data4, 8);
  return std::memcmp(bytes.data(), want, 16) == 0;
}

// The three texts of an entry, each ended by a NUL, as one UTF-16LE payload.
std::vector<uint8_t> Texts(const DriverStore::Entry& e) {
  std::wstring all = e.manufacturer;
  all.push_back(L'\0');
  all += e.provider;
  all.push_back(L'\0');
  all += e.description;
  all.push_back(L'\0');
  return bridge::PathBytes(all);
}

bool ParseTexts(const std::vector<uint8_t>& payload, DriverStore::Entry* e) {
  const std::wstring all = bridge::PathFromBytes(payload);
  std::wstring* fields[3] = {&e->manufacturer, &e->provider, &e->description};
  size_t at = 0;
  for (std::wstring* field : fields) {
    const size_t end = all.find(L'\0', at);
    if (end == std::wstring::npos) return false;
    *field = all.substr(at, end - at);
    at = end + 1;
  }
  return at == all.size();
}

}  // namespace

DriverStore::DriverStore() {
  const uint64_t version = uint64_t(TQM_VERSION_MAJOR) << 48 | uint64_t(TQM_VERSION_MINOR) << 32 |
                           uint64_t(TQM_VERSION_BUILD) << 16 | uint64_t(TQM_VERSION_REVISION);
  entries_.push_back({L"ORU", L"ORU", L"TQM27 Controller driver", version});
}

void DriverStore::Add(Entry entry) {
  std::lock_guard lock(mu_);
  entries_.push_back(std::move(entry));
}

bool DriverStore::Remove(size_t index) {
  std::lock_guard lock(mu_);
  if (index >= entries_.size()) return false;
  entries_.erase(entries_.begin() + std::ptrdiff_t(index));
  return true;
}

void DriverStore::Clear() {
  std::lock_guard lock(mu_);
  entries_.clear();
}

std::vector<DriverStore::Entry> DriverStore::Entries() const {
  std::lock_guard lock(mu_);
  return entries_;
}

void DriverStore::Installed(size_t port) {
  std::lock_guard lock(mu_);
  nodes_.insert(port);
}

size_t DriverStore::Nodes() const {
  std::lock_guard lock(mu_);
  return nodes_.size();
}

bridge::Message DriverStore::Answer(const bridge::Message& request) {
  bridge::Message reply;
  reply.status = kSuccess;
  switch (bridge::DriverStoreOp(request.a[0])) {
    case bridge::DriverStoreOp::Nodes:
      reply.a[0] = IsDriverClass(request.payload) ? Nodes() : 0;
      break;
    case bridge::DriverStoreOp::Entry: {
      const std::vector<Entry> all = Entries();
      if (request.a[1] >= all.size()) {
        reply.status = kNoMoreEntries;
        break;
      }
      reply.a[0] = all[request.a[1]].version;
      reply.payload = Texts(all[request.a[1]]);
      break;
    }
    case bridge::DriverStoreOp::Add: {
      Entry e;
      if (!ParseTexts(request.payload, &e)) {
        reply.status = kInvalidParameter;
        break;
      }
      e.version = request.a[1];
      Add(std::move(e));
      reply.a[0] = Entries().size();
      break;
    }
    case bridge::DriverStoreOp::Remove:
      if (request.a[1] == bridge::kAllEntries)
        Clear();
      else if (!Remove(size_t(request.a[1])))
        reply.status = kInvalidParameter;
      break;
    default:
      reply.status = kInvalidParameter;
  }
  return reply;
}

}  // namespace tqm::sim
