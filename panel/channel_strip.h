// One channel strip of the main window: a stereo fader, a dB label, a mute
// toggle and two peak meters, placed from the strip's base point. Strip 0 is
// the output (base point (123, 67)), strip 1 the input ((33, 67)). The
// controls are children of the main window and die with it; the strip only
// keeps their handles.
#pragma once

#include <windows.h>

namespace tqm::panel {

struct ChannelStrip {
  int index = 0;
  HWND fader = nullptr;
  HWND label = nullptr;
  HWND mute = nullptr;
  HWND meterLeft = nullptr;
  HWND meterRight = nullptr;

  // Control ids: fader 512 + index, label 768 + index, mute 256 + index,
  // both meters 3584 + index.
  static constexpr int kFaderId = 512;
  static constexpr int kLabelId = 768;
  static constexpr int kMuteId = 256;
  static constexpr int kMeterId = 3584;

  void Create(HINSTANCE instance, HWND parent, int stripIndex);
  void Destroy();
  void Show(bool visible) const;

  // Right position in the high 16 bits, left in the low 16 bits.
  void SetFader(int left, int right) const;
  void FaderPositions(int& left, int& right) const;
  void SetLabel(const wchar_t* text) const;
  void SetMute(int mute) const;
  int MuteChecked() const;
  void SetMeter(HWND meter, int value) const;
};

}  // namespace tqm::panel
