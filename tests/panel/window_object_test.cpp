// Window objects bound to "WNDBASE_CLASS": the link, image and text buttons,
// driven by window messages, with what they post to their parent and draw.
#include "control_harness.h"
#include "toolkit.h"
#include "window_object.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace tqm::widgets::testing {
namespace {

using WindowObject = ControlTest;

TEST_F(WindowObject, LinkButtonNotifiesOnReleaseOnly) {
  CCtrlLinkBtn link;
  ASSERT_TRUE(link.CreateCtrl(instance_, parent_, 32830, 10, 10, 164, 24, L"www.example.org",
                              DT_CENTER | DT_SINGLELINE));
  HWND window = link.Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetDlgCtrlID(window), 32830);
  Drain();

  SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(GetFocus(), window) << "moving over it takes the focus";
  EXPECT_EQ(link.Focused(), 1);
  EXPECT_TRUE(Drain().empty()) << "and nothing else";

  SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  EXPECT_EQ(GetCapture(), window);
  EXPECT_TRUE(Drain().empty()) << "pressing posts nothing";

  SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(GetCapture(), nullptr);
  const std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMMAND));
  EXPECT_EQ(posted[0].wParam, MAKEWPARAM(32830, 0));
  EXPECT_EQ(posted[0].lParam, reinterpret_cast<LPARAM>(window));
}

TEST_F(WindowObject, LinkButtonDrawsBlueTextOnTheButtonFace) {
  CCtrlLinkBtn link;
  ASSERT_TRUE(link.CreateCtrl(instance_, parent_, 1, 10, 10, 164, 24, L"www.example.org",
                              DT_LEFT | DT_SINGLELINE));
  const Pixels shown = WindowPixels(link.Window());
  const uint32_t face = Rgb(GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(shown.at(163, 0), face);
  int blue = 0;
  for (uint32_t p : shown.rgb) blue += p == 0x0000FF;
  EXPECT_GT(blue, 20) << "the caption in pure blue";
}

// Regression: the DrawText format used as a text alignment turns DT_CENTER into
// TA_UPDATECP, and the caption lands in the top-left corner.
TEST_F(WindowObject, CentredCaptionIsCentred) {
  CCtrlTextBtn button;
  ASSERT_TRUE(button.CreateCtrl(instance_, parent_, 0x702, 10, 10, 120, 30, L"Reset",
                                DT_CENTER | DT_SINGLELINE));
  const Pixels shown = WindowPixels(button.Window());
  const RECT ink = InkBounds(shown, 0x000000);
  ASSERT_GT(ink.right - ink.left, 0) << "caption drawn";
  EXPECT_LE(std::abs(ink.left - (120 - ink.right)), 2)
      << "left margin " << ink.left << ", right margin " << 120 - ink.right;
  EXPECT_LE(std::abs(ink.top - (30 - ink.bottom)), 4)
      << "top margin " << ink.top << ", bottom margin " << 30 - ink.bottom;
}

TEST_F(WindowObject, CheckValueOtherThanZeroOrOneIsIgnoredButRepaints) {
  CCtrlLinkBtn link;
  ASSERT_TRUE(link.CreateCtrl(instance_, parent_, 1, 10, 10, 50, 20, L"x", DT_LEFT));
  HWND window = link.Window();
  SendMessageW(window, BM_SETCHECK, 1, 0);
  EXPECT_EQ(SendMessageW(window, BM_GETCHECK, 0, 0), 1);
  UpdateWindow(window);
  ASSERT_FALSE(HasPendingPaint(window));
  SendMessageW(window, BM_SETCHECK, 2, 0);
  EXPECT_EQ(SendMessageW(window, BM_GETCHECK, 0, 0), 1) << "2 leaves the flag";
  EXPECT_EQ(link.Checked(), 1);
  EXPECT_TRUE(HasPendingPaint(window)) << "but the button repaints";
  SendMessageW(window, BM_SETCHECK, 0, 0);
  EXPECT_EQ(SendMessageW(window, BM_GETCHECK, 0, 0), 0);
}

TEST_F(WindowObject, CaptionOfTwoHundredFiftySixCharactersCreatesNothing) {
  const std::wstring too_long(256, L'a');
  CCtrlLinkBtn link;
  EXPECT_FALSE(link.CreateCtrl(instance_, parent_, 1, 0, 0, 10, 10, too_long.c_str(), 0));
  EXPECT_EQ(link.Window(), nullptr);
  EXPECT_EQ(GetWindow(parent_, GW_CHILD), nullptr) << "no window was made";
  const std::wstring longest(255, L'a');
  EXPECT_TRUE(link.CreateCtrl(instance_, parent_, 1, 0, 0, 10, 10, longest.c_str(), 0));
}

TEST_F(WindowObject, DeletingTheObjectDestroysItsWindowAndNotTheOtherWayRound) {
  auto link = std::make_unique<CCtrlLinkBtn>();
  ASSERT_TRUE(link->CreateCtrl(instance_, parent_, 1, 0, 0, 10, 10, L"a", 0));
  HWND window = link->Window();
  link.reset();
  EXPECT_FALSE(IsWindow(window));

  auto second = std::make_unique<CCtrlLinkBtn>();
  ASSERT_TRUE(second->CreateCtrl(instance_, parent_, 2, 0, 0, 10, 10, L"b", 0));
  window = second->Window();
  DestroyWindow(window);
  EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), 0);
  EXPECT_EQ(second->Window(), nullptr) << "the object forgets its destroyed window";
  second.reset();  // must not touch a window that is gone
}

