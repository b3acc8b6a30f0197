// The InnerROUTE windows: the patchbay the panel shows (Zel_IRouteAdvanceClass,
// two channels per port, a "Reset" menu) and its older many-channel layout
// (Zel_IRouteClass, no menu). Both are owned pop-ups over a background picture
// with a RouteEditor inside and mute switches over the WDM and ASIO columns;
// they edit the table in place and tell their owner after every change
// (WM_COMMAND id, or id + 1 after a confirmed Reset), and the owner sends the
// table on to the driver.
//
// The record belongs to the window and owns the editor; the pictures belong to
// the bitmap cache, the table to the panel. The close box only hides a view:
// the panel shows it again with the same cables.
#include "controls.h"
#include "route_editor.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <windowsx.h>

namespace tqm::widgets {
namespace {

constexpr int kMuteSwitches = 3;
constexpr int kFirstMuteId = 0x1880;
constexpr int kResetCommand = 0x1980;

struct RouteView {
  int id;
  int c1;
  int c2;
  HBITMAP background;
  HBITMAP lit;
  HBITMAP unlit;
  RouteEditor* editor;
  HWND mutes[kMuteSwitches];
  RECT drag_area;  // repainted while a cable is dragged
};

// Pointer moves outside this box do not move a dragged cable.
bool InDragBounds(POINT point) {
  return point.x >= 41 && point.x <= 309 && point.y >= 41 && point.y <= 449;
}

void Notify(HWND window, int code) {
  PostMessageW(GetWindow(window, GW_OWNER), WM_COMMAND, static_cast<WPARAM>(code),
               reinterpret_cast<LPARAM>(window));
}

RoutingEntry* MuteEntry(const RouteView& view, int port) {
  return view.editor ? view.editor->Entry(port, 0) : nullptr;
}

void Paint(HWND window, const RouteView* view) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  if (view) {
    RECT client;
    GetClientRect(window, &client);
    OffscreenCanvas canvas(dc, client.right, client.bottom);
    const SIZE size = BitmapSize(view->background);
    BlitBitmap(canvas.dc(), 0, 0, size.cx, size.cy, view->background, 0, 0);
    // The window is a little larger than its picture: continue the picture's
    // bottom-right colour into the margin.
    if (size.cx > 0 && size.cy > 0) {
      HBRUSH margin = CreateSolidBrush(GetPixel(canvas.dc(), size.cx - 1, size.cy - 1));
      const RECT right{size.cx, 0, client.right, client.bottom};
      const RECT below{0, size.cy, size.cx, client.bottom};
      FillRect(canvas.dc(), &right, margin);
      FillRect(canvas.dc(), &below, margin);
      DeleteObject(margin);
    }
    if (view->editor) view->editor->Paint(canvas.dc(), view->lit, view->unlit);
    canvas.Present(dc);
  }
  EndPaint(window, &ps);
  if (!view) return;
  for (int port = 0; port < kMuteSwitches; ++port) {
    const RoutingEntry* entry = MuteEntry(*view, port);
    if (view->mutes[port] && entry) {
      SendMessageW(view->mutes[port], BM_SETCHECK, entry->muted == 1, 0);
    }
  }
}

void OnMute(HWND window, RouteView* view, int port) {
  RoutingEntry* entry = MuteEntry(*view, port);
  if (!entry) return;
  entry->muted = entry->muted == 1 ? 0 : 1;
  SendMessageW(view->mutes[port], BM_SETCHECK, entry->muted, 0);
  Notify(window, view->id);
}

void OnReset(HWND window, RouteView* view) {
  if (ShowToolkitMessageBox(nullptr, L"Are you sure ?", L"Reset InnerROUTE settings",
                            MB_OKCANCEL) != IDOK) {
    return;
  }
  if (view->editor) {
    RoutingEntry* table = view->editor->table();
    for (int e = 0; e < kJackPanels * view->editor->channels(); ++e) {
      table[e] = RoutingEntry{0, 0, 0, 0, 0, 0, -1};
    }
  }
  Notify(window, view->id + 1);
  ShowWindow(window, SW_HIDE);
  ShowWindow(window, SW_SHOW);
}

HWND CreateMuteSwitch(HINSTANCE instance, HWND view, int port, int x, int y, const wchar_t* on,
                      const wchar_t* off) {
  return CreateToggle(instance, view, kFirstMuteId + port, x, y, on, off);
}

}  // namespace

