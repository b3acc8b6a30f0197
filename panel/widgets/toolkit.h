// The panel's widget toolkit: window classes, the named-bitmap cache, the panel
// background that controls cut their faces from, the mouse-wheel step, the label
// font, and the one place where the toolkit shows a message box.
//
// One toolkit per process, owned by the panel's GUI thread: InitControls at
// start-up, TermControls after the message loop. Bitmaps in the cache belong to
// the cache until TermControls; a bitmap made by CaptureBackground belongs to
// the control that asked for it.
#pragma once

#include <windows.h>

namespace tqm::widgets {

// Custom message of the meters (and faders): the new level in lParam.
constexpr UINT UM_SETLEVEL = WM_USER + 1;

constexpr int kBitmapCacheEntries = 256;
constexpr int kBitmapNameUnits = 32;  // 31 characters and the terminator

// Registers the sixteen Zel_ classes, empties the bitmap cache and creates the
// label font.
void InitControls(HINSTANCE instance);
// Unregisters the classes, deletes every cached bitmap and the label font.
void TermControls();

// The named bitmap from the cache, loading it on first use. A name that cannot
// be loaded shows one "NotFound" box and then yields null silently until a new
// name takes its entry; a full cache yields null without a message.
HBITMAP LoadBitmapByName(HINSTANCE instance, const wchar_t* name);

// The panel's background picture ("IDB_BACK1"); not owned by the toolkit.
void SetBackgroundBitmap(HBITMAP background);
// A new bitmap of width x height, compatible with the parent's screen DC, holding
// the background's pixels from (x, y). The caller owns it.
HBITMAP CaptureBackground(HWND parent, int x, int y, int width, int height);

// Amount one mouse-wheel notch moves a fader; 8 until first set.
void SetWheelStep(int step);
int GetWheelStep();

// "Arial" 14, normal weight: the text controls' font.
HFONT GetLabelFont();

// "WNDBASE_CLASS", the class of the window objects (window_object.h). Null
// instance: nothing is registered.
void RegisterWndBaseClass(HINSTANCE instance);
void UnregisterWndBaseClass(HINSTANCE instance);

// Every message box the toolkit shows goes through here, so that a host without
// a user (a test) can answer it. The default is MessageBoxW.
using MessageBoxHandler = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption,
                                  UINT type);
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);  // returns the previous one
int ShowToolkitMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

}  // namespace tqm::widgets
