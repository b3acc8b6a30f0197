// Object headers, reference counts and the kernel handle table.
//
// A body is valid from CreateObject until its last reference goes; the
// destroy function of its type then runs and the block is freed. The handle
// table holds one reference per handle. Handles carry the kernel-handle bit,
// as handles made with OBJ_KERNEL_HANDLE do.
#include <cstdlib>
#include <new>

#include "platform/kernel/internal.h"

namespace tqm::kernel {

void* CreateObject(ObjectType type, size_t bodySize, void (*destroy)(ObjectHeader*)) {
  void* block = ::operator new(kObjectHeaderSize + bodySize, std::align_val_t(16));
  auto* header = new (block) ObjectHeader;
  header->type = type;
  header->destroy = destroy;
  header->bodySize = bodySize;
  void* body = BodyOf(header);
  memset(body, 0, bodySize);
  return body;
}

ObjectHeader* HeaderOf(const void* body) {
  if (!body) return nullptr;
  auto* header = reinterpret_cast<ObjectHeader*>(const_cast<char*>(static_cast<const char*>(body)) -
                                                 kObjectHeaderSize);
  return header->magic == ObjectHeader::kMagic ? header : nullptr;
}

void ReferenceObject(void* body) {
  ObjectHeader* header = HeaderOf(body);
  if (!header) {
    RaiseFault(FaultKind::ObjectMisuse, "ObReferenceObject on something that is not an object",
          __builtin_return_address(0));
    return;
  }
  header->references.fetch_add(1);
}

void DereferenceObject(void* body) {
  ObjectHeader* header = HeaderOf(body);
  if (!header) {
    RaiseFault(FaultKind::ObjectMisuse, "ObDereferenceObject on something that is not an object",
          __builtin_return_address(0));
    return;
  }
  const int64_t left = header->references.fetch_sub(1) - 1;
  if (left < 0) {
    RaiseFault(FaultKind::ObjectMisuse, "object dereferenced more often than referenced",
          __builtin_return_address(0));
    return;
  }
  if (left == 0) {
    if (header->destroy) header->destroy(header);
    header->magic = 0;
    header->~ObjectHeader();
    ::operator delete(header, std::align_val_t(16));
  }
}

ObjectTable::~ObjectTable() {
  for (auto& [handle, body] : handles_) DereferenceObject(body);
}

HANDLE ObjectTable::Insert(void* body) {
  ReferenceObject(body);
  std::lock_guard lock(mu_);
  auto handle = reinterpret_cast<HANDLE>(uintptr_t(0xFFFFFFFF80000000ULL) | (next_++ << 2));
  handles_[handle] = body;
  if (PDRIVER_OBJECT driver = CurrentDriver()) owners_[handle] = driver;
  return handle;
}

size_t ObjectTable::HandlesOf(PDRIVER_OBJECT driver) const {
  std::lock_guard lock(mu_);
  size_t n = 0;
  for (const auto& [handle, owner] : owners_) n += owner == driver ? 1 : 0;
  return n;
}

void* ObjectTable::ReferenceAny(HANDLE handle) {
  std::lock_guard lock(mu_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return nullptr;
  ReferenceObject(it->second);
  return it->second;
}

void* ObjectTable::Reference(HANDLE handle, ObjectType type) {
  std::lock_guard lock(mu_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || HeaderOf(it->second)->type != type) return nullptr;
  ReferenceObject(it->second);
  return it->second;
}

NTSTATUS ObjectTable::Close(HANDLE handle) {
  void* body;
  {
    std::lock_guard lock(mu_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return STATUS_INVALID_HANDLE;
    body = it->second;
    handles_.erase(it);
    owners_.erase(handle);
  }
  DereferenceObject(body);
  return STATUS_SUCCESS;
}

size_t ObjectTable::HandleCount() const {
  std::lock_guard lock(mu_);
  return handles_.size();
}

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

LONG_PTR ObfReferenceObject(PVOID Object) {
  RequireIrql(DISPATCH_LEVEL, "ObReferenceObject", __builtin_return_address(0));
  ReferenceObject(Object);
  ObjectHeader* header = HeaderOf(Object);
  return header ? LONG_PTR(header->references.load()) : 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  RequireIrql(DISPATCH_LEVEL, "ObDereferenceObject", __builtin_return_address(0));
  ObjectHeader* header = HeaderOf(Object);
  const LONG_PTR left = header ? LONG_PTR(header->references.load()) - 1 : 0;
  if (header) Machine::Current().NoteDereference(CurrentDriver(), Object);
  DereferenceObject(Object);
  return left;
}

NTSTATUS ZwClose(HANDLE Handle) {
  RequireIrql(PASSIVE_LEVEL, "ZwClose", __builtin_return_address(0));
  return Machine::Current().objects().Close(Handle);
}

}  // extern "C"
