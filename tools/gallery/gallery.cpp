// The widget gallery: every control of the toolkit on the panel's own artwork,
// for looking at and for screenshots (scripts/gallery). Three panes in one
// borderless window at the screen's top-left corner:
//   - the main panel background with both strips as the panel lays them out:
//     dual faders, meters, level read-outs and mute switches at their places;
//   - the InnerROUTE window (its own owned pop-up, as the panel shows it) with
//     a red WDM cable, a green-blue ASIO cable and a yellow cable being dragged;
//   - the fader family's single-value members: vertical fader, arc slider, knob;
//   - the remaining controls (two-bar meter, state pictures, digit read-out,
//     small label, see-through text button, window-object buttons) on a plain
//     background of their own.
// Usage: tqm_gallery [milliseconds]  (closes itself after that long; default: stays)
#include <windows.h>

#include <cstdlib>
#include <initializer_list>

#include "controls.h"
#include "level_scale.h"
#include "toolkit.h"
#include "window_object.h"

namespace {

using namespace tqm::widgets;
namespace levels = tqm::panel;

constexpr int kPanelX = 10, kPanelY = 10;
constexpr int kRouteX = 208, kRouteY = 10;
constexpr int kExtrasX = 208, kExtrasW = 262, kExtrasH = 163;
constexpr int kFamilyX = 10, kFamilyY = 318, kFamilyW = 188, kFamilyH = 70;
constexpr int kGalleryW = 520, kGalleryH = 400;
constexpr COLORREF kBody = RGB(0x16, 0x19, 0x1D);
constexpr COLORREF kFrame = RGB(0x0E, 0x10, 0x13);
constexpr UINT_PTR kCloseTimer = 1;

HINSTANCE g_instance;
HBITMAP g_panel_background;
HBITMAP g_extras_background;
HBITMAP g_family_background;
tqm::PatchTable g_patch;

void Blit(HDC dc, const wchar_t* name, int x, int y) {
  HBITMAP bitmap = LoadBitmapByName(g_instance, name);
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return;
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(dc, x, y, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
}

void PaintPanel(HDC dc) { Blit(dc, L"IDB_BACK1", 0, 0); }

void PaintExtras(HDC dc) {
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, g_extras_background);
  BitBlt(dc, 0, 0, kExtrasW, kExtrasH, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  Blit(dc, L"ORU_LOGO", 192, 78);
  HICON icon = static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(129), IMAGE_ICON, 32, 32, 0));
  if (icon) DrawIconEx(dc, 222, 10, icon, 32, 32, 0, nullptr, DI_NORMAL);
  HICON small = static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(113), IMAGE_ICON, 16, 16, 0));
  if (small) DrawIconEx(dc, 230, 48, small, 16, 16, 0, nullptr, DI_NORMAL);
}

LRESULT CALLBACK PaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      const auto paint = reinterpret_cast<void (*)(HDC)>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (paint) paint(dc);
      EndPaint(window, &ps);
      return 0;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK GalleryProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kCloseTimer) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakePane(HWND parent, int x, int y, int width, int height, void (*paint)(HDC)) {
  HWND pane = CreateWindowExW(0, L"TqmGalleryPane", L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN,
                              x, y, width, height, parent, nullptr, g_instance, nullptr);
  SetWindowLongPtrW(pane, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(paint));
  return pane;
}

