// The panel's Windows endpoints against the simulated machine's Core Audio,
// under Wine: the search with its identity strings, the listener and where it
// posts, levels and mutes read and set through the companion down to the
// device's feature units, the change message with the held button and the
// panel's own changes, the fallback when the endpoints go, and that every
// interface is given back on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "panel/endpoint_callback.h"
#include "panel/endpoint_core_audio.h"
#include "panel/panel_app.h"
#include "panel/shell_hooks.h"
#include "panel_bench.h"
#include "platform/bridge/sys.h"
#include "platform/bridge/tqmsim/control.h"
#include "settings_rules.h"
#include "toolkit.h"

namespace tqm::panel::testing {
namespace {

constexpr uint32_t kUnrelated = 1, kThirdPin = 2;
constexpr uint32_t kDeviceInvalidated = 0x88890004;

struct Live {
  uint64_t objects = 0, registrations = 0;
};
Live CoreAudioLive() {
  Live live;
  EXPECT_EQ(TqmSimCoreAudioObjects(&live.objects, &live.registrations), 0u);
  return live;
}

struct EndpointLevels {
  float left = 99, right = 99;
  int mute = 99;
};
EndpointLevels ReadEndpoint(uint32_t flow) {
  EndpointLevels e;
  EXPECT_EQ(TqmSimEndpointRead(flow, &e.left, &e.right, &e.mute), 0u) << "flow " << flow;
  return e;
}

// ---- the table and the listener, driven through their COM calls ----

class CoreAudio : public PanelBench {
 protected:
  void TearDown() override {
    table_.reset();
    PanelBench::TearDown();
  }
  CoreAudioEndpointTable& Table() {
    table_ = std::make_unique<CoreAudioEndpointTable>(main_);
    return *table_;
  }
  std::unique_ptr<CoreAudioEndpointTable> table_;
};

TEST_F(CoreAudio, SearchKeepsTheDevicesEndpointsInSlotZeroWhateverComesBeforeThem) {
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.0f, -7.0f), 0u);
  ASSERT_EQ(TqmSimEndpointSetLevels(1, 3.0f, 4.0f), 0u);
  struct Row {
    bool unrelated, thirdPin;
    const char* why;
  };
  const Row rows[] = {
      {false, false, "the device's two endpoints alone"},
      {true, false, "another device's endpoint first, whose topology cannot be read: skipped"},
      {false, true, "the device's endpoint whose connected id ends in 3 (at -20 dB): ignored"},
      {true, true, "both before the device's own"},
  };
  for (const Row& r : rows) {
    ASSERT_EQ(TqmSimEndpointExtra(kUnrelated, r.unrelated), 0u);
    ASSERT_EQ(TqmSimEndpointExtra(kThirdPin, r.thirdPin), 0u);
    CoreAudioEndpointTable& t = Table();
    EXPECT_TRUE(t.Search()) << r.why;
    EXPECT_TRUE(t.filled(0, 0) && t.filled(1, 0)) << r.why;
    EXPECT_FALSE(t.filled(0, 1) || t.filled(1, 1)) << r.why;
    float left = 0, right = 0;
    ASSERT_TRUE(t.ReadLevels(0, 0, left, right)) << r.why;
    EXPECT_EQ(left, -6.0f) << r.why;
    EXPECT_EQ(right, -7.0f) << r.why;
    ASSERT_TRUE(t.ReadLevels(1, 0, left, right)) << r.why;
    EXPECT_EQ(left, 3.0f) << r.why;
    table_.reset();
    EXPECT_EQ(CoreAudioLive().objects, 0u) << r.why;
  }
}

TEST_F(CoreAudio, WithoutTheDevicesEndpointsTheSearchFindsNothing) {
  ASSERT_EQ(TqmSimEndpointExtra(kUnrelated, 1), 0u);
  ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
  CoreAudioEndpointTable& t = Table();
  EXPECT_FALSE(t.Search());
  EXPECT_FALSE(t.filled(0, 0) || t.filled(1, 0));
  EXPECT_TRUE(t.RegisterListeners()) << "nothing to register is no failure";
  float left = 5, right = 5;
  EXPECT_FALSE(t.ReadLevels(0, 0, left, right));
  EXPECT_FALSE(t.SetLevels(0, 0, -1.0f, -1.0f));
  EXPECT_EQ(CoreAudioLive().objects, 0u);
}

