// The native test client of the bridge (native_client.h).
#include "platform/bridge/native_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
  for (const auto& [address, bytes] : views_) munmap(reinterpret_cast<void*>(address), bytes);
  for (void* b : buffers_) free(b);
  if (arena_ >= 0) ::close(arena_);
}

bool NativeClient::Connect(uint16_t port, const std::string& name, std::string* error) {
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
  hello.payload = PathBytes(std::wstring(name.begin(), name.end()));
  std::optional<Message> reply = Request(hello);
  if (!reply || reply->status != kSuccess) {
    *error = "the server refused Hello";
    return false;
  }
  processId_ = reply->a[2];
  const std::string arena(reply->payload.begin(), reply->payload.end());
  arena_ = ::open(arena.c_str(), O_RDWR | O_CLOEXEC);
  if (arena_ < 0) {
    *error = "cannot open the pool arena " + arena + ": " + std::strerror(errno);
    return false;
  }
  return true;
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

void* NativeClient::Allocate(size_t bytes) {
  void* b = aligned_alloc(kPage, (bytes + kPage - 1) / kPage * kPage);
  if (!b) return nullptr;
  memset(b, 0, bytes);
  std::lock_guard lock(mu_);
  buffers_.push_back(b);
  regions_[reinterpret_cast<uint64_t>(b)] = bytes;
  return b;
}

void NativeClient::SetCallbackHook(std::function<bool(const Message&)> hook) {
  std::lock_guard lock(mu_);
  hook_ = std::move(hook);
}

size_t NativeClient::mappedViews() const {
  std::lock_guard lock(mu_);
  return views_.size();
}

bool NativeClient::Send(const Message& message) {
  const std::vector<uint8_t> frame = Encode(message);
  return !frame.empty() && SendBytes(frame);
}

bool NativeClient::SendBytes(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(sendMu_);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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

std::vector<NativeClient::DeviceChange> NativeClient::deviceChanges() const {
  std::lock_guard lock(mu_);
  return changes_;
}

bool NativeClient::Reachable(uint64_t address, size_t bytes) const {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return false;
  --it;
  return address - it->first <= it->second && bytes <= it->second - (address - it->first);
}

void NativeClient::ReaderThread() {
  FrameReader frames;
  uint8_t buffer[8192];
  for (;;) {
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    frames.Feed(buffer, size_t(n));
    Message m;
    while (frames.Next(&m) == DecodeResult::Complete) {
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
      if (!Reachable(m.a[0], m.a[1])) reply.status = kAccessViolation;
      break;
    case MessageType::Read:
      if (m.a[1] > kMaxPayload || !Reachable(m.a[0], m.a[1])) {
        reply.status = kAccessViolation;
      } else {
        const auto* at = reinterpret_cast<const uint8_t*>(m.a[0]);
        reply.payload.assign(at, at + m.a[1]);
      }
      break;
    case MessageType::Write:
      if (!Reachable(m.a[0], m.payload.size()))
        reply.status = kAccessViolation;
      else
        memcpy(reinterpret_cast<void*>(m.a[0]), m.payload.data(), m.payload.size());
      break;
    case MessageType::Map: {
      void* view = mmap(nullptr, m.a[1], PROT_READ | PROT_WRITE, MAP_SHARED, arena_, off_t(m.a[0]));
      if (view == MAP_FAILED) {
        reply.status = kAccessViolation;
      } else {
        views_[reinterpret_cast<uint64_t>(view)] = m.a[1];
        regions_[reinterpret_cast<uint64_t>(view)] = m.a[1];
        reply.a[0] = reinterpret_cast<uint64_t>(view);
      }
      break;
    }
    case MessageType::Unmap: {
      auto it = views_.find(m.a[0]);
      if (it == views_.end()) {
        reply.status = kAccessViolation;
      } else {
        munmap(reinterpret_cast<void*>(it->first), it->second);
        regions_.erase(it->first);
        views_.erase(it);
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
