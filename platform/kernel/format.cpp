// Formatting with the Windows kernel's conversion rules, which differ from the
// host C library's: in a wide format %s takes a wide string and %S a narrow
// one (the other way round in a narrow format), %ws/%ls are always wide and
// %hs always narrow, %c/%C follow %s/%S, `l` is 32 bits, `ll` and `I64` are
// 64 bits, `I` and `z` are pointer sized. Used by RtlStringCchPrintfW and the
// debug print routines.
#include <cstdarg>
#include <cstdio>
#include <string>

#include <ntstrsafe.h>

#include "platform/kernel/internal.h"

namespace tqm::kernel {

namespace {

template <typename Char>
void AppendNarrow(std::basic_string<Char>* out, const char* text, size_t limit) {
  for (size_t i = 0; i < limit && text[i]; ++i) out->push_back(Char(static_cast<unsigned char>(text[i])));
}

template <typename Char>
void AppendWide(std::basic_string<Char>* out, const WCHAR* text, size_t limit) {
  for (size_t i = 0; i < limit && text[i]; ++i) {
    const auto unit = static_cast<uint32_t>(text[i]);
    if (sizeof(Char) == 1 && unit > 0xFF) {
      out->push_back(Char('?'));
    } else {
      out->push_back(Char(unit));
    }
  }
}

template <typename Char>
std::basic_string<Char> Format(const Char* format, va_list args) {
  const bool wideFormat = sizeof(Char) != 1;
  std::basic_string<Char> out;
  for (const Char* p = format; *p; ++p) {
    if (*p != Char('%')) {
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == Char('%')) {
      out.push_back(Char('%'));
      continue;
    }
    bool left = false, plus = false, space = false, zero = false, alternate = false;
    for (;; ++p) {
      if (*p == Char('-')) left = true;
      else if (*p == Char('+')) plus = true;
      else if (*p == Char(' ')) space = true;
      else if (*p == Char('0')) zero = true;
      else if (*p == Char('#')) alternate = true;
      else break;
    }
    int width = 0;
    if (*p == Char('*')) {
      width = va_arg(args, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++p;
    } else {
      while (*p >= Char('0') && *p <= Char('9')) width = width * 10 + int(*p++ - Char('0'));
    }
    int precision = -1;
    if (*p == Char('.')) {
      ++p;
      precision = 0;
      if (*p == Char('*')) {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= Char('0') && *p <= Char('9')) precision = precision * 10 + int(*p++ - Char('0'));
      }
    }
    // Size: 0 = default (32 bits), 'h' short/narrow, 'l' 32 bits/wide, 'w' wide,
    // 'L' 64 bits, 'P' pointer sized.
    char size = 0;
    if (*p == Char('h')) {
      size = 'h';
      ++p;
      if (*p == Char('h')) ++p;
    } else if (*p == Char('l')) {
      size = 'l';
      ++p;
      if (*p == Char('l')) {
        size = 'L';
        ++p;
      }
    } else if (*p == Char('w')) {
      size = 'w';
      ++p;
    } else if (*p == Char('z')) {
      size = 'P';
      ++p;
    } else if (*p == Char('I')) {
      if (p[1] == Char('6') && p[2] == Char('4')) {
        size = 'L';
        p += 3;
      } else if (p[1] == Char('3') && p[2] == Char('2')) {
        p += 3;
      } else {
        size = 'P';
        ++p;
      }
    }
    const Char conversion = *p;
    if (!conversion) break;
    std::basic_string<Char> field;
    bool numeric = false, negative = false;
    std::string digits;
    switch (char(conversion)) {
      case 's':
      case 'S':
      case 'Z': {
        const bool wideArgument = size == 'w' || size == 'l' ||
                                  (size != 'h' && ((conversion == Char('s')) == wideFormat));
        const size_t limit = precision < 0 ? SIZE_MAX : size_t(precision);
        if (wideArgument) {
          const WCHAR* text = va_arg(args, const WCHAR*);
          if (text) AppendWide(&field, text, limit);
          else AppendNarrow(&field, "(null)", limit);
        } else {
          const char* text = va_arg(args, const char*);
          AppendNarrow(&field, text ? text : "(null)", limit);
        }
        break;
      }
      case 'c':
      case 'C': {
        const int unit = va_arg(args, int);
        const bool wideArgument = size == 'w' || size == 'l' ||
                                  (size != 'h' && ((conversion == Char('c')) == wideFormat));
        const uint32_t value = wideArgument ? uint32_t(unit) : uint32_t(static_cast<unsigned char>(unit));
        field.push_back(sizeof(Char) == 1 && value > 0xFF ? Char('?') : Char(value));
        break;
      }
      case 'd':
      case 'i': {
        int64_t value;
        if (size == 'L') value = va_arg(args, long long);
        else if (size == 'P') value = va_arg(args, intptr_t);
        else value = va_arg(args, int);
        if (size == 'h') value = int16_t(value);
        numeric = true;
        negative = value < 0;
        const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
        digits = std::to_string(magnitude);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o':
      case 'p': {
        uint64_t value;
        if (conversion == Char('p') || size == 'P') value = va_arg(args, uintptr_t);
        else if (size == 'L') value = va_arg(args, unsigned long long);
        else value = va_arg(args, unsigned int);
        if (size == 'h') value = uint16_t(value);
        numeric = true;
        char buffer[32];
        if (conversion == Char('u')) std::snprintf(buffer, sizeof buffer, "%llu", (unsigned long long)value);
        else if (conversion == Char('o')) std::snprintf(buffer, sizeof buffer, "%llo", (unsigned long long)value);
        else if (conversion == Char('x')) std::snprintf(buffer, sizeof buffer, "%llx", (unsigned long long)value);
        else if (conversion == Char('X')) std::snprintf(buffer, sizeof buffer, "%llX", (unsigned long long)value);
        else std::snprintf(buffer, sizeof buffer, "%0*llX", int(2 * sizeof(void*)), (unsigned long long)value);
        digits = buffer;
        if (alternate && value != 0 && (conversion == Char('x') || conversion == Char('X'))) {
          digits = (conversion == Char('x') ? "0x" : "0X") + digits;
        }
        break;
      }
      default:
        // An unknown conversion is copied as it stands.
        field.push_back(Char('%'));
        field.push_back(conversion);
        break;
    }
    if (numeric) {
      if (precision >= 0) {
        zero = false;
        if (digits.size() < size_t(precision)) digits.insert(0, size_t(precision) - digits.size(), '0');
      }
      std::string sign = negative ? "-" : plus && conversion != Char('u') ? "+" : space ? " " : "";
      if (zero && !left && int(sign.size() + digits.size()) < width) {
        digits.insert(0, size_t(width) - sign.size() - digits.size(), '0');
      }
      AppendNarrow(&field, (sign + digits).c_str(), SIZE_MAX);
    }
    if (int(field.size()) < width) {
      const std::basic_string<Char> pad(size_t(width) - field.size(), Char(' '));
      field = left ? field + pad : pad + field;
    }
    out += field;
  }
  return out;
}

}  // namespace

std::string FormatNarrow(const char* format, va_list args) { return Format<char>(format, args); }

}  // namespace tqm::kernel

using namespace tqm::kernel;

extern "C" {

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || !pszDest) return STATUS_INVALID_PARAMETER;
  const std::basic_string<WCHAR> text = Format<WCHAR>(pszFormat, argList);
  const size_t copied = std::min(text.size(), cchDest - 1);
  memcpy(pszDest, text.data(), copied * sizeof(WCHAR));
  pszDest[copied] = 0;
  return copied < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...) {
  va_list args;
  va_start(args, pszFormat);
  const NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (!psz || cchMax > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t n = 0;
  while (n < cchMax && psz[n]) ++n;
  if (pcchLength) *pcchLength = n < cchMax ? n : 0;
  return n < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string text = FormatNarrow(Format, args);
  va_end(args);
  Machine::Current().AddDebugLine(ComponentId, Level, std::move(text));
  return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string text = FormatNarrow(Format, args);
  va_end(args);
  Machine::Current().AddDebugLine(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, std::move(text));
  return STATUS_SUCCESS;
}

}  // extern "C"
