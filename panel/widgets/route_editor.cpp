// The patchbay editor: table rules, hit testing, the cable gesture and cable
// drawing. See route_editor.h for the model.
#include "route_editor.h"

#include "widgets_internal.h"

#include <algorithm>

namespace tqm::widgets {

void CableShape(POINT a, POINT b, POINT (&points)[4]) {
  const POINT upper = a.y <= b.y ? a : b;
  const POINT lower = a.y <= b.y ? b : a;
  points[0] = upper;
  points[1] = POINT{upper.x, lower.y + 20};
  points[2] = POINT{lower.x, lower.y + 20};
  points[3] = lower;
}

RouteEditor* RouteEditor::Create(const JackGeometry& geometry,
                                 const JackPanelLayout (&panels)[kJackPanels],
                                 RoutingEntry* table, int channels) {
  RouteEditor* editor = new (std::nothrow) RouteEditor();
  if (!editor) return nullptr;
  editor->table_ = table;
  editor->channels_ = std::clamp(channels, 0, kMaxJacksPerColumn);
  if (!editor->Build(geometry, panels)) {
    delete editor;
    return nullptr;
  }
  return editor;
}

RouteEditor::~RouteEditor() {
  for (auto& row : pens_) {
    for (HPEN pen : row) {
      if (pen) DeleteObject(pen);
    }
  }
}

bool RouteEditor::Build(const JackGeometry& geometry,
                        const JackPanelLayout (&layouts)[kJackPanels]) {
  end_offset_ = geometry.end_offset;
  picture_dx_ = geometry.picture_dx;
  picture_dy_ = geometry.picture_dy;
  for (int p = 0; p < kJackPanels; ++p) {
    Panel& panel = panels_[p];
    const JackPanelLayout& layout = layouts[p];
    panel.count[0] = std::clamp(layout.playback_jacks, 0, channels_);
    panel.count[1] = std::clamp(layout.record_jacks, 0, channels_);
    panel.bounds = RECT{layout.x0, geometry.y0, layout.x0, geometry.y0};
    bool any = false;
    for (int side = 0; side < 2; ++side) {
      for (int i = 0; i < panel.count[side]; ++i) {
        const int left = layout.x0 + side * geometry.record_offset;
        const int gap = geometry.group > 0 ? i / geometry.group * geometry.group_gap : 0;
        const int top = geometry.y0 + geometry.pitch * i + gap;
        RECT rect{left, top, left + geometry.width, top + geometry.height};
        panel.jacks[side][i] = Jack{rect, false};
        panel.bounds.right = std::max(panel.bounds.right, rect.right);
        panel.bounds.bottom = std::max(panel.bounds.bottom, rect.bottom);
        any = true;
      }
    }
    if (!any) SetRectEmpty(&panel.bounds);
  }
  // Row r, stroke k: width 10 - 3k, intensity 80k; rows 0..3 are the cables of
  // ports 0..3, row 4 the dragged cable. Widest and darkest first makes a
  // round-looking cable with a bright core.
  for (int k = 0; k < kPenStrokes; ++k) {
    const BYTE v = static_cast<BYTE>(80 * k);
    const COLORREF colours[kPenRows] = {RGB(v, 0, 0), RGB(0, v, 0), RGB(0, v, v), RGB(v, 0, v),
                                        RGB(v, v, 0)};
    for (int r = 0; r < kPenRows; ++r) {
      LOGBRUSH brush{BS_SOLID, colours[r], 0};
      pens_[r][k] = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_BEVEL,
                                 10 - 3 * k, &brush, 0, nullptr);
      if (!pens_[r][k]) return false;
    }
  }
  return true;
}

RoutingEntry* RouteEditor::Entry(int port, int channel) const {
  if (!table_ || port < 0 || port >= kJackPanels || channel < 0 || channel >= channels_) {
    return nullptr;
  }
  return &table_[port * channels_ + channel];
}

RouteEditor::Jack* RouteEditor::JackAt(JackRef ref) {
  return const_cast<Jack*>(static_cast<const RouteEditor*>(this)->JackAt(ref));
}

const RouteEditor::Jack* RouteEditor::JackAt(JackRef ref) const {
  if (ref.panel < 0 || ref.panel >= kJackPanels || ref.side < 0 || ref.side > 1) return nullptr;
  const Panel& panel = panels_[ref.panel];
  if (ref.channel < 0 || ref.channel >= panel.count[ref.side]) return nullptr;
  return &panel.jacks[ref.side][ref.channel];
}

POINT RouteEditor::CableEnd(JackRef ref) const {
  const Jack* jack = JackAt(ref);
  if (!jack) return POINT{0, 0};
  return POINT{(jack->rect.left + jack->rect.right) / 2 + end_offset_,
               (jack->rect.top + jack->rect.bottom) / 2 + end_offset_};
}

JackRef RouteEditor::HitTest(POINT point) const {
  for (int p = 0; p < kJackPanels; ++p) {
    const Panel& panel = panels_[p];
    if (!PtInRect(&panel.bounds, point)) continue;
    for (int side = 0; side < 2; ++side) {
      for (int i = 0; i < panel.count[side]; ++i) {
        if (PtInRect(&panel.jacks[side][i].rect, point)) return JackRef{p, side, i};
      }
    }
  }
  return JackRef{};
}

JackRef RouteEditor::CableTarget(int port, int channel) const {
  const RoutingEntry* entry = Entry(port, channel);
  if (!entry || !entry->routed) return JackRef{};
  const JackRef target{entry->targetPort, 1, entry->targetChannel};
  return JackAt(target) ? target : JackRef{};
}

