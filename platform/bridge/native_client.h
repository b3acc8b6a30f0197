// A native client of `tqm27sim serve` (host build): what tqmsim.dll does for
// a Windows process, done for a Linux thread so that the host tests can drive
// the server under the sanitizers.
//
// The client's "process memory" is what it allocated with Allocate and the
// views the server had it map (Map callbacks, real views of the pool arena's
// file); a probe of anything else fails, as VirtualQuery would say on
// Windows. The server lives in this same host process in the tests, so the
// addresses the client hands it (Address) are inaccessible reservations that
// stand for the memory, never the memory itself: anything the server touched
// directly instead of through the callbacks would fault. Events are the client's own objects; the server's references to
// them are duplicates, counted so a test can see them released.
//
// Threads: any number of threads may send requests; one reader thread
// answers callbacks at once, applies signals and device changes, and hands
// replies to their senders.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bridge/protocol.h"

namespace tqm::bridge {

class NativeClient {
 public:
  NativeClient() = default;
  ~NativeClient();
  NativeClient(const NativeClient&) = delete;
  NativeClient& operator=(const NativeClient&) = delete;

  // Connects to the server on 127.0.0.1 and says Hello; false with *error.
  // A heartbeat interval promises a sign of life that often (this client
  // sends none itself: a test uses the promise to play a process that died
  // without its connection ending).
  // With `fifos` the connection moves to the named FIFOs the server makes,
  // as the Windows bridge's does.
  bool Connect(uint16_t port, const std::string& name, std::string* error, uint32_t heartbeatMs = 0,
               bool fifos = false);
  // The connection carries its messages on the named FIFOs (both ways).
  bool onFifos() const;
  // The simulated process's id the server gave this connection.
  uint64_t processId() const { return processId_; }
  // Ends the connection at once, as a crashing process's ends; requests in
  // flight fail.
  void Kill();
  bool connected() const;

  // ---- memory the server may reach ----
  // A zero-filled buffer; pass Address(buffer) to the server.
  void* Allocate(size_t bytes);
  // The address the server knows for a local pointer into client memory, and
  // the local pointer for an address the server gave (a view, a cell's
  // contents); null when it is not the client's.
  uint64_t Address(const void* local) const;
  void* Local(uint64_t address) const;
  // A callback the client is about to answer; return false to leave it
  // unanswered (the test may Kill the client from here).
  void SetCallbackHook(std::function<bool(const Message&)> hook);
  size_t mappedViews() const;

  // ---- requests; a dead connection gives STATUS_PIPE_BROKEN-like failures ----
  // The interface paths of a class, in order.
  std::vector<std::wstring> InterfacePaths(const uint8_t classGuid[kGuidBytes]);
  uint32_t Open(const std::wstring& path, uint64_t* handle);
  uint32_t Control(uint64_t handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* information);
  uint32_t Close(uint64_t handle);
  // A raw request; nothing when the connection ended first.
  std::optional<Message> Request(Message request);
  // Sends raw bytes as they are (malformed input tests).
  bool SendBytes(const std::vector<uint8_t>& bytes);

  // ---- events ----
  uint64_t CreateEvent(bool manualReset);
  // True when the event was set within timeoutMs (an auto-reset one is reset).
  bool WaitEvent(uint64_t handle, uint32_t timeoutMs);
  // References the server holds on this client's events.
  size_t liveDuplicates() const;
  uint64_t signalsReceived() const { return signals_.load(); }

  // ---- device changes the server reported (WatchInterfaces) ----
  struct DeviceChange {
    bool arrival;
    std::wstring path;
  };
  std::vector<DeviceChange> deviceChanges() const;
  // Endpoint changes the server told (after an Endpoint Watch), in order.
  std::vector<Message> endpointChanges() const;

  // ---- the end of a pending HID operation (Io answered STATUS_PENDING) ----
  // Its IoDone, taken, or nothing within timeoutMs.
  std::optional<Message> WaitIoDone(uint64_t id, uint32_t timeoutMs);

 private:
  struct Event {
    bool manual = false;
    bool signalled = false;
  };
  void ReaderThread();
  void Answer(const Message& callback);
  bool Send(const Message& message);
  // The local bytes behind [address, address + bytes), or null.
  uint8_t* Reach(uint64_t address, size_t bytes) const;

  int socket_ = -1;
  int arena_ = -1;
  int up_ = -1;                       // the FIFO this client writes
  std::atomic<int> down_{-1};         // and the one it reads (the reader polls it)
  bool sendOnFifo_ = false;           // under sendMu_
  std::atomic<bool> readOnFifo_{false};  // the server has switched
  uint64_t processId_ = 0;
  std::thread reader_;

  mutable std::mutex mu_;  // everything below
  std::condition_variable cv_;
  bool dead_ = false;
  uint32_t nextSequence_ = 1;
  std::map<uint32_t, std::optional<Message>> waiting_;
  struct Region {
    uint8_t* local;
    size_t bytes;
    bool view;
  };
  std::map<uint64_t, Region> regions_;  // by the server's address: buffers and views
  std::vector<void*> buffers_;                           // what Allocate allocated
  std::vector<std::pair<uint64_t, size_t>> reserved_;    // the buffers' reservations
  std::map<uint64_t, std::shared_ptr<Event>> events_;      // handles the client made
  std::map<uint64_t, std::shared_ptr<Event>> duplicates_;  // the server's references
  uint64_t nextHandle_ = 0x1000;
  std::function<bool(const Message&)> hook_;
  std::vector<DeviceChange> changes_;
  std::vector<Message> endpointChanges_;
  std::vector<Message> ioDone_;
  mutable std::mutex sendMu_;
  std::atomic<uint64_t> signals_{0};
};

}  // namespace tqm::bridge
