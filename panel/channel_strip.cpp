#include "channel_strip.h"

#include <initializer_list>

#include "controls.h"
#include "level_scale.h"
#include "toolkit.h"

namespace tqm::panel {
namespace {

struct BasePoint {
  int x, y;
};
constexpr BasePoint kBase[2] = {{123, 67}, {33, 67}};
// The fader's left edge lies 12 pixels left of the base point; the mute
// toggle and the label hang below it, a little further left on the output
// strip, whose picture is wider.
constexpr int kFaderDx = -12;
constexpr int kToggleDx[2] = {-10, -8};

}  // namespace

void ChannelStrip::Create(HINSTANCE instance, HWND parent, int stripIndex) {
  index = stripIndex;
  const BasePoint base = kBase[index];
  const int top = index == 0 ? kOutputFaderTop : kInputFaderTop;
  const int e = base.x + kToggleDx[index];
  fader = widgets::CreateDualFader(instance, parent, kFaderId + index, base.x + kFaderDx, base.y, 51, 160, 0, top,
                                   nullptr, L"IDB_FADER_OFF", L"IDB_FADER_ON", L"IDB_FADER_OFF", L"IDB_FADER_ON",
                                   nullptr);
  label = widgets::CreateTextButton(instance, parent, kLabelId + index, e + 4, base.y + 172, 37, 10, 0x000000,
                                    0xDBDBDB, 0xDBDBDB, 0x000000, L"Mute");
  mute = widgets::CreateToggle(instance, parent, kMuteId + index, e, base.y + 198, L"IDB_IN_MUTE_ON",
                               L"IDB_IN_MUTE_OFF");
  meterLeft = widgets::CreateMonoMeter(instance, parent, kMeterId + index, base.x + 9, base.y + 8, 5, 145, nullptr,
                                       L"IDB_PEAK");
  meterRight = widgets::CreateMonoMeter(instance, parent, kMeterId + index, base.x + 15, base.y + 8, 5, 145, nullptr,
                                        L"IDB_PEAK");
}

void ChannelStrip::Destroy() {
  for (HWND* control : {&fader, &label, &mute, &meterLeft, &meterRight}) {
    if (*control && IsWindow(*control)) DestroyWindow(*control);
    *control = nullptr;
  }
}

void ChannelStrip::Show(bool visible) const {
  for (HWND control : {fader, label, mute, meterLeft, meterRight}) {
    if (control) ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
  }
}

void ChannelStrip::SetFader(int left, int right) const {
  const LPARAM packed = static_cast<LPARAM>(
      static_cast<DWORD>(MAKELONG(static_cast<WORD>(left), static_cast<WORD>(right))));
  if (fader) SendMessageW(fader, SBM_SETPOS, static_cast<WPARAM>(packed), packed);
}

void ChannelStrip::FaderPositions(int& left, int& right) const {
  const DWORD packed = fader ? static_cast<DWORD>(SendMessageW(fader, SBM_GETPOS, 0, 0)) : 0;
  left = static_cast<SHORT>(LOWORD(packed));
  right = static_cast<SHORT>(HIWORD(packed));
}

void ChannelStrip::SetLabel(const wchar_t* text) const {
  if (label) SendMessageW(label, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void ChannelStrip::SetMute(int muted) const {
  if (mute) SendMessageW(mute, BM_SETCHECK, static_cast<WPARAM>(muted), 0);
}

int ChannelStrip::MuteChecked() const {
  return mute ? static_cast<int>(SendMessageW(mute, BM_GETCHECK, 0, 0)) : 0;
}

void ChannelStrip::SetMeter(HWND meter, int value) const {
  if (meter) SendMessageW(meter, widgets::UM_SETLEVEL, 0, value);
}

}  // namespace tqm::panel
