// Wide and narrow formatting with the Windows conversion rules, as the driver
// builds identifier strings and debug lines.
#include <ntstrsafe.h>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

TEST(Format, WideFormatFollowsWindowsRules) {
  struct Row {
    const char* why;
    std::function<NTSTATUS(WCHAR*, size_t)> format;
    const wchar_t* expected;
  };
  const Row rows[] = {
      // %ws is a wide string in every format.
      {"%ws", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"ORU\\%ws", L"TQM27_01"); },
       L"ORU\\TQM27_01"},
      // In a wide format %s is wide too (the C library would read it as narrow).
      {"%s in a wide format", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"<%s>", L"wide"); },
       L"<wide>"},
      // %S and %hs are narrow in a wide format.
      {"%S and %hs",
       [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%S/%hs", "narrow", "short"); },
       L"narrow/short"},
      // Zero-padded fields, as instance identifiers use them.
      {"%02d and %04d", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%02d-%04d", 1, 1); },
       L"01-0001"},
      {"%04d with more digits", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%04d", 123456); },
       L"123456"},
      {"negative, zero padded", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%05d", -42); },
       L"-0042"},
      // `l` is 32 bits on Windows; I64 is 64.
      {"%lu and %I64d",
       [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%lu %I64d", ULONG(4000000000u), LONG64(-5000000000LL)); },
       L"4000000000 -5000000000"},
      {"hex", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%x %X %08X", 0xab, 0xab, 0x1F0000); },
       L"ab AB 001F0000"},
      {"%c and %%", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"%c%%", L'Q'); }, L"Q%"},
      {"width and left alignment", [](WCHAR* d, size_t n) { return RtlStringCchPrintfW(d, n, L"[%-4d|%4d]", 7, 7); },
       L"[7   |   7]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    WCHAR buffer[64];
    EXPECT_EQ(row.format(buffer, 64), STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), row.expected);
  }
}

TEST(Format, TruncatesSafelyAndRefusesAnEmptyBuffer) {
  WCHAR buffer[6];
  wmemset(buffer, L'#', 6);
  // Five characters and the terminator fit; the rest is cut and reported.
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 6, L"%ws", L"0123456789"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::wstring(buffer), L"01234");
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], L'0') << "a refused call writes nothing";
}

TEST(Format, DebugOutputIsCapturedPerMachineWithComponentAndLevel) {
  Machine machine;
  DbgPrintEx(DPFLTR_IHVAUDIO_ID, 0, "Cntr %s\n", "DriverUnload");
  DbgPrintEx(DPFLTR_IHVAUDIO_ID, 3, "%ws=%d\n", L"rate", 44100);
  const auto lines = machine.DebugOutput();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].component, ULONG(DPFLTR_IHVAUDIO_ID));
  EXPECT_EQ(lines[0].level, 0u);
  EXPECT_EQ(lines[0].text, "Cntr DriverUnload\n");
  EXPECT_EQ(lines[1].level, 3u);
  EXPECT_EQ(lines[1].text, "rate=44100\n");
}

}  // namespace
}  // namespace tqm::kernel::testing
