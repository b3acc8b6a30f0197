// Text displays: Zel_DigitExClass, a two-digit counter read-out with its own
// font that wraps at its limits, and Zel_SmallTextClass, a one-line label in the
// toolkit's label font. Both paint off screen; records belong to the windows.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <cstdio>

namespace tqm::widgets {
namespace {

constexpr int kTextUnits = 64;

struct DigitEx {
  COLORREF text;
  COLORREF background;
  int first_limit;
  int second_limit;
  int value;
  HFONT font;
  bool owns_font;
};

struct SmallText {
  COLORREF text;
  COLORREF background;
  wchar_t caption[kTextUnits];
};

void FillCanvas(HDC dc, const RECT& client, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

void PaintDigits(HWND window, const DigitEx& digits) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  OffscreenCanvas canvas(dc, client.right, client.bottom);
  FillCanvas(canvas.dc(), client, digits.background);
  wchar_t text[16];
  swprintf(text, 16, L"%02d", digits.value);
  HGDIOBJ old_font = SelectObject(canvas.dc(), digits.font);
  SetBkMode(canvas.dc(), TRANSPARENT);
  SetTextColor(canvas.dc(), digits.text);
  DrawTextW(canvas.dc(), text, -1, &client, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
  SelectObject(canvas.dc(), old_font);
  canvas.Present(dc);
  EndPaint(window, &ps);
}

void PaintSmallText(HWND window, const SmallText& label) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  OffscreenCanvas canvas(dc, client.right, client.bottom);
  FillCanvas(canvas.dc(), client, label.background);
  HGDIOBJ old_font = SelectObject(canvas.dc(), GetLabelFont());
  SetBkMode(canvas.dc(), TRANSPARENT);
  SetTextColor(canvas.dc(), label.text);
  SetTextAlign(canvas.dc(), TA_CENTER);
  TextOutW(canvas.dc(), client.right / 2, 0, label.caption, lstrlenW(label.caption));
  SelectObject(canvas.dc(), old_font);
  canvas.Present(dc);
  EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK DigitExProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DigitEx* digits = RecordOf<DigitEx>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<DigitEx>(window) ? 0 : -1;
    case WM_DESTROY:
      if (digits && digits->owns_font && digits->font) DeleteObject(digits->font);
      DetachRecord<DigitEx>(window);
      return 0;
    case SBM_SETPOS:
      if (digits) {
        int value = static_cast<int>(wParam);
        if (value < 0) {
          value = digits->first_limit;
        } else if (value > digits->first_limit) {
          value = digits->second_limit;
        }
        digits->value = value;
        InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case SBM_GETPOS:
      return digits ? digits->value : 0;
    case WM_SETFONT:
      // A font handed in belongs to the sender; only the control's own is deleted.
      if (digits && wParam) {
        if (digits->owns_font && digits->font) DeleteObject(digits->font);
        digits->font = reinterpret_cast<HFONT>(wParam);
        digits->owns_font = false;
        if (LOWORD(lParam)) InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case WM_PAINT:
      if (digits) {
        PaintDigits(window, *digits);
      } else {
        ValidateRect(window, nullptr);
      }
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK SmallTextProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  SmallText* label = RecordOf<SmallText>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<SmallText>(window) ? 0 : -1;
    case WM_DESTROY:
      DetachRecord<SmallText>(window);
      return 0;
    case WM_SETTEXT:
      if (!label) break;
      lstrcpynW(label->caption, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"",
                kTextUnits);
      InvalidateRect(window, nullptr, FALSE);
      return TRUE;
    case WM_PAINT:
      if (label) {
        PaintSmallText(window, *label);
      } else {
        ValidateRect(window, nullptr);
      }
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateDigitEx(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                   COLORREF text, COLORREF background, int first_limit, int second_limit,
                   int font_height) {
  HWND window =
      CreateControlWindow(instance, L"Zel_DigitExClass", parent, id, x, y, width, height);
  if (!window) return nullptr;
  DigitEx* digits = RecordOf<DigitEx>(window);
  digits->text = text;
  digits->background = background;
  digits->first_limit = first_limit;
  digits->second_limit = second_limit;
  digits->value = 0;
  LOGFONTW logfont{};
  logfont.lfHeight = font_height;
  logfont.lfWeight = FW_BOLD;
  logfont.lfQuality = ANTIALIASED_QUALITY;
  lstrcpyW(logfont.lfFaceName, L"Arial");
  digits->font = CreateFontIndirectW(&logfont);
  digits->owns_font = true;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateSmallText(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     COLORREF text, COLORREF background, const wchar_t* caption) {
  HWND window =
      CreateControlWindow(instance, L"Zel_SmallTextClass", parent, id, x, y, width, height);
  if (!window) return nullptr;
  SmallText* label = RecordOf<SmallText>(window);
  label->text = text;
  label->background = background;
  lstrcpynW(label->caption, caption ? caption : L"", kTextUnits);
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace tqm::widgets
