// Fuzz target: the bridge's decoder, as the server's reader runs it on what a
// client sends. The input is cut into pieces whose sizes come from its first
// byte; every message the reader yields must encode back to the very bytes it
// came from, and once the reader calls the stream malformed it stays so.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/bridge/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tqm::bridge;
  if (size == 0) return 0;
  const size_t piece = size_t(data[0] % 64) + 1;
  ++data;
  --size;
  FrameReader reader;
  size_t consumed = 0;
  bool malformed = false;
  for (size_t at = 0; at < size; at += piece) {
    const size_t n = size - at < piece ? size - at : piece;
    reader.Feed(data + at, n);
    Message m;
    DecodeResult r;
    while ((r = reader.Next(&m)) == DecodeResult::Complete) {
      const std::vector<uint8_t> again = Encode(m);
      if (again.empty() || consumed + again.size() > size ||
          std::memcmp(again.data(), data + consumed, again.size()) != 0)
        std::abort();
      consumed += again.size();
    }
    if (r == DecodeResult::Malformed) malformed = true;
    if (malformed && r != DecodeResult::Malformed) std::abort();
  }
  return 0;
}
