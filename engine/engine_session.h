// The one running engine session. The dispatcher's SharedState owns it; whoever
// takes it out of the slot owns it and must hand it to stop_engine_session.
//
// Members are declared in the order they should be released in reverse: the
// engine's process handle first, its job last (closing the job ends the engine
// and anything it started), so releasing a session needs no code of its own.
#pragma once

#include <cstdint>
#include <string>

#include "common/secret.h"
#include "common/utf8.h"
#include "network/network_state.h"
#include "platform/clock.h"
#include "platform/job.h"
#include "platform/process.h"

namespace brenmoor {

class NetworkJournal;

inline constexpr std::string_view kAdapterAlias = "Brenmoor Device Path";

struct EngineSession {
  EngineSession() = default;
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
  virtual ~EngineSession() {
    zero_and_clear(control_token);
    zero_and_clear(session_token);
  }

  platform::Job job;                // kill-on-close; released last
  platform::Process engine_process;  // stdout already handed to the readiness waiter
  std::uint16_t control_port = 0;
  std::string control_token;  // sent on every control request; zeroed on release
  std::string adapter_alias{kAdapterAlias};
  std::string server_address;
  NetworkState network_state;  // what the bring-up installed, with the DNS snapshot
  // Where every change to network_state is written before its command runs
  // (journal_network_state in network/journal.h); not owned, may be null.
  NetworkJournal* network_journal = nullptr;
  std::string session_token;   // returned to the client, required on later requests; zeroed on release
  MonoTime lease_deadline{};   // monotonic; replaced by renew_lease
};

}  // namespace brenmoor
