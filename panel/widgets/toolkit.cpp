// Toolkit-wide state: the registered Zel_ classes, the named-bitmap cache, the
// panel background, the wheel step, the label font and the message-box route.
//
// Plain process-wide variables touched only by the panel's GUI thread; no locks.
// The cache owns its bitmaps until TermControls. An entry whose load failed keeps
// its name with a null handle, so the "NotFound" box appears once per name, and
// counts as free for the next new name.
#include "toolkit.h"

#include "widgets_internal.h"

namespace tqm::widgets {
namespace {

struct CacheEntry {
  wchar_t name[kBitmapNameUnits];
  HBITMAP bitmap;
};

HINSTANCE g_instance = nullptr;
CacheEntry g_cache[kBitmapCacheEntries];
HBITMAP g_background = nullptr;
int g_wheel_step = 8;
HFONT g_label_font = nullptr;
MessageBoxHandler g_message_box = MessageBoxW;

constexpr UINT kFaderStyle = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS | CS_GLOBALCLASS;
constexpr UINT kPlainStyle = CS_HREDRAW | CS_VREDRAW | CS_GLOBALCLASS;
constexpr int kClassIcon = 129;

enum class Cursor { Arrow, Resize };

struct ClassRow {
  const wchar_t* name;
  UINT style;
  Cursor cursor;
  bool icon;
  bool extended;  // registered with the small icon as well
  WNDPROC procedure;
};

// In registration order.
const ClassRow kClasses[] = {
    {L"Zel_DigitExClass", kPlainStyle, Cursor::Arrow, false, false, DigitExProc},
    {L"Zel_State3Class", kPlainStyle, Cursor::Arrow, false, false, State3Proc},
    {L"Zel_State4Class", kPlainStyle, Cursor::Arrow, false, false, State4Proc},
    {L"Zel_KnobClass", kFaderStyle, Cursor::Resize, false, false, KnobProc},
    {L"Zel_VSClass", kFaderStyle, Cursor::Resize, false, false, VerticalFaderProc},
    {L"Zel_SmallTextClass", kPlainStyle, Cursor::Arrow, false, false, SmallTextProc},
    {L"Zel_DBLVSClass", kFaderStyle, Cursor::Arrow, false, false, DualFaderProc},
    {L"Zel_PeakClass", kFaderStyle, Cursor::Arrow, false, false, StereoMeterProc},
    {L"Zel_PeakMonoClass", kFaderStyle, Cursor::Arrow, false, false, MonoMeterProc},
    {L"Zel_TextBtnClass", kPlainStyle, Cursor::Arrow, false, false, TextButtonProc},
    {L"Zel_TextBtnBmpClass", kPlainStyle, Cursor::Arrow, false, false, TextButtonBmpProc},
    {L"Zel_TogleClass", kPlainStyle, Cursor::Arrow, false, false, ToggleProc},
    {L"Zel_IRouteClass", kPlainStyle, Cursor::Arrow, true, true, RouteViewProc},
    {L"Zel_IRouteAdvanceClass", kPlainStyle, Cursor::Arrow, true, false, RouteViewProc},
    {L"Zel_OutputRoutingClass", kPlainStyle, Cursor::Arrow, true, false, OutputRoutingProc},
    {L"Zel_RoundVSClass", kFaderStyle, Cursor::Resize, false, false, RoundFaderProc},
};

void RegisterControlClass(const ClassRow& row) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = row.style;
  wc.lpfnWndProc = row.procedure;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 4;
  wc.hInstance = g_instance;
  // The faders' "psize" cursor is not among the panel's resources: they show the
  // system's vertical resize cursor, which says what dragging them does.
  wc.hCursor = LoadCursorW(nullptr, row.cursor == Cursor::Resize ? IDC_SIZENS : IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = row.name;
  if (row.icon) wc.hIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(kClassIcon));
  if (row.extended) wc.hIconSm = wc.hIcon;
  RegisterClassExW(&wc);
}

void DeleteCachedBitmaps() {
  for (CacheEntry& entry : g_cache) {
    if (entry.bitmap) DeleteObject(entry.bitmap);
    entry = CacheEntry{};
  }
}

}  // namespace

