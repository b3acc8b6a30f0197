// The server's test-side machinery beyond plug and unplug (serve.h): the
// per-process command logs, the devices' counters and the simulator's own
// stream client on a chosen TQM27, and the control requests that read and
// drive them.
#include <cstring>

#include "platform/sim/serve.h"
#include "platform/sim/serve_connection.h"
#include "platform/sim/stream_client.h"
#include "usb/tqm27_port.h"

namespace tqm::sim {

using bridge::Message;

// ---- command logs ----

void CommandLog::Add(const Entry& entry) {
  std::lock_guard lock(mu_);
  if (entries_.size() == kMaxEntries) {
    entries_.pop_front();
    ++dropped_;
  }
  entries_.push_back(entry);
}

size_t CommandLog::Count() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

bool CommandLog::At(size_t index, Entry* entry) const {
  std::lock_guard lock(mu_);
  if (index >= entries_.size()) return false;
  *entry = entries_[index];
  return true;
}

std::shared_ptr<CommandLog> BridgeServer::NewCommandLog(uint64_t process) {
  auto log = std::make_shared<CommandLog>();
  std::lock_guard lock(logMu_);
  logs_[process] = log;
  return log;
}

std::shared_ptr<CommandLog> BridgeServer::CommandLogOf(uint64_t process) {
  std::lock_guard lock(logMu_);
  auto it = logs_.find(process);
  return it == logs_.end() ? nullptr : it->second;
}

// ---- the stream client ----

NTSTATUS BridgeServer::StartStream(size_t index, uint32_t rate, std::string* error) {
  if (index >= streams_.size()) return STATUS_INVALID_PARAMETER;
  if (streams_[index]) {
    *error = "a stream client already runs on that device";
    return STATUS_DEVICE_BUSY;
  }
  usb::Tqm27Port* port = sim_->port(index);
  if (!port || port->Deleted() || port->Disconnected()) {
    *error = "no TQM27 on that port";
    return STATUS_NO_SUCH_DEVICE;
  }
  // The device's own interface: its instance path with '#' for '\'.
  std::wstring munged = sim_->machine().InstancePath(port->pdo());
  for (wchar_t& c : munged) c = c == L'\\' ? L'#' : c;
  std::wstring path;
  for (const std::wstring& p : sim_->DriverInterfaces())
    if (p.size() > 4 + munged.size() && p.compare(4, munged.size(), munged) == 0 && p[4 + munged.size()] == L'#')
      path = p;
  if (path.empty()) {
    *error = "the device has no interface enabled";
    return STATUS_NO_SUCH_DEVICE;
  }
  auto client = std::make_unique<StreamClient>(*sim_, "stream client " + std::to_string(index));
  if (!client->Open(path, error)) return STATUS_UNSUCCESSFUL;
  if (!client->CreateBuffers(rate, error) || !client->Start([](const PeriodBuffers&) {}, error)) {
    client->Stop();
    client->DisposeBuffers();
    client->Close();
    return STATUS_UNSUCCESSFUL;
  }
  streamStates_[index] = StreamState{true, 0, 0, client->periodFrames()};
  streams_[index] = std::move(client);
  return STATUS_SUCCESS;
}

void BridgeServer::StopStream(size_t index) {
  if (index >= streams_.size() || !streams_[index]) return;
  std::unique_ptr<StreamClient> client = std::move(streams_[index]);
  client->Stop();
  const StreamCounters counters = client->counters();
  streamStates_[index] = StreamState{false, counters.periods, counters.missed, client->periodFrames()};
  client->DisposeBuffers();
  client->Close();
}

BridgeServer::StreamState BridgeServer::StreamStateOf(size_t index) {
  if (index >= streams_.size()) return {};
  if (const auto& client = streams_[index]) {
    const StreamCounters counters = client->counters();
    return StreamState{true, counters.periods, counters.missed, client->periodFrames()};
  }
  return streamStates_[index];
}

// ---- the control requests ----

Message Connection::AnswerMachine(const Message& request) {
  Message reply;
  const auto op = bridge::MachineOp(request.a[0]);
  switch (op) {
    case bridge::MachineOp::CommandCount:
    case bridge::MachineOp::Command: {
      const uint64_t process = request.a[1] ? request.a[1] : process_->id();
      std::shared_ptr<CommandLog> log = server_.CommandLogOf(process);
      if (!log) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (op == bridge::MachineOp::CommandCount) {
        reply.a[0] = log->Count();
        break;
      }
      CommandLog::Entry entry;
      if (!log->At(size_t(request.a[2]), &entry)) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      reply.a[0] = entry.commandClass | uint64_t(entry.subOp) << 32;
      reply.a[1] = uint32_t(entry.status) | uint64_t(entry.information) << 32;
      reply.payload.assign(entry.record, entry.record + sizeof entry.record);
      reply.payload.insert(reply.payload.end(), entry.settings, entry.settings + entry.settingsBytes);
      break;
    }
    case bridge::MachineOp::DeviceCounters: {
      bool found = false;
      usb::DeviceCounters c;
      if (request.a[1] >= usb::UsbHub::kPorts || !server_.OnMachineThread([&] {
            usb::Tqm27Port* port = server_.sim().port(size_t(request.a[1]));
            if (!port) return;
            c = port->device().Counters();
            found = true;
          }) || !found) {
        reply.status = STATUS_NO_SUCH_DEVICE;
        break;
      }
      // In the order control.h's TqmSimDeviceCounters lists them.
      const uint64_t values[] = {c.frames,       c.outPackets,        c.outFrames,    c.inPackets,
                                 c.inFrames,     c.dacUnderruns,      c.dacOverruns,  c.inFramesLost,
                                 c.outSizeMismatches, c.packetErrors, c.loopbackDryFrames};
      reply.payload.resize(sizeof values);
      std::memcpy(reply.payload.data(), values, sizeof values);
      break;
    }
    case bridge::MachineOp::StreamStart: {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      std::string error;
      const uint64_t rate = request.a[2] ? request.a[2] : 48000;
      if (request.a[1] >= usb::UsbHub::kPorts || (rate != 44100 && rate != 48000 && rate != 96000)) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (!server_.OnMachineThread([&] { status = server_.StartStream(size_t(request.a[1]), uint32_t(rate), &error); }))
        status = STATUS_UNSUCCESSFUL;
      if (!NT_SUCCESS(status)) server_.Log("stream client on device " + std::to_string(request.a[1]) + ": " + error);
      reply.status = status;
      break;
    }
    case bridge::MachineOp::StreamStop:
      if (request.a[1] >= usb::UsbHub::kPorts ||
          !server_.OnMachineThread([&] { server_.StopStream(size_t(request.a[1])); }))
        reply.status = STATUS_INVALID_PARAMETER;
      break;
    case bridge::MachineOp::StreamState: {
      BridgeServer::StreamState state;
      if (request.a[1] >= usb::UsbHub::kPorts ||
          !server_.OnMachineThread([&] { state = server_.StreamStateOf(size_t(request.a[1])); })) {
        reply.status = STATUS_INVALID_PARAMETER;
        break;
      }
      reply.a[0] = state.periods;
      reply.a[1] = state.running ? 1 : 0;
      reply.a[2] = state.missed;
      reply.a[3] = state.periodFrames;
      break;
    }
    default:
      reply.status = STATUS_INVALID_PARAMETER;
  }
  return reply;
}

}  // namespace tqm::sim
