// TQMPanel's process frame and main window against the driver on the
// simulated machine, under Wine: the window the entry sequence makes, the
// device's arrival and removal, the listeners, every command with the device
// present and absent, the 10 ms timer, the registry's read and write points,
// and the program itself as a second instance.
#include "panel/panel_app.h"

#include <dbt.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "panel/resource_ids.h"
#include "panel/shell_hooks.h"
#include "panel_bench.h"
#include "platform/bridge/tqmsim/control.h"
#include "toolkit.h"
#include "tqm/command_record.h"
#include "tqm/identity.h"
#include "tqm/status_block.h"
#include "tqm/version.h"

namespace tqm::panel::testing {
namespace {

struct IconCall {
  DWORD message;
  UINT id;
  UINT callback;
};
std::vector<IconCall> g_icons;
std::vector<std::wstring> g_programs;
std::vector<std::wstring> g_opened;
struct Box {
  HWND owner;
  std::wstring text, caption;
  UINT type;
};
std::vector<Box> g_boxes;

BOOL RecordIcon(DWORD message, NOTIFYICONDATAW* data) {
  g_icons.push_back({message, data->uID, data->uCallbackMessage});
  return TRUE;
}
BOOL RecordProgram(const wchar_t* line) {
  g_programs.push_back(line);
  return TRUE;
}
void RecordOpen(HWND, const wchar_t* target) { g_opened.push_back(target); }
int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  g_boxes.push_back({owner, text, caption, type});
  return IDOK;
}

const GUID kClass = {kInterfaceGuid.data1,
                     kInterfaceGuid.data2,
                     kInterfaceGuid.data3,
                     {kInterfaceGuid.data4[0], kInterfaceGuid.data4[1], kInterfaceGuid.data4[2],
                      kInterfaceGuid.data4[3], kInterfaceGuid.data4[4], kInterfaceGuid.data4[5],
                      kInterfaceGuid.data4[6], kInterfaceGuid.data4[7]}};

#define TQM_WIDE_(text) L##text
#define TQM_WIDE(text) TQM_WIDE_(text)
// What the title says with the store as the server starts it: our package at
// the build's version.
const wchar_t* const kStoreTitle = L"TQM27 v" TQM_WIDE(TQM_VERSION_TEXT);

class Panel : public PanelBench {
 protected:
  void SetUp() override {
    PanelBench::SetUp();
    // The bench's own window and toolkit are not the panel's: the panel
    // starts the toolkit itself.
    DestroyWindow(main_);
    main_ = nullptr;
    widgets::TermControls();
    g_icons.clear();
    g_programs.clear();
    g_opened.clear();
    g_boxes.clear();
    SetShellHandlers({RecordIcon, RecordProgram, RecordOpen});
    widgets::SetMessageBoxHandler(RecordBox);
  }
  void TearDown() override {
    Finish();
    SetShellHandlers(DefaultShellHandlers());
    widgets::SetMessageBoxHandler(nullptr);
    widgets::InitControls(instance_);  // the bench's TearDown ends it
    PanelBench::TearDown();
  }

