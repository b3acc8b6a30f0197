// The images as shipped, read the way Windows reads them: the PE checksum
// holds, no debug information is left in them, each names its debug file
// (which is beside it), and each carries a signature.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

}  // namespace
