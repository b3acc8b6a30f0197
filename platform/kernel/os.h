// What the simulated kernel needs from the host system: the shared-memory
// arena behind pool, page protection, symbol names and stack traces for
// verifier reports. os_posix.cpp and os_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tqm::kernel::os {

// Creates a shared-memory object of `bytes` and maps it; *handle identifies it.
void* CreateArena(size_t bytes, intptr_t* handle);
void DestroyArena(void* base, size_t bytes, intptr_t handle);
// Maps `bytes` of the arena from `offset` at a new address (at `at` when not null,
// replacing what was mapped there).
void* MapArena(intptr_t handle, size_t offset, size_t bytes, void* at);
// Reserves `bytes` of address space for a view assembled page by page.
void* ReserveView(size_t bytes);
void UnmapView(void* base, size_t bytes);
void ProtectNone(void* address, size_t bytes);
// User memory of a simulated process: readable and writable pages; null on failure.
void* AllocateUser(size_t bytes);
// Makes a user buffer (view = false) or a view of the arena (view = true)
// inaccessible while keeping its addresses reserved, so that nothing else is
// placed there; ReleaseRetired gives the addresses back.
void Retire(void* base, size_t bytes, bool view);
void ReleaseRetired(void* base, size_t bytes);
void ProtectReadWrite(void* address, size_t bytes);

// Gives the calling thread a real-time scheduling priority `level` steps above
// the lowest real-time one. False, with the host's reason, when it refuses.
bool RaiseToRealTime(int level, std::string* refusal);

std::string SymbolName(const void* address);
void PrintStack();

}  // namespace tqm::kernel::os