  HWND Start(std::vector<std::wstring> args = {}) {
    args_ = args;
    args_.insert(args_.begin(), L"TQMPanel.exe");
    argv_.clear();
    for (auto& a : args_) argv_.push_back(a.data());
    int code = -1;
    window_ = StartPanel(instance_, static_cast<int>(argv_.size()), argv_.data(), code);
    Pump();
    return window_;
  }
  void Finish() {
    if (window_) FinishPanel();
    window_ = nullptr;
    Pump();
  }
  int Command(int id) { return static_cast<int>(SendMessageW(window_, WM_COMMAND, id, 0)); }
  bool Checked(int id) { return (GetMenuState(GetMenu(window_), id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
  static bool Shown(HWND control) { return control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0; }
  MixerPanel* Mixer() { return App().mixer.get(); }
  void Tick() { SendMessageW(window_, WM_TIMER, kPanelTimerId, 0); }
  int IconCalls(DWORD message) const {
    int n = 0;
    for (const auto& c : g_icons) n += c.message == message && c.id == kNotifyIconId;
    return n;
  }
  std::wstring Title() {
    wchar_t text[128] = {};
    GetWindowTextW(window_, text, 128);
    return text;
  }
  void Unplug() {
    driver_.CloseAll();
    ASSERT_EQ(TqmSimUnplug(), 0u);
    ASSERT_TRUE(WaitFor([&] { return !App().devicePresent; })) << "no removal reached the panel";
  }
  void Plug() {
    ASSERT_EQ(TqmSimPlug(), 0u);
    ASSERT_TRUE(WaitFor([&] { return App().devicePresent != 0; })) << "no arrival reached the panel";
    ASSERT_EQ(driver_.Enumerate(), 1);
    driver_.Select(0);
  }
  int32_t StoredInt(const wchar_t* name) {
    const std::vector<uint8_t> bytes = Stored(name);
    int32_t v = 0x7FFFFFFF;
    if (bytes.size() == 4) std::memcpy(&v, bytes.data(), 4);
    return v;
  }

  std::vector<std::wstring> args_;
  std::vector<wchar_t*> argv_;
  HWND window_ = nullptr;
};

TEST(PanelCommandLine, OnlyDefaultExactlyAndAloneCounts) {
  struct Row {
    std::vector<std::wstring> args;
    bool defaults;
    const char* why;
  };
  const Row rows[] = {
      {{L"TQMPanel.exe", L"/default"}, true, "the switch alone"},
      {{L"TQMPanel.exe"}, false, "no argument"},
      {{L"TQMPanel.exe", L"/Default"}, false, "capital D"},
      {{L"TQMPanel.exe", L"/default", L"x"}, false, "with another argument"},
      {{L"TQMPanel.exe", L"x", L"/default"}, false, "with another argument before it"},
      {{L"TQMPanel.exe", L"/defaults"}, false, "longer"},
      {{L"TQMPanel.exe", L"/defaul"}, false, "shorter"},
  };
  for (const Row& r : rows) {
    std::vector<std::wstring> args = r.args;
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    EXPECT_EQ(DefaultsRequestedBy(static_cast<int>(argv.size()), argv.data()), r.defaults) << r.why;
  }
}

TEST_F(Panel, StartsHiddenWithTheDevicePresent) {
  ASSERT_NE(Start(), nullptr);
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_TRUE(App().devicePresent);
  EXPECT_EQ(Title(), L"TQM v3.3");
  // The stale icon is deleted first, then the icon added.
  ASSERT_GE(g_icons.size(), 2u);
  EXPECT_EQ(g_icons[0].message, DWORD(NIM_DELETE));
  EXPECT_EQ(g_icons[1].message, DWORD(NIM_ADD));
  EXPECT_EQ(g_icons[1].callback, MSG_TRAY_CALLBACK);
  EXPECT_TRUE(Shown(Mixer()->strip(0).fader));
  EXPECT_TRUE(Shown(Mixer()->strip(1).mute));
  EXPECT_TRUE(App().listeners[kRateListener].running());
  EXPECT_TRUE(App().listeners[kStopListener].running());
  EXPECT_TRUE(Checked(IDM_LATENCY_256));
  EXPECT_TRUE(Checked(IDM_WHEEL_1));
  EXPECT_TRUE(Checked(IDM_BUFFERS_2 + 1)) << "buffer number 3";
  wchar_t name[64] = {};
  GetClassNameW(window_, name, 64);
  EXPECT_EQ(std::wstring(name), L"TQM27 Class");
}

TEST_F(Panel, WindowSizeFollowsTheBackgroundPicture) {
  ASSERT_NE(Start(), nullptr);
  RECT r{};
  GetWindowRect(window_, &r);
  // The 188 x 300 background.
  EXPECT_EQ(r.right - r.left, 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXDLGFRAME) + 188 + 12);
  EXPECT_EQ(r.bottom - r.top, 2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYDLGFRAME) +
                                  GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + 300 + 11);
}

TEST_F(Panel, StoredPositionIsUsedAndOneOffTheScreenRecentres) {
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  const int cx = (screenW - 200) / 2, cy = (screenH - 311) / 2;
  struct Row {
    std::vector<uint8_t> x, y;  // empty: not stored
    int wantX, wantY;
    const char* why;
  };
  auto le = [](int32_t v) {
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  const Row rows[] = {
      {le(10), le(20), 10, 20, "stored position"},
      {{}, {}, cx, cy, "nothing stored: centred"},
      {le(-5), le(20), cx, 20, "negative x recentres horizontally only"},
      {{0xF6, 0xFF, 0xFF, 0xFF}, le(30), cx, 30, "F6 FF FF FF is -10"},
      {le(screenW - 199), le(0), cx, 0, "beyond the right edge"},
      {le(0), le(screenH), 0, cy, "beyond the bottom edge recentres vertically only"},
  };
  for (const Row& r : rows) {
    ClearRegistry();
    if (!r.x.empty()) StoreRaw(L"WinX", REG_BINARY, r.x.data(), 4);
    if (!r.y.empty()) StoreRaw(L"WinY", REG_BINARY, r.y.data(), 4);
    ASSERT_NE(Start(), nullptr) << r.why;
    RECT rect{};
    GetWindowRect(window_, &rect);
    EXPECT_EQ(rect.left, r.wantX) << r.why;
    EXPECT_EQ(rect.top, r.wantY) << r.why;
    Finish();
  }
}

TEST_F(Panel, AbsentAtStartThenPluggedUnpluggedThreeTimesLeavesNothingBehind) {
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  ASSERT_NE(Start(), nullptr);
  EXPECT_FALSE(App().devicePresent);
  EXPECT_EQ(Title(), kStoreTitle) << "the installed driver, from the store";
  EXPECT_EQ(IconCalls(NIM_ADD), 0);
  EXPECT_FALSE(Shown(Mixer()->strip(0).fader));
  EXPECT_FALSE(App().listeners[kStopListener].running());
  const uint64_t handles = MachineHandles();
  const int threads = ThreadsOfThisProcess();
  for (int round = 0; round < 3; ++round) {
    Plug();
    // Each arrival is a new device, whose log starts empty: the exchange's
    // two command reports.
    const auto hid = HidCommands();
    ASSERT_EQ(hid.size(), 2u) << round;
    EXPECT_EQ(hid[0], std::make_pair(uint8_t(0x60), uint8_t(0x60))) << round;
    EXPECT_EQ(hid[1], std::make_pair(uint8_t(0x60), uint8_t(0x20))) << round;
    EXPECT_TRUE(Shown(Mixer()->strip(0).fader)) << round;
    EXPECT_EQ(IconCalls(NIM_ADD), round + 1) << round;
    EXPECT_TRUE(App().listeners[kRateListener].running()) << round;
    EXPECT_TRUE(App().listeners[kStopListener].running()) << round;
    EXPECT_TRUE(Mixer()->mapped()) << round;
    driver_.CloseAll();
    Unplug();
    Pump();
    EXPECT_FALSE(Shown(Mixer()->strip(0).fader)) << round;
    EXPECT_FALSE(Shown(Mixer()->strip(1).meterRight)) << round;
    EXPECT_EQ(IconCalls(NIM_DELETE), round + 2) << round;
    EXPECT_FALSE(App().listeners[kRateListener].running()) << round;
    EXPECT_FALSE(App().listeners[kStopListener].running()) << round;
    EXPECT_EQ(MachineHandles(), handles) << round;
    EXPECT_EQ(ThreadsOfThisProcess(), threads) << round;
  }
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

// The title of a panel that starts without the device comes from the driver
// store: every node's driver list, through the matching rule. Each row fills
// the store afresh; every set and list the discovery obtains is destroyed.
TEST_F(Panel, TitleWithoutTheDeviceNamesTheStoresMatchingDriver) {
  constexpr auto V = [](unsigned a, unsigned b, unsigned c, unsigned d) {
    return uint64_t(a) << 48 | uint64_t(b) << 32 | uint64_t(c) << 16 | d;
  };
  struct Added {
    const wchar_t *manufacturer, *provider, *description;
    uint64_t version;
  };
  const Added ours1237{L"ORU", L"ORU", L"TQM27 Controller driver", V(1, 2, 3, 7)};
  const Added ours1245{L"ORU", L"ORU", L"TQM27 Controller driver", V(1, 2, 4, 5)};
  const Added classDriver{L"(Generic USB Audio)", L"Microsoft", L"USB Audio Device", V(10, 0, 19041, 9999)};
  struct Row {
    bool keepDefault;
    std::vector<Added> added;
    std::wstring title;
    const char* why;
  };
  const Row rows[] = {
      {true, {}, kStoreTitle, "the store as installed: the build's version"},
      {false, {ours1237, ours1245}, L"TQM27 v1.2.4.7", "last entry's major.minor.build, largest revision"},
      {true, {classDriver}, kStoreTitle, "the class driver beside ours is passed over"},
      {false, {classDriver}, L"TQM v3.3", "only an unrelated driver: string-table entry 1"},
      {false, {}, L"TQM v3.3", "an empty store: string-table entry 1"},
  };
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.why);
    if (!r.keepDefault) {
      ASSERT_EQ(TqmSimDriverStoreRemove(kTqmSimAllDriverEntries), 0u);
    }
    for (const Added& a : r.added)
      ASSERT_EQ(TqmSimDriverStoreAdd(a.manufacturer, a.provider, a.description, a.version), 0u);
    ASSERT_NE(Start(), nullptr);
    EXPECT_FALSE(App().devicePresent);
    EXPECT_EQ(Title(), r.title);
    uint64_t sets = 99, lists = 99;
    ASSERT_EQ(TqmSimDeviceInfoLists(&sets, &lists), 0u);
    EXPECT_EQ(sets, 0u);
    EXPECT_EQ(lists, 0u);
    Finish();
    // Back to the store as installed.
    ASSERT_EQ(TqmSimDriverStoreRemove(kTqmSimAllDriverEntries), 0u);
    ASSERT_EQ(TqmSimDriverStoreAdd(L"ORU", L"ORU", L"TQM27 Controller driver",
                                   V(TQM_VERSION_MAJOR, TQM_VERSION_MINOR, TQM_VERSION_BUILD, TQM_VERSION_REVISION)),
              0u);
  }
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

// Once a run has matched, a later run that matches nothing leaves the text
// it found: the removal after the store was emptied keeps the version.
TEST_F(Panel, TitleKeepsTheFoundVersionWhenTheStoreLaterHasNone) {
  ASSERT_NE(Start(), nullptr);
  EXPECT_EQ(Title(), L"TQM v3.3") << "the device is present at creation";
  Unplug();
  Pump();
  EXPECT_EQ(Title(), kStoreTitle) << "the removal runs the discovery";
  ASSERT_EQ(TqmSimDriverStoreRemove(kTqmSimAllDriverEntries), 0u);
  Plug();
  Unplug();
  Pump();
  EXPECT_EQ(Title(), kStoreTitle);
  uint64_t sets = 99, lists = 99;
  ASSERT_EQ(TqmSimDeviceInfoLists(&sets, &lists), 0u);
  EXPECT_EQ(sets, 0u);
  EXPECT_EQ(lists, 0u);
  Finish();
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.Enumerate() == 1; }));
}

