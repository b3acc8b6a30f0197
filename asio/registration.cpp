// Self-registration, as the installer runs it (regsvr32): the class's
// in-process server under HKCR\CLSID and the driver's entry in the list
// ASIO hosts read, HKLM\SOFTWARE\ASIO\<driver name>. The server path is the
// loaded library's own, so the entry always names the file that was run.
#include <windows.h>
#include <olectl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "asio/com_frame.h"
#include "tqm/identity.h"

namespace tqmasio {
namespace {

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

std::wstring ClassIdText() {
  const tqm::Guid128& g = tqm::kAsioClassId;
  wchar_t text[40];
  swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(g.data1),
           g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
           g.data4[7]);
  return text;
}

LONG SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          DWORD((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

std::wstring ClassKey() { return L"CLSID\\" + ClassIdText(); }
std::wstring DriverKey() { return L"SOFTWARE\\ASIO\\" + Widen(tqm::kAsioDriverName); }

}  // namespace
}  // namespace tqmasio

using namespace tqmasio;

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(Library::module(), path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  const std::wstring name = Widen(tqm::kAsioDriverName);
  const LONG results[] = {
      SetText(HKEY_CLASSES_ROOT, ClassKey(), nullptr, Widen(tqm::kAsioClassName)),
      SetText(HKEY_CLASSES_ROOT, ClassKey() + L"\\InprocServer32", nullptr, path),
      SetText(HKEY_CLASSES_ROOT, ClassKey() + L"\\InprocServer32", L"ThreadingModel", L"Both"),
      SetText(HKEY_LOCAL_MACHINE, DriverKey(), L"CLSID", ClassIdText()),
      SetText(HKEY_LOCAL_MACHINE, DriverKey(), L"Description", name),
  };
  for (LONG r : results)
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const LONG a = RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str());
  const LONG b = RegDeleteTreeW(HKEY_LOCAL_MACHINE, DriverKey().c_str());
  for (LONG r : {a, b})
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(r);
  return S_OK;
}