JackRef RouteEditor::FirstCableInto(JackRef record) const {
  for (int g = 0; g < kJackPanels; ++g) {
    for (int i = 0; i < channels_; ++i) {
      const RoutingEntry* entry = Entry(g, i);
      if (!entry->routed || entry->targetPort != record.panel || entry->targetSide != 1 ||
          entry->targetChannel != record.channel) {
        continue;
      }
      // A source without a playback jack draws no cable and cannot be lifted.
      const JackRef source{g, 0, i};
      if (JackAt(source)) return source;
    }
  }
  return JackRef{};
}

void RouteEditor::Unroute(int port, int channel) {
  RoutingEntry* entry = Entry(port, channel);
  if (!entry) return;
  if (entry->routed) {
    // A stored target outside the table has no fan-in to lower.
    RoutingEntry* target = Entry(entry->targetPort, entry->targetChannel);
    if (target) target->fanIn = std::max(0, target->fanIn - 1);
  }
  entry->routed = 0;
  entry->targetPort = 0;
  entry->targetSide = 0;
  entry->targetChannel = 0;
}

void RouteEditor::Route(int port, int channel, int target_port, int target_channel) {
  RoutingEntry* entry = Entry(port, channel);
  RoutingEntry* target = Entry(target_port, target_channel);
  if (!entry || !target) return;
  // A playback jack carries one cable: a new cable replaces the old one, whose
  // target then loses it from its fan-in.
  Unroute(port, channel);
  entry->routed = 1;
  entry->targetPort = target_port;
  entry->targetSide = 1;
  entry->targetChannel = target_channel;
  ++target->fanIn;
}

bool RouteEditor::Press(POINT point) {
  const JackRef hit = HitTest(point);
  if (!hit.valid()) return false;
  start_ = hit;
  anchor_ = point;
  if (hit.side == 0) {
    const JackRef target = CableTarget(hit.panel, hit.channel);
    if (target.valid()) {
      // Lift the cable's playback end: the record end stays where it is.
      start_ = target;
      anchor_ = CableEnd(target);
      Unroute(hit.panel, hit.channel);
    }
  } else {
    const JackRef source = FirstCableInto(hit);
    if (source.valid()) {
      // Lift the record end of the first cable into this jack.
      start_ = source;
      anchor_ = CableEnd(source);
      Unroute(source.panel, source.channel);
    }
  }
  hover_ = start_;
  if (Jack* pressed = JackAt(hit)) pressed->lit = true;
  active_ = true;
  // The loose cable starts at the pointer; the first drag step then makes a
  // lifted cable's pressed jack the hovered one.
  CableShape(anchor_, point, dragged_);
  Drag(point);
  return true;
}

bool RouteEditor::Drag(POINT point) {
  if (!active_) return false;
  moved_ = true;
  const JackRef hit = HitTest(point);
  if (hit.valid() && hover_.valid() && hit.side == hover_.side &&
      hit.channel == hover_.channel) {
    return false;
  }
  const bool hover_is_start =
      hover_.side == start_.side && hover_.channel == start_.channel;
  if (!hover_is_start) {
    if (Jack* jack = JackAt(hover_)) jack->lit = false;
  }
  hover_ = hit;
  if (hit.valid() && hit.side != start_.side) JackAt(hit)->lit = true;
  CableShape(anchor_, point, dragged_);
  return true;
}

void RouteEditor::Release(POINT point) {
  const JackRef hit = HitTest(point);
  if (active_) {
    if (moved_ && hit.valid() && hit.side != start_.side) {
      if (hit.side == 0) {
        Route(hit.panel, hit.channel, start_.panel, start_.channel);
      } else {
        Route(start_.panel, start_.channel, hit.panel, hit.channel);
      }
    }
  } else if (hit.valid()) {
    if (hit.side == 0) {
      Unroute(hit.panel, hit.channel);
    } else {
      const JackRef source = FirstCableInto(hit);
      if (source.valid()) Unroute(source.panel, source.channel);
    }
  }
  active_ = false;
  moved_ = false;
  start_ = hover_ = JackRef{};
  for (POINT& p : dragged_) p = POINT{0, 0};
  UnlightAll();
}

void RouteEditor::UnlightAll() {
  for (Panel& panel : panels_) {
    for (auto& column : panel.jacks) {
      for (Jack& jack : column) jack.lit = false;
    }
  }
}

void RouteEditor::Stroke(HDC dc, const POINT (&points)[4], int pen_row) const {
  HGDIOBJ old = SelectObject(dc, pens_[pen_row][0]);
  for (int k = 0; k < kPenStrokes; ++k) {
    SelectObject(dc, pens_[pen_row][k]);
    PolyBezier(dc, points, 4);
  }
  SelectObject(dc, old);
}

void RouteEditor::Paint(HDC dc, HBITMAP lit, HBITMAP unlit) const {
  const SIZE lit_size = BitmapSize(lit), unlit_size = BitmapSize(unlit);
  for (const Panel& panel : panels_) {
    for (int side = 0; side < 2; ++side) {
      for (int i = 0; i < panel.count[side]; ++i) {
        const Jack& jack = panel.jacks[side][i];
        const SIZE size = jack.lit ? lit_size : unlit_size;
        BlitBitmap(dc, jack.rect.left + picture_dx_, jack.rect.top + picture_dy_, size.cx,
                   size.cy, jack.lit ? lit : unlit, 0, 0);
      }
    }
  }
  for (int g = 0; g < kJackPanels; ++g) {
    for (int i = 0; i < channels_; ++i) {
      const JackRef source{g, 0, i};
      const JackRef target = CableTarget(g, i);
      if (!target.valid() || !JackAt(source)) continue;
      POINT points[4];
      CableShape(CableEnd(source), CableEnd(target), points);
      Stroke(dc, points, g);
    }
  }
  if (active_) Stroke(dc, dragged_, kDraggedPenRow);
}

}  // namespace tqm::widgets