void ShowText(HWND button, int strip, int position) {
  char16_t text[levels::kDbTextUnits];
  if (levels::FormatDbText(strip, position, text)) {
    SendMessageW(button, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  }
}

void BuildPanel(HWND pane) {
  SetBackgroundBitmap(g_panel_background);
  // Faders as the panel makes them: input (0..104) at (21, 67), output (0..110)
  // at (111, 67), tracks cut from the background. The input pair sits at
  // +1.5 dB with its left cap pulled to +0.5 dB by a click in the left zone
  // (which leaves that cap lit); the output pair at -6.0 dB / -7.0 dB, unlit.
  HWND in_fader = CreateDualFader(g_instance, pane, 0x201, 21, 67, 51, 160, 0,
                                  levels::kInputFaderTop, nullptr, L"IDB_FADER_OFF",
                                  L"IDB_FADER_ON", L"IDB_FADER_OFF", L"IDB_FADER_ON", nullptr);
  SendMessageW(in_fader, SBM_SETPOS, 0, MAKELPARAM(83, 83));
  // Row for value 81: 8 + 144 - 144 * 81 / 104, the cap centre.
  SendMessageW(in_fader, WM_LBUTTONUP, 0, MAKELPARAM(5, 8 + 144 - 144 * 81 / 104));
  HWND out_fader = CreateDualFader(g_instance, pane, 0x200, 111, 67, 51, 160, 0,
                                   levels::kOutputFaderTop, nullptr, L"IDB_FADER_OFF",
                                   L"IDB_FADER_ON", L"IDB_FADER_OFF", L"IDB_FADER_ON", nullptr);
  SendMessageW(out_fader, SBM_SETPOS, 0, MAKELPARAM(98, 96));
  // Meters: output pair at (132, 75) and (138, 75), input pair at (42, 75) and
  // (48, 75); levels from peaks through the panel's scale.
  const struct {
    int x;
    int id;
    int peak;
  } meters[] = {{42, 0xE01, 900000000}, {48, 0xE01, 400000000}, {132, 0xE00, 2000000000},
                {138, 0xE00, 1500000000}};
  for (const auto& m : meters) {
    HWND meter = CreateMonoMeter(g_instance, pane, m.id, m.x, 75, 5, 145, nullptr, L"IDB_PEAK");
    SendMessageW(meter, UM_SETLEVEL, 0, levels::MeterDisplay(levels::MeterLevel(m.peak), 0));
  }
  HWND in_label = CreateTextButton(g_instance, pane, 0x301, 29, 239, 37, 10, 0x000000, 0xDBDBDB,
                                   0xDBDBDB, 0x000000, L"Mute");
  HWND out_label = CreateTextButton(g_instance, pane, 0x300, 117, 239, 37, 10, 0x000000,
                                    0xDBDBDB, 0xDBDBDB, 0x000000, L"Mute");
  ShowText(in_label, 1, 83);
  ShowText(out_label, 0, 98);
  CreateToggle(g_instance, pane, 0x101, 25, 265, L"IDB_IN_MUTE_ON", L"IDB_IN_MUTE_OFF");
  HWND out_mute =
      CreateToggle(g_instance, pane, 0x100, 113, 265, L"IDB_IN_MUTE_ON", L"IDB_IN_MUTE_OFF");
  SendMessageW(out_mute, BM_SETCHECK, 1, 0);
}

// The routing window as the panel creates it, with a few cables patched by the
// same mouse messages a user's drags produce, and one drag left in progress.
HWND BuildRoute(HWND owner) {
  HWND view = CreateRouteView(g_instance, owner, 0xD00, kRouteX, kRouteY, 2, 2, L"IR_F",
                              L"IR_JAK_N", L"IR_JAK_F", &g_patch);
  if (!view) return nullptr;
  // Jack centres: WDM playback (100, 58 + 23 i), WDM record (139, ...), ASIO
  // playback (187, ...), ASIO record (226, ...).
  const struct {
    POINT from;
    POINT to;
  } cables[] = {{{100, 58}, {226, 81}}, {{187, 81}, {139, 58}}, {{100, 81}, {226, 81}}};
  for (const auto& c : cables) {
    SendMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(c.from.x, c.from.y));
    SendMessageW(view, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(c.to.x, c.to.y));
    SendMessageW(view, WM_LBUTTONUP, 0, MAKELPARAM(c.to.x, c.to.y));
  }
  g_patch.entry[0].muted = 1;  // the WDM mute switch on
  SendMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(187, 58));
  SendMessageW(view, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(150, 112));
  ShowWindow(view, SW_SHOWNOACTIVATE);
  return view;
}

// The window objects live as long as the gallery.
CCtrlLinkBtn g_link;
CCtrlImageBtn g_image;
CCtrlTextBtn g_text;

