// The single-value relatives of the stereo fader: a vertical fader with one cap
// (Zel_VSClass), an arc slider (Zel_RoundVSClass) and a rotary knob
// (Zel_KnobClass). Each keeps one value clamped to its range, tells its parent
// with a scroll message (code in the low word, the value in the high word where
// it carries one) and paints off screen.
//
// Records belong to their windows; pictures come from the bitmap cache, except
// faces cut from the panel background, which belong to the record.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>

namespace tqm::widgets {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kKnobLimit = 2.3;  // radians either side of the top

struct VerticalFader {
  int travel;
  int top;
  int max;
  int min;
  int value;
  int half_cap;
  bool focused;
  HBITMAP background;
  bool owns_background;
  HBITMAP cap;
  HBITMAP cap_focused;
  HBITMAP fill;
};

struct RoundFader {
  int min;
  int max;
  int value;
  int enabled;
  bool dragging;
  bool moved;
  HBITMAP enabled_face;
  bool owns_enabled_face;  // cut from the panel background
  HBITMAP disabled_face;   // from the cache
};

struct Knob {
  int range;
  int value;
  double angle;
  int radius;
  int last_y;
  bool focused;
  HBITMAP background;
  bool owns_background;
  HBITMAP indicator;
  HBITMAP indicator_focused;
};

// A face by name from the cache, or the panel background under the control.
HBITMAP Face(HINSTANCE instance, HWND parent, int x, int y, int width, int height,
             const wchar_t* name, bool* owned) {
  *owned = name == nullptr;
  return name ? LoadBitmapByName(instance, name) : CaptureBackground(parent, x, y, width, height);
}

void Notify(HWND window, UINT message, WORD code, int value) {
  PostMessageW(GetParent(window), message, MAKEWPARAM(code, static_cast<WORD>(value)),
               reinterpret_cast<LPARAM>(window));
}

int WheelSign(WPARAM wParam) { return static_cast<SHORT>(HIWORD(wParam)) > 0 ? 1 : -1; }

// --- Zel_VSClass -----------------------------------------------------------

int VerticalValueAt(const VerticalFader& fader, int y) {
  const int span = fader.travel - fader.top;
  if (span == 0) return fader.min;
  const double value = fader.min + static_cast<double>(fader.max - fader.min) *
                                       (fader.half_cap + fader.travel - y - fader.top) / span;
  return std::clamp(static_cast<int>(value), fader.min, fader.max);
}

int VerticalCapTop(const VerticalFader& fader) {
  const int range = fader.max - fader.min;
  const int offset =
      range == 0 ? 0 : fader.top + (fader.travel - fader.top) * (fader.value - fader.min) / range;
  return std::clamp(fader.travel - offset, fader.top, std::max(fader.top, fader.travel));
}

// Draws a picture with the colour of its top-left pixel left out.
void DrawKeyed(HDC dc, int x, int y, HBITMAP picture) {
  if (!picture) return;
  const SIZE size = BitmapSize(picture);
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, picture);
  TransparentBlt(dc, x, y, size.cx, size.cy, memory, 0, 0, size.cx, size.cy,
                 GetPixel(memory, 0, 0));
  SelectObject(memory, old);
  DeleteDC(memory);
}

void PaintVertical(HWND window, const VerticalFader* fader) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (fader) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    BlitBitmap(canvas.dc(), 0, 0, client.right, client.bottom, fader->background, 0, 0);
    const int cap_top = VerticalCapTop(*fader);
    if (fader->fill) {
      BlitBitmap(canvas.dc(), 0, cap_top, client.right, client.bottom - cap_top, fader->fill, 0,
                 cap_top);
    }
    HBITMAP cap = fader->focused && fader->cap_focused ? fader->cap_focused : fader->cap;
    DrawKeyed(canvas.dc(), (client.right - BitmapSize(cap).cx) / 2, cap_top, cap);
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
}

void SetVerticalValue(HWND window, VerticalFader* fader, int value) {
  fader->value = std::clamp(value, fader->min, fader->max);
  InvalidateRect(window, nullptr, FALSE);
}

// --- Zel_RoundVSClass ------------------------------------------------------

