// Level scales: see level_scale.h. The precision of each step is deliberate and
// matches what the panel shows and what it hands to the Windows endpoints.
#include "level_scale.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace tqm::panel {

float LevelDb(Strip strip, int position) {
  // The difference is taken in 64 bits so that no stored position can overflow it.
  const int64_t steps = int64_t{ZeroDbPosition(strip)} - position;
  return static_cast<float>(steps) * -0.5f;
}

int PositionFromDb(Strip strip, float db) {
  const float half_steps = std::round(db * 2.0f);
  const float position = half_steps + static_cast<float>(ZeroDbPosition(strip));
  if (std::isnan(position)) return ZeroDbPosition(strip);
  // 2^31 is the first float beyond int's range; everything below converts exactly.
  if (position >= 2147483648.0f) return std::numeric_limits<int>::max();
  if (position < -2147483648.0f) return std::numeric_limits<int>::min();
  return static_cast<int>(position);
}

bool FormatDbText(int strip, int position, char16_t (&text)[kDbTextUnits]) {
  if (strip != 0 && strip != 1) return false;
  const double reference = ZeroDbPosition(static_cast<Strip>(strip));
  const double x = (reference - position) * -0.5;
  char narrow[kDbTextUnits];
  if (x > 0) {
    std::snprintf(narrow, sizeof narrow, "+%.1fdB", x);
  } else if (x < 0) {
    std::snprintf(narrow, sizeof narrow, "%.1fdB", x);
  } else {
    std::snprintf(narrow, sizeof narrow, "%ddB", static_cast<int>(x));
  }
  // The text is plain ASCII, so widening is a copy unit by unit.
  for (int i = 0; i < kDbTextUnits; ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(narrow[i]));
    if (narrow[i] == '\0') break;
  }
  return true;
}

int MeterLevel(int32_t peak) {
  if (peak < 65537) return 0;
  const float ratio = static_cast<float>(peak) / 375.0f;
  const float level = std::fabs(std::log10(ratio) * -20.0f);
  return static_cast<int>(level);
}

int MeterDisplay(int level, int previous) {
  // 140 pixels span the 60 dB above the display floor at level 80.
  const double k = 140.0 / (140 - 80);
  int x;
  if (level > 80) {
    x = level - 80;
  } else {
    x = previous > 0 ? 1 : 0;
  }
  const int display = static_cast<int>(x * k);
  if (1 < display && display < previous) return previous - 1;
  return display;
}

}  // namespace tqm::panel
