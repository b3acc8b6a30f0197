// Toggles, text buttons, state pictures and text displays: messages in,
// notifications out in order, and what each one shows.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

namespace tqm::widgets::testing {
namespace {

constexpr COLORREF kGrey = 0xDBDBDB;

class Toggle : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    toggle_ = CreateToggle(instance_, parent_, 0x100, 113, 265, L"IDB_IN_MUTE_ON",
                           L"IDB_IN_MUTE_OFF");
    ASSERT_NE(toggle_, nullptr);
    on_ = BitmapPixels(LoadBitmapByName(instance_, L"IDB_IN_MUTE_ON"), 0, 0, 45, 20);
    off_ = BitmapPixels(LoadBitmapByName(instance_, L"IDB_IN_MUTE_OFF"), 0, 0, 45, 20);
    ASSERT_GT(CountDifferences(on_, off_), 0);
  }
  void Click() {
    SendMessageW(toggle_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    SendMessageW(toggle_, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
  }
  HWND toggle_ = nullptr;
  Pixels on_, off_;
};

TEST_F(Toggle, TakesTheOnPicturesSizeAndStartsOff) {
  RECT rect;
  GetClientRect(toggle_, &rect);
  EXPECT_EQ(rect.right, 45);
  EXPECT_EQ(rect.bottom, 20);
  EXPECT_EQ(SendMessageW(toggle_, BM_GETCHECK, 0, 0), 0);
  EXPECT_EQ(CountDifferences(WindowPixels(toggle_), off_), 0);
  EXPECT_EQ(SendMessageW(toggle_, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
}

TEST_F(Toggle, ClickInvertsAtOncePostsOneCommandAndWaitsForConfirmation) {
  UpdateWindow(toggle_);
  Click();
  EXPECT_EQ(SendMessageW(toggle_, BM_GETCHECK, 0, 0), 1) << "inverted on release";
  EXPECT_EQ(GetCapture(), nullptr) << "capture released";
  EXPECT_FALSE(HasPendingPaint(toggle_)) << "the click alone must not repaint";
  const std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMMAND));
  EXPECT_EQ(posted[0].wParam, MAKEWPARAM(0x100, 1));
  EXPECT_EQ(posted[0].lParam, reinterpret_cast<LPARAM>(toggle_));
  EXPECT_EQ(CountDifferences(WindowPixels(toggle_), off_), 0) << "still the old picture";

  // The parent confirms the new state.
  SendMessageW(toggle_, BM_SETCHECK, 1, 0);
  EXPECT_TRUE(HasPendingPaint(toggle_));
  EXPECT_EQ(CountDifferences(WindowPixels(toggle_), on_), 0);
  EXPECT_TRUE(Drain().empty()) << "BM_SETCHECK notifies nobody";

  Click();
  EXPECT_EQ(SendMessageW(toggle_, BM_GETCHECK, 0, 0), 0) << "a second click inverts back";
  EXPECT_EQ(Drain().size(), 1u);
}

TEST_F(Toggle, ButtonDownTakesFocusAndCapture) {
  SendMessageW(toggle_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  EXPECT_EQ(GetCapture(), toggle_);
  EXPECT_EQ(GetFocus(), toggle_);
  EXPECT_EQ(SendMessageW(toggle_, BM_GETCHECK, 0, 0), 0) << "the state changes on release";
  EXPECT_TRUE(Drain().empty());
  SendMessageW(toggle_, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
}

TEST_F(Toggle, SetCheckOtherThanZeroOrOneIsIgnoredButRepaints) {
  SendMessageW(toggle_, BM_SETCHECK, 1, 0);
  UpdateWindow(toggle_);
  for (WPARAM value : {WPARAM{2}, WPARAM{BST_INDETERMINATE + 5}, static_cast<WPARAM>(-1)}) {
    SendMessageW(toggle_, BM_SETCHECK, value, 0);
    EXPECT_EQ(SendMessageW(toggle_, BM_GETCHECK, 0, 0), 1) << "value " << value;
    EXPECT_TRUE(HasPendingPaint(toggle_)) << "value " << value;
    EXPECT_EQ(CountDifferences(WindowPixels(toggle_), on_), 0) << "value " << value;
  }
}

class TextButton : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    // The panel's read-out colours, on a button large enough to show whole glyphs.
    button_ = CreateTextButton(instance_, parent_, 0x300, 10, 10, 80, 22, 0x000000, kGrey, kGrey,
                               0x000000, L"Mute");
    ASSERT_NE(button_, nullptr);
  }
  // The ink a caption must leave: label font, centred at (40, (22 - 10) / 4 = 3).
  Pixels Reference(const wchar_t* text, COLORREF ink, COLORREF fill) const {
    return ReferenceText(GetLabelFont(), text, 80, 22, 40, 3, ink, fill);
  }
  HWND button_ = nullptr;
};

RECT Bounds(const Pixels& pixels, COLORREF fill) { return InkBounds(pixels, Rgb(fill)); }

void ExpectSameInk(const Pixels& got, const Pixels& want, COLORREF fill, const char* what) {
  const RECT g = Bounds(got, fill), w = Bounds(want, fill);
  EXPECT_GT(w.right - w.left, 0) << what << ": the reference has ink";
  EXPECT_EQ(g.left, w.left) << what;
  EXPECT_EQ(g.right, w.right) << what;
  EXPECT_EQ(g.top, w.top) << what;
  EXPECT_EQ(g.bottom, w.bottom) << what;
}

TEST_F(TextButton, ShowsTheCreationCaptionInNormalColours) {
  const Pixels shown = WindowPixels(button_);
  EXPECT_EQ(shown.at(1, 1), Rgb(0x000000)) << "normal background";
  ExpectSameInk(shown, Reference(L"Mute", kGrey, 0x000000), 0x000000, "Mute");
  EXPECT_EQ(SendMessageW(button_, WM_GETDLGCODE, 0, 0),
            DefWindowProcW(button_, WM_GETDLGCODE, 0, 0))
      << "the text button leaves WM_GETDLGCODE to the default";
}

TEST_F(TextButton, SetTextChangesTheUncheckedCaptionOnly) {
  SendMessageW(button_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"-12.5dB"));
  EXPECT_TRUE(HasPendingPaint(button_));
  ExpectSameInk(WindowPixels(button_), Reference(L"-12.5dB", kGrey, 0x000000), 0x000000,
                "level text");

  SendMessageW(button_, BM_SETCHECK, 1, 0);
  const Pixels checked = WindowPixels(button_);
  EXPECT_EQ(checked.at(1, 1), Rgb(kGrey)) << "checked background";
  ExpectSameInk(checked, Reference(L"Mute", 0x000000, kGrey), kGrey,
                "checked shows the creation caption");

  SendMessageW(button_, BM_SETCHECK, 2, 0);
  EXPECT_EQ(SendMessageW(button_, BM_GETCHECK, 0, 0), 1) << "BM_SETCHECK 2 is ignored";
  SendMessageW(button_, BM_SETCHECK, 0, 0);
  ExpectSameInk(WindowPixels(button_), Reference(L"-12.5dB", kGrey, 0x000000), 0x000000,
                "unchecked again");
}

TEST_F(TextButton, TextLongerThanSixtyThreeCharactersIsCut) {
  const std::wstring long_text(80, L'8');
  SendMessageW(button_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(long_text.c_str()));
  const std::wstring cut(63, L'8');
  ExpectSameInk(WindowPixels(button_), Reference(cut.c_str(), kGrey, 0x000000), 0x000000,
                "63 characters");
}

TEST_F(TextButton, ClickPostsCodeOneAndNeverChangesTheState) {
  SendMessageW(button_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  EXPECT_EQ(GetCapture(), button_);
  SendMessageW(button_, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(SendMessageW(button_, BM_GETCHECK, 0, 0), 0);
  SendMessageW(button_, BM_SETCHECK, 1, 0);
  SendMessageW(button_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(button_, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(SendMessageW(button_, BM_GETCHECK, 0, 0), 1);
  const std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 2u);
  for (const Posted& p : posted) {
    EXPECT_EQ(p.message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(p.wParam, MAKEWPARAM(0x300, 1));
    EXPECT_EQ(p.lParam, reinterpret_cast<LPARAM>(button_));
  }
}

TEST_F(ControlTest, SeeThroughTextButtonDrawsOnThePanelBackground) {
  HWND button = CreateTextButtonBmp(instance_, parent_, 0x302, 117, 239, 37, 10, 0x0000FF,
                                    kGrey, L"0dB");
  ASSERT_NE(button, nullptr);
  const Pixels shown = WindowPixels(button);
  const Pixels face = BitmapPixels(background_, 117, 239, 37, 10);
  // Corners carry no text: they are the panel picture under the button.
  EXPECT_EQ(shown.at(0, 9), face.at(0, 9));
  EXPECT_EQ(shown.at(36, 9), face.at(36, 9));
  EXPECT_GT(CountDifferences(shown, face), 0) << "the caption is drawn over it";
  EXPECT_EQ(SendMessageW(button, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
}

TEST_F(ControlTest, State3ShowsItsPicturesByStateAndPostsOnPress) {
  HWND control = CreateState3(instance_, parent_, 0x400, 10, 10, L"IR_BTN_F", L"IR_BTN_N",
                              L"IR_JAK_N");
  ASSERT_NE(control, nullptr);
  const Pixels first = BitmapPixels(LoadBitmapByName(instance_, L"IR_BTN_F"), 0, 0, 25, 14);
  const Pixels second = BitmapPixels(LoadBitmapByName(instance_, L"IR_BTN_N"), 0, 0, 25, 14);
  const Pixels third = BitmapPixels(LoadBitmapByName(instance_, L"IR_JAK_N"), 0, 0, 10, 10);
  // State 0 shows the third picture (10 x 10) inside the first picture's size.
  Pixels shown = WindowPixels(control);
  EXPECT_EQ(shown.width, 25);
  EXPECT_EQ(shown.at(5, 5), third.at(5, 5));
  SendMessageW(control, BM_SETCHECK, 1, 0);
  EXPECT_EQ(CountDifferences(WindowPixels(control), first), 0) << "state 1: first picture";
  SendMessageW(control, BM_SETCHECK, 2, 0);
  EXPECT_EQ(CountDifferences(WindowPixels(control), second), 0) << "state 2: second picture";
  EXPECT_EQ(SendMessageW(control, BM_GETCHECK, 0, 0), 2);

  SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 1u) << "posted on press, at once";
  EXPECT_EQ(posted[0].wParam, MAKEWPARAM(0x400, 0));
  SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
  EXPECT_TRUE(Drain().empty()) << "release posts nothing";
  EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(ControlTest, State4LimitsItsStateAndIgnoresTheMouse) {
  HWND control = CreateState4(instance_, parent_, 0x401, 10, 10, L"IR_BTN_F", L"IR_BTN_N",
                              L"IDB_IN_MUTE_ON", L"IDB_IN_MUTE_OFF", 9);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(SendMessageW(control, BM_GETCHECK, 0, 0), 3) << "initial 9 becomes 3";
  const Pixels fourth =
      BitmapPixels(LoadBitmapByName(instance_, L"IDB_IN_MUTE_OFF"), 0, 0, 25, 14);
  EXPECT_EQ(CountDifferences(WindowPixels(control), fourth), 0) << "state 3: fourth picture";
  SendMessageW(control, BM_SETCHECK, 1, 0);
  const Pixels second = BitmapPixels(LoadBitmapByName(instance_, L"IR_BTN_N"), 0, 0, 25, 14);
  EXPECT_EQ(CountDifferences(WindowPixels(control), second), 0) << "state 1: second picture";
  SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
  EXPECT_TRUE(Drain().empty());
  EXPECT_EQ(SendMessageW(control, BM_GETCHECK, 0, 0), 1);
}

struct DigitRow {
  int sent;
  int stored;
  const char* why;
};

TEST_F(ControlTest, DigitReadOutWrapsAtItsLimits) {
  HWND digits = CreateDigitEx(instance_, parent_, 0x500, 10, 10, 40, 24, 0x00FFFF, 0x000000,
                              99, 0, 20);
  ASSERT_NE(digits, nullptr);
  const DigitRow rows[] = {
      {5, 5, "inside the range: stored"},
      {99, 99, "the first limit itself"},
      {100, 0, "above the first limit: the second limit"},
      {-1, 99, "negative: the first limit"},
      {0, 0, "zero"},
  };
  for (const DigitRow& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(digits, SBM_SETPOS, static_cast<WPARAM>(row.sent), 0);
    EXPECT_EQ(SendMessageW(digits, SBM_GETPOS, 0, 0), row.stored);
  }
  EXPECT_EQ(SendMessageW(digits, WM_ERASEBKGND, 0, 0), 1);
  // "%02d" in a 20-pixel bold font, centred: "07" leaves ink near the middle only.
  SendMessageW(digits, SBM_SETPOS, 7, 0);
  const RECT ink = InkBounds(WindowPixels(digits), 0x000000);
  EXPECT_GT(ink.right - ink.left, 10) << "two digits drawn";
  EXPECT_LT(std::abs((ink.left + ink.right) / 2 - 20), 3) << "centred";
}

TEST_F(ControlTest, SmallTextDrawsItsTextCentredAtTheTop) {
  HWND label = CreateSmallText(instance_, parent_, 0x1910, 70, 34, 20, 23, 0x989796, 0x1A1816,
                               L"1");
  ASSERT_NE(label, nullptr);
  ExpectSameInk(WindowPixels(label),
                ReferenceText(GetLabelFont(), L"1", 20, 23, 10, 0, 0x989796, 0x1A1816), 0x1A1816,
                "creation text");
  SendMessageW(label, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"2"));
  ExpectSameInk(WindowPixels(label),
                ReferenceText(GetLabelFont(), L"2", 20, 23, 10, 0, 0x989796, 0x1A1816), 0x1A1816,
                "replaced text");
}

}  // namespace
}  // namespace tqm::widgets::testing
