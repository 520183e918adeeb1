// The service's engine sessions as the dispatcher and the lease watchdog see them:
// the start-request checks, the engine launch and teardown, and the engine exit check.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "control/shared_state.h"
#include "engine/engine_launch.h"

namespace brenmoor {

// Starts and stops run one at a time (under the lifecycle guard, or at shutdown
// after the last one), so the backend's own memory needs no lock.
class EngineSessionBackend final : public SessionBackend {
 public:
  explicit EngineSessionBackend(EngineLaunchConfig config = {}) : config_(config) {}
  Status validate_start_request(const ServiceRequest& request) override;
  // When a session was stopped before, its adapter must be gone first
  // (wait_adapter_gone, bounded by the adapter step's limit).
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request) override;
  void stop_engine_session(std::unique_ptr<EngineSession> session) override;
  bool engine_exited(EngineSession& session) override;

 private:
  EngineLaunchConfig config_;
  // The TUN interface index of the session stopped last, until a start has seen
  // that adapter gone.
  std::string stopped_tun_index_;
};

// The backend the service process runs with.
std::unique_ptr<SessionBackend> make_session_backend();

// A killed engine's adapter may still be listed for a moment under the alias the
// next engine's adapter will have; the adapter check and the index lookup, both by
// that name, would then pass on the dying adapter and configure it. This waits until
// the alias no longer answers with `old_index` (the index lookup fails, or names
// another index), polling every 250 ms for at most `limit` and 30 attempts:
// "adapter_not_ready" when it still does, or at once any runner code but
// "command_failed".
[[nodiscard]] Status wait_adapter_gone(std::string_view alias, std::string_view old_index, CommandRunner& runner,
                                       Clock& clock, Duration limit = std::chrono::milliseconds(7500));

}  // namespace brenmoor