// The load ends with one apply that carries the force flag and the loaded
// settings (the stored record here: with no Windows endpoint to read the
// levels from, the record is what is loaded); the applies of later commands
// do not force. The machine's log holds each apply's block as the panel sent it.
TEST_F(Panel, LoadEndsWithAForcedApplyOfTheLoadedSettings) {
  ASSERT_EQ(TqmSimEndpointsPresent(0), 0u);
  PanelSettings stored = PanelDefaults();
  stored.mixer.playVolume[0] = 100;
  stored.mixer.playVolume[1] = 90;
  stored.mixer.recordMute = 1;
  StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
  struct Apply {
    uint32_t index;
    MixerSettings block;
  };
  auto appliesSince = [](uint32_t from) {
    std::vector<Apply> applies;
    for (uint32_t i = from; i < CommandsLogged(); ++i) {
      TqmSimCommandEntry e{};
      EXPECT_EQ(TqmSimCommand(0, i, &e), 0u);
      if (e.commandClass != CMD_CLASS_CONTROL || e.subOp != ControlOp::ApplySettings) continue;
      EXPECT_EQ(e.settingsBytes, sizeof(MixerSettings)) << "apply " << i;
      Apply a{i, {}};
      std::memcpy(&a.block, e.settings, sizeof a.block);
      applies.push_back(a);
    }
    return applies;
  };
  const uint32_t before = CommandsLogged();
  ASSERT_NE(Start(), nullptr);
  const std::vector<Apply> load = appliesSince(before);
  ASSERT_FALSE(load.empty());
  for (size_t i = 0; i + 1 < load.size(); ++i) EXPECT_EQ(load[i].block.force, 0) << "apply " << load[i].index;
  const MixerSettings& forced = load.back().block;
  EXPECT_EQ(forced.force, 1);
  EXPECT_EQ(forced.playVolume[0], 100);
  EXPECT_EQ(forced.playVolume[1], 90);
  EXPECT_EQ(forced.recordMute, 1);
  EXPECT_EQ(DriverSettings().playVolume[1], 90);

  const uint32_t later = CommandsLogged();
  Command(3328);  // the routing view's change notice: apply the current settings
  const std::vector<Apply> routed = appliesSince(later);
  ASSERT_EQ(routed.size(), 1u);
  EXPECT_EQ(routed[0].block.force, 0);
  EXPECT_EQ(routed[0].block.playVolume[1], 90);
}

