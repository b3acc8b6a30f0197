// One connection of the server: one simulated process (serve_connection.h).
#include "platform/sim/serve_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwctype>

#include "platform/kernel/pool.h"
#include "platform/sim/serve.h"
#include "tqm/command_record.h"
#include "usb/tqm27_port.h"
#include "tqm/wire.h"

namespace tqm::sim {

using bridge::Message;
using bridge::MessageType;

namespace {

constexpr NTSTATUS kNoMoreEntries = NTSTATUS(0x8000001AL);
// Heartbeats a client may miss before it is taken for dead: generous, since
// a loaded machine (a build beside the tests) starves Wine's threads for a
// second at times.
constexpr int kSilentBeats = 15;

GUID GuidFromBytes(const std::vector<uint8_t>& b) {
  GUID g{};
  if (b.size() != bridge::kGuidBytes) return g;
  g.Data1 = tqm::LoadLe32(b.data());
  g.Data2 = USHORT(b[4] | b[5] << 8);
  g.Data3 = USHORT(b[6] | b[7] << 8);
  for (int i = 0; i < 8; ++i) g.Data4[i] = b[8 + i];
  return g;
}

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof a) == 0; }

// "\\?\HID#...": a HID collection's interface, which the HID class driver
// serves (here the server itself), not the kernel's object namespace.
bool IsHidPath(const std::wstring& path) {
  static const wchar_t kPrefix[] = L"\\\\?\\HID#";
  if (path.size() < 8) return false;
  for (size_t i = 0; i < 8; ++i)
    if (wchar_t(towupper(wint_t(path[i]))) != kPrefix[i]) return false;
  return true;
}

std::string Narrow(const std::vector<uint8_t>& utf16) {
  std::string out;
  for (wchar_t c : bridge::PathFromBytes(utf16)) out.push_back(c < 0x80 ? char(c) : '?');
  return out;
}

// A Win32 event of the client as the kernel knows it: KeSetEvent posts a
// Signal for the duplicate the client made; the last dereference posts its
// release. The connection may be gone by then.
struct RemoteEvent {
  std::weak_ptr<Connection> connection;
  uint64_t duplicate;
  bool period;  // the client's period event: its signal holds the clock in virtual time
  std::atomic<uint64_t> signals{0};
};

void SignalRemote(void* context) {
  auto* e = static_cast<RemoteEvent*>(context);
  if (auto c = e->connection.lock()) {
    const uint64_t number = ++e->signals;
    if (e->period) c->HoldClock(number);
    Message m;
    m.type = MessageType::Signal;
    m.a[0] = e->duplicate;
    m.a[2] = number;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    m.a[1] = uint64_t(now.tv_sec) * 10000000u + uint64_t(now.tv_nsec) / 100u;
    c->Post(std::move(m));
  }
}

void ReleaseRemote(void* context) {
  auto* e = static_cast<RemoteEvent*>(context);
  if (auto c = e->connection.lock()) {
    Message m;
    m.type = MessageType::ReleaseEvent;
    m.a[0] = e->duplicate;
    c->Post(std::move(m));
  }
  delete e;
}

}  // namespace

Connection::Connection(BridgeServer& server, int socket, uint32_t number)
    : server_(server), socket_(socket), number_(number) {
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
}

Connection::~Connection() {
  Shutdown();
  Join();
  ::close(socket_);
}

void Connection::Start() {
  reader_ = std::thread([this] { ReaderThread(); });
  requester_ = std::thread([this] { RequestThread(); });
  sender_ = std::thread([this] { SenderThread(); });
}

void Connection::Shutdown() { ::shutdown(socket_, SHUT_RDWR); }

void Connection::Join() {
  if (reader_.joinable()) reader_.join();
  if (requester_.joinable()) requester_.join();
  if (sender_.joinable()) sender_.join();
}

bool Connection::finished() const {
  std::lock_guard lock(mu_);
  return finished_;
}

void Connection::MarkDead(const char* why) {
  {
    std::lock_guard lock(mu_);
    if (dead_) return;
    dead_ = true;
    endSeen_ = std::chrono::steady_clock::now();
    ReleaseHoldLocked();
  }
  cv_.notify_all();
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  if (why) server_.Log("connection " + std::to_string(number_) + ": " + why);
  ::shutdown(socket_, SHUT_RDWR);
}

