#include "engine/session_backend.h"

#include "engine/validate_start.h"

namespace brenmoor {

Status EngineSessionBackend::validate_start_request(const ServiceRequest& request) {
  return brenmoor::validate_start_request(request);
}

Result<std::unique_ptr<EngineSession>> EngineSessionBackend::start_engine_session(const ServiceRequest& request) {
  return brenmoor::start_engine_session(request, config_);
}

void EngineSessionBackend::stop_engine_session(std::unique_ptr<EngineSession> session) {
  brenmoor::stop_engine_session(std::move(session), config_);
}

bool EngineSessionBackend::engine_exited(EngineSession& session) {
  auto state = session.engine_process.try_wait();
  return state.has_value() && state->has_value();  // a failed check counts as not exited
}

std::unique_ptr<SessionBackend> make_session_backend() {
  EngineLaunchConfig config;
  config.journal = &service_network_journal();
  return std::make_unique<EngineSessionBackend>(config);
}

}  // namespace brenmoor
