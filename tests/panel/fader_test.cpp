// The stereo fader driven by the messages the system sends it: hover lighting
// by grip zone, drags that keep their zone, releases that take the release
// point's zone, wheel notches, keys, the packed position messages and the level
// bars. Caps are checked pixel for pixel against "IDB_FADER_OFF"/"IDB_FADER_ON"
// at the rows the value maps to.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

namespace tqm::widgets::testing {
namespace {

// The output fader as the panel makes it: 51 x 160 cut from the background at
// (111, 67), 0..110, 18 x 16 caps. travel 144, half cap 8, zone edges 15 and 35.
constexpr int kX = 111, kY = 67, kW = 51, kH = 160, kMax = 110;
constexpr int kCapW = 18, kCapH = 16, kTravel = 144;
constexpr int kId = 0x200;

LPARAM Packed(int left, int right) {
  return static_cast<LPARAM>(static_cast<DWORD>((right & 0xFFFF) << 16 | (left & 0xFFFF)));
}

// Deactivations of the recording parent. The test display is shared with other
// test programs, whose new windows may take the foreground at any time; a step
// that needs the foreground is repeated when that happened during it.
int g_deactivations = 0;
WNDPROC g_parent_procedure = nullptr;

LRESULT CALLBACK WatchActivation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ACTIVATE && LOWORD(wParam) == WA_INACTIVE) ++g_deactivations;
  return CallWindowProcW(g_parent_procedure, window, message, wParam, lParam);
}

class DualFaderTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    g_parent_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        parent_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchActivation)));
    SetForegroundWindow(parent_);
    ASSERT_EQ(GetForegroundWindow(), parent_) << "the recording parent must be foreground";
    fader_ = CreateDualFader(instance_, parent_, kId, kX, kY, kW, kH, 0, kMax, nullptr,
                             L"IDB_FADER_OFF", L"IDB_FADER_ON", L"IDB_FADER_OFF", L"IDB_FADER_ON",
                             nullptr);
    ASSERT_NE(fader_, nullptr);
    unlit_ = BitmapPixels(LoadBitmapByName(instance_, L"IDB_FADER_OFF"), 0, 0, kCapW, kCapH);
    lit_ = BitmapPixels(LoadBitmapByName(instance_, L"IDB_FADER_ON"), 0, 0, kCapW, kCapH);
    ASSERT_GT(CountDifferences(unlit_, lit_), 0) << "lit and unlit caps must differ";
    Drain();
  }

  int Left() const { return static_cast<SHORT>(LOWORD(SendMessageW(fader_, SBM_GETPOS, 0, 0))); }
  int Right() const {
    return static_cast<SHORT>(HIWORD(SendMessageW(fader_, SBM_GETPOS, 0, 0)));
  }
  void SetValues(int left, int right) {
    SendMessageW(fader_, SBM_SETPOS, 0, Packed(left, right));
  }

  // The cap shown at column x for a value: 0 unlit, 1 lit, -1 neither picture.
  int CapShown(int x, int value) const {
    const int top = kTravel - kTravel * value / kMax;
    Pixels shown = WindowPixels(fader_);
    Pixels cap;
    cap.width = kCapW;
    cap.height = kCapH;
    for (int y = 0; y < kCapH; ++y) {
      for (int i = 0; i < kCapW; ++i) cap.rgb.push_back(shown.at(x + i, top + y));
    }
    if (CountDifferences(cap, unlit_) == 0) return 0;
    if (CountDifferences(cap, lit_) == 0) return 1;
    return -1;
  }
  int LeftCap(int value) const { return CapShown(0, value); }
  int RightCap(int value) const { return CapShown(kW - kCapW, value); }

  // Runs steps that need the parent in the foreground (they must start from a
  // state they set themselves) until no other program took the foreground
  // while they ran. Sent activation messages arrive at the next pump.
  template <typename Steps>
  void InForeground(Steps steps) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      SetForegroundWindow(parent_);
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
      g_deactivations = 0;
      steps();
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
      if (g_deactivations == 0 && GetForegroundWindow() == parent_) return;
    }
    FAIL() << "other programs kept taking the foreground";
  }

  // A pointer move, with the parent made foreground just before it.
  void Move(WPARAM keys, int x, int y) {
    SetForegroundWindow(parent_);
    SendMessageW(fader_, WM_MOUSEMOVE, keys, MAKELPARAM(x, y));
  }
  void Hover(int x, int y) { Move(0, x, y); }

  std::vector<Posted> Scrolls() {
    std::vector<Posted> scrolls;
    for (const Posted& p : Drain()) {
      if (p.message == WM_VSCROLL) scrolls.push_back(p);
    }
    return scrolls;
  }

  HWND fader_ = nullptr;
  Pixels unlit_, lit_;
};

