// The bridge's frames: what encodes, what decodes, and what closes a
// connection. Runs in both builds (the layouts must agree between the server
// and tqmsim.dll).
#include "platform/bridge/protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tqm/wire.h"

namespace tqm::bridge {
namespace {

Message Sample(MessageType type, size_t payload) {
  Message m;
  m.type = type;
  m.sequence = 0x01020304;
  m.status = 0xC0000005;
  for (int i = 0; i < 4; ++i) m.a[i] = 0x1111111111111111ull * uint64_t(i + 1);
  for (size_t i = 0; i < payload; ++i) m.payload.push_back(uint8_t(i * 7));
  return m;
}

void ExpectSame(const Message& a, const Message& b) {
  EXPECT_EQ(uint32_t(a.type), uint32_t(b.type));
  EXPECT_EQ(a.sequence, b.sequence);
  EXPECT_EQ(a.status, b.status);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.a[i], b.a[i]) << "argument " << i;
  EXPECT_EQ(a.payload, b.payload);
}

TEST(BridgeProtocol, HeaderIsTypeLengthSequenceLittleEndian) {
  const std::vector<uint8_t> frame = Encode(Sample(MessageType::Control, 128));
  ASSERT_EQ(frame.size(), kFixedBytes + 128);
  EXPECT_EQ(LoadLe32(frame.data()), uint32_t(MessageType::Control));
  EXPECT_EQ(LoadLe32(frame.data() + 4), kFixedBytes + 128);
  EXPECT_EQ(LoadLe32(frame.data() + 8), 0x01020304u);
  EXPECT_EQ(LoadLe32(frame.data() + 12), 0xC0000005u);
  EXPECT_EQ(LoadLe64(frame.data() + 16), 0x1111111111111111ull);
}

TEST(BridgeProtocol, EveryTypeRoundTripsAtItsLimit) {
  const MessageType types[] = {
      MessageType::Hello,       MessageType::InterfacePath, MessageType::Open,          MessageType::Control,
      MessageType::Close,       MessageType::WatchInterfaces, MessageType::Machine,     MessageType::Heartbeat,
      MessageType::HidInfo,     MessageType::Io,            MessageType::CancelIo,      MessageType::PeriodWait,
      MessageType::IoDone,      MessageType::Query,         MessageType::DriverStore,
      MessageType::Read,        MessageType::Write,         MessageType::Map,           MessageType::Unmap,
      MessageType::ReferenceEvent, MessageType::Signal,     MessageType::ReleaseEvent,  MessageType::DeviceChange,
      MessageType::Reply,       MessageType::CallbackReply, MessageType::Endpoint, MessageType::EndpointChange};
  for (MessageType type : types) {
    SCOPED_TRACE(uint32_t(type));
    const Message m = Sample(type, PayloadLimit(type));
    const std::vector<uint8_t> frame = Encode(m);
    ASSERT_FALSE(frame.empty());
    // Each frame is written whole in one write below 4 KiB.
    EXPECT_LE(frame.size(), kMaxFrameBytes);
    Message back;
    size_t used = 0;
    ASSERT_EQ(Decode(frame.data(), frame.size(), &back, &used), DecodeResult::Complete);
    EXPECT_EQ(used, frame.size());
    ExpectSame(m, back);
  }
}

TEST(BridgeProtocol, EncodeRefusesPayloadsTheirTypeCannotCarry) {
  EXPECT_TRUE(Encode(Sample(MessageType::Close, 1)).empty());           // no payload at all
  EXPECT_TRUE(Encode(Sample(MessageType::Reply, kMaxPayload + 1)).empty());  // beyond one frame
  EXPECT_TRUE(Encode(Sample(MessageType::Open, 3)).empty());            // half a UTF-16 unit
  Message unknown = Sample(MessageType::Reply, 0);
  unknown.type = MessageType(0x7777);
  EXPECT_TRUE(Encode(unknown).empty());
}

// Each row is a frame changed one way; the reason a decoder must refuse it.
TEST(BridgeProtocol, MalformedFramesAreRefusedAsSoonAsTheyShow) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
    size_t keep;  // bytes of the spoiled frame handed to the decoder (0 = all)
  };
  const Case cases[] = {
      {"unknown type, judged from its first four bytes", [](auto& f) { StoreLe32(f.data(), 0x99); }, 4},
      {"type zero", [](auto& f) { StoreLe32(f.data(), 0); }, 0},
      {"length shorter than the fixed part", [](auto& f) { StoreLe32(f.data() + 4, kFixedBytes - 1); }, 8},
      {"length beyond the type's payload", [](auto& f) { StoreLe32(f.data() + 4, kFixedBytes + 17); }, 8},
      {"length beyond any frame", [](auto& f) { StoreLe32(f.data() + 4, 0xFFFFFFFF); }, 8},
      {"odd length for a path", [](auto& f) {
         StoreLe32(f.data(), uint32_t(MessageType::Open));
         StoreLe32(f.data() + 4, kFixedBytes + 5);
       }, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> frame = Encode(Sample(MessageType::InterfacePath, kGuidBytes));
    c.spoil(frame);
    Message m;
    size_t used = 0;
    EXPECT_EQ(Decode(frame.data(), c.keep ? c.keep : frame.size(), &m, &used), DecodeResult::Malformed);
  }
}

