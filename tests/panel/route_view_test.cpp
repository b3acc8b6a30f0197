// The InnerROUTE patchbay driven by mouse, command and system messages: cable
// gestures and the table they leave, cable colours on the screen (sampled along
// the expected curve: Wine flattens Béziers coarsely), jack lighting, mute
// switches, Reset through the toolkit's message-box route, and the close box.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tqm::widgets::testing {
namespace {

constexpr int kViewId = 0xD00;

// Jack centres in client coordinates: WDM at x0 89, ASIO at x0 176, record
// columns 39 to the right, rows 23 apart from y 52, jacks 23 x 12.
POINT WdmPlay(int i) { return POINT{100, 58 + 23 * i}; }
POINT WdmRec(int i) { return POINT{139, 58 + 23 * i}; }
POINT AsioPlay(int i) { return POINT{187, 58 + 23 * i}; }
POINT AsioRec(int i) { return POINT{226, 58 + 23 * i}; }
constexpr POINT kEmpty{60, 115};  // background, inside the drag bounds

// Cable ends: ((left + right) / 2 + 1, (top + bottom) / 2 + 1).
POINT EndOf(int x0, int side, int row) {
  const int left = x0 + 39 * side, top = 52 + 23 * row;
  return POINT{(left + left + 23) / 2 + 1, (top + top + 12) / 2 + 1};
}

LPARAM At(POINT p) { return MAKELPARAM(p.x, p.y); }

struct Routed {
  int port, channel, target_port, target_channel;
};

RoutingEntry& EntryOf(PatchTable& table, int port, int channel) {
  return table.entry[RoutingEntryIndex(port, channel)];
}

// A table with these cables and fan-ins counted as the view counts them.
PatchTable TableWith(std::initializer_list<Routed> cables) {
  PatchTable table{};
  for (const Routed& c : cables) {
    RoutingEntry& e = EntryOf(table, c.port, c.channel);
    e.routed = 1;
    e.targetPort = c.target_port;
    e.targetSide = 1;
    e.targetChannel = c.target_channel;
    ++EntryOf(table, c.target_port, c.target_channel).fanIn;
  }
  return table;
}

std::string Describe(const PatchTable& table) {
  std::string out;
  for (int e = 0; e < 8; ++e) {
    const RoutingEntry& r = table.entry[e];
    out += "[" + std::to_string(e / 2) + "," + std::to_string(e % 2) + "] routed " +
           std::to_string(r.routed) + " fan-in " + std::to_string(r.fanIn) + " target " +
           std::to_string(r.targetPort) + "/" + std::to_string(r.targetSide) + "/" +
           std::to_string(r.targetChannel) + " muted " + std::to_string(r.muted) +
           " reserved " + std::to_string(r.reserved) + "\n";
  }
  return out;
}

bool Same(const PatchTable& a, const PatchTable& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

enum class Ink { Red, GreenBlue, Yellow, Other };

// Cable pixels are pure mixes of the pen rows' colours at intensity 80..240;
// the routing background has none of them.
Ink Classify(uint32_t rgb) {
  const int r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
  if (r >= 80 && g == 0 && b == 0) return Ink::Red;
  if (r == 0 && g >= 80 && g == b) return Ink::GreenBlue;
  if (r >= 80 && r == g && b == 0) return Ink::Yellow;
  return Ink::Other;
}

// Points along the cable between two ends, as the cable rule shapes it, from
// parameter first / 40 to last / 40.
std::vector<POINT> CurveSamples(POINT a, POINT b, int first = 4, int last = 36) {
  const POINT u = a.y <= b.y ? a : b, l = a.y <= b.y ? b : a;
  const double px[4] = {double(u.x), double(u.x), double(l.x), double(l.x)};
  const double py[4] = {double(u.y), double(l.y + 20), double(l.y + 20), double(l.y)};
  std::vector<POINT> samples;
  for (int s = first; s <= last; ++s) {
    const double t = s / 40.0, m = 1 - t;
    const double w[4] = {m * m * m, 3 * m * m * t, 3 * m * t * t, t * t * t};
    samples.push_back(POINT{static_cast<LONG>(std::lround(w[0] * px[0] + w[1] * px[1] +
                                                          w[2] * px[2] + w[3] * px[3])),
                            static_cast<LONG>(std::lround(w[0] * py[0] + w[1] * py[1] +
                                                          w[2] * py[2] + w[3] * py[3]))});
  }
  return samples;
}

// Samples with no pixel of the ink within 3 pixels.
int MissedSamples(const Pixels& shown, const std::vector<POINT>& samples, Ink ink) {
  int missed = 0;
  for (const POINT& p : samples) {
    bool found = false;
    for (int dy = -3; dy <= 3 && !found; ++dy) {
      for (int dx = -3; dx <= 3 && !found; ++dx) {
        const int x = p.x + dx, y = p.y + dy;
        if (x >= 0 && y >= 0 && x < shown.width && y < shown.height) {
          found = Classify(shown.at(x, y)) == ink;
        }
      }
    }
    missed += !found;
  }
  return missed;
}

// Pixels of the ink farther than `reach` from every point of the whole curve
// from a to b: ink off the curve.
int StrayInk(const Pixels& shown, POINT a, POINT b, Ink ink, int reach) {
  const std::vector<POINT> samples = CurveSamples(a, b, 0, 40);
  int stray = 0;
  for (int y = 0; y < shown.height; ++y) {
    for (int x = 0; x < shown.width; ++x) {
      if (Classify(shown.at(x, y)) != ink) continue;
      bool close_by = false;
      for (const POINT& p : samples) close_by = close_by || (std::abs(p.x - x) <= reach &&
                                                     std::abs(p.y - y) <= reach);
      stray += !close_by;
    }
  }
  return stray;
}

int CountInk(const Pixels& shown, Ink ink) {
  int count = 0;
  for (uint32_t p : shown.rgb) count += Classify(p) == ink;
  return count;
}

class RouteViewTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    // Beside the recording parent, so that nothing covers it on the screen.
    view_ = CreateRouteView(instance_, parent_, kViewId, 340, 20, 2, 2, L"IR_F", L"IR_JAK_N",
                            L"IR_JAK_F", &table_);
    ASSERT_NE(view_, nullptr);
    Drain();
  }