// Each row stops somewhere else; whatever was taken is given back.
TEST_F(CoreAudio, EveryInterfaceIsReleasedOnEveryPath) {
  struct Row {
    bool unrelated;
    bool goneBeforeRegistering;
    bool register_;
    uint64_t registered;  // listeners registered after the registration
    const char* why;
  };
  const Row rows[] = {
      {false, false, true, 2, "found, registered, released"},
      {true, false, true, 2, "a skipped endpoint on the way"},
      {false, true, true, 0, "the endpoints go between the search and the registration"},
      {false, false, false, 0, "found and released without listeners"},
  };
  for (const Row& r : rows) {
    ASSERT_EQ(TqmSimEndpointExtra(kUnrelated, r.unrelated), 0u);
    ASSERT_EQ(TqmSimEndpointsPresent(1), 0u);
    CoreAudioEndpointTable& t = Table();
    ASSERT_TRUE(t.Search()) << r.why;
    if (r.goneBeforeRegistering) {
      ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
    }
    if (r.register_) {
      EXPECT_EQ(t.RegisterListeners(), !r.goneBeforeRegistering) << r.why;
    }
    EXPECT_EQ(CoreAudioLive().registrations, r.registered) << r.why;
    // A second round replaces what the first registered, leaving no extra.
    if (r.register_ && !r.goneBeforeRegistering) {
      ASSERT_TRUE(t.Search()) << r.why;
      ASSERT_TRUE(t.RegisterListeners()) << r.why;
      EXPECT_EQ(CoreAudioLive().registrations, 2u) << r.why;
    }
    t.Release();
    const Live live = CoreAudioLive();
    EXPECT_EQ(live.objects, 0u) << r.why;
    EXPECT_EQ(live.registrations, 0u) << r.why;
    table_.reset();
  }
}

TEST_F(CoreAudio, AFailedReadLeavesTheCallersValuesAsTheyWere) {
  CoreAudioEndpointTable& t = Table();
  ASSERT_TRUE(t.Search());
  ASSERT_TRUE(t.RegisterListeners());
  ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
  for (int flow = 0; flow < 2; ++flow) {
    float left = 1.5f, right = 2.5f;
    int32_t mute = 7;
    EXPECT_FALSE(t.ReadLevels(flow, 0, left, right)) << flow;
    EXPECT_FALSE(t.ReadMute(flow, 0, mute)) << flow;
    EXPECT_EQ(left, 1.5f) << flow;
    EXPECT_EQ(right, 2.5f) << flow;
    EXPECT_EQ(mute, 7) << flow;
    EXPECT_FALSE(t.SetLevels(flow, 0, 0.0f, 0.0f)) << flow;
    EXPECT_FALSE(t.SetMute(flow, 0, 1)) << flow;
  }
}

TEST_F(CoreAudio, SlotsOutsideTheTableFailWithoutTouchingAnEndpoint) {
  CoreAudioEndpointTable& t = Table();
  ASSERT_TRUE(t.Search());
  const std::pair<int, int> bad[] = {{0, 2}, {0, -1}, {2, 0}, {-1, 0}, {0, 1}};
  for (const auto& [flow, slot] : bad) {
    float left = 0, right = 0;
    int32_t mute = 0;
    EXPECT_FALSE(t.ReadLevels(flow, slot, left, right)) << flow << "/" << slot;
    EXPECT_FALSE(t.ReadMute(flow, slot, mute)) << flow << "/" << slot;
    EXPECT_FALSE(t.SetLevels(flow, slot, -3.0f, -3.0f)) << flow << "/" << slot;
    EXPECT_FALSE(t.SetMute(flow, slot, 1)) << flow << "/" << slot;
  }
  EXPECT_EQ(ReadEndpoint(0).left, 0.0f) << "no set reached the device's endpoint";
  EXPECT_EQ(ReadEndpoint(0).mute, 0);
}

