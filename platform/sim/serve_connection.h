// One connection of `tqm27sim serve`: one simulated process (serve.h).
//
// Threads: the reader (socket to messages: callback replies go to their
// waiter, requests to the request queue), the request thread (runs requests
// in the process, makes the callbacks they need and waits for their replies,
// makes the process exit when the connection ends), the sender (writes the
// queue in order). One mutex guards the queues, the waiters and `dead_`; no
// call into the kernel or the socket is made under it.
//
// Virtual time: the request thread takes part in the clock (a
// Participation), so a request runs whole at one instant of machine time
// (the clock moves on only while the driver waits in the kernel), and the
// thread waits for requests in a kernel wait, which lets time pass. When the
// event the client registered as its period event is signalled, the thread
// leaves that wait and holds the clock until a request of the client that
// arrived after the signal has been served (its OutputReady): each period's
// work is done before the machine's next instant. A hold that lasts five
// seconds of wall time is given up and counted: the run then fails.
//
// Lifetime: the server holds it from accept until the machine is gone, so the
// process's RemoteAddressSpace stays valid as long as the process; events the
// driver still holds keep only a weak reference.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/bridge/protocol.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/process.h"
#include "platform/sim/serve_fifos.h"
#include "platform/sim/serve_hid.h"

namespace tqm::sim {

class BridgeServer;

class Connection : public kernel::RemoteAddressSpace, public std::enable_shared_from_this<Connection> {
 public:
  Connection(BridgeServer& server, int socket, uint32_t number);
  ~Connection() override;

  void Start();
  // Closes the socket's both directions: the reader sees the end, the process
  // exits. Join waits for all three threads.
  void Shutdown();
  void Join();
  // The request thread has finished (the process has exited).
  bool finished() const;
  // A client that promised heartbeats and has been silent for fifteen of
  // them is taken for dead (Wine does not always end a killed process's
  // socket).
  void CheckAlive(std::chrono::steady_clock::time_point now);

  // The referenced kernel event behind one of the client's handles, or null.
  void* ReferenceEvent(HANDLE handle);

  // ---- kernel::RemoteAddressSpace ----
  bool Accessible(uint64_t address, size_t bytes, bool write) override;
  bool Read(uint64_t address, void* to, size_t bytes) override;
  bool Write(uint64_t address, const void* from, size_t bytes) override;
  uint64_t Map(uint64_t arenaOffset, size_t bytes) override;
  void Unmap(uint64_t address) override;

  // Queues a one-way message (any thread, any IRQL: never blocks on the socket).
  void Post(bridge::Message message);
  // Holds the clock for the client's period work (virtual time; the clock
  // thread, from the period event's signal number `signal`). The client's
  // next request, or its period thread's next wait on the event after it saw
  // that signal, gives the hold up.
  void HoldClock(uint64_t signal);

 private:
  void ReaderThread();
  // Takes the whole messages the reader has; false when the connection ended.
  bool Dispatch(bridge::FrameReader& frames, bool fromFifo);
  void RequestThread();
  void SenderThread();
  void Serve(const bridge::Message& request);
  bridge::Message Answer(const bridge::Message& request);
  // Sends a callback and waits for its reply; nothing when the connection ended.
  std::optional<bridge::Message> Call(bridge::Message message);
  void MarkDead(const char* why);
  // Under mu_: gives the hold up.
  void ReleaseHoldLocked();
  // The HID requests (the request thread).
  bridge::Message OpenHid(const std::wstring& path, uint64_t access);
  bridge::Message AnswerHid(const bridge::Message& request);
  bridge::Message AnswerHidControl(const bridge::Message& request);
  // Command logs, counters, the server's stream client (serve_machine.cpp).
  bridge::Message AnswerMachine(const bridge::Message& request);
  void CloseHidFiles();

  BridgeServer& server_;
  const int socket_;
  FifoPair fifos_;  // made by the reader at a Hello that asks for them
  const uint32_t number_;
  kernel::Process* process_ = nullptr;  // set by Hello on the request thread
  std::shared_ptr<class CommandLog> commands_;  // the process's, made at Hello
  int watchCookie_ = -1;
  uint64_t periodHandle_ = 0;  // the client's handle it registered as its period event
  // The HID files the process holds, by the handle the client knows them by
  // (the request thread only).
  struct HidHandle {
    std::shared_ptr<HidCollection> collection;
    std::shared_ptr<HidFile> file;
  };
  std::map<uint64_t, HidHandle> hidFiles_;
  uint64_t nextHid_ = 1;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool dead_ = false;
  bool finished_ = false;
  bool senderStop_ = false;
  struct Queued {
    bridge::Message message;
    uint64_t arrival;
  };
  std::deque<Queued> requests_;
  uint64_t arrivals_ = 0;
  bool hold_ = false;
  uint64_t holdArrival_ = 0;  // requests that had arrived when the hold was taken
  uint64_t holdSignal_ = 0;   // the period event's signal that took it
  KEVENT wake_;               // a request arrived, a hold began, the connection ended
  std::chrono::steady_clock::time_point holdSince_{};
  std::deque<std::vector<uint8_t>> outgoing_;
  std::map<uint32_t, std::optional<bridge::Message>> waiting_;  // callbacks by sequence
  uint32_t nextCallback_ = 1;
  std::chrono::steady_clock::time_point endSeen_{};
  std::chrono::steady_clock::time_point lastHeard_{};
  std::chrono::milliseconds heartbeat_{0};

  std::thread reader_, requester_, sender_;
};

}  // namespace tqm::sim