  void Show() {
    ShowWindow(view_, SW_SHOW);
    UpdateWindow(view_);
  }

  // Press at a, move through the points with the button held, release at the
  // last one.
  void Gesture(POINT press, const std::vector<POINT>& path) {
    SendMessageW(view_, WM_LBUTTONDOWN, MK_LBUTTON, At(press));
    POINT last = press;
    for (POINT p : path) {
      SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(p));
      last = p;
    }
    SendMessageW(view_, WM_LBUTTONUP, 0, At(last));
  }

  // The notifications (WM_COMMAND wParam) the owner received since the last call.
  std::vector<WPARAM> Notifications() {
    std::vector<WPARAM> codes;
    for (const Posted& p : Drain()) {
      if (p.message != WM_COMMAND) continue;
      EXPECT_EQ(p.lParam, reinterpret_cast<LPARAM>(view_));
      codes.push_back(p.wParam);
    }
    return codes;
  }

  // Whether a jack shows its lit picture, judged on the pixels where the two
  // pictures differ (a cable end may cover a few of them): 1 lit, 0 unlit,
  // -1 neither.
  int JackLit(int x0, int side, int row) {
    const Pixels shown = WindowPixels(view_);
    const Pixels lit = BitmapPixels(LoadBitmapByName(instance_, L"IR_JAK_N"), 0, 0, 10, 10);
    const Pixels unlit = BitmapPixels(LoadBitmapByName(instance_, L"IR_JAK_F"), 0, 0, 10, 10);
    const int left = x0 + 39 * side + 8, top = 52 + 23 * row + 4;
    int as_lit = 0, as_unlit = 0;
    for (int y = 0; y < 10; ++y) {
      for (int x = 0; x < 10; ++x) {
        if (lit.at(x, y) == unlit.at(x, y)) continue;
        as_lit += shown.at(left + x, top + y) == lit.at(x, y);
        as_unlit += shown.at(left + x, top + y) == unlit.at(x, y);
      }
    }
    if (as_lit >= 10 && as_unlit == 0) return 1;
    if (as_unlit >= 10 && as_lit == 0) return 0;
    return -1;
  }

  PatchTable table_{};
  HWND view_ = nullptr;
};

