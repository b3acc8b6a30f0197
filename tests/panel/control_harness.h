// Test bench for the toolkit's controls: the toolkit started on the test
// program's own resources, a visible recording parent, a message pump that
// records what controls post to the parent, a message-box recorder, and pixel
// read-back from windows and bitmaps as 0x00RRGGBB.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tqm::widgets::testing {

struct Posted {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

struct BoxShown {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT type;
};

// A block of pixels, row by row.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> rgb;
  uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

std::string Narrow(const std::wstring& text);

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Pumps the queue; returns what was posted to the parent since the last call,
  // in order; paint, timer and system pointer moves left out.
  std::vector<Posted> Drain();
  // Message boxes the toolkit showed since SetUp.
  const std::vector<BoxShown>& Boxes() const;
  // The button every later message box is answered with (IDOK after SetUp).
  static void AnswerBoxesWith(int answer);

  // The client area of a window as it is on the screen, after pending paints.
  static Pixels WindowPixels(HWND window);
  // A rectangle of a bitmap.
  static Pixels BitmapPixels(HBITMAP bitmap, int x, int y, int width, int height);
  // Scribbles a colour over a window's pixels on the screen, so that a test can
  // see whether the control draws again.
  static void Scribble(HWND window, COLORREF colour);
  // True when the window has an update region waiting for WM_PAINT.
  static bool HasPendingPaint(HWND window);

  HINSTANCE instance_ = nullptr;
  HWND parent_ = nullptr;
  HBITMAP background_ = nullptr;  // "IDB_BACK1" from the cache
};

// Counts pixels that differ between two equally sized blocks.
int CountDifferences(const Pixels& a, const Pixels& b);

// Bounding box of the pixels that differ from a background colour; empty (all
// zero) when there are none.
RECT InkBounds(const Pixels& pixels, uint32_t background);

// The pixels of a text drawn with a font at (x, y), TA_CENTER, on a plain
// background: the reference a text control must match in ink bounds.
Pixels ReferenceText(HFONT font, const wchar_t* text, int width, int height, int x, int y,
                     COLORREF text_colour, COLORREF background);

constexpr uint32_t Rgb(COLORREF colour) {
  return (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
}

}  // namespace tqm::widgets::testing
