// Level meters. Zel_PeakMonoClass shows one bar of lit pixels rising from the
// bottom over its background; Zel_PeakClass shows two bars in percent.
//
// The panel pushes levels every 10 ms with UM_SETLEVEL, so a change draws only
// the meter's own pixels straight into the window DC (no invalidation, no
// off-screen bitmap) and an unchanged level draws nothing. WM_PAINT repaints the
// whole meter off screen. The state record belongs to the window; a background
// cut from the panel background belongs to the record.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <algorithm>

namespace tqm::widgets {
namespace {

struct MonoMeter {
  int level;
  HBITMAP background;
  bool owns_background;
  HBITMAP bar;
};

struct StereoMeter {
  int left;
  int right;
  HBITMAP background;
  bool owns_background;
  HBITMAP bar;
};

// The face of a meter: a named bitmap from the cache, or the panel background
// under the meter (owned by the meter).
HBITMAP MeterBackground(HINSTANCE instance, HWND parent, int x, int y, int width, int height,
                        const wchar_t* name, bool* owned) {
  *owned = name == nullptr;
  return name ? LoadBitmapByName(instance, name) : CaptureBackground(parent, x, y, width, height);
}

// Lit rows of a bar of height h: the sender keeps the level in range, but a level
// outside it must not make BitBlt read outside the pictures.
int LitRows(int level, int h) { return std::clamp(level, 0, h); }

void DrawMonoBar(HDC dc, const MonoMeter& meter) {
  if (!meter.bar) return;
  const SIZE bar = BitmapSize(meter.bar);
  const int lit = LitRows(meter.level, bar.cy);
  const int unlit = bar.cy - lit;
  BlitBitmap(dc, 0, 0, bar.cx, unlit, meter.background, 0, 0);
  BlitBitmap(dc, 0, unlit, bar.cx, lit, meter.bar, 0, unlit);
}

void DrawStereoBars(HDC dc, HWND window, const StereoMeter& meter) {
  if (!meter.bar) return;
  RECT client;
  GetClientRect(window, &client);
  const SIZE bar = BitmapSize(meter.bar);
  const int top = (client.bottom - bar.cy) / 2;
  const int a = (client.right - bar.cx) / 2;
  const int xs[2] = {a - 1, a + bar.cx};
  const int levels[2] = {meter.left, meter.right};
  for (int i = 0; i < 2; ++i) {
    const int unlit = bar.cy - bar.cy * std::clamp(levels[i], 0, 100) / 100;
    PatBlt(dc, xs[i], top, bar.cx, unlit, BLACKNESS);
    BlitBitmap(dc, xs[i], top + unlit, bar.cx, bar.cy - unlit, meter.bar, 0, unlit);
  }
}

template <typename Meter>
void PaintMeter(HWND window, const Meter* meter, void (*draw)(HDC, HWND, const Meter&)) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (meter) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    BlitBitmap(canvas.dc(), 0, 0, client.right, client.bottom, meter->background, 0, 0);
    draw(canvas.dc(), window, *meter);
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
}

void DrawMonoForPaint(HDC dc, HWND, const MonoMeter& meter) { DrawMonoBar(dc, meter); }

template <typename Meter>
void ReleaseMeter(HWND window) {
  Meter* meter = RecordOf<Meter>(window);
  if (meter && meter->owns_background && meter->background) DeleteObject(meter->background);
  DetachRecord<Meter>(window);
}

}  // namespace

LRESULT CALLBACK MonoMeterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MonoMeter* meter = RecordOf<MonoMeter>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<MonoMeter>(window) ? 0 : -1;
    case WM_DESTROY:
      ReleaseMeter<MonoMeter>(window);
      return 0;
    case UM_SETLEVEL: {
      const int level = static_cast<int>(lParam);
      if (meter && level != meter->level) {
        meter->level = level;
        HDC dc = GetDC(window);
        DrawMonoBar(dc, *meter);
        ReleaseDC(window, dc);
      }
      return 0;
    }
    case WM_PAINT:
      PaintMeter<MonoMeter>(window, meter, DrawMonoForPaint);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK StereoMeterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  StereoMeter* meter = RecordOf<StereoMeter>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<StereoMeter>(window) ? 0 : -1;
    case WM_DESTROY:
      ReleaseMeter<StereoMeter>(window);
      return 0;
    case UM_SETLEVEL: {
      const int left = static_cast<SHORT>(LOWORD(lParam));
      const int right = static_cast<SHORT>(HIWORD(lParam));
      if (meter && (left != meter->left || right != meter->right)) {
        meter->left = left;
        meter->right = right;
        HDC dc = GetDC(window);
        DrawStereoBars(dc, window, *meter);
        ReleaseDC(window, dc);
      }
      return 0;
    }
    case WM_PAINT:
      PaintMeter<StereoMeter>(window, meter, DrawStereoBars);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateMonoMeter(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     const wchar_t* background_name, const wchar_t* bar_name) {
  bool owned = false;
  HBITMAP background =
      MeterBackground(instance, parent, x, y, width, height, background_name, &owned);
  const SIZE size = background ? BitmapSize(background) : SIZE{width, height};
  HWND window = CreateControlWindow(instance, L"Zel_PeakMonoClass", parent, id, x, y, size.cx,
                                    size.cy);
  if (!window) {
    if (owned && background) DeleteObject(background);
    return nullptr;
  }
  MonoMeter* meter = RecordOf<MonoMeter>(window);
  meter->background = background;
  meter->owns_background = owned;
  meter->bar = LoadBitmapByName(instance, bar_name);
  meter->level = 96;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateStereoMeter(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                       int height, const wchar_t* background_name, const wchar_t* bar_name) {
  bool owned = false;
  HBITMAP background =
      MeterBackground(instance, parent, x, y, width, height, background_name, &owned);
  const SIZE size = background ? BitmapSize(background) : SIZE{width, height};
  HWND window =
      CreateControlWindow(instance, L"Zel_PeakClass", parent, id, x, y, size.cx, size.cy);
  if (!window) {
    if (owned && background) DeleteObject(background);
    return nullptr;
  }
  StereoMeter* meter = RecordOf<StereoMeter>(window);
  meter->background = background;
  meter->owns_background = owned;
  meter->bar = LoadBitmapByName(instance, bar_name);
  meter->left = 100;
  meter->right = 100;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace tqm::widgets