void BuildExtras(HWND pane) {
  SetBackgroundBitmap(g_extras_background);
  HWND stereo = CreateStereoMeter(g_instance, pane, 0x600, 8, 6, 18, 145, nullptr, L"IDB_PEAK");
  SendMessageW(stereo, UM_SETLEVEL, 0, MAKELPARAM(72, 48));

  HWND state3 = CreateState3(g_instance, pane, 0x601, 36, 6, L"IDB_OUT_MUTE_ON",
                             L"IDB_IN_MUTE_ON", L"IDB_OUT_MUTE_OFF");
  SendMessageW(state3, BM_SETCHECK, 1, 0);
  CreateState4(g_instance, pane, 0x602, 90, 9, L"IR_BTN_N", L"IR_BTN_F", L"IR_BTN_N",
               L"IR_BTN_F", 1);
  HWND toggle =
      CreateToggle(g_instance, pane, 0x603, 124, 6, L"IDB_OUT_MUTE_ON", L"IDB_OUT_MUTE_OFF");
  SendMessageW(toggle, BM_SETCHECK, 0, 0);

  HWND digits = CreateDigitEx(g_instance, pane, 0x604, 36, 42, 40, 24, RGB(0xFF, 0xB0, 0x20),
                              RGB(0, 0, 0), 99, 0, 22);
  SendMessageW(digits, SBM_SETPOS, 7, 0);
  CreateSmallText(g_instance, pane, 0x605, 84, 42, 20, 23, 0x989796, 0x1A1816, L"3");
  CreateTextButton(g_instance, pane, 0x606, 112, 46, 54, 14, 0x000000, 0xDBDBDB, 0xDBDBDB,
                   0x000000, L"-12.5dB");
  HWND checked = CreateTextButton(g_instance, pane, 0x607, 172, 46, 40, 14, 0x000000, 0xDBDBDB,
                                  0xDBDBDB, 0x000000, L"Mute");
  SendMessageW(checked, BM_SETCHECK, 1, 0);
  CreateTextButtonBmp(g_instance, pane, 0x608, 36, 84, 90, 16, RGB(0xFF, 0xB0, 0x20),
                      RGB(0xD7, 0xDD, 0xE3), L"see-through");

  g_link.CreateCtrl(g_instance, pane, 32830, 36, 108, 174, 22, L"www.oru.example/tqm27",
                    DT_CENTER | DT_SINGLELINE);
  g_image.CreateCtrl(g_instance, pane, 0x609, 36, 140, L"IR_BTN_N", L"IR_BTN_F");
  g_text.CreateCtrl(g_instance, pane, 0x60A, 70, 138, 70, 18, L"Reset", DT_CENTER | DT_SINGLELINE);
  g_text.SetNormalColors(RGB(0xD7, 0xDD, 0xE3), RGB(0x30, 0x36, 0x3D));
  g_text.SetFocusColors(RGB(0, 0, 0), RGB(0x30, 0x36, 0x3D));
}

struct Caption {
  int x;
  int y;
  const wchar_t* text;
};

// Captions under the controls of the third pane, drawn into its background so
// that the see-through controls cut their faces from the same picture.
const Caption kExtrasCaptions[] = {
    {36, 28, L"State3"},     {90, 28, L"State4"}, {124, 28, L"Toggle"},  {36, 68, L"DigitEx"},
    {84, 68, L"Small"},      {112, 62, L"TextBtn"}, {172, 62, L"checked"},
    {132, 87, L"TextBtnBmp"}, {214, 113, L"Link"}, {10, 152, L"Peak"},
    {144, 141, L"Image / Text"}};
const Caption kFamilyCaptions[] = {{10, 58, L"VS"}, {62, 58, L"RoundVS"}, {138, 58, L"Knob"}};

template <size_t N>
void DrawCaptions(HDC dc, const Caption (&captions)[N]) {
  LOGFONTW logfont{};
  logfont.lfHeight = 11;
  logfont.lfWeight = FW_NORMAL;
  lstrcpyW(logfont.lfFaceName, L"Arial");
  HFONT font = CreateFontIndirectW(&logfont);
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0x8B, 0x95, 0xA0));
  for (const Caption& c : captions) TextOutW(dc, c.x, c.y, c.text, lstrlenW(c.text));
  SelectObject(dc, old);
  DeleteObject(font);
}

// A plain pane picture: the body colour, captions, and whatever `faces` adds.
template <size_t N>
HBITMAP MakePaneBackground(HWND window, int width, int height, const Caption (&captions)[N],
                           void (*faces)(HDC)) {
  HDC screen = GetDC(window);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HDC memory = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(memory, bitmap);
  RECT all{0, 0, width, height};
  HBRUSH body = CreateSolidBrush(RGB(0x1E, 0x22, 0x27));
  FillRect(memory, &all, body);
  DeleteObject(body);
  DrawCaptions(memory, captions);
  if (faces) faces(memory);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return bitmap;
}