TEST_F(Panel, DestroyingTheWindowStopsTheListenersBeforeTheMixerGoes) {
  const uint64_t handles = MachineHandles();
  const int threads = ThreadsOfThisProcess();
  ASSERT_NE(Start(), nullptr);
  EXPECT_EQ(ThreadsOfThisProcess(), threads + 3) << "the two listeners and the endpoints' notifications";
  DestroyWindow(window_);
  MSG quit;
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit message is posted";
  EXPECT_EQ(Mixer(), nullptr);
  EXPECT_FALSE(App().listeners[kRateListener].running());
  EXPECT_FALSE(App().listeners[kStopListener].running());
  uint64_t objects = 1, registrations = 1;
  TqmSimCoreAudioObjects(&objects, &registrations);
  EXPECT_EQ(objects, 0u) << "every Core Audio interface was released";
  EXPECT_EQ(registrations, 0u) << "every endpoint listener was unregistered";
  EXPECT_EQ(ThreadsOfThisProcess(), threads);
  EXPECT_EQ(MachineHandles(), handles);
  EXPECT_NE(StoredInt(L"WinX"), 0x7FFFFFFF) << "the position is saved while the device is present";
  EXPECT_EQ(IconCalls(NIM_DELETE), 2);
  Finish();
}

TEST_F(Panel, RepeatedArrivalsKeepOnePairOfListeners) {
  ASSERT_NE(Start(), nullptr);
  const HANDLE stop = App().listeners[kStopListener].thread();
  const uint64_t handles = MachineHandles();
  const int threads = ThreadsOfThisProcess();
  DEV_BROADCAST_DEVICEINTERFACE_W record{};
  record.dbcc_size = sizeof record;
  record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record.dbcc_classguid = kClass;
  for (int i = 0; i < 3; ++i) SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&record));
  EXPECT_EQ(App().listeners[kStopListener].thread(), stop);
  EXPECT_EQ(MachineHandles(), handles);
  EXPECT_EQ(ThreadsOfThisProcess(), threads);
}

TEST_F(Panel, DeviceChangesOfOtherClassesOrOtherDevicesAreIgnored) {
  ASSERT_NE(Start(), nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W other{};
  other.dbcc_size = sizeof other;
  other.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  other.dbcc_classguid = kClass;
  other.dbcc_classguid.Data1 ^= 1;
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&other));
  EXPECT_TRUE(App().devicePresent) << "another interface class";
  DEV_BROADCAST_DEVICEINTERFACE_W ours = other;
  ours.dbcc_classguid = kClass;
  lstrcpyW(ours.dbcc_name, L"");
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&ours));
  EXPECT_TRUE(App().devicePresent) << "not the path of the device the link has open";
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
  EXPECT_TRUE(App().devicePresent) << "no record";
  EXPECT_TRUE(Shown(Mixer()->strip(0).fader));
}

TEST_F(Panel, CommandsWhileTheDeviceIsAbsentDoNothingButTheFourAlwaysOnes) {
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  ASSERT_NE(Start(), nullptr);
  const int deviceCommands[] = {IDM_WINDOWS_AUDIO, IDM_IROUTE,      IDM_FACTORY_DEFAULT, IDM_LEVEL_METER,
                                IDM_WHEEL_2,       IDM_BUFFERS_9,   IDM_LATENCY_96,      3328,
                                3329,              256,             257,                 300};
  for (int id : deviceCommands) Command(id);
  EXPECT_TRUE(g_programs.empty());
  EXPECT_TRUE(g_boxes.empty()) << "a latency command while absent shows nothing";
  EXPECT_TRUE(Stored(L"Mixer").empty()) << "no command saved the settings";
  EXPECT_FALSE(IsWindowVisible(Mixer()->routeWindow()));
  EXPECT_FALSE(Checked(IDM_WHEEL_2));
  // The always-commands work. (Wine without a window manager does not show
  // the topmost band in the window's style, so the flag and the check mark
  // are what is looked at.)
  Command(IDM_ALWAYS_ON_TOP);
  EXPECT_TRUE(Checked(IDM_ALWAYS_ON_TOP));
  EXPECT_EQ(App().alwaysOnTop, 1);
  Command(IDM_ALWAYS_ON_TOP);
  EXPECT_FALSE(Checked(IDM_ALWAYS_ON_TOP));
  EXPECT_EQ(App().alwaysOnTop, 0);
  ShowWindow(window_, SW_SHOW);
  Command(IDM_EXIT);
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_NE(StoredInt(L"WinX"), 0x7FFFFFFF);
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return App().devicePresent != 0; }));
}

