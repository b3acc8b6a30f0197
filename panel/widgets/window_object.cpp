// Window objects and the "WNDBASE_CLASS" routing procedure.
//
// The object is handed to CreateWindowExW as the creation parameter and bound in
// GWLP_USERDATA at WM_CREATE. The object's owner deletes it; its destructor
// destroys the window if it still exists. When the window goes first (its parent
// was destroyed), WM_DESTROY unbinds the object and forgets the handle, so the
// destructor never destroys a window that has since reused the handle.
#include "window_object.h"

#include "toolkit.h"
#include "widgets_internal.h"

namespace tqm::widgets {

constexpr wchar_t kWndBaseClass[] = L"WNDBASE_CLASS";

LRESULT CALLBACK WndBaseProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* object = reinterpret_cast<CWndBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      if (create->lpCreateParams) {
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      }
      return 0;
    }
    case WM_DESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      if (object) object->window_ = nullptr;
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      if (object) {
        RECT client;
        GetClientRect(window, &client);
        OffscreenCanvas canvas(dc, client.right, client.bottom);
        object->OnPaint(canvas.dc());
        canvas.Present(dc);
      }
      EndPaint(window, &ps);
      return 0;
    }
  }
  if (object) return object->WndProc(window, message, wParam, lParam);
  return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterWndBaseClass(HINSTANCE instance) {
  if (!instance) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = WndBaseProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
  wc.lpszClassName = kWndBaseClass;
  RegisterClassExW(&wc);
}

void UnregisterWndBaseClass(HINSTANCE instance) { UnregisterClassW(kWndBaseClass, instance); }

CWndBase::~CWndBase() {
  if (window_ && IsWindow(window_)) DestroyWindow(window_);
}

bool CWndBase::Create(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height) {
  HWND window = CreateWindowExW(0, kWndBaseClass, nullptr, WS_CHILD | WS_VISIBLE, x, y, width,
                                height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                instance, this);
  if (!window) return false;
  window_ = window;
  parent_ = parent;
  return true;
}

BOOL CWndBase::Show(int flag) {
  visible_ = flag;
  return ShowWindow(window_, flag ? SW_SHOW : SW_HIDE);
}

LRESULT CWndBase::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

void CCtrlBase::SetFocused(int value) {
  focused_ = value;
  if (window_) InvalidateRect(window_, nullptr, TRUE);
}

void CCtrlBase::SetChecked(int value) {
  checked_ = value;
  if (window_) InvalidateRect(window_, nullptr, TRUE);
}

void CCtrlBase::Repaint() {
  if (window_) InvalidateRect(window_, nullptr, TRUE);
}

void CCtrlBase::Notify(HWND window, WORD code) {
  const WORD id = static_cast<WORD>(GetDlgCtrlID(window));
  PostMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(id, code),
               reinterpret_cast<LPARAM>(window));
}

bool CCtrlBase::HandleCheckMessage(UINT message, WPARAM wParam, LRESULT* result) {
  if (message == BM_GETCHECK) {
    *result = checked_ == 1;
    return true;
  }
  if (message == BM_SETCHECK) {
    if (wParam == 0 || wParam == 1) checked_ = static_cast<int>(wParam);
    Repaint();
    *result = 0;
    return true;
  }
  return false;
}

namespace {

// Draws a caption the way the link and text buttons do: transparent, in the
// given font and colour, placed by the stored DrawText format and centred
// vertically. The format is not also handed to SetTextAlign: DrawText needs
// TA_LEFT | TA_TOP | TA_NOUPDATECP, and DT_CENTER read as an alignment is
// TA_UPDATECP, which would draw every centred caption at the top-left corner.
void DrawCaption(HDC dc, HFONT font, COLORREF colour, const wchar_t* caption, UINT format) {
  RECT client;
  GetClipBox(dc, &client);
  HGDIOBJ old_font = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colour);
  SetTextAlign(dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  wchar_t text[kCaptionUnits];
  lstrcpynW(text, caption, kCaptionUnits);
  DrawTextExW(dc, text, -1, &client, format | DT_VCENTER, nullptr);
  SelectObject(dc, old_font);
}

void FillClient(HDC dc, COLORREF colour) {
  RECT client;
  GetClipBox(dc, &client);
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

}  // namespace

bool CCtrlLinkBtn::CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                              int height, const wchar_t* caption, UINT format) {
  if (!caption || lstrlenW(caption) + 1 > kCaptionUnits) return false;
  lstrcpyW(caption_, caption);
  format_ = format;
  width_ = width;
  height_ = height;
  return Create(instance, parent, id, x, y, width, height);
}

