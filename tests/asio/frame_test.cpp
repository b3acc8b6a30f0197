// The COM frame as hosts and the installer meet it: the class object, the
// factory, aggregation, the library's unload answer and self-registration.
#include <gtest/gtest.h>

#include <windows.h>

#include "tests/asio/asio_harness.h"
#include "tqm/identity.h"

namespace {

using namespace asiotest;

const GUID kOtherClass = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

struct ClassObjectRow {
  const char* what;
  bool ours;           // our class identifier, else another
  const IID* iid;
  bool nullOut;
  HRESULT expected;
};

class ClassObject : public ::testing::TestWithParam<ClassObjectRow> {};

TEST_P(ClassObject, AnswersAsTheServerTableSays) {
  const ClassObjectRow& row = GetParam();
  const GUID clsid = row.ours ? ClassId() : kOtherClass;
  void* out = reinterpret_cast<void*>(1);
  const HRESULT hr = Library::GetClassObject(clsid, *row.iid, row.nullOut ? nullptr : &out);
  EXPECT_EQ(hr, row.expected) << row.what;
  if (row.nullOut) return;
  if (SUCCEEDED(hr)) {
    ASSERT_NE(out, nullptr);
    static_cast<IUnknown*>(out)->Release();
  } else {
    EXPECT_EQ(out, nullptr) << row.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ClassObject, ::testing::Values(
    ClassObjectRow{"factory of our class", true, &IID_IClassFactory, false, S_OK},
    ClassObjectRow{"unknown of our class", true, &IID_IUnknown, false, S_OK},
    // The interface is checked before the class.
    ClassObjectRow{"another interface", true, &IID_IDispatch, false, E_NOINTERFACE},
    ClassObjectRow{"another class", false, &IID_IClassFactory, false, CLASS_E_CLASSNOTAVAILABLE},
    ClassObjectRow{"no out pointer", true, &IID_IClassFactory, true, E_POINTER}),
    RowWhat<::testing::TestParamInfo<ClassObjectRow>>);

IClassFactory* Factory() {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(Library::GetClassObject(ClassId(), IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  return factory;
}

TEST(ClassFactory, QueryInterfaceChecksItsOutPointerAndClearsOnRefusal) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  IUnknown* unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(factory));
  unknown->Release();
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ClassFactory, CreateInstanceInitialisesItsResult) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, ClassId(), nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  // Hosts ask for the class identifier as the interface.
  IASIO* driver = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, ClassId(), reinterpret_cast<void**>(&driver)), S_OK);
  ASSERT_NE(driver, nullptr);
  char name[64] = {};
  driver->getDriverName(name);
  EXPECT_STREQ(name, "ORU TQM27 ASIO DRIVER");
  EXPECT_EQ(driver->getDriverVersion(), 2);
  EXPECT_EQ(driver->Release(), 0u);
  factory->Release();
}

// An outer object that counts the references its inner object forwards.
struct Outer : IUnknown {
  LONG references = 1;
  IUnknown* inner = nullptr;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--references); }
};

TEST(Aggregation, OuterGetsTheInnerUnknownOnlyAndTheInterfaceDelegates) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  Outer outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, ClassId(), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  ASSERT_NE(outer.inner, nullptr);
  EXPECT_NE(outer.inner, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(Library::CanUnloadNow(), S_FALSE);

  // The inner unknown's QueryInterface does not delegate; the IASIO it gives
  // counts on the outer object.
  IASIO* driver = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(ClassId(), reinterpret_cast<void**>(&driver)), S_OK);
  EXPECT_EQ(outer.references, 2);
  driver->AddRef();
  EXPECT_EQ(outer.references, 3);
  // IASIO's QueryInterface for IUnknown is the outer object's.
  IUnknown* identity = nullptr;
  ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  driver->Release();
  driver->Release();
  EXPECT_EQ(outer.references, 1);
  // The inner unknown: null out pointer and unknown interfaces.
  EXPECT_EQ(outer.inner->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(outer.inner->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
  factory->Release();
}

TEST(Library, CanUnloadOnlyWithoutObjectsAndLocks) {
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(Library::CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
  IASIO* driver = CreateDriver();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(Library::CanUnloadNow(), S_FALSE);
  // Counts of the object are interlocked and never report below 1 while it lives.
  EXPECT_EQ(driver->AddRef(), 2u);
  EXPECT_EQ(driver->Release(), 1u);
  EXPECT_EQ(driver->Release(), 0u);
  EXPECT_EQ(Library::CanUnloadNow(), S_OK);
  factory->Release();
}

std::wstring ReadText(HKEY root, const wchar_t* path, const wchar_t* name) {
  wchar_t text[MAX_PATH] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) return L"(missing)";
  return text;
}

TEST(Registration, WritesTheEntriesHostsAndComRead) {
  ASSERT_EQ(Library::RegisterServer(), S_OK);
  const wchar_t* driverKey = L"SOFTWARE\\ASIO\\ORU TQM27 ASIO DRIVER";
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, driverKey, L"CLSID"), L"{F10D3474-B826-4CE8-B404-FB667F14F12F}");
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, driverKey, L"Description"), L"ORU TQM27 ASIO DRIVER");
  const wchar_t* server = L"CLSID\\{F10D3474-B826-4CE8-B404-FB667F14F12F}\\InprocServer32";
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, server, L"ThreadingModel"), L"Both");
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(Library::module(), path, MAX_PATH);
  EXPECT_EQ(lstrcmpiW(ReadText(HKEY_CLASSES_ROOT, server, nullptr).c_str(), path), 0);
  // COM finds the library through that entry.
  IASIO* driver = nullptr;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(CoCreateInstance(ClassId(), nullptr, CLSCTX_INPROC_SERVER, ClassId(), reinterpret_cast<void**>(&driver)),
            S_OK);
  driver->Release();
  CoUninitialize();
}

}  // namespace
