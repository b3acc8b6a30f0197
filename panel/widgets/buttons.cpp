// Buttons of the panel: picture toggles (Zel_TogleClass), text buttons used as
// level read-outs (Zel_TextBtnClass and its see-through variant
// Zel_TextBtnBmpClass), and the picture state controls Zel_State3Class and
// Zel_State4Class.
//
// A toggle inverts its state on release and tells its parent, but shows the new
// picture only when the parent confirms it with BM_SETCHECK (or at the next
// paint): the parent, not the click, decides what the switch shows. A text
// button never changes its state by itself. Records belong to the windows;
// pictures belong to the bitmap cache, except a face cut from the panel
// background, which belongs to its record.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

namespace tqm::widgets {
namespace {

constexpr int kTextUnits = 64;  // 63 characters and the terminator

struct Toggle {
  int checked;
  HBITMAP on;
  HBITMAP off;
};

struct TextButton {
  COLORREF checked_text;
  COLORREF checked_background;
  COLORREF normal_text;
  COLORREF normal_background;
  int checked;
  wchar_t caption[kTextUnits];
  wchar_t checked_caption[kTextUnits];
  HBITMAP face;  // see-through variant only: the background under the button, owned
};

struct State3 {
  int state;
  HBITMAP pictures[3];
};

struct State4 {
  int state;
  HBITMAP pictures[4];
};

void PostCommand(HWND window, WORD code) {
  const WORD id = static_cast<WORD>(GetDlgCtrlID(window));
  PostMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(id, code),
               reinterpret_cast<LPARAM>(window));
}

// BM_SETCHECK of the toggle and the text buttons: 0 and 1 are stored, anything
// else is ignored; the control repaints either way.
void SetCheckFromMessage(HWND window, int* checked, WPARAM value) {
  if (value == 0 || value == 1) *checked = static_cast<int>(value);
  InvalidateRect(window, nullptr, FALSE);
}

void PaintPicture(HWND window, HBITMAP picture) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  BlitBitmap(dc, 0, 0, client.right, client.bottom, picture, 0, 0);
  EndPaint(window, &ps);
}

void PaintTextButton(HWND window, const TextButton& button) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  OffscreenCanvas canvas(dc, client.right, client.bottom);
  HDC face = canvas.dc();
  const bool checked = button.checked == 1;
  if (button.face) {
    BlitBitmap(face, 0, 0, client.right, client.bottom, button.face, 0, 0);
  } else {
    HBRUSH brush =
        CreateSolidBrush(checked ? button.checked_background : button.normal_background);
    FillRect(face, &client, brush);
    DeleteObject(brush);
  }
  HGDIOBJ old_font = SelectObject(face, GetLabelFont());
  SetBkMode(face, TRANSPARENT);
  SetTextColor(face, checked ? button.checked_text : button.normal_text);
  SetTextAlign(face, TA_CENTER);
  const wchar_t* text = checked ? button.checked_caption : button.caption;
  TextOutW(face, client.right / 2, (client.bottom - 10) / 4, text, lstrlenW(text));
  SelectObject(face, old_font);
  canvas.Present(dc);
  EndPaint(window, &ps);
}

// Shared by both text-button classes; only WM_GETDLGCODE differs.
bool HandleTextButton(HWND window, TextButton* button, UINT message, WPARAM wParam,
                      LPARAM lParam, LRESULT* result) {
  *result = 0;
  switch (message) {
    case WM_DESTROY:
      if (button && button->face) DeleteObject(button->face);
      DetachRecord<TextButton>(window);
      return true;
    case WM_SETTEXT:
      if (!button) return false;
      lstrcpynW(button->caption, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"",
                kTextUnits);
      InvalidateRect(window, nullptr, FALSE);
      return true;
    case BM_GETCHECK:
      *result = button && button->checked == 1;
      return true;
    case BM_SETCHECK:
      if (button) SetCheckFromMessage(window, &button->checked, wParam);
      return true;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      SetCapture(window);
      return true;
    case WM_LBUTTONUP:
      ReleaseCapture();
      PostCommand(window, 1);
      return true;
    case WM_PAINT:
      if (button) {
        PaintTextButton(window, *button);
      } else {
        ValidateRect(window, nullptr);
      }
      return true;
    case WM_ERASEBKGND:
      return true;
  }
  return false;
}

void FillTextButton(TextButton* button, COLORREF checked_text, COLORREF checked_background,
                    COLORREF normal_text, COLORREF normal_background, const wchar_t* caption) {
  button->checked_text = checked_text;
  button->checked_background = checked_background;
  button->normal_text = normal_text;
  button->normal_background = normal_background;
  button->checked = 0;
  lstrcpynW(button->caption, caption ? caption : L"", kTextUnits);
  lstrcpynW(button->checked_caption, caption ? caption : L"", kTextUnits);
  button->face = nullptr;
}

}  // namespace

