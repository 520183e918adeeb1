// The one running engine session. The dispatcher's SharedState owns it; whoever
// takes it out of the slot owns it and must hand it to stop_engine_session.
#pragma once

#include <string>

#include "platform/clock.h"

namespace brenmoor {

struct EngineSession {
  std::string session_token;  // returned to the client, required on later requests
  MonoTime lease_deadline{};  // monotonic; replaced by renew_lease
  virtual ~EngineSession() = default;
};

}  // namespace brenmoor
