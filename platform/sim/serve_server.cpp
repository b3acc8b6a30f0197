// The server's machine thread: boot, listen, accept, teardown (serve.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <fstream>

#include "platform/sim/serve.h"
#include "platform/sim/serve_connection.h"
#include "platform/sim/stream_client.h"
#include "tqm/identity.h"
#include "usb/tqm27_port.h"

namespace tqm::sim {

BridgeServer::BridgeServer(ServeOptions options) : options_(std::move(options)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

BridgeServer::~BridgeServer() {
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void BridgeServer::Stop() {
  stopping_.store(true);
  const char byte = 's';
  if (wake_[1] >= 0) [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
}

uint16_t BridgeServer::WaitListening() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return startDone_; });
  return port_;
}

void BridgeServer::Log(const std::string& text) {
  if (options_.log) {
    options_.log(text);
  } else {
    std::fprintf(stderr, "tqm27sim serve: %s\n", text.c_str());
  }
}

void BridgeServer::NoteFault(const kernel::Fault& fault) {
  Log(std::string("verifier: ") + kernel::FaultKindName(fault.kind) + ": " + fault.what + " in " + fault.where);
  std::lock_guard lock(mu_);
  faults_.push_back(fault);
}

void BridgeServer::NoteHoldTimeout(const std::string& what) {
  Log(what);
  std::lock_guard lock(mu_);
  ++holdTimeouts_;
}

uint64_t BridgeServer::FaultCount() {
  std::lock_guard lock(mu_);
  return faults_.size();
}

bool BridgeServer::OnMachineThread(const std::function<void()>& work) {
  Task task{work, {}};
  KeInitializeEvent(&task.done, NotificationEvent, FALSE);
  {
    std::lock_guard lock(mu_);
    if (stopping_.load()) return false;
    tasks_.push_back(&task);
  }
  const char byte = 't';
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
  KeWaitForSingleObject(&task.done, Executive, KernelMode, FALSE, nullptr);
  return true;
}

void BridgeServer::RunTasks() {
  std::vector<Task*> tasks;
  {
    std::lock_guard lock(mu_);
    tasks.swap(tasks_);
  }
  for (Task* t : tasks) {
    if (!stopping_.load()) t->work();
    KeSetEvent(&t->done, IO_NO_INCREMENT, FALSE);
  }
}

namespace {

int Listen(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Written whole under another name and renamed, so a reader never sees half.
bool WritePortFile(const std::string& dir, uint16_t port) {
  const std::string path = dir + "/port";
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << "\n";
    if (!out.good()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

bool BridgeServer::Plug(size_t index) {
  if (index >= usb::UsbHub::kPorts) return false;
  usb::Tqm27Port* port = sim_->Plug(index);
  if (!port) return false;
  if (options_.loopback) port->device().SelectLoopback(options_.loopDelay);
  driverStore_.Installed(index);
  // Each arrival is a new device instance, with a path of its own.
  wchar_t path[160];
  std::swprintf(path, sizeof path / sizeof path[0],
                L"\\\\?\\HID#VID_%04X&PID_%04X#7&%x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                unsigned(kUsbVendorId), unsigned(kUsbProductId), unsigned(++plugs_));
  // The version is the device descriptor's release number (bytes 12, 13);
  // the usage is the report descriptor's vendor page 0xFF00, usage 1.
  const std::span<const uint8_t> device = usb::DeviceDescriptor();
  HidIdentity identity{kUsbVendorId, kUsbProductId, uint16_t(device[12] | device[13] << 8), 0xFF00, 0x0001};
  auto hid = std::make_shared<HidCollection>(path, identity, uint16_t(usb::kHidInputReportBytes + 1),
                                             uint16_t(usb::kHidOutputReportBytes + 1), false);
  hid->Attach(sim_->machine().clock(), &port->device());
  std::lock_guard lock(hidMu_);
  tqm27Hid_[index] = std::move(hid);
  return true;
}

void BridgeServer::Unplug(size_t index) {
  if (index >= usb::UsbHub::kPorts) return;
  std::shared_ptr<HidCollection> hid;
  {
    std::lock_guard lock(hidMu_);
    hid = std::move(tqm27Hid_[index]);
  }
  if (hid) hid->Detach();
  if (sim_->port(index)) sim_->Unplug(index);
}

std::vector<std::shared_ptr<HidCollection>> BridgeServer::HidCollections() {
  std::lock_guard lock(hidMu_);
  std::vector<std::shared_ptr<HidCollection>> all;
  if (foreignHid_) all.push_back(foreignHid_);
  for (const auto& hid : tqm27Hid_)
    if (hid) all.push_back(hid);
  return all;
}

std::shared_ptr<HidCollection> BridgeServer::HidAt(const std::wstring& path) {
  for (auto& c : HidCollections()) {
    const std::wstring& p = c->path();
    if (p.size() == path.size() &&
        std::equal(p.begin(), p.end(), path.begin(), [](wchar_t a, wchar_t b) { return towlower(a) == towlower(b); }))
      return c;
  }
  return nullptr;
}

NTSTATUS BridgeServer::SetOtherVersion(bool present) {
  if (!otherVersion_) return STATUS_INVALID_DEVICE_STATE;
  return present ? otherVersion_->Add() : otherVersion_->Remove();
}

std::shared_ptr<HidCollection> BridgeServer::Tqm27Hid(size_t index) {
  std::lock_guard lock(hidMu_);
  return index < tqm27Hid_.size() ? tqm27Hid_[index] : nullptr;
}

void BridgeServer::SetForeignHid(bool present) {
  std::lock_guard lock(hidMu_);
  if (!present) {
    foreignHid_.reset();
    return;
  }
  if (foreignHid_) return;
  // Another maker's device: opening it is refused, as for a keyboard the
  // system holds.
  HidIdentity identity{0x1D28, 0x0001, 0x0100, 0x0001, 0x0006};
  foreignHid_ = std::make_shared<HidCollection>(
      L"\\\\?\\HID#VID_1D28&PID_0001#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", identity, 9, 2, true);
}

int BridgeServer::Run() {
  auto startFailed = [&](const std::string& why) {
    Log(why);
    std::lock_guard lock(mu_);
    startDone_ = true;
    cv_.notify_all();
    return 2;
  };
  if (wake_[0] < 0) return startFailed("no wake pipe");
  SimulatorOptions simOptions;
  simOptions.clock = options_.clock;
  simOptions.companion = options_.companion;
  simOptions.echoDebugOutput = options_.echoDebugOutput;
  sim_ = std::make_unique<Simulator>(simOptions);
  kernel::Machine& machine = sim_->machine();
  // A fault is recorded and fails the run at its end instead of killing the
  // server under its clients.
  machine.SetFaultHook([this](const kernel::Fault& fault) { NoteFault(fault); });
  machine.SetUserHandleResolver([](kernel::Process& process, HANDLE handle) -> void* {
    if (auto* connection = dynamic_cast<Connection*>(process.remote())) return connection->ReferenceEvent(handle);
    return process.ReferenceHandle(handle);
  });
  for (uint32_t i = 0; options_.plug && i < options_.devices; ++i)
    if (!Plug(i)) return startFailed("TQM27 " + std::to_string(i) + " could not be plugged in");
  if (options_.foreignHid) SetForeignHid(true);
  otherVersion_ = std::make_unique<OtherVersionDevice>(machine);
  if (options_.otherVersion && !NT_SUCCESS(SetOtherVersion(true)))
    return startFailed("the device of another interface version could not be added");

  uint16_t port = 0;
  listen_ = Listen(&port);
  if (listen_ < 0) return startFailed(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
  if (!WritePortFile(options_.dir, port)) {
    ::close(listen_);
    return startFailed("cannot write " + options_.dir + "/port");
  }
  Log("listening on 127.0.0.1:" + std::to_string(port));
  {
    std::lock_guard lock(mu_);
    port_ = port;
    startDone_ = true;
  }
  cv_.notify_all();

  uint32_t accepted = 0;
  while (!stopping_.load()) {
    pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    // In virtual time this thread takes part in the clock: it lets time pass
    // by waiting in the kernel, a millisecond at a time, and only glances at
    // the sockets between.
    // A stopped virtual clock stays where it is while this thread is out of
    // the kernel: it waits for the sockets a while instead.
    const bool virtualTime = sim_->virtualTime();
    const bool freeRun = freeRun_.load();
    if (::poll(fds, 2, !virtualTime ? 1000 : freeRun ? 0 : 5) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    RunTasks();
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_shared<Connection>(*this, fd, ++accepted);
        connection->Start();
        connections_.push_back(std::move(connection));
      }
    }
    // Plug and Play work that requests queued (interface arrivals and
    // removals) is done on this thread.
    machine.ProcessDeviceRelations();
    const auto now = std::chrono::steady_clock::now();
    for (auto& c : connections_) c->CheckAlive(now);
    if (virtualTime && freeRun_.load()) sim_->Run(1);
  }
  return Teardown();
}

int BridgeServer::Teardown() {
  ::close(listen_);
  listen_ = -1;
  // Requests waiting for this thread are answered as refused.
  RunTasks();
  for (size_t i = 0; i < streams_.size(); ++i) StopStream(i);
  for (auto& c : connections_) c->Shutdown();
  // The processes exit on their connections' threads, and their cleanup may
  // need machine time: in virtual time this thread lets it pass meanwhile.
  for (;;) {
    bool all = true;
    for (auto& c : connections_) all = all && c->finished();
    if (all) break;
    if (sim_->virtualTime())  // the clock runs for the teardown, stepped or not
      sim_->Run(1);
    else
      ::usleep(1000);
    RunTasks();
  }
  for (auto& c : connections_) c->Join();
  RunTasks();
  bool clean = true;
  SetForeignHid(false);
  if (otherVersion_ && !NT_SUCCESS(otherVersion_->Remove())) {
    Log("the device of another interface version refused its removal");
    clean = false;
  }
  otherVersion_.reset();
  bool plugged = false;
  for (size_t i = 0; i < usb::UsbHub::kPorts; ++i) plugged = plugged || sim_->port(i);
  if (plugged) {
    for (size_t i = 0; i < usb::UsbHub::kPorts; ++i) Unplug(i);
    for (const auto& [tag, blocks] : sim_->DriverPoolBlocks()) {
      if (blocks == 0) continue;
      Log(std::to_string(blocks) + " pool blocks of tag " + tag + " remain after the TQM27 was removed");
      clean = false;
    }
  }
  // The machine's end unloads what is left and checks it.
  sim_.reset();
  connections_.clear();
  std::lock_guard lock(mu_);
  if (!faults_.empty() || holdTimeouts_) clean = false;
  Log(clean ? "stopped cleanly" : "stopped with faults or leaks");
  return clean ? 0 : 1;
}

}  // namespace tqm::sim