TEST(BridgeProtocol, PartialFramesNeedMore) {
  const std::vector<uint8_t> frame = Encode(Sample(MessageType::Write, 100));
  for (size_t cut : {size_t(0), size_t(3), size_t(8), size_t(kFixedBytes), frame.size() - 1}) {
    Message m;
    size_t used = 0;
    EXPECT_EQ(Decode(frame.data(), cut, &m, &used), DecodeResult::NeedMore) << "cut at " << cut;
  }
}

TEST(BridgeProtocol, FrameReaderCutsAStreamFedInAnyPieces) {
  std::vector<uint8_t> stream;
  std::vector<Message> sent;
  for (uint32_t i = 0; i < 40; ++i) {
    Message m = Sample(i % 2 ? MessageType::Write : MessageType::CallbackReply, (i * 97) % 300);
    ASSERT_FALSE(Encode(m).empty()) << i;
    m.sequence = i;
    const std::vector<uint8_t> f = Encode(m);
    stream.insert(stream.end(), f.begin(), f.end());
    sent.push_back(m);
  }
  for (size_t piece : {size_t(1), size_t(5), size_t(48), size_t(1000), stream.size()}) {
    SCOPED_TRACE(piece);
    FrameReader reader;
    std::vector<Message> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.Feed(stream.data() + at, std::min(piece, stream.size() - at));
      Message m;
      while (reader.Next(&m) == DecodeResult::Complete) got.push_back(m);
    }
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < got.size(); ++i) ExpectSame(sent[i], got[i]);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(BridgeProtocol, FrameReaderStaysMalformedAfterGarbage) {
  FrameReader reader;
  const uint8_t garbage[] = {0xEE, 0xEE, 0xEE, 0xEE, 0, 0, 0, 0};
  reader.Feed(garbage, sizeof garbage);
  Message m;
  EXPECT_EQ(reader.Next(&m), DecodeResult::Malformed);
  const std::vector<uint8_t> good = Encode(Sample(MessageType::Close, 0));
  reader.Feed(good.data(), good.size());
  EXPECT_EQ(reader.Next(&m), DecodeResult::Malformed);
}

TEST(BridgeProtocol, PathsCrossAsUtf16WhateverTheWidthOfWchar) {
  const std::wstring path = L"\\\\?\\USB#VID_1D27&PID_0127#5&1#{a}";
  const std::vector<uint8_t> bytes = PathBytes(path);
  ASSERT_EQ(bytes.size(), path.size() * 2);
  EXPECT_EQ(bytes[0], '\\');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(PathFromBytes(bytes), path);
}

}  // namespace
}  // namespace tqm::bridge
