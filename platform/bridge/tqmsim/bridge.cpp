// tqmsim.dll: the Windows process's end of the bridge (sys.h, control.h).
//
// One Bridge per process, made at the first call and never destroyed (the
// process's end is what ends the connection; a destructor racing the loader
// at exit would only get in the way). It connects to the server named by
// TQM_SIM_DIR (DIR/port, 127.0.0.1) and says Hello; with no server the calls
// behave as on a machine without the device.
//
// Threads: callers send requests and wait for their replies; the reader
// thread answers the server's callbacks at once (probe, copy, map, unmap,
// reference an event), sets events on Signal and closes duplicates on
// ReleaseEvent, and hands device changes to the notifier thread, which is the
// only one that sends WM_DEVICECHANGE (a window's thread may itself be
// waiting for a reply the reader must deliver). One mutex guards the tables.
#define TQM_SYS_IMPLEMENTATION
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/bridge/protocol.h"
#include "platform/bridge/sys.h"
#include "platform/bridge/tqmsim/control.h"
#include "platform/bridge/tqmsim/device_set.h"
#include "platform/bridge/tqmsim/internal.h"
#include "tqm/command_record.h"

namespace {

using tqm::bridge::Message;
using tqm::bridge::MessageType;

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kObjectTypeMismatch = 0xC0000024;
constexpr uint32_t kNoServer = 0xC000014B;  // STATUS_PIPE_BROKEN
constexpr uint64_t kViewGranularity = 64 * 1024;
constexpr uint32_t kHeartbeatMs = 200;

// ntdll's own conversion and object queries, found at run time.
using NtStatusToDosError = ULONG(WINAPI*)(LONG);
using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using NtQueryEventFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

struct Ntdll {
  NtStatusToDosError toDosError = nullptr;
  NtQueryObjectFn queryObject = nullptr;
  NtQueryEventFn queryEvent = nullptr;
  Ntdll() {
    HMODULE m = GetModuleHandleW(L"ntdll.dll");
    toDosError = reinterpret_cast<NtStatusToDosError>(reinterpret_cast<void*>(GetProcAddress(m, "RtlNtStatusToDosError")));
    queryObject = reinterpret_cast<NtQueryObjectFn>(reinterpret_cast<void*>(GetProcAddress(m, "NtQueryObject")));
    queryEvent = reinterpret_cast<NtQueryEventFn>(reinterpret_cast<void*>(GetProcAddress(m, "NtQueryEvent")));
  }
};

const Ntdll& Nt() {
  static const Ntdll nt;
  return nt;
}

DWORD Win32Error(uint32_t status) {
  if (status == kNoServer) return ERROR_BROKEN_PIPE;
  return Nt().toDosError ? Nt().toDosError(LONG(status)) : ERROR_GEN_FAILURE;
}

bool IsError(uint32_t status) { return (status >> 30) == 3; }
bool IsSuccess(uint32_t status) { return (status >> 31) == 0; }

// A Linux path from the environment as Wine opens it (its Z: drive is /).
std::wstring WindowsPath(const std::string& path) {
  std::wstring out;
  if (!path.empty() && path[0] == '/') out = L"Z:";
  for (char c : path) out.push_back(c == '/' ? L'\\' : wchar_t(uint8_t(c)));
  return out;
}

bool Readable(DWORD protect) {
  if (protect & (PAGE_NOACCESS | PAGE_GUARD)) return false;
  return protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                    PAGE_EXECUTE_WRITECOPY);
}

bool Writable(DWORD protect) {
  if (protect & (PAGE_NOACCESS | PAGE_GUARD)) return false;
  return protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY);
}

// The fault guard of the copies: every page of the range must be committed
// with the access asked for, as VirtualQuery reports it now.
bool Accessible(uint64_t address, uint64_t bytes, bool write) {
  if (bytes == 0) return true;
  if (address + bytes < address) return false;
  uint64_t at = address;
  while (at < address + bytes) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(uintptr_t(at)), &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || !(write ? Writable(info.Protect) : Readable(info.Protect))) return false;
    at = uint64_t(reinterpret_cast<uintptr_t>(info.BaseAddress)) + info.RegionSize;
  }
  return true;
}

// A UNICODE_STRING, as NTSTATUS-returning calls fill it.
struct CountedName {
  USHORT length;
  USHORT maximum;
  PWSTR buffer;
};

using tqmsim::DeviceSet;

struct Notification {
  HWND window;
  GUID cls;
};

// A handle the server gave out.
struct DeviceHandle {
  uint64_t server;
  tqm::bridge::HandleKind kind;
  bool overlapped;  // opened with FILE_FLAG_OVERLAPPED
};

// A read or write on a HID file. Overlapped: the reader thread ends it (the
// caller's buffer and OVERLAPPED stay valid until then, as Win32 requires)
// and frees it. Synchronous: the caller waits on `wake` and frees it.
struct Operation {
  uint64_t id = 0;
  HANDLE token = nullptr;
  DWORD thread = 0;
  bool read = false;
  void* buffer = nullptr;
  DWORD length = 0;
  OVERLAPPED* overlapped = nullptr;
  HANDLE signal = nullptr;  // what the end sets: the OVERLAPPED's event, else the file's
  HANDLE wake = nullptr;    // synchronous: the caller's own event
  bool done = false;
  uint32_t status = 0;
  DWORD bytes = 0;
};

// What HidD_GetPreparsedData hands out for the machine's collections: the
// class driver's signature, then the capabilities.
constexpr char kPreparsedSignature[8] = {'H', 'i', 'd', 'P', ' ', 'K', 'D', 'R'};
struct Preparsed {
  char signature[8];
  HIDP_CAPS caps;
};

class Bridge {
 public:
  static Bridge& Get() {
    static Bridge* bridge = new Bridge();  // never destroyed: see the file's head
    return *bridge;
  }

  bool Connected() {
    std::call_once(connectOnce_, [this] { Connect(); });
    std::lock_guard lock(mu_);
    return connected_;
  }

