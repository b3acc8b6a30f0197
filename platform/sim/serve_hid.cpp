// The served machine's HID collections (serve_hid.h).
#include "platform/sim/serve_hid.h"

#include <algorithm>

#include "usb/device/tqm27_device.h"

namespace tqm::sim {

namespace {

// The access rights of a file that may read and write (GENERIC_* as the I/O
// manager maps them for a device, or the specific rights).
constexpr ACCESS_MASK kGenericRead = 0x80000000u;
constexpr ACCESS_MASK kGenericWrite = 0x40000000u;
constexpr ACCESS_MASK kGenericAll = 0x10000000u;
constexpr ACCESS_MASK kReadData = 0x0001;
constexpr ACCESS_MASK kWriteData = 0x0002;
// Statuses the simulated kernel's headers do not name.
constexpr NTSTATUS kDeviceNotReady = NTSTATUS(0xC00000A3L);
constexpr NTSTATUS kInvalidBufferSize = NTSTATUS(0xC0000206L);

NTSTATUS StatusOf(usb::UsbStatus status) {
  switch (status) {
    case usb::UsbStatus::Ok:
      return STATUS_SUCCESS;
    case usb::UsbStatus::DeviceGone:
      return STATUS_DEVICE_NOT_CONNECTED;
    case usb::UsbStatus::NoEndpoint:
      return kDeviceNotReady;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

GUID HidInterfaceClass() {
  return GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HidCollection::HidCollection(std::wstring path, HidIdentity identity, uint16_t inputBytes, uint16_t outputBytes,
                             bool refusesOpen)
    : path_(std::move(path)),
      identity_(identity),
      refusesOpen_(refusesOpen),
      inputBytes_(inputBytes),
      outputBytes_(outputBytes) {}

HidCollection::~HidCollection() { Detach(); }

void HidCollection::Lengths(uint16_t* input, uint16_t* output) const {
  std::lock_guard lock(mu_);
  *input = inputBytes_;
  *output = outputBytes_;
}

void HidCollection::SetLengths(uint16_t input, uint16_t output) {
  std::lock_guard lock(mu_);
  if (input) inputBytes_ = input;
  if (output) outputBytes_ = output;
}

void HidCollection::SetStallWrites(bool stall) {
  std::lock_guard lock(mu_);
  stallWrites_ = stall;
}

void HidCollection::Attach(kernel::Clock& clock, usb::Tqm27Device* device) {
  {
    std::lock_guard lock(mu_);
    device_ = device;
    clock_ = &clock;
    gone_ = false;
  }
  const int64_t ms = kernel::Clock::kUnitsPerMillisecond;
  poll_ = clock.AddWork((clock.Now() / ms + 1) * ms, ms, [this] { Poll(); });
}

void HidCollection::Detach() {
  kernel::Clock* clock;
  kernel::Clock::WorkId poll;
  std::vector<Ended> ended;
  {
    std::lock_guard lock(mu_);
    clock = clock_;
    poll = poll_;
    clock_ = nullptr;
    poll_ = 0;
    device_ = nullptr;
    gone_ = true;
    for (auto& weak : files_)
      if (auto f = weak.lock()) EndAllLocked(*f, STATUS_DEVICE_NOT_CONNECTED, &ended);
  }
  // Waits for a poll that is running: it takes mu_, so not under it.
  if (clock && poll) clock->RemoveWork(poll);
  Finish(ended);
}

NTSTATUS HidCollection::Open(ACCESS_MASK access, std::shared_ptr<HidFile>* file) {
  std::lock_guard lock(mu_);
  if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
  if (refusesOpen_) return STATUS_ACCESS_DENIED;
  auto f = std::make_shared<HidFile>();
  f->read_ = access & (kGenericRead | kGenericAll | kReadData);
  f->write_ = access & (kGenericWrite | kGenericAll | kWriteData);
  files_.erase(std::remove_if(files_.begin(), files_.end(), [](const auto& w) { return w.expired(); }),
               files_.end());
  files_.push_back(f);
  *file = std::move(f);
  return STATUS_SUCCESS;
}

void HidCollection::Close(HidFile& file) {
  std::vector<Ended> ended;
  {
    std::lock_guard lock(mu_);
    file.closed_ = true;
    file.queue_.clear();
    EndAllLocked(file, STATUS_CANCELLED, &ended);
    files_.erase(std::remove_if(files_.begin(), files_.end(),
                                [&](const auto& w) {
                                  auto f = w.lock();
                                  return !f || f.get() == &file;
                                }),
                 files_.end());
  }
  Finish(ended);
}

NTSTATUS HidCollection::Read(HidFile& file, uint64_t id, uint32_t length, HidCompletion done,
                             std::vector<uint8_t>* data) {
  std::lock_guard lock(mu_);
  if (file.closed_) return STATUS_INVALID_HANDLE;
  if (!file.read_) return STATUS_ACCESS_DENIED;
  if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
  // The class driver hands out whole reports only.
  if (length < inputBytes_) return kInvalidBufferSize;
  if (file.pending_.empty() && !file.queue_.empty()) {
    *data = std::move(file.queue_.front());
    file.queue_.pop_front();
    return STATUS_SUCCESS;
  }
  file.pending_.push_back(HidFile::Pending{id, true, length, std::move(done)});
  return STATUS_PENDING;
}

NTSTATUS HidCollection::Write(HidFile& file, uint64_t id, std::span<const uint8_t> report, HidCompletion done,
                              uint32_t* written) {
  std::lock_guard lock(mu_);
  *written = 0;
  if (file.closed_) return STATUS_INVALID_HANDLE;
  if (!file.write_) return STATUS_ACCESS_DENIED;
  if (gone_ || !device_) return STATUS_DEVICE_NOT_CONNECTED;
  // Exactly one report, and this device numbers none of its reports: the id
  // byte is 0.
  if (report.size() != outputBytes_ || report.empty() || report[0] != 0) return STATUS_INVALID_PARAMETER;
  if (stallWrites_) {
    file.pending_.push_back(HidFile::Pending{id, false, uint32_t(report.size()), std::move(done)});
    return STATUS_PENDING;
  }
  const NTSTATUS status = StatusOf(device_->HidOutput(report.subspan(1)));
  if (NT_SUCCESS(status)) *written = uint32_t(report.size());
  return status;
}

bool HidCollection::Cancel(HidFile& file, uint64_t id) {
  std::vector<Ended> ended;
  {
    std::lock_guard lock(mu_);
    auto it = std::find_if(file.pending_.begin(), file.pending_.end(), [&](const auto& p) { return p.id == id; });
    if (it == file.pending_.end()) return false;
    ended.push_back(Ended{std::move(it->done), id, STATUS_CANCELLED, {}, 0});
    file.pending_.erase(it);
  }
  Finish(ended);
  return true;
}

void HidCollection::Poll() {
  std::vector<Ended> ended;
  {
    std::lock_guard lock(mu_);
    if (!device_ || files_.empty()) return;
    std::vector<uint8_t> wire(usb::kHidInputReportBytes);
    for (;;) {
      uint32_t length = 0;
      if (device_->HidInput(wire, &length) != usb::UsbStatus::Ok) break;
      // The id byte in front, then the report cut or padded to the length
      // the collection declares.
      std::vector<uint8_t> report(inputBytes_, 0);
      std::copy_n(wire.begin(), std::min<size_t>(length, report.size() - 1), report.begin() + 1);
      for (auto& weak : files_) {
        auto f = weak.lock();
        if (!f || f->closed_) continue;
        if (f->queue_.size() == kFileQueue) f->queue_.pop_front();
        f->queue_.push_back(report);
      }
    }
    for (auto& weak : files_)
      if (auto f = weak.lock()) ServeReadsLocked(*f, &ended);
  }
  Finish(ended);
}

void HidCollection::ServeReadsLocked(HidFile& file, std::vector<Ended>* ended) {
  for (auto it = file.pending_.begin(); it != file.pending_.end() && !file.queue_.empty();) {
    if (!it->read) {
      ++it;
      continue;
    }
    std::vector<uint8_t> report = std::move(file.queue_.front());
    file.queue_.pop_front();
    const uint32_t bytes = uint32_t(report.size());
    ended->push_back(Ended{std::move(it->done), it->id, STATUS_SUCCESS, std::move(report), bytes});
    it = file.pending_.erase(it);
  }
}

void HidCollection::EndAllLocked(HidFile& file, NTSTATUS status, std::vector<Ended>* ended) {
  for (HidFile::Pending& p : file.pending_) ended->push_back(Ended{std::move(p.done), p.id, status, {}, 0});
  file.pending_.clear();
}

void HidCollection::Finish(std::vector<Ended>& ended) {
  for (Ended& e : ended)
    if (e.done) e.done(e.id, e.status, std::move(e.data), e.bytes);
}

}  // namespace tqm::sim
