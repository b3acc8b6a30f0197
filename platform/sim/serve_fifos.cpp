// The named FIFOs of one connection; see serve_fifos.h.
#include "platform/sim/serve_fifos.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tqm::sim {

FifoPair::~FifoPair() {
  Unlink();
  if (up_ >= 0) ::close(up_);
  if (down_ >= 0) ::close(down_);
}

bool FifoPair::Create(const std::string& dir, uint32_t number) {
  if (made()) return true;
  const std::string base = dir + "/c" + std::to_string(number);
  upPath_ = base + ".up";
  downPath_ = base + ".down";
  // A leftover of an earlier server in the same directory is not ours.
  ::unlink(upPath_.c_str());
  ::unlink(downPath_.c_str());
  if (::mkfifo(upPath_.c_str(), 0600) != 0) return false;
  if (::mkfifo(downPath_.c_str(), 0600) != 0) {
    ::unlink(upPath_.c_str());
    return false;
  }
  linked_ = true;
  // Read and write on both: neither open waits for the client.
  up_ = ::open(upPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  down_ = ::open(downPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (up_ < 0 || down_ < 0) {
    if (up_ >= 0) ::close(up_);
    if (down_ >= 0) ::close(down_);
    up_ = down_ = -1;
    Unlink();
    return false;
  }
  return true;
}

void FifoPair::Unlink() {
  if (!linked_) return;
  linked_ = false;
  ::unlink(upPath_.c_str());
  ::unlink(downPath_.c_str());
}

bool WriteWhole(int fd, const uint8_t* data, size_t size, const std::function<bool()>& gone) {
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::write(fd, data + sent, size - sent);
    if (n > 0) {
      sent += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    if (gone()) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

}  // namespace tqm::sim
