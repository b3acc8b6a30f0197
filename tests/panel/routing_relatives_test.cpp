// The two routing windows the panel registers but does not create: the
// many-channel patchbay (its own jack layout over the same gestures) and the
// output-channel assignment window, driven through their buttons, menu
// command and the toolkit's message-box route.
#include "control_harness.h"
#include "controls.h"
#include "toolkit.h"

#include <array>

namespace tqm::widgets::testing {
namespace {

using ClassicRouteView = ControlTest;

TEST_F(ClassicRouteView, PlacesItsJacksInGroupsOfEightAndRoutesAcrossThem) {
  constexpr int kChannels = 10;
  RoutingEntry entries[4 * kChannels] = {};
  HWND view = CreateClassicRouteView(instance_, parent_, 0xD10, kChannels, L"IR_F", L"IR_JAK_N",
                                     L"IR_JAK_F", entries);
  ASSERT_NE(view, nullptr);
  wchar_t title[32] = {};
  GetWindowTextW(view, title, 32);
  EXPECT_EQ(Narrow(title), "InnerROUTE(R)-3.0");
  EXPECT_EQ(GetMenu(view), nullptr);
  RECT rect;
  GetWindowRect(view, &rect);
  EXPECT_EQ(rect.left, 320 / 3) << "a third of the owner's rectangle";
  EXPECT_EQ(rect.top, 320 / 3);
  // Its mute pictures are not among the panel's resources: each failed name
  // frees its cache entry for the next, so all three switches ask for both.
  EXPECT_EQ(Boxes().size(), 6u);
  for (int port = 0; port < 3; ++port) {
    EXPECT_NE(GetDlgItem(view, 0x1880 + port), nullptr) << port;
  }

  struct Row {
    POINT press;
    POINT release;
    int source;  // entry index
    int target_port, target_channel;
    const char* why;
  } rows[] = {
      // MME playback 0 (115, 68)-(132, 85) to ASIO record 1 (328, 91)-(345, 108).
      {{123, 76}, {336, 99}, 0, 2, 1, "first group"},
      // INPUT playback 8 sits 6 pixels lower than the pitch alone: (67, 258)-(84, 275);
      // MME record 9 at (154, 281)-(171, 298).
      {{70, 260}, {158, 296}, 3 * kChannels + 8, 0, 9, "after the eighth jack"},
      // WDM has no record column: a drop at x0 + 39 lands on nothing.
      {{210, 76}, {245, 76}, -1, 0, 0, "WDM record column does not exist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    SendMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(row.press.x, row.press.y));
    SendMessageW(view, WM_LBUTTONUP, 0, MAKELPARAM(row.release.x, row.release.y));
    int routed = 0;
    for (const RoutingEntry& e : entries) routed += e.routed;
    if (row.source < 0) {
      EXPECT_EQ(routed, 2) << "nothing new";
      continue;
    }
    const RoutingEntry& e = entries[row.source];
    EXPECT_EQ(e.routed, 1);
    EXPECT_EQ(e.targetPort, row.target_port);
    EXPECT_EQ(e.targetSide, 1);
    EXPECT_EQ(e.targetChannel, row.target_channel);
    EXPECT_EQ(entries[row.target_port * kChannels + row.target_channel].fanIn, 1);
  }
  int notifications = 0;
  for (const Posted& p : Drain()) notifications += p.message == WM_COMMAND && p.wParam == 0xD10;
  EXPECT_EQ(notifications, 3) << "one per release";
  SendMessageW(view, WM_COMMAND, 0x1980, 0);
  EXPECT_EQ(Boxes().size(), 6u) << "no Reset without a menu";
}

class OutputRoutingTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    view_ = CreateOutputRoutingView(instance_, parent_, 0xD20, 340, 20, 4, sources_.data());
    ASSERT_NE(view_, nullptr);
    Drain();
  }

  // Clicks a button of the window; returns the notifications the owner got.
  int Click(int id) {
    HWND button = GetDlgItem(view_, id);
    EXPECT_NE(button, nullptr) << std::hex << id;
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    SendMessageW(button, WM_LBUTTONUP, 0, 0);
    int count = 0;
    for (const Posted& p : Drain()) {
      if (p.message != WM_COMMAND) continue;
      EXPECT_EQ(p.wParam, 0xD20u);
      EXPECT_EQ(p.lParam, reinterpret_cast<LPARAM>(view_));
      ++count;
    }
    return count;
  }