void Connection::HoldClock(uint64_t signal) {
  // A stopped clock moves only when stepped: nothing to hold then.
  if (!server_.sim().virtualTime() || !server_.freeRunning()) return;
  {
    std::lock_guard lock(mu_);
    if (dead_ || server_.stopping()) return;
    // A signal that comes while an earlier one still holds the clock (the
    // client is inside a request that waits in the kernel) moves the hold to
    // itself: only a request that arrives after it, or a wait that saw it,
    // is that period's work.
    hold_ = true;
    holdArrival_ = arrivals_;
    holdSignal_ = signal;
    holdSince_ = std::chrono::steady_clock::now();
  }
  // The request thread leaves its kernel wait: the clock waits for it now.
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

void Connection::ReleaseHoldLocked() { hold_ = false; }

void Connection::CheckAlive(std::chrono::steady_clock::time_point now) {
  {
    std::lock_guard lock(mu_);
    if (dead_ || heartbeat_.count() == 0 || now - lastHeard_ < kSilentBeats * heartbeat_) return;
  }
  MarkDead("the client stopped sending heartbeats; taken for dead");
}

void Connection::Post(Message message) {
  std::vector<uint8_t> frame = bridge::Encode(message);
  {
    std::lock_guard lock(mu_);
    if (dead_ || frame.empty()) return;
    outgoing_.push_back(std::move(frame));
  }
  cv_.notify_all();
}

void Connection::ReaderThread() {
  // One frame reader per source: the FIFO's bytes never continue a frame
  // that began on the socket.
  bridge::FrameReader tcp, fifo;
  uint8_t buffer[8192];
  for (;;) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {fifos_.up(), POLLIN, 0}};
    if (::poll(fds, fifos_.made() ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      MarkDead("the connection could not be watched");
      return;
    }
    if (fds[0].revents) {
      const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        MarkDead(nullptr);
        return;
      }
      tcp.Feed(buffer, size_t(n));
      if (!Dispatch(tcp, false)) return;
    }
    if (fifos_.made() && (fds[1].revents & POLLIN)) {
      const ssize_t n = ::read(fifos_.up(), buffer, sizeof buffer);
      if (n > 0) {
        fifo.Feed(buffer, size_t(n));
        if (!Dispatch(fifo, true)) return;
      }
    }
  }
}

bool Connection::Dispatch(bridge::FrameReader& frames, bool fromFifo) {
  {
    std::lock_guard lock(mu_);
    lastHeard_ = std::chrono::steady_clock::now();
  }
  Message m;
  bridge::DecodeResult r;
  while ((r = frames.Next(&m)) == bridge::DecodeResult::Complete) {
    if (m.type == MessageType::Heartbeat) continue;
    if (m.type == MessageType::FifoReady) {
      if (!fromFifo) {
        MarkDead("FifoReady came over TCP; connection closed");
        return false;
      }
      // The client has both open; what the server sends goes there after
      // the switch, the last message on TCP.
      fifos_.Unlink();
      Message sw;
      sw.type = MessageType::FifoSwitch;
      Post(std::move(sw));
      continue;
    }
    if (m.type == MessageType::PeriodWait) {
      // The period thread waits again, and the signal that took the hold
      // had woken it before: that period's work is done.
      std::lock_guard lock(mu_);
      if (hold_ && periodHandle_ && m.a[0] == periodHandle_ && m.a[1] >= holdSignal_) {
        ReleaseHoldLocked();
        cv_.notify_all();
      }
      continue;
    }
    if (m.type == MessageType::CallbackReply) {
      std::lock_guard lock(mu_);
      auto it = waiting_.find(m.sequence);
      if (it != waiting_.end()) it->second = std::move(m);
      cv_.notify_all();
      continue;
    }
    if (uint32_t(m.type) >= uint32_t(MessageType::Query)) {
      MarkDead("a client sent a message only the server sends; connection closed");
      return false;
    }
    // The FIFOs are made before the Hello is served, which names them.
    if (m.type == MessageType::Hello && m.a[2] == 1 && !fifos_.made() &&
        !fifos_.Create(server_.dir(), number_))
      server_.Log("connection " + std::to_string(number_) + ": no FIFOs in " + server_.dir() + "; TCP only");
    {
      std::lock_guard lock(mu_);
      requests_.push_back(Queued{std::move(m), ++arrivals_});
    }
    // The request thread waits in the kernel, or on cv_ while it holds the clock.
    cv_.notify_all();
    KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  }
  if (r == bridge::DecodeResult::Malformed) {
    MarkDead("malformed message; connection closed");
    return false;
  }
  return true;
}