TEST_F(Panel, EveryWayOfClosingOnlyHidesAndSavesThePosition) {
  ASSERT_NE(Start(), nullptr);
  struct Row {
    UINT message;
    WPARAM wParam;
    const char* why;
  };
  const Row rows[] = {
      {WM_COMMAND, IDM_CLOSE_WINDOW, "Close Window"},
      {WM_COMMAND, IDM_EXIT, "Exit"},
      {WM_SYSCOMMAND, SC_CLOSE, "close box and Alt+F4"},
  };
  for (const Row& r : rows) {
    ClearRegistry();
    ShowWindow(window_, SW_SHOWNORMAL);
    SetWindowPos(window_, nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageW(window_, r.message, r.wParam, 0);
    Pump();
    EXPECT_FALSE(IsWindowVisible(window_)) << r.why;
    EXPECT_TRUE(IsWindow(window_)) << r.why;
    EXPECT_EQ(StoredInt(L"WinX"), 40) << r.why;
    EXPECT_EQ(StoredInt(L"WinY"), 50) << r.why;
  }
}

TEST_F(Panel, SecondActivationAndTrayPressShowTheWindow) {
  ASSERT_NE(Start(), nullptr);
  SendMessageW(window_, MSG_TRAY_CALLBACK, kNotifyIconId, WM_MOUSEMOVE);
  EXPECT_FALSE(IsWindowVisible(window_)) << "other mouse events do nothing";
  SendMessageW(window_, MSG_TRAY_CALLBACK, kNotifyIconId, WM_LBUTTONUP);
  EXPECT_FALSE(IsWindowVisible(window_)) << "the release does nothing";
  SendMessageW(window_, MSG_TRAY_CALLBACK, kNotifyIconId, WM_RBUTTONDOWN);
  EXPECT_TRUE(IsWindowVisible(window_));
  ShowWindow(window_, SW_HIDE);
  SendMessageW(window_, MSG_ACTIVATE_PANEL, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(Panel, ExplorerRestartAddsTheIconAgainAlsoWithoutTheDevice) {
  ASSERT_NE(Start(), nullptr);
  const UINT taskbar = RegisterWindowMessageW(L"TaskbarCreated");
  const int before = IconCalls(NIM_ADD);
  SendMessageW(window_, taskbar, 0, 0);
  EXPECT_EQ(IconCalls(NIM_ADD), before + 1);
  Unplug();
  SendMessageW(window_, taskbar, 0, 0);
  EXPECT_EQ(IconCalls(NIM_ADD), before + 2);
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return App().devicePresent != 0; }));
}

TEST_F(Panel, LatencyWhileAStreamRunsIsRefusedWithOneBox) {
  ASSERT_NE(Start(), nullptr);
  // The machine's own stream client, in a process of its own.
  ASSERT_EQ(TqmSimStreamStart(0, 48000), 0u);
  ASSERT_TRUE(WaitFor([&] {
    Tick();
    return driver_.GetActiveClient() != 0 && Mixer()->current().mixer.rate == 48000;
  }));
  Command(IDM_LATENCY_96);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].owner, window_);
  EXPECT_EQ(g_boxes[0].text,
            L"An application is using the driver at the moment. Please quit this application and then try again.");
  EXPECT_EQ(g_boxes[0].caption, L"Warning : Latency change failed !");
  EXPECT_EQ(g_boxes[0].type, UINT(MB_ICONERROR | MB_OK));
  EXPECT_FALSE(Checked(IDM_LATENCY_96));
  EXPECT_TRUE(Checked(IDM_LATENCY_256));
  EXPECT_EQ(Mixer()->current().mixer.periodFrames, 256);
  PanelSettings saved{};
  const std::vector<uint8_t> bytes = Stored(L"Mixer");
  ASSERT_EQ(bytes.size(), sizeof saved);
  std::memcpy(&saved, bytes.data(), sizeof saved);
  EXPECT_EQ(saved.mixer.periodFrames, 256) << "the refused value is not stored";
  ASSERT_EQ(TqmSimStreamStop(0), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.GetActiveClient() == 0; }));
  Command(IDM_LATENCY_96);
  EXPECT_EQ(g_boxes.size(), 1u);
  EXPECT_TRUE(Checked(IDM_LATENCY_96));
  EXPECT_EQ(driver_.GetLatency(), 96u);
}

TEST_F(Panel, LatencyTooSmallForNinetySixKilohertzIsRefusedTheSameWay) {
  ASSERT_NE(Start(), nullptr);
  ASSERT_TRUE(driver_.SetSampleRate(96000));
  ASSERT_TRUE(WaitFor([&] {
    Tick();
    return Mixer()->current().mixer.rate == 96000;
  }));
  Command(IDM_LATENCY_64);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].caption, L"Warning : Latency change failed !");
  EXPECT_FALSE(Checked(IDM_LATENCY_64));
  EXPECT_TRUE(Checked(IDM_LATENCY_256));
}

TEST_F(Panel, AQuietTickAsksTheDriverOnlyForItsLatency) {
  ASSERT_NE(Start(), nullptr);
  Tick();
  const uint32_t before = CommandsLogged();
  for (int i = 0; i < 5; ++i) Tick();
  const auto sent = CommandsSince(before);
  EXPECT_EQ(sent.size(), 5u);
  EXPECT_EQ(Count(sent, CMD_CLASS_CONTROL, ControlOp::GetLatency), 5);
}

