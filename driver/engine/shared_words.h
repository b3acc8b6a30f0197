// Words of the DeviceStatusBlock are shared: the engine writes them from its
// completion routines and its configuration path, commands read them on
// client threads, and clients read and write them through their mappings.
// Each word is therefore read and written whole as a relaxed atomic (a plain
// aligned move on x64), never cached in a register and never torn.
#pragma once

#include <stdint.h>

namespace engine {

inline void WriteShared(uint32_t* word, uint32_t value) { __atomic_store_n(word, value, __ATOMIC_RELAXED); }
inline uint32_t ReadShared(const uint32_t* word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }

}  // namespace engine
