#include "control_harness.h"

#include "toolkit.h"

#include <algorithm>

namespace tqm::widgets::testing {
namespace {

constexpr wchar_t kParentClass[] = L"TqmRecordingParent";
std::vector<BoxShown> g_boxes;
int g_box_answer = IDOK;

int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  g_boxes.push_back(BoxShown{owner, text ? text : L"", caption ? caption : L"", type});
  return g_box_answer;
}

// Left out of the record: paint traffic, and the pointer moves the system itself
// posts when a capture ends (no control posts these).
bool IsSystemTraffic(UINT message) {
  return message == WM_PAINT || message == WM_NCPAINT || message == WM_ERASEBKGND ||
         message == WM_TIMER || message == WM_SYNCPAINT || message == WM_MOUSEMOVE ||
         message == WM_NCMOUSEMOVE || message == WM_MOUSELEAVE || message == WM_NCMOUSELEAVE;
}

Pixels Grab(HDC source, int x, int y, int width, int height) {
  Pixels pixels;
  pixels.width = width;
  pixels.height = height;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC memory = CreateCompatibleDC(source);
  HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
  GdiFlush();
  const auto* words = static_cast<const uint32_t*>(bits);
  pixels.rgb.assign(words, words + static_cast<size_t>(width) * height);
  for (uint32_t& p : pixels.rgb) p &= 0xFFFFFF;
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  return pixels;
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

void ControlTest::SetUp() {
  instance_ = GetModuleHandleW(nullptr);
  g_boxes.clear();
  g_box_answer = IDOK;
  SetMessageBoxHandler(RecordBox);
  InitControls(instance_);
  RegisterWndBaseClass(instance_);

  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = instance_;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
  wc.lpszClassName = kParentClass;
  RegisterClassW(&wc);
  parent_ = CreateWindowExW(WS_EX_TOPMOST, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0,
                            320, 320, nullptr, nullptr, instance_, nullptr);
  ASSERT_NE(parent_, nullptr) << GetLastError();
  background_ = LoadBitmapByName(instance_, L"IDB_BACK1");
  ASSERT_NE(background_, nullptr);
  SetBackgroundBitmap(background_);
  Drain();
}

void ControlTest::TearDown() {
  if (parent_) DestroyWindow(parent_);
  Drain();
  UnregisterClassW(kParentClass, instance_);
  SetBackgroundBitmap(nullptr);
  TermControls();
  UnregisterWndBaseClass(instance_);
  SetMessageBoxHandler(nullptr);
}

std::vector<Posted> ControlTest::Drain() {
  std::vector<Posted> posted;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == parent_ && parent_ && !IsSystemTraffic(msg.message)) {
      posted.push_back(Posted{msg.message, msg.wParam, msg.lParam});
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return posted;
}

const std::vector<BoxShown>& ControlTest::Boxes() const { return g_boxes; }

void ControlTest::AnswerBoxesWith(int answer) { g_box_answer = answer; }

Pixels ControlTest::WindowPixels(HWND window) {
  UpdateWindow(window);
  RECT client;
  GetClientRect(window, &client);
  HDC dc = GetDC(window);
  Pixels pixels = Grab(dc, 0, 0, client.right, client.bottom);
  ReleaseDC(window, dc);
  return pixels;
}

Pixels ControlTest::BitmapPixels(HBITMAP bitmap, int x, int y, int width, int height) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(memory, bitmap);
  Pixels pixels = Grab(memory, x, y, width, height);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

void ControlTest::Scribble(HWND window, COLORREF colour) {
  RECT client;
  GetClientRect(window, &client);
  HDC dc = GetDC(window);
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
  ReleaseDC(window, dc);
}

bool ControlTest::HasPendingPaint(HWND window) {
  return GetUpdateRect(window, nullptr, FALSE) != FALSE;
}

int CountDifferences(const Pixels& a, const Pixels& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int differences = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) differences += a.rgb[i] != b.rgb[i];
  return differences;
}

RECT InkBounds(const Pixels& pixels, uint32_t background) {
  RECT bounds{pixels.width, pixels.height, 0, 0};
  bool any = false;
  for (int y = 0; y < pixels.height; ++y) {
    for (int x = 0; x < pixels.width; ++x) {
      if (pixels.at(x, y) == background) continue;
      any = true;
      bounds.left = std::min<LONG>(bounds.left, x);
      bounds.top = std::min<LONG>(bounds.top, y);
      bounds.right = std::max<LONG>(bounds.right, x + 1);
      bounds.bottom = std::max<LONG>(bounds.bottom, y + 1);
    }
  }
  return any ? bounds : RECT{0, 0, 0, 0};
}

Pixels ReferenceText(HFONT font, const wchar_t* text, int width, int height, int x, int y,
                     COLORREF text_colour, COLORREF background) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
  RECT all{0, 0, width, height};
  HBRUSH brush = CreateSolidBrush(background);
  FillRect(memory, &all, brush);
  DeleteObject(brush);
  HGDIOBJ old_font = SelectObject(memory, font);
  SetBkMode(memory, TRANSPARENT);
  SetTextColor(memory, text_colour);
  SetTextAlign(memory, TA_CENTER);
  TextOutW(memory, x, y, text, lstrlenW(text));
  SelectObject(memory, old_font);
  Pixels pixels = Grab(memory, 0, 0, width, height);
  SelectObject(memory, old_bitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

}  // namespace tqm::widgets::testing