TEST_F(Panel, LatencyOffTheMenuLeavesTheSubmenuUnchecked) {
  ASSERT_NE(Start(), nullptr);
  ASSERT_TRUE(driver_.SetLatency(100, 1));
  Tick();
  for (int id : {IDM_LATENCY_64, IDM_LATENCY_96, IDM_LATENCY_128, IDM_LATENCY_144, IDM_LATENCY_192, IDM_LATENCY_240,
                 IDM_LATENCY_256, IDM_LATENCY_288})
    EXPECT_FALSE(Checked(id)) << id;
  EXPECT_EQ(Mixer()->current().mixer.periodFrames, 100);
}

TEST_F(Panel, DriverRateChangeIsFollowedWithinOneTick) {
  ASSERT_NE(Start(), nullptr);
  uint64_t token = 0, address = 0;
  ASSERT_NE(driver_.MapStatusBlock(1, token, address), 0u);
  StatusBlockView block(reinterpret_cast<void*>(address), kNativeWide);
  ASSERT_TRUE(driver_.SetSampleRate(48000));
  ASSERT_TRUE(WaitFor([&] { return block.Read(StatusWord::SampleRate) == 48000; }));
  ChangeDriverSettings([](MixerSettings& s) { s.recordVolume[0] = 12; });
  const size_t hidBefore = HidCommands().size();
  const uint32_t before = CommandsLogged();
  Tick();
  const auto sent = CommandsSince(before);
  EXPECT_EQ(Count(sent, CMD_CLASS_CONTROL, ControlOp::ApplySettings), 1);
  EXPECT_EQ(Count(sent, CMD_CLASS_CONTROL, ControlOp::GetLatency), 1) << "the latency check marks";
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_EQ(HidCommands().size(), hidBefore + 2) << "the HID exchange after the rate change";
  EXPECT_EQ(Mixer()->current().mixer.rate, 48000);
  EXPECT_EQ(DriverSettings().recordVolume[0], 80) << "the ApplySettings that follows sends the panel's copy";
  driver_.MapStatusBlock(0, token, address);
}

TEST_F(Panel, LevelMeterCommandSwitchesTheStatusBlockAndZeroesTheMeters) {
  ASSERT_NE(Start(), nullptr);
  EXPECT_FALSE(Checked(IDM_LEVEL_METER));
  Command(IDM_LEVEL_METER);
  EXPECT_TRUE(Checked(IDM_LEVEL_METER));
  EXPECT_TRUE(Mixer()->MeterEnabled());
  Tick();
  EXPECT_TRUE(Checked(IDM_LEVEL_METER));
  Command(IDM_LEVEL_METER);
  EXPECT_FALSE(Checked(IDM_LEVEL_METER));
  for (int k = 0; k < MixerPanel::kMeters; ++k) EXPECT_EQ(Mixer()->meterShown(MixerPanel::Meter(k)), 0) << k;
  PanelSettings saved{};
  const std::vector<uint8_t> bytes = Stored(L"Mixer");
  ASSERT_EQ(bytes.size(), sizeof saved);
  std::memcpy(&saved, bytes.data(), sizeof saved);
  EXPECT_EQ(saved.mixer.meterEnable, 0);
}

TEST_F(Panel, ChoosingTheCheckedWheelStepOrBufferNumberStillSaves) {
  ASSERT_NE(Start(), nullptr);
  ASSERT_TRUE(Stored(L"Mixer").empty()) << "the load itself writes nothing";
  struct Row {
    int id;
    const char* why;
  };
  for (const Row& r : {Row{IDM_WHEEL_1, "wheel step 1, already checked"}, Row{IDM_BUFFERS_2 + 1, "buffer number 3"}}) {
    ClearRegistry();
    Command(r.id);
    EXPECT_EQ(Stored(L"Mixer").size(), 280u) << r.why;
  }
  Command(IDM_WHEEL_8);
  EXPECT_TRUE(Checked(IDM_WHEEL_8));
  EXPECT_FALSE(Checked(IDM_WHEEL_1));
  EXPECT_EQ(widgets::GetWheelStep(), 8);
  // The check follows the driver's buffer number, which the command's
  // reconcile sent: from the next tick on.
  Command(IDM_BUFFERS_9);
  EXPECT_EQ(DriverSettings().requestCount, 9);
  EXPECT_TRUE(WaitFor([&] {
    Tick();
    return Checked(IDM_BUFFERS_9);
  }));
}

TEST_F(Panel, FaderMoveAndMuteReachTheDriverAndTheRegistry) {
  ASSERT_NE(Start(), nullptr);
  const HWND fader = Mixer()->strip(0).fader;
  SendMessageW(fader, SBM_SETPOS, MAKELONG(90, 80), MAKELONG(90, 80));
  SendMessageW(window_, WM_VSCROLL, SB_THUMBPOSITION, reinterpret_cast<LPARAM>(fader));
  MixerSettings d = DriverSettings();
  EXPECT_EQ(d.playVolume[0], 90);
  EXPECT_EQ(d.playVolume[1], 80);
  PanelSettings saved{};
  std::vector<uint8_t> bytes = Stored(L"Mixer");
  ASSERT_EQ(bytes.size(), sizeof saved);
  std::memcpy(&saved, bytes.data(), sizeof saved);
  EXPECT_EQ(saved.mixer.playVolume[0], 90);
  Command(257);
  EXPECT_EQ(DriverSettings().recordMute, 1);
  EXPECT_EQ(Mixer()->strip(1).MuteChecked(), 1);
  bytes = Stored(L"Mixer");
  std::memcpy(&saved, bytes.data(), sizeof saved);
  EXPECT_EQ(saved.mixer.recordMute, 1);
}