LRESULT CALLBACK ToggleProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Toggle* toggle = RecordOf<Toggle>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<Toggle>(window) ? 0 : -1;
    case WM_DESTROY:
      DetachRecord<Toggle>(window);
      return 0;
    case BM_GETCHECK:
      return toggle && toggle->checked == 1;
    case BM_SETCHECK:
      if (toggle) SetCheckFromMessage(window, &toggle->checked, wParam);
      return 0;
    case WM_LBUTTONDOWN:
      SetFocus(window);
      SetCapture(window);
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      if (toggle) toggle->checked = toggle->checked == 1 ? 0 : 1;
      PostCommand(window, 1);
      return 0;
    case WM_PAINT:
      PaintPicture(window, toggle ? (toggle->checked == 1 ? toggle->on : toggle->off) : nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TextButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) return AttachRecord<TextButton>(window) ? 0 : -1;
  LRESULT result;
  if (HandleTextButton(window, RecordOf<TextButton>(window), message, wParam, lParam, &result)) {
    return result;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TextButtonBmpProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) return AttachRecord<TextButton>(window) ? 0 : -1;
  if (message == WM_GETDLGCODE) return DLGC_WANTALLKEYS;
  LRESULT result;
  if (HandleTextButton(window, RecordOf<TextButton>(window), message, wParam, lParam, &result)) {
    return result;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK State3Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  State3* control = RecordOf<State3>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<State3>(window) ? 0 : -1;
    case WM_DESTROY:
      DetachRecord<State3>(window);
      return 0;
    case BM_GETCHECK:
      return control ? control->state : 0;
    case BM_SETCHECK:
      if (control) control->state = static_cast<int>(wParam);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_LBUTTONDOWN:
      SetCapture(window);
      SetFocus(window);
      PostCommand(window, 0);
      return 0;
    case WM_LBUTTONUP:
      ReleaseCapture();
      return 0;
    case WM_PAINT: {
      // State 1 shows the first picture, 2 the second; 0 and any value never
      // defined show the third, the resting picture.
      HBITMAP picture = nullptr;
      if (control) {
        picture = control->state == 1   ? control->pictures[0]
                  : control->state == 2 ? control->pictures[1]
                                        : control->pictures[2];
      }
      PaintPicture(window, picture);
      return 0;
    }
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK State4Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  State4* control = RecordOf<State4>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<State4>(window) ? 0 : -1;
    case WM_DESTROY:
      DetachRecord<State4>(window);
      return 0;
    case BM_GETCHECK:
      return control ? control->state : 0;
    case BM_SETCHECK:
      // Limited like the initial state, so that the picture index stays in range.
      if (control) control->state = static_cast<int>(wParam) > 3 ? 3 : static_cast<int>(wParam);
      if (control && control->state < 0) control->state = 0;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_PAINT:
      PaintPicture(window, control ? control->pictures[control->state] : nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateToggle(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* on_name,
                  const wchar_t* off_name) {
  HBITMAP on = LoadBitmapByName(instance, on_name);
  HBITMAP off = LoadBitmapByName(instance, off_name);
  const SIZE size = BitmapSize(on);
  HWND window =
      CreateControlWindow(instance, L"Zel_TogleClass", parent, id, x, y, size.cx, size.cy);
  if (!window) return nullptr;
  Toggle* toggle = RecordOf<Toggle>(window);
  toggle->checked = 0;
  toggle->on = on;
  toggle->off = off;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateTextButton(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height, COLORREF checked_text, COLORREF checked_background,
                      COLORREF normal_text, COLORREF normal_background, const wchar_t* caption) {
  HWND window =
      CreateControlWindow(instance, L"Zel_TextBtnClass", parent, id, x, y, width, height);
  if (!window) return nullptr;
  FillTextButton(RecordOf<TextButton>(window), checked_text, checked_background, normal_text,
                 normal_background, caption);
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateTextButtonBmp(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                         int height, COLORREF checked_text, COLORREF normal_text,
                         const wchar_t* caption) {
  HBITMAP face = CaptureBackground(parent, x, y, width, height);
  HWND window =
      CreateControlWindow(instance, L"Zel_TextBtnBmpClass", parent, id, x, y, width, height);
  if (!window) {
    if (face) DeleteObject(face);
    return nullptr;
  }
  TextButton* button = RecordOf<TextButton>(window);
  FillTextButton(button, checked_text, 0, normal_text, 0, caption);
  button->face = face;
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateState3(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* first,
                  const wchar_t* second, const wchar_t* third) {
  HBITMAP pictures[3] = {LoadBitmapByName(instance, first), LoadBitmapByName(instance, second),
                         LoadBitmapByName(instance, third)};
  const SIZE size = BitmapSize(pictures[0]);
  HWND window =
      CreateControlWindow(instance, L"Zel_State3Class", parent, id, x, y, size.cx, size.cy);
  if (!window) return nullptr;
  State3* control = RecordOf<State3>(window);
  control->state = 0;
  for (int i = 0; i < 3; ++i) control->pictures[i] = pictures[i];
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

HWND CreateState4(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* first,
                  const wchar_t* second, const wchar_t* third, const wchar_t* fourth,
                  int initial_state) {
  HBITMAP pictures[4] = {LoadBitmapByName(instance, first), LoadBitmapByName(instance, second),
                         LoadBitmapByName(instance, third), LoadBitmapByName(instance, fourth)};
  const SIZE size = BitmapSize(pictures[0]);
  HWND window =
      CreateControlWindow(instance, L"Zel_State4Class", parent, id, x, y, size.cx, size.cy);
  if (!window) return nullptr;
  State4* control = RecordOf<State4>(window);
  control->state = initial_state > 3 ? 3 : (initial_state < 0 ? 0 : initial_state);
  for (int i = 0; i < 4; ++i) control->pictures[i] = pictures[i];
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace tqm::widgets
