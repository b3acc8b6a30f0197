// tqmsim.dll's Core Audio: the device enumerator and what hangs off it, as
// COM objects of mingw-w64's interface declarations, over the machine's
// endpoints (platform/sim/serve_endpoints.h).
//
// A program reaches them as on Windows: sys::CoCreateInstance of
// CLSID_MMDeviceEnumerator gives an IMMDeviceEnumerator; its collections hold
// IMMDevice objects (also IMMEndpoint) that open an IPropertyStore (the
// friendly name) and activate IDeviceTopology (connector 0's
// GetDeviceIdConnectedTo) and IAudioEndpointVolume. Each object asks the
// server when it is called, so an endpoint that has gone fails its calls
// with AUDCLNT_E_DEVICE_INVALIDATED, as a stale one does on Windows.
//
// Change callbacks: a registration holds a reference on its callback until it
// is unregistered, whatever becomes of the IAudioEndpointVolume it was made
// on (a program that forgets to unregister leaks it, as on Windows). The
// first registration makes the process watch the server's changes; each
// change arrives on the reader thread, which only queues it; the notifier
// thread (started with the first registration) calls every callback
// registered for that endpoint, holding a reference across the call.
//
// Objects and registrations are counted for the tests (TqmSimCoreAudioObjects).
#define TQM_SYS_IMPLEMENTATION
#include <windows.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <devicetopology.h>
#include <functiondiscoverykeys_devpkey.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bridge/protocol.h"
#include "platform/bridge/sys.h"
#include "platform/bridge/tqmsim/control.h"
#include "platform/bridge/tqmsim/internal.h"

namespace {

using tqm::bridge::EndpointOp;
using tqm::bridge::Message;
using tqm::bridge::MessageType;

constexpr HRESULT kNotFound = HRESULT(0x80070490);            // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT kDeviceInvalidated = HRESULT(0x88890004);   // AUDCLNT_E_DEVICE_INVALIDATED
constexpr uint32_t kNoServer = 0xC000014B;

std::atomic<uint64_t> g_objects{0};

float BitsFloat(uint64_t bits) {
  const uint32_t u = uint32_t(bits);
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

uint64_t FloatBits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}

LPWSTR TaskString(const std::wstring& text) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (out) memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return out;
}

// An endpoint as the server described it.
struct EndpointInfo {
  std::wstring id, name, connected;
  EDataFlow flow = eRender;
  HRESULT topology = S_OK;
  float minDb = 0, maxDb = 0, stepDb = 0;
};

// The endpoints present now, in enumeration order (none without a server).
std::vector<EndpointInfo> DescribeAll() {
  std::vector<EndpointInfo> list;
  for (uint64_t index = 0;; ++index) {
    Message m;
    m.type = MessageType::Endpoint;
    m.a[0] = uint64_t(EndpointOp::Describe);
    m.a[1] = index;
    std::optional<Message> r = tqmsim::Request(m);
    if (!r || r->status != 0) break;
    const std::wstring all = tqm::bridge::PathFromBytes(r->payload);
    const size_t first = all.find(L'\0');
    const size_t second = first == std::wstring::npos ? first : all.find(L'\0', first + 1);
    if (second == std::wstring::npos) break;
    EndpointInfo e;
    e.id = all.substr(0, first);
    e.name = all.substr(first + 1, second - first - 1);
    e.connected = all.substr(second + 1);
    e.flow = r->a[0] == 0 ? eRender : eCapture;
    e.topology = HRESULT(uint32_t(r->a[1]));
    e.minDb = BitsFloat(r->a[2]);
    e.maxDb = BitsFloat(r->a[2] >> 32);
    e.stepDb = BitsFloat(r->a[3]);
    list.push_back(std::move(e));
  }
  return list;
}

// An Endpoint request about one endpoint, with the caller's event context.
std::optional<Message> EndpointCall(EndpointOp op, const std::wstring& id, const GUID* context, uint64_t a1 = 0,
                                    uint64_t a2 = 0) {
  Message m;
  m.type = MessageType::Endpoint;
  m.a[0] = uint64_t(op);
  m.a[1] = a1;
  m.a[2] = a2;
  m.payload.resize(sizeof(GUID));
  if (context) memcpy(m.payload.data(), context, sizeof(GUID));
  const std::vector<uint8_t> bytes = tqm::bridge::PathBytes(id);
  m.payload.insert(m.payload.end(), bytes.begin(), bytes.end());
  return tqmsim::Request(m);
}