TEST_F(WindowObject, ShowHidesAndShowsTheWindow) {
  CCtrlLinkBtn link;
  ASSERT_TRUE(link.CreateCtrl(instance_, parent_, 1, 0, 0, 10, 10, L"a", 0));
  link.Show(0);
  EXPECT_FALSE(IsWindowVisible(link.Window()));
  link.Show(1);
  EXPECT_TRUE(IsWindowVisible(link.Window()));
}

TEST_F(WindowObject, ImageButtonShowsPressedWhileHeldAndReportsFocus) {
  CCtrlImageBtn button;
  ASSERT_TRUE(button.CreateCtrl(instance_, parent_, 0x700, 20, 20, L"IR_BTN_N", L"IR_BTN_F"));
  HWND window = button.Window();
  RECT rect;
  GetClientRect(window, &rect);
  EXPECT_EQ(rect.right, 25) << "size of the normal picture";
  EXPECT_EQ(rect.bottom, 14);
  const Pixels normal = BitmapPixels(LoadBitmapByName(instance_, L"IR_BTN_N"), 0, 0, 25, 14);
  const Pixels pressed = BitmapPixels(LoadBitmapByName(instance_, L"IR_BTN_F"), 0, 0, 25, 14);
  EXPECT_EQ(CountDifferences(WindowPixels(window), normal), 0);
  Drain();

  SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  EXPECT_EQ(CountDifferences(WindowPixels(window), pressed), 0) << "pressed while held";
  SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(CountDifferences(WindowPixels(window), normal), 0) << "normal after release";
  SetFocus(parent_);

  const std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].wParam, MAKEWPARAM(0x700, BN_SETFOCUS)) << "the pointer entered";
  EXPECT_EQ(posted[1].wParam, MAKEWPARAM(0x700, 0)) << "the click, on release";
  EXPECT_EQ(posted[2].wParam, MAKEWPARAM(0x700, BN_KILLFOCUS));
  for (const Posted& p : posted) EXPECT_EQ(p.lParam, reinterpret_cast<LPARAM>(window));
}

TEST_F(WindowObject, TextButtonColoursFollowItsState) {
  CCtrlTextBtn button;
  ASSERT_TRUE(button.CreateCtrl(instance_, parent_, 0x701, 20, 20, 60, 16, L"Go",
                                DT_CENTER | DT_SINGLELINE));
  HWND window = button.Window();
  EXPECT_EQ(WindowPixels(window).at(0, 0), 0x000000u) << "normal background";
  button.SetChecked(1);
  EXPECT_EQ(WindowPixels(window).at(0, 0), 0xFFFFFFu) << "checked background";
  button.SetCheckedColors(0x000000, 0x00FF00);
  button.SetChecked(1);
  EXPECT_EQ(WindowPixels(window).at(0, 0), 0x00FF00u);
  button.SetFocusColors(0x000000, 0x0000FF);
  SetFocus(window);
  EXPECT_EQ(WindowPixels(window).at(0, 0), 0xFF0000u) << "focused background (COLORREF blue)";
  SetFocus(parent_);

  // A click never checks it: only BM_SETCHECK or SetChecked do.
  button.SetChecked(0);
  SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(SendMessageW(window, BM_GETCHECK, 0, 0), 0);
  const std::vector<Posted> posted = Drain();
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted.back().wParam, MAKEWPARAM(0x701, 0));
}

}  // namespace
}  // namespace tqm::widgets::testing