void InitControls(HINSTANCE instance) {
  g_instance = instance;
  for (const ClassRow& row : kClasses) RegisterControlClass(row);
  for (CacheEntry& entry : g_cache) entry = CacheEntry{};
  LOGFONTW font{};
  font.lfHeight = 14;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = ANSI_CHARSET;
  lstrcpyW(font.lfFaceName, L"Arial");
  g_label_font = CreateFontIndirectW(&font);
}

void TermControls() {
  for (const ClassRow& row : kClasses) UnregisterClassW(row.name, g_instance);
  DeleteCachedBitmaps();
  if (g_label_font) DeleteObject(g_label_font);
  g_label_font = nullptr;
}

HBITMAP LoadBitmapByName(HINSTANCE instance, const wchar_t* name) {
  if (!name) return nullptr;
  // A name longer than an entry holds could never be found again, and each call
  // would load another copy: refuse it rather than fill the cache.
  if (lstrlenW(name) >= kBitmapNameUnits) return nullptr;
  for (const CacheEntry& entry : g_cache) {
    if (lstrcmpW(entry.name, name) == 0) return entry.bitmap;
  }
  CacheEntry* free_entry = nullptr;
  for (CacheEntry& entry : g_cache) {
    if (!entry.bitmap) {
      free_entry = &entry;
      break;
    }
  }
  if (!free_entry) return nullptr;
  HBITMAP bitmap = LoadBitmapW(instance, name);
  if (!bitmap) ShowToolkitMessageBox(nullptr, name, L"NotFound", MB_OK);
  lstrcpynW(free_entry->name, name, kBitmapNameUnits);
  free_entry->bitmap = bitmap;
  return bitmap;
}

void SetBackgroundBitmap(HBITMAP background) { g_background = background; }

HBITMAP CaptureBackground(HWND parent, int x, int y, int width, int height) {
  HDC screen = GetDC(parent);
  HBITMAP capture = CreateCompatibleBitmap(screen, width, height);
  if (capture && g_background) {
    HDC target = CreateCompatibleDC(screen);
    HDC source = CreateCompatibleDC(screen);
    HGDIOBJ old_target = SelectObject(target, capture);
    HGDIOBJ old_source = SelectObject(source, g_background);
    BitBlt(target, 0, 0, width, height, source, x, y, SRCCOPY);
    SelectObject(source, old_source);
    SelectObject(target, old_target);
    DeleteDC(source);
    DeleteDC(target);
  }
  ReleaseDC(parent, screen);
  return capture;
}

void SetWheelStep(int step) { g_wheel_step = step; }
int GetWheelStep() { return g_wheel_step; }
HFONT GetLabelFont() { return g_label_font; }

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  MessageBoxHandler previous = g_message_box;
  g_message_box = handler ? handler : MessageBoxW;
  return previous;
}

int ShowToolkitMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  return g_message_box(owner, text, caption, type);
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight};
}

void BlitBitmap(HDC target, int x, int y, int width, int height, HBITMAP source, int source_x,
                int source_y) {
  if (!source || width <= 0 || height <= 0) return;
  HDC memory = CreateCompatibleDC(target);
  HGDIOBJ old = SelectObject(memory, source);
  BitBlt(target, x, y, width, height, memory, source_x, source_y, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
}

HWND CreateControlWindow(HINSTANCE instance, const wchar_t* class_name, HWND parent, int id,
                         int x, int y, int width, int height) {
  return CreateWindowExW(0, class_name, L"", WS_CHILD, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

OffscreenCanvas::OffscreenCanvas(HDC target, int width, int height)
    : width_(width), height_(height) {
  dc_ = CreateCompatibleDC(target);
  bitmap_ = CreateCompatibleBitmap(target, width > 0 ? width : 1, height > 0 ? height : 1);
  previous_ = SelectObject(dc_, bitmap_);
}

OffscreenCanvas::~OffscreenCanvas() {
  SelectObject(dc_, previous_);
  DeleteObject(bitmap_);
  DeleteDC(dc_);
}

void OffscreenCanvas::Present(HDC target) const {
  BitBlt(target, 0, 0, width_, height_, dc_, 0, 0, SRCCOPY);
}

}  // namespace tqm::widgets
