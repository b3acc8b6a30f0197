// Creation functions of the Zel_ controls. Each creates a child window (WS_CHILD,
// the id as its menu handle), fills the state record its WM_CREATE allocated,
// shows it and returns its handle, or null when the window could not be made.
// A null background name means: cut the face from the panel background at the
// control's own position and size (CaptureBackground).
#pragma once

#include <windows.h>

#include "tqm/mixer_settings.h"

namespace tqm::widgets {

// Zel_DBLVSClass: the stereo fader. Values min..max (both start at max); the
// caps' horizontal grip zones pick left, both or right. SBM_SETPOS/SBM_GETPOS
// carry the left value in the low word and the right one in the high word;
// UM_SETLEVEL sets the optional level bars in percent. Posts WM_VSCROLL after
// every change and forwards double clicks. A null bar name: no bars.
HWND CreateDualFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     int min, int max, const wchar_t* background_name,
                     const wchar_t* left_unlit_name, const wchar_t* left_lit_name,
                     const wchar_t* right_unlit_name, const wchar_t* right_lit_name,
                     const wchar_t* bar_name);

// Zel_PeakMonoClass: one bar, level in lit pixels from the bottom; 96 at creation.
HWND CreateMonoMeter(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     const wchar_t* background_name, const wchar_t* bar_name);

// Zel_PeakClass: two bars, levels in percent (left in the low word of
// UM_SETLEVEL's lParam, right in the high word); 100 at creation.
HWND CreateStereoMeter(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                       int height, const wchar_t* background_name, const wchar_t* bar_name);

// Zel_TogleClass: two pictures; a click inverts the state and posts
// WM_COMMAND (id, 1). Takes the on picture's size.
HWND CreateToggle(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* on_name,
                  const wchar_t* off_name);

// Zel_TextBtnClass: a filled caption; a click posts WM_COMMAND (id, 1) and does
// not change the state.
HWND CreateTextButton(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height, COLORREF checked_text, COLORREF checked_background,
                      COLORREF normal_text, COLORREF normal_background, const wchar_t* caption);

// Zel_TextBtnBmpClass: a text button whose face is the panel background.
HWND CreateTextButtonBmp(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                         int height, COLORREF checked_text, COLORREF normal_text,
                         const wchar_t* caption);

// Zel_State3Class: three pictures; state 0 shows the third, 1 the first, 2 the
// second. A press posts WM_COMMAND (id, 0) at once.
HWND CreateState3(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* first,
                  const wchar_t* second, const wchar_t* third);

// Zel_State4Class: four pictures, state 0..3 shows picture state + 1; no mouse.
HWND CreateState4(HINSTANCE instance, HWND parent, int id, int x, int y, const wchar_t* first,
                  const wchar_t* second, const wchar_t* third, const wchar_t* fourth,
                  int initial_state);

// Zel_DigitExClass: a two-digit read-out. SBM_SETPOS wraps: a negative value
// becomes first_limit, a value above first_limit becomes second_limit.
HWND CreateDigitEx(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                   COLORREF text, COLORREF background, int first_limit, int second_limit,
                   int font_height);

// Zel_SmallTextClass: a one-line label centred at the top, in the label font.
HWND CreateSmallText(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                     COLORREF text, COLORREF background, const wchar_t* caption);

// Zel_VSClass: one cap over a track, value min..max starting at 0 (clamped).
// The cap is centred and keyed on its top-left colour; the fill picture, when
// named, replaces the track from the cap down. Posts WM_VSCROLL: SB_THUMBTRACK
// with the value in the high word while dragging, 0 after the release,
// SB_THUMBPOSITION after keys and the wheel. SBM_SETPOS takes the value in wParam.
HWND CreateVerticalFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                         int height, int min, int max, const wchar_t* background_name,
                         const wchar_t* cap_name, const wchar_t* cap_focused_name,
                         const wchar_t* fill_name);

// Zel_RoundVSClass: a value on a 270-degree arc from 225 degrees clockwise of the
// top, shown as a black cross. The mouse acts only while enabled (BM_SETCHECK 1).
// Posts WM_VSCROLL with the value in the high word: SB_THUMBTRACK while a drag
// moves it, SB_THUMBPOSITION on release, keys and wheel. A null disabled name
// shows the enabled face in both states.
HWND CreateRoundFader(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height, int min, int max, const wchar_t* enabled_name,
                      const wchar_t* disabled_name);

// Zel_KnobClass: an angle of -2.3..2.3 radians (0 at the top) giving a value of
// 0..range; the indicator picture is centred on a circle of the given radius.
// Dragging down turns it left by 0.05 radian per pixel; keys and the wheel turn
// it by 0.1 x the wheel step. Posts WM_HSCROLL with the value in the high word:
// SB_THUMBTRACK while dragging, SB_THUMBPOSITION after keys and the wheel.
HWND CreateKnob(HINSTANCE instance, HWND parent, int id, int x, int y, int width, int height,
                int range, int radius, const wchar_t* background_name,
                const wchar_t* indicator_name, const wchar_t* indicator_focused_name);

// Zel_IRouteAdvanceClass: the InnerROUTE patchbay, a hidden owned pop-up titled
// "InnerROUTE" at (x, y) on the screen with a "Reset" menu. WDM and ASIO get c2
// playback and c1 record jacks, INPUT c1 - 2 playback jacks. Edits the table in
// place; posts WM_COMMAND (id) to the owner after every button release and mute
// switch change, and (id + 1) after a confirmed Reset.
HWND CreateRouteView(HINSTANCE instance, HWND owner, int id, int x, int y, int c1, int c2,
                     const wchar_t* background_name, const wchar_t* lit_name,
                     const wchar_t* unlit_name, PatchTable* table);

// Zel_IRouteClass: the many-channel layout "InnerROUTE(R)-3.0", placed at a
// third of the owner's window rectangle, without a menu. The table holds
// `channels` entries per port, 4 x channels in all.
HWND CreateClassicRouteView(HINSTANCE instance, HWND owner, int id, int channels,
                            const wchar_t* background_name, const wchar_t* lit_name,
                            const wchar_t* unlit_name, RoutingEntry* table);

// Zel_OutputRoutingClass: "InnerROUTE Routing", a hidden owned pop-up with a
// "Reset" menu; one row per output channel (1 to 16) with down and up buttons
// and the source number, and a link switch that moves channel pairs together.
// Edits the caller's array of sources in place (out-of-range entries become the
// channel's own index) and posts WM_COMMAND (id) to the owner after each change.
HWND CreateOutputRoutingView(HINSTANCE instance, HWND owner, int id, int x, int y, int channels,
                             int* assignments);

}  // namespace tqm::widgets
