// The service's engine sessions as the dispatcher and the lease watchdog see them:
// the start-request checks, the engine launch and teardown, and the engine exit check.
#pragma once

#include <memory>

#include "control/shared_state.h"
#include "engine/engine_launch.h"

namespace brenmoor {

class EngineSessionBackend final : public SessionBackend {
 public:
  explicit EngineSessionBackend(EngineLaunchConfig config = {}) : config_(config) {}
  Status validate_start_request(const ServiceRequest& request) override;
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request) override;
  void stop_engine_session(std::unique_ptr<EngineSession> session) override;
  bool engine_exited(EngineSession& session) override;

 private:
  EngineLaunchConfig config_;
};

// The backend the service process runs with.
std::unique_ptr<SessionBackend> make_session_backend();

}  // namespace brenmoor