LRESULT CALLBACK RouteViewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  RouteView* view = RecordOf<RouteView>(window);
  const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  switch (message) {
    case WM_CREATE:
      return AttachRecord<RouteView>(window) ? 0 : -1;
    case WM_DESTROY:
      if (view) delete view->editor;
      DetachRecord<RouteView>(window);
      return 0;
    case WM_PAINT:
      Paint(window, view);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
  }
  if (!view) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_LBUTTONDOWN:
      if (view->editor && view->editor->Press(point)) {
        SetCapture(window);
        InvalidateRect(window, nullptr, TRUE);
      }
      return 0;
    case WM_MOUSEMOVE:
      if (view->editor && wParam != 0 && InDragBounds(point) && view->editor->Drag(point)) {
        InvalidateRect(window, &view->drag_area, TRUE);
      }
      return 0;
    case WM_LBUTTONUP:
      if (!view->editor) return 0;
      view->editor->Release(point);
      if (GetCapture() == window) ReleaseCapture();
      InvalidateRect(window, nullptr, TRUE);
      Notify(window, view->id);
      return 0;
    case WM_COMMAND: {
      const int command = LOWORD(wParam);
      if (command >= kFirstMuteId && command < kFirstMuteId + kMuteSwitches) {
        OnMute(window, view, command - kFirstMuteId);
        return 0;
      }
      if (command == kResetCommand && GetMenu(window)) {
        OnReset(window, view);
        return 0;
      }
      break;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateRouteView(HINSTANCE instance, HWND owner, int id, int x, int y, int c1, int c2,
                     const wchar_t* background_name, const wchar_t* lit_name,
                     const wchar_t* unlit_name, PatchTable* table) {
  HBITMAP background = LoadBitmapByName(instance, background_name);
  HBITMAP lit = LoadBitmapByName(instance, lit_name);
  HBITMAP unlit = LoadBitmapByName(instance, unlit_name);
  HMENU menu = CreateMenu();
  if (menu) AppendMenuW(menu, MF_STRING, kResetCommand, L"Reset");
  const SIZE size = BitmapSize(background);
  const int width = size.cx + 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXFRAME) + 15;
  const int height = size.cy + 2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYFRAME) +
                     GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + 15;
  HWND window = CreateWindowExW(0, L"Zel_IRouteAdvanceClass", L"InnerROUTE",
                                WS_POPUPWINDOW | WS_DLGFRAME, x, y, width, height, owner, menu,
                                instance, nullptr);
  if (!window) {
    if (menu) DestroyMenu(menu);
    return nullptr;
  }
  RouteView* view = RecordOf<RouteView>(window);
  view->id = id;
  view->c1 = c1;
  view->c2 = c2;
  view->background = background;
  view->lit = lit;
  view->unlit = unlit;
  view->drag_area = RECT{40, 40, 310, 450};
  // Panels by port: WDM, MME (no jacks), ASIO, INPUT (the channels beyond a
  // stereo pair); the playback column has c2 jacks, the record column c1.
  const JackGeometry geometry{23, 12, 23, 0, 0, 39, 8, 4, 1, 52};
  const JackPanelLayout panels[kJackPanels] = {
      {89, c2, c1}, {89, 0, 0}, {176, c2, c1}, {41, c1 - 2, 0}};
  view->editor = table ? RouteEditor::Create(geometry, panels, table->entry,
                                             static_cast<int>(kChannelsPerPort))
                       : nullptr;
  view->mutes[0] = CreateMuteSwitch(instance, window, 0, 89, 37, L"IR_BTN_F", L"IR_BTN_N");
  view->mutes[1] = CreateMuteSwitch(instance, window, 1, 89, 37, L"IR_BTN_F", L"IR_BTN_N");
  if (view->mutes[1]) ShowWindow(view->mutes[1], SW_HIDE);
  view->mutes[2] = CreateMuteSwitch(instance, window, 2, 176, 37, L"IR_BTN_F", L"IR_BTN_N");
  return window;
}

HWND CreateClassicRouteView(HINSTANCE instance, HWND owner, int id, int channels,
                            const wchar_t* background_name, const wchar_t* lit_name,
                            const wchar_t* unlit_name, RoutingEntry* table) {
  HBITMAP background = LoadBitmapByName(instance, background_name);
  HBITMAP lit = LoadBitmapByName(instance, lit_name);
  HBITMAP unlit = LoadBitmapByName(instance, unlit_name);
  RECT owner_rect{};
  if (owner) GetWindowRect(owner, &owner_rect);
  const SIZE size = BitmapSize(background);
  const int width = size.cx + 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXFRAME) + 15;
  const int height = size.cy + 2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYFRAME) +
                     GetSystemMetrics(SM_CYCAPTION) + 15;
  HWND window = CreateWindowExW(0, L"Zel_IRouteClass", L"InnerROUTE(R)-3.0",
                                WS_POPUPWINDOW | WS_DLGFRAME,
                                (owner_rect.left + owner_rect.right) / 3,
                                (owner_rect.top + owner_rect.bottom) / 3, width, height, owner,
                                nullptr, instance, nullptr);
  if (!window) return nullptr;
  RouteView* view = RecordOf<RouteView>(window);
  view->id = id;
  view->c1 = view->c2 = channels;
  view->background = background;
  view->lit = lit;
  view->unlit = unlit;
  RECT client;
  GetClientRect(window, &client);
  view->drag_area = RECT{0, 66, client.right, client.bottom};
  // Panels by port: MME (both columns), WDM (playback only), ASIO (both),
  // INPUT (playback only); 17 x 17 jacks with a wider gap after every eighth,
  // cable ends at the exact centre.
  const JackGeometry geometry{17, 17, 23, 8, 6, 39, 3, 2, 0, 68};
  const JackPanelLayout panels[kJackPanels] = {{28 + 87, channels, channels},
                                               {28 + 174, channels, 0},
                                               {28 + 261, channels, channels},
                                               {28 + 39, channels, 0}};
  view->editor = table ? RouteEditor::Create(geometry, panels, table, channels) : nullptr;
  for (int port = 0; port < kMuteSwitches; ++port) {
    view->mutes[port] = CreateMuteSwitch(instance, window, port, 110 + 87 * port, 51,
                                         L"IROUTEMUTE_F", L"IROUTEMUTE");
  }
  return window;
}

}  // namespace tqm::widgets
