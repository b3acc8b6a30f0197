// Level meters: what a mono meter shows for a level (checked pixel for pixel
// against "IDB_PEAK" and the panel background under it), that a repeated level
// draws nothing, that a repaint reproduces the last level, and the two-bar meter.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

namespace tqm::widgets::testing {
namespace {

constexpr int kMeterX = 132, kMeterY = 75, kBarWidth = 5, kBarHeight = 145;
constexpr COLORREF kMagenta = RGB(255, 0, 255);

class MonoMeter : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    meter_ = CreateMonoMeter(instance_, parent_, 0xE00, kMeterX, kMeterY, kBarWidth, kBarHeight,
                             nullptr, L"IDB_PEAK");
    ASSERT_NE(meter_, nullptr);
    bar_ = LoadBitmapByName(instance_, L"IDB_PEAK");
  }

  // What a meter at this level must show: background rows above, bar rows below.
  Pixels Expected(int level) const {
    Pixels unlit = BitmapPixels(background_, kMeterX, kMeterY, kBarWidth, kBarHeight);
    const Pixels lit = BitmapPixels(bar_, 0, 0, kBarWidth, kBarHeight);
    for (int y = kBarHeight - level; y < kBarHeight; ++y) {
      for (int x = 0; x < kBarWidth; ++x) unlit.rgb[y * kBarWidth + x] = lit.at(x, y);
    }
    return unlit;
  }

  HWND meter_ = nullptr;
  HBITMAP bar_ = nullptr;
};

TEST_F(MonoMeter, TakesTheBackgroundsSizeAndSendsNothing) {
  RECT rect;
  GetWindowRect(meter_, &rect);
  EXPECT_EQ(rect.right - rect.left, kBarWidth);
  EXPECT_EQ(rect.bottom - rect.top, kBarHeight);
  EXPECT_EQ(SendMessageW(meter_, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
  SendMessageW(meter_, UM_SETLEVEL, 0, 40);
  SendMessageW(meter_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  SendMessageW(meter_, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  EXPECT_TRUE(Drain().empty());
}

TEST_F(MonoMeter, FreshMeterShowsNinetySixLitPixels) {
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(96)), 0);
  EXPECT_GT(CountDifferences(Expected(96), Expected(95)), 0) << "the bar picture must show";
}

struct LevelRow {
  int level;
  const char* why;
};

TEST_F(MonoMeter, LevelSetsTheLitHeightFromTheBottom) {
  const LevelRow rows[] = {
      {0, "only the background cut from the panel under the meter"},
      {145, "the whole bar picture"},
      {128, "the panel's highest display value"},
      {1, "a single lit row at the bottom"},
      {96, "back to the creation level"},
  };
  UpdateWindow(meter_);
  for (const LevelRow& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(SendMessageW(meter_, UM_SETLEVEL, 0, row.level), 0);
    EXPECT_FALSE(HasPendingPaint(meter_)) << "a level draws at once, without WM_PAINT";
    EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(row.level)), 0)
        << "level " << row.level;
  }
  SendMessageW(meter_, UM_SETLEVEL, 0, 0);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_),
                             BitmapPixels(background_, kMeterX, kMeterY, kBarWidth, kBarHeight)),
            0)
      << "level 0 is exactly the part of IDB_BACK1 under the meter";
  SendMessageW(meter_, UM_SETLEVEL, 0, 145);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), BitmapPixels(bar_, 0, 0, 5, 145)), 0)
      << "level 145 is exactly IDB_PEAK";
}

TEST_F(MonoMeter, SameLevelTwiceDrawsOnlyOnce) {
  UpdateWindow(meter_);
  SendMessageW(meter_, UM_SETLEVEL, 0, 50);
  Scribble(meter_, kMagenta);
  SendMessageW(meter_, UM_SETLEVEL, 0, 50);
  const Pixels after_repeat = WindowPixels(meter_);
  EXPECT_EQ(after_repeat.at(2, 2), Rgb(kMagenta)) << "the repeated level drew";
  EXPECT_EQ(after_repeat.at(2, 140), Rgb(kMagenta)) << "the repeated level drew";

  SendMessageW(meter_, UM_SETLEVEL, 0, 51);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(51)), 0) << "a new level draws";
}

TEST_F(MonoMeter, RepaintReproducesTheLastLevel) {
  UpdateWindow(meter_);
  SendMessageW(meter_, UM_SETLEVEL, 0, 77);
  Scribble(meter_, kMagenta);  // as if another window had covered it
  InvalidateRect(meter_, nullptr, TRUE);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(77)), 0);
}

TEST_F(MonoMeter, LevelOutsideTheBarIsDrawnWithinIt) {
  UpdateWindow(meter_);
  SendMessageW(meter_, UM_SETLEVEL, 0, 400);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(145)), 0);
  SendMessageW(meter_, UM_SETLEVEL, 0, -3);
  EXPECT_EQ(CountDifferences(WindowPixels(meter_), Expected(0)), 0);
}

TEST_F(MonoMeter, MissingBarShowsOnlyTheBackground) {
  HWND bare = CreateMonoMeter(instance_, parent_, 0xE01, 42, 75, 5, 145, nullptr, L"IDB_NO_BAR");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(Boxes().size(), 1u);
  SendMessageW(bare, UM_SETLEVEL, 0, 120);
  EXPECT_EQ(CountDifferences(WindowPixels(bare), BitmapPixels(background_, 42, 75, 5, 145)), 0);
}

using StereoMeter = ControlTest;

TEST_F(StereoMeter, LevelsInPercentLightEachBarFromTheBottom) {
  // 20 x 145 captured face with two 5 x 145 bars: a = (20 - 5) / 2 = 7, the left
  // bar at x = 6, the right one at x = 12, both from y0 = 0.
  HWND meter =
      CreateStereoMeter(instance_, parent_, 0xE02, 40, 75, 20, 145, nullptr, L"IDB_PEAK");
  ASSERT_NE(meter, nullptr);
  const Pixels bar = BitmapPixels(LoadBitmapByName(instance_, L"IDB_PEAK"), 0, 0, 5, 145);
  Pixels shown = WindowPixels(meter);
  EXPECT_EQ(shown.at(6, 0), bar.at(0, 0)) << "both bars start full (100 %)";
  EXPECT_EQ(shown.at(16, 0), bar.at(4, 0));

  // Left 50 %: u = 145 - 72 = 73 black rows; right 20 %: u = 145 - 29 = 116.
  SendMessageW(meter, UM_SETLEVEL, 0, MAKELPARAM(50, 20));
  shown = WindowPixels(meter);
  EXPECT_EQ(shown.at(6, 72), 0u) << "left bar, last unlit row";
  EXPECT_EQ(shown.at(6, 144), bar.at(0, 144)) << "left bar, bottom row lit";
  EXPECT_EQ(shown.at(12, 115), 0u) << "right bar, last unlit row";
  EXPECT_EQ(shown.at(12, 116), bar.at(0, 116)) << "right bar, first lit row";
}

}  // namespace
}  // namespace tqm::widgets::testing
