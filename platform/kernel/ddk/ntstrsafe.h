// Bounded wide formatting with the Windows conversion rules: in a wide format
// %s and %ws take a wide string, %S and %hs a narrow one, %c a wide character,
// `l` means 32 bits, and %I64 a 64-bit integer.
#pragma once
#include <stdarg.h>
#include <wdm.h>

typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;
typedef CHAR* NTSTRSAFE_PSTR;
typedef const CHAR* NTSTRSAFE_PCSTR;
#define NTSTRSAFE_MAX_CCH 2147483647

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList);
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
#ifdef __cplusplus
}
#endif
