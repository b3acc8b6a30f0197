// The patchbay editor behind the InnerROUTE views: four jack panels (one per
// port, a playback column and a record column each), the routing table they
// edit, the cable gesture and the cable pens.
//
// A cable always runs from a playback jack (where a port's playback channel
// leaves) to a record jack (where audio enters a port's record channel); a
// playback jack carries at most one, a record jack may receive several. The
// table records a cable in the source's entry (routed, target port, side and
// channel) and counts it in the target's fan-in. The editor keeps the two in
// step: a cable that is taken away or replaced lowers its target's fan-in.
//
// One editor per view, owned by the view's record and deleted with the window;
// the table belongs to the panel and outlives the editor. GUI thread only.
#pragma once

#include <windows.h>

#include "tqm/mixer_settings.h"

namespace tqm::widgets {

constexpr int kJackPanels = 4;
constexpr int kMaxJacksPerColumn = 16;
constexpr int kPenRows = 5;
constexpr int kPenStrokes = 4;
constexpr int kDraggedPenRow = 4;

// How a view lays out its jacks.
struct JackGeometry {
  int width;           // jack rectangle
  int height;
  int pitch;           // from one jack to the next in a column
  int group;           // after every `group` jacks the column leaves `group_gap` pixels
  int group_gap;
  int record_offset;   // record column, right of the playback column
  int picture_dx;      // jack picture inside the rectangle
  int picture_dy;
  int end_offset;      // a cable end sits this far right of and below the centre
  int y0;              // top of every column
};

// One jack panel: its left edge and how many jacks each column has.
struct JackPanelLayout {
  int x0;
  int playback_jacks;
  int record_jacks;
};

struct JackRef {
  int panel = -1;  // -1: no jack
  int side = 0;    // 0 playback, 1 record
  int channel = 0;
  bool valid() const { return panel >= 0; }
};

class RouteEditor {
 public:
  // Null when memory or a pen cannot be had. `channels` is the number of table
  // entries per port; columns longer than that are cut to it, since jacks
  // beyond it would have no entry to edit.
  static RouteEditor* Create(const JackGeometry& geometry, const JackPanelLayout (&panels)[kJackPanels],
                             RoutingEntry* table, int channels);
  ~RouteEditor();
  RouteEditor(const RouteEditor&) = delete;
  RouteEditor& operator=(const RouteEditor&) = delete;

  JackRef HitTest(POINT point) const;

  // Table rules.
  void Unroute(int port, int channel);
  void Route(int port, int channel, int target_port, int target_channel);

  // The gesture. Press returns false when the point is on no jack.
  bool Press(POINT point);
  // One pointer move while the button is held; false when nothing changed on
  // screen (the pointer is still over the hovered jack, or no gesture is on).
  bool Drag(POINT point);
  void Release(POINT point);
  bool active() const { return active_; }

  // Jacks, cables and, during a gesture, the dragged cable.
  void Paint(HDC dc, HBITMAP lit, HBITMAP unlit) const;

  RoutingEntry* table() const { return table_; }
  int channels() const { return channels_; }
  RoutingEntry* Entry(int port, int channel) const;

 private:
  struct Jack {
    RECT rect;
    bool lit;
  };
  struct Panel {
    Jack jacks[2][kMaxJacksPerColumn];  // [side][channel]
    int count[2];
    RECT bounds;
  };

  RouteEditor() = default;
  bool Build(const JackGeometry& geometry, const JackPanelLayout (&panels)[kJackPanels]);

  Jack* JackAt(JackRef ref);
  const Jack* JackAt(JackRef ref) const;
  POINT CableEnd(JackRef ref) const;
  // The record jack a playback jack's cable goes to; invalid when the jack is
  // not routed or the target has no jack here (such a cable is not drawn).
  JackRef CableTarget(int port, int channel) const;
  // The playback jack of the first drawn cable into a record jack.
  JackRef FirstCableInto(JackRef record) const;
  void UnlightAll();
  void Stroke(HDC dc, const POINT (&points)[4], int pen_row) const;

  Panel panels_[kJackPanels] = {};
  int end_offset_ = 0;
  int picture_dx_ = 0;
  int picture_dy_ = 0;
  RoutingEntry* table_ = nullptr;
  int channels_ = 0;
  bool active_ = false;
  bool moved_ = false;
  JackRef start_;
  JackRef hover_;
  POINT anchor_{};
  POINT dragged_[4] = {};
  HPEN pens_[kPenRows][kPenStrokes] = {};
};

// The four points of the cable between two ends: it leaves the upper end
// straight down and sags 20 pixels below the lower one.
void CableShape(POINT a, POINT b, POINT (&points)[4]);

}  // namespace tqm::widgets