// Position in degrees along the arc (0 at 225 degrees clockwise from the top,
// 270 at the far end) of the pointer; -1 for the gap at the bottom.
double ArcPosition(HWND window, POINT point) {
  RECT client;
  GetClientRect(window, &client);
  const double dx = point.x - client.right / 2.0, dy = point.y - client.bottom / 2.0;
  double angle = std::atan2(dx, -dy) * 180.0 / kPi;  // clockwise from the top
  double position = std::fmod(angle - 225.0 + 720.0, 360.0);
  return position > 270.0 ? -1.0 : position;
}

int RoundValue(const RoundFader& fader, double position) {
  return fader.min + static_cast<int>((fader.max - fader.min) * position / 270.0);
}

void PaintRound(HWND window, const RoundFader* fader) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (fader) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    HBITMAP face = fader->enabled == 1 || !fader->disabled_face ? fader->enabled_face
                                                                 : fader->disabled_face;
    BlitBitmap(canvas.dc(), 0, 0, client.right, client.bottom, face, 0, 0);
    const int range = fader->max - fader->min;
    const double position = range == 0 ? 0.0 : 270.0 * (fader->value - fader->min) / range;
    const double angle = (225.0 + position) * kPi / 180.0;
    const int radius = std::min(client.right, client.bottom) / 2 - 3;
    const int x = client.right / 2 + static_cast<int>(std::lround(radius * std::sin(angle)));
    const int y = client.bottom / 2 - static_cast<int>(std::lround(radius * std::cos(angle)));
    HGDIOBJ old = SelectObject(canvas.dc(), GetStockObject(BLACK_PEN));
    MoveToEx(canvas.dc(), x - 2, y, nullptr);
    LineTo(canvas.dc(), x + 3, y);
    MoveToEx(canvas.dc(), x, y - 2, nullptr);
    LineTo(canvas.dc(), x, y + 3);
    SelectObject(canvas.dc(), old);
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
}

// Moves to the pointer's arc position; false when the pointer is in the gap or
// the value stays.
bool TrackRound(HWND window, RoundFader* fader, POINT point) {
  const double position = ArcPosition(window, point);
  if (position < 0) return false;
  const int value = RoundValue(*fader, position);
  if (value == fader->value) return false;
  fader->value = value;
  InvalidateRect(window, nullptr, FALSE);
  return true;
}

void StepRound(HWND window, RoundFader* fader, int step) {
  fader->value = std::clamp(fader->value + step, fader->min, fader->max);
  InvalidateRect(window, nullptr, FALSE);
  Notify(window, WM_VSCROLL, SB_THUMBPOSITION, fader->value);
}

// --- Zel_KnobClass ---------------------------------------------------------

void SetKnobAngle(Knob* knob, double angle) {
  knob->angle = std::clamp(angle, -kKnobLimit, kKnobLimit);
  knob->value = static_cast<int>((knob->angle + kKnobLimit) / (2 * kKnobLimit) * knob->range);
}

void PaintKnob(HWND window, const Knob* knob) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (knob) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    BlitBitmap(canvas.dc(), 0, 0, client.right, client.bottom, knob->background, 0, 0);
    HBITMAP indicator =
        knob->focused && knob->indicator_focused ? knob->indicator_focused : knob->indicator;
    const SIZE size = BitmapSize(indicator);
    const int x = client.right / 2 + static_cast<int>(std::lround(knob->radius * std::sin(knob->angle)));
    const int y = client.bottom / 2 - static_cast<int>(std::lround(knob->radius * std::cos(knob->angle)));
    BlitBitmap(canvas.dc(), x - size.cx / 2, y - size.cy / 2, size.cx, size.cy, indicator, 0, 0);
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
}

void TurnKnob(HWND window, Knob* knob, double radians, WORD code) {
  SetKnobAngle(knob, knob->angle + radians);
  InvalidateRect(window, nullptr, FALSE);
  Notify(window, WM_HSCROLL, code, knob->value);
}

template <typename Record>
void ReleaseFace(HWND window, HBITMAP Record::*face, bool Record::*owned) {
  Record* record = RecordOf<Record>(window);
  if (record && record->*owned && record->*face) DeleteObject(record->*face);
  DetachRecord<Record>(window);
}

}  // namespace