  std::optional<Message> Request(Message request) {
    if (!Connected()) return std::nullopt;
    uint32_t sequence;
    {
      std::lock_guard lock(mu_);
      if (!connected_) return std::nullopt;
      sequence = nextSequence_++;
      waiting_[sequence];
    }
    request.sequence = sequence;
    if (!Send(request)) Lost();
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return !connected_ || waiting_[sequence].has_value(); });
    std::optional<Message> reply = std::move(waiting_[sequence]);
    waiting_.erase(sequence);
    return reply;
  }

  uint64_t processId() const { return processId_; }
  bool LastSignal(HANDLE event, uint64_t* counter) {
    std::lock_guard lock(mu_);
    auto it = lastSignal_.find(reinterpret_cast<uintptr_t>(event));
    if (it == lastSignal_.end()) return false;
    *counter = it->second;
    return true;
  }

  // ---- device handles: a real event handle of ours stands for the server's ----
  // (a manual-reset event: an overlapped operation without an event of its
  // own signals it, as Windows signals the file object)
  HANDLE AddDevice(const DeviceHandle& device) {
    HANDLE token = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!token) return INVALID_HANDLE_VALUE;
    std::lock_guard lock(mu_);
    devices_[token] = device;
    return token;
  }
  std::optional<DeviceHandle> DeviceOf(HANDLE token) {
    std::lock_guard lock(mu_);
    auto it = devices_.find(token);
    if (it == devices_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<DeviceHandle> TakeDevice(HANDLE token) {
    std::lock_guard lock(mu_);
    auto it = devices_.find(token);
    if (it == devices_.end()) return std::nullopt;
    const DeviceHandle h = it->second;
    devices_.erase(it);
    return h;
  }
  uint64_t DeviceCount() {
    std::lock_guard lock(mu_);
    return devices_.size();
  }

  // ---- operations on HID files that may end later ----
  uint64_t AddOperation(Operation* op) {
    std::lock_guard lock(mu_);
    op->id = nextOperation_++;
    operations_[op->id] = op;
    return op->id;
  }
  // Takes an operation that ended in its request's reply (no IoDone follows).
  void DropOperation(uint64_t id) {
    std::lock_guard lock(mu_);
    operations_.erase(id);
  }
  // The calling thread's pending operations on a handle (CancelIo's set).
  std::vector<uint64_t> ThreadOperations(HANDLE token, DWORD thread) {
    std::lock_guard lock(mu_);
    std::vector<uint64_t> ids;
    for (auto& [id, op] : operations_)
      if (op->token == token && op->thread == thread) ids.push_back(id);
    return ids;
  }

  // ---- HID preparsed data ----
  PHIDP_PREPARSED_DATA AddPreparsed(const HIDP_CAPS& caps) {
    auto* block = new Preparsed{};
    memcpy(block->signature, kPreparsedSignature, sizeof block->signature);
    block->caps = caps;
    std::lock_guard lock(mu_);
    preparsed_.insert(block);
    return reinterpret_cast<PHIDP_PREPARSED_DATA>(block);
  }
  bool PreparsedCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    std::lock_guard lock(mu_);
    auto it = preparsed_.find(reinterpret_cast<Preparsed*>(data));
    if (it == preparsed_.end()) return false;
    *caps = (*it)->caps;
    return true;
  }
  bool FreePreparsed(PHIDP_PREPARSED_DATA data) {
    std::lock_guard lock(mu_);
    auto it = preparsed_.find(reinterpret_cast<Preparsed*>(data));
    if (it == preparsed_.end()) return false;
    delete *it;
    preparsed_.erase(it);
    return true;
  }
  uint64_t PreparsedCount() {
    std::lock_guard lock(mu_);
    return preparsed_.size();
  }

  // ---- period events: a wait on one tells the machine the period's work is done ----
  void NotePeriodEvent(HANDLE event) {
    std::lock_guard lock(mu_);
    periodEvent_ = reinterpret_cast<uintptr_t>(event);
  }
  static bool Includes(const HANDLE* handles, DWORD count, uint64_t handle) {
    for (DWORD i = 0; i < count; ++i)
      if (reinterpret_cast<uintptr_t>(handles[i]) == handle) return true;
    return false;
  }
  // Before a wait: a wait on the period event tells the server that the work
  // of every signal this process has taken from the event is done. A signal
  // still pending in the event (it came while the thread worked, or the
  // thread has not waited since) is not: its period's work has not begun.
  // The reader counts a signal and sets the event under mu_, so the count
  // and the event's state are read here as one.
  void BeforeWait(const HANDLE* handles, DWORD count) {
    Message m;
    {
      std::lock_guard lock(mu_);
      if (!connected_ || !periodEvent_ || !Includes(handles, count, periodEvent_)) return;
      auto it = signalsSeen_.find(periodEvent_);
      uint64_t taken = it == signalsSeen_.end() ? 0 : it->second;
      const HANDLE event = reinterpret_cast<HANDLE>(periodEvent_);
      if (::WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
        ::SetEvent(event);  // put back what the look took (an auto-reset event)
        if (taken) --taken;
      }
      m.a[0] = periodEvent_;
      m.a[1] = taken;
    }
    m.type = MessageType::PeriodWait;
    Send(m);
  }

  // ---- notifications ----
  HDEVNOTIFY AddNotification(HWND window, const GUID& cls) {
    auto* n = new Notification{window, cls};
    {
      std::lock_guard lock(mu_);
      notifications_.push_back(n);
    }
    Message m;
    m.type = MessageType::WatchInterfaces;
    m.a[0] = 1;
    m.payload.resize(sizeof(GUID));
    memcpy(m.payload.data(), &cls, sizeof(GUID));
    Request(m);
    return reinterpret_cast<HDEVNOTIFY>(n);
  }
  bool RemoveNotification(HDEVNOTIFY handle) {
    std::lock_guard lock(mu_);
    for (auto it = notifications_.begin(); it != notifications_.end(); ++it) {
      if (reinterpret_cast<HDEVNOTIFY>(*it) == handle) {
        delete *it;
        notifications_.erase(it);
        return true;
      }
    }
    return false;
  }

 private:
  Bridge() = default;

  void Connect() {
    char dir[1024];
    const DWORD n = GetEnvironmentVariableA("TQM_SIM_DIR", dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return;
    HANDLE file = ::CreateFileW((WindowsPath(dir) + L"\\port").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char text[32] = {};
    DWORD got = 0;
    ::ReadFile(file, text, sizeof text - 1, &got, nullptr);
    ::CloseHandle(file);
    const int port = atoi(text);
    if (port <= 0 || port > 65535) return;

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    // Not inherited: a child process is a process of its own with its own
    // connection, and must not keep this one's open.
    socket_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket_ == INVALID_SOCKET) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
      return;
    }
    BOOL one = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // Pinned: an EXE and the DLLs it loads share this one bridge until the
    // process ends.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Bridge::Get), &self);
    {
      std::lock_guard lock(mu_);
      connected_ = true;
    }
    reader_ = std::thread([this] { ReaderThread(); });
    reader_.detach();
    notifier_ = std::thread([this] { NotifierThread(); });
    notifier_.detach();
    // Wine does not always end a killed process's socket at once: the
    // heartbeat lets the server see the end anyway.
    std::thread([this] {
      Message beat;
      beat.type = MessageType::Heartbeat;
      for (;;) {
        Sleep(kHeartbeatMs);
        if (!Send(beat)) return;
      }
    }).detach();

    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring name = module;
    if (const size_t slash = name.find_last_of(L"\\/"); slash != std::wstring::npos) name = name.substr(slash + 1);
    Message hello;
    hello.type = MessageType::Hello;
    hello.a[0] = GetCurrentProcessId();
    hello.a[1] = kHeartbeatMs;
    hello.a[2] = WantFifos() ? 1 : 0;
    hello.payload = tqm::bridge::PathBytes(name.substr(0, 200));
    // Request() would wait for this very call_once: send by hand.
    uint32_t sequence;
    {
      std::lock_guard lock(mu_);
      sequence = nextSequence_++;
      waiting_[sequence];
    }
    hello.sequence = sequence;
    if (!Send(hello)) Lost();
    std::optional<Message> reply;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return !connected_ || waiting_[sequence].has_value(); });
      reply = std::move(waiting_[sequence]);
      waiting_.erase(sequence);
    }
    if (!reply || reply->status != kSuccess) return Lost();
    processId_ = reply->a[2];
    const std::vector<std::string> paths = tqm::bridge::HelloPaths(reply->payload);
    if (reply->a[3] == 1 && paths.size() == 3) MoveToFifos(paths[1], paths[2]);
    const std::string& arena = paths[0];
    HANDLE arenaFile = ::CreateFileW(WindowsPath(arena).c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (arenaFile != INVALID_HANDLE_VALUE) {
      arena_ = CreateFileMappingW(arenaFile, nullptr, PAGE_READWRITE, 0, 0, nullptr);
      ::CloseHandle(arenaFile);
    }
  }

  // TQM_SIM_TRANSPORT=tcp keeps a connection on TCP (to compare the two).
  static bool WantFifos() {
    char value[8] = {};
    const DWORD n = GetEnvironmentVariableA("TQM_SIM_TRANSPORT", value, sizeof value);
    return !(n > 0 && n < sizeof value && strcmp(value, "tcp") == 0);
  }

  // Opens the server's FIFOs and moves this process's traffic to them: from
  // the FifoReady on, everything is sent on ours, and the reader follows
  // the server's at its FifoSwitch. When either open fails the connection
  // stays on TCP (the server has switched nothing).
  void MoveToFifos(const std::string& upPath, const std::string& downPath) {
    // Not inheritable: a child process has a connection of its own.
    HANDLE up = ::CreateFileW(WindowsPath(upPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE down = ::CreateFileW(WindowsPath(downPath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (up == INVALID_HANDLE_VALUE || down == INVALID_HANDLE_VALUE) {
      if (up != INVALID_HANDLE_VALUE) ::CloseHandle(up);
      if (down != INVALID_HANDLE_VALUE) ::CloseHandle(down);
      return;
    }
    down_.store(down);
    {
      std::lock_guard lock(sendMu_);
      up_ = up;
    }
    Message ready;
    ready.type = MessageType::FifoReady;
    if (!Send(ready)) Lost();
  }

  void Lost() {
    std::map<uint64_t, Operation*> ended;
    {
      std::lock_guard lock(mu_);
      connected_ = false;
      ended.swap(operations_);
    }
    cv_.notify_all();
    // Nothing will end them now: they end as on a device that left.
    for (auto& [id, op] : ended) End(op, 0xC000009D /* STATUS_DEVICE_NOT_CONNECTED */, {}, 0);
  }

  // Ends an operation: the bytes read into the caller's buffer, the
  // OVERLAPPED's status and count, then its event.
  void End(Operation* op, uint32_t status, const std::vector<uint8_t>& data, uint64_t bytes) {
    if (op->read && !data.empty() && data.size() <= op->length && Accessible(uintptr_t(op->buffer), data.size(), true))
      memcpy(op->buffer, data.data(), data.size());
    op->status = status;
    op->bytes = IsError(status) ? 0 : DWORD(std::min<uint64_t>(bytes, op->length));
    if (op->overlapped) {
      op->overlapped->InternalHigh = op->bytes;
      op->overlapped->Internal = status;
    }
    if (op->signal) ::SetEvent(op->signal);
    if (op->wake) {
      op->done = true;
      ::SetEvent(op->wake);  // the caller frees it
      return;
    }
    delete op;
  }

  bool Send(const Message& m) {
    const std::vector<uint8_t> frame = tqm::bridge::Encode(m);
    if (frame.empty()) return false;
    std::lock_guard lock(sendMu_);
    size_t sent = 0;
    while (sent < frame.size()) {
      if (up_) {
        DWORD n = 0;
        if (!::WriteFile(up_, frame.data() + sent, DWORD(frame.size() - sent), &n, nullptr) || n == 0) return false;
        sent += n;
        continue;
      }
      const int n = ::send(socket_, reinterpret_cast<const char*>(frame.data()) + sent, int(frame.size() - sent), 0);
      if (n <= 0) return false;
      sent += size_t(n);
    }
    return true;
  }

  void ReaderThread() {
    tqm::bridge::FrameReader frames;
    char buffer[8192];
    bool onFifo = false;
    for (;;) {
      int n;
      if (onFifo) {
        // The server's end of it closes with the server.
        DWORD got = 0;
        if (!::ReadFile(down_.load(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        n = int(got);
      } else {
        n = ::recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0) break;
      }
      frames.Feed(reinterpret_cast<const uint8_t*>(buffer), size_t(n));
      Message m;
      tqm::bridge::DecodeResult r;
      while ((r = frames.Next(&m)) == tqm::bridge::DecodeResult::Complete) {
        if (m.type == MessageType::FifoSwitch) {
          // The last message on TCP.
          onFifo = down_.load() != nullptr;
          if (!onFifo) break;
          continue;
        }
        if (m.type == MessageType::Reply) {
          std::lock_guard lock(mu_);
          auto it = waiting_.find(m.sequence);
          if (it != waiting_.end()) it->second = std::move(m);
          cv_.notify_all();
        } else {
          Answer(m);
        }
      }
      if (r == tqm::bridge::DecodeResult::Malformed) break;
    }
    Lost();
  }

  void Answer(const Message& m) {
    switch (m.type) {
      case MessageType::Signal: {
        {
          std::lock_guard lock(mu_);
          auto it = originals_.find(m.a[0]);
          if (it != originals_.end()) {
            lastSignal_[it->second] = m.a[1];
            signalsSeen_[it->second] = m.a[2];
          }
          // Under the lock: a wait's notice reads the count and the event together.
          ::SetEvent(reinterpret_cast<HANDLE>(uintptr_t(m.a[0])));
        }
        return;
      }
      case MessageType::ReleaseEvent: {
        std::lock_guard lock(mu_);
        originals_.erase(m.a[0]);
        ::CloseHandle(reinterpret_cast<HANDLE>(uintptr_t(m.a[0])));
        return;
      }
      case MessageType::DeviceChange: {
        std::lock_guard lock(mu_);
        changes_.push_back(m);
        cv_.notify_all();
        return;
      }
      case MessageType::EndpointChange:
        tqmsim::DeliverEndpointChange(m);
        return;
      case MessageType::IoDone: {
        Operation* op = nullptr;
        {
          std::lock_guard lock(mu_);
          auto it = operations_.find(m.a[0]);
          if (it == operations_.end()) return;
          op = it->second;
          operations_.erase(it);
        }
        End(op, m.status, m.payload, m.a[1]);
        return;
      }
      default:
        break;
    }
    Message reply;
    reply.type = MessageType::CallbackReply;
    reply.sequence = m.sequence;
    reply.status = kSuccess;
    switch (m.type) {
      case MessageType::Query:
        if (!Accessible(m.a[0], m.a[1], m.a[2] != 0)) reply.status = kAccessViolation;
        break;
      case MessageType::Read:
        if (m.a[1] > tqm::bridge::kMaxPayload || !Accessible(m.a[0], m.a[1], false)) {
          reply.status = kAccessViolation;
        } else {
          const auto* at = reinterpret_cast<const uint8_t*>(uintptr_t(m.a[0]));
          reply.payload.assign(at, at + m.a[1]);
        }
        break;
      case MessageType::Write:
        if (!Accessible(m.a[0], m.payload.size(), true))
          reply.status = kAccessViolation;
        else if (!m.payload.empty())
          memcpy(reinterpret_cast<void*>(uintptr_t(m.a[0])), m.payload.data(), m.payload.size());
        break;
      case MessageType::Map: {
        const uint64_t address = MapView(m.a[0], m.a[1]);
        if (!address) reply.status = kAccessViolation;
        reply.a[0] = address;
        break;
      }
      case MessageType::Unmap: {
        std::lock_guard lock(mu_);
        auto it = views_.find(m.a[0]);
        if (it == views_.end()) {
          reply.status = kAccessViolation;
        } else {
          UnmapViewOfFile(it->second);
          views_.erase(it);
        }
        break;
      }
      case MessageType::ReferenceEvent: {
        HANDLE duplicate = nullptr;
        bool manual = false;
        reply.status = DuplicateEvent(reinterpret_cast<HANDLE>(uintptr_t(m.a[0])), &duplicate, &manual);
        reply.a[0] = reinterpret_cast<uintptr_t>(duplicate);
        if (reply.status == kSuccess) {
          std::lock_guard lock(mu_);
          originals_[reply.a[0]] = m.a[0];
        }
        reply.a[1] = manual ? 1 : 0;
        break;
      }
      default:
        reply.status = kAccessViolation;
    }
    Send(reply);
  }

  // The block's pages as a view of the arena's file: views start on the
  // 64 KiB allocation granularity, so the window around the block is mapped
  // and every page of it outside the block made inaccessible.
  uint64_t MapView(uint64_t offset, uint64_t bytes) {
    if (!arena_ || bytes == 0) return 0;
    const uint64_t start = offset & ~(kViewGranularity - 1);
    const uint64_t end = (offset + bytes + kViewGranularity - 1) & ~(kViewGranularity - 1);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(arena_, FILE_MAP_READ | FILE_MAP_WRITE, DWORD(start >> 32),
                                                     DWORD(start), SIZE_T(end - start)));
    if (!view) return 0;
    DWORD old;
    if (offset > start) VirtualProtect(view, SIZE_T(offset - start), PAGE_NOACCESS, &old);
    if (offset + bytes < end) VirtualProtect(view + (offset - start) + bytes, SIZE_T(end - offset - bytes), PAGE_NOACCESS, &old);
    const uint64_t address = reinterpret_cast<uintptr_t>(view) + (offset - start);
    std::lock_guard lock(mu_);
    views_[address] = view;
    return address;
  }

  uint32_t DuplicateEvent(HANDLE handle, HANDLE* duplicate, bool* manual) {
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      return kInvalidHandle;
    // The object type: a UNICODE_STRING name first in what NtQueryObject
    // gives for ObjectTypeInformation (2).
    alignas(8) uint8_t info[512] = {};
    ULONG length = 0;
    if (Nt().queryObject && Nt().queryObject(*duplicate, 2, info, sizeof info, &length) >= 0) {
      const auto* name = reinterpret_cast<const CountedName*>(info);
      if (name->length != 10 || !name->buffer || wcsncmp(name->buffer, L"Event", 5) != 0) {
        ::CloseHandle(*duplicate);
        *duplicate = nullptr;
        return kObjectTypeMismatch;
      }
    }
    // EventBasicInformation (0): the type (0 = notification, manual reset), the state.
    struct {
      int type;
      LONG state;
    } basic{};
    if (Nt().queryEvent && Nt().queryEvent(*duplicate, 0, &basic, sizeof basic, &length) >= 0)
      *manual = basic.type == 0;
    return kSuccess;
  }

  void NotifierThread() {
    for (;;) {
      Message m;
      std::vector<Notification> targets;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return !changes_.empty(); });
        m = std::move(changes_.front());
        changes_.pop_front();
        for (Notification* n : notifications_) targets.push_back(*n);
      }
      const std::wstring path = tqm::bridge::PathFromBytes(m.payload);
      const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t);
      std::vector<uint8_t> block(bytes);
      auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
      broadcast->dbcc_size = DWORD(bytes);
      broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      memcpy(broadcast->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
      for (const Notification& n : targets) {
        broadcast->dbcc_classguid = n.cls;
        SendMessageW(n.window, WM_DEVICECHANGE, m.a[0] ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                     reinterpret_cast<LPARAM>(broadcast));
      }
    }
  }

  std::once_flag connectOnce_;
  SOCKET socket_ = INVALID_SOCKET;
  HANDLE up_ = nullptr;               // the FIFO we write, once moved (under sendMu_)
  std::atomic<HANDLE> down_{nullptr};  // the FIFO the reader reads
  HANDLE arena_ = nullptr;
  uint64_t processId_ = 0;
  std::thread reader_, notifier_;
  std::mutex sendMu_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool connected_ = false;
  uint32_t nextSequence_ = 1;
  std::map<uint32_t, std::optional<Message>> waiting_;
  std::map<HANDLE, DeviceHandle> devices_;
  std::map<uint64_t, Operation*> operations_;
  uint64_t nextOperation_ = 1;
  std::set<Preparsed*> preparsed_;
  uint64_t periodEvent_ = 0;                 // the handle this process made its period event
  std::map<uint64_t, uint64_t> signalsSeen_;  // own handle -> signals the server numbered
  std::map<uint64_t, void*> views_;
  std::map<uint64_t, uint64_t> originals_;   // duplicate -> the process's own handle
  std::map<uint64_t, uint64_t> lastSignal_;  // own handle -> when last signalled
  std::vector<Notification*> notifications_;
  std::deque<Message> changes_;
};

std::vector<uint8_t> GuidBytes(const GUID& g) {
  std::vector<uint8_t> b(sizeof(GUID));
  memcpy(b.data(), &g, sizeof(GUID));
  return b;
}

bool IsInterfacePath(LPCWSTR path) {
  // "\\?\X:\..." is a long file path, not a device interface.
  return path && wcsncmp(path, L"\\\\?\\", 4) == 0 && !(path[4] && path[5] == L':');
}

uint32_t MachineRequest(tqm::bridge::MachineOp op, uint64_t argument, Message* reply) {
  Message m;
  m.type = MessageType::Machine;
  m.a[0] = uint64_t(op);
  m.a[1] = argument;
  std::optional<Message> r = Bridge::Get().Request(m);
  if (!r) return kNoServer;
  if (reply) *reply = *r;
  return r->status;
}

constexpr uint32_t kPending = 0x00000103;  // STATUS_PENDING
const GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

uint32_t ReadStatus(const OVERLAPPED* overlapped) {
  return uint32_t(reinterpret_cast<const volatile ULONG_PTR&>(overlapped->Internal));
}

// The record's period event as the process registers it: a wait on that
// handle is the period thread's, and ends a period's work.
void NotePeriodEvent(DWORD code, const void* in, DWORD inLength) {
  if (code != tqm::kCommandControlCode || inLength < tqm::kCommandRecordSize || !in) return;
  tqm::CommandRecord record;
  memcpy(record.bytes, in, tqm::kCommandRecordSize);
  if (record.Get32(tqm::Field::Class) != tqm::CMD_CLASS_STREAM ||
      record.Get32(tqm::Field::SubOp) != tqm::StreamOp::SetPeriodEvent)
    return;
  Bridge::Get().NotePeriodEvent(reinterpret_cast<HANDLE>(uintptr_t(record.GetSlot(tqm::Field::PeriodEvent))));
}

// The machine's answer about a HID handle: 1 with *info, 0 with the last
// error set (a handle of the bridge that is no HID file, or the server's
// failure), -1 for a handle that is not the bridge's.
int HidInfo(HANDLE device, Message* info) {
  const std::optional<DeviceHandle> handle = Bridge::Get().DeviceOf(device);
  if (!handle) return -1;
  if (handle->kind != tqm::bridge::HandleKind::Hid) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
  }
  Message m;
  m.type = MessageType::HidInfo;
  m.a[0] = handle->server;
  std::optional<Message> r = Bridge::Get().Request(m);
  if (!r || !IsSuccess(r->status)) {
    SetLastError(r ? Win32Error(r->status) : ERROR_DEVICE_NOT_CONNECTED);
    return 0;
  }
  *info = *r;
  return 1;
}

