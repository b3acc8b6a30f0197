// Level scales of the panel: positions to decibels and back, the label text,
// and the meter's level and display with its fall. Table-driven; every row says
// where its expected value comes from.
#include "level_scale.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

namespace tqm::panel {
namespace {

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

std::string DbText(int strip, int position) {
  char16_t text[kDbTextUnits];
  text[0] = u'\0';
  EXPECT_TRUE(FormatDbText(strip, position, text)) << "strip " << strip;
  return Narrow(text);
}

struct DbRow {
  Strip strip;
  int position;
  float db;
  const char* text;
  const char* why;
};

const DbRow kDbRows[] = {
    {Strip::Output, 110, 0.0f, "0dB", "output reference: 0 dB shows without decimals"},
    {Strip::Output, 0, -55.0f, "-55.0dB", "bottom of the output fader: 110 half-dB steps"},
    {Strip::Output, 85, -12.5f, "-12.5dB", "25 steps below the output reference"},
    {Strip::Output, 109, -0.5f, "-0.5dB", "one step below 0 dB keeps its sign and decimal"},
    {Strip::Input, 80, 0.0f, "0dB", "input reference"},
    {Strip::Input, 104, 12.0f, "+12.0dB", "top of the input fader: gain shows a plus sign"},
    {Strip::Input, 100, 10.0f, "+10.0dB", "20 steps above the input reference"},
    {Strip::Input, 0, -40.0f, "-40.0dB", "bottom of the input fader"},
    {Strip::Input, 81, 0.5f, "+0.5dB", "one step above 0 dB"},
    {Strip::Output, 111, 0.5f, "+0.5dB", "beyond the output fader (from an endpoint): still formatted"},
};

TEST(LevelScale, PositionToDecibelsAndText) {
  for (const DbRow& row : kDbRows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(LevelDb(row.strip, row.position), row.db) << "position " << row.position;
    EXPECT_EQ(DbText(static_cast<int>(row.strip), row.position), row.text)
        << "position " << row.position;
  }
}

TEST(LevelScale, DecibelsMapBackToTheirPositions) {
  for (const DbRow& row : kDbRows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(PositionFromDb(row.strip, row.db), row.position) << "dB " << row.db;
  }
}

struct RoundRow {
  Strip strip;
  float db;
  int position;
  const char* why;
};

TEST(LevelScale, DecibelsToPositionRoundsHalfAwayFromZero) {
  const RoundRow rows[] = {
      {Strip::Output, -0.25f, 109, "round(-0.5) = -1, away from zero"},
      {Strip::Output, 0.25f, 111, "round(+0.5) = +1: above the fader's top, not clamped"},
      {Strip::Output, -0.24f, 110, "-0.48 rounds to 0"},
      {Strip::Output, -0.76f, 108, "-1.52 rounds to -2"},
      {Strip::Input, -0.75f, 78, "round(-1.5) = -2 from the input reference 80"},
      {Strip::Input, 0.75f, 82, "round(+1.5) = +2"},
      {Strip::Output, -96.0f, -82, "an endpoint floor below the fader: passed on unchanged"},
      {Strip::Input, 20.0f, 120, "above the input fader's top (104): passed on unchanged"},
  };
  for (const RoundRow& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(PositionFromDb(row.strip, row.db), row.position) << "dB " << row.db;
  }
}

TEST(LevelScale, DecibelsBeyondAnIntegerPositionSaturate) {
  // A broken endpoint could report anything: the conversion must not overflow.
  EXPECT_EQ(PositionFromDb(Strip::Output, INFINITY), INT_MAX);
  EXPECT_EQ(PositionFromDb(Strip::Output, -INFINITY), INT_MIN);
  EXPECT_EQ(PositionFromDb(Strip::Input, 3.0e9f), INT_MAX);
  EXPECT_EQ(PositionFromDb(Strip::Input, NAN), kInputZeroDbPosition);
}

TEST(LevelScale, DbTextOfAnUnknownStripLeavesTheTextAlone) {
  for (int strip : {-1, 2, 7}) {
    char16_t text[kDbTextUnits] = u"Mute";
    EXPECT_FALSE(FormatDbText(strip, 80, text)) << "strip " << strip;
    EXPECT_EQ(Narrow(text), "Mute") << "strip " << strip;
  }
}

TEST(LevelScale, DbTextOfAnExtremePositionIsCutToFourteenUnits) {
  // (80 - INT_MAX) * -0.5 = +1073741783.5dB needs 15 units; the buffer holds 14 and
  // the terminator.
  char16_t text[kDbTextUnits];
  ASSERT_TRUE(FormatDbText(1, INT_MAX, text));
  EXPECT_EQ(Narrow(text), "+1073741783.5d");
  ASSERT_TRUE(FormatDbText(0, INT_MIN, text));
  EXPECT_EQ(Narrow(text), "-1073741879.0d");
}

struct MeterRow {
  int32_t peak;
  int level;
  int display;
  const char* why;
};

TEST(LevelScale, PeakToMeterLevelAndDisplayFromRest) {
  const MeterRow rows[] = {
      {0, 0, 0, "silence"},
      {-5, 0, 0, "a negative word in the status block counts as silence"},
      {65536, 0, 0, "exactly 65536 is still silence"},
      {65537, 44, 0, "|20 log10(65537/375)| = 44.85; below the display floor of 80"},
      {8388608, 86, 14, "2^23: 86.99 -> 86; (86-80) x 7/3 = 14"},
      {10000000, 88, 18, "88.52 -> 88; 8 x 7/3 = 18.67 -> 18"},
      {134217728, 111, 72, "2^27: 111.08 -> 111; 31 x 7/3 = 72.33 -> 72"},
      {1073741824, 129, 114, "2^30: 129.14 -> 129; 49 x 7/3 = 114.33 -> 114"},
      {2147483647, 135, 128, "full scale: 135.16 -> 135; 55 x 7/3 = 128.33 -> 128"},
  };
  for (const MeterRow& row : rows) {
    SCOPED_TRACE(row.why);
    const int level = MeterLevel(row.peak);
    EXPECT_EQ(level, row.level) << "peak " << row.peak;
    EXPECT_EQ(MeterDisplay(level, 0), row.display) << "peak " << row.peak;
  }
}

struct DisplayRow {
  int level;
  int previous;
  int display;
  const char* why;
};

TEST(LevelScale, MeterDisplayRisesAtOnceAndFallsOnePixel) {
  const DisplayRow rows[] = {
      {135, 0, 128, "rises at once from rest"},
      {135, 14, 128, "rises at once from a lower value"},
      {86, 128, 127, "a lower level falls by one pixel per poll"},
      {0, 128, 127, "silence after full scale: one pixel down"},
      {0, 3, 2, "silence: last step of the fall"},
      {0, 2, 2, "silence on a meter that has shown a level rests at 2"},
      {80, 2, 2, "level 80 is the floor: same as silence"},
      {0, 0, 0, "silence on a meter at rest stays dark"},
      {80, 0, 0, "the floor on a meter at rest stays dark"},
      {81, 0, 2, "one dB above the floor: 1 x 7/3 = 2"},
      {83, 0, 7, "3 x 7/3 must reach 7, not 6.99: K is computed in double"},
      {86, 14, 14, "an unchanged level holds its value"},
      {84, 20, 19, "4 x 7/3 = 9 is below the previous 20: falls to 19"},
      {90, 1, 23, "a previous value of 1 never holds back a rise"},
  };
  for (const DisplayRow& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(MeterDisplay(row.level, row.previous), row.display)
        << "level " << row.level << " previous " << row.previous;
  }
}

TEST(LevelScale, SilenceAfterFullScaleFallsOnePixelPerPollAndRestsAtTwo) {
  int shown = MeterDisplay(MeterLevel(2147483647), 0);
  ASSERT_EQ(shown, 128);
  for (int expected = 127; expected >= 2; --expected) {
    shown = MeterDisplay(MeterLevel(0), shown);
    ASSERT_EQ(shown, expected) << "poll after " << (128 - expected) << " steps";
  }
  for (int poll = 0; poll < 5; ++poll) {
    shown = MeterDisplay(MeterLevel(0), shown);
    EXPECT_EQ(shown, 2) << "poll " << poll << " at rest";
  }
  // Switching the meter off shows 0 but the panel keeps the previous value (2);
  // switched on again, a silent input shows 2 at once.
  EXPECT_EQ(MeterDisplay(MeterLevel(0), 2), 2);
}

}  // namespace
}  // namespace tqm::panel
