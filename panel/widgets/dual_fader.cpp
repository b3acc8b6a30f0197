// The stereo fader (Zel_DBLVSClass): one track, two caps side by side. Where
// the pointer is across the track picks the grip zone: the left 30 % moves the
// left cap, the middle 40 % both, the right 30 % the right cap. Hovering lights
// the caps of the zone under the pointer; a drag keeps the zone it started
// with; the release point's zone takes the final value.
//
// The record belongs to the window; the caps and the bar come from the bitmap
// cache, a track cut from the panel background belongs to the record. Values
// are plain integers in [min, max] (the parent gives them a meaning); the
// parent reads them with SBM_GETPOS after each WM_VSCROLL.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdint>

namespace tqm::widgets {
namespace {

enum Zone { kNoZone = -1, kLeftZone = 0, kBothZones = 1, kRightZone = 2 };

struct DualFader {
  int travel;
  int top;
  int max;
  int min;
  int level_left;
  int level_right;
  int value_left;
  int value_right;
  int zone;
  int half_cap;
  int zone_edge1;
  int zone_edge2;
  HBITMAP background;
  bool owns_background;
  HBITMAP left_unlit;
  HBITMAP left_lit;
  HBITMAP right_unlit;
  HBITMAP right_lit;
  HBITMAP bar;
};

int ZoneAt(const DualFader& fader, int x) {
  if (x < fader.zone_edge1) return kLeftZone;
  if (x < fader.zone_edge2) return kBothZones;
  return kRightZone;
}

bool MovesLeft(int zone) { return zone == kLeftZone || zone == kBothZones; }
bool MovesRight(int zone) { return zone == kBothZones || zone == kRightZone; }

// The value whose cap centre sits at client row y, clamped to the range. A
// track no taller than its cap has no travel to map: it stays at min.
int ValueAt(const DualFader& fader, int y) {
  const int span = fader.travel - fader.top;
  if (span == 0) return fader.min;
  const double value = fader.min + static_cast<double>(fader.max - fader.min) *
                                       (fader.half_cap + fader.travel - y - fader.top) / span;
  return std::clamp(static_cast<int>(value), std::min(fader.min, fader.max),
                    std::max(fader.min, fader.max));
}

// The top row of the cap that shows a value. An empty range puts the cap at the
// bottom instead of dividing by zero.
int CapTop(const DualFader& fader, int value) {
  const int64_t range = fader.max - fader.min;
  const int64_t offset =
      range == 0 ? 0
                 : fader.top + static_cast<int64_t>(fader.travel - fader.top) *
                                   (value - fader.min) / range;
  return static_cast<int>(
      std::clamp<int64_t>(fader.travel - offset, fader.top, std::max(fader.top, fader.travel)));
}

void ClampValues(DualFader* fader) {
  const int low = std::min(fader->min, fader->max), high = std::max(fader->min, fader->max);
  fader->value_left = std::clamp(fader->value_left, low, high);
  fader->value_right = std::clamp(fader->value_right, low, high);
}

void Notify(HWND window, UINT message, WPARAM wParam) {
  PostMessageW(GetParent(window), message, wParam, reinterpret_cast<LPARAM>(window));
}

void Repaint(HWND window) { InvalidateRect(window, nullptr, FALSE); }

// The level bars, either side of the track's centre column. A level outside
// 0..100 is drawn as the nearest end, so the copy never reads outside the bar.
void DrawBars(HDC dc, HWND window, const DualFader& fader) {
  if (!fader.bar) return;
  RECT client;
  GetClientRect(window, &client);
  const SIZE bar = BitmapSize(fader.bar);
  const int a = (client.right - 2) / 2;
  const int y0 = (client.bottom - bar.cy) / 2;
  const int xs[2] = {a - 1, a + 2};
  const int levels[2] = {fader.level_left, fader.level_right};
  for (int i = 0; i < 2; ++i) {
    const int unlit = bar.cy - bar.cy * std::clamp(levels[i], 0, 100) / 100;
    PatBlt(dc, xs[i], y0, bar.cx, unlit, BLACKNESS);
    BlitBitmap(dc, xs[i], y0 + unlit, bar.cx, bar.cy - unlit, fader.bar, 0, unlit);
  }
}

void DrawCap(HDC dc, HBITMAP cap, int x, int y) {
  const SIZE size = BitmapSize(cap);
  BlitBitmap(dc, x, y, size.cx, size.cy, cap, 0, 0);
}

void Paint(HWND window, const DualFader* fader) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (fader) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    BlitBitmap(canvas.dc(), 0, 0, client.right, client.bottom, fader->background, 0, 0);
    DrawBars(canvas.dc(), window, *fader);
    const bool left_lit = MovesLeft(fader->zone);
    DrawCap(canvas.dc(), left_lit ? fader->left_lit : fader->left_unlit, 0,
            CapTop(*fader, fader->value_left));
    HBITMAP right = nullptr;
    if (fader->right_unlit && fader->right_lit) {
      right = MovesRight(fader->zone) ? fader->right_lit : fader->right_unlit;
    } else {
      right = left_lit ? fader->left_lit : fader->left_unlit;
    }
    DrawCap(canvas.dc(), right, client.right - BitmapSize(right).cx,
            CapTop(*fader, fader->value_right));
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
}

// Gives the value at row y to the caps of a zone, clamps both and repaints.
void MoveCaps(HWND window, DualFader* fader, int zone, int y) {
  const int value = ValueAt(*fader, y);
  if (MovesLeft(zone)) fader->value_left = value;
  if (MovesRight(zone)) fader->value_right = value;
  ClampValues(fader);
  Repaint(window);
}

void OnMouseMove(HWND window, DualFader* fader, WPARAM keys, LPARAM lParam) {
  if (GetForegroundWindow() != GetParent(window)) return;
  const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  RECT client;
  GetClientRect(window, &client);
  if (!PtInRect(&client, point)) return;
  if (keys != 0) {
    MoveCaps(window, fader, fader->zone, point.y);
    Notify(window, WM_VSCROLL, keys);
    return;
  }
  SetFocus(window);
  const int zone = ZoneAt(*fader, point.x);
  if (zone != fader->zone) {
    fader->zone = zone;
    Repaint(window);
  }
}

void OnWheel(HWND window, DualFader* fader, WPARAM wParam, LPARAM lParam) {
  POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ScreenToClient(window, &point);
  const int zone = ZoneAt(*fader, point.x);
  const int step = static_cast<SHORT>(HIWORD(wParam)) > 0 ? GetWheelStep() : -GetWheelStep();
  WPARAM stepped = 0;
  if (MovesLeft(zone)) {
    fader->value_left += step;
    stepped |= 1;
  }
  if (MovesRight(zone)) {
    fader->value_right += step;
    stepped |= 2;
  }
  ClampValues(fader);
  Repaint(window);
  Notify(window, WM_VSCROLL, wParam + stepped);
}

void Release(HWND window) {
  DualFader* fader = RecordOf<DualFader>(window);
  if (fader && fader->owns_background && fader->background) DeleteObject(fader->background);
  DetachRecord<DualFader>(window);
}

}  // namespace

