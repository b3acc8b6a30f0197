// What the parts of tqmsim.dll share: the connection (bridge.cpp) and the
// Core Audio objects (core_audio.cpp).
#pragma once

#include <optional>

#include "platform/bridge/protocol.h"

namespace tqmsim {

// One request on the process's connection; nothing without a server.
std::optional<tqm::bridge::Message> Request(tqm::bridge::Message request);
// An endpoint's change from the server (the reader thread): queued for the
// callbacks registered in this process.
void DeliverEndpointChange(const tqm::bridge::Message& change);

}  // namespace tqmsim
