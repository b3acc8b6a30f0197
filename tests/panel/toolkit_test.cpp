// The toolkit's shared ground: class registration, the named-bitmap cache with
// its "NotFound" rule, background capture, the wheel step and "WNDBASE_CLASS".
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

#include <cwctype>
#include <string>

namespace tqm::widgets::testing {
namespace {

using BitmapCache = ControlTest;
using Toolkit = ControlTest;

TEST_F(BitmapCache, SecondRequestForANameReturnsTheCachedBitmap) {
  HBITMAP first = LoadBitmapByName(instance_, L"IDB_PEAK");
  ASSERT_NE(first, nullptr);
  // LoadBitmapW makes a new handle on every call: the same handle proves one load.
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_PEAK"), first);
  BITMAP info{};
  ASSERT_TRUE(GetObjectW(first, sizeof info, &info));
  EXPECT_EQ(info.bmWidth, 5);
  EXPECT_EQ(info.bmHeight, 145);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(BitmapCache, MissingNameShowsNotFoundOnceThenReturnsNullSilently) {
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_MISSING"), nullptr);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].owner, nullptr);
  EXPECT_EQ(Narrow(Boxes()[0].text), "IDB_MISSING");
  EXPECT_EQ(Narrow(Boxes()[0].caption), "NotFound");
  EXPECT_EQ(Boxes()[0].type, static_cast<UINT>(MB_OK));

  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_MISSING"), nullptr);
  EXPECT_EQ(Boxes().size(), 1u) << "the second request must not show the box again";
}

TEST_F(BitmapCache, NewNameTakesTheFailedEntryAndTheMissingNameIsReportedAgain) {
  // SetUp cached "IDB_BACK1" in entry 0; the failed name takes entry 1 with a null
  // handle, which counts as free: the next new name takes it over.
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_MISSING"), nullptr);
  ASSERT_NE(LoadBitmapByName(instance_, L"IDB_FADER_ON"), nullptr);
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_MISSING"), nullptr);
  EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(BitmapCache, NamesDifferingOnlyInCaseAreSeparateEntries) {
  // Resource lookup ignores case, the cache does not: each spelling is loaded once.
  HBITMAP upper = LoadBitmapByName(instance_, L"IR_F");
  HBITMAP lower = LoadBitmapByName(instance_, L"ir_f");
  ASSERT_NE(upper, nullptr);
  ASSERT_NE(lower, nullptr);
  EXPECT_NE(upper, lower);
  EXPECT_EQ(LoadBitmapByName(instance_, L"ir_f"), lower);
}

// Every spelling of a name in upper and lower case: 2^letters distinct cache
// names that all load the same resource.
std::vector<std::wstring> CaseVariants(const std::wstring& name) {
  std::vector<size_t> letters;
  for (size_t i = 0; i < name.size(); ++i) {
    if (iswalpha(name[i])) letters.push_back(i);
  }
  std::vector<std::wstring> variants;
  for (unsigned mask = 0; mask < (1u << letters.size()); ++mask) {
    std::wstring variant = name;
    for (size_t bit = 0; bit < letters.size(); ++bit) {
      if (mask & (1u << bit)) variant[letters[bit]] = towlower(variant[letters[bit]]);
    }
    variants.push_back(variant);
  }
  return variants;
}

TEST_F(BitmapCache, TheTwoHundredFiftySeventhNameGetsNullWithoutAMessage) {
  // "IDB_BACK1" is entry 0 already; 255 more spellings fill the cache.
  std::vector<std::wstring> names = CaseVariants(L"IDB_PEAK");        // 128
  for (const std::wstring& n : CaseVariants(L"IR_JAK_N")) names.push_back(n);  // 64
  for (const std::wstring& n : CaseVariants(L"IR_BTN_F")) names.push_back(n);  // 64
  for (const std::wstring& n : CaseVariants(L"IR_JAK_F")) names.push_back(n);  // 64
  for (const std::wstring& n : CaseVariants(L"IR_BTN_N")) names.push_back(n);  // 64
  ASSERT_GE(names.size(), 255u);
  names.resize(255);
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_NE(LoadBitmapByName(instance_, names[i].c_str()), nullptr)
        << "name " << i << " " << Narrow(names[i]);
  }
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_FADER_OFF"), nullptr) << "257th name";
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_NOT_THERE"), nullptr) << "258th name";
  EXPECT_TRUE(Boxes().empty()) << "a full cache yields null without a message";
  // Names already cached are still found.
  EXPECT_NE(LoadBitmapByName(instance_, L"IDB_PEAK"), nullptr);
}

TEST_F(BitmapCache, NullAndOverlongNamesLoadNothing) {
  EXPECT_EQ(LoadBitmapByName(instance_, nullptr), nullptr);
  // 32 characters do not fit an entry's name field.
  EXPECT_EQ(LoadBitmapByName(instance_, L"IDB_PEAK_AND_A_VERY_LONG_SUFFIX_"), nullptr);
  EXPECT_TRUE(Boxes().empty());
}

struct ClassRow {
  const wchar_t* name;
  UINT style;
  bool icon;
  bool resize_cursor;
};

TEST_F(Toolkit, InitControlsRegistersTheSixteenClassesAndTermControlsRemovesThem) {
  constexpr UINT kFader = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS | CS_GLOBALCLASS;
  constexpr UINT kPlain = CS_HREDRAW | CS_VREDRAW | CS_GLOBALCLASS;
  const ClassRow rows[] = {
      {L"Zel_DigitExClass", kPlain, false, false},
      {L"Zel_State3Class", kPlain, false, false},
      {L"Zel_State4Class", kPlain, false, false},
      {L"Zel_KnobClass", kFader, false, true},       // fader family: resize cursor
      {L"Zel_VSClass", kFader, false, true},
      {L"Zel_SmallTextClass", kPlain, false, false},
      {L"Zel_DBLVSClass", kFader, false, false},     // the dual fader keeps the arrow
      {L"Zel_PeakClass", kFader, false, false},      // meters take double clicks
      {L"Zel_PeakMonoClass", kFader, false, false},
      {L"Zel_TextBtnClass", kPlain, false, false},
      {L"Zel_TextBtnBmpClass", kPlain, false, false},
      {L"Zel_TogleClass", kPlain, false, false},
      {L"Zel_IRouteClass", kPlain, true, false},     // routing windows carry icon 129
      {L"Zel_IRouteAdvanceClass", kPlain, true, false},
      {L"Zel_OutputRoutingClass", kPlain, true, false},
      {L"Zel_RoundVSClass", kFader, false, true},
  };
  for (const ClassRow& row : rows) {
    SCOPED_TRACE(Narrow(row.name));
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    ASSERT_TRUE(GetClassInfoExW(instance_, row.name, &wc));
    EXPECT_EQ(wc.style, row.style);
    EXPECT_EQ(wc.cbWndExtra, 4);
    EXPECT_EQ(wc.cbClsExtra, 0);
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    EXPECT_EQ(wc.hIcon != nullptr, row.icon);
    EXPECT_EQ(wc.hCursor, LoadCursorW(nullptr, row.resize_cursor ? IDC_SIZENS : IDC_ARROW));
  }
  HBITMAP cached = LoadBitmapByName(instance_, L"IDB_PEAK");
  ASSERT_NE(cached, nullptr);
  TermControls();
  BITMAP info{};
  EXPECT_EQ(GetObjectW(cached, sizeof info, &info), 0) << "TermControls deletes cached bitmaps";
  for (const ClassRow& row : rows) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    EXPECT_FALSE(GetClassInfoExW(instance_, row.name, &wc)) << Narrow(row.name);
  }
  InitControls(instance_);  // for TearDown
}

TEST_F(Toolkit, LabelFontIsArialFourteenNormalWeight) {
  LOGFONTW font{};
  ASSERT_TRUE(GetObjectW(GetLabelFont(), sizeof font, &font));
  EXPECT_EQ(font.lfHeight, 14);
  EXPECT_EQ(font.lfWeight, FW_NORMAL);
  EXPECT_EQ(font.lfCharSet, ANSI_CHARSET);
  EXPECT_EQ(Narrow(font.lfFaceName), "Arial");
}

TEST_F(Toolkit, CapturedBackgroundHoldsThePanelPictureFromTheGivenPoint) {
  HBITMAP capture = CaptureBackground(parent_, 21, 67, 51, 160);
  ASSERT_NE(capture, nullptr);
  const Pixels got = BitmapPixels(capture, 0, 0, 51, 160);
  const Pixels want = BitmapPixels(background_, 21, 67, 51, 160);
  EXPECT_EQ(CountDifferences(got, want), 0);
  // A point elsewhere on the panel differs: the capture is really cut at (21, 67).
  EXPECT_GT(CountDifferences(got, BitmapPixels(background_, 111, 67, 51, 160)), 0);
  DeleteObject(capture);
}

TEST_F(Toolkit, WheelStepKeepsTheLastValueSet) {
  for (int step : {1, 2, 4, 8}) {
    SetWheelStep(step);
    EXPECT_EQ(GetWheelStep(), step);
  }
}

TEST_F(Toolkit, WndBaseClassIsNotRegisteredForANullInstance) {
  UnregisterWndBaseClass(instance_);
  RegisterWndBaseClass(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  EXPECT_FALSE(GetClassInfoExW(instance_, L"WNDBASE_CLASS", &wc));
  RegisterWndBaseClass(instance_);
  ASSERT_TRUE(GetClassInfoExW(instance_, L"WNDBASE_CLASS", &wc));
  EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
}

}  // namespace
}  // namespace tqm::widgets::testing