LRESULT CALLBACK DualFaderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DualFader* fader = RecordOf<DualFader>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<DualFader>(window) ? 0 : -1;
    case WM_DESTROY:
      Release(window);
      return 0;
    case WM_PAINT:
      Paint(window, fader);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  if (!fader) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case SBM_SETPOS:
      fader->value_left = static_cast<SHORT>(LOWORD(lParam));
      fader->value_right = static_cast<SHORT>(HIWORD(lParam));
      Repaint(window);
      return 0;
    case SBM_GETPOS:
      return static_cast<LRESULT>(static_cast<DWORD>(
          MAKELONG(static_cast<WORD>(fader->value_left), static_cast<WORD>(fader->value_right))));
    case UM_SETLEVEL: {
      const int left = static_cast<SHORT>(LOWORD(lParam));
      const int right = static_cast<SHORT>(HIWORD(lParam));
      if (left != fader->level_left || right != fader->level_right) {
        fader->level_left = left;
        fader->level_right = right;
        if (fader->bar) {
          HDC dc = GetDC(window);
          DrawBars(dc, window, *fader);
          ReleaseDC(window, dc);
        }
      }
      return 0;
    }
    case WM_MOUSEMOVE:
      OnMouseMove(window, fader, wParam, lParam);
      return 0;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      fader->zone = ZoneAt(*fader, GET_X_LPARAM(lParam));
      MoveCaps(window, fader, fader->zone, GET_Y_LPARAM(lParam));
      Notify(window, WM_VSCROLL, 0);
      ReleaseCapture();
      return 0;
    case WM_MOUSEWHEEL:
      OnWheel(window, fader, wParam, lParam);
      return 0;
    case WM_LBUTTONDBLCLK:
      Notify(window, WM_LBUTTONDBLCLK, 0);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_UP) {
        ++fader->value_left;
        ++fader->value_right;
      } else if (wParam == VK_DOWN) {
        --fader->value_left;
        --fader->value_right;
      }
      ClampValues(fader);
      Repaint(window);
      Notify(window, WM_VSCROLL, 0);
      return 0;
    case WM_SETFOCUS:
      Repaint(window);
      return 0;
    case WM_KILLFOCUS:
      fader->zone = kNoZone;
      Repaint(window);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateDualFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     int min, int max, const wchar_t* background_name,
                     const wchar_t* left_unlit_name, const wchar_t* left_lit_name,
                     const wchar_t* right_unlit_name, const wchar_t* right_lit_name,
                     const wchar_t* bar_name) {
  const bool owned = background_name == nullptr;
  HBITMAP background = owned ? CaptureBackground(parent, x, y, width, height)
                             : LoadBitmapByName(instance, background_name);
  const SIZE size = background ? BitmapSize(background) : SIZE{width, height};
  HWND window =
      CreateControlWindow(instance, L"Zel_DBLVSClass", parent, id, x, y, size.cx, size.cy);
  if (!window) {
    if (owned && background) DeleteObject(background);
    return nullptr;
  }
  DualFader* fader = RecordOf<DualFader>(window);
  fader->background = background;
  fader->owns_background = owned;
  fader->left_unlit = LoadBitmapByName(instance, left_unlit_name);
  fader->left_lit = LoadBitmapByName(instance, left_lit_name);
  fader->right_unlit = LoadBitmapByName(instance, right_unlit_name);
  fader->right_lit = LoadBitmapByName(instance, right_lit_name);
  fader->bar = bar_name ? LoadBitmapByName(instance, bar_name) : nullptr;
  const int cap_height = BitmapSize(fader->left_unlit).cy;
  // A track no taller than its cap would have no travel: keep it at zero so that
  // the mapping holds the caps at the bottom instead of running backwards.
  fader->travel = std::max(0, static_cast<int>(size.cy) - cap_height);
  fader->top = 0;
  fader->min = min;
  fader->max = max;
  fader->half_cap = cap_height / 2;
  fader->zone_edge1 = static_cast<int>(size.cx * 0.3);
  fader->zone_edge2 = static_cast<int>(size.cx * 0.7);
  fader->level_left = fader->level_right = 100;
  fader->value_left = fader->value_right = max;
  fader->zone = kNoZone;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace tqm::widgets