void Connection::SenderThread() {
  bool onFifo = false;
  const auto gone = [this] {
    std::lock_guard lock(mu_);
    return dead_;
  };
  for (;;) {
    std::vector<uint8_t> frame;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return !outgoing_.empty() || senderStop_ || dead_; });
      if (outgoing_.empty() || dead_) return;
      frame = std::move(outgoing_.front());
      outgoing_.pop_front();
    }
    if (onFifo) {
      if (!WriteWhole(fifos_.down(), frame.data(), frame.size(), gone)) {
        MarkDead(nullptr);
        return;
      }
      continue;
    }
    size_t sent = 0;
    while (sent < frame.size()) {
      const ssize_t n = ::send(socket_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        MarkDead(nullptr);
        return;
      }
      sent += size_t(n);
    }
    // The switch is the last frame on TCP.
    onFifo = frame.size() >= 4 && LoadLe32(frame.data()) == uint32_t(MessageType::FifoSwitch);
  }
}

void Connection::RequestThread() {
  // Longer than the heartbeats' margin, so that a client that died holding
  // the clock is found dead before its hold counts as a failure.
  constexpr auto kHoldLimit = std::chrono::seconds(5);
  std::optional<kernel::Participation> participation;
  if (server_.sim().virtualTime()) participation.emplace(server_.sim().machine());
  for (;;) {
    Queued request;
    {
      std::unique_lock lock(mu_);
      for (;;) {
        if (!requests_.empty() || dead_) break;
        if (!hold_) {
          // Waiting in the kernel lets the clock move.
          lock.unlock();
          KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, nullptr);
          lock.lock();
          continue;
        }
        // The machine's thread may be waiting for this hold to end: the
        // client's heartbeat is watched from here meanwhile.
        cv_.wait_for(lock, std::chrono::milliseconds(20));
        // The server's stop lets the clock run for its teardown: a client
        // that owes a period must not hold it up.
        if (server_.stopping()) {
          ReleaseHoldLocked();
          continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!dead_ && heartbeat_.count() && now - lastHeard_ >= kSilentBeats * heartbeat_) {
          lock.unlock();
          MarkDead("the client stopped sending heartbeats; taken for dead");
          lock.lock();
          continue;
        }
        // The real-time safety net: a client that never comes back must not
        // stop the machine for good.
        if (now >= holdSince_ + kHoldLimit && hold_ && requests_.empty() && !dead_) {
          ReleaseHoldLocked();
          lock.unlock();
          server_.NoteHoldTimeout("connection " + std::to_string(number_) +
                                  ": the clock was held 5 s for a period the client never answered");
          lock.lock();
        }
      }
      if (requests_.empty()) break;
      request = std::move(requests_.front());
      requests_.pop_front();
    }
    // Outside a period's work a request starts in the middle of a
    // millisecond, where no bus work is due, as the simulator's own client
    // activates its channels: where a stream starts relative to the USB
    // frames then never depends on how fast the client was.
    bool held;
    {
      std::lock_guard lock(mu_);
      held = hold_;
    }
    if (participation && !held && server_.freeRunning()) server_.sim().RunToMidFrame();
    Serve(request.message);
    std::lock_guard lock(mu_);
    if (hold_ && request.arrival > holdArrival_) ReleaseHoldLocked();
  }
  // The connection's end is the process's exit: its handles close in its own
  // context, as when a program ends or crashes on Windows.
  CloseHidFiles();
  if (process_) {
    if (watchCookie_ >= 0) server_.sim().machine().UnregisterInterfaceNotification(watchCookie_);
    process_->Exit();
    std::chrono::steady_clock::time_point seen;
    {
      std::lock_guard lock(mu_);
      seen = endSeen_;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - seen).count();
    char text[160];
    std::snprintf(text, sizeof text, "process '%s' (%u) exited; its handles were closed %.2f ms after its connection ended",
                  process_->name().c_str(), unsigned(process_->id()), ms);
    server_.Log(text);
  }
  {
    std::lock_guard lock(mu_);
    senderStop_ = true;
    finished_ = true;
  }
  cv_.notify_all();
}

