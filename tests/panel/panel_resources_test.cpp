// The resources of the shipped TQMPanel.exe, read from the image as data:
// the seven texts, menu 118 with every command, dialog 119, the icons, the
// named pictures and the manifest, and the image's subsystem.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "panel/resource_ids.h"

namespace {

class PanelImage : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    p = p.substr(0, p.find_last_of(L"\\/") + 1) + L"TQMPanel.exe";
    image_ = LoadLibraryExW(p.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image_, nullptr) << "TQMPanel.exe beside the test";
  }
  void TearDown() override {
    if (image_) FreeLibrary(image_);
  }
  std::wstring Text(UINT id) {
    wchar_t text[256] = {};
    LoadStringW(image_, id, text, 256);
    return text;
  }
  HMODULE image_ = nullptr;
};

TEST_F(PanelImage, StringTableHoldsTheSevenTexts) {
  EXPECT_EQ(Text(1), L"TQM v3.3");
  EXPECT_EQ(Text(2), L"TQM27 Class");
  EXPECT_EQ(Text(3), L"Please *STOP* and *CLOSE* it and then try again");
  EXPECT_EQ(Text(4), L"Warning : Latency change failed !");
  EXPECT_EQ(Text(5), L"is running !");
  EXPECT_EQ(Text(6), L"Software\\ORU\\TQM27");
  EXPECT_EQ(Text(7),
            L"An application is using the driver at the moment. Please quit this application and then try again.");
}

// Menu text of an item by command id, found anywhere in the menu.
std::wstring ItemText(HMENU menu, UINT id) {
  wchar_t text[64] = {};
  GetMenuStringW(menu, id, text, 64, MF_BYCOMMAND);
  return text;
}

TEST_F(PanelImage, MenuHoldsEveryCommand) {
  HMENU menu = LoadMenuW(image_, MAKEINTRESOURCEW(IDM_PANEL));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 4);
  const wchar_t* bar[] = {L"&File", L"Config", L"IRoute", L"Help"};
  for (int i = 0; i < 4; ++i) {
    wchar_t text[32] = {};
    GetMenuStringW(menu, i, text, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(text), bar[i]) << i;
  }
  EXPECT_EQ(GetMenuItemID(menu, 2), UINT(IDM_IROUTE)) << "IRoute is a command on the bar";
  struct Row {
    UINT id;
    const wchar_t* text;
  };
  const Row rows[] = {
      {IDM_CLOSE_WINDOW, L"Close &Window\tALT-F4"}, {IDM_WINDOWS_AUDIO, L"Windows Audio Setup"}, {IDM_EXIT, L"E&xit"},
      {IDM_WHEEL_1, L"Step &1"}, {IDM_WHEEL_2, L"Step &2"}, {IDM_WHEEL_4, L"Step &4"}, {IDM_WHEEL_8, L"Step &8"},
      {IDM_LATENCY_64, L" 64"}, {IDM_LATENCY_96, L" 96"}, {IDM_LATENCY_128, L"128"}, {IDM_LATENCY_144, L"144"},
      {IDM_LATENCY_192, L"192"}, {IDM_LATENCY_240, L"240"}, {IDM_LATENCY_256, L"256"}, {IDM_LATENCY_288, L"288"},
      {IDM_FACTORY_DEFAULT, L"&Factory Default"}, {IDM_ALWAYS_ON_TOP, L"Always on &Top"},
      {IDM_LEVEL_METER, L"Show Levelmeter"}, {IDM_ABOUT, L"About"},
  };
  HMENU file = GetSubMenu(menu, 0);
  for (const Row& r : rows) {
    // Command 0 shares its id with nothing else but a separator's: look in the File menu by position.
    const std::wstring text =
        r.id == IDM_CLOSE_WINDOW ? [&] {
          wchar_t t[64] = {};
          GetMenuStringW(file, 0, t, 64, MF_BYPOSITION);
          return std::wstring(t);
        }()
                                 : ItemText(menu, r.id);
    EXPECT_EQ(text, r.text) << r.id;
  }
  for (UINT n = 2; n <= 9; ++n) EXPECT_EQ(ItemText(menu, IDM_BUFFERS_2 + n - 2), std::to_wstring(n)) << n;
  DestroyMenu(menu);
}

TEST_F(PanelImage, DialogIconsPicturesAndManifestArePresent) {
  EXPECT_NE(FindResourceW(image_, MAKEINTRESOURCEW(IDD_ABOUT), MAKEINTRESOURCEW(5)), nullptr) << "dialog 119";
  EXPECT_NE(FindResourceW(image_, MAKEINTRESOURCEW(IDI_PANEL), MAKEINTRESOURCEW(14)), nullptr) << "icon 113";
  EXPECT_NE(FindResourceW(image_, MAKEINTRESOURCEW(IDI_ABOUT), MAKEINTRESOURCEW(14)), nullptr) << "icon 129";
  EXPECT_NE(FindResourceW(image_, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)), nullptr) << "manifest";
  for (const wchar_t* name : {L"IDB_BACK1", L"IDB_FADER_OFF", L"IDB_FADER_ON", L"IDB_IN_MUTE_ON", L"IDB_IN_MUTE_OFF",
                              L"IDB_PEAK", L"IR_F", L"IR_JAK_N", L"IR_JAK_F"})
    EXPECT_NE(FindResourceW(image_, name, MAKEINTRESOURCEW(2)), nullptr) << "bitmap";
}

TEST_F(PanelImage, IsA64BitWindowsGuiProgram) {
  const auto* base = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(image_) & ~uintptr_t(3));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

// The shipped program reaches Core Audio through COM itself: the simulated
// machine's enumerator exists only in the simulator's build.
TEST_F(PanelImage, CoreAudioComesFromComAndNeverFromTheSimulator) {
  const auto* base = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(image_) & ~uintptr_t(3));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  std::vector<std::string> dlls, fromOle;
  for (const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); d->Name;
       ++d) {
    std::string dll = reinterpret_cast<const char*>(base + d->Name);
    for (char& c : dll) c = char(tolower(static_cast<unsigned char>(c)));
    dlls.push_back(dll);
    if (dll != "ole32.dll") continue;
    const DWORD names = d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk;
    for (const auto* t = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + names); t->u1.AddressOfData; ++t) {
      if (IMAGE_SNAP_BY_ORDINAL64(t->u1.Ordinal)) continue;
      fromOle.push_back(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + t->u1.AddressOfData)->Name);
    }
  }
  for (const std::string& dll : dlls) EXPECT_NE(dll, "tqmsim.dll");
  EXPECT_NE(std::find(fromOle.begin(), fromOle.end(), "CoCreateInstance"), fromOle.end());
  EXPECT_NE(std::find(fromOle.begin(), fromOle.end(), "CoInitializeEx"), fromOle.end());
}

}  // namespace