// Faces for the vertical fader (a slot under its cap), the arc slider (a light
// dial under its black cross) and the knob (a dark disc under its indicator),
// drawn into the family pane's picture.
void DrawFamilyFaces(HDC dc) {
  const RECT slot{8 + 10, 1 + 6, 8 + 12, 1 + 50};
  FillRect(dc, &slot, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  HGDIOBJ old_pen = SelectObject(dc, GetStockObject(NULL_PEN));
  HBRUSH dial = CreateSolidBrush(RGB(0x8B, 0x95, 0xA0));
  HGDIOBJ old_brush = SelectObject(dc, dial);
  Ellipse(dc, 56 + 1, 1 + 1, 56 + 56, 1 + 56);
  HBRUSH disc = CreateSolidBrush(RGB(0x30, 0x36, 0x3D));
  SelectObject(dc, disc);
  Ellipse(dc, 124 + 4, 1 + 4, 124 + 53, 1 + 53);
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
  DeleteObject(dial);
  DeleteObject(disc);
}

void PaintFamily(HDC dc) {
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, g_family_background);
  BitBlt(dc, 0, 0, kFamilyW, kFamilyH, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
}

void BuildFamily(HWND pane) {
  SetBackgroundBitmap(g_family_background);
  HWND vs = CreateVerticalFader(g_instance, pane, 0x700, 8, 1, 22, 56, 0, 100, nullptr,
                                L"IDB_FADER_OFF", L"IDB_FADER_ON", nullptr);
  SendMessageW(vs, SBM_SETPOS, 60, 0);
  HWND arc = CreateRoundFader(g_instance, pane, 0x701, 56, 1, 56, 56, 0, 270, nullptr, nullptr);
  SendMessageW(arc, BM_SETCHECK, 1, 0);
  SendMessageW(arc, SBM_SETPOS, 190, 0);
  HWND knob = CreateKnob(g_instance, pane, 0x702, 124, 1, 56, 56, 100, 17, nullptr, L"IR_JAK_N",
                         L"IR_JAK_N");
  SendMessageW(knob, SBM_SETPOS, 70, 0);
}

}  // namespace

int main(int argc, char** argv) {
  g_instance = GetModuleHandleW(nullptr);
  InitControls(g_instance);
  RegisterWndBaseClass(g_instance);

  WNDCLASSW wc{};
  wc.hInstance = g_instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpfnWndProc = GalleryProc;
  wc.hbrBackground = CreateSolidBrush(kFrame);
  wc.lpszClassName = L"TqmGallery";
  RegisterClassW(&wc);
  wc.lpfnWndProc = PaneProc;
  wc.hbrBackground = CreateSolidBrush(kBody);
  wc.lpszClassName = L"TqmGalleryPane";
  RegisterClassW(&wc);

  HWND gallery = CreateWindowExW(0, L"TqmGallery", L"TQM27 widget gallery",
                                 WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, kGalleryW,
                                 kGalleryH, nullptr, nullptr, g_instance, nullptr);
  g_panel_background = LoadBitmapByName(g_instance, L"IDB_BACK1");
  g_extras_background =
      MakePaneBackground(gallery, kExtrasW, kExtrasH, kExtrasCaptions, nullptr);
  g_family_background =
      MakePaneBackground(gallery, kFamilyW, kFamilyH, kFamilyCaptions, DrawFamilyFaces);

  BuildPanel(MakePane(gallery, kPanelX, kPanelY, 188, 300, PaintPanel));
  BuildFamily(MakePane(gallery, kFamilyX, kFamilyY, kFamilyW, kFamilyH, PaintFamily));
  HWND route = BuildRoute(gallery);
  RECT route_rect{kRouteX, kRouteY, kRouteX, kRouteY};
  if (route) GetWindowRect(route, &route_rect);
  BuildExtras(MakePane(gallery, kExtrasX, route_rect.bottom + 8, kExtrasW, kExtrasH, PaintExtras));

  if (argc > 1) SetTimer(gallery, kCloseTimer, static_cast<UINT>(std::atoi(argv[1])), nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DeleteObject(g_extras_background);
  DeleteObject(g_family_background);
  TermControls();
  UnregisterWndBaseClass(g_instance);
  return 0;
}
