// CAudioEndpointVolumeCallback: the listener registered on each endpoint the
// panel keeps. Windows calls OnNotify on a thread of its own whenever the
// endpoint's volume or mute changes, from whichever program; the listener
// only posts MSG_ENDPOINT_CHANGED to the panel's main window (never a
// broadcast: other programs would receive a private message id) and leaves
// all reading to the UI thread. Changes that carry the panel's own event
// context are marked with kOwnEndpointChange.
//
// Reference counted (atomically: Windows' threads add and drop references);
// created with one reference, deleted at the last Release.
#pragma once

#include <windows.h>
#include <endpointvolume.h>

#include <atomic>
#include <cstdint>

namespace tqm::panel {

// The event context of every change the panel makes to an endpoint.
extern const GUID kPanelEventContext;

class CAudioEndpointVolumeCallback final : public IAudioEndpointVolumeCallback {
 public:
  CAudioEndpointVolumeCallback(HWND main, int32_t slot, int32_t flow);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override;

 private:
  ~CAudioEndpointVolumeCallback() = default;

  std::atomic<LONG> refs_{1};
  const int32_t slot_;
  const int32_t flow_;
  const HWND main_;
};

}  // namespace tqm::panel