TEST_F(CoreAudio, LevelsBeyondTheEndpointsRangeAreClampedIntoIt) {
  CoreAudioEndpointTable& t = Table();
  ASSERT_TRUE(t.Search());
  // The render range is -96..0 dB, the capture range -96..+12 dB.
  struct Row {
    int flow;
    float left, right, wantLeft, wantRight;
  };
  const Row rows[] = {{0, 5.0f, -120.0f, 0.0f, -96.0f}, {1, 20.0f, -12.5f, 12.0f, -12.5f}};
  for (const Row& r : rows) {
    ASSERT_TRUE(t.SetLevels(r.flow, 0, r.left, r.right)) << r.flow;
    const EndpointLevels e = ReadEndpoint(uint32_t(r.flow));
    EXPECT_EQ(e.left, r.wantLeft) << r.flow;
    EXPECT_EQ(e.right, r.wantRight) << r.flow;
  }
}

TEST_F(CoreAudio, ListenerPostsToTheMainWindowOnlyAndMarksThePanelsOwnChanges) {
  HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               instance_, nullptr);
  ASSERT_NE(other, nullptr);
  auto* listener = new CAudioEndpointVolumeCallback(main_, 1, 0);
  struct Row {
    const GUID* context;
    WPARAM wparam;
  };
  const Row rows[] = {{&GUID_NULL, 1}, {&kPanelEventContext, 1 | kOwnEndpointChange}};
  for (const Row& r : rows) {
    AUDIO_VOLUME_NOTIFICATION_DATA data{};
    data.guidEventContext = *r.context;
    data.nChannels = 1;
    EXPECT_EQ(listener->OnNotify(&data), S_OK);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, main_, MSG_ENDPOINT_CHANGED, MSG_ENDPOINT_CHANGED, PM_REMOVE));
    EXPECT_EQ(msg.wParam, r.wparam);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_FALSE(PeekMessageW(&msg, other, 0, 0, PM_REMOVE)) << "nothing reaches another window";
    EXPECT_FALSE(PeekMessageW(&msg, main_, MSG_ENDPOINT_CHANGED, MSG_ENDPOINT_CHANGED, PM_REMOVE)) << "one post";
  }
  EXPECT_EQ(listener->OnNotify(nullptr), E_INVALIDARG);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, MSG_ENDPOINT_CHANGED, MSG_ENDPOINT_CHANGED, PM_REMOVE));

  // Interfaces it answers (with a reference) and those it does not.
  struct Ask {
    IID iid;
    HRESULT result;
  };
  const Ask asks[] = {{IID_IUnknown, S_OK},
                      {__uuidof(IAudioEndpointVolumeCallback), S_OK},
                      {__uuidof(IAudioEndpointVolume), E_NOINTERFACE},
                      {__uuidof(IMMDevice), E_NOINTERFACE}};
  for (const Ask& a : asks) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(listener->QueryInterface(a.iid, &object), a.result);
    if (a.result == S_OK) {
      EXPECT_EQ(object, static_cast<IAudioEndpointVolumeCallback*>(listener));
      EXPECT_EQ(listener->Release(), 1u) << "the answer added a reference";
    } else {
      EXPECT_EQ(object, nullptr);
    }
  }
  EXPECT_EQ(listener->Release(), 0u);
  DestroyWindow(other);
}

// A listener of the test's own, to see what the machine delivers.
class Recorder : public IAudioEndpointVolumeCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--refs); }
  HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override {
    thread = GetCurrentThreadId();
    context = data->guidEventContext;
    muted = data->bMuted;
    channels = data->nChannels;
    ++calls;
    return S_OK;
  }
  std::atomic<LONG> refs{1};
  std::atomic<int> calls{0};
  DWORD thread = 0;
  GUID context{};
  BOOL muted = FALSE;
  UINT channels = 0;
};

