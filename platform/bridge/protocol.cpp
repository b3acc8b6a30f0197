// The bridge's frames (protocol.h).
#include "platform/bridge/protocol.h"

#include <cstring>

#include "tqm/wire.h"

namespace tqm::bridge {

namespace {

struct TypeRule {
  MessageType type;
  uint32_t payloadLimit;
  bool utf16;  // the payload is UTF-16LE text: an even number of bytes
};

// Each type with the payload it may carry.
constexpr TypeRule kRules[] = {
    {MessageType::Hello, 512, true},
    {MessageType::InterfacePath, kGuidBytes, false},
    {MessageType::Open, 1024, true},
    {MessageType::Control, kMaxPayload, false},
    {MessageType::Close, 0, false},
    {MessageType::WatchInterfaces, kGuidBytes, false},
    {MessageType::Machine, 0, false},
    {MessageType::Heartbeat, 0, false},
    {MessageType::HidInfo, 0, false},
    {MessageType::Io, kMaxPayload, false},
    {MessageType::CancelIo, 0, false},
    {MessageType::PeriodWait, 0, false},
    {MessageType::Endpoint, 1024, true},
    {MessageType::DriverStore, 3 * 2 * 256, true},
    {MessageType::FifoReady, 0, false},
    {MessageType::Query, 0, false},
    {MessageType::Read, 0, false},
    {MessageType::Write, kMaxPayload, false},
    {MessageType::Map, 0, false},
    {MessageType::Unmap, 0, false},
    {MessageType::ReferenceEvent, 0, false},
    {MessageType::Signal, 0, false},
    {MessageType::ReleaseEvent, 0, false},
    {MessageType::DeviceChange, 1024, true},
    {MessageType::IoDone, kMaxPayload, false},
    {MessageType::EndpointChange, 1024, true},
    {MessageType::FifoSwitch, 0, false},
    {MessageType::Reply, kMaxPayload, false},
    {MessageType::CallbackReply, kMaxPayload, false},
};

const TypeRule* RuleOf(uint32_t type) {
  for (const TypeRule& r : kRules)
    if (uint32_t(r.type) == type) return &r;
  return nullptr;
}

}  // namespace

bool KnownType(uint32_t type) { return RuleOf(type) != nullptr; }

uint32_t PayloadLimit(MessageType type) {
  const TypeRule* r = RuleOf(uint32_t(type));
  return r ? r->payloadLimit : 0;
}

std::vector<uint8_t> Encode(const Message& m) {
  const TypeRule* rule = RuleOf(uint32_t(m.type));
  if (!rule || m.payload.size() > rule->payloadLimit || (rule->utf16 && m.payload.size() % 2)) return {};
  const uint32_t length = kFixedBytes + uint32_t(m.payload.size());
  std::vector<uint8_t> frame(length);
  uint8_t* p = frame.data();
  StoreLe32(p, uint32_t(m.type));
  StoreLe32(p + 4, length);
  StoreLe32(p + 8, m.sequence);
  StoreLe32(p + 12, m.status);
  for (int i = 0; i < 4; ++i) StoreLe64(p + 16 + 8 * i, m.a[i]);
  if (!m.payload.empty()) std::memcpy(p + kFixedBytes, m.payload.data(), m.payload.size());
  return frame;
}

DecodeResult Decode(const uint8_t* data, size_t size, Message* m, size_t* used) {
  // The type and the length are judged as soon as they arrive, so garbage
  // closes the connection without waiting for bytes that may never come.
  if (size >= 4 && !KnownType(LoadLe32(data))) return DecodeResult::Malformed;
  if (size < 8) return DecodeResult::NeedMore;
  const TypeRule* rule = RuleOf(LoadLe32(data));
  const uint32_t length = LoadLe32(data + 4);
  if (length < kFixedBytes || length - kFixedBytes > rule->payloadLimit) return DecodeResult::Malformed;
  if (rule->utf16 && (length - kFixedBytes) % 2) return DecodeResult::Malformed;
  if (size < length) return DecodeResult::NeedMore;
  m->type = rule->type;
  m->sequence = LoadLe32(data + 8);
  m->status = LoadLe32(data + 12);
  for (int i = 0; i < 4; ++i) m->a[i] = LoadLe64(data + 16 + 8 * i);
  m->payload.assign(data + kFixedBytes, data + length);
  *used = length;
  return DecodeResult::Complete;
}

void FrameReader::Feed(const uint8_t* data, size_t size) {
  if (malformed_) return;
  // Compact before growing: the buffer never holds more than one frame and
  // the bytes of one read.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > kMaxFrameBytes) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

DecodeResult FrameReader::Next(Message* message) {
  if (malformed_) return DecodeResult::Malformed;
  size_t used = 0;
  const DecodeResult r = Decode(buffer_.data() + start_, buffer_.size() - start_, message, &used);
  if (r == DecodeResult::Malformed) malformed_ = true;
  if (r == DecodeResult::Complete) start_ += used;
  return r;
}

std::vector<uint8_t> PathBytes(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  bytes.reserve(path.size() * 2);
  for (wchar_t c : path) {
    const uint32_t unit = uint32_t(c) > 0xFFFF ? 0xFFFD : uint32_t(c);
    bytes.push_back(uint8_t(unit));
    bytes.push_back(uint8_t(unit >> 8));
  }
  return bytes;
}

std::wstring PathFromBytes(const std::vector<uint8_t>& bytes) {
  std::wstring path;
  path.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) path.push_back(wchar_t(bytes[i] | bytes[i + 1] << 8));
  return path;
}

std::vector<std::string> HelloPaths(const std::vector<uint8_t>& payload) {
  std::vector<std::string> paths(1);
  for (uint8_t b : payload) {
    if (b == 0)
      paths.emplace_back();
    else
      paths.back().push_back(char(b));
  }
  return paths;
}

}  // namespace tqm::bridge