HRESULT Result(const std::optional<Message>& r) { return r ? HRESULT(r->status) : kDeviceInvalidated; }

// The reference count every object shares.
class Counted {
 protected:
  Counted() { ++g_objects; }
  virtual ~Counted() { --g_objects; }
  ULONG Up() { return ++refs_; }
  ULONG Down() {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

#define TQM_COUNTED_REFS                                   \
  ULONG STDMETHODCALLTYPE AddRef() override { return Up(); } \
  ULONG STDMETHODCALLTYPE Release() override { return Down(); }

template <class Interface>
HRESULT Hand(Interface* object, void** out) {
  *out = object;
  object->AddRef();
  return S_OK;
}

// ---- change callbacks ----

struct Registration {
  uint64_t owner;  // the IAudioEndpointVolume it was made on
  std::wstring id;
  IAudioEndpointVolumeCallback* callback;
};

class Notifier {
 public:
  static Notifier& Get() {
    static Notifier* notifier = new Notifier();  // never destroyed, as the bridge
    return *notifier;
  }

  HRESULT Register(uint64_t owner, const std::wstring& id, IAudioEndpointVolumeCallback* callback) {
    callback->AddRef();
    bool first;
    {
      std::lock_guard lock(mu_);
      first = !watching_;
      registrations_.push_back({owner, id, callback});
      watching_ = true;
      if (!thread_.joinable()) {
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
      }
    }
    if (first) {
      Message m;
      m.type = MessageType::Endpoint;
      m.a[0] = uint64_t(EndpointOp::Watch);
      m.a[1] = 1;
      tqmsim::Request(m);
    }
    return S_OK;
  }

  HRESULT Unregister(uint64_t owner, IAudioEndpointVolumeCallback* callback) {
    IAudioEndpointVolumeCallback* found = nullptr;
    {
      std::lock_guard lock(mu_);
      for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
        if (it->owner == owner && it->callback == callback) {
          found = it->callback;
          registrations_.erase(it);
          break;
        }
      }
    }
    if (!found) return kNotFound;
    found->Release();
    StopWhenUnused();
    return S_OK;
  }

  void Deliver(const Message& change) {
    {
      std::lock_guard lock(mu_);
      if (registrations_.empty()) return;
      changes_.push_back(change);
    }
    cv_.notify_all();
  }

  uint64_t Count() {
    std::lock_guard lock(mu_);
    return registrations_.size();
  }

 private:
  Notifier() = default;

  // The thread runs while a callback is registered: the last unregistration
  // ends it, so a program that lets everything go is left with no thread of
  // ours (unless the last one unregisters from inside its OnNotify, where
  // the thread can only be let go).
  void StopWhenUnused() {
    std::thread ending;
    {
      std::lock_guard lock(mu_);
      if (!registrations_.empty() || !thread_.joinable()) return;
      stop_ = true;
      changes_.clear();
      ending = std::move(thread_);
    }
    cv_.notify_all();
    if (ending.get_id() == std::this_thread::get_id()) ending.detach();
    else ending.join();
  }

  void Run() {
    for (;;) {
      Message m;
      std::vector<IAudioEndpointVolumeCallback*> targets;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return stop_ || !changes_.empty(); });
        if (stop_) return;
        m = std::move(changes_.front());
        changes_.pop_front();
        if (m.payload.size() < sizeof(GUID)) continue;
        const std::wstring id =
            tqm::bridge::PathFromBytes(std::vector<uint8_t>(m.payload.begin() + sizeof(GUID), m.payload.end()));
        for (const Registration& r : registrations_) {
          if (r.id != id) continue;
          r.callback->AddRef();
          targets.push_back(r.callback);
        }
      }
      // The record Windows hands over: the context, the mute, the levels as
      // scalars of the endpoint's range (its master is the louder channel).
      constexpr UINT kChannels = 2;
      std::vector<uint8_t> block(sizeof(AUDIO_VOLUME_NOTIFICATION_DATA) + (kChannels - 1) * sizeof(float));
      auto* data = reinterpret_cast<AUDIO_VOLUME_NOTIFICATION_DATA*>(block.data());
      memcpy(&data->guidEventContext, m.payload.data(), sizeof(GUID));
      data->bMuted = m.a[1] != 0;
      const float minDb = BitsFloat(m.a[2]), maxDb = BitsFloat(m.a[2] >> 32);
      const float span = maxDb > minDb ? maxDb - minDb : 1.0f;
      const float levels[kChannels] = {BitsFloat(m.a[0]), BitsFloat(m.a[0] >> 32)};
      data->nChannels = kChannels;
      for (UINT c = 0; c < kChannels; ++c) data->afChannelVolumes[c] = (levels[c] - minDb) / span;
      data->fMasterVolume = std::max(data->afChannelVolumes[0], data->afChannelVolumes[1]);
      for (IAudioEndpointVolumeCallback* callback : targets) {
        callback->OnNotify(data);
        callback->Release();
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Registration> registrations_;
  std::deque<Message> changes_;
  bool watching_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// ---- the objects ----

class Volume final : public IAudioEndpointVolume, Counted {
 public:
  explicit Volume(const EndpointInfo& info) : info_(info), serial_(++next_) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAudioEndpointVolume)) return Hand(this, out);
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback* callback) override {
    if (!callback) return E_POINTER;
    return Notifier::Get().Register(serial_, info_.id, callback);
  }
  HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* callback) override {
    if (!callback) return E_POINTER;
    return Notifier::Get().Unregister(serial_, callback);
  }
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 2;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(FLOAT db, LPCGUID context) override {
    return Set(2, db, context);
  }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(FLOAT level, LPCGUID context) override {
    if (level < 0 || level > 1) return E_INVALIDARG;
    return Set(2, Db(level), context);
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(FLOAT* db) override {
    if (!db) return E_POINTER;
    float l, r;
    BOOL mute;
    const HRESULT hr = Read(&l, &r, &mute);
    if (SUCCEEDED(hr)) *db = std::max(l, r);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(FLOAT* level) override {
    float db;
    const HRESULT hr = level ? GetMasterVolumeLevel(&db) : E_POINTER;
    if (SUCCEEDED(hr)) *level = Scalar(db);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT channel, FLOAT db, LPCGUID context) override {
    if (channel > 1) return E_INVALIDARG;
    return Set(channel, db, context);
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT channel, FLOAT level, LPCGUID context) override {
    if (channel > 1 || level < 0 || level > 1) return E_INVALIDARG;
    return Set(channel, Db(level), context);
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT channel, FLOAT* db) override {
    if (!db) return E_POINTER;
    if (channel > 1) return E_INVALIDARG;
    float l, r;
    BOOL mute;
    const HRESULT hr = Read(&l, &r, &mute);
    if (SUCCEEDED(hr)) *db = channel == 0 ? l : r;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT channel, FLOAT* level) override {
    float db;
    const HRESULT hr = level ? GetChannelVolumeLevel(channel, &db) : E_POINTER;
    if (SUCCEEDED(hr)) *level = Scalar(db);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetMute(WINBOOL mute, LPCGUID context) override {
    return Result(EndpointCall(EndpointOp::SetMute, info_.id, context, mute ? 1 : 0));
  }
  HRESULT STDMETHODCALLTYPE GetMute(WINBOOL* mute) override {
    if (!mute) return E_POINTER;
    float l, r;
    BOOL m;
    const HRESULT hr = Read(&l, &r, &m);
    if (SUCCEEDED(hr)) *mute = m;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) override {
    if (!mask) return E_POINTER;
    *mask = ENDPOINT_HARDWARE_SUPPORT_VOLUME | ENDPOINT_HARDWARE_SUPPORT_MUTE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVolumeRange(FLOAT* minDb, FLOAT* maxDb, FLOAT* stepDb) override {
    if (!minDb || !maxDb || !stepDb) return E_POINTER;
    *minDb = info_.minDb;
    *maxDb = info_.maxDb;
    *stepDb = info_.stepDb;
    return S_OK;
  }

 private:
  HRESULT Set(uint64_t channel, float db, LPCGUID context) {
    return Result(EndpointCall(EndpointOp::SetLevel, info_.id, context, channel, FloatBits(db)));
  }
  HRESULT Read(float* left, float* right, BOOL* mute) {
    const std::optional<Message> r = EndpointCall(EndpointOp::Read, info_.id, nullptr);
    const HRESULT hr = Result(r);
    if (FAILED(hr)) return hr;
    *left = BitsFloat(r->a[0]);
    *right = BitsFloat(r->a[0] >> 32);
    *mute = r->a[1] != 0;
    return hr;
  }
  float Db(float scalar) const { return info_.minDb + scalar * (info_.maxDb - info_.minDb); }
  float Scalar(float db) const {
    return info_.maxDb > info_.minDb ? (db - info_.minDb) / (info_.maxDb - info_.minDb) : 0.0f;
  }

  static inline std::atomic<uint64_t> next_{0};
  const EndpointInfo info_;
  const uint64_t serial_;
};

class Connector final : public IConnector, Counted {
 public:
  explicit Connector(const EndpointInfo& info) : info_(info) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnector)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetType(ConnectorType* type) override {
    if (!type) return E_POINTER;
    *type = Software_IO;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataFlow(DataFlow* flow) override {
    if (!flow) return E_POINTER;
    *flow = info_.flow == eRender ? In : Out;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ConnectTo(IConnector*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Disconnect() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsConnected(WINBOOL* connected) override {
    if (!connected) return E_POINTER;
    *connected = TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectedTo(IConnector**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectorIdConnectedTo(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR* id) override {
    if (!id) return E_POINTER;
    *id = TaskString(info_.connected);
    return *id ? S_OK : E_OUTOFMEMORY;
  }

 private:
  const EndpointInfo info_;
};

class Topology final : public IDeviceTopology, Counted {
 public:
  explicit Topology(const EndpointInfo& info) : info_(info) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDeviceTopology)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnector(UINT index, IConnector** connector) override {
    if (!connector) return E_POINTER;
    *connector = nullptr;
    if (index != 0) return E_INVALIDARG;
    *connector = new Connector(info_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSubunitCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSubunit(UINT, ISubUnit**) override { return E_INVALIDARG; }
  HRESULT STDMETHODCALLTYPE GetPartById(UINT, IPart**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR* id) override {
    if (!id) return E_POINTER;
    *id = TaskString(info_.id);
    return *id ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetSignalPath(IPart*, IPart*, WINBOOL, IPartsList**) override { return E_NOTIMPL; }

 private:
  const EndpointInfo info_;
};

class PropertyStore final : public IPropertyStore, Counted {
 public:
  explicit PropertyStore(const EndpointInfo& info) : info_(info) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyStore)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    if (!key) return E_POINTER;
    if (index != 0) return E_INVALIDARG;
    *key = PKEY_Device_FriendlyName;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (!value) return E_POINTER;
    PropVariantInit(value);
    // Keys the store does not hold are empty, not an error.
    if (!IsEqualPropertyKey(key, PKEY_Device_FriendlyName)) return S_OK;
    value->pwszVal = TaskString(info_.name);
    if (!value->pwszVal) return E_OUTOFMEMORY;
    value->vt = VT_LPWSTR;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

 private:
  const EndpointInfo info_;
};

class Device final : public IMMDevice, public IMMEndpoint, Counted {
 public:
  explicit Device(const EndpointInfo& info) : info_(info) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMMDevice))
      return Hand(static_cast<IMMDevice*>(this), out);
    if (IsEqualIID(iid, IID_IMMEndpoint)) return Hand(static_cast<IMMEndpoint*>(this), out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IDeviceTopology)) {
      if (FAILED(info_.topology)) return info_.topology;
      *out = static_cast<IDeviceTopology*>(new Topology(info_));
      return S_OK;
    }
    if (IsEqualIID(iid, IID_IAudioEndpointVolume)) {
      // An endpoint that has gone cannot be activated.
      const HRESULT hr = Result(EndpointCall(EndpointOp::Read, info_.id, nullptr));
      if (FAILED(hr)) return hr;
      *out = static_cast<IAudioEndpointVolume*>(new Volume(info_));
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    if (!store) return E_POINTER;
    *store = new PropertyStore(info_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    if (!id) return E_POINTER;
    *id = TaskString(info_.id);
    return *id ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    if (!state) return E_POINTER;
    *state = DEVICE_STATE_ACTIVE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* flow) override {
    if (!flow) return E_POINTER;
    *flow = info_.flow;
    return S_OK;
  }

 private:
  const EndpointInfo info_;
};

class Collection final : public IMMDeviceCollection, Counted {
 public:
  explicit Collection(std::vector<EndpointInfo> list) : list_(std::move(list)) {}
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMMDeviceCollection)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = UINT(list_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (!device) return E_POINTER;
    *device = nullptr;
    if (index >= list_.size()) return E_INVALIDARG;
    *device = new Device(list_[index]);
    return S_OK;
  }

 private:
  const std::vector<EndpointInfo> list_;
};

bool FlowMatches(EDataFlow wanted, EDataFlow flow) { return wanted == eAll || wanted == flow; }

class Enumerator final : public IMMDeviceEnumerator, Counted {
 public:
  TQM_COUNTED_REFS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMMDeviceEnumerator)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** devices) override {
    if (!devices) return E_POINTER;
    *devices = nullptr;
    if (flow < eRender || flow > eAll || (mask & ~DEVICE_STATEMASK_ALL)) return E_INVALIDARG;
    std::vector<EndpointInfo> list;
    // Every endpoint of the machine is active.
    if (mask & DEVICE_STATE_ACTIVE) {
      for (EndpointInfo& e : DescribeAll())
        if (FlowMatches(flow, e.flow)) list.push_back(std::move(e));
    }
    *devices = new Collection(std::move(list));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
    if (!device) return E_POINTER;
    *device = nullptr;
    if (flow != eRender && flow != eCapture) return E_INVALIDARG;
    if (role < eConsole || role > eCommunications) return E_INVALIDARG;
    for (const EndpointInfo& e : DescribeAll()) {
      if (e.flow != flow) continue;
      *device = new Device(e);
      return S_OK;
    }
    return kNotFound;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
    if (!device || !id) return E_POINTER;
    *device = nullptr;
    for (const EndpointInfo& e : DescribeAll()) {
      if (e.id != id) continue;
      *device = new Device(e);
      return S_OK;
    }
    return kNotFound;
  }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }
};

uint32_t Control(tqm::bridge::MachineOp op, uint64_t a1, uint64_t a2, Message* reply) {
  Message m;
  m.type = MessageType::Machine;
  m.a[0] = uint64_t(op);
  m.a[1] = a1;
  m.a[2] = a2;
  std::optional<Message> r = tqmsim::Request(m);
  if (!r) return kNoServer;
  if (reply) *reply = *r;
  return r->status;
}

}  // namespace

void tqmsim::DeliverEndpointChange(const Message& change) { Notifier::Get().Deliver(change); }

namespace sys {

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
  if (!IsEqualCLSID(clsid, CLSID_MMDeviceEnumerator)) return ::CoCreateInstance(clsid, outer, context, iid, object);
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  // As COM itself: the calling thread must have entered an apartment.
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  if (FAILED(CoGetApartmentType(&type, &qualifier))) return CO_E_NOTINITIALIZED;
  auto* enumerator = new Enumerator();
  const HRESULT hr = enumerator->QueryInterface(iid, object);
  enumerator->Release();
  return hr;
}

}  // namespace sys