void Connection::Serve(const Message& request) {
  Message reply = Answer(request);
  reply.type = MessageType::Reply;
  reply.sequence = request.sequence;
  Post(std::move(reply));
}

Message Connection::Answer(const Message& request) {
  Message reply;
  reply.status = STATUS_SUCCESS;
  if (request.type == MessageType::Hello) {
    if (process_) {
      reply.status = STATUS_INVALID_DEVICE_REQUEST;
      return reply;
    }
    kernel::Machine& machine = server_.sim().machine();
    const std::string name = Narrow(request.payload);
    process_ = &machine.StartProcess(name.empty() ? "client" : name);
    process_->SetRemote(this);
    commands_ = server_.NewCommandLog(process_->id());
    if (request.a[1] > 0 && request.a[1] <= 10000) {
      std::lock_guard lock(mu_);
      heartbeat_ = std::chrono::milliseconds(request.a[1]);
      lastHeard_ = std::chrono::steady_clock::now();
    }
    server_.Log("connection " + std::to_string(number_) + " is process '" + process_->name() + "' (" +
                std::to_string(process_->id()) + "), Windows pid " + std::to_string(request.a[0]));
    const std::string arena = "/proc/" + std::to_string(getpid()) + "/fd/" +
                              std::to_string(machine.pool().arenaHandle());
    reply.a[0] = uint64_t(getpid());
    reply.a[1] = kernel::Pool::kArenaBytes;
    reply.a[2] = process_->id();
    reply.payload.assign(arena.begin(), arena.end());
    if (fifos_.made()) {
      reply.a[3] = 1;
      for (const std::string* path : {&fifos_.upPath(), &fifos_.downPath()}) {
        reply.payload.push_back(0);
        reply.payload.insert(reply.payload.end(), path->begin(), path->end());
      }
    }
    return reply;
  }
  if (!process_) {
    reply.status = STATUS_INVALID_DEVICE_REQUEST;
    return reply;
  }
  kernel::Machine& machine = server_.sim().machine();
  switch (request.type) {
    case MessageType::InterfacePath: {
      if (request.payload.size() != bridge::kGuidBytes) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      const GUID cls = GuidFromBytes(request.payload);
      uint64_t index = 0;
      reply.status = kNoMoreEntries;
      if (SameGuid(cls, HidInterfaceClass())) {
        const auto all = server_.HidCollections();
        if (request.a[0] < all.size()) {
          reply.status = STATUS_SUCCESS;
          reply.payload = bridge::PathBytes(all[request.a[0]]->path());
        }
        break;
      }
      for (const kernel::DeviceInterfaceInfo& i : machine.DeviceInterfaces(cls)) {
        if (!i.enabled || !i.present || !SameGuid(i.classGuid, cls)) continue;
        if (index++ == request.a[0]) {
          reply.status = STATUS_SUCCESS;
          reply.payload = bridge::PathBytes(i.path);
          break;
        }
      }
      break;
    }
    case MessageType::Open: {
      const std::wstring path = bridge::PathFromBytes(request.payload);
      if (IsHidPath(path)) return OpenHid(path, request.a[0]);
      NTSTATUS status = STATUS_SUCCESS;
      HANDLE h = process_->Open(path, &status);
      reply.status = status;
      reply.a[0] = reinterpret_cast<uintptr_t>(h);
      reply.a[1] = uint64_t(bridge::HandleKind::File);
      break;
    }
    case MessageType::HidInfo:
    case MessageType::Io:
    case MessageType::CancelIo:
      return AnswerHid(request);
    case MessageType::Endpoint:
      return server_.endpoints().Answer(request, shared_from_this());
    case MessageType::Control: {
      const uint64_t outLength = request.a[2];
      // Which of its events the client makes its period event: that one's
      // signals hold the clock in virtual time.
      if (request.a[1] == kCommandControlCode && request.payload.size() >= kCommandRecordSize) {
        CommandRecord record;
        memcpy(record.bytes, request.payload.data(), kCommandRecordSize);
        if (record.Get32(Field::Class) == CMD_CLASS_STREAM &&
            record.Get32(Field::SubOp) == StreamOp::SetPeriodEvent) {
          std::lock_guard lock(mu_);  // the reader reads it for PeriodWait
          periodHandle_ = record.GetSlot(Field::PeriodEvent);
        }
      }
      if (outLength > bridge::kMaxPayload) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      std::vector<uint8_t> out(outLength);
      ULONG returned = 0;
      reply.status = process_->DeviceIoControl(reinterpret_cast<HANDLE>(uintptr_t(request.a[0])), ULONG(request.a[1]),
                                               request.payload.data(), ULONG(request.payload.size()),
                                               out.empty() ? nullptr : out.data(), ULONG(outLength), &returned);
      reply.a[0] = returned;
      if (request.a[1] == kCommandControlCode && request.payload.size() >= kCommandRecordSize) {
        CommandLog::Entry entry;
        memcpy(entry.record, request.payload.data(), kCommandRecordSize);
        entry.commandClass = LoadLe32(entry.record + Field::Class);
        entry.subOp = LoadLe32(entry.record + Field::SubOp);
        entry.status = reply.status;
        entry.information = returned;
        const uint32_t subOp = entry.subOp;
        if (entry.commandClass == CMD_CLASS_CONTROL &&
            (subOp == ControlOp::GetSettings || subOp == ControlOp::ApplySettings ||
             subOp == ControlOp::ApplyAndSaveSettings || subOp == ControlOp::ApplySettingsAlias)) {
          const uint64_t block = LoadLe64(entry.record + Field::SettingsAddress);
          if (block && Read(block, entry.settings, sizeof entry.settings)) entry.settingsBytes = sizeof entry.settings;
        }
        commands_->Add(entry);
      }
      // As the I/O manager copies back: nothing after an error.
      if (!NT_ERROR(reply.status)) {
        out.resize(returned);
        reply.payload = std::move(out);
      }
      break;
    }
    case MessageType::Close:
      if (request.a[1] == uint64_t(bridge::HandleKind::Hid)) {
        auto it = hidFiles_.find(request.a[0]);
        if (it == hidFiles_.end()) {
          reply.status = STATUS_INVALID_HANDLE;
          break;
        }
        it->second.collection->Close(*it->second.file);
        hidFiles_.erase(it);
        break;
      }
      reply.status = process_->CloseHandle(reinterpret_cast<HANDLE>(uintptr_t(request.a[0])));
      break;
    case MessageType::WatchInterfaces: {
      if (watchCookie_ >= 0) machine.UnregisterInterfaceNotification(watchCookie_);
      watchCookie_ = -1;
      if (request.a[0] && request.payload.size() == bridge::kGuidBytes) {
        std::weak_ptr<Connection> self = weak_from_this();
        watchCookie_ = machine.RegisterInterfaceNotification(
            *process_, GuidFromBytes(request.payload), [self](bool arrival, const std::wstring& path) {
              if (auto c = self.lock()) {
                Message m;
                m.type = MessageType::DeviceChange;
                m.a[0] = arrival ? 1 : 0;
                m.payload = bridge::PathBytes(path);
                c->Post(std::move(m));
              }
            });
      }
      break;
    }
    case MessageType::DriverStore:
      return server_.driverStore().Answer(request);
    case MessageType::Machine: {
      switch (bridge::MachineOp(request.a[0])) {
        case bridge::MachineOp::Plug: {
          bool plugged = false;
          if (request.a[1] >= usb::UsbHub::kPorts ||
              !server_.OnMachineThread([&] { plugged = server_.Plug(size_t(request.a[1])); }) || !plugged)
            reply.status = STATUS_UNSUCCESSFUL;
          break;
        }
        case bridge::MachineOp::Unplug:
          if (request.a[1] >= usb::UsbHub::kPorts ||
              !server_.OnMachineThread([&] { server_.Unplug(size_t(request.a[1])); }))
            reply.status = STATUS_UNSUCCESSFUL;
          break;
        case bridge::MachineOp::EndpointLevels:
        case bridge::MachineOp::EndpointMute:
        case bridge::MachineOp::EndpointRead:
        case bridge::MachineOp::EndpointExtra:
        case bridge::MachineOp::EndpointsPresent:
        case bridge::MachineOp::FeatureUnits:
          return server_.endpoints().AnswerControl(request);
        case bridge::MachineOp::CommandCount:
        case bridge::MachineOp::Command:
        case bridge::MachineOp::DeviceCounters:
        case bridge::MachineOp::StreamStart:
        case bridge::MachineOp::StreamStop:
        case bridge::MachineOp::StreamState:
          return AnswerMachine(request);
        case bridge::MachineOp::OtherVersion: {
          NTSTATUS status = STATUS_UNSUCCESSFUL;
          if (!server_.OnMachineThread([&] { status = server_.SetOtherVersion(request.a[1] != 0); }))
            status = STATUS_UNSUCCESSFUL;
          reply.status = status;
          break;
        }
        case bridge::MachineOp::HidReportLengths:
        case bridge::MachineOp::HidSilent:
        case bridge::MachineOp::HidReplyDelay:
        case bridge::MachineOp::HidStallWrites:
        case bridge::MachineOp::HidReportCount:
        case bridge::MachineOp::HidReport:
        case bridge::MachineOp::ForeignHid:
          return AnswerHidControl(request);
        case bridge::MachineOp::SetInput: {
          bool done = false;
          const uint64_t kind = request.a[1], value = request.a[2];
          if (kind > 2 || value > 48000 || request.a[3] >= usb::UsbHub::kPorts || !server_.OnMachineThread([&] {
                usb::Tqm27Port* port = server_.sim().port(size_t(request.a[3]));
                if (!port) return;
                if (kind == 0) port->device().SelectSilence();
                if (kind == 1) port->device().SelectLoopback(uint32_t(value));
                if (kind == 2) port->device().SelectSine(double(value), -6.0);
                done = true;
              }) || !done)
            reply.status = STATUS_INVALID_PARAMETER;
          break;
        }
        case bridge::MachineOp::FaultCount:
          reply.a[0] = server_.FaultCount();
          break;
        case bridge::MachineOp::Now:
          reply.a[0] = uint64_t(machine.clock().Now());
          break;
        case bridge::MachineOp::RunFree:
          if (!server_.sim().virtualTime()) {
            reply.status = STATUS_INVALID_DEVICE_STATE;
            break;
          }
          // Set between two of the machine thread's milliseconds: once the
          // reply is sent, a stopped clock does not move.
          if (!server_.OnMachineThread([&] { server_.SetFreeRun(request.a[1] != 0); }))
            reply.status = STATUS_INVALID_DEVICE_STATE;
          break;
        case bridge::MachineOp::Step:
          // The machine's thread runs the milliseconds; signals they make are
          // queued on this connection before the reply.
          if (!server_.sim().virtualTime() || server_.freeRunning() || request.a[1] > 60000 ||
              !server_.OnMachineThread([&] { server_.sim().Run(uint32_t(request.a[1])); }))
            reply.status = STATUS_INVALID_DEVICE_STATE;
          break;
        case bridge::MachineOp::Pause: {
          if (request.a[1] > 10000000) {
            reply.status = STATUS_INVALID_PARAMETER;
            break;
          }
          LARGE_INTEGER delay;
          delay.QuadPart = -LONGLONG(request.a[1]);
          KeDelayExecutionThread(KernelMode, FALSE, &delay);
          reply.a[0] = uint64_t(machine.clock().Now());
          break;
        }
        case bridge::MachineOp::OpenHandles:
          reply.a[0] = process_->HandleCount();
          break;
        case bridge::MachineOp::ProcessHandles:
          reply.status = STATUS_INVALID_PARAMETER;
          for (kernel::Process* p : machine.Processes()) {
            if (p->id() != request.a[1]) continue;
            reply.status = STATUS_SUCCESS;
            reply.a[0] = p->HandleCount();
            reply.a[1] = p->exited() ? 1 : 0;
          }
          break;
        default:
          reply.status = STATUS_INVALID_PARAMETER;
      }
      break;
    }
    default:
      reply.status = STATUS_INVALID_DEVICE_REQUEST;
  }
  return reply;
}

