// Library entry points, the class table, the class factory and CUnknown.
#include "asio/com_frame.h"

#include <mmsystem.h>

#include <new>

namespace tqmasio {
namespace {

HMODULE g_module = nullptr;
volatile LONG g_objects = 0;
volatile LONG g_locks = 0;
CRITICAL_SECTION g_section;

const ClassEntry kClasses[] = {
    {L"Asio 2.0", ToGuid(tqm::kAsioClassId), CreateAsioDriver},
};

}  // namespace

HMODULE Library::module() { return g_module; }
void Library::ObjectCreated() { InterlockedIncrement(&g_objects); }
void Library::ObjectDestroyed() { InterlockedDecrement(&g_objects); }
LONG Library::objects() { return g_objects; }
void Library::Lock(bool lock) {
  if (lock)
    InterlockedIncrement(&g_locks);
  else
    InterlockedDecrement(&g_locks);
}
LONG Library::locks() { return g_locks; }
CRITICAL_SECTION* Library::section() { return &g_section; }

// ---- CUnknown ----------------------------------------------------------------

CUnknown::CUnknown(const char* name, IUnknown* outer)
    : CBaseObject(name), outer_(outer ? outer : nonDelegating()) {}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *out = nonDelegating();
    NonDelegatingAddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
  const LONG count = InterlockedIncrement(&references_);
  return count > 1 ? ULONG(count) : 1;
}

ULONG CUnknown::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&references_);
  if (count == 0) {
    // A stray Release from the destructor's own work must not delete twice.
    references_ = 1;
    delete this;
    return 0;
  }
  return count > 1 ? ULONG(count) : 1;
}

// ---- CClassFactory -------------------------------------------------------------

HRESULT CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() { return ++references_; }

ULONG CClassFactory::Release() {
  const ULONG count = --references_;
  if (count == 0) delete this;
  return count;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // An aggregated object hands its outer object only its own unknown.
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
  HRESULT hr = S_OK;
  CUnknown* object = entry_->create(outer, &hr);
  if (!object) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(iid, out);
  object->NonDelegatingRelease();
  return hr;
}

HRESULT CClassFactory::LockServer(BOOL lock) {
  Library::Lock(lock != FALSE);
  return S_OK;
}

}  // namespace tqmasio

using namespace tqmasio;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(module);
      g_module = module;
      InitializeCriticalSection(&g_section);
      // timeGetTime stamps of the period thread are 1 ms accurate for the
      // library's whole life.
      timeBeginPeriod(1);
      break;
    case DLL_PROCESS_DETACH:
      timeEndPeriod(1);
      DeleteCriticalSection(&g_section);
      break;
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  for (const ClassEntry& entry : kClasses) {
    if (!IsEqualCLSID(clsid, entry.classId)) continue;
    auto* factory = new (std::nothrow) CClassFactory(&entry);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return Library::locks() > 0 || Library::objects() > 0 ? S_FALSE : S_OK;
}
