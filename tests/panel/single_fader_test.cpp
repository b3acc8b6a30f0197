// The single-value fader family: the one-cap vertical fader, the arc slider and
// the knob, each driven by mouse, key and wheel messages, with the scroll
// notifications they post and where they draw their value.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

namespace tqm::widgets::testing {
namespace {

struct Scroll {
  UINT message;
  WORD code;
  WORD value;
};

class SingleFaderTest : public ControlTest {
 protected:
  std::vector<Scroll> Scrolls(HWND control) {
    std::vector<Scroll> scrolls;
    for (const Posted& p : Drain()) {
      if (p.message != WM_VSCROLL && p.message != WM_HSCROLL) continue;
      EXPECT_EQ(p.lParam, reinterpret_cast<LPARAM>(control));
      scrolls.push_back(Scroll{p.message, LOWORD(p.wParam), HIWORD(p.wParam)});
    }
    return scrolls;
  }
  static int Pos(HWND control) {
    return static_cast<int>(SendMessageW(control, SBM_GETPOS, 0, 0));
  }
};

void ExpectScrolls(const std::vector<Scroll>& got, std::initializer_list<Scroll> want) {
  ASSERT_EQ(got.size(), want.size());
  size_t i = 0;
  for (const Scroll& w : want) {
    EXPECT_EQ(got[i].message, w.message) << "notification " << i;
    EXPECT_EQ(got[i].code, w.code) << "notification " << i;
    EXPECT_EQ(got[i].value, w.value) << "notification " << i;
    ++i;
  }
}

TEST_F(SingleFaderTest, VerticalFaderNotifiesTrackReleaseAndPositionCodes) {
  // 51 x 160 track cut at (200, 67), 18 x 16 cap: travel 144, half cap 8.
  HWND fader = CreateVerticalFader(instance_, parent_, 0x700, 200, 67, 51, 160, 0, 100, nullptr,
                                   L"IDB_FADER_OFF", L"IDB_FADER_ON", nullptr);
  ASSERT_NE(fader, nullptr);
  EXPECT_EQ(Pos(fader), 0) << "starts at 0";
  SetWheelStep(8);
  struct Row {
    UINT message;
    WPARAM wParam;
    int y;
    int value;
    WORD code;
    WORD carried;
    const char* why;
  } rows[] = {
      {WM_MOUSEMOVE, MK_LBUTTON, 80, 50, SB_THUMBTRACK, 50, "drag: value from the row"},
      {WM_MOUSEMOVE, 0, 20, 50, 0, 0, "a move without a key changes nothing"},
      {WM_LBUTTONUP, 0, 8, 100, 0, 0, "release at the top of the travel: code 0"},
      {WM_KEYDOWN, VK_UP, 0, 100, SB_THUMBPOSITION, 0, "VK_UP at max stays at max"},
      {WM_KEYDOWN, VK_DOWN, 0, 99, SB_THUMBPOSITION, 0, "VK_DOWN: one down"},
      {WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0, 91, SB_THUMBPOSITION,
       0, "wheel down: one step"},
      {WM_LBUTTONUP, 0, 159, 0, 0, 0, "release below the travel clamps to min"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(fader, row.message, row.wParam, MAKELPARAM(25, row.y));
    EXPECT_EQ(Pos(fader), row.value);
    const std::vector<Scroll> scrolls = Scrolls(fader);
    if (row.message == WM_MOUSEMOVE && row.wParam == 0) {
      EXPECT_TRUE(scrolls.empty());
    } else {
      ExpectScrolls(scrolls, {{WM_VSCROLL, row.code, row.carried}});
    }
  }
  SendMessageW(fader, SBM_SETPOS, 150, 0);
  EXPECT_EQ(Pos(fader), 100) << "kept within the range";
  EXPECT_TRUE(Scrolls(fader).empty());
}

TEST_F(SingleFaderTest, VerticalFaderDrawsItsCapCentredAndKeyed) {
  HWND fader = CreateVerticalFader(instance_, parent_, 0x700, 200, 67, 51, 160, 0, 100, nullptr,
                                   L"IDB_FADER_OFF", L"IDB_FADER_ON", nullptr);
  ASSERT_NE(fader, nullptr);
  SendMessageW(fader, SBM_SETPOS, 50, 0);
  // Value 50: cap top 144 - 72 = 72, left (51 - 18) / 2 = 16.
  const Pixels shown = WindowPixels(fader);
  const Pixels cap = BitmapPixels(LoadBitmapByName(instance_, L"IDB_FADER_OFF"), 0, 0, 18, 16);
  const Pixels track = BitmapPixels(background_, 200, 67, 51, 160);
  EXPECT_EQ(shown.at(16 + 9, 72 + 4), cap.at(9, 4)) << "inside the cap";
  EXPECT_EQ(shown.at(16, 72), track.at(16, 72)) << "the key colour shows the track";
  EXPECT_EQ(shown.at(16 + 9, 71), track.at(25, 71)) << "above the cap";
}

TEST_F(SingleFaderTest, ArcSliderFollowsThePointerAngleOnlyWhileEnabled) {
  // 60 x 60, range 0..270 so that the value is the arc position in degrees;
  // centre (30, 30). Angles clockwise from the top, minus 225, wrapped.
  HWND arc = CreateRoundFader(instance_, parent_, 0x701, 20, 20, 60, 60, 0, 270, nullptr, nullptr);
  ASSERT_NE(arc, nullptr);
  SendMessageW(arc, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 5));
  EXPECT_EQ(Pos(arc), 0) << "disabled: the mouse does nothing";
  EXPECT_EQ(SendMessageW(arc, BM_GETCHECK, 0, 0), 0);
  SendMessageW(arc, WM_LBUTTONUP, 0, MAKELPARAM(30, 5));
  EXPECT_TRUE(Scrolls(arc).empty());

  SendMessageW(arc, BM_SETCHECK, 1, 0);
  EXPECT_EQ(SendMessageW(arc, BM_GETCHECK, 0, 0), 1);
  struct Row {
    UINT message;
    int x, y;
    int value;
    std::vector<Scroll> posted;
    const char* why;
  } rows[] = {
      {WM_LBUTTONDOWN, 30, 5, 135, {{WM_VSCROLL, SB_THUMBTRACK, 135}}, "top: 360 - 225"},
      {WM_MOUSEMOVE, 55, 30, 225, {{WM_VSCROLL, SB_THUMBTRACK, 225}}, "right: 90 + 135"},
      {WM_MOUSEMOVE, 30, 55, 225, {}, "bottom: 315 is in the gap, refused"},
      {WM_MOUSEMOVE, 5, 30, 45, {{WM_VSCROLL, SB_THUMBTRACK, 45}}, "left: 270 - 225"},
      {WM_MOUSEMOVE, 4, 30, 45, {}, "same value: no notification"},
      {WM_LBUTTONUP, 5, 30, 45, {{WM_VSCROLL, SB_THUMBPOSITION, 45}}, "release after moving"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(arc, row.message, row.message == WM_LBUTTONUP ? 0 : MK_LBUTTON,
                 MAKELPARAM(row.x, row.y));
    EXPECT_EQ(Pos(arc), row.value);
    const std::vector<Scroll> got = Scrolls(arc);
    ASSERT_EQ(got.size(), row.posted.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].code, row.posted[i].code);
      EXPECT_EQ(got[i].value, row.posted[i].value);
    }
  }
  SetWheelStep(8);
  SendMessageW(arc, WM_KEYDOWN, VK_UP, 0);
  ExpectScrolls(Scrolls(arc), {{WM_VSCROLL, SB_THUMBPOSITION, 46}});
  SendMessageW(arc, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
  ExpectScrolls(Scrolls(arc), {{WM_VSCROLL, SB_THUMBPOSITION, 54}});

  // The cross sits on the circle of radius 27: value 135 is straight up.
  SendMessageW(arc, SBM_SETPOS, 135, 0);
  const Pixels shown = WindowPixels(arc);
  EXPECT_EQ(shown.at(30, 3), 0u) << "cross centre";
  EXPECT_EQ(shown.at(28, 3), 0u) << "cross arm";
  EXPECT_EQ(shown.at(30, 5), 0u) << "cross arm";
  EXPECT_NE(shown.at(30, 30), 0u) << "nothing at the centre";
}

TEST_F(SingleFaderTest, KnobTurnsByDragKeysAndWheel) {
  // Range 46: value = 10 x (angle + 2.3), truncated.
  HWND knob = CreateKnob(instance_, parent_, 0x702, 100, 20, 60, 60, 46, 20, nullptr,
                         L"IR_JAK_F", L"IR_JAK_N");
  ASSERT_NE(knob, nullptr);
  EXPECT_EQ(Pos(knob), 0) << "starts fully left";
  SendMessageW(knob, SBM_SETPOS, 23, 0);
  EXPECT_EQ(Pos(knob), 23);
  // Angle 0: the 10 x 10 indicator centred at (30, 30 - 20).
  const Pixels indicator = BitmapPixels(LoadBitmapByName(instance_, L"IR_JAK_F"), 0, 0, 10, 10);
  Pixels shown = WindowPixels(knob);
  EXPECT_EQ(shown.at(25 + 5, 5 + 5), indicator.at(5, 5));
  EXPECT_EQ(shown.at(25 + 2, 5 + 2), indicator.at(2, 2));

  SetWheelStep(8);
  struct Row {
    UINT message;
    WPARAM wParam;
    int y;
    int value;
    WORD code;
    const char* why;
  } rows[] = {
      {WM_LBUTTONDOWN, MK_LBUTTON, 30, 23, 0, "press: no turn yet"},
      {WM_MOUSEMOVE, MK_LBUTTON, 33, 21, SB_THUMBTRACK, "3 px down: -0.15 rad, 21.5"},
      {WM_MOUSEMOVE, MK_LBUTTON, 23, 26, SB_THUMBTRACK, "10 px up: +0.5 rad, 26.5"},
      {WM_LBUTTONUP, 0, 23, 26, 0, "release: no notification"},
      {WM_KEYDOWN, VK_UP, 0, 34, SB_THUMBPOSITION, "VK_UP: +0.8 rad"},
      {WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0, 26, SB_THUMBPOSITION,
       "wheel down: -0.8 rad"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(knob, row.message, row.wParam, MAKELPARAM(30, row.y));
    EXPECT_EQ(Pos(knob), row.value);
    const std::vector<Scroll> got = Scrolls(knob);
    if (row.code == 0) {
      EXPECT_TRUE(got.empty());
    } else {
      ExpectScrolls(got, {{WM_HSCROLL, row.code, static_cast<WORD>(row.value)}});
    }
  }
  for (int i = 0; i < 5; ++i) SendMessageW(knob, WM_KEYDOWN, VK_UP, 0);
  EXPECT_EQ(Pos(knob), 46) << "stops at +2.3 rad";
  Scrolls(knob);
}

}  // namespace
}  // namespace tqm::widgets::testing