std::optional<Message> Connection::Call(Message message) {
  uint32_t sequence;
  {
    std::lock_guard lock(mu_);
    if (dead_) return std::nullopt;
    sequence = nextCallback_++;
    waiting_[sequence];
  }
  message.sequence = sequence;
  Post(std::move(message));
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return dead_ || waiting_[sequence].has_value(); });
  std::optional<Message> reply = std::move(waiting_[sequence]);
  waiting_.erase(sequence);
  return reply;
}

bool Connection::Accessible(uint64_t address, size_t bytes, bool write) {
  Message m;
  m.type = MessageType::Query;
  m.a[0] = address;
  m.a[1] = bytes;
  m.a[2] = write ? 1 : 0;
  std::optional<Message> r = Call(std::move(m));
  return r && r->status == STATUS_SUCCESS;
}

bool Connection::Read(uint64_t address, void* to, size_t bytes) {
  auto* out = static_cast<uint8_t*>(to);
  for (size_t done = 0; done < bytes;) {
    const size_t chunk = std::min<size_t>(bytes - done, bridge::kMaxPayload);
    Message m;
    m.type = MessageType::Read;
    m.a[0] = address + done;
    m.a[1] = chunk;
    std::optional<Message> r = Call(std::move(m));
    if (!r || r->status != STATUS_SUCCESS || r->payload.size() != chunk) return false;
    memcpy(out + done, r->payload.data(), chunk);
    done += chunk;
  }
  return true;
}

