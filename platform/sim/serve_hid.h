// The HID collections of the served machine, as the HID class driver shows
// them to user mode: interfaces of the HID class, files opened on them, input
// reports queued per file, reads that wait for a report, writes, cancels.
//
// A TQM27's collection sits on its device's HID interface: a write (report id
// 0 first, as a host writes a device without report ids) goes to the
// interrupt OUT endpoint without the id byte; every millisecond the
// collection takes the input reports the device has ready, puts the id byte
// in front and queues each one to every open file (at most kFileQueue per
// file, the oldest dropped, as the class driver's ring does), then completes
// the reads waiting for one. The report lengths the collection declares are
// settable, so a test can offer a device whose reports do not fit a client's
// buffers. An unrelated collection (another vendor) refuses every open, as a
// system keyboard does.
//
// Files: one per open handle, held by the connection that opened it. A read
// or write that cannot finish at once is pending: its completion comes later
// through the function given with it (any thread, never under this object's
// lock). Cancel, Close and the device's removal end pending operations with
// STATUS_CANCELLED or STATUS_DEVICE_NOT_CONNECTED.
//
// Threads: the connections' request threads (open, read, write, cancel,
// close), the machine's thread (attach, detach, settings) and the clock
// thread (the poll, at DISPATCH_LEVEL). One mutex guards everything; the
// device's own lock is taken inside it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel/clock.h"

namespace tqm::usb {
class Tqm27Device;
}

namespace tqm::sim {

// The HID class's interface GUID, {4D1E55B2-F16F-11CF-88CB-001111000030}.
GUID HidInterfaceClass();

struct HidIdentity {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t version = 0;
  uint16_t usagePage = 0;
  uint16_t usage = 0;
};

// Ends a pending operation: its id, the final status, the bytes read (or,
// for a write, an empty vector) and the byte count.
using HidCompletion = std::function<void(uint64_t id, NTSTATUS status, std::vector<uint8_t> data, uint32_t bytes)>;

class HidCollection;

// One open handle.
class HidFile {
 public:
  bool canRead() const { return read_; }
  bool canWrite() const { return write_; }

 private:
  friend class HidCollection;
  struct Pending {
    uint64_t id;
    bool read;
    uint32_t length;
    HidCompletion done;
  };
  bool read_ = false;
  bool write_ = false;
  bool closed_ = false;
  std::deque<std::vector<uint8_t>> queue_;
  std::deque<Pending> pending_;
};

class HidCollection {
 public:
  static constexpr size_t kFileQueue = 32;

  HidCollection(std::wstring path, HidIdentity identity, uint16_t inputBytes, uint16_t outputBytes,
                bool refusesOpen);
  ~HidCollection();
  HidCollection(const HidCollection&) = delete;
  HidCollection& operator=(const HidCollection&) = delete;

  const std::wstring& path() const { return path_; }
  HidIdentity identity() const { return identity_; }
  void Lengths(uint16_t* input, uint16_t* output) const;
  // 0 keeps a length.
  void SetLengths(uint16_t input, uint16_t output);
  // Writes stay pending until cancelled, as to a device that stopped taking
  // its interrupt OUT transfers.
  void SetStallWrites(bool stall);

  // Polls `device` every millisecond of `clock` from now on (the machine's
  // thread). Detach stops it: the device left, pending operations end with
  // STATUS_DEVICE_NOT_CONNECTED and so does every later one.
  void Attach(kernel::Clock& clock, usb::Tqm27Device* device);
  void Detach();

  // `access` as CreateFileW got it: 0 opens a file that can only be asked
  // for its attributes and capabilities.
  NTSTATUS Open(ACCESS_MASK access, std::shared_ptr<HidFile>* file);
  // Pending operations of the file end with STATUS_CANCELLED.
  void Close(HidFile& file);
  // STATUS_SUCCESS with *data filled, STATUS_PENDING (done is called later),
  // or an error.
  NTSTATUS Read(HidFile& file, uint64_t id, uint32_t length, HidCompletion done, std::vector<uint8_t>* data);
  NTSTATUS Write(HidFile& file, uint64_t id, std::span<const uint8_t> report, HidCompletion done,
                 uint32_t* written);
  // Ends the operation with STATUS_CANCELLED (its completion runs before
  // this returns); false when it is not pending (any more).
  bool Cancel(HidFile& file, uint64_t id);

 private:
  struct Ended {
    HidCompletion done;
    uint64_t id;
    NTSTATUS status;
    std::vector<uint8_t> data;
    uint32_t bytes;
  };
  void Poll();
  // Under mu_: moves the file's pending operations to `ended` with `status`.
  void EndAllLocked(HidFile& file, NTSTATUS status, std::vector<Ended>* ended);
  // Under mu_: satisfies the file's waiting reads from its queue.
  void ServeReadsLocked(HidFile& file, std::vector<Ended>* ended);
  static void Finish(std::vector<Ended>& ended);

  const std::wstring path_;
  const HidIdentity identity_;
  const bool refusesOpen_;

  mutable std::mutex mu_;
  uint16_t inputBytes_;
  uint16_t outputBytes_;
  bool stallWrites_ = false;
  bool gone_ = false;
  usb::Tqm27Device* device_ = nullptr;
  kernel::Clock* clock_ = nullptr;
  kernel::Clock::WorkId poll_ = 0;
  std::vector<std::weak_ptr<HidFile>> files_;
};

}  // namespace tqm::sim