// ReadFile and WriteFile on a handle of the bridge, as Windows runs them: on
// a handle opened for overlapped I/O the OVERLAPPED is required, its event is
// reset, and a call that cannot finish at once fails with ERROR_IO_PENDING;
// on another handle the call waits for the end.
BOOL HidIo(HANDLE token, const DeviceHandle& device, bool read, void* buffer, DWORD length, LPDWORD done,
           LPOVERLAPPED overlapped) {
  if (done) *done = 0;
  if (device.kind != tqm::bridge::HandleKind::Hid) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if ((device.overlapped && !overlapped) || (length && !buffer) || length > tqm::bridge::kMaxPayload) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* op = new Operation;
  op->token = token;
  op->thread = GetCurrentThreadId();
  op->read = read;
  op->buffer = buffer;
  op->length = length;
  if (overlapped) {
    op->overlapped = overlapped;
    overlapped->Internal = kPending;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent) ::ResetEvent(overlapped->hEvent);
    else ::ResetEvent(token);
  }
  op->signal = overlapped && overlapped->hEvent ? overlapped->hEvent : token;
  if (!device.overlapped) op->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const uint64_t id = Bridge::Get().AddOperation(op);
  Message m;
  m.type = MessageType::Io;
  m.a[0] = device.server;
  m.a[1] = uint64_t(read ? tqm::bridge::IoKind::Read : tqm::bridge::IoKind::Write);
  m.a[2] = id;
  m.a[3] = read ? length : 0;
  if (!read && length) m.payload.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  std::optional<Message> r = Bridge::Get().Request(m);
  const uint32_t status = r ? r->status : 0xC000009D;  // STATUS_DEVICE_NOT_CONNECTED
  if (status == kPending && op->wake) {
    // Synchronous: wait for the end here (the reader sets wake, leaves op).
    ::WaitForSingleObject(op->wake, INFINITE);
    const uint32_t final = op->status;
    const DWORD bytes = op->bytes;
    ::CloseHandle(op->wake);
    delete op;
    if (done) *done = bytes;
    if (!IsSuccess(final)) {
      SetLastError(Win32Error(final));
      return FALSE;
    }
    return TRUE;
  }
  if (status == kPending) {
    // The reader ends it, and may have done so already: op is not ours now.
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  // Ended in the reply (or never started): no IoDone comes.
  Bridge::Get().DropOperation(id);
  op->wake = op->wake ? (::CloseHandle(op->wake), nullptr) : nullptr;
  const std::vector<uint8_t> none;
  const uint64_t bytes = r ? r->a[0] : 0;
  const DWORD count = IsError(status) ? 0 : DWORD(std::min<uint64_t>(bytes, length));
  if (read && !IsError(status) && r && !r->payload.empty() && r->payload.size() <= length)
    memcpy(buffer, r->payload.data(), r->payload.size());
  if (overlapped) {
    overlapped->InternalHigh = count;
    overlapped->Internal = status;
  }
  ::SetEvent(op->signal);
  delete op;
  if (done) *done = count;
  if (!IsSuccess(status)) {
    SetLastError(Win32Error(status));
    return FALSE;
  }
  return TRUE;
}

}  // namespace

