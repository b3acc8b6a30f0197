// Host services on Linux: a memfd arena, page protection, symbol names and
// stack traces (os.h).
#include "platform/kernel/os.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <execinfo.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define TQM_HAVE_SANITIZER_STACK 1
#endif

namespace tqm::kernel::os {

void* CreateArena(size_t bytes, intptr_t* handle) {
  const int fd = memfd_create("tqm-pool", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, off_t(bytes)) != 0) {
    close(fd);
    return nullptr;
  }
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
  if (base == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  *handle = fd;
  return base;
}

void DestroyArena(void* base, size_t bytes, intptr_t handle) {
  munmap(base, bytes);
  close(int(handle));
}

void* MapArena(intptr_t handle, size_t offset, size_t bytes, void* at) {
  void* view = mmap(at, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | (at ? MAP_FIXED : 0),
                    int(handle), off_t(offset));
  return view == MAP_FAILED ? nullptr : view;
}

void* ReserveView(size_t bytes) {
  void* view = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void UnmapView(void* base, size_t bytes) { munmap(base, bytes); }

void ProtectNone(void* address, size_t bytes) { mprotect(address, bytes, PROT_NONE); }

void* AllocateUser(size_t bytes) {
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

void Retire(void* base, size_t bytes, bool) {
  mmap(base, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
}

void ReleaseRetired(void* base, size_t bytes) { munmap(base, bytes); }

void ProtectReadWrite(void* address, size_t bytes) {
  mprotect(address, bytes, PROT_READ | PROT_WRITE);
}

bool RaiseToRealTime(int level, std::string* refusal) {
  sched_param param{};
  param.sched_priority = std::min(sched_get_priority_min(SCHED_FIFO) + level, sched_get_priority_max(SCHED_FIFO));
  const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (error == 0) return true;
  if (refusal) *refusal = std::string("SCHED_FIFO ") + std::to_string(param.sched_priority) + ": " + std::strerror(error);
  return false;
}

std::string SymbolName(const void* address) {
  char text[64];
  Dl_info info{};
  if (dladdr(address, &info) && info.dli_sname) {
    std::snprintf(text, sizeof text, "+0x%zx",
                  size_t(static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr)));
    return std::string(info.dli_sname) + text;
  }
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

void PrintStack() {
#if defined(TQM_HAVE_SANITIZER_STACK)
  __sanitizer_print_stack_trace();
#else
  void* frames[32];
  const int n = backtrace(frames, 32);
  backtrace_symbols_fd(frames, n, 2);
#endif
}

}  // namespace tqm::kernel::os