TEST_F(CoreAudio, AnotherProgramsChangeReachesEveryListenerOnAThreadOfItsOwn) {
  const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ASSERT_TRUE(SUCCEEDED(entered));
  IMMDeviceEnumerator* enumerator = nullptr;
  ASSERT_EQ(sys::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator)),
            S_OK);
  IMMDevice* device = nullptr;
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), S_OK);
  IAudioEndpointVolume* volumes[2] = {};
  Recorder recorders[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                               reinterpret_cast<void**>(&volumes[i])),
              S_OK);
    ASSERT_EQ(volumes[i]->RegisterControlChangeNotify(&recorders[i]), S_OK);
    EXPECT_EQ(recorders[i].refs.load(), 2) << "the registration holds a reference";
  }
  ASSERT_EQ(TqmSimEndpointSetMute(0, 1), 0u);
  for (Recorder& r : recorders) {
    ASSERT_TRUE(WaitFor([&] { return r.calls.load() == 1; }));
    EXPECT_NE(r.thread, GetCurrentThreadId());
    EXPECT_TRUE(IsEqualGUID(r.context, GUID_NULL)) << "another program's change carries no context";
    EXPECT_TRUE(r.muted);
    EXPECT_EQ(r.channels, 2u);
  }
  // The capture endpoint's change is not the render listeners' business.
  ASSERT_EQ(TqmSimEndpointSetLevels(1, -3.0f, -3.0f), 0u);
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -3.0f, -3.0f), 0u);
  ASSERT_TRUE(WaitFor([&] { return recorders[1].calls.load() == 2; }));
  EXPECT_EQ(recorders[0].calls.load(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(volumes[i]->UnregisterControlChangeNotify(&recorders[i]), S_OK);
    EXPECT_EQ(recorders[i].refs.load(), 1);
    volumes[i]->Release();
  }
  device->Release();
  enumerator->Release();
  const Live live = CoreAudioLive();
  EXPECT_EQ(live.objects, 0u);
  EXPECT_EQ(live.registrations, 0u);
  CoUninitialize();
}

// ---- the whole panel ----

std::vector<std::wstring> g_boxes;
int RecordBox(HWND, const wchar_t* text, const wchar_t*, UINT) {
  g_boxes.push_back(text);
  return IDOK;
}
BOOL NoIcon(DWORD, NOTIFYICONDATAW*) { return TRUE; }
BOOL NoProgram(const wchar_t*) { return TRUE; }
void NoOpen(HWND, const wchar_t*) {}

class Endpoints : public PanelBench {
 protected:
  void SetUp() override {
    PanelBench::SetUp();
    DestroyWindow(main_);
    main_ = nullptr;
    widgets::TermControls();
    g_boxes.clear();
    SetShellHandlers({NoIcon, NoProgram, NoOpen});
    widgets::SetMessageBoxHandler(RecordBox);
  }
  void TearDown() override {
    if (window_) FinishPanel();
    window_ = nullptr;
    Pump();
    SetShellHandlers(DefaultShellHandlers());
    widgets::SetMessageBoxHandler(nullptr);
    widgets::InitControls(instance_);
    PanelBench::TearDown();
  }

  void Start() {
    wchar_t name[] = L"TQMPanel.exe";
    wchar_t* argv[] = {name};
    int code = -1;
    window_ = StartPanel(instance_, 1, argv, code);
    ASSERT_NE(window_, nullptr);
    Pump();
    ASSERT_TRUE(App().devicePresent);
  }
  // Settings stored as a previous run left them, so that the load takes the
  // endpoints' levels rather than setting the factory default on them.
  void StoreSettings() {
    const PanelSettings settings = PanelDefaults();
    StoreRaw(L"Mixer", REG_BINARY, &settings, sizeof settings);
  }
  MixerPanel& Mixer() { return *App().mixer; }
  std::pair<int, int> Fader(int strip) {
    int left = 0, right = 0;
    Mixer().strip(strip).FaderPositions(left, right);
    return {left, right};
  }
  // Handles the panel's own changes as they come and hands back the next
  // change of another origin, not yet handled; false when none came in 3 s.
  bool NextForeignChange(MSG* change) {
    for (int i = 0; i < 300; ++i) {
      while (PeekMessageW(change, window_, MSG_ENDPOINT_CHANGED, MSG_ENDPOINT_CHANGED, PM_REMOVE)) {
        if (!(change->wParam & kOwnEndpointChange)) return true;
        ++ownChanges_;
        DispatchMessageW(change);
      }
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    }
    return false;
  }
  // Handles every change that arrives within `ownWanted` own ones; counts
  // the foreign ones.
  bool HandleOwnChanges(int ownWanted, int* foreign) {
    for (int i = 0; i < 300 && ownChanges_ < ownWanted; ++i) {
      MSG change;
      while (PeekMessageW(&change, window_, MSG_ENDPOINT_CHANGED, MSG_ENDPOINT_CHANGED, PM_REMOVE)) {
        if (change.wParam & kOwnEndpointChange) ++ownChanges_;
        else ++*foreign;
        DispatchMessageW(&change);
      }
      if (ownChanges_ < ownWanted) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    }
    return ownChanges_ >= ownWanted;
  }
  void MoveFader(int strip, int left, int right) {
    Mixer().strip(strip).SetFader(left, right);
    SendMessageW(window_, WM_VSCROLL, SB_THUMBTRACK, reinterpret_cast<LPARAM>(Mixer().strip(strip).fader));
  }

