// The images as shipped, read the way Windows reads them: the PE checksum
// holds, no debug information is left in them, each names its debug file
// (which is beside it), each carries a signature, and each names the
// package's one version in its version resource.
#include <windows.h>
#include <imagehlp.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/package/inf_file.h"
#include "tqm/version.h"

namespace {

std::vector<std::string> Names() {
  std::vector<std::string> names;
  std::stringstream list(TQM_PACKAGE_IMAGE_NAMES);
  std::string name;
  while (std::getline(list, name, ','))
    if (!name.empty()) names.push_back(name);
  return names;
}

std::string Path(const std::string& name) { return std::string(TQM_PACKAGE_IMAGES_DIR) + "/" + name; }

std::vector<char> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ShippedImages, ChecksumStrippedLinkedAndSigned) {
  const std::vector<std::string> names = Names();
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string path = Path(name);
    DWORD stored = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumA(path.c_str(), &stored, &computed), DWORD(CHECKSUM_SUCCESS));
    EXPECT_NE(stored, 0u);
    EXPECT_EQ(stored, computed);

    const std::vector<char> image = Read(path);
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    ASSERT_EQ(nt->Signature, DWORD(IMAGE_NT_SIGNATURE));
    ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    const IMAGE_DATA_DIRECTORY& security = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    EXPECT_GT(security.Size, 0u) << "no signature";
    EXPECT_EQ(size_t(security.VirtualAddress) + security.Size, image.size()) << "the signature ends the file";
    // No symbols and no debug sections; a link to the debug file. Section
    // names longer than eight characters are "/offset" into the string
    // table that follows the (empty) symbol table.
    EXPECT_EQ(nt->FileHeader.NumberOfSymbols, 0u);
    const size_t strings = nt->FileHeader.PointerToSymbolTable;
    const auto* section = IMAGE_FIRST_SECTION(nt);
    bool link = false;
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
      std::string sectionName(reinterpret_cast<const char*>(section->Name),
                              strnlen(reinterpret_cast<const char*>(section->Name), 8));
      if (sectionName.size() > 1 && sectionName[0] == '/') {
        const size_t at = strings + strtoul(sectionName.c_str() + 1, nullptr, 10);
        ASSERT_TRUE(strings != 0 && at < image.size()) << sectionName;
        sectionName = std::string(image.data() + at);
      }
      EXPECT_NE(sectionName.rfind(".debug", 0), 0u) << "debug information left: " << sectionName;
      if (sectionName == ".gnu_debuglink") {
        ASSERT_LT(size_t(section->PointerToRawData), image.size());
        EXPECT_EQ(std::string(image.data() + section->PointerToRawData), name + ".debug");
        link = true;
      }
    }
    EXPECT_TRUE(link) << "no link to the debug file";
    EXPECT_GT(Read(Path(name + ".debug")).size(), image.size()) << "the debug file is missing or empty";
  }
}

// The INF's DriverVer version ("date,a.b.c.d"): the second field.
std::string InfDriverVersion() {
  const std::vector<char> text = Read(TQM_DRIVER_INF);
  const auto inf = tqm::package::InfFile::Parse(std::string(text.begin(), text.end()));
  const auto driverVer = inf.Values("Version", "DriverVer");
  return driverVer && driverVer->size() == 2 ? (*driverVer)[1] : std::string();
}

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), int(w.size()))));
  return w;
}

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; w && *w; ++w) s.push_back(*w < 0x80 ? char(*w) : '?');
  return s;
}

// One string of the resource's US English, Unicode table.
std::string VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* value = nullptr;
  UINT units = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &units) || !value) return "<missing>";
  return Narrow(static_cast<const wchar_t*>(value));
}

// Every image carries the version of the INF and of the build, in its fixed
// part (what Explorer and the driver store compare) and its texts.
TEST(ShippedImages, VersionResourceNamesTheOneVersion) {
  const std::string build = TQM_VERSION_TEXT;
  ASSERT_EQ(InfDriverVersion(), build) << "the INF's DriverVer and the build differ";
  struct Expected {
    const char* file;
    const char* description;
    DWORD type;
  };
  const Expected table[] = {
      {"TQMDRV.sys", "TQM27 Controller driver", VFT_DRV},  // the INF's driver description
      {"TQMAsio.dll", "TQM27 ASIO driver", VFT_DLL},
      {"TQMPanel.exe", "TQM27 control panel", VFT_APP},
  };
  const std::vector<std::string> names = Names();
  for (const Expected& image : table) {
    SCOPED_TRACE(image.file);
    if (std::find(names.begin(), names.end(), image.file) == names.end()) {
      ADD_FAILURE() << "not among the shipped images";
      continue;
    }
    const std::wstring path = Wide(Path(image.file));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource (error " << GetLastError() << ")";
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedBytes = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedBytes));
    ASSERT_TRUE(fixed && fixedBytes >= sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    char fileVersion[32], productVersion[32];
    std::snprintf(fileVersion, sizeof fileVersion, "%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16,
                  fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    std::snprintf(productVersion, sizeof productVersion, "%lu.%lu.%lu.%lu", fixed->dwProductVersionMS >> 16,
                  fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
                  fixed->dwProductVersionLS & 0xFFFF);
    EXPECT_EQ(fileVersion, build);
    EXPECT_EQ(productVersion, build);
    EXPECT_EQ(fixed->dwFileType, image.type);
    EXPECT_EQ(VersionString(block, L"FileVersion"), build);
    EXPECT_EQ(VersionString(block, L"ProductVersion"), build);
    EXPECT_EQ(VersionString(block, L"CompanyName"), "ORU");
    EXPECT_EQ(VersionString(block, L"ProductName"), "TQM27");
    EXPECT_EQ(VersionString(block, L"FileDescription"), image.description);
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), image.file);
  }
}

}  // namespace