TEST_F(RouteViewTest, CreatedHiddenAsAnOwnedPopupWithResetMenuAndMuteSwitches) {
  EXPECT_FALSE(IsWindowVisible(view_));
  EXPECT_EQ(GetWindow(view_, GW_OWNER), parent_);
  wchar_t text[32] = {};
  GetWindowTextW(view_, text, 32);
  EXPECT_EQ(Narrow(text), "InnerROUTE");
  HMENU menu = GetMenu(view_);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetMenuItemCount(menu), 1);
  EXPECT_EQ(GetMenuItemID(menu, 0), 0x1980u);
  GetMenuStringW(menu, 0, text, 32, MF_BYPOSITION);
  EXPECT_EQ(Narrow(text), "Reset");
  RECT rect;
  GetWindowRect(view_, &rect);
  EXPECT_EQ(rect.left, 340);
  EXPECT_EQ(rect.right - rect.left, 262 + 2 * GetSystemMetrics(SM_CXBORDER) +
                                        GetSystemMetrics(SM_CXFRAME) + 15);
  EXPECT_EQ(rect.bottom - rect.top,
            127 + 2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYFRAME) +
                GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + 15);
  struct Row {
    int id;
    int x;
    bool visible;
  } rows[] = {{0x1880, 89, true}, {0x1881, 89, false}, {0x1882, 176, true}};
  for (const Row& row : rows) {
    HWND mute = GetDlgItem(view_, row.id);
    ASSERT_NE(mute, nullptr) << std::hex << row.id;
    RECT r;
    GetWindowRect(mute, &r);
    MapWindowPoints(nullptr, view_, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, row.x);
    EXPECT_EQ(r.top, 37);
    EXPECT_EQ(r.right - r.left, 25);
    EXPECT_EQ((GetWindowLongW(mute, GWL_STYLE) & WS_VISIBLE) != 0, row.visible) << row.id;
  }
  EXPECT_EQ(SendMessageW(view_, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(RouteViewTest, GesturesEditTheTableAndAlwaysNotify) {
  struct Row {
    PatchTable before;
    POINT press;
    std::vector<POINT> path;
    PatchTable after;
    const char* why;
  } rows[] = {
      {TableWith({}), WdmPlay(0), {kEmpty, AsioRec(1)}, TableWith({{0, 0, 2, 1}}),
       "WDM playback to ASIO record: one cable, fan-in 1"},
      {TableWith({}), AsioRec(0), {kEmpty, WdmPlay(1)}, TableWith({{0, 1, 2, 0}}),
       "from a record jack to a playback jack routes the playback jack"},
      {TableWith({{0, 0, 2, 0}, {2, 1, 2, 0}}), AsioRec(0), {kEmpty},
       TableWith({{2, 1, 2, 0}}),
       "two cables into one jack: lifting there takes the first in table order, fan-in 1"},
      {TableWith({{0, 1, 2, 1}}), WdmPlay(1), {kEmpty}, TableWith({}),
       "lifting a patched playback jack onto the background removes the cable"},
      {TableWith({}), WdmPlay(0), {kEmpty, AsioPlay(0)}, TableWith({}),
       "a drop on a jack of the same kind routes nothing"},
      {TableWith({}), AsioRec(0), {kEmpty, WdmRec(1)}, TableWith({}),
       "record to record routes nothing either"},
      {TableWith({{2, 0, 0, 1}}), kEmpty, {AsioPlay(0)}, TableWith({}),
       "press on the background, release on a patched playback jack: unrouted"},
      {TableWith({{0, 0, 2, 0}, {2, 1, 2, 0}}), kEmpty, {AsioRec(0)},
       TableWith({{2, 1, 2, 0}}),
       "press on the background, release on a record jack: its first cable goes"},
      {TableWith({{0, 0, 2, 0}}), WdmPlay(0), {kEmpty, AsioPlay(1)}, TableWith({{2, 1, 2, 0}}),
       "a lifted playback end dropped on another playback jack moves the cable's source"},
      {TableWith({{0, 0, 2, 0}}), WdmPlay(0), {kEmpty, AsioRec(1)}, TableWith({}),
       "a lifted playback end dropped on a record jack (its own end's kind) is removed"},
      {TableWith({{0, 0, 2, 0}}), AsioRec(0), {kEmpty, WdmRec(0)}, TableWith({{0, 0, 0, 0}}),
       "a lifted record end dropped on another record jack moves the cable"},
      {TableWith({{0, 0, 2, 0}}), WdmPlay(0), {}, TableWith({{0, 0, 2, 0}}),
       "a click on a patched playback jack puts its cable back"},
      {TableWith({{0, 0, 2, 0}}), WdmRec(1), {kEmpty, WdmPlay(0)}, TableWith({{0, 0, 0, 1}}),
       "re-routing a patched playback jack lowers the old target's fan-in"},
      {TableWith({}), kEmpty, {WdmRec(0)}, TableWith({}),
       "a release on an empty record jack changes nothing"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    table_ = row.before;
    Gesture(row.press, row.path);
    EXPECT_TRUE(Same(table_, row.after)) << "got\n"
                                         << Describe(table_) << "want\n"
                                         << Describe(row.after);
    EXPECT_EQ(Notifications(), std::vector<WPARAM>{kViewId});
  }
}

TEST_F(RouteViewTest, FanInNeverDropsBelowZeroAndStrayTargetsAreLeftAlone) {
  struct Row {
    RoutingEntry source;
    int lowered_port, lowered_channel, fan_in_before, fan_in_after;
    const char* why;
  } rows[] = {
      {{1, 0, 2, 1, 0, 0, 0}, 2, 0, 0, 0, "a target whose fan-in is already 0 stays at 0"},
      {{1, 0, 2, 1, 1, 0, 0}, 2, 1, 3, 2, "a counted target loses one"},
      {{1, 0, 7, 1, 9, 0, 0}, 2, 1, 3, 3, "a stored target outside the table lowers nothing"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    table_ = PatchTable{};
    EntryOf(table_, 0, 0) = row.source;
    EntryOf(table_, row.lowered_port, row.lowered_channel).fanIn = row.fan_in_before;
    // Press on the background and release on WDM playback 0: unroute it.
    Gesture(kEmpty, {WdmPlay(0)});
    EXPECT_EQ(EntryOf(table_, 0, 0).routed, 0);
    EXPECT_EQ(EntryOf(table_, 0, 0).targetPort, 0);
    EXPECT_EQ(EntryOf(table_, row.lowered_port, row.lowered_channel).fanIn, row.fan_in_after);
    Notifications();
  }
}

TEST_F(RouteViewTest, CablesAreDrawnInTheirPortsColours) {
  Show();
  Gesture(WdmPlay(0), {kEmpty, AsioRec(0)});
  Pixels shown = WindowPixels(view_);
  const std::vector<POINT> red = CurveSamples(EndOf(89, 0, 0), EndOf(176, 1, 0));
  EXPECT_EQ(MissedSamples(shown, red, Ink::Red), 0) << "a red cable along the curve";
  EXPECT_EQ(StrayInk(shown, EndOf(89, 0, 0), EndOf(176, 1, 0), Ink::Red, 8), 0) << "and no other red cable";
  EXPECT_EQ(CountInk(shown, Ink::GreenBlue), 0);
  EXPECT_EQ(CountInk(shown, Ink::Yellow), 0);

  Gesture(AsioPlay(1), {kEmpty, WdmRec(1)});
  shown = WindowPixels(view_);
  const std::vector<POINT> teal = CurveSamples(EndOf(176, 0, 1), EndOf(89, 1, 1));
  EXPECT_EQ(MissedSamples(shown, teal, Ink::GreenBlue), 0) << "an ASIO cable is green-blue";
  EXPECT_EQ(StrayInk(shown, EndOf(176, 0, 1), EndOf(89, 1, 1), Ink::GreenBlue, 8), 0);
  EXPECT_EQ(MissedSamples(shown, red, Ink::Red), 0) << "the red cable is still there";

  // While dragging from ASIO playback 0 the loose cable is yellow.
  const POINT pointer{150, 120};
  SendMessageW(view_, WM_LBUTTONDOWN, MK_LBUTTON, At(AsioPlay(0)));
  SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(pointer));
  shown = WindowPixels(view_);
  const std::vector<POINT> loose = CurveSamples(AsioPlay(0), pointer);
  EXPECT_EQ(MissedSamples(shown, loose, Ink::Yellow), 0) << "the dragged cable is yellow";
  EXPECT_EQ(StrayInk(shown, AsioPlay(0), pointer, Ink::Yellow, 8), 0);
  SendMessageW(view_, WM_LBUTTONUP, 0, At(pointer));
  shown = WindowPixels(view_);
  EXPECT_EQ(CountInk(shown, Ink::Yellow), 0) << "released on the background: gone";
}

TEST_F(RouteViewTest, JacksLightUnderTheGestureAndGoOutOnRelease) {
  // Points at the jacks' left ends, so that the cable end leaves the pictures
  // (at +8, +4 in the rectangles) in view.
  const POINT wdm_play0{90, 53}, asio_rec1{216, 76}, asio_play1{177, 76}, asio_rec0{216, 53};
  Show();
  EXPECT_EQ(JackLit(89, 0, 0), 0);
  SendMessageW(view_, WM_LBUTTONDOWN, MK_LBUTTON, At(wdm_play0));
  EXPECT_EQ(JackLit(89, 0, 0), 1) << "the pressed jack";
  SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(asio_rec1));
  EXPECT_EQ(JackLit(176, 1, 1), 1) << "a record jack under the pointer";
  SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(kEmpty));
  EXPECT_EQ(JackLit(176, 1, 1), 0) << "left again";
  SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(asio_play1));
  EXPECT_EQ(JackLit(176, 0, 1), 0) << "a jack of the start's kind stays dark";
  SendMessageW(view_, WM_MOUSEMOVE, 0, At(asio_rec0));
  EXPECT_EQ(JackLit(176, 1, 0), 0) << "moves without a key held do not drag";
  EXPECT_EQ(JackLit(89, 0, 0), 1) << "the pressed jack stays lit throughout";
  SendMessageW(view_, WM_LBUTTONUP, 0, At(kEmpty));
  EXPECT_EQ(JackLit(89, 0, 0), 0) << "all out after the release";
  EXPECT_TRUE(Same(table_, TableWith({})));

  // Lifting a cable: the pressed jack is lit while the pointer is on it and
  // goes out when it leaves, since the cable's fixed end is elsewhere.
  table_ = TableWith({{0, 0, 2, 0}});
  InvalidateRect(view_, nullptr, FALSE);
  SendMessageW(view_, WM_LBUTTONDOWN, MK_LBUTTON, At(wdm_play0));
  EXPECT_EQ(JackLit(89, 0, 0), 1) << "the lifted cable's pressed jack";
  SendMessageW(view_, WM_MOUSEMOVE, MK_LBUTTON, At(kEmpty));
  EXPECT_EQ(JackLit(89, 0, 0), 0) << "left behind";
  SendMessageW(view_, WM_LBUTTONUP, 0, At(kEmpty));
  EXPECT_TRUE(Same(table_, TableWith({}))) << "dropped on the background: removed";
}

