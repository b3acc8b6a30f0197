// The artwork linked into the panel: every bitmap the panel names exists at the
// size its controls are laid out for, the icons load, and the fader scale marks
// on the background sit where the value mapping puts the cap centre.
#include "control_harness.h"
#include "level_scale.h"
#include "toolkit.h"

namespace tqm::widgets::testing {
namespace {

using Artwork = ControlTest;

struct SizeRow {
  const wchar_t* name;
  int width;
  int height;
  const char* why;
};

TEST_F(Artwork, EveryNamedBitmapHasTheSizeItsControlsExpect) {
  const SizeRow rows[] = {
      {L"IDB_BACK1", 188, 300, "main window client area"},
      {L"IDB_FADER_OFF", 18, 16, "cap: two fit beside the meters in a 51-pixel fader"},
      {L"IDB_FADER_ON", 18, 16, "lit cap, same size as the unlit one"},
      {L"IDB_IN_MUTE_ON", 45, 20, "mute toggle"},
      {L"IDB_IN_MUTE_OFF", 45, 20, "mute toggle"},
      {L"IDB_OUT_MUTE_ON", 45, 20, "kept with the resources"},
      {L"IDB_OUT_MUTE_OFF", 45, 20, "kept with the resources"},
      {L"IDB_PEAK", 5, 145, "meter bar: levels 0 .. 145"},
      {L"IR_F", 262, 127, "routing view background"},
      {L"IR_JAK_N", 10, 10, "jack picture at (+8, +4) of a 23 x 12 jack"},
      {L"IR_JAK_F", 10, 10, "unlit jack"},
      {L"IR_BTN_F", 25, 14, "routing mute switch"},
      {L"IR_BTN_N", 25, 14, "routing mute switch"},
      {L"ORU_LOGO", 64, 24, "word mark"},
  };
  for (const SizeRow& row : rows) {
    SCOPED_TRACE(row.why);
    HBITMAP bitmap = LoadBitmapByName(instance_, row.name);
    ASSERT_NE(bitmap, nullptr) << Narrow(row.name);
    BITMAP info{};
    ASSERT_TRUE(GetObjectW(bitmap, sizeof info, &info));
    EXPECT_EQ(info.bmWidth, row.width) << Narrow(row.name);
    EXPECT_EQ(info.bmHeight, row.height) << Narrow(row.name);
  }
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(Artwork, IconsLoad) {
  for (int id : {113, 129}) {
    HICON icon = LoadIconW(instance_, MAKEINTRESOURCEW(id));
    EXPECT_NE(icon, nullptr) << "icon " << id;
  }
}

// Cap centre row on the panel for a position: fader top 67, half cap 8, travel
// 144; the cap's top is travel - travel * position / top.
int CapCentreRow(int position, int top_position) {
  return 67 + 8 + 144 - 144 * position / top_position;
}

struct MarkRow {
  panel::Strip strip;
  float db;
  int tick_x;     // inside the left cap column, clear of the slot
  uint32_t colour;
  const char* why;
};

TEST_F(Artwork, ScaleMarksSitAtTheCapCentreOfTheirPositions) {
  constexpr uint32_t kAccent = 0xFFB020, kTick = 0x3A424B;
  const MarkRow rows[] = {
      {panel::Strip::Input, 0.0f, 24, kAccent, "input 0 dB: position 80 of 104"},
      {panel::Strip::Input, 12.0f, 24, kTick, "input top: +12 dB"},
      {panel::Strip::Input, -40.0f, 24, kTick, "input bottom: -40 dB"},
      {panel::Strip::Input, -12.0f, 24, kTick, "input -12 dB"},
      {panel::Strip::Output, 0.0f, 114, kAccent, "output 0 dB: the top position 110"},
      {panel::Strip::Output, -20.0f, 114, kTick, "output -20 dB"},
      {panel::Strip::Output, -55.0f, 114, kTick, "output bottom: -55 dB"},
  };
  for (const MarkRow& row : rows) {
    SCOPED_TRACE(row.why);
    const int top = row.strip == panel::Strip::Output ? panel::kOutputFaderTop
                                                      : panel::kInputFaderTop;
    const int y = CapCentreRow(panel::PositionFromDb(row.strip, row.db), top);
    const Pixels column = BitmapPixels(background_, row.tick_x, y - 1, 1, 3);
    EXPECT_EQ(column.at(0, 1), row.colour) << std::hex << "row " << std::dec << y;
    EXPECT_NE(column.at(0, 0), row.colour) << "a one-pixel line, not a band";
    EXPECT_NE(column.at(0, 2), row.colour) << "a one-pixel line, not a band";
  }
}

}  // namespace
}  // namespace tqm::widgets::testing
