// The in-process COM server around the driver object: the library's counts,
// the aggregation-capable `CUnknown` base, `CClassFactory` and the class
// table. Kept thin: every IASIO call lands in `AsioDirectSound`.
//
// Counts: every live `CUnknown` and every LockServer(TRUE) keeps the library
// loaded (DllCanUnloadNow). Object reference counts are interlocked; the
// factory's own count is plain, as hosts use a factory from one thread.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "tqm/identity.h"
#include "tqm/win32/interface_table.h"

namespace tqmasio {

// The library's module handle, counts and critical section (made at load).
struct Library {
  static HMODULE module();
  static void ObjectCreated();
  static void ObjectDestroyed();
  static LONG objects();
  static void Lock(bool lock);
  static LONG locks();
  static CRITICAL_SECTION* section();
};

using tqm::win32::ToGuid;

// The unknown that owns the object's life. Its first three slots have
// IUnknown's shape, so a pointer to it is handed out as the non-delegating
// IUnknown of an aggregated object.
class INonDelegatingUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CBaseObject {
 public:
  explicit CBaseObject(const char* name) : name_(name) { Library::ObjectCreated(); }
  virtual ~CBaseObject() { Library::ObjectDestroyed(); }
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;
  const char* name() const { return name_; }

 private:
  const char* name_;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // `outer` is the aggregating object's unknown, or null for a plain object.
  CUnknown(const char* name, IUnknown* outer);
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  IUnknown* outer() const { return outer_; }
  IUnknown* nonDelegating() { return reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)); }

 private:
  IUnknown* outer_;
  volatile LONG references_ = 0;
};

// One class of the server.
struct ClassEntry {
  const wchar_t* displayName;
  GUID classId;
  CUnknown* (*create)(IUnknown* outer, HRESULT* hr);
};

class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const ClassEntry* entry) : entry_(entry) {}
  virtual ~CClassFactory() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  const ClassEntry* entry_;
  ULONG references_ = 0;
};

// The creation function of the driver class (asio_driver.cpp).
CUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* hr);

}  // namespace tqmasio
