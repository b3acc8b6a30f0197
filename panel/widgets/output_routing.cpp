// The output-channel routing window (Zel_OutputRoutingClass): for each output
// channel a row with a down button, the number of the source channel it plays
// and an up button, a link switch that moves channel pairs together, and a
// "Reset" menu that restores the one-to-one assignment.
//
// The assignment array belongs to the caller and is edited in place; the
// record belongs to the window. Every change posts WM_COMMAND (id) to the
// owner. The close box only hides the window.
#include "controls.h"
#include "toolkit.h"
#include "widgets_internal.h"

#include <cwchar>

namespace tqm::widgets {
namespace {

constexpr int kMaxOutputChannels = 16;  // down-button ids end where the labels' begin
constexpr int kDownId = 0x1900;
constexpr int kUpId = 0x1890;
constexpr int kLabelId = 0x1910;
constexpr int kLinkId = 0x1930;
constexpr int kResetCommand = 0x1981;
constexpr int kFirstRowY = 34;
constexpr int kRowPitch = 23;
constexpr COLORREF kLabelText = 0x989796;
constexpr COLORREF kLabelBackground = 0x1A1816;

struct OutputRouting {
  int id;
  int channels;
  int* assignments;
  int linked;
  HWND link;
  HWND down[kMaxOutputChannels];
  HWND up[kMaxOutputChannels];
  HWND labels[kMaxOutputChannels];
};

void Notify(HWND window, const OutputRouting& routing) {
  PostMessageW(GetWindow(window, GW_OWNER), WM_COMMAND, static_cast<WPARAM>(routing.id),
               reinterpret_cast<LPARAM>(window));
}

void ShowAssignment(const OutputRouting& routing, int channel) {
  wchar_t text[12];
  std::swprintf(text, 12, L"%d", routing.assignments[channel] + 1);
  SendMessageW(routing.labels[channel], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// Linked, every second row follows the row above it and has no buttons.
void ShowButtons(const OutputRouting& routing) {
  for (int i = 0; i < routing.channels; ++i) {
    const int show = routing.linked && i % 2 == 1 ? SW_HIDE : SW_SHOW;
    ShowWindow(routing.down[i], show);
    ShowWindow(routing.up[i], show);
  }
}

bool InRange(const OutputRouting& routing, int value) {
  return value >= 0 && value < routing.channels;
}

// One step of row `channel` (and, linked, of its partner); nothing moves when
// a value would leave the range.
bool Step(OutputRouting* routing, int channel, int step) {
  int first = channel, last = channel;
  if (routing->linked) {
    first = channel - channel % 2;
    last = first + 1 < routing->channels ? first + 1 : first;
  }
  for (int i = first; i <= last; ++i) {
    if (!InRange(*routing, routing->assignments[i] + step)) return false;
  }
  for (int i = first; i <= last; ++i) {
    routing->assignments[i] += step;
    ShowAssignment(*routing, i);
  }
  return true;
}

void Reset(HWND window, OutputRouting* routing) {
  if (ShowToolkitMessageBox(nullptr, L"Are you sure ?", L"Reset output channels",
                            MB_OKCANCEL) != IDOK) {
    return;
  }
  for (int i = 0; i < routing->channels; ++i) {
    routing->assignments[i] = i;
    ShowAssignment(*routing, i);
  }
  routing->linked = 0;
  SendMessageW(routing->link, BM_SETCHECK, 0, 0);
  ShowButtons(*routing);
  Notify(window, *routing);
}

void Paint(HWND window) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  HBRUSH body = CreateSolidBrush(kLabelBackground);
  FillRect(dc, &client, body);
  DeleteObject(body);
  EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK OutputRoutingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  OutputRouting* routing = RecordOf<OutputRouting>(window);
  switch (message) {
    case WM_CREATE:
      return AttachRecord<OutputRouting>(window) ? 0 : -1;
    case WM_DESTROY:
      DetachRecord<OutputRouting>(window);
      return 0;
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
    case WM_COMMAND: {
      if (!routing || !routing->assignments) break;
      const int command = LOWORD(wParam);
      if (command == kResetCommand) {
        Reset(window, routing);
        return 0;
      }
      if (command == kLinkId) {
        routing->linked = !routing->linked;
        SendMessageW(routing->link, BM_SETCHECK, routing->linked, 0);
        ShowButtons(*routing);
        Notify(window, *routing);
        return 0;
      }
      const bool up = command >= kUpId && command < kUpId + routing->channels;
      const bool down = command >= kDownId && command < kDownId + routing->channels;
      if (up || down) {
        if (Step(routing, command - (up ? kUpId : kDownId), up ? 1 : -1)) {
          Notify(window, *routing);
        }
        return 0;
      }
      break;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateOutputRoutingView(HINSTANCE instance, HWND owner, int id, int x, int y, int channels,
                             int* assignments) {
  if (!assignments || channels < 1 || channels > kMaxOutputChannels) return nullptr;
  HMENU menu = CreateMenu();
  if (menu) AppendMenuW(menu, MF_STRING, kResetCommand, L"Reset");
  const int width = 140;
  const int height = kFirstRowY + kRowPitch * channels + 8 + GetSystemMetrics(SM_CYCAPTION) +
                     GetSystemMetrics(SM_CYMENU) + 2 * GetSystemMetrics(SM_CYFRAME);
  HWND window = CreateWindowExW(0, L"Zel_OutputRoutingClass", L"InnerROUTE Routing",
                                WS_POPUPWINDOW | WS_DLGFRAME, x, y, width, height, owner, menu,
                                instance, nullptr);
  if (!window) {
    if (menu) DestroyMenu(menu);
    return nullptr;
  }
  OutputRouting* routing = RecordOf<OutputRouting>(window);
  routing->id = id;
  routing->channels = channels;
  routing->assignments = assignments;
  routing->linked = 0;
  routing->link = CreateToggle(instance, window, kLinkId, 48, 8, L"OUTPUT_ROUTING_LINK_ON",
                               L"OUTPUT_ROUTING_LINK_OFF");
  for (int i = 0; i < channels; ++i) {
    if (!InRange(*routing, assignments[i])) assignments[i] = i;
    const int row_y = kFirstRowY + kRowPitch * i;
    routing->down[i] = CreateToggle(instance, window, kDownId + i, 48, row_y,
                                    L"OUTPUT_ROUTING_DOWN", L"OUTPUT_ROUTING_DOWN");
    routing->labels[i] = CreateSmallText(instance, window, kLabelId + i, 70, row_y, 20, 23,
                                         kLabelText, kLabelBackground, L"");
    routing->up[i] = CreateToggle(instance, window, kUpId + i, 92, row_y, L"OUTPUT_ROUTING_UP",
                                  L"OUTPUT_ROUTING_UP");
    ShowAssignment(*routing, i);
  }
  return window;
}

}  // namespace tqm::widgets
