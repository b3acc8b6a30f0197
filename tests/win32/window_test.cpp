// The Windows test lane end to end: register a class, create a window, send it a
// message across the window procedure, and read back what it painted, both from
// the screen and from a 32-bit DIB section.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

constexpr UINT kDoubleMessage = WM_APP + 1;
constexpr COLORREF kFill = RGB(200, 40, 20);

void PaintInto(HDC dc, HWND window) {
  RECT client;
  GetClientRect(window, &client);
  HBRUSH brush = CreateSolidBrush(kFill);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

LRESULT CALLBACK LaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kDoubleMessage:
      return static_cast<LRESULT>(wParam * 2);
    case WM_PRINTCLIENT:
      PaintInto(reinterpret_cast<HDC>(wParam), window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      PaintInto(dc, window);
      EndPaint(window, &ps);
      return 0;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class LaneWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = LaneProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TqmLaneTest";
    ASSERT_NE(RegisterClassW(&wc), 0) << GetLastError();
    window_ = CreateWindowExW(WS_EX_TOPMOST, L"TqmLaneTest", L"lane", WS_POPUP | WS_VISIBLE, 10, 10,
                              64, 48, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (window_) DestroyWindow(window_);
    UnregisterClassW(L"TqmLaneTest", GetModuleHandleW(nullptr));
  }
  HWND window_ = nullptr;
};

TEST_F(LaneWindow, MessageReachesTheWindowProcedure) {
  EXPECT_EQ(SendMessageW(window_, kDoubleMessage, 21, 0), 42);
}

TEST_F(LaneWindow, PaintedPixelReadsBackFromTheScreen) {
  UpdateWindow(window_);
  HDC dc = GetDC(window_);
  const COLORREF pixel = GetPixel(dc, 5, 5);
  ReleaseDC(window_, dc);
  EXPECT_EQ(pixel, kFill) << std::hex << pixel;
}

TEST_F(LaneWindow, PaintedPixelReadsBackFromA32BitDib) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = 64;
  info.bmiHeader.biHeight = -48;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC memory = CreateCompatibleDC(nullptr);
  HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(dib, nullptr);
  HGDIOBJ old = SelectObject(memory, dib);

  SendMessageW(window_, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT);
  GdiFlush();
  const uint32_t pixel = static_cast<const uint32_t*>(bits)[10 * 64 + 20];  // 0x00RRGGBB
  EXPECT_EQ(pixel & 0xFFFFFF, 0xC82814u) << std::hex << pixel;

  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
}

}  // namespace