void CCtrlLinkBtn::OnPaint(HDC dc) {
  FillClient(dc, GetSysColor(COLOR_BTNFACE));
  LOGFONTW logfont{};
  logfont.lfHeight = 16;
  logfont.lfWeight = FW_BOLD;
  logfont.lfCharSet = ANSI_CHARSET;
  logfont.lfUnderline = TRUE;
  lstrcpyW(logfont.lfFaceName, L"System");
  HFONT font = CreateFontIndirectW(&logfont);
  DrawCaption(dc, font, text_colour_, caption_, format_);
  DeleteObject(font);
}

LRESULT CCtrlLinkBtn::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (HandleCheckMessage(message, wParam, &result)) return result;
  switch (message) {
    case WM_SETFOCUS:
      focused_ = 1;
      return 0;
    case WM_KILLFOCUS:
      focused_ = 0;
      return 0;
    case WM_SETTEXT:
      lstrcpynW(caption_, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"", kCaptionUnits);
      Repaint();
      return TRUE;
    case WM_SETCURSOR:
      SetCursor(LoadCursorW(nullptr, IDC_HAND));
      return 0;
    case WM_MOUSEMOVE:
      SetFocus(window);
      return 0;
    case WM_LBUTTONDOWN:
      SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      Notify(window, 0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool CCtrlImageBtn::CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y,
                               const wchar_t* normal_name, const wchar_t* pressed_name) {
  normal_ = LoadBitmapByName(instance, normal_name);
  pressed_ = LoadBitmapByName(instance, pressed_name);
  const SIZE size = BitmapSize(normal_);
  width_ = size.cx;
  height_ = size.cy;
  return Create(instance, parent, id, x, y, width_, height_);
}

void CCtrlImageBtn::OnPaint(HDC dc) {
  BlitBitmap(dc, 0, 0, width_, height_, checked_ ? pressed_ : normal_, 0, 0);
}

LRESULT CCtrlImageBtn::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (HandleCheckMessage(message, wParam, &result)) return result;
  switch (message) {
    case WM_SETFOCUS:
      focused_ = 1;
      Notify(window, BN_SETFOCUS);
      Repaint();
      return 0;
    case WM_KILLFOCUS:
      focused_ = 0;
      Notify(window, BN_KILLFOCUS);
      Repaint();
      return 0;
    case WM_MOUSEMOVE:
      SetFocus(window);
      return 0;
    case WM_LBUTTONDOWN:
      SetCapture(window);
      checked_ = 1;
      Repaint();
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      Notify(window, 0);
      checked_ = 0;
      Repaint();
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

CCtrlTextBtn::~CCtrlTextBtn() {
  if (font_) DeleteObject(font_);
}

bool CCtrlTextBtn::CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                              int height, const wchar_t* caption, UINT format) {
  if (!caption || lstrlenW(caption) + 1 > kCaptionUnits) return false;
  lstrcpyW(caption_, caption);
  if (!font_) {
    LOGFONTW logfont{};
    logfont.lfHeight = 12;
    logfont.lfWeight = FW_BOLD;
    logfont.lfCharSet = ANSI_CHARSET;
    lstrcpyW(logfont.lfFaceName, L"Arial");
    font_ = CreateFontIndirectW(&logfont);
  }
  format_ = format;
  return Create(instance, parent, id, x, y, width, height);
}

void CCtrlTextBtn::OnPaint(HDC dc) {
  const COLORREF background =
      focused_ ? focus_background_ : (checked_ ? checked_background_ : normal_background_);
  FillClient(dc, background);
  DrawCaption(dc, font_, checked_ ? checked_text_ : normal_text_, caption_, format_);
}

LRESULT CCtrlTextBtn::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (HandleCheckMessage(message, wParam, &result)) return result;
  switch (message) {
    case WM_SETFOCUS:
      focused_ = 1;
      Notify(window, BN_SETFOCUS);
      Repaint();
      return 0;
    case WM_KILLFOCUS:
      focused_ = 0;
      Notify(window, BN_KILLFOCUS);
      Repaint();
      return 0;
    case WM_SETTEXT:
      SetText(lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
      return TRUE;
    case WM_MOUSEMOVE:
      SetFocus(window);
      return 0;
    case WM_LBUTTONDOWN:
      SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      Notify(window, 0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void CCtrlTextBtn::SetText(const wchar_t* text) {
  lstrcpynW(caption_, text, kCaptionUnits);
  Repaint();
}

void CCtrlTextBtn::SetCheckedColors(COLORREF text, COLORREF background) {
  checked_text_ = text;
  checked_background_ = background;
}

void CCtrlTextBtn::SetFocusColors(COLORREF text, COLORREF background) {
  focus_text_ = text;
  focus_background_ = background;
}

void CCtrlTextBtn::SetNormalColors(COLORREF text, COLORREF background) {
  normal_text_ = text;
  normal_background_ = background;
}

}  // namespace tqm::widgets
