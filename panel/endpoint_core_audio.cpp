// The one translation unit of the panel that defines the Core Audio GUIDs.
#include <initguid.h>

#include "endpoint_core_audio.h"

#include <devicetopology.h>
#include <functiondiscoverykeys_devpkey.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "platform/bridge/sys.h"

namespace tqm::panel {
namespace {

bool ValidSlot(int flow, int slot) { return (flow == 0 || flow == 1) && (slot == 0 || slot == 1); }

template <class T>
void Drop(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

// Reads what the search reads of every endpoint: its id and its friendly
// name (neither decides anything).
bool ReadIdentity(IMMDevice* device) {
  LPWSTR id = nullptr;
  if (FAILED(device->GetId(&id))) return false;
  CoTaskMemFree(id);
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return false;
  PROPVARIANT name;
  PropVariantInit(&name);
  const HRESULT hr = store->GetValue(PKEY_Device_FriendlyName, &name);
  PropVariantClear(&name);
  store->Release();
  return SUCCEEDED(hr);
}

// The device id connector 0 of the endpoint's topology is connected to
// (CoTaskMemFree it), or null with the diagnostic written.
LPWSTR ConnectedId(IMMDevice* device) {
  IDeviceTopology* topology = nullptr;
  HRESULT hr = device->Activate(__uuidof(IDeviceTopology), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&topology));
  if (FAILED(hr)) {
    std::printf("ERROR: IMMDevice::Activate(IDeviceTopology) failed: hr = 0x%08x\n", unsigned(hr));
    return nullptr;
  }
  IConnector* connector = nullptr;
  hr = topology->GetConnector(0, &connector);
  topology->Release();
  if (FAILED(hr)) {
    std::printf("ERROR: IDeviceTopology::GetConnector(0) failed: hr = 0x%08x\n", unsigned(hr));
    return nullptr;
  }
  LPWSTR connected = nullptr;
  hr = connector->GetDeviceIdConnectedTo(&connected);
  connector->Release();
  if (FAILED(hr)) {
    std::printf("ERROR: IConnector::GetDeviceIdConnectedTo failed: hr = 0x%08x\n", unsigned(hr));
    return nullptr;
  }
  return connected;
}

// The slot an endpoint connected to `id` belongs in, or -1 when it is not
// one of the device's (case matters: the audio stack writes these ids in
// lower case).
int SlotOf(const wchar_t* id) {
  if (!id || !std::wcsstr(id, L"oru_mixer") || !std::wcsstr(id, L"oru#tqm27_01")) return -1;
  const size_t length = std::wcslen(id);
  const wchar_t last = length ? id[length - 1] : L'\0';
  if (last == L'1') return 0;
  if (last == L'2') return 1;
  return -1;
}

}  // namespace

std::unique_ptr<EndpointTable> MakeEndpointTable(HWND main) {
  return std::make_unique<CoreAudioEndpointTable>(main);
}

CoreAudioEndpointTable::~CoreAudioEndpointTable() {
  Release();
  if (comEntered_) CoUninitialize();
}

bool CoreAudioEndpointTable::filled(int flow, int slot) const {
  return ValidSlot(flow, slot) && slots_[flow][slot].device != nullptr;
}

bool CoreAudioEndpointTable::listening(int flow, int slot) const {
  return ValidSlot(flow, slot) && slots_[flow][slot].volume != nullptr;
}

bool CoreAudioEndpointTable::Search() {
  if (!comEntered_) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // A thread already in the multithreaded apartment can use COM as it is.
    if (SUCCEEDED(hr)) comEntered_ = true;
    else if (hr != RPC_E_CHANGED_MODE) return false;
  }
  IMMDeviceEnumerator* enumerator = nullptr;
  if (FAILED(sys::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                   reinterpret_cast<void**>(&enumerator))))
    return false;
  IMMDeviceCollection* collection = nullptr;
  UINT count = 0;
  HRESULT hr = enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, &collection);
  enumerator->Release();
  if (SUCCEEDED(hr)) hr = collection->GetCount(&count);
  if (FAILED(hr) || count == 0) {
    if (collection) collection->Release();
    std::printf("No endpoints found.\n");
    return false;
  }
  int stored = 0;
  for (UINT i = 0; i < count; ++i) stored += Examine(collection, i);
  collection->Release();
  return stored > 0;
}

