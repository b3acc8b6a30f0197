// The seam between the mixer and the device's Windows audio endpoints.
//
// The panel treats the endpoints' volumes and mutes as the authority for its
// faders and mutes: a fader or mute change goes to the endpoint first, and
// only when no endpoint answers does the mixer talk to the driver itself.
// `MixerPanel` owns one table; without one (no endpoint implementation in
// this process) every endpoint operation fails and the driver path applies.
//
// Flows: 0 render (the output strip), 1 capture (the input strip). Slots 0
// and 1 per flow; the strips use slot 0. Levels are in dB.
//
// A change of an endpoint reaches the main window as MSG_ENDPOINT_CHANGED
// (first parameter the slot, second the flow). Changes the panel made itself
// carry kOwnEndpointChange in the first parameter: they are its own fader or
// mute on the way back, and must not move the controls under the user's drag.
#pragma once

#include <cstdint>

namespace tqm::panel {

constexpr unsigned MSG_ENDPOINT_CHANGED = 977;
constexpr uintptr_t kOwnEndpointChange = 0x100;

class EndpointTable {
 public:
  virtual ~EndpointTable() = default;

  // Finds the device's endpoints; true when at least one was stored.
  virtual bool Search() = 0;
  // Registers the change listeners; false at the first failure.
  virtual bool RegisterListeners() = 0;
  virtual bool ReadLevels(int flow, int slot, float& left, float& right) = 0;
  virtual bool ReadMute(int flow, int slot, int32_t& mute) = 0;
  virtual bool SetLevels(int flow, int slot, float left, float right) = 0;
  virtual bool SetMute(int flow, int slot, int32_t mute) = 0;
  // Unregisters the listeners and lets every endpoint go.
  virtual void Release() = 0;
};

}  // namespace tqm::panel