TEST_F(DualFaderTest, CreatedAtMaxWithBothCapsUnlitAtTheTop) {
  RECT rect;
  GetWindowRect(fader_, &rect);
  EXPECT_EQ(rect.right - rect.left, kW);
  EXPECT_EQ(rect.bottom - rect.top, kH);
  EXPECT_EQ(Left(), kMax);
  EXPECT_EQ(Right(), kMax);
  EXPECT_EQ(LeftCap(kMax), 0);
  EXPECT_EQ(RightCap(kMax), 0);
  EXPECT_EQ(SendMessageW(fader_, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
}

TEST_F(DualFaderTest, HoverLightsTheCapsOfTheZoneAndFocusLossUnlightsBoth) {
  struct Row {
    int x;
    int left_lit;
    int right_lit;
    const char* why;
  } rows[] = {
      {2, 1, 0, "left 30 %: the left cap only"},
      {14, 1, 0, "last column before 30 % of 51 (15)"},
      {15, 1, 1, "30 % edge starts the middle zone: both caps"},
      {34, 1, 1, "last column before 70 % of 51 (35)"},
      {35, 0, 1, "70 % edge starts the right zone: the right cap only"},
      {50, 0, 1, "right edge"},
      {25, 1, 1, "back to the middle"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    HWND focus = nullptr;
    int left = -1, right = -1;
    InForeground([&] {
      Hover(row.x, 40);
      focus = GetFocus();
      left = LeftCap(kMax);
      right = RightCap(kMax);
    });
    EXPECT_EQ(focus, fader_) << "hovering takes the keyboard focus";
    EXPECT_EQ(left, row.left_lit) << "x " << row.x;
    EXPECT_EQ(right, row.right_lit) << "x " << row.x;
  }
  EXPECT_TRUE(Scrolls().empty()) << "hovering changes no value";
  SetFocus(parent_);
  EXPECT_EQ(LeftCap(kMax), 0) << "focus loss";
  EXPECT_EQ(RightCap(kMax), 0) << "focus loss";
}

TEST_F(DualFaderTest, MovesAreIgnoredUnlessTheParentIsForegroundButTheWheelIsNot) {
  HWND other = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 400,
                               400, 40, 40, nullptr, nullptr, instance_, nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  ASSERT_NE(GetForegroundWindow(), parent_);
  SetValues(50, 50);
  SendMessageW(fader_, WM_MOUSEMOVE, 0, MAKELPARAM(2, 40));
  EXPECT_EQ(LeftCap(50), 0) << "no lighting while another window is in front";
  SendMessageW(fader_, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(25, 8));
  EXPECT_EQ(Left(), 50);
  EXPECT_TRUE(Scrolls().empty());

  POINT middle{25, 40};
  ClientToScreen(fader_, &middle);
  SendMessageW(fader_, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(middle.x, middle.y));
  EXPECT_EQ(Left(), 58);
  EXPECT_EQ(Right(), 58);
  EXPECT_EQ(Scrolls().size(), 1u);
  DestroyWindow(other);
}

TEST_F(DualFaderTest, DragKeepsItsZoneAndTheReleaseTakesTheReleasePointsZone) {
  HWND capture = nullptr;
  int pressed_left = 0, left = 0, right = 0, gripped_cap = -1;
  std::vector<Posted> scrolls;
  InForeground([&] {
    SetValues(kMax, kMax);
    SetFocus(parent_);
    Hover(5, 80);  // the left zone is stored before the button goes down
    SendMessageW(fader_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 80));
    capture = GetCapture();
    pressed_left = Left();
    // Row 80: 110 * (8 + 144 - 80) / 144 = 55, though the pointer drifted right.
    Move(MK_LBUTTON, 45, 80);
    left = Left();
    right = Right();
    gripped_cap = LeftCap(55);
    scrolls = Scrolls();
  });
  EXPECT_EQ(capture, fader_);
  EXPECT_EQ(pressed_left, kMax) << "pressing changes no value";
  EXPECT_EQ(left, 55);
  EXPECT_EQ(right, kMax) << "the right cap was not gripped";
  ASSERT_EQ(scrolls.size(), 1u);
  EXPECT_EQ(scrolls[0].wParam, static_cast<WPARAM>(MK_LBUTTON)) << "the key-state word";
  EXPECT_EQ(scrolls[0].lParam, reinterpret_cast<LPARAM>(fader_));
  EXPECT_EQ(gripped_cap, 1) << "the gripped cap stays lit";

  // Row 100: 110 * 52 / 144 = 39.7, truncated; the release is in the right zone.
  SendMessageW(fader_, WM_LBUTTONUP, 0, MAKELPARAM(45, 100));
  EXPECT_EQ(Left(), 55);
  EXPECT_EQ(Right(), 39);
  scrolls = Scrolls();
  ASSERT_EQ(scrolls.size(), 1u);
  EXPECT_EQ(scrolls[0].wParam, 0u);
  EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(DualFaderTest, ReleaseRowMapsToTheValueUnderTheCapCentreClamped) {
  struct Row {
    int y;
    int value;
    const char* why;
  } rows[] = {
      {8, 110, "cap centre at the top of the travel"},
      {152, 0, "cap centre at the bottom"},
      {80, 55, "halfway"},
      {0, 110, "above the travel: 116 clamped to max"},
      {159, 0, "below the travel: negative clamped to min"},
      {81, 54, "54.2 truncated"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(fader_, WM_LBUTTONUP, 0, MAKELPARAM(25, row.y));
    EXPECT_EQ(Left(), row.value) << "row " << row.y;
    EXPECT_EQ(Right(), row.value) << "row " << row.y;
  }
  // Cap placement: value 55 puts the cap top at 144 - 72 = 72.
  SetValues(55, 0);
  SetFocus(fader_);
  SetFocus(parent_);  // focus loss unlights both caps
  EXPECT_EQ(LeftCap(55), 0);
  EXPECT_EQ(RightCap(0), 0);
  const Pixels shown = WindowPixels(fader_);
  const Pixels track = BitmapPixels(background_, kX, kY, kW, kH);
  EXPECT_EQ(shown.at(4, 71), track.at(4, 71)) << "the row above the cap is the track";
  EXPECT_EQ(shown.at(4, 88), track.at(4, 88)) << "the row below the cap is the track";
}

TEST_F(DualFaderTest, WheelNotchMovesTheZoneByTheStepWithOneNotification) {
  SetWheelStep(4);
  struct Row {
    int x;
    short delta;
    int left;
    int right;
    WPARAM bits;
    const char* why;
  } rows[] = {
      {25, WHEEL_DELTA, 84, 84, 3, "middle, up: both by the step"},
      {5, -WHEEL_DELTA, 76, 80, 1, "left zone, down: the left value only"},
      {45, WHEEL_DELTA, 80, 84, 2, "right zone, up: the right value only"},
      {25, 0, 76, 76, 3, "a zero delta counts as down"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SetValues(80, 80);
    POINT point{row.x, 40};
    ClientToScreen(fader_, &point);
    const WPARAM wParam = MAKEWPARAM(0, static_cast<WORD>(row.delta));
    SendMessageW(fader_, WM_MOUSEWHEEL, wParam, MAKELPARAM(point.x, point.y));
    EXPECT_EQ(Left(), row.left);
    EXPECT_EQ(Right(), row.right);
    const std::vector<Posted> scrolls = Scrolls();
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0].wParam, wParam + row.bits);
  }
  SetValues(108, 2);
  POINT point{25, 40};
  ClientToScreen(fader_, &point);
  SendMessageW(fader_, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(point.x, point.y));
  EXPECT_EQ(Left(), kMax) << "clamped at max";
  EXPECT_EQ(Right(), 6);
}

TEST_F(DualFaderTest, KeysMoveBothByOneAndAlwaysNotify) {
  struct Row {
    int start_left, start_right;
    WPARAM key;
    int left, right;
    const char* why;
  } rows[] = {
      {110, 110, VK_UP, 110, 110, "VK_UP at max: unchanged, still notifies"},
      {50, 60, VK_UP, 51, 61, "VK_UP: both up by one, whatever the zone"},
      {0, 5, VK_DOWN, 0, 4, "VK_DOWN clamps the left value at min"},
      {30, 30, VK_LEFT, 30, 30, "another key only notifies"},
  };
  Hover(2, 40);  // left zone: keys ignore it
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SetValues(row.start_left, row.start_right);
    SendMessageW(fader_, WM_KEYDOWN, row.key, 0);
    EXPECT_EQ(Left(), row.left);
    EXPECT_EQ(Right(), row.right);
    const std::vector<Posted> scrolls = Scrolls();
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0].wParam, 0u);
  }
}