  HWND window_ = nullptr;
  int ownChanges_ = 0;
};

TEST_F(Endpoints, PlaybackVolumeChangedInWindowsMovesTheOutputFaderWithinOneMessage) {
  Start();
  ASSERT_EQ(Fader(0), std::make_pair(110, 110));
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.0f, -6.0f), 0u);
  MSG change;
  ASSERT_TRUE(NextForeignChange(&change));
  EXPECT_EQ(change.wParam, 0u) << "slot 0";
  EXPECT_EQ(change.lParam, 0) << "the render flow";
  DispatchMessageW(&change);
  EXPECT_EQ(Fader(0), std::make_pair(98, 98));
  EXPECT_EQ(std::wstring(Mixer().labelText(0)), L"-6.0dB");
  EXPECT_EQ(Mixer().current().mixer.playVolume[0], 98);
  EXPECT_EQ(Mixer().current().mixer.playVolume[1], 98);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(Endpoints, WithTheLeftButtonHeldOnTheBackgroundAWindowsChangeDoesNotMoveTheFader) {
  Start();
  SendMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.0f, -6.0f), 0u);
  MSG change;
  ASSERT_TRUE(NextForeignChange(&change));
  DispatchMessageW(&change);
  EXPECT_EQ(Fader(0), std::make_pair(110, 110));
  EXPECT_EQ(std::wstring(Mixer().labelText(0)), L"0dB") << "the label shows the fader's own left position";
  EXPECT_EQ(Mixer().current().mixer.playVolume[0], 110);
  // Released: the next change is followed.
  SendMessageW(window_, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.5f, -6.0f), 0u);
  ASSERT_TRUE(NextForeignChange(&change));
  DispatchMessageW(&change);
  EXPECT_EQ(Fader(0), std::make_pair(97, 98));
}

TEST_F(Endpoints, LoadTakesTheDevicesEndpointsPastAnUnreadableOneAndOneEndingInThree) {
  StoreSettings();
  ASSERT_EQ(TqmSimEndpointExtra(kUnrelated, 1), 0u);
  ASSERT_EQ(TqmSimEndpointExtra(kThirdPin, 1), 0u);
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.0f, -6.0f), 0u);
  ASSERT_EQ(TqmSimEndpointSetLevels(1, 6.0f, 5.5f), 0u);
  ASSERT_EQ(TqmSimEndpointSetMute(1, 1), 0u);
  Start();
  // Not the third endpoint's -20 dB (70), nor the unrelated one's -30 dB (50).
  EXPECT_EQ(Fader(0), std::make_pair(98, 98));
  EXPECT_EQ(Fader(1), std::make_pair(92, 91));
  EXPECT_EQ(Mixer().current().mixer.recordMute, 1);
  EXPECT_EQ(Mixer().strip(1).MuteChecked(), 1);
  // A fader move goes to the device's render endpoint.
  MoveFader(0, 90, 90);
  EXPECT_EQ(ReadEndpoint(0).left, -10.0f);
}

TEST_F(Endpoints, AChangeWhoseEndpointCannotBeReadKeepsTheStripAsItWas) {
  Start();
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -6.0f, -6.5f), 0u);
  MSG change;
  ASSERT_TRUE(NextForeignChange(&change));
  DispatchMessageW(&change);
  ASSERT_EQ(Fader(0), std::make_pair(98, 97));
  ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
  SendMessageW(window_, MSG_ENDPOINT_CHANGED, 0, 0);
  EXPECT_EQ(Fader(0), std::make_pair(98, 97));
  EXPECT_EQ(Mixer().current().mixer.playVolume[0], 98);
  EXPECT_EQ(Mixer().current().mixer.playVolume[1], 97);
  EXPECT_EQ(std::wstring(Mixer().labelText(0)), L"-6.0dB");
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(Endpoints, SixtyDecibelsDownGivesOutputPositionMinusTenStoredAsComputed) {
  Start();
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -60.0f, -60.0f), 0u);
  MSG change;
  ASSERT_TRUE(NextForeignChange(&change));
  DispatchMessageW(&change);
  EXPECT_EQ(Mixer().current().mixer.playVolume[0], -10);
  EXPECT_EQ(Mixer().current().mixer.playVolume[1], -10);
  EXPECT_EQ(std::wstring(Mixer().labelText(0)), L"-60.0dB");
}