bool Connection::Write(uint64_t address, const void* from, size_t bytes) {
  const auto* in = static_cast<const uint8_t*>(from);
  for (size_t done = 0; done < bytes;) {
    const size_t chunk = std::min<size_t>(bytes - done, bridge::kMaxPayload);
    Message m;
    m.type = MessageType::Write;
    m.a[0] = address + done;
    m.payload.assign(in + done, in + done + chunk);
    std::optional<Message> r = Call(std::move(m));
    if (!r || r->status != STATUS_SUCCESS) return false;
    done += chunk;
  }
  return true;
}

uint64_t Connection::Map(uint64_t arenaOffset, size_t bytes) {
  Message m;
  m.type = MessageType::Map;
  m.a[0] = arenaOffset;
  m.a[1] = bytes;
  std::optional<Message> r = Call(std::move(m));
  return r && r->status == STATUS_SUCCESS ? r->a[0] : 0;
}

void Connection::Unmap(uint64_t address) {
  Message m;
  m.type = MessageType::Unmap;
  m.a[0] = address;
  Call(std::move(m));
}

void* Connection::ReferenceEvent(HANDLE handle) {
  Message m;
  m.type = MessageType::ReferenceEvent;
  m.a[0] = reinterpret_cast<uintptr_t>(handle);
  std::optional<Message> r = Call(std::move(m));
  if (!r || r->status != STATUS_SUCCESS) return nullptr;
  bool period;
  {
    std::lock_guard lock(mu_);
    period = periodHandle_ && reinterpret_cast<uintptr_t>(handle) == periodHandle_;
  }
  auto* context = new RemoteEvent{weak_from_this(), r->a[0], period};
  return kernel::MakeSignalHookedEvent(r->a[1] ? NotificationEvent : SynchronizationEvent, SignalRemote, context,
                                       ReleaseRemote);
}

}  // namespace tqm::sim

