// CoreAudioEndpointTable: the EndpointTable over Windows Core Audio.
//
// Search walks every active endpoint and keeps those whose topology
// connector 0 is connected to the companion driver's filter: the connected
// device id contains "oru_mixer" and "oru#tqm27_01" and ends in 1 or 2, which
// is the slot (0 or 1) of the endpoint's data flow. An endpoint that cannot
// be examined (another device's whose topology does not answer, one that
// went away during the walk) is skipped: the device's own may come after it.
//
// Per filled slot the table keeps the IMMDevice, and after RegisterListeners
// the IAudioEndpointVolume its listener is registered with, and the listener.
// The level and mute operations activate a volume interface of their own for
// the one call. Everything runs on the UI thread; COM is entered there, in an
// apartment, at the first search and left when the table is destroyed.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include <memory>

#include "endpoint_callback.h"
#include "endpoint_table.h"

namespace tqm::panel {

class CoreAudioEndpointTable final : public EndpointTable {
 public:
  explicit CoreAudioEndpointTable(HWND main) : main_(main) {}
  ~CoreAudioEndpointTable() override;
  CoreAudioEndpointTable(const CoreAudioEndpointTable&) = delete;
  CoreAudioEndpointTable& operator=(const CoreAudioEndpointTable&) = delete;

  bool Search() override;
  bool RegisterListeners() override;
  bool ReadLevels(int flow, int slot, float& left, float& right) override;
  bool ReadMute(int flow, int slot, int32_t& mute) override;
  bool SetLevels(int flow, int slot, float left, float right) override;
  bool SetMute(int flow, int slot, int32_t mute) override;
  void Release() override;

  // Whether a slot holds an endpoint, and whether its listener is registered.
  bool filled(int flow, int slot) const;
  bool listening(int flow, int slot) const;

 private:
  struct Slot {
    IMMDevice* device = nullptr;
    IAudioEndpointVolume* volume = nullptr;  // the one the listener is registered with
    CAudioEndpointVolumeCallback* listener = nullptr;
  };

  // 1 when the collection's endpoint `index` was stored.
  int Examine(IMMDeviceCollection* collection, UINT index);
  // A volume interface of the slot's endpoint for one call, or null.
  IAudioEndpointVolume* Activate(int flow, int slot);
  static void Empty(Slot& slot);

  HWND main_;
  bool comEntered_ = false;
  Slot slots_[2][2];  // [flow][slot]
};

// The table the panel uses.
std::unique_ptr<EndpointTable> MakeEndpointTable(HWND main);

}  // namespace tqm::panel
