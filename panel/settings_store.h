// The panel's registry values under the current user's key (string-table
// entry 6): "WinX", "WinY" (4 bytes each) and "Mixer" (the 280-byte
// PanelSettings), all REG_BINARY. Reads fall back to the caller's default
// bytes; writes that cannot be made are skipped silently.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tqm/mixer_settings.h"

namespace tqm::panel {

// Reads a value of at most `size` bytes into `destination`. A value shorter
// than `size` fills only its own bytes; the rest keep the default bytes. On
// any failure (no key, no value, longer than `size`, another type) the
// destination holds the defaults and the answer is false. `length` (when
// given) receives the bytes the value had.
bool ReadPanelValue(HINSTANCE instance, const wchar_t* name, const void* defaults, void* destination,
                    DWORD size, DWORD* length = nullptr);
// Creates the key when needed and writes the value.
void WritePanelValue(HINSTANCE instance, const wchar_t* name, const void* bytes, DWORD size);

// The window's current left and top edges as "WinX" and "WinY" (also while
// the window is hidden).
void SaveWindowPosition(HINSTANCE instance, HWND window);
void SaveSettings(HINSTANCE instance, const PanelSettings& settings);
// "Mixer": the stored record, short values completed from the defaults and
// every field clamped; false (and the defaults) when there is none to use.
bool LoadStoredSettings(HINSTANCE instance, PanelSettings& settings);

}  // namespace tqm::panel
