// Shared inside the toolkit: the window procedures of the Zel_ classes, the
// state-record helpers every control uses, and the off-screen canvas.
#pragma once

#include <windows.h>

#include <new>

namespace tqm::widgets {

LRESULT CALLBACK MonoMeterProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StereoMeterProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ToggleProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK TextButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK TextButtonBmpProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK State3Proc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK State4Proc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK DigitExProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK SmallTextProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK DualFaderProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK RouteViewProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK VerticalFaderProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK RoundFaderProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK KnobProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK OutputRoutingProc(HWND, UINT, WPARAM, LPARAM);

// The control's state record, or null before WM_CREATE and after WM_DESTROY.
template <typename Record>
Record* RecordOf(HWND window) {
  return reinterpret_cast<Record*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// WM_CREATE: allocate the record; false means the window must not be created.
template <typename Record>
bool AttachRecord(HWND window) {
  Record* record = new (std::nothrow) Record{};
  if (!record) return false;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
  return true;
}

// WM_DESTROY: free the record and clear the slot.
template <typename Record>
void DetachRecord(HWND window) {
  delete RecordOf<Record>(window);
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
}

// Pixel size of a bitmap; 0 x 0 for null.
SIZE BitmapSize(HBITMAP bitmap);

// Copies part of a bitmap into a DC (SRCCOPY); nothing for a null bitmap.
void BlitBitmap(HDC target, int x, int y, int width, int height, HBITMAP source, int source_x,
                int source_y);

// Creates the control window of a Zel_ class (WS_CHILD, id as menu handle).
HWND CreateControlWindow(HINSTANCE instance, const wchar_t* class_name, HWND parent, int id,
                         int x, int y, int width, int height);

// A bitmap of the client size to draw into; Present copies it with one BitBlt.
class OffscreenCanvas {
 public:
  OffscreenCanvas(HDC target, int width, int height);
  ~OffscreenCanvas();
  OffscreenCanvas(const OffscreenCanvas&) = delete;
  OffscreenCanvas& operator=(const OffscreenCanvas&) = delete;

  HDC dc() const { return dc_; }
  void Present(HDC target) const;

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace tqm::widgets
