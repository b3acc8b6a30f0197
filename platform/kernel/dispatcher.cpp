// Waits, deadlines and the running count of system threads (dispatcher.h).
#include "platform/kernel/dispatcher.h"

#include <algorithm>

#include "platform/kernel/interleave.h"

namespace tqm::kernel {

NTSTATUS Dispatcher::Wait(std::unique_lock<std::mutex>& lock, const void* key,
                          std::function<bool()> ready, int64_t deadline, bool tracked) {
  if (ready && ready()) return STATUS_SUCCESS;
  WaitBlock block;
  block.key = key;
  block.ready = std::move(ready);
  block.deadline = deadline;
  block.tracked = tracked;
  waiters_.push_back(&block);
  if (tracked && --running == 0) clockCv.notify_all();
  // A new deadline may come before the instant the clock is heading for.
  if (deadline != kNoDeadline) clockCv.notify_all();
  block.cv.wait(lock, [&] { return block.released; });
  return block.status;
}

void Dispatcher::SatisfyLocked(WaitBlock* block, NTSTATUS status) {
  block->satisfied = true;
  block->status = status;
  if (block->tracked) ++running;
  if (DeferWakes()) {
    deferred_.push_back(block);
    return;
  }
  block->released = true;
  block->cv.notify_one();
}

void Dispatcher::ReleaseDeferredLocked() {
  for (WaitBlock* block : deferred_) {
    block->released = true;
    block->cv.notify_one();
  }
  deferred_.clear();
}

void Dispatcher::KickLocked(const void* key) {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    WaitBlock* block = *it;
    if (block->key == key && block->ready && block->ready()) {
      it = waiters_.erase(it);
      SatisfyLocked(block, STATUS_SUCCESS);
    } else {
      ++it;
    }
  }
}

void Dispatcher::ExpireLocked(int64_t now) {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    WaitBlock* block = *it;
    if (block->deadline <= now) {
      it = waiters_.erase(it);
      SatisfyLocked(block, STATUS_TIMEOUT);
    } else {
      ++it;
    }
  }
}

int64_t Dispatcher::NextDeadlineLocked() const {
  int64_t next = kNoDeadline;
  for (const WaitBlock* block : waiters_) next = std::min(next, block->deadline);
  return next;
}

void Dispatcher::ThreadEndedLocked() {
  if (--running == 0) clockCv.notify_all();
}

}  // namespace tqm::kernel
