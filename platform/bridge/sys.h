// The platform as user-mode code sees it: every call that touches the
// machine goes through `sys::`.
//
// Product builds: `sys::X` is the Win32 `X`. Simulator builds (TQM_SIMULATOR
// defined, linked with tqmsim.dll): the calls that reach the device — the
// SetupDi enumeration of interface classes, CreateFileW, DeviceIoControl and
// CloseHandle on interface paths, device-interface notifications — go to the
// simulated machine over the bridge; everything else, and every handle that
// is not the bridge's, passes to Win32. The handles the bridge gives out are
// real Win32 handles it owns, so they never collide with the process's own.
// Failures set the last error as Windows does (an NT status becomes its Win32
// error the way Windows converts it).
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <dbt.h>

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
TQM_SYS_API HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile);
TQM_SYS_API BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                 DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped);
TQM_SYS_API BOOL CloseHandle(HANDLE handle);
TQM_SYS_API HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
TQM_SYS_API BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

}  // namespace sys

#else

namespace sys {
using ::CloseHandle;
using ::CreateFileW;
using ::DeviceIoControl;
using ::RegisterDeviceNotificationW;
using ::SetupDiDestroyDeviceInfoList;
using ::SetupDiEnumDeviceInterfaces;
using ::SetupDiGetClassDevsW;
using ::SetupDiGetDeviceInterfaceDetailW;
using ::UnregisterDeviceNotification;
}  // namespace sys

#endif

// The rest of Win32 that user mode uses beside them is the same in both builds.
namespace sys {
using ::CreateEventW;
using ::ResetEvent;
using ::SetEvent;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;
}  // namespace sys