uint32_t TqmSimEndpointSetLevels(uint32_t flow, float leftDb, float rightDb) {
  return Control(tqm::bridge::MachineOp::EndpointLevels, flow, FloatBits(leftDb) | FloatBits(rightDb) << 32,
                 nullptr);
}

uint32_t TqmSimEndpointSetMute(uint32_t flow, int mute) {
  return Control(tqm::bridge::MachineOp::EndpointMute, flow, mute ? 1 : 0, nullptr);
}

uint32_t TqmSimEndpointRead(uint32_t flow, float* leftDb, float* rightDb, int* mute) {
  Message reply;
  const uint32_t status = Control(tqm::bridge::MachineOp::EndpointRead, flow, 0, &reply);
  if (status != 0) return status;
  if (leftDb) *leftDb = BitsFloat(reply.a[0]);
  if (rightDb) *rightDb = BitsFloat(reply.a[0] >> 32);
  if (mute) *mute = reply.a[1] != 0;
  return status;
}

uint32_t TqmSimEndpointExtra(uint32_t kind, int present) {
  return Control(tqm::bridge::MachineOp::EndpointExtra, kind, present ? 1 : 0, nullptr);
}

uint32_t TqmSimEndpointsPresent(int present) {
  return Control(tqm::bridge::MachineOp::EndpointsPresent, present ? 1 : 0, 0, nullptr);
}

uint32_t TqmSimFeatureUnits(uint32_t device, TqmSimFeatureUnit* playback, TqmSimFeatureUnit* record) {
  Message reply;
  const uint32_t status = Control(tqm::bridge::MachineOp::FeatureUnits, device, 0, &reply);
  if (status != 0) return status;
  const auto unpack = [](uint64_t word, TqmSimFeatureUnit* unit) {
    if (!unit) return;
    unit->volume[0] = int16_t(uint16_t(word));
    unit->volume[1] = int16_t(uint16_t(word >> 16));
    unit->mute = int((word >> 32) & 1);
  };
  unpack(reply.a[0], playback);
  unpack(reply.a[1], record);
  return status;
}

uint32_t TqmSimCoreAudioObjects(uint64_t* objects, uint64_t* registrations) {
  if (objects) *objects = g_objects.load();
  if (registrations) *registrations = Notifier::Get().Count();
  return 0;
}
