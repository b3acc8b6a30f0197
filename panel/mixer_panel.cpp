#include "mixer_panel.h"

#include <cstring>
#include <initializer_list>

#include "controls.h"
#include "level_scale.h"
#include "panel/devicelink/hid_app.h"
#include "settings_rules.h"
#include "settings_store.h"
#include "tqm/command_record.h"
#include "tqm/status_block.h"

namespace tqm::panel {
namespace {

constexpr int kRouteCommand = 3328;
constexpr int kFactoryLatency = 256;
constexpr int kFlowRender = 0, kFlowCapture = 1;

void Invalidate(PanelSettings& settings) { std::memset(&settings, 0xFF, sizeof settings); }

}  // namespace

MixerPanel::MixerPanel(HWND main, HINSTANCE instance, int32_t& defaultsRequested,
                       std::unique_ptr<EndpointTable> endpoints)
    : main_(main), instance_(instance), defaultsRequested_(defaultsRequested), endpoints_(std::move(endpoints)) {
  std::memset(&shadow_, 0, sizeof shadow_);
  std::memset(&current_, 0, sizeof current_);
  strips_[0].Create(instance, main, 0);
  strips_[1].Create(instance, main, 1);
  route_ = widgets::CreateRouteView(instance, main, kRouteCommand, 5, 38, 2, 2, L"IR_F", L"IR_JAK_N", L"IR_JAK_F",
                                    &current_.mixer.patch);
  ShowStrips(false);
}

MixerPanel::~MixerPanel() {
  Close();
  strips_[0].Destroy();
  strips_[1].Destroy();
  if (route_ && IsWindow(route_)) DestroyWindow(route_);
  route_ = nullptr;
  if (endpoints_) endpoints_->Release();
  endpoints_.reset();
  statusAddress_ = 0;
}

HANDLE MixerPanel::selectedDevice() const { return link_ ? link_->handle() : nullptr; }
const wchar_t* MixerPanel::devicePath() const { return link_ ? link_->path() : nullptr; }

int MixerPanel::Open() {
  if (!link_) link_ = std::make_unique<DeviceLink>();
  if (link_->count() == 0) {
    link_->Enumerate();
    link_->Select(0);
  }
  if (link_->count() == 0) {
    link_.reset();
    ShowStrips(false);
    return 0;
  }
  // One mapping at a time: a second open maps afresh.
  Unmap();
  uint64_t token = 0, address = 0;
  if (link_->MapStatusBlock(1, token, address)) {
    statusToken_ = token;
    statusAddress_ = address;
  }
  LoadSettings();
  return 1;
}

void MixerPanel::Unmap() {
  if (link_ && statusAddress_) link_->MapStatusBlock(0, statusToken_, statusAddress_);
  statusAddress_ = 0;
  statusToken_ = 0;
}

void MixerPanel::Close() {
  if (!link_) return;
  Unmap();
  link_->CloseAll();
  if (endpoints_) endpoints_->Release();
  link_.reset();
}

void MixerPanel::ReleaseStatusMapping() { Unmap(); }

bool MixerPanel::AdoptRunningStream() {
  if (!link_ || link_->GetActiveClient() == 0) return false;
  MixerSettings driver{};
  if (!link_->GetSettings(&driver)) return false;
  ClampMixerSettings(driver);
  current_.mixer.rate = driver.rate;
  current_.mixer.requestCount = driver.requestCount;
  const uint32_t latency = link_->GetLatency();
  current_.mixer.periodFrames = latency != 0 ? static_cast<int32_t>(latency) : driver.periodFrames;
  return true;
}

void MixerPanel::LoadSettings() {
  if (!link_) return;
  Invalidate(shadow_);
  current_ = PanelDefaults();
  HideRouteWindow();
  PanelSettings stored;
  const bool read = LoadStoredSettings(instance_, stored);
  const bool defaults = defaultsRequested_ != 0;
  defaultsRequested_ = 0;
  if (read && !defaults) {
    current_ = stored;
    // A stream that runs keeps its rate, latency and buffer number.
    if (!AdoptRunningStream()) SetLatency(static_cast<uint32_t>(current_.mixer.periodFrames));
  } else {
    FactoryDefault();
  }
  Reconcile();
  ShowStrips(true);
  ReadEndpointsIntoSettings();
  current_.mixer.force = 1;
  ApplySettings();
  current_.mixer.force = 0;
}

void MixerPanel::FactoryDefault() {
  Invalidate(shadow_);
  current_ = PanelDefaults();
  HideRouteWindow();
  const bool running = AdoptRunningStream();
  ReconcileControls();
  if (!running) SetLatency(kFactoryLatency);
  ApplySettings();
  shadow_ = current_;
  if (endpoints_) {
    // The first load comes here before the endpoints were ever looked for.
    if (endpoints_->Search()) endpoints_->RegisterListeners();
    for (int flow : {kFlowCapture, kFlowRender}) {
      endpoints_->SetLevels(flow, 0, 0.0f, 0.0f);
      endpoints_->SetMute(flow, 0, 0);
    }
  }
}

void MixerPanel::SetStripLabel(int strip, int position) {
  char16_t text[kDbTextUnits];
  if (!FormatDbText(strip, position, text)) return;
  static_assert(sizeof(char16_t) == sizeof(wchar_t), "the label text is UTF-16");
  std::memcpy(labels_[strip], text, sizeof text);
  strips_[strip].SetLabel(labels_[strip]);
}

void MixerPanel::SetAllMeters(int value) {
  const HWND meters[kMeters] = {strips_[1].meterLeft, strips_[1].meterRight, strips_[0].meterLeft,
                                strips_[0].meterRight};
  for (int m = 0; m < kMeters; ++m) {
    strips_[0].SetMeter(meters[m], value);
    shown_[m] = value;
  }
}

int32_t* MixerPanel::MuteOf(int strip) {
  return strip == 0 ? &current_.mixer.playMute : &current_.mixer.recordMute;
}

int32_t* MixerPanel::PositionsOf(int strip) {
  return strip == 0 ? current_.mixer.playVolume : current_.mixer.recordVolume;
}

void MixerPanel::ReconcileControls() {
  if (!link_) return;
  int changes = 0;
  for (int s = 0; s < 2; ++s) {
    const MixerSettings& now = current_.mixer;
    const MixerSettings& was = shadow_.mixer;
    const int32_t* pos = s == 0 ? now.playVolume : now.recordVolume;
    const int32_t* old = s == 0 ? was.playVolume : was.recordVolume;
    const int32_t mute = s == 0 ? now.playMute : now.recordMute;
    const int32_t oldMute = s == 0 ? was.playMute : was.recordMute;
    bool changed = false;
    if (pos[0] != old[0]) {
      strips_[s].SetFader(pos[0], pos[1]);
      SetStripLabel(s, pos[0]);
      changed = true;
    }
    if (pos[1] != old[1]) {
      strips_[s].SetFader(pos[0], pos[1]);
      SetStripLabel(s, pos[1]);
      changed = true;
    }
    if (mute != oldMute) {
      strips_[s].SetMute(mute);
      changed = true;
    }
    changes += changed;
  }
  if (current_.mixer.rate != shadow_.mixer.rate) ++changes;
  if (current_.mixer.requestCount != shadow_.mixer.requestCount) ++changes;
  if (current_.mixer.meterEnable != shadow_.mixer.meterEnable) {
    if (statusAddress_) {
      StatusBlockView(reinterpret_cast<void*>(statusAddress_), kNativeWide)
          .Write(StatusWord::MeterEnable, static_cast<uint32_t>(current_.mixer.meterEnable));
    }
    SetAllMeters(0);
    ++changes;
  }
  if (changes) ApplySettings();
}

void MixerPanel::Reconcile() {
  ReconcileControls();
  shadow_ = current_;
}

int MixerPanel::ApplySettings() {
  if (!link_) return 0;
  link_->ApplySettings(&current_.mixer);
  return 1;
}

bool MixerPanel::SetLatency(uint32_t frames) {
  if (!link_) return false;
  current_.mixer.periodFrames = static_cast<int32_t>(frames);
  return link_->SetLatency(frames, 1);
}

uint32_t MixerPanel::QueryLatency() {
  if (!link_) return 0;
  const uint32_t latency = link_->GetLatency();
  // No period is 0 frames long: 0 is the answer of a failed request, and the
  // last known latency stays.
  if (latency != 0) {
    current_.mixer.periodFrames = static_cast<int32_t>(latency);
    shadow_.mixer.periodFrames = static_cast<int32_t>(latency);
  }
  return latency;
}

int MixerPanel::CurrentBufferNumber() {
  if (statusAddress_) {
    const int32_t count = ClampBufferNumber(static_cast<int32_t>(
        StatusBlockView(reinterpret_cast<void*>(statusAddress_), kNativeWide).Read(StatusWord::RequestCount)));
    if (count != shadow_.mixer.requestCount) {
      current_.mixer.requestCount = count;
      shadow_.mixer.requestCount = count;
    }
  }
  return shadow_.mixer.requestCount;
}

bool MixerPanel::MeterEnabled() const {
  return statusAddress_ &&
         StatusBlockView(reinterpret_cast<void*>(statusAddress_), kNativeWide).Read(StatusWord::MeterEnable) != 0;
}

int MixerPanel::Poll() {
  if (!link_ || !statusAddress_) return 0;
  const StatusBlockView block(reinterpret_cast<void*>(statusAddress_), kNativeWide);
  int changes = 0;
  if (block.Read(StatusWord::MeterEnable) != 0) {
    const uint32_t words[kMeters] = {StatusWord::InPeakLeft, StatusWord::InPeakRight, StatusWord::OutPeakLeft,
                                     StatusWord::OutPeakRight};
    const HWND meters[kMeters] = {strips_[1].meterLeft, strips_[1].meterRight, strips_[0].meterLeft,
                                  strips_[0].meterRight};
    for (int m = 0; m < kMeters; ++m) {
      const int level = MeterLevel(static_cast<int32_t>(block.Read(words[m])));
      const int shown = MeterDisplay(level, previous_[m]);
      strips_[0].SetMeter(meters[m], shown);
      previous_[m] = shown;
      shown_[m] = shown;
    }
  }
  const int32_t rate = ClampRate(static_cast<int32_t>(block.Read(StatusWord::SampleRate)));
  if (rate != shadow_.mixer.rate) {
    current_.mixer.rate = rate;
    RunHidExchange();
    ++changes;
  }
  const int32_t count = ClampBufferNumber(static_cast<int32_t>(block.Read(StatusWord::RequestCount)));
  if (count != shadow_.mixer.requestCount) {
    current_.mixer.requestCount = count;
    shadow_.mixer.requestCount = count;
    ++changes;
  }
  if (changes) Reconcile();
  return changes;
}

void MixerPanel::OnFaderMoved(int strip) {
  if (strip != 0 && strip != 1) return;
  int left = 0, right = 0;
  strips_[strip].FaderPositions(left, right);
  int32_t* positions = PositionsOf(strip);
  positions[0] = left;
  positions[1] = right;
  const Strip which = static_cast<Strip>(strip);
  const int flow = strip == 0 ? kFlowRender : kFlowCapture;
  if (!endpoints_ || !endpoints_->SetLevels(flow, 0, LevelDb(which, left), LevelDb(which, right))) {
    if (endpoints_ && endpoints_->Search()) endpoints_->RegisterListeners();
    Reconcile();
  }
}

void MixerPanel::ToggleMute(int strip) {
  if (strip != 0 && strip != 1) return;
  int32_t* mute = MuteOf(strip);
  *mute = *mute ? 0 : 1;
  const int32_t wanted = *mute;
  const int flow = strip == 0 ? kFlowRender : kFlowCapture;
  if (endpoints_ && endpoints_->SetMute(flow, 0, wanted)) return;
  if (!link_) return;
  // No endpoint took the mute: the driver gets it. Its settings are read
  // first, as the endpoint path would have left them, and the new mute is
  // kept over the driver's old one so that the toggle and the device agree.
  MixerSettings driver = current_.mixer;
  if (link_->GetSettings(&driver)) {
    ClampMixerSettings(driver);
    current_.mixer = driver;
  }
  *MuteOf(strip) = wanted;
  ApplySettings();
}

void MixerPanel::ToggleMeter() {
  if (!statusAddress_) return;
  const StatusBlockView block(reinterpret_cast<void*>(statusAddress_), kNativeWide);
  const uint32_t enabled = block.Read(StatusWord::MeterEnable) != 0 ? 0 : 1;
  block.Write(StatusWord::MeterEnable, enabled);
  current_.mixer.meterEnable = static_cast<int32_t>(enabled);
  SetAllMeters(0);
}

bool MixerPanel::SetWheelStep(int32_t step) {
  if (step == current_.wheelStep) return false;
  current_.wheelStep = ClampWheelStep(step);
  return true;
}

bool MixerPanel::SetBufferNumber(int32_t count) {
  if (count == current_.mixer.requestCount) return false;
  current_.mixer.requestCount = ClampBufferNumber(count);
  return true;
}

void MixerPanel::ToggleRouteWindow() {
  if (!route_) return;
  ShowWindow(route_, IsWindowVisible(route_) ? SW_HIDE : SW_SHOW);
}

void MixerPanel::HideRouteWindow() {
  if (route_) ShowWindow(route_, SW_HIDE);
}

void MixerPanel::ShowStrips(bool visible) {
  strips_[0].Show(visible);
  strips_[1].Show(visible);
}

int MixerPanel::ReadEndpointsIntoSettings() {
  if (!endpoints_ || !endpoints_->Search() || !endpoints_->RegisterListeners()) return 0;
  for (int flow : {kFlowCapture, kFlowRender}) {
    const int strip = flow == kFlowRender ? 0 : 1;
    float left = 0, right = 0;
    int32_t mute = 0;
    // A strip whose endpoint cannot be read keeps what it had.
    if (!endpoints_->ReadLevels(flow, 0, left, right) || !endpoints_->ReadMute(flow, 0, mute)) continue;
    // Positions from endpoint levels stay as computed, also beyond the fader.
    int32_t* positions = PositionsOf(strip);
    positions[0] = PositionFromDb(static_cast<Strip>(strip), left);
    positions[1] = PositionFromDb(static_cast<Strip>(strip), right);
    *MuteOf(strip) = mute != 0 ? 1 : 0;
    // The strip shows what was read: the load's reconcile has run already,
    // and nothing else would move the controls until the next command.
    strips_[strip].SetFader(positions[0], positions[1]);
    SetStripLabel(strip, positions[0]);
    strips_[strip].SetMute(*MuteOf(strip));
  }
  return 1;
}

void MixerPanel::OnEndpointChanged(int flow, bool own) {
  if (!link_ || own) return;
  const int strip = flow == kFlowRender ? 0 : 1;
  const ChannelStrip& controls = strips_[strip];
  int left = 0, right = 0;
  controls.FaderPositions(left, right);
  if (buttonHeld_) {
    controls.SetFader(left, right);
    SetStripLabel(strip, left);
    controls.SetMute(controls.MuteChecked());
    return;
  }
  float dbLeft = 0, dbRight = 0;
  int32_t mute = 0;
  if (endpoints_ && endpoints_->ReadLevels(flow, 0, dbLeft, dbRight) && endpoints_->ReadMute(flow, 0, mute)) {
    left = PositionFromDb(static_cast<Strip>(strip), dbLeft);
    right = PositionFromDb(static_cast<Strip>(strip), dbRight);
    mute = mute != 0 ? 1 : 0;
  } else {
    if (endpoints_ && endpoints_->Search()) endpoints_->RegisterListeners();
    MixerSettings driver = current_.mixer;
    if (link_->GetSettings(&driver)) {
      ClampMixerSettings(driver);
      current_.mixer = driver;
    }
    mute = *MuteOf(strip);
  }
  int32_t* positions = PositionsOf(strip);
  positions[0] = left;
  positions[1] = right;
  *MuteOf(strip) = mute;
  controls.SetFader(left, right);
  SetStripLabel(strip, left);
  controls.SetMute(mute);
}

}  // namespace tqm::panel
