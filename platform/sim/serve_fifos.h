// The fast path of one connection: a pair of named FIFOs in the server's
// directory, one for each direction.
//
// TCP carries the rendezvous: a client that asks for them in its Hello gets
// their paths in the reply, opens both, and sends FifoReady on its FIFO; from
// then on it sends on the FIFO only. The server answers with FifoSwitch as
// the last message on TCP and sends on its FIFO from then on. The socket
// stays open to the end: its close is how either side sees the other go.
//
// The server holds both FIFOs open for reading and writing, so its opens
// never wait for the client and a client that opens late never blocks; a
// frame is at most kMaxFrameBytes, below PIPE_BUF, so every write is whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tqm::sim {

class FifoPair {
 public:
  FifoPair() = default;
  FifoPair(const FifoPair&) = delete;
  FifoPair& operator=(const FifoPair&) = delete;
  ~FifoPair();

  // Makes and opens both FIFOs in `dir` for connection `number`. False (and
  // nothing left behind) when the directory does not take them.
  bool Create(const std::string& dir, uint32_t number);
  bool made() const { return up_ >= 0; }
  // The client writes `up` and reads `down`. Non-blocking descriptors.
  int up() const { return up_; }
  int down() const { return down_; }
  const std::string& upPath() const { return upPath_; }
  const std::string& downPath() const { return downPath_; }
  // The client has opened both: the names can go.
  void Unlink();

 private:
  int up_ = -1;
  int down_ = -1;
  std::string upPath_, downPath_;
  bool linked_ = false;
};

// Writes one whole frame to a non-blocking descriptor, waiting while the
// FIFO is full (a client that stopped reading). `gone` is asked between
// waits; true gives the write up.
bool WriteWhole(int fd, const uint8_t* data, size_t size, const std::function<bool()>& gone);

}  // namespace tqm::sim
