// The platform as user-mode code sees it: every call that touches the
// machine goes through `sys::`.
//
// Product builds: `sys::X` is the Win32 `X` (the HID calls from hid.dll).
// Simulator builds (TQM_SIMULATOR defined, linked with tqmsim.dll): the calls
// that reach a device — the SetupDi enumeration of interface classes (the
// driver's and the HID class), the driver store's device nodes and driver
// lists, CreateFileW, DeviceIoControl, ReadFile,
// WriteFile, CancelIo, GetOverlappedResult and CloseHandle on interface and
// HID paths, the HidD_/HidP_ calls, device-interface notifications — go to the
// simulated machine over the bridge; everything else, and every handle that
// is not the bridge's, passes to Win32. The handles the bridge gives out are
// real Win32 handles it owns, so they never collide with the process's own.
// The waits pass to Win32 too, after telling the machine when the handle is a
// period event it signals (so the machine's clock knows the period's work is
// done). CoCreateInstance of the audio device enumerator makes the machine's
// own Core Audio objects (its endpoints are the companion's); every other
// class goes to COM. Failures set the last error as Windows does (an NT
// status becomes its Win32 error the way Windows converts it).
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <dbt.h>
#include <objbase.h>
// mingw-w64's HID headers declare without C linkage.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#if defined(TQM_SIMULATOR)

#if defined(TQM_SYS_IMPLEMENTATION)
#define TQM_SYS_API __declspec(dllexport)
#else
#define TQM_SYS_API __declspec(dllimport)
#endif

namespace sys {

TQM_SYS_API HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
TQM_SYS_API BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* classGuid,
                                             DWORD index, PSP_DEVICE_INTERFACE_DATA data);
TQM_SYS_API BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                  PDWORD requiredSize, PSP_DEVINFO_DATA device);
TQM_SYS_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
// The driver store: the set's device nodes and the drivers that match them.
TQM_SYS_API BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
TQM_SYS_API BOOL SetupDiBuildDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD driverType);
TQM_SYS_API BOOL SetupDiEnumDriverInfoW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD driverType, DWORD index,
                                        PSP_DRVINFO_DATA_W data);
TQM_SYS_API BOOL SetupDiDestroyDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD driverType);
TQM_SYS_API HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile);
TQM_SYS_API BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                 DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped);
TQM_SYS_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped);
TQM_SYS_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
TQM_SYS_API BOOL CancelIo(HANDLE file);
TQM_SYS_API BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
TQM_SYS_API BOOL CloseHandle(HANDLE handle);
TQM_SYS_API HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
TQM_SYS_API BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

TQM_SYS_API void WINAPI HidD_GetHidGuid(LPGUID hidGuid);
TQM_SYS_API BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
TQM_SYS_API BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed);
TQM_SYS_API BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed);
TQM_SYS_API NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps);

TQM_SYS_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
TQM_SYS_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

TQM_SYS_API HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);

}  // namespace sys

#else

namespace sys {
using ::CancelIo;
using ::CloseHandle;
using ::CoCreateInstance;
using ::CreateFileW;
using ::DeviceIoControl;
using ::GetOverlappedResult;
using ::HidD_FreePreparsedData;
using ::HidD_GetAttributes;
using ::HidD_GetHidGuid;
using ::HidD_GetPreparsedData;
using ::HidP_GetCaps;
using ::ReadFile;
using ::RegisterDeviceNotificationW;
using ::SetupDiBuildDriverInfoList;
using ::SetupDiDestroyDeviceInfoList;
using ::SetupDiDestroyDriverInfoList;
using ::SetupDiEnumDeviceInfo;
using ::SetupDiEnumDriverInfoW;
using ::SetupDiEnumDeviceInterfaces;
using ::SetupDiGetClassDevsW;
using ::SetupDiGetDeviceInterfaceDetailW;
using ::UnregisterDeviceNotification;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;
using ::WriteFile;
}  // namespace sys

#endif

// The rest of Win32 that user mode uses beside them is the same in both builds.
namespace sys {
using ::CreateEventW;
using ::ResetEvent;
using ::SetEvent;
}  // namespace sys
