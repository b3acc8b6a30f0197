// `tqm27sim serve`: the simulated machine as a server that Windows programs
// (tqmsim.dll under Wine) and native test clients reach over the bridge
// protocol (platform/bridge/protocol.h).
//
// The server boots the machine (real time, or virtual time for tests: see
// serve_connection.h for how a client's period work holds the clock), plugs a TQM27 and listens on
// 127.0.0.1 with an ephemeral port written to DIR/port. Each accepted
// connection is one simulated process (Connection): its first message names
// it, its end is the process's exit. Per connection, a reader thread cuts the
// byte stream into messages (a malformed one closes that connection only),
// a request thread runs the requests in order inside the connection's
// process, and a sender thread writes everything the server says to it in
// the order it was queued, so the clock thread, which signals events at
// DISPATCH_LEVEL, only ever queues.
//
// What the kernel does in a remote process's context comes back to the
// client as callbacks (Connection implements kernel::RemoteAddressSpace):
// probing and copying caller memory, mapping and unmapping user views of the
// pool arena, and referencing its Win32 events, which the kernel then knows
// as signal-hooked events that queue a Signal on every KeSetEvent.
//
// Lifecycle: Run() on the thread that is to own the machine; Stop() (from a
// signal handler too) ends it: every connection is closed and its process
// exits in its own context, the TQM27 is unplugged, the driver's pool is
// checked by tag, the machine ends with its unload checks. Run() returns 0
// when all of that was clean and no verifier fault happened at any time.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/sim/other_version.h"
#include "platform/sim/serve_driver_store.h"
#include "platform/sim/serve_endpoints.h"
#include "platform/sim/serve_hid.h"
#include "platform/sim/simulator.h"

namespace tqm::sim {

class Connection;
class StreamClient;

// The commands one process sent on its device handles, as the driver
// received them and what it answered (the last kMaxEntries). Kept after the
// process exits, so a test can read what a child sent.
class CommandLog {
 public:
  static constexpr size_t kMaxEntries = 4096;
  struct Entry {
    uint32_t commandClass = 0;
    uint32_t subOp = 0;
    NTSTATUS status = 0;
    uint32_t information = 0;
    uint8_t record[128] = {};  // the record as the driver received it
    // For the settings commands (GetSettings and the applies): the block the
    // record names, as the caller's memory held it after the request.
    uint32_t settingsBytes = 0;  // 0 when not read (another command, a bad address)
    uint8_t settings[276] = {};
  };
  void Add(const Entry& entry);
  size_t Count() const;
  bool At(size_t index, Entry* entry) const;

 private:
  mutable std::mutex mu_;
  std::deque<Entry> entries_;
  size_t dropped_ = 0;
};

struct ServeOptions {
  std::string dir;                       // DIR/port is written here
  kernel::ClockMode clock = kernel::ClockMode::Real;
  bool companion = true;
  bool plug = true;                      // plug TQM27s at boot
  uint32_t devices = 1;                  // how many (hub ports 0..devices-1)
  // The device's input: its own output looped back after loopDelay frames
  // (as `stream` does by default), or silence.
  bool loopback = true;
  uint32_t loopDelay = 32;
  bool echoDebugOutput = false;
  // An unrelated HID device (another vendor) beside the TQM27s' own; it
  // refuses every open.
  bool foreignHid = false;
  // A device of another interface version registered under TQMDRV's
  // interface class (it answers Identify with 2.1).
  bool otherVersion = false;
  // Where the server says what happens (connections, exits, faults); stderr
  // when empty.
  std::function<void(const std::string&)> log;
};

class BridgeServer {
 public:
  explicit BridgeServer(ServeOptions options);
  ~BridgeServer();
  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

  // Serves until Stop; the exit status described above (2 when it could not
  // start).
  int Run();
  // Async-signal-safe.
  void Stop();
  // Blocks until Run listens (the port) or failed to start (0).
  uint16_t WaitListening();

