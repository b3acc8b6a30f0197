// Level scales of the panel: fader positions, decibels, the dB label text, and
// the peak meters' display values with their fall.
//
// Pure arithmetic without Windows headers, so that the same code is checked in
// the host build and in the Windows build. The float and double steps are part
// of the contract: the panel, the endpoint volumes and the meters must agree to
// the last pixel and position, so each function keeps the precision it states.
#pragma once

#include <cstdint>

namespace tqm::panel {

// The two channel strips; the index is the one stored with the strip.
enum class Strip : int { Output = 0, Input = 1 };

// Fader position at 0 dB: every conversion between positions and decibels
// counts half-decibel steps from here.
constexpr int kOutputZeroDbPosition = 110;
constexpr int kInputZeroDbPosition = 80;

// Highest fader position of each strip (the lowest is 0).
constexpr int kOutputFaderTop = 110;
constexpr int kInputFaderTop = 104;

// Room for the dB text: 14 UTF-16 units and the terminator.
constexpr int kDbTextUnits = 15;

constexpr int ZeroDbPosition(Strip strip) {
  return strip == Strip::Output ? kOutputZeroDbPosition : kInputZeroDbPosition;
}

// Level of a fader position, in single precision: (reference - position) * -0.5.
float LevelDb(Strip strip, int position);

// Position for a level in dB: round(dB * 2) + reference, rounding half away from
// zero in single precision. Not clamped to the fader's range; a value beyond
// what a 32-bit position can hold (or NaN) saturates instead of overflowing.
int PositionFromDb(Strip strip, float db);

// The label text of a position: "+%.1fdB" above 0 dB, "%.1fdB" below, "0dB" at
// it, computed in double precision. A strip index other than 0 or 1 leaves the
// text as it was and returns false. Text that would not fit is cut to 14 units.
bool FormatDbText(int strip, int position, char16_t (&text)[kDbTextUnits]);

// Meter level of a peak value from the status block: 0 below 65537, else
// |20 log10(peak / 375)| in single precision, truncated toward zero.
int MeterLevel(int32_t peak);

// Meter display value (lit pixels) for a level, given the value shown at the
// previous poll: rises at once, falls one pixel per poll, rests at 2 once it has
// shown anything.
int MeterDisplay(int level, int previous);

}  // namespace tqm::panel
