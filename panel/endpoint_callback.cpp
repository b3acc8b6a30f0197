#include "endpoint_callback.h"

#include "endpoint_table.h"

namespace tqm::panel {

// {5B7E61D2-3C0A-4E8F-9A27-0127C0DE0977}
const GUID kPanelEventContext = {0x5B7E61D2, 0x3C0A, 0x4E8F, {0x9A, 0x27, 0x01, 0x27, 0xC0, 0xDE, 0x09, 0x77}};

CAudioEndpointVolumeCallback::CAudioEndpointVolumeCallback(HWND main, int32_t slot, int32_t flow)
    : slot_(slot), flow_(flow), main_(main) {}

HRESULT CAudioEndpointVolumeCallback::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IAudioEndpointVolumeCallback))) {
    *object = static_cast<IAudioEndpointVolumeCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CAudioEndpointVolumeCallback::AddRef() { return ULONG(++refs_); }

ULONG CAudioEndpointVolumeCallback::Release() {
  const LONG left = --refs_;
  if (left == 0) delete this;
  return ULONG(left);
}

HRESULT CAudioEndpointVolumeCallback::OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) {
  if (!data) return E_INVALIDARG;
  if (main_ && IsWindow(main_)) {
    WPARAM first = WPARAM(slot_);
    if (IsEqualGUID(data->guidEventContext, kPanelEventContext)) first |= kOwnEndpointChange;
    PostMessageW(main_, MSG_ENDPOINT_CHANGED, first, LPARAM(flow_));
  }
  return S_OK;
}

}  // namespace tqm::panel