TEST_F(Panel, FactoryDefaultCommandResetsAndRefreshesTheMenu) {
  ASSERT_NE(Start(), nullptr);
  Command(IDM_WHEEL_4);
  Command(IDM_LATENCY_128);
  Command(IDM_IROUTE);
  EXPECT_TRUE(IsWindowVisible(Mixer()->routeWindow()));
  Command(IDM_FACTORY_DEFAULT);
  EXPECT_FALSE(IsWindowVisible(Mixer()->routeWindow()));
  EXPECT_TRUE(Checked(IDM_WHEEL_1));
  EXPECT_TRUE(Checked(IDM_LATENCY_256));
  EXPECT_EQ(driver_.GetLatency(), 256u);
  EXPECT_EQ(Stored(L"Mixer").size(), 280u);
}

TEST_F(Panel, WindowsAudioSetupStartsTheSoundSettings) {
  ASSERT_NE(Start(), nullptr);
  Command(IDM_WINDOWS_AUDIO);
  ASSERT_EQ(g_programs.size(), 1u);
  EXPECT_EQ(g_programs[0], L"rundll32.exe shell32.dll,Control_RunDLL mmsys.cpl");
}

void CALLBACK AnswerAbout(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", L"TQM27");
  if (!dialog) return;
  KillTimer(nullptr, timer);
  HWND link = GetDlgItem(dialog, IDC_ABOUT_LINK);
  if (link) SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_ABOUT_LINK, 0), reinterpret_cast<LPARAM>(link));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}

TEST_F(Panel, AboutRunsModallyWithTheLinkAlsoWithoutTheDevice) {
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  ASSERT_NE(Start(), nullptr);
  SetTimer(nullptr, 0, 20, AnswerAbout);
  Command(IDM_ABOUT);
  ASSERT_EQ(g_opened.size(), 1u) << "the link button's click";
  EXPECT_EQ(g_opened[0], std::wstring(kProductPage));
  ASSERT_EQ(TqmSimPlug(), 0u);
  ASSERT_TRUE(WaitFor([&] { return App().devicePresent != 0; }));
}

TEST_F(Panel, CancelledEndOfSessionChangesNothing) {
  ASSERT_NE(Start(), nullptr);
  SendMessageW(window_, WM_ENDSESSION, FALSE, 0);
  EXPECT_NE(Mixer(), nullptr);
  EXPECT_TRUE(App().listeners[kStopListener].running());
  EXPECT_EQ(StoredInt(L"WinX"), 0x7FFFFFFF) << "nothing saved";
  SendMessageW(window_, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(Mixer(), nullptr);
  EXPECT_FALSE(App().listeners[kStopListener].running());
  EXPECT_NE(StoredInt(L"WinX"), 0x7FFFFFFF);
  EXPECT_TRUE(Stored(L"Mixer").empty()) << "the end of the session writes only the position";
  // Later ticks and commands find no mixer.
  Tick();
  Command(IDM_LATENCY_128);
  Command(256);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(Panel, StopEventRunsOnTheUiThreadAndAStaleOneIsDropped) {
  ASSERT_NE(Start(), nullptr);
  Command(IDM_IROUTE);
  ClearRegistry();
  // A message from a listener generation that no longer runs.
  SendMessageW(window_, MSG_DEVICE_STOPPED, App().listenerGeneration + 1, 0);
  EXPECT_TRUE(Mixer()->mapped());
  EXPECT_TRUE(Stored(L"Mixer").empty());
  SendMessageW(window_, MSG_DEVICE_STOPPED, App().listenerGeneration, 0);
  EXPECT_FALSE(Mixer()->mapped());
  EXPECT_TRUE(Mixer()->hasLink());
  EXPECT_FALSE(IsWindowVisible(Mixer()->routeWindow()));
  EXPECT_EQ(Stored(L"Mixer").size(), 280u);
  EXPECT_NE(StoredInt(L"WinX"), 0x7FFFFFFF);
  // The poll and the meter command then do nothing.
  Tick();
  Command(IDM_LEVEL_METER);
  EXPECT_FALSE(Checked(IDM_LEVEL_METER));
}

TEST_F(Panel, SurpriseRemovalWhileAStreamRunsAndThePanelPolls) {
  ASSERT_NE(Start(), nullptr);
  Command(IDM_LEVEL_METER);
  ASSERT_EQ(TqmSimStreamStart(0, 48000), 0u);
  ASSERT_TRUE(WaitFor([&] { return driver_.GetActiveClient() != 0; }));
  for (int i = 0; i < 5; ++i) Tick();
  driver_.CloseAll();
  ASSERT_EQ(TqmSimUnplug(), 0u);
  // The timer keeps ticking while the removal arrives.
  ASSERT_TRUE(WaitFor([&] {
    Tick();
    return !App().devicePresent;
  }));
  EXPECT_FALSE(Mixer()->mapped());
  EXPECT_FALSE(Shown(Mixer()->strip(0).fader));
  EXPECT_FALSE(App().listeners[kStopListener].running());
  TqmSimStreamStop(0);
}

TEST_F(Panel, DefaultSwitchIgnoresTheStoredSettingsAndTheNextCommandOverwritesThem) {
  PanelSettings stored = PanelDefaults();
  stored.mixer.periodFrames = 192;
  stored.wheelStep = 2;
  StoreRaw(L"Mixer", REG_BINARY, &stored, sizeof stored);
  ASSERT_NE(Start({L"/default"}), nullptr);
  EXPECT_EQ(driver_.GetLatency(), 256u);
  EXPECT_TRUE(Checked(IDM_WHEEL_1));
  Command(IDM_WHEEL_1);
  PanelSettings saved{};
  const std::vector<uint8_t> bytes = Stored(L"Mixer");
  ASSERT_EQ(bytes.size(), sizeof saved);
  std::memcpy(&saved, bytes.data(), sizeof saved);
  EXPECT_EQ(saved.mixer.periodFrames, 256);
  EXPECT_EQ(saved.wheelStep, 1);
}

TEST_F(Panel, DeletedMixerValueGivesTheFactoryDefaultAtTheNextPlug) {
  ASSERT_NE(Start(), nullptr);
  Command(IDM_LATENCY_128);
  ASSERT_EQ(Stored(L"Mixer").size(), 280u);
  Unplug();
  ClearRegistry();
  Plug();
  EXPECT_EQ(driver_.GetLatency(), 256u);
  EXPECT_TRUE(Stored(L"Mixer").empty());
  Command(IDM_WHEEL_1);
  EXPECT_EQ(Stored(L"Mixer").size(), 280u);
}

// The program itself, as a second process.
std::wstring SimProgram() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(0, p.find_last_of(L"\\/") + 1) + L"TQMPanel_sim.exe";
}

DWORD RunProgram(const std::wstring& args, HANDLE* process) {
  std::wstring line = L"\"" + SimProgram() + L"\" " + args;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return GetLastError();
  CloseHandle(info.hThread);
  *process = info.hProcess;
  return 0;
}

TEST_F(Panel, SecondStartActivatesTheFirstAndExitsWithoutAWindow) {
  ASSERT_NE(Start(), nullptr);
  HANDLE process = nullptr;
  ASSERT_EQ(RunProgram(L"", &process), 0u);
  DWORD code = 1;
  for (int i = 0; i < 1000 && WaitForSingleObject(process, 10) == WAIT_TIMEOUT; ++i) Pump();
  ASSERT_TRUE(GetExitCodeProcess(process, &code));
  CloseHandle(process);
  EXPECT_EQ(code, 0u);
  Pump();
  EXPECT_TRUE(IsWindowVisible(window_)) << "the running panel was shown";
  int windows = 0;
  for (HWND w = FindWindowW(L"TQM27 Class", nullptr); w; w = FindWindowExW(nullptr, w, L"TQM27 Class", nullptr))
    ++windows;
  EXPECT_EQ(windows, 1);
}

TEST(PanelProgram, RunsHiddenAndEndsWithItsQuitMessage) {
  HANDLE process = nullptr;
  ASSERT_EQ(RunProgram(L"/default", &process), 0u);
  HWND window = nullptr;
  for (int i = 0; i < 500 && !window; ++i) {
    window = FindWindowW(L"TQM27 Class", nullptr);
    if (!window) Sleep(10);
  }
  ASSERT_NE(window, nullptr);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  EXPECT_EQ(std::wstring(title), L"TQM v3.3");
  EXPECT_FALSE(IsWindowVisible(window));
  PostMessageW(window, WM_QUIT, 0, 0);
  ASSERT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  EXPECT_EQ(code, 0u);
  uint64_t faults = 0;
  ASSERT_EQ(TqmSimFaultCount(&faults), 0u);
  EXPECT_EQ(faults, 0u);
}

}  // namespace
}  // namespace tqm::panel::testing