int CoreAudioEndpointTable::Examine(IMMDeviceCollection* collection, UINT index) {
  IMMDevice* device = nullptr;
  if (FAILED(collection->Item(index, &device))) return 0;
  int stored = 0;
  LPWSTR connected = ReadIdentity(device) ? ConnectedId(device) : nullptr;
  const int slot = SlotOf(connected);
  IMMEndpoint* endpoint = nullptr;
  if (slot >= 0 && SUCCEEDED(device->QueryInterface(__uuidof(IMMEndpoint), reinterpret_cast<void**>(&endpoint)))) {
    EDataFlow flow = eAll;
    if (SUCCEEDED(endpoint->GetDataFlow(&flow)) && (flow == eRender || flow == eCapture)) {
      IMMDevice*& kept = slots_[flow][slot].device;
      device->AddRef();
      Drop(kept);
      kept = device;
      stored = 1;
    }
    endpoint->Release();
  }
  CoTaskMemFree(connected);
  device->Release();
  return stored;
}

bool CoreAudioEndpointTable::RegisterListeners() {
  for (int slot = 0; slot < 2; ++slot) {
    for (int flow = 0; flow < 2; ++flow) {
      Slot& s = slots_[flow][slot];
      if (!s.device) continue;
      if (!s.listener) s.listener = new CAudioEndpointVolumeCallback(main_, slot, flow);
      if (s.volume) {
        s.volume->UnregisterControlChangeNotify(s.listener);
        Drop(s.volume);
      }
      IAudioEndpointVolume* volume = nullptr;
      if (FAILED(s.device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                    reinterpret_cast<void**>(&volume)))) {
        Empty(s);
        return false;
      }
      if (FAILED(volume->RegisterControlChangeNotify(s.listener))) {
        volume->Release();
        return false;
      }
      s.volume = volume;
    }
  }
  return true;
}

IAudioEndpointVolume* CoreAudioEndpointTable::Activate(int flow, int slot) {
  if (!ValidSlot(flow, slot) || !slots_[flow][slot].device) return nullptr;
  IAudioEndpointVolume* volume = nullptr;
  if (FAILED(slots_[flow][slot].device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                                 reinterpret_cast<void**>(&volume))))
    return nullptr;
  return volume;
}

bool CoreAudioEndpointTable::ReadLevels(int flow, int slot, float& left, float& right) {
  IAudioEndpointVolume* volume = Activate(flow, slot);
  if (!volume) return false;
  UINT channels = 0;
  float l = 0, r = 0;
  // Both channels or nothing: a half-read level must not reach the settings.
  const bool read = SUCCEEDED(volume->GetChannelCount(&channels)) && channels >= 2 &&
                    SUCCEEDED(volume->GetChannelVolumeLevel(0, &l)) &&
                    SUCCEEDED(volume->GetChannelVolumeLevel(1, &r));
  volume->Release();
  if (!read) return false;
  left = l;
  right = r;
  return true;
}

bool CoreAudioEndpointTable::ReadMute(int flow, int slot, int32_t& mute) {
  IAudioEndpointVolume* volume = Activate(flow, slot);
  if (!volume) return false;
  BOOL muted = FALSE;
  const bool read = SUCCEEDED(volume->GetMute(&muted));
  volume->Release();
  if (!read) return false;
  mute = muted ? 1 : 0;
  return true;
}

bool CoreAudioEndpointTable::SetLevels(int flow, int slot, float left, float right) {
  IAudioEndpointVolume* volume = Activate(flow, slot);
  if (!volume) return false;
  float minimum = 0, maximum = 0, step = 0;
  bool set = SUCCEEDED(volume->GetVolumeRange(&minimum, &maximum, &step));
  if (set) {
    set = SUCCEEDED(volume->SetChannelVolumeLevel(0, std::clamp(left, minimum, maximum), &kPanelEventContext)) &&
          SUCCEEDED(volume->SetChannelVolumeLevel(1, std::clamp(right, minimum, maximum), &kPanelEventContext));
  }
  volume->Release();
  return set;
}

bool CoreAudioEndpointTable::SetMute(int flow, int slot, int32_t mute) {
  IAudioEndpointVolume* volume = Activate(flow, slot);
  if (!volume) return false;
  const bool set = SUCCEEDED(volume->SetMute(mute ? TRUE : FALSE, &kPanelEventContext));
  volume->Release();
  return set;
}

void CoreAudioEndpointTable::Empty(Slot& s) {
  if (s.volume && s.listener) s.volume->UnregisterControlChangeNotify(s.listener);
  Drop(s.volume);
  Drop(s.listener);
  Drop(s.device);
}

void CoreAudioEndpointTable::Release() {
  for (auto& flow : slots_)
    for (Slot& s : flow) Empty(s);
}

}  // namespace tqm::panel