// ---- for the DLL's other parts (internal.h) ----
std::optional<Message> tqmsim::Request(Message request) { return Bridge::Get().Request(std::move(request)); }

namespace sys {

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
  if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* set = new DeviceSet{};
  set->cls = *classGuid;
  // Without a server the set is empty, as on a machine without the device.
  for (uint64_t index = 0;; ++index) {
    Message m;
    m.type = MessageType::InterfacePath;
    m.a[0] = index;
    m.payload = GuidBytes(*classGuid);
    std::optional<Message> r = Bridge::Get().Request(m);
    if (!r || r->status != kSuccess) break;
    set->paths.push_back(tqm::bridge::PathFromBytes(r->payload));
  }
  set->nodes = tqmsim::DriverStoreNodes(*classGuid, (flags & DIGCF_PRESENT) != 0, DWORD(set->paths.size()));
  ++tqmsim::g_liveSets;
  return reinterpret_cast<HDEVINFO>(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
  auto* set = reinterpret_cast<DeviceSet*>(handle);
  if (!set || handle == INVALID_HANDLE_VALUE || !classGuid) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (memcmp(classGuid, &set->cls, sizeof(GUID)) != 0 || index >= set->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = set->cls;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA) {
  auto* set = reinterpret_cast<DeviceSet*>(handle);
  if (!set || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved >= set->paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring& path = set->paths[data->Reserved];
  const DWORD required = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = required;
  // Windows' order: no buffer with a size is a bad buffer; a short one asks
  // for the size; then the structure's own size must be the one of this
  // build (8 on x64).
  if (!detail && detailSize) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < required) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* set = reinterpret_cast<DeviceSet*>(handle);
  // Destroying a set destroys the driver lists built in it.
  tqmsim::g_liveDriverLists -= int64_t(set->driverLists.size());
  --tqmsim::g_liveSets;
  delete set;
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  if (!IsInterfacePath(path)) return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
  Message m;
  m.type = MessageType::Open;
  m.a[0] = access;
  m.payload = tqm::bridge::PathBytes(std::wstring(path).substr(0, 500));
  std::optional<Message> r = Bridge::Get().Request(m);
  if (!r) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsSuccess(r->status)) {
    SetLastError(Win32Error(r->status));
    return INVALID_HANDLE_VALUE;
  }
  return Bridge::Get().AddDevice(
      DeviceHandle{r->a[0], tqm::bridge::HandleKind(r->a[1]), (flags & FILE_FLAG_OVERLAPPED) != 0});
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
  const std::optional<DeviceHandle> handle = Bridge::Get().DeviceOf(device);
  if (!handle) return ::DeviceIoControl(device, code, in, inLength, out, outLength, returned, overlapped);
  if (inLength > tqm::bridge::kMaxPayload || outLength > tqm::bridge::kMaxPayload || (inLength && !in)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  NotePeriodEvent(code, in, inLength);
  Message m;
  m.type = MessageType::Control;
  m.a[0] = handle->server;
  m.a[1] = code;
  m.a[2] = outLength;
  if (inLength) m.payload.assign(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + inLength);
  std::optional<Message> r = Bridge::Get().Request(m);
  if (!r) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  // As the I/O manager does: the output is copied back unless the status is
  // an error; a warning still fails the call.
  if (!IsError(r->status) && out && !r->payload.empty() && r->payload.size() <= outLength)
    memcpy(out, r->payload.data(), r->payload.size());
  if (returned) *returned = IsError(r->status) ? 0 : DWORD(r->a[0]);
  if (!IsSuccess(r->status)) {
    SetLastError(Win32Error(r->status));
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  const std::optional<DeviceHandle> device = Bridge::Get().TakeDevice(handle);
  if (!device) return ::CloseHandle(handle);
  // The file's pending operations end (cancelled) before the reply comes.
  Message m;
  m.type = MessageType::Close;
  m.a[0] = device->server;
  m.a[1] = uint64_t(device->kind);
  Bridge::Get().Request(m);
  return ::CloseHandle(handle);
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  auto* f = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  if (!f || (flags & DEVICE_NOTIFY_SERVICE_HANDLE) || f->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      f->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) - sizeof(f->dbcc_name)) {
    return ::RegisterDeviceNotificationW(recipient, filter, flags);
  }
  return Bridge::Get().AddNotification(static_cast<HWND>(recipient), f->dbcc_classguid);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
  if (Bridge::Get().RemoveNotification(notification)) return TRUE;
  return ::UnregisterDeviceNotification(notification);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
  const std::optional<DeviceHandle> device = Bridge::Get().DeviceOf(file);
  if (!device) return ::ReadFile(file, buffer, length, read, overlapped);
  return HidIo(file, *device, true, buffer, length, read, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
  const std::optional<DeviceHandle> device = Bridge::Get().DeviceOf(file);
  if (!device) return ::WriteFile(file, buffer, length, written, overlapped);
  return HidIo(file, *device, false, const_cast<void*>(buffer), length, written, overlapped);
}

BOOL CancelIo(HANDLE file) {
  const std::optional<DeviceHandle> device = Bridge::Get().DeviceOf(file);
  if (!device) return ::CancelIo(file);
  // The calling thread's operations on this handle only, as on Windows. Each
  // one's end arrives before the reply to its cancel; the call does not wait
  // for more than that (GetOverlappedResult does).
  for (uint64_t id : Bridge::Get().ThreadOperations(file, GetCurrentThreadId())) {
    Message m;
    m.type = MessageType::CancelIo;
    m.a[0] = device->server;
    m.a[1] = id;
    Bridge::Get().Request(m);
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  if (!Bridge::Get().DeviceOf(file)) return ::GetOverlappedResult(file, overlapped, transferred, wait);
  // The OVERLAPPED as kernel32 reads it: Internal holds the status (pending
  // until the end), InternalHigh the bytes.
  if (ReadStatus(overlapped) == kPending) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    if (::WaitForSingleObject(overlapped->hEvent ? overlapped->hEvent : file, INFINITE) != WAIT_OBJECT_0) return FALSE;
  }
  const uint32_t status = ReadStatus(overlapped);
  if (transferred) *transferred = DWORD(overlapped->InternalHigh);
  if (!IsSuccess(status)) {
    SetLastError(Win32Error(status));
    return FALSE;
  }
  return TRUE;
}

void WINAPI HidD_GetHidGuid(LPGUID hidGuid) {
  if (hidGuid) *hidGuid = kHidClass;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  Message info;
  const int got = HidInfo(device, &info);
  if (got < 0) return ::HidD_GetAttributes(device, attributes);
  if (!got) return FALSE;
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = USHORT(info.a[0]);
  attributes->ProductID = USHORT(info.a[0] >> 16);
  attributes->VersionNumber = USHORT(info.a[0] >> 32);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
  Message info;
  const int got = HidInfo(device, &info);
  if (got < 0) return ::HidD_GetPreparsedData(device, preparsed);
  if (!got) return FALSE;
  HIDP_CAPS caps{};
  caps.UsagePage = USAGE(info.a[2]);
  caps.Usage = USAGE(info.a[2] >> 16);
  caps.InputReportByteLength = USHORT(info.a[1]);
  caps.OutputReportByteLength = USHORT(info.a[1] >> 16);
  caps.FeatureReportByteLength = USHORT(info.a[1] >> 32);
  caps.NumberLinkCollectionNodes = 1;
  caps.NumberInputValueCaps = caps.InputReportByteLength > 1 ? 1 : 0;
  caps.NumberInputDataIndices = caps.NumberInputValueCaps;
  caps.NumberOutputValueCaps = caps.OutputReportByteLength > 1 ? 1 : 0;
  caps.NumberOutputDataIndices = caps.NumberOutputValueCaps;
  *preparsed = Bridge::Get().AddPreparsed(caps);
  return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
  if (Bridge::Get().FreePreparsed(preparsed)) return TRUE;
  return ::HidD_FreePreparsedData(preparsed);
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
  HIDP_CAPS ours;
  if (!Bridge::Get().PreparsedCaps(preparsed, &ours)) return ::HidP_GetCaps(preparsed, caps);
  *caps = ours;
  return HIDP_STATUS_SUCCESS;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Bridge::Get().BeforeWait(&handle, 1);
  return ::WaitForSingleObject(handle, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (handles && count && count <= MAXIMUM_WAIT_OBJECTS) Bridge::Get().BeforeWait(handles, count);
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

}  // namespace sys

uint32_t TqmSimPlug(void) { return MachineRequest(tqm::bridge::MachineOp::Plug, 0, nullptr); }

uint32_t TqmSimUnplug(void) { return MachineRequest(tqm::bridge::MachineOp::Unplug, 0, nullptr); }

uint32_t TqmSimPlugDevice(uint32_t device) { return MachineRequest(tqm::bridge::MachineOp::Plug, device, nullptr); }

uint32_t TqmSimUnplugDevice(uint32_t device) {
  return MachineRequest(tqm::bridge::MachineOp::Unplug, device, nullptr);
}

uint32_t TqmSimSetDeviceInput(uint32_t device, uint32_t kind, uint32_t value) {
  Message m;
  m.type = MessageType::Machine;
  m.a[0] = uint64_t(tqm::bridge::MachineOp::SetInput);
  m.a[1] = kind;
  m.a[2] = value;
  m.a[3] = device;
  std::optional<Message> r = Bridge::Get().Request(m);
  return r ? r->status : kNoServer;
}

uint32_t TqmSimSetInput(uint32_t kind, uint32_t value) { return TqmSimSetDeviceInput(0, kind, value); }

uint32_t TqmSimFaultCount(uint64_t* faults) {
  Message reply;
  const uint32_t status = MachineRequest(tqm::bridge::MachineOp::FaultCount, 0, &reply);
  if (status == kSuccess) *faults = reply.a[0];
  return status;
}

uint32_t TqmSimNow(uint64_t* now) {
  Message reply;
  const uint32_t status = MachineRequest(tqm::bridge::MachineOp::Now, 0, &reply);
  if (status == kSuccess) *now = reply.a[0];
  return status;
}

uint32_t TqmSimRunFree(int runFree) {
  return MachineRequest(tqm::bridge::MachineOp::RunFree, runFree ? 1 : 0, nullptr);
}

uint32_t TqmSimStep(uint32_t milliseconds) {
  return MachineRequest(tqm::bridge::MachineOp::Step, milliseconds, nullptr);
}

uint32_t TqmSimProcessId(uint64_t* id) {
  if (!Bridge::Get().Connected()) return kNoServer;
  *id = Bridge::Get().processId();
  return kSuccess;
}

uint32_t TqmSimLastSignal(void* event, uint64_t* counter) {
  return Bridge::Get().LastSignal(event, counter) ? kSuccess : kInvalidHandle;
}

uint32_t TqmSimProcessState(uint64_t id, uint64_t* handles, int* exited) {
  Message reply;
  const uint32_t status = MachineRequest(tqm::bridge::MachineOp::ProcessHandles, id, &reply);
  if (status == kSuccess) {
    *handles = reply.a[0];
    *exited = reply.a[1] != 0;
  }
  return status;
}

namespace {

// A Machine request with its arguments: a1 names the device (or, for the
// command log, the process).
uint32_t MachineCall(tqm::bridge::MachineOp op, uint32_t device, uint64_t a2, uint64_t a3, Message* reply,
                    uint64_t process = 0) {
  Message m;
  m.type = MessageType::Machine;
  m.a[0] = uint64_t(op);
  m.a[1] = process ? process : device;
  m.a[2] = a2;
  m.a[3] = a3;
  std::optional<Message> r = Bridge::Get().Request(m);
  if (!r) return kNoServer;
  if (reply) *reply = std::move(*r);
  return reply ? reply->status : r->status;
}

}  // namespace

uint32_t TqmSimHidReportLengths(uint32_t device, uint32_t inputBytes, uint32_t outputBytes) {
  return MachineCall(tqm::bridge::MachineOp::HidReportLengths, device, inputBytes, outputBytes, nullptr);
}

uint32_t TqmSimHidSilent(uint32_t device, int silent) {
  return MachineCall(tqm::bridge::MachineOp::HidSilent, device, silent ? 1 : 0, 0, nullptr);
}

uint32_t TqmSimHidReplyDelay(uint32_t device, uint32_t milliseconds) {
  return MachineCall(tqm::bridge::MachineOp::HidReplyDelay, device, milliseconds, 0, nullptr);
}

uint32_t TqmSimHidStallWrites(uint32_t device, int stall) {
  return MachineCall(tqm::bridge::MachineOp::HidStallWrites, device, stall ? 1 : 0, 0, nullptr);
}

uint32_t TqmSimHidReportCount(uint32_t device, uint32_t* count) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::HidReportCount, device, 0, 0, &reply);
  if (status == kSuccess && count) *count = uint32_t(reply.a[0]);
  return status;
}

uint32_t TqmSimHidReport(uint32_t device, uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* length) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::HidReport, device, index, 0, &reply);
  if (status != kSuccess) return status;
  if (length) *length = uint32_t(reply.payload.size());
  if (buffer) memcpy(buffer, reply.payload.data(), std::min<size_t>(size, reply.payload.size()));
  return status;
}

