#include "engine/session_backend.h"

#include <algorithm>
#include <utility>

#include "engine/validate_start.h"
#include "network/tun_network.h"

namespace brenmoor {

Status EngineSessionBackend::validate_start_request(const ServiceRequest& request) {
  return brenmoor::validate_start_request(request);
}

Result<std::unique_ptr<EngineSession>> EngineSessionBackend::start_engine_session(const ServiceRequest& request) {
  // Before the new engine exists: its adapter will carry the same name, and then
  // the name alone could no longer tell the two apart.
  if (!stopped_tun_index_.empty()) {
    const std::string old_index = std::exchange(stopped_tun_index_, std::string());
    CommandRunner& runner = config_.runner != nullptr ? *config_.runner : system_command_runner();
    Clock& clock = config_.clock != nullptr ? *config_.clock : system_clock();
    if (auto gone = wait_adapter_gone(kAdapterAlias, old_index, runner, clock, config_.adapter_limit); !gone) {
      return std::unexpected(gone.error());
    }
  }
  return brenmoor::start_engine_session(request, config_);
}

void EngineSessionBackend::stop_engine_session(std::unique_ptr<EngineSession> session) {
  if (session) stopped_tun_index_ = session->network_state.tun_interface_index;
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

Status wait_adapter_gone(std::string_view alias, std::string_view old_index, CommandRunner& runner, Clock& clock,
                         Duration limit) {
  const MonoTime deadline = clock.now() + limit;
  const std::string lookup = adapter_index_script(alias);
  int attempts_left = 30;
  for (;;) {
    if (clock.now() >= deadline) return fail("adapter_not_ready");
    auto index = runner.run_powershell(lookup);
    if (!index) return index.error() == kCommandFailed ? Status{} : Status(std::unexpected(index.error()));
    if (parse_adapter_index(*index) != old_index) return {};
    clock.sleep_for(std::min<Duration>(deadline - clock.now(), std::chrono::milliseconds(250)));
    if (--attempts_left == 0) return fail("adapter_not_ready");
  }
}

}  // namespace brenmoor