LRESULT CALLBACK VerticalFaderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  VerticalFader* fader = RecordOf<VerticalFader>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<VerticalFader>(window) ? 0 : -1;
    case WM_DESTROY:
      ReleaseFace<VerticalFader>(window, &VerticalFader::background,
                                 &VerticalFader::owns_background);
      return 0;
    case WM_PAINT:
      PaintVertical(window, fader);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  if (!fader) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case SBM_SETPOS:
      SetVerticalValue(window, fader, static_cast<int>(wParam));
      UpdateWindow(window);
      return 0;
    case SBM_GETPOS:
      return fader->value;
    case WM_MOUSEMOVE:
      if (wParam != 0) {
        SetVerticalValue(window, fader, VerticalValueAt(*fader, GET_Y_LPARAM(lParam)));
        Notify(window, WM_VSCROLL, SB_THUMBTRACK, fader->value);
      }
      return 0;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      SetVerticalValue(window, fader, VerticalValueAt(*fader, GET_Y_LPARAM(lParam)));
      ReleaseCapture();
      Notify(window, WM_VSCROLL, 0, 0);
      return 0;
    case WM_KEYDOWN:
      if (wParam != VK_UP && wParam != VK_DOWN) break;
      SetVerticalValue(window, fader, fader->value + (wParam == VK_UP ? 1 : -1));
      Notify(window, WM_VSCROLL, SB_THUMBPOSITION, 0);
      return 0;
    case WM_MOUSEWHEEL:
      SetVerticalValue(window, fader, fader->value + WheelSign(wParam) * GetWheelStep());
      Notify(window, WM_VSCROLL, SB_THUMBPOSITION, 0);
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      fader->focused = message == WM_SETFOCUS;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK RoundFaderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  RoundFader* fader = RecordOf<RoundFader>(window);
  const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  switch (message) {
    case WM_CREATE:
      return AttachRecord<RoundFader>(window) ? 0 : -1;
    case WM_DESTROY:
      ReleaseFace<RoundFader>(window, &RoundFader::enabled_face,
                              &RoundFader::owns_enabled_face);
      return 0;
    case WM_PAINT:
      PaintRound(window, fader);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  if (!fader) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case BM_SETCHECK:
      if (wParam == 0 || wParam == 1) fader->enabled = static_cast<int>(wParam);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case BM_GETCHECK:
      return fader->enabled;
    case SBM_SETPOS:
      fader->value = std::clamp(static_cast<int>(wParam), fader->min, fader->max);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case SBM_GETPOS:
      return fader->value;
    case WM_LBUTTONDOWN:
      if (fader->enabled != 1) return 0;
      SetFocus(window);
      SetCapture(window);
      fader->dragging = true;
      fader->moved = false;
      if (TrackRound(window, fader, point)) {
        fader->moved = true;
        Notify(window, WM_VSCROLL, SB_THUMBTRACK, fader->value);
      }
      return 0;
    case WM_MOUSEMOVE:
      if (fader->enabled == 1 && fader->dragging && TrackRound(window, fader, point)) {
        fader->moved = true;
        Notify(window, WM_VSCROLL, SB_THUMBTRACK, fader->value);
      }
      return 0;
    case WM_LBUTTONUP:
      if (!fader->dragging) return 0;
      fader->dragging = false;
      ReleaseCapture();
      if (fader->moved) Notify(window, WM_VSCROLL, SB_THUMBPOSITION, fader->value);
      return 0;
    case WM_KEYDOWN:
      if (wParam != VK_UP && wParam != VK_DOWN) break;
      StepRound(window, fader, wParam == VK_UP ? 1 : -1);
      return 0;
    case WM_MOUSEWHEEL:
      StepRound(window, fader, WheelSign(wParam) * GetWheelStep());
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK KnobProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Knob* knob = RecordOf<Knob>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<Knob>(window) ? 0 : -1;
    case WM_DESTROY:
      ReleaseFace<Knob>(window, &Knob::background, &Knob::owns_background);
      return 0;
    case WM_PAINT:
      PaintKnob(window, knob);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  if (!knob) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case SBM_SETPOS: {
      const int value = std::clamp(static_cast<int>(wParam), 0, std::max(0, knob->range));
      knob->angle = knob->range == 0 ? -kKnobLimit
                                     : static_cast<double>(value) / knob->range * 2 * kKnobLimit -
                                           kKnobLimit;
      knob->value = value;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    }
    case SBM_GETPOS:
      return knob->value;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      SetCapture(window);
      knob->last_y = GET_Y_LPARAM(lParam);
      return 0;
    case WM_MOUSEMOVE:
      if (wParam != 0 && GetCapture() == window) {
        const int y = GET_Y_LPARAM(lParam);
        const int moved = y - knob->last_y;
        knob->last_y = y;
        if (moved != 0) TurnKnob(window, knob, -0.05 * moved, SB_THUMBTRACK);
      }
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      return 0;
    case WM_KEYDOWN:
      if (wParam != VK_UP && wParam != VK_DOWN) break;
      TurnKnob(window, knob, (wParam == VK_UP ? 0.1 : -0.1) * GetWheelStep(), SB_THUMBPOSITION);
      return 0;
    case WM_MOUSEWHEEL:
      TurnKnob(window, knob, WheelSign(wParam) * 0.1 * GetWheelStep(), SB_THUMBPOSITION);
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      knob->focused = message == WM_SETFOCUS;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateVerticalFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                         int height, int min, int max, const wchar_t* background_name,
                         const wchar_t* cap_name, const wchar_t* cap_focused_name,
                         const wchar_t* fill_name) {
  bool owned = false;
  HBITMAP background = Face(instance, parent, x, y, width, height, background_name, &owned);
  const SIZE size = background ? BitmapSize(background) : SIZE{width, height};
  HWND window = CreateControlWindow(instance, L"Zel_VSClass", parent, id, x, y, size.cx, size.cy);
  if (!window) {
    if (owned && background) DeleteObject(background);
    return nullptr;
  }
  VerticalFader* fader = RecordOf<VerticalFader>(window);
  fader->background = background;
  fader->owns_background = owned;
  fader->cap = LoadBitmapByName(instance, cap_name);
  fader->cap_focused = LoadBitmapByName(instance, cap_focused_name);
  fader->fill = fill_name ? LoadBitmapByName(instance, fill_name) : nullptr;
  const int cap_height = BitmapSize(fader->cap).cy;
  fader->travel = std::max(0, static_cast<int>(size.cy) - cap_height);
  fader->top = 0;
  fader->min = std::min(min, max);
  fader->max = std::max(min, max);
  fader->half_cap = cap_height / 2;
  fader->value = std::clamp(0, fader->min, fader->max);
  fader->focused = false;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateRoundFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height, int min, int max, const wchar_t* enabled_name,
                      const wchar_t* disabled_name) {
  bool owned = false;
  HBITMAP enabled = Face(instance, parent, x, y, width, height, enabled_name, &owned);
  HBITMAP disabled = disabled_name ? LoadBitmapByName(instance, disabled_name) : nullptr;
  HWND window = CreateControlWindow(instance, L"Zel_RoundVSClass", parent, id, x, y, width, height);
  if (!window) {
    if (owned && enabled) DeleteObject(enabled);
    return nullptr;
  }
  RoundFader* fader = RecordOf<RoundFader>(window);
  fader->min = std::min(min, max);
  fader->max = std::max(min, max);
  fader->value = fader->min;
  fader->enabled = 0;
  fader->dragging = fader->moved = false;
  fader->enabled_face = enabled;
  fader->owns_enabled_face = owned;
  fader->disabled_face = disabled;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateKnob(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                int range, int radius, const wchar_t* background_name,
                const wchar_t* indicator_name, const wchar_t* indicator_focused_name) {
  bool owned = false;
  HBITMAP background = Face(instance, parent, x, y, width, height, background_name, &owned);
  const SIZE size = background ? BitmapSize(background) : SIZE{width, height};
  HWND window = CreateControlWindow(instance, L"Zel_KnobClass", parent, id, x, y, size.cx, size.cy);
  if (!window) {
    if (owned && background) DeleteObject(background);
    return nullptr;
  }
  Knob* knob = RecordOf<Knob>(window);
  knob->background = background;
  knob->owns_background = owned;
  knob->indicator = LoadBitmapByName(instance, indicator_name);
  knob->indicator_focused = LoadBitmapByName(instance, indicator_focused_name);
  knob->range = std::max(0, range);
  knob->radius = radius;
  knob->last_y = 0;
  knob->focused = false;
  SetKnobAngle(knob, -kKnobLimit);
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace tqm::widgets
