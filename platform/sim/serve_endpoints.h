// The machine's Windows audio endpoints as Core Audio shows them to the
// processes of `tqm27sim serve` (the server's half; tqmsim.dll makes the COM
// objects of it).
//
// The TQM27's companion presents a render and a capture endpoint; their
// levels and mutes live in the companion, which forwards every change to
// TQMDRV with SetWDMVolume (the driver's deferred apply reaches the device's
// feature units 50 ms later). Besides them a test may add an unrelated
// endpoint of another device, first in the enumeration, whose topology cannot
// be read, and a third render endpoint of the companion whose connected id
// ends in 3. While the companion is not attached (no TQM27, or it was pulled)
// or a test has taken them away, the TQM27's endpoints are gone: every call
// on them fails with AUDCLNT_E_DEVICE_INVALIDATED.
//
// Every change, from whichever process, is told to every process that
// watches (one registered callback is enough), with the event context the
// setter gave, as Windows notifies every registered callback.
//
// Threads: requests come from the connections' request threads; the
// companion is only called on the machine's thread (OnMachineThread), which
// keeps it from being removed under the call. mu_ guards the extras, the
// watchers and the extra endpoints' own levels.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bridge/protocol.h"

namespace tqm::sim {

class BridgeServer;
class Connection;

class EndpointService {
 public:
  explicit EndpointService(BridgeServer& server);

  // The Endpoint request of a process.
  bridge::Message Answer(const bridge::Message& request, const std::shared_ptr<Connection>& from);
  // The control requests (MachineOp::Endpoint*, FeatureUnits).
  bridge::Message AnswerControl(const bridge::Message& request);

 private:
  enum class Kind { Unrelated, ThirdPin, Render, Capture };
  struct Endpoint {
    Kind kind;
    int flow;
    std::wstring id, name, connected;
    uint32_t topology;  // HRESULT of reading it
    float minDb, maxDb, stepDb;
  };
  struct Levels {
    float db[2] = {0, 0};
    bool muted = false;
  };

  // The endpoints present now, in enumeration order.
  std::vector<Endpoint> Present();
  bool Find(const std::wstring& id, Endpoint* endpoint);
  uint32_t Read(const Endpoint& e, Levels* levels);
  // channel 0, 1 or 2 for both; mute < 0 leaves the mute.
  uint32_t Change(const Endpoint& e, int channel, float db, int mute, const uint8_t context[16]);
  void Tell(const Endpoint& e, const Levels& levels, const uint8_t context[16]);

  BridgeServer& server_;
  std::mutex mu_;
  bool unrelated_ = false;
  bool thirdPin_ = false;
  bool hidden_ = false;
  Levels extraLevels_[2];  // the unrelated endpoint's and the third pin's own
  std::vector<std::weak_ptr<Connection>> watchers_;
};

}  // namespace tqm::sim
