// The machine's Windows audio endpoints (serve_endpoints.h).
#include "platform/sim/serve_endpoints.h"

#include <cstring>

#include "platform/companion/companion.h"
#include "platform/sim/serve.h"
#include "platform/sim/serve_connection.h"
#include "usb/tqm27_port.h"

namespace tqm::sim {

using bridge::EndpointOp;
using bridge::Message;
using bridge::MessageType;

namespace {

constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidArg = 0x80070057;          // E_INVALIDARG
constexpr uint32_t kNotFound = 0x80070490;            // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr uint32_t kDeviceInvalidated = 0x88890004;   // AUDCLNT_E_DEVICE_INVALIDATED
constexpr uint32_t kNoMoreEntries = 0x8000001A;       // STATUS_NO_MORE_ENTRIES
constexpr size_t kGuid = 16;

// The TQM27's child device interface as the audio stack names its filters:
// the companion's topology pins end in the number of the pin pair.
constexpr wchar_t kTopology[] = L"{2}.\\\\?\\oru#tqm27_01#0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\oru_mixer_";

uint64_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float BitsFloat(uint64_t bits) {
  const uint32_t u = uint32_t(bits);
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

uint64_t Pair(float low, float high) { return FloatBits(low) | FloatBits(high) << 32; }

// The request's event context and endpoint id.
bool Split(const std::vector<uint8_t>& payload, uint8_t context[kGuid], std::wstring* id) {
  if (payload.size() < kGuid) return false;
  std::memcpy(context, payload.data(), kGuid);
  *id = bridge::PathFromBytes(std::vector<uint8_t>(payload.begin() + kGuid, payload.end()));
  return true;
}

companion::Flow FlowOf(int flow) { return flow == 0 ? companion::Flow::Render : companion::Flow::Capture; }

}  // namespace

EndpointService::EndpointService(BridgeServer& server) : server_(server) {
  // What the extra endpoints start at: levels the TQM27's own never have at
  // start, so a panel that took one for the device's would show it.
  extraLevels_[0].db[0] = extraLevels_[0].db[1] = -30.0f;
  extraLevels_[1].db[0] = extraLevels_[1].db[1] = -20.0f;
}

std::vector<EndpointService::Endpoint> EndpointService::Present() {
  bool attached = false;
  server_.OnMachineThread([&] {
    companion::Companion* c = server_.sim().Companion();
    attached = c && c->Attached();
  });
  std::vector<Endpoint> list;
  std::lock_guard lock(mu_);
  const companion::VolumeRange render = companion::Companion::Range(companion::Flow::Render);
  const companion::VolumeRange capture = companion::Companion::Range(companion::Flow::Capture);
  const auto make = [&](Kind kind, int flow, const wchar_t* id, const wchar_t* name, std::wstring connected,
                        uint32_t topology) {
    const companion::VolumeRange& r = flow == 0 ? render : capture;
    list.push_back(Endpoint{kind, flow, id, name, std::move(connected), topology, float(r.minDb), float(r.maxDb),
                            float(r.stepDb)});
  };
  if (unrelated_)
    make(Kind::Unrelated, 0, L"{0.0.0.00000000}.{3f0b9a52-1d28-4c71-8e0a-1d2800000001}",
         L"Speakers (USB Audio Device)",
         L"{2}.\\\\?\\usb#vid_1d28&pid_0001#5&1d28&0&2#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\speaker",
         kNotFound);
  if (attached && !hidden_) {
    if (thirdPin_)
      make(Kind::ThirdPin, 0, L"{0.0.0.00000000}.{6a1c2f40-27a1-4d2e-9b1e-0127d0000003}", L"Monitor (TQM27)",
           std::wstring(kTopology) + L"out3", kOk);
    make(Kind::Render, 0, L"{0.0.0.00000000}.{6a1c2f40-27a1-4d2e-9b1e-0127d0000001}", L"Speakers (TQM27)",
         std::wstring(kTopology) + L"out1", kOk);
    make(Kind::Capture, 1, L"{0.0.1.00000000}.{6a1c2f40-27a1-4d2e-9b1e-0127d0000002}", L"Line In (TQM27)",
         std::wstring(kTopology) + L"in1", kOk);
  }
  return list;
}

bool EndpointService::Find(const std::wstring& id, Endpoint* endpoint) {
  for (Endpoint& e : Present()) {
    if (e.id == id) {
      *endpoint = std::move(e);
      return true;
    }
  }
  return false;
}

uint32_t EndpointService::Read(const Endpoint& e, Levels* levels) {
  if (e.kind == Kind::Unrelated || e.kind == Kind::ThirdPin) {
    std::lock_guard lock(mu_);
    *levels = extraLevels_[e.kind == Kind::Unrelated ? 0 : 1];
    return kOk;
  }
  uint32_t result = kDeviceInvalidated;
  server_.OnMachineThread([&] {
    companion::Companion* c = server_.sim().Companion();
    if (!c || !c->Attached()) return;
    const companion::EndpointState state = c->Endpoint(FlowOf(e.flow));
    levels->db[0] = float(state.levelDb[0]);
    levels->db[1] = float(state.levelDb[1]);
    levels->muted = state.muted;
    result = kOk;
  });
  return result;
}

uint32_t EndpointService::Change(const Endpoint& e, int channel, float db, int mute, const uint8_t context[kGuid]) {
  if (channel < 0 || channel > 2) return kInvalidArg;
  if (mute < 0 && !(db >= e.minDb && db <= e.maxDb)) return kInvalidArg;
  Levels now;
  uint32_t result = kDeviceInvalidated;
  if (e.kind == Kind::Unrelated || e.kind == Kind::ThirdPin) {
    std::lock_guard lock(mu_);
    Levels& l = extraLevels_[e.kind == Kind::Unrelated ? 0 : 1];
    if (mute >= 0) l.muted = mute != 0;
    else if (channel == 2) l.db[0] = l.db[1] = db;
    else l.db[channel] = db;
    now = l;
    result = kOk;
  } else {
    server_.OnMachineThread([&] {
      companion::Companion* c = server_.sim().Companion();
      if (!c || !c->Attached()) return;
      const companion::Flow flow = FlowOf(e.flow);
      bool done;
      if (mute >= 0) {
        done = c->SetMute(flow, mute != 0);
      } else {
        const companion::EndpointState state = c->Endpoint(flow);
        double left = state.levelDb[0], right = state.levelDb[1];
        if (channel != 1) left = db;
        if (channel != 0) right = db;
        done = c->SetVolume(flow, left, right);
      }
      if (!done) {
        result = kInvalidArg;
        return;
      }
      const companion::EndpointState state = c->Endpoint(flow);
      now.db[0] = float(state.levelDb[0]);
      now.db[1] = float(state.levelDb[1]);
      now.muted = state.muted;
      result = kOk;
    });
  }
  if (result == kOk) Tell(e, now, context);
  return result;
}

void EndpointService::Tell(const Endpoint& e, const Levels& levels, const uint8_t context[kGuid]) {
  Message m;
  m.type = MessageType::EndpointChange;
  m.a[0] = Pair(levels.db[0], levels.db[1]);
  m.a[1] = levels.muted ? 1 : 0;
  m.a[2] = Pair(e.minDb, e.maxDb);
  m.payload.assign(context, context + kGuid);
  const std::vector<uint8_t> id = bridge::PathBytes(e.id);
  m.payload.insert(m.payload.end(), id.begin(), id.end());
  std::vector<std::shared_ptr<Connection>> targets;
  {
    std::lock_guard lock(mu_);
    for (auto it = watchers_.begin(); it != watchers_.end();) {
      if (auto c = it->lock()) {
        targets.push_back(std::move(c));
        ++it;
      } else {
        it = watchers_.erase(it);
      }
    }
  }
  for (const auto& c : targets) c->Post(m);
}

Message EndpointService::Answer(const Message& request, const std::shared_ptr<Connection>& from) {
  Message reply;
  reply.status = kOk;
  uint8_t context[kGuid] = {};
  std::wstring id;
  switch (EndpointOp(request.a[0])) {
    case EndpointOp::Describe: {
      const std::vector<Endpoint> list = Present();
      if (request.a[1] >= list.size()) {
        reply.status = kNoMoreEntries;
        break;
      }
      const Endpoint& e = list[size_t(request.a[1])];
      reply.a[0] = uint64_t(e.flow);
      reply.a[1] = e.topology;
      reply.a[2] = Pair(e.minDb, e.maxDb);
      reply.a[3] = FloatBits(e.stepDb);
      reply.payload = bridge::PathBytes(e.id + L'\0' + e.name + L'\0' + e.connected);
      break;
    }
    case EndpointOp::Read: {
      Endpoint e;
      Levels levels;
      if (!Split(request.payload, context, &id) || !Find(id, &e)) {
        reply.status = kDeviceInvalidated;
        break;
      }
      reply.status = Read(e, &levels);
      reply.a[0] = Pair(levels.db[0], levels.db[1]);
      reply.a[1] = levels.muted ? 1 : 0;
      break;
    }
    case EndpointOp::SetLevel:
    case EndpointOp::SetMute: {
      Endpoint e;
      if (!Split(request.payload, context, &id) || !Find(id, &e)) {
        reply.status = kDeviceInvalidated;
        break;
      }
      if (EndpointOp(request.a[0]) == EndpointOp::SetMute)
        reply.status = Change(e, 0, 0, request.a[1] ? 1 : 0, context);
      else
        reply.status = Change(e, int(request.a[1]), BitsFloat(request.a[2]), -1, context);
      break;
    }
    case EndpointOp::Watch: {
      std::lock_guard lock(mu_);
      for (auto it = watchers_.begin(); it != watchers_.end();) {
        if (it->lock() == from) it = watchers_.erase(it);
        else ++it;
      }
      if (request.a[1]) watchers_.push_back(from);
      break;
    }
    default:
      reply.status = kInvalidArg;
  }
  return reply;
}

Message EndpointService::AnswerControl(const Message& request) {
  Message reply;
  reply.status = kOk;
  const uint8_t none[kGuid] = {};
  const auto deviceEndpoint = [&](uint64_t flow, Endpoint* e) {
    if (flow > 1) return false;
    for (Endpoint& p : Present()) {
      if (p.kind == (flow == 0 ? Kind::Render : Kind::Capture)) {
        *e = std::move(p);
        return true;
      }
    }
    return false;
  };
  Endpoint e;
  switch (bridge::MachineOp(request.a[0])) {
    case bridge::MachineOp::EndpointLevels: {
      if (!deviceEndpoint(request.a[1], &e)) {
        reply.status = kDeviceInvalidated;
        break;
      }
      // One change of both channels, as the sound settings' slider makes it.
      const float left = BitsFloat(request.a[2]), right = BitsFloat(request.a[2] >> 32);
      bool done = false;
      server_.OnMachineThread([&] {
        companion::Companion* c = server_.sim().Companion();
        done = c && c->SetVolume(FlowOf(e.flow), left, right);
      });
      if (!done) {
        reply.status = kInvalidArg;
        break;
      }
      Levels now;
      Read(e, &now);
      Tell(e, now, none);
      break;
    }
    case bridge::MachineOp::EndpointMute:
      if (!deviceEndpoint(request.a[1], &e)) {
        reply.status = kDeviceInvalidated;
        break;
      }
      reply.status = Change(e, 0, 0, request.a[2] ? 1 : 0, none);
      break;
    case bridge::MachineOp::EndpointRead: {
      Levels levels;
      if (!deviceEndpoint(request.a[1], &e)) {
        reply.status = kDeviceInvalidated;
        break;
      }
      reply.status = Read(e, &levels);
      reply.a[0] = Pair(levels.db[0], levels.db[1]);
      reply.a[1] = levels.muted ? 1 : 0;
      break;
    }
    case bridge::MachineOp::EndpointExtra: {
      std::lock_guard lock(mu_);
      const auto kind = bridge::EndpointExtraKind(request.a[1]);
      if (kind == bridge::EndpointExtraKind::Unrelated) unrelated_ = request.a[2] != 0;
      else if (kind == bridge::EndpointExtraKind::ThirdPin) thirdPin_ = request.a[2] != 0;
      else reply.status = kInvalidArg;
      break;
    }
    case bridge::MachineOp::EndpointsPresent: {
      std::lock_guard lock(mu_);
      hidden_ = request.a[1] == 0;
      break;
    }
    case bridge::MachineOp::FeatureUnits: {
      bool found = false;
      if (request.a[1] < usb::UsbHub::kPorts) {
        server_.OnMachineThread([&] {
          usb::Tqm27Port* port = server_.sim().port(size_t(request.a[1]));
          if (!port) return;
          const usb::DeviceState state = port->device().State();
          const auto pack = [](const usb::FeatureUnitState& u) {
            return uint64_t(uint16_t(u.volume[0])) | uint64_t(uint16_t(u.volume[1])) << 16 |
                   uint64_t(u.mute ? 1 : 0) << 32;
          };
          reply.a[0] = pack(state.playback);
          reply.a[1] = pack(state.record);
          found = true;
        });
      }
      if (!found) reply.status = 0xC000000E;  // STATUS_NO_SUCH_DEVICE
      break;
    }
    default:
      reply.status = kInvalidArg;
  }
  return reply;
}

}  // namespace tqm::sim
