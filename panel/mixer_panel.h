// MixerPanel: the panel's whole mixer state and its exchange with the driver.
//
// It holds two PanelSettings copies: the current one, which commands and
// controls change, and a shadow of what the controls last showed and the
// driver was last sent. Reconcile compares them, sets exactly the controls
// that differ, applies the settings to the driver when anything differed, and
// makes the shadow equal to the current copy again. Load and the factory
// default fill the shadow with 0xFF bytes so that everything differs once.
//
// It also owns the DeviceLink (absent while no device is open), the status
// block mapping that the 10 ms poll reads, both channel strips, the
// InnerROUTE window and the endpoint table. One per process, created by the
// main window; every operation runs on the UI thread (the driver's stop event
// reaches it as a posted message), so nothing here is locked.
//
// What comes from outside — the stored record, the driver's settings, the
// status block's rate and buffer number — is clamped before use.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "channel_strip.h"
#include "endpoint_table.h"
#include "panel/devicelink/device_link.h"
#include "tqm/mixer_settings.h"

namespace tqm::panel {

class MixerPanel {
 public:
  // Meters in the order the poll sends them.
  enum Meter { kInLeft, kInRight, kOutLeft, kOutRight, kMeters };

  // `defaultsRequested` is the process's "/default" flag: the first load
  // takes and clears it. `endpoints` may be null (no endpoint reachable).
  MixerPanel(HWND main, HINSTANCE instance, int32_t& defaultsRequested, std::unique_ptr<EndpointTable> endpoints);
  ~MixerPanel();
  MixerPanel(const MixerPanel&) = delete;
  MixerPanel& operator=(const MixerPanel&) = delete;

  // Finds the device, maps the status block and loads the settings: 1 when a
  // device was found, else 0 (strips hidden).
  int Open();
  void Close();
  void LoadSettings();
  void FactoryDefault();
  void Reconcile();
  int ApplySettings();
  bool SetLatency(uint32_t frames);
  // The driver's latency, kept in both copies. A failed request answers 0
  // and keeps the last known latency.
  uint32_t QueryLatency();
  int CurrentBufferNumber();
  bool MeterEnabled() const;
  // One PanelTimer tick: meters, rate and buffer number from the status
  // block. Returns the changes seen (0, 1 or 2).
  int Poll();

  // ---- commands (the caller reconciles and saves afterwards) ----
  // A fader of strip 0 or 1 moved: its positions go into the settings and to
  // the endpoint.
  void OnFaderMoved(int strip);
  // Inverts the strip's mute and sets it on the endpoint; without an
  // endpoint the new mute goes to the driver.
  void ToggleMute(int strip);
  // Inverts the status block's meter switch (only while mapped).
  void ToggleMeter();
  // Stores a wheel step or buffer number that differs; false when it was
  // already the current one.
  bool SetWheelStep(int32_t step);
  bool SetBufferNumber(int32_t count);
  void ToggleRouteWindow();
  void HideRouteWindow();
  // The driver's stop event: releases the status block mapping, keeps the link.
  void ReleaseStatusMapping();
  // An endpoint changed (flow 0 output, else input): the strip follows it.
  // `own`: the change is the panel's own on its way back, which the strip
  // already shows (or has moved on from, while the user drags).
  void OnEndpointChanged(int flow, bool own = false);
  // Reads the endpoints' levels and mutes into the settings: 1 when they
  // were found and their listeners registered.
  int ReadEndpointsIntoSettings();
  void ShowStrips(bool visible);

  void SetButtonHeld(bool held) { buttonHeld_ = held ? 1 : 0; }

  // ---- state, for the window and for tests ----
  bool hasLink() const { return link_ != nullptr; }
  bool mapped() const { return statusAddress_ != 0; }
  DeviceLink* link() const { return link_.get(); }
  const PanelSettings& current() const { return current_; }
  PanelSettings& current() { return current_; }
  const PanelSettings& shadow() const { return shadow_; }
  const ChannelStrip& strip(int index) const { return strips_[index]; }
  HWND routeWindow() const { return route_; }
  // What the meters and labels were last sent.
  int meterShown(Meter meter) const { return shown_[meter]; }
  const wchar_t* labelText(int strip) const { return labels_[strip]; }
  HANDLE selectedDevice() const;
  const wchar_t* devicePath() const;

 private:
  int32_t* MuteOf(int strip);
  int32_t* PositionsOf(int strip);
  void SetAllMeters(int value);
  void SetStripLabel(int strip, int position);
  // When a client has a channel open, the driver's rate, latency and buffer
  // number replace those in the current settings (a load must not restart a
  // running stream). True when they were taken.
  bool AdoptRunningStream();
  // Reconcile's first part: controls, status block and apply, without the copy.
  void ReconcileControls();
  void Unmap();

  HWND main_;
  HINSTANCE instance_;
  int32_t& defaultsRequested_;
  int32_t buttonHeld_ = 0;
  ChannelStrip strips_[2];
  HWND route_ = nullptr;
  std::unique_ptr<DeviceLink> link_;
  uint64_t statusAddress_ = 0;
  uint64_t statusToken_ = 0;
  PanelSettings shadow_;
  PanelSettings current_;
  std::unique_ptr<EndpointTable> endpoints_;
  int previous_[kMeters] = {};
  int shown_[kMeters] = {};
  wchar_t labels_[2][16] = {};
};

}  // namespace tqm::panel
