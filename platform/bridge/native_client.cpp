// The native test client of the bridge (native_client.h).
#include "platform/bridge/native_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tqm::bridge {

namespace {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kBrokenConnection = 0xC000014B;  // STATUS_PIPE_BROKEN
constexpr size_t kPage = 4096;
}  // namespace

NativeClient::~NativeClient() {
  Kill();
  if (reader_.joinable()) reader_.join();
  if (socket_ >= 0) ::close(socket_);
  if (up_ >= 0) ::close(up_);
  if (down_ >= 0) ::close(down_);
  for (const auto& [address, r] : regions_) {
    if (!r.view) continue;
    munmap(reinterpret_cast<void*>(address), r.bytes);
    munmap(r.local, r.bytes);
  }
  for (const auto& [address, bytes] : reserved_) munmap(reinterpret_cast<void*>(address), bytes);
  for (void* b : buffers_) free(b);
  if (arena_ >= 0) ::close(arena_);
}

bool NativeClient::Connect(uint16_t port, const std::string& name, std::string* error, uint32_t heartbeatMs,
                           bool fifos) {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (socket_ < 0 || ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = std::string("connect: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  reader_ = std::thread([this] { ReaderThread(); });
  Message hello;
  hello.type = MessageType::Hello;
  hello.a[0] = uint64_t(getpid());
  hello.a[1] = heartbeatMs;
  hello.a[2] = fifos ? 1 : 0;
  hello.payload = PathBytes(std::wstring(name.begin(), name.end()));
  std::optional<Message> reply = Request(hello);
  if (!reply || reply->status != kSuccess) {
    *error = "the server refused Hello";
    return false;
  }
  processId_ = reply->a[2];
  const std::vector<std::string> paths = HelloPaths(reply->payload);
  arena_ = ::open(paths[0].c_str(), O_RDWR | O_CLOEXEC);
  if (arena_ < 0) {
    *error = "cannot open the pool arena " + paths[0] + ": " + std::strerror(errno);
    return false;
  }
  if (fifos && reply->a[3] == 1 && paths.size() == 3) {
    // The server holds both ends of both: neither open waits.
    up_ = ::open(paths[1].c_str(), O_WRONLY | O_CLOEXEC);
    down_ = ::open(paths[2].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (up_ < 0 || down_ < 0) {
      *error = "cannot open the FIFOs: " + std::string(std::strerror(errno));
      return false;
    }
    std::lock_guard lock(sendMu_);
    sendOnFifo_ = true;
    Message ready;
    ready.type = MessageType::FifoReady;
    const std::vector<uint8_t> frame = Encode(ready);
    if (::write(up_, frame.data(), frame.size()) != ssize_t(frame.size())) {
      *error = "cannot write the FIFO";
      return false;
    }
  }
  return true;
}

bool NativeClient::onFifos() const {
  std::lock_guard lock(sendMu_);
  return sendOnFifo_ && readOnFifo_.load();
}

void NativeClient::Kill() {
  {
    std::lock_guard lock(mu_);
    dead_ = true;
  }
  cv_.notify_all();
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

bool NativeClient::connected() const {
  std::lock_guard lock(mu_);
  return !dead_;
}

namespace {
// An inaccessible reservation the server knows the memory by.
uint64_t Reserve(size_t bytes) {
  void* r = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return r == MAP_FAILED ? 0 : reinterpret_cast<uint64_t>(r);
}
}  // namespace

void* NativeClient::Allocate(size_t bytes) {
  const size_t rounded = (bytes + kPage - 1) / kPage * kPage;
  auto* b = static_cast<uint8_t*>(aligned_alloc(kPage, rounded ? rounded : kPage));
  if (!b) return nullptr;
  memset(b, 0, bytes);
  const uint64_t stand = Reserve(rounded ? rounded : kPage);
  std::lock_guard lock(mu_);
  buffers_.push_back(b);
  reserved_.emplace_back(stand, rounded ? rounded : kPage);
  // Only the bytes asked for are the client's: an overrun is refused.
  regions_[stand + (rounded - bytes)] = Region{b + (rounded - bytes), bytes, false};
  return b + (rounded - bytes);
}

uint64_t NativeClient::Address(const void* local) const {
  const auto* at = static_cast<const uint8_t*>(local);
  std::lock_guard lock(mu_);
  for (const auto& [address, r] : regions_)
    if (at >= r.local && at < r.local + r.bytes) return address + uint64_t(at - r.local);
  return 0;
}

void* NativeClient::Local(uint64_t address) const {
  std::lock_guard lock(mu_);
  return Reach(address, 1);
}

void NativeClient::SetCallbackHook(std::function<bool(const Message&)> hook) {
  std::lock_guard lock(mu_);
  hook_ = std::move(hook);
}

size_t NativeClient::mappedViews() const {
  std::lock_guard lock(mu_);
  size_t n = 0;
  for (const auto& [address, r] : regions_) n += r.view ? 1 : 0;
  return n;
}

bool NativeClient::Send(const Message& message) {
  const std::vector<uint8_t> frame = Encode(message);
  return !frame.empty() && SendBytes(frame);
}

bool NativeClient::SendBytes(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(sendMu_);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = sendOnFifo_ ? ::write(up_, bytes.data() + sent, bytes.size() - sent)
                                  : ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

std::optional<Message> NativeClient::Request(Message request) {
  uint32_t sequence;
  {
    std::lock_guard lock(mu_);
    if (dead_) return std::nullopt;
    sequence = nextSequence_++;
    waiting_[sequence];
  }
  request.sequence = sequence;
  if (!Send(request)) Kill();
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return dead_ || waiting_[sequence].has_value(); });
  std::optional<Message> reply = std::move(waiting_[sequence]);
  waiting_.erase(sequence);
  return reply;
}

std::vector<std::wstring> NativeClient::InterfacePaths(const uint8_t classGuid[kGuidBytes]) {
  std::vector<std::wstring> paths;
  for (uint64_t index = 0;; ++index) {
    Message m;
    m.type = MessageType::InterfacePath;
    m.a[0] = index;
    m.payload.assign(classGuid, classGuid + kGuidBytes);
    std::optional<Message> r = Request(m);
    if (!r || r->status != kSuccess) return paths;
    paths.push_back(PathFromBytes(r->payload));
  }
}

uint32_t NativeClient::Open(const std::wstring& path, uint64_t* handle) {
  Message m;
  m.type = MessageType::Open;
  m.payload = PathBytes(path);
  std::optional<Message> r = Request(m);
  if (!r) return kBrokenConnection;
  *handle = r->a[0];
  return r->status;
}

uint32_t NativeClient::Control(uint64_t handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                               uint32_t outLength, uint32_t* information) {
  Message m;
  m.type = MessageType::Control;
  m.a[0] = handle;
  m.a[1] = code;
  m.a[2] = outLength;
  const auto* bytes = static_cast<const uint8_t*>(in);
  if (inLength) m.payload.assign(bytes, bytes + inLength);
  std::optional<Message> r = Request(m);
  if (!r) return kBrokenConnection;
  if (information) *information = uint32_t(r->a[0]);
  if (out && !r->payload.empty() && r->payload.size() <= outLength) memcpy(out, r->payload.data(), r->payload.size());
  return r->status;
}

uint32_t NativeClient::Close(uint64_t handle) {
  Message m;
  m.type = MessageType::Close;
  m.a[0] = handle;
  std::optional<Message> r = Request(m);
  return r ? r->status : kBrokenConnection;
}

uint64_t NativeClient::CreateEvent(bool manualReset) {
  std::lock_guard lock(mu_);
  const uint64_t handle = nextHandle_ += 4;
  events_[handle] = std::make_shared<Event>(Event{manualReset, false});
  return handle;
}

bool NativeClient::WaitEvent(uint64_t handle, uint32_t timeoutMs) {
  std::unique_lock lock(mu_);
  auto it = events_.find(handle);
  if (it == events_.end()) return false;
  std::shared_ptr<Event> e = it->second;
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return e->signalled; })) return false;
  if (!e->manual) e->signalled = false;
  return true;
}