TEST_F(DualFaderTest, SetPosStoresThePackedPairUnclampedAndSilently) {
  struct Row {
    LPARAM packed;
    const char* why;
  } rows[] = {
      {(80 << 16) | 110, "right 80, left 110"},
      {Packed(-3, 7), "a negative left value survives the packing"},
      {Packed(200, 120), "values above max are not clamped"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(SendMessageW(fader_, SBM_SETPOS, 0, row.packed), 0);
    EXPECT_EQ(SendMessageW(fader_, SBM_GETPOS, 0, 0), row.packed);
  }
  EXPECT_TRUE(Drain().empty()) << "SBM_SETPOS notifies nobody";
}

TEST_F(DualFaderTest, DoubleClickIsForwardedToTheParent) {
  SendMessageW(fader_, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(25, 40));
  const std::vector<Posted> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_LBUTTONDBLCLK));
  EXPECT_EQ(posted[0].wParam, 0u);
  EXPECT_EQ(posted[0].lParam, reinterpret_cast<LPARAM>(fader_));
}

TEST_F(DualFaderTest, LevelBarsDrawAtOnceEitherSideOfTheCentre) {
  // Bars 5 x 145 in a 51 x 160 track: a = 24, left bar at x 23, right bar at
  // x 26 (drawn second), both from y0 = 7.
  HWND fader = CreateDualFader(instance_, parent_, 0x201, 21, 67, kW, kH, 0, 104, nullptr,
                               L"IDB_FADER_OFF", L"IDB_FADER_ON", L"IDB_FADER_OFF",
                               L"IDB_FADER_ON", L"IDB_PEAK");
  ASSERT_NE(fader, nullptr);
  UpdateWindow(fader);
  const Pixels bar = BitmapPixels(LoadBitmapByName(instance_, L"IDB_PEAK"), 0, 0, 5, 145);
  // Left 50 %: 73 unlit rows; right 20 %: 116 unlit rows.
  SendMessageW(fader, UM_SETLEVEL, 0, MAKELPARAM(50, 20));
  EXPECT_FALSE(HasPendingPaint(fader)) << "bars draw straight into the window";
  Pixels shown = WindowPixels(fader);
  EXPECT_EQ(shown.at(23, 7 + 72), 0u) << "left bar, last unlit row";
  EXPECT_EQ(shown.at(23, 7 + 73), bar.at(0, 73)) << "left bar, first lit row";
  EXPECT_EQ(shown.at(28, 7 + 115), 0u) << "right bar, last unlit row";
  EXPECT_EQ(shown.at(28, 7 + 116), bar.at(2, 116)) << "right bar, first lit row";
  InvalidateRect(fader, nullptr, FALSE);
  shown = WindowPixels(fader);
  EXPECT_EQ(shown.at(23, 7 + 72), 0u) << "a repaint keeps the levels";
  EXPECT_EQ(shown.at(23, 7 + 73), bar.at(0, 73));
}

}  // namespace
}  // namespace tqm::widgets::testing
