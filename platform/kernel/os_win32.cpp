// Host services on Windows (the simulator's build): a pagefile-backed file
// mapping as the arena, page protection, and plain addresses for reports (os.h).
#include "platform/kernel/os.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace tqm::kernel::os {

void* CreateArena(size_t bytes, intptr_t* handle) {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      DWORD(uint64_t(bytes) >> 32), DWORD(bytes), nullptr);
  if (!mapping) return nullptr;
  void* base = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
  if (!base) {
    CloseHandle(mapping);
    return nullptr;
  }
  *handle = reinterpret_cast<intptr_t>(mapping);
  return base;
}

void DestroyArena(void* base, size_t, intptr_t handle) {
  UnmapViewOfFile(base);
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void* MapArena(intptr_t handle, size_t offset, size_t bytes, void* at) {
  // Windows cannot place a view inside reserved space without placeholders:
  // only whole, contiguous views are made here.
  if (at) return nullptr;
  return MapViewOfFile(reinterpret_cast<HANDLE>(handle), FILE_MAP_ALL_ACCESS,
                       DWORD(uint64_t(offset) >> 32), DWORD(offset), bytes);
}

void* ReserveView(size_t) { return nullptr; }

void UnmapView(void* base, size_t) { UnmapViewOfFile(base); }

void ProtectNone(void* address, size_t bytes) {
  DWORD old;
  VirtualProtect(address, bytes, PAGE_NOACCESS, &old);
}

void* AllocateUser(size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Retire(void* base, size_t bytes, bool view) {
  if (view) {
    // A view cannot become a reservation in place: unmap it and reserve the
    // range again (another thread may have taken it in between; then the
    // address is simply unmapped).
    UnmapViewOfFile(base);
    VirtualAlloc(base, bytes, MEM_RESERVE, PAGE_NOACCESS);
  } else {
    VirtualFree(base, bytes, MEM_DECOMMIT);
  }
}

void ReleaseRetired(void* base, size_t) { VirtualFree(base, 0, MEM_RELEASE); }

void ProtectReadWrite(void* address, size_t bytes) {
  DWORD old;
  VirtualProtect(address, bytes, PAGE_READWRITE, &old);
}

bool RaiseToRealTime(int, std::string* refusal) {
  if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) return true;
  if (refusal) *refusal = "SetThreadPriority failed: " + std::to_string(GetLastError());
  return false;
}

std::string SymbolName(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

void PrintStack() {}

}  // namespace tqm::kernel::os

namespace tqm::kernel {
// The image's guarded call is an assembly scope with no record to consult.
bool InsideGuardedCall() { return true; }
}  // namespace tqm::kernel

// Raising on Windows is a real structured exception; the guarded call of the
// simulator's build is the kernel image's assembly scope.
extern "C" [[noreturn]] void ExRaiseStatus(int32_t Status) {
  RaiseException(DWORD(Status), EXCEPTION_NONCONTINUABLE, 0, nullptr);
  std::abort();
}