uint32_t TqmSimForeignHid(int present) {
  return MachineRequest(tqm::bridge::MachineOp::ForeignHid, present ? 1 : 0, nullptr);
}

uint32_t TqmSimOtherVersion(int present) {
  return MachineRequest(tqm::bridge::MachineOp::OtherVersion, present ? 1 : 0, nullptr);
}

uint32_t TqmSimCommandCount(uint64_t process, uint32_t* count) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::CommandCount, 0, 0, 0, &reply, process);
  if (status == kSuccess && count) *count = uint32_t(reply.a[0]);
  return status;
}

uint32_t TqmSimCommand(uint64_t process, uint32_t index, TqmSimCommandEntry* entry) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::Command, 0, index, 0, &reply, process);
  if (status != kSuccess || !entry) return status;
  const size_t settings = reply.payload.size() - std::min(reply.payload.size(), sizeof entry->record);
  if (reply.payload.size() < sizeof entry->record || (settings && settings != sizeof entry->settings))
    return 0xC0000001;  // STATUS_UNSUCCESSFUL
  entry->commandClass = uint32_t(reply.a[0]);
  entry->subOp = uint32_t(reply.a[0] >> 32);
  entry->status = uint32_t(reply.a[1]);
  entry->information = uint32_t(reply.a[1] >> 32);
  memcpy(entry->record, reply.payload.data(), sizeof entry->record);
  entry->settingsBytes = uint32_t(settings);
  memset(entry->settings, 0, sizeof entry->settings);
  memcpy(entry->settings, reply.payload.data() + sizeof entry->record, settings);
  return status;
}