namespace tqm::sim {

// ---- HID collections ----

Message Connection::OpenHid(const std::wstring& path, uint64_t access) {
  Message reply;
  std::shared_ptr<HidCollection> collection = server_.HidAt(path);
  if (!collection) {
    reply.status = STATUS_OBJECT_NAME_NOT_FOUND;
    return reply;
  }
  std::shared_ptr<HidFile> file;
  reply.status = collection->Open(ACCESS_MASK(access), &file);
  if (!NT_SUCCESS(reply.status)) return reply;
  const uint64_t handle = nextHid_++;
  hidFiles_[handle] = HidHandle{std::move(collection), std::move(file)};
  reply.a[0] = handle;
  reply.a[1] = uint64_t(bridge::HandleKind::Hid);
  return reply;
}

Message Connection::AnswerHid(const Message& request) {
  Message reply;
  auto it = hidFiles_.find(request.a[0]);
  if (it == hidFiles_.end()) {
    reply.status = STATUS_INVALID_HANDLE;
    return reply;
  }
  HidCollection& collection = *it->second.collection;
  HidFile& file = *it->second.file;
  switch (request.type) {
    case MessageType::HidInfo: {
      const HidIdentity id = collection.identity();
      uint16_t input = 0, output = 0;
      collection.Lengths(&input, &output);
      reply.a[0] = id.vendor | uint64_t(id.product) << 16 | uint64_t(id.version) << 32;
      reply.a[1] = input | uint64_t(output) << 16;
      reply.a[2] = id.usagePage | uint64_t(id.usage) << 16;
      break;
    }
    case MessageType::Io: {
      // A pending operation ends with a one-way IoDone, queued after this
      // reply or, when it ends first, before it: the client takes either order.
      std::weak_ptr<Connection> self = weak_from_this();
      HidCompletion done = [self](uint64_t id, NTSTATUS status, std::vector<uint8_t> data, uint32_t bytes) {
        if (auto c = self.lock()) {
          Message m;
          m.type = MessageType::IoDone;
          m.status = uint32_t(status);
          m.a[0] = id;
          m.a[1] = bytes;
          m.payload = std::move(data);
          c->Post(std::move(m));
        }
      };
      if (request.a[1] == uint64_t(bridge::IoKind::Read)) {
        if (request.a[3] > bridge::kMaxPayload) {
          reply.status = STATUS_INVALID_PARAMETER;
          break;
        }
        std::vector<uint8_t> data;
        reply.status = collection.Read(file, request.a[2], uint32_t(request.a[3]), std::move(done), &data);
        reply.a[0] = data.size();
        reply.payload = std::move(data);
      } else if (request.a[1] == uint64_t(bridge::IoKind::Write)) {
        uint32_t written = 0;
        reply.status = collection.Write(file, request.a[2], request.payload, std::move(done), &written);
        reply.a[0] = written;
      } else {
        reply.status = STATUS_INVALID_PARAMETER;
      }
      break;
    }
    case MessageType::CancelIo:
      // Nothing to cancel is no error: the operation may have ended already,
      // its IoDone on the way.
      collection.Cancel(file, request.a[1]);
      break;
    default:
      reply.status = STATUS_INVALID_DEVICE_REQUEST;
  }
  return reply;
}

Message Connection::AnswerHidControl(const Message& request) {
  Message reply;
  const auto op = bridge::MachineOp(request.a[0]);
  if (op == bridge::MachineOp::ForeignHid) {
    server_.SetForeignHid(request.a[1] != 0);
    return reply;
  }
  // The device and its collection change on the machine's thread, between
  // two of its milliseconds.
  const uint64_t index = request.a[1];
  if (index >= usb::UsbHub::kPorts) {
    reply.status = STATUS_NO_SUCH_DEVICE;
    return reply;
  }
  bool found = false;
  const bool ran = server_.OnMachineThread([&] {
    usb::Tqm27Port* port = server_.sim().port(size_t(index));
    std::shared_ptr<HidCollection> hid = server_.Tqm27Hid(size_t(index));
    if (!port || !hid) return;
    found = true;
    usb::Tqm27Device& device = port->device();
    switch (op) {
      case bridge::MachineOp::HidReportLengths:
        if (request.a[2] > 0xFFFF || request.a[3] > 0xFFFF || request.a[2] == 1 || request.a[3] == 1) {
          reply.status = STATUS_INVALID_PARAMETER;
          break;
        }
        hid->SetLengths(uint16_t(request.a[2]), uint16_t(request.a[3]));
        break;
      case bridge::MachineOp::HidSilent:
        device.SetHidSilent(request.a[2] != 0);
        break;
      case bridge::MachineOp::HidReplyDelay:
        if (request.a[2] > 60000) {
          reply.status = STATUS_INVALID_PARAMETER;
          break;
        }
        device.SetHidReplyDelay(uint32_t(request.a[2]));
        break;
      case bridge::MachineOp::HidStallWrites:
        hid->SetStallWrites(request.a[2] != 0);
        break;
      case bridge::MachineOp::HidReportCount:
        reply.a[0] = device.HidReports().size();
        break;
      case bridge::MachineOp::HidReport: {
        const std::vector<std::vector<uint8_t>> reports = device.HidReports();
        if (request.a[2] >= reports.size()) {
          reply.status = STATUS_INVALID_PARAMETER;
          break;
        }
        // As the host wrote it: the id byte 0, then what the device received.
        reply.payload.push_back(0);
        reply.payload.insert(reply.payload.end(), reports[request.a[2]].begin(), reports[request.a[2]].end());
        break;
      }
      default:
        reply.status = STATUS_INVALID_PARAMETER;
    }
  });
  if (!ran || !found) reply.status = STATUS_NO_SUCH_DEVICE;
  return reply;
}

void Connection::CloseHidFiles() {
  for (auto& [handle, h] : hidFiles_) h.collection->Close(*h.file);
  hidFiles_.clear();
}

}  // namespace tqm::sim