namespace tqm::panel::testing {
namespace {

struct Entry {
  const wchar_t* manufacturer;
  const wchar_t* provider;
  const wchar_t* description;
  uint64_t version;
};
constexpr uint64_t Version(unsigned a, unsigned b, unsigned c, unsigned d) {
  return uint64_t(a) << 48 | uint64_t(b) << 32 | uint64_t(c) << 16 | d;
}

TEST(VersionTitle, TitleRuleOverTheDriverStoreEntries) {
  struct Row {
    std::vector<Entry> entries;
    const wchar_t* title;  // null: nothing matched, the title stays
    const char* why;
  };
  const Row rows[] = {
      {{{L"ORU", L"ORU", L"TQM27 Controller driver", Version(1, 2, 3, 7)},
        {L"ORU", L"ORU", L"TQM27 Controller driver", Version(1, 2, 4, 5)}},
       L"TQM27 v1.2.4.7",
       "the last entry's major, minor and build, the largest revision"},
      {{{L"ORU", L"Other", L"TQM27 Controller driver", Version(2, 0, 0, 1)}}, L"TQM27 v2.0.0.1", "manufacturer"},
      {{{L"Other", L"ORU", L"TQM27 Controller driver", Version(2, 0, 0, 1)}}, L"TQM27 v2.0.0.1", "provider"},
      {{{L"Other", L"Other", L"TQM27 Controller driver", Version(2, 0, 0, 1)}}, nullptr, "neither is ORU"},
      {{{L"ORU", L"ORU", L"USB Audio", Version(9, 9, 9, 9)}}, nullptr, "an unrelated driver"},
      {{{L"oru", L"oru", L"TQM27 Controller driver", Version(2, 0, 0, 1)}}, nullptr, "case-sensitive"},
      {{{L"ORU", L"ORU", L"TQM27 Controller Driver", Version(2, 0, 0, 1)}}, nullptr, "description exact"},
      {{}, nullptr, "no entries"},
      {{{L"ORU", L"ORU", L"TQM27 Controller driver", Version(65535, 65535, 65535, 65535)}},
       L"TQM27 v65535.65535.65535.65535",
       "largest fields"},
  };
  for (const Row& r : rows) {
    wchar_t title[kTitleUnits] = L"before";
    VersionTitle rule;
    for (const Entry& e : r.entries) rule.Offer(e.manufacturer, e.provider, e.description, e.version, title);
    EXPECT_EQ(rule.matched(), r.title != nullptr) << r.why;
    EXPECT_EQ(std::wstring(title), std::wstring(r.title ? r.title : L"before")) << r.why;
  }
}

}  // namespace
}  // namespace tqm::panel::testing