uint32_t TqmSimGetDeviceCounters(uint32_t device, TqmSimDeviceCounters* counters) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::DeviceCounters, device, 0, 0, &reply);
  if (status != kSuccess || !counters) return status;
  if (reply.payload.size() != sizeof *counters) return 0xC0000001;
  memcpy(counters, reply.payload.data(), sizeof *counters);
  return status;
}

uint32_t TqmSimStreamStart(uint32_t device, uint32_t rate) {
  return MachineCall(tqm::bridge::MachineOp::StreamStart, device, rate, 0, nullptr);
}

uint32_t TqmSimStreamStop(uint32_t device) {
  return MachineCall(tqm::bridge::MachineOp::StreamStop, device, 0, 0, nullptr);
}

uint32_t TqmSimStreamState(uint32_t device, TqmSimStreamInfo* info) {
  Message reply;
  const uint32_t status = MachineCall(tqm::bridge::MachineOp::StreamState, device, 0, 0, &reply);
  if (status != kSuccess || !info) return status;
  info->periods = reply.a[0];
  info->running = reply.a[1] != 0;
  info->missed = reply.a[2];
  info->periodFrames = uint32_t(reply.a[3]);
  return status;
}

uint32_t TqmSimOpenHandles(uint64_t* handles) {
  *handles = Bridge::Get().DeviceCount();
  return kSuccess;
}

uint32_t TqmSimPreparsedBlocks(uint64_t* blocks) {
  *blocks = Bridge::Get().PreparsedCount();
  return kSuccess;
}