  // For the connections (any thread).
  Simulator& sim() { return *sim_; }
  // The directory the port file is in; the connections' FIFOs are made there.
  const std::string& dir() const { return options_.dir; }
  // Plugs a TQM27 into hub port `index` with the input chosen, its HID
  // collection with it (the machine's thread only).
  bool Plug(size_t index = 0);
  // The TQM27 leaves the bus, its HID collection with it (the machine's thread).
  void Unplug(size_t index = 0);

  // The HID collections present now, in the order enumeration finds them
  // (the unrelated one first, so a search must go on past it).
  std::vector<std::shared_ptr<HidCollection>> HidCollections();
  // The collection at this path, or null.
  std::shared_ptr<HidCollection> HidAt(const std::wstring& path);
  // The collection of the TQM27 on hub port `index`, or null.
  std::shared_ptr<HidCollection> Tqm27Hid(size_t index);
  // Adds or removes the unrelated HID device.
  void SetForeignHid(bool present);
  // Adds or removes the device of another interface version (the machine's
  // thread only).
  NTSTATUS SetOtherVersion(bool present);

  // The command log of a simulated process (by its id), made at its Hello.
  std::shared_ptr<CommandLog> NewCommandLog(uint64_t process);
  std::shared_ptr<CommandLog> CommandLogOf(uint64_t process);

  // The simulator's own stream client on the TQM27 at hub port `index`, in a
  // process of its own (the machine's thread only): Open on that device's
  // interface, buffers at `rate`, Start; it plays silence. StopStream undoes
  // it all. Stopped streams keep their counters until the next start.
  NTSTATUS StartStream(size_t index, uint32_t rate, std::string* error);
  void StopStream(size_t index);
  struct StreamState {
    bool running = false;
    uint64_t periods = 0;
    uint64_t missed = 0;
    uint32_t periodFrames = 0;
  };
  StreamState StreamStateOf(size_t index);
  // The driver packages installed for the TQM27 and its device nodes.
  DriverStore& driverStore() { return driverStore_; }
  // Runs work on the thread that owns the machine (Plug and Play steps);
  // false when the server is stopping.
  bool OnMachineThread(const std::function<void()>& work);
  void Log(const std::string& text);
  void NoteFault(const kernel::Fault& fault);
  // A clock hold given up after its time-out: the run fails.
  void NoteHoldTimeout(const std::string& what);
  uint64_t FaultCount();
  // Stop has been asked for: no connection holds the clock from then on.
  bool stopping() const { return stopping_.load(); }
  // The Windows audio endpoints the processes see (any thread).
  EndpointService& endpoints() { return endpoints_; }
  // Virtual time: whether the machine's thread lets the clock run on its
  // own (the default) or only when a client steps it.
  bool freeRunning() const { return freeRun_.load(); }
  void SetFreeRun(bool on) { freeRun_.store(on); }

 private:
  void RunTasks();
  int Teardown();

  ServeOptions options_;
  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<OtherVersionDevice> otherVersion_;
  DriverStore driverStore_;
  // The stream clients, by hub port (the machine's thread only), and what
  // the last one on each port counted.
  std::array<std::unique_ptr<StreamClient>, usb::UsbHub::kPorts> streams_;
  std::array<StreamState, usb::UsbHub::kPorts> streamStates_{};
  std::mutex logMu_;
  std::map<uint64_t, std::shared_ptr<CommandLog>> logs_;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> freeRun_{true};

  std::mutex mu_;  // port, tasks, faults
  std::condition_variable cv_;
  bool startDone_ = false;
  uint16_t port_ = 0;
  struct Task {
    std::function<void()> work;
    KEVENT done;  // a kernel wait: the waiting request thread may take part in the clock
  };
  std::vector<Task*> tasks_;
  std::vector<kernel::Fault> faults_;
  uint64_t holdTimeouts_ = 0;
  std::vector<std::shared_ptr<Connection>> connections_;  // main thread only

  std::mutex hidMu_;  // the collections' list
  std::shared_ptr<HidCollection> foreignHid_;
  std::array<std::shared_ptr<HidCollection>, usb::UsbHub::kPorts> tqm27Hid_;
  uint32_t plugs_ = 0;
  EndpointService endpoints_{*this};
};

}  // namespace tqm::sim