TEST_F(Endpoints, FirstStartWithAnEmptyRegistrySetsBothEndpointsToUnityUnmuted) {
  ASSERT_EQ(TqmSimEndpointSetLevels(0, -20.0f, -25.0f), 0u);
  ASSERT_EQ(TqmSimEndpointSetMute(0, 1), 0u);
  ASSERT_EQ(TqmSimEndpointSetLevels(1, -10.0f, 8.0f), 0u);
  ASSERT_EQ(TqmSimEndpointSetMute(1, 1), 0u);
  Start();
  for (uint32_t flow = 0; flow < 2; ++flow) {
    const EndpointLevels e = ReadEndpoint(flow);
    EXPECT_EQ(e.left, 0.0f) << flow;
    EXPECT_EQ(e.right, 0.0f) << flow;
    EXPECT_EQ(e.mute, 0) << flow;
  }
  EXPECT_EQ(Fader(0), std::make_pair(110, 110));
  EXPECT_EQ(Fader(1), std::make_pair(80, 80));
}

TEST_F(Endpoints, FaderMoveReachesTheDeviceAndComesBackWithoutMovingTheFader) {
  Start();
  int foreign = 0;
  const int ownBefore = ownChanges_;
  MoveFader(0, 86, 86);  // -12 dB
  const EndpointLevels e = ReadEndpoint(0);
  EXPECT_EQ(e.left, -12.0f);
  EXPECT_EQ(e.right, -12.0f);
  // The companion forwards it; the driver's deferred apply sets the feature
  // unit (1/256 dB) 50 ms later.
  TqmSimFeatureUnit playback{}, record{};
  EXPECT_TRUE(WaitFor([&] {
    return TqmSimFeatureUnits(0, &playback, &record) == 0 && playback.volume[0] == -12 * 256 &&
           playback.volume[1] == -12 * 256;
  })) << playback.volume[0] << " " << playback.volume[1];
  // Meanwhile the user drags on: the two changes coming back (one per
  // channel) must not pull the fader back to -12 dB.
  Mixer().strip(0).SetFader(80, 80);
  ASSERT_TRUE(HandleOwnChanges(ownBefore + 2, &foreign));
  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(Fader(0), std::make_pair(80, 80));
  EXPECT_EQ(Mixer().current().mixer.playVolume[0], 86);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(Endpoints, EndpointsGoneFallBackToTheDriverSilentlyAndComeBackAtTheNextArrival) {
  Start();
  ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
  MoveFader(0, 90, 84);
  float left = 0, right = 0;
  int mute = 0;
  EXPECT_EQ(TqmSimEndpointRead(0, &left, &right, &mute), kDeviceInvalidated);
  MixerSettings d = DriverSettings();
  EXPECT_EQ(d.playVolume[0], 90) << "the driver got the fader itself";
  EXPECT_EQ(d.playVolume[1], 84);
  SendMessageW(window_, WM_COMMAND, ChannelStrip::kMuteId + 1, 0);
  EXPECT_EQ(DriverSettings().recordMute, 1);
  EXPECT_TRUE(g_boxes.empty()) << "no message is shown";

  ASSERT_EQ(TqmSimEndpointsPresent(1), 0u);
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return !App().devicePresent; }));
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return App().devicePresent != 0; }));
  ASSERT_EQ(driver_.Enumerate(), 1);
  driver_.Select(0);
  MoveFader(0, 86, 86);
  EXPECT_EQ(ReadEndpoint(0).left, -12.0f) << "the endpoint has the fader again";
  EXPECT_TRUE(g_boxes.empty());
}

}  // namespace
}  // namespace tqm::panel::testing