size_t NativeClient::liveDuplicates() const {
  std::lock_guard lock(mu_);
  return duplicates_.size();
}

std::vector<Message> NativeClient::endpointChanges() const {
  std::lock_guard lock(mu_);
  return endpointChanges_;
}

std::vector<NativeClient::DeviceChange> NativeClient::deviceChanges() const {
  std::lock_guard lock(mu_);
  return changes_;
}

uint8_t* NativeClient::Reach(uint64_t address, size_t bytes) const {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  --it;
  const size_t at = address - it->first;
  if (at > it->second.bytes || bytes > it->second.bytes - at) return nullptr;
  return it->second.local + at;
}

void NativeClient::ReaderThread() {
  FrameReader tcp, fifo;
  uint8_t buffer[8192];
  for (;;) {
    // The socket is watched to the end: its close is the server's.
    const bool onFifo = readOnFifo_.load();
    pollfd fds[2] = {{socket_, POLLIN, 0}, {down_, POLLIN, 0}};
    if (::poll(fds, onFifo ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    FrameReader* frames = &tcp;
    ssize_t n;
    if (onFifo && (fds[1].revents & POLLIN)) {
      n = ::read(down_, buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      frames = &fifo;
    } else if (fds[0].revents) {
      n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (onFifo && n > 0) break;  // nothing comes on TCP after the switch
    } else {
      continue;
    }
    if (n <= 0) break;
    frames->Feed(buffer, size_t(n));
    Message m;
    while (frames->Next(&m) == DecodeResult::Complete) {
      if (m.type == MessageType::FifoSwitch) {
        readOnFifo_.store(true);
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
  }
  Kill();
}

void NativeClient::Answer(const Message& m) {
  std::unique_lock lock(mu_);
  switch (m.type) {
    case MessageType::Signal: {
      auto it = duplicates_.find(m.a[0]);
      if (it != duplicates_.end()) it->second->signalled = true;
      signals_.fetch_add(1);
      cv_.notify_all();
      return;
    }
    case MessageType::ReleaseEvent:
      duplicates_.erase(m.a[0]);
      return;
    case MessageType::DeviceChange:
      changes_.push_back(DeviceChange{m.a[0] != 0, PathFromBytes(m.payload)});
      return;
    case MessageType::EndpointChange:
      endpointChanges_.push_back(m);
      return;
    case MessageType::IoDone:
      ioDone_.push_back(m);
      cv_.notify_all();
      return;
    default:
      break;
  }
  if (hook_) {
    auto hook = hook_;
    lock.unlock();
    if (!hook(m)) return;
    lock.lock();
  }
  Message reply;
  reply.type = MessageType::CallbackReply;
  reply.sequence = m.sequence;
  reply.status = kSuccess;
  switch (m.type) {
    case MessageType::Query:
      if (m.a[1] && !Reach(m.a[0], m.a[1])) reply.status = kAccessViolation;
      break;
    case MessageType::Read: {
      const uint8_t* at = m.a[1] <= kMaxPayload ? Reach(m.a[0], m.a[1]) : nullptr;
      if (!at)
        reply.status = kAccessViolation;
      else
        reply.payload.assign(at, at + m.a[1]);
      break;
    }
    case MessageType::Write: {
      uint8_t* at = Reach(m.a[0], m.payload.size());
      if (!at)
        reply.status = kAccessViolation;
      else if (!m.payload.empty())
        memcpy(at, m.payload.data(), m.payload.size());
      break;
    }
    case MessageType::Map: {
      void* view = mmap(nullptr, m.a[1], PROT_READ | PROT_WRITE, MAP_SHARED, arena_, off_t(m.a[0]));
      const uint64_t stand = view == MAP_FAILED ? 0 : Reserve(m.a[1]);
      if (!stand) {
        if (view != MAP_FAILED) munmap(view, m.a[1]);
        reply.status = kAccessViolation;
      } else {
        regions_[stand] = Region{static_cast<uint8_t*>(view), m.a[1], true};
        reply.a[0] = stand;
      }
      break;
    }
    case MessageType::Unmap: {
      auto it = regions_.find(m.a[0]);
      if (it == regions_.end() || !it->second.view) {
        reply.status = kAccessViolation;
      } else {
        munmap(it->second.local, it->second.bytes);
        munmap(reinterpret_cast<void*>(it->first), it->second.bytes);
        regions_.erase(it);
      }
      break;
    }
    case MessageType::ReferenceEvent: {
      auto it = events_.find(m.a[0]);
      if (it == events_.end()) {
        reply.status = kInvalidHandle;
      } else {
        const uint64_t duplicate = nextHandle_ += 4;
        duplicates_[duplicate] = it->second;
        reply.a[0] = duplicate;
        reply.a[1] = it->second->manual ? 1 : 0;
      }
      break;
    }
    default:
      reply.status = kAccessViolation;
  }
  lock.unlock();
  Send(reply);
}

}  // namespace tqm::bridge

namespace tqm::bridge {

std::optional<Message> NativeClient::WaitIoDone(uint64_t id, uint32_t timeoutMs) {
  std::unique_lock lock(mu_);
  std::optional<Message> found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (auto it = ioDone_.begin(); it != ioDone_.end(); ++it) {
      if (it->a[0] != id) continue;
      found = std::move(*it);
      ioDone_.erase(it);
      return true;
    }
    return dead_;
  });
  return found;
}

}  // namespace tqm::bridge