  // The window itself stays hidden: look at the buttons' own visibility.
  bool ButtonsShown(int row) const {
    const auto shown = [](HWND button) {
      return (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) != 0;
    };
    return shown(GetDlgItem(view_, 0x1900 + row)) && shown(GetDlgItem(view_, 0x1890 + row));
  }

  std::array<int, 4> sources_{0, 7, 2, -1};
  HWND view_ = nullptr;
};

TEST_F(OutputRoutingTest, StartsFromValidSourcesAndShowsThemCountedFromOne) {
  EXPECT_EQ(sources_, (std::array<int, 4>{0, 1, 2, 3})) << "out-of-range entries are reset";
  wchar_t title[32] = {};
  GetWindowTextW(view_, title, 32);
  EXPECT_EQ(Narrow(title), "InnerROUTE Routing");
  EXPECT_EQ(GetMenuItemID(GetMenu(view_), 0), 0x1981u);
  EXPECT_FALSE(IsWindowVisible(view_));
  ShowWindow(view_, SW_SHOW);
  // Row 2's label against a label made with the text it must show.
  HWND reference = CreateSmallText(instance_, parent_, 0x1, 0, 0, 20, 23, 0x989796, 0x1A1816, L"3");
  HWND label = GetDlgItem(view_, 0x1912);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(CountDifferences(WindowPixels(label), WindowPixels(reference)), 0);
}

TEST_F(OutputRoutingTest, UpDownAndLinkChangeAssignmentsWithinRange) {
  struct Row {
    int button;
    std::array<int, 4> after;
    int notified;
    const char* why;
  } rows[] = {
      {0x1890, {1, 1, 2, 3}, 1, "up on row 0"},
      {0x1900, {0, 1, 2, 3}, 1, "down on row 0"},
      {0x1900, {0, 1, 2, 3}, 0, "down at source 1 stays: nothing to tell"},
      {0x1893, {0, 1, 2, 3}, 0, "up at the last source stays"},
      {0x1930, {0, 1, 2, 3}, 1, "link on"},
      {0x1890, {1, 2, 2, 3}, 1, "linked: row 0 moves its partner row 1 too"},
      {0x1892, {1, 2, 2, 3}, 0, "linked: row 3 would leave the range, so neither moves"},
      {0x1902, {1, 2, 1, 2}, 1, "linked: down on row 2 moves rows 2 and 3"},
      {0x1930, {1, 2, 1, 2}, 1, "link off"},
      {0x1893, {1, 2, 1, 3}, 1, "unlinked: row 3 alone"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(Click(row.button), row.notified);
    EXPECT_EQ(sources_, row.after);
    const bool linked = SendMessageW(GetDlgItem(view_, 0x1930), BM_GETCHECK, 0, 0) == 1;
    EXPECT_TRUE(ButtonsShown(0));
    EXPECT_EQ(ButtonsShown(1), !linked) << "every second row loses its buttons when linked";
    EXPECT_EQ(ButtonsShown(3), !linked);
  }
}

TEST_F(OutputRoutingTest, ResetAsksAndRestoresTheIdentityWithLinkOff) {
  Click(0x1930);
  Click(0x1890);
  ASSERT_EQ(sources_, (std::array<int, 4>{1, 2, 2, 3}));
  const size_t boxes = Boxes().size();
  AnswerBoxesWith(IDCANCEL);
  SendMessageW(view_, WM_COMMAND, 0x1981, 0);
  ASSERT_EQ(Boxes().size(), boxes + 1);
  EXPECT_EQ(Narrow(Boxes().back().text), "Are you sure ?");
  EXPECT_EQ(Narrow(Boxes().back().caption), "Reset output channels");
  EXPECT_EQ(sources_, (std::array<int, 4>{1, 2, 2, 3})) << "cancelled";
  EXPECT_TRUE(Drain().empty());
  AnswerBoxesWith(IDOK);
  SendMessageW(view_, WM_COMMAND, 0x1981, 0);
  EXPECT_EQ(sources_, (std::array<int, 4>{0, 1, 2, 3}));
  EXPECT_EQ(SendMessageW(GetDlgItem(view_, 0x1930), BM_GETCHECK, 0, 0), 0);
  EXPECT_TRUE(ButtonsShown(1));
  int notified = 0;
  for (const Posted& p : Drain()) notified += p.message == WM_COMMAND && p.wParam == 0xD20;
  EXPECT_EQ(notified, 1);
}

}  // namespace
}  // namespace tqm::widgets::testing