TEST_F(RouteViewTest, MuteSwitchesFlipTheirPortsWordAndNotify) {
  Show();
  struct Row {
    int port;
    int muted_after;
    const char* why;
  } rows[] = {
      {0, 1, "WDM switch on"},
      {2, 1, "ASIO switch on"},
      {0, 0, "WDM switch off again"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    HWND mute = GetDlgItem(view_, 0x1880 + row.port);
    SendMessageW(mute, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(mute, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(Notifications(), std::vector<WPARAM>{kViewId});
    EXPECT_EQ(EntryOf(table_, row.port, 0).muted, row.muted_after);
    EXPECT_EQ(SendMessageW(mute, BM_GETCHECK, 0, 0), row.muted_after);
    EXPECT_EQ(EntryOf(table_, row.port, 1).muted, 0) << "only the channel-0 entry";
  }
  // A repaint shows the table's words, whoever changed them.
  EntryOf(table_, 0, 0).muted = 1;
  EntryOf(table_, 2, 0).muted = 0;
  InvalidateRect(view_, nullptr, FALSE);
  UpdateWindow(view_);
  EXPECT_EQ(SendMessageW(GetDlgItem(view_, 0x1880), BM_GETCHECK, 0, 0), 1);
  EXPECT_EQ(SendMessageW(GetDlgItem(view_, 0x1882), BM_GETCHECK, 0, 0), 0);
}

TEST_F(RouteViewTest, ResetAsksFirstAndZeroesTheTableOnlyWhenConfirmed) {
  Show();
  table_ = TableWith({{0, 0, 2, 0}, {2, 1, 0, 1}});
  EntryOf(table_, 2, 0).muted = 1;
  const PatchTable before = table_;

  AnswerBoxesWith(IDCANCEL);
  SendMessageW(view_, WM_COMMAND, 0x1980, 0);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].owner, nullptr);
  EXPECT_EQ(Narrow(Boxes()[0].text), "Are you sure ?");
  EXPECT_EQ(Narrow(Boxes()[0].caption), "Reset InnerROUTE settings");
  EXPECT_EQ(Boxes()[0].type, static_cast<UINT>(MB_OKCANCEL));
  EXPECT_TRUE(Same(table_, before)) << "cancelled: untouched";
  EXPECT_TRUE(Notifications().empty()) << "cancelled: nothing sent";

  AnswerBoxesWith(IDOK);
  SendMessageW(view_, WM_COMMAND, 0x1980, 0);
  EXPECT_EQ(Boxes().size(), 2u);
  for (const RoutingEntry& e : table_.entry) {
    EXPECT_EQ(e.routed | e.fanIn | e.targetPort | e.targetSide | e.targetChannel | e.muted, 0)
        << Describe(table_);
    EXPECT_EQ(e.reserved, -1);
  }
  EXPECT_EQ(Notifications(), std::vector<WPARAM>{kViewId + 1});
  EXPECT_TRUE(IsWindowVisible(view_)) << "shown again after the redraw";
  const Pixels shown = WindowPixels(view_);
  EXPECT_EQ(CountInk(shown, Ink::Red), 0) << "no cable left on the screen";
}

TEST_F(RouteViewTest, CloseBoxOnlyHidesAndTheViewComesBackWithItsCables) {
  Show();
  Gesture(WdmPlay(1), {kEmpty, AsioRec(1)});
  Notifications();
  const PatchTable before = table_;
  SendMessageW(view_, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(IsWindow(view_));
  EXPECT_FALSE(IsWindowVisible(view_));
  EXPECT_TRUE(Same(table_, before));
  EXPECT_TRUE(Notifications().empty());
  Show();
  const Pixels shown = WindowPixels(view_);
  EXPECT_EQ(MissedSamples(shown, CurveSamples(EndOf(89, 0, 1), EndOf(176, 1, 1)), Ink::Red), 0);
}

TEST_F(RouteViewTest, StoredCablesWithoutJacksAreNotDrawnAndNotLifted) {
  // WDM playback 0 stored as going to MME (a port without jacks here).
  table_ = TableWith({{0, 0, 1, 0}});
  Show();
  EXPECT_EQ(CountInk(WindowPixels(view_), Ink::Red), 0) << "nothing to draw it to";
  // Pressing there starts a new cable instead of lifting the stored one; the
  // drop replaces it and takes it off MME's fan-in.
  Gesture(WdmPlay(0), {kEmpty, AsioRec(0)});
  EXPECT_TRUE(Same(table_, TableWith({{0, 0, 2, 0}}))) << Describe(table_);
}

}  // namespace
}  // namespace tqm::widgets::testing
