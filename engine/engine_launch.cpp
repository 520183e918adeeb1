#include "engine/engine_launch.h"

#include <algorithm>
#include <thread>

#include "engine/assets.h"
#include "engine/engine_client.h"
#include "engine/readiness.h"
#include "control/shared_state.h"
#include "engine/tokens.h"
#include "network/routes.h"
#include "network/tun_network.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "service/log.h"

namespace brenmoor {
namespace {

#ifdef _WIN32
constexpr char kPathListSeparator = ';';
#else
constexpr char kPathListSeparator = ':';  // the dev host's PATH syntax
#endif

CommandRunner& runner_of(const EngineLaunchConfig& c) {
  return c.runner != nullptr ? *c.runner : system_command_runner();
}
Clock& clock_of(const EngineLaunchConfig& c) { return c.clock != nullptr ? *c.clock : system_clock(); }

// Terminate and wait, ignoring errors of both; closing the job then takes anything
// the engine started with it. The wait is bounded: an engine stuck in a wait the
// system cannot cancel must not hold the lifecycle gate (and the service stop) for
// ever. Past the bound the session counts as ended all the same.
void kill(platform::Process& process, platform::Job& job, Duration exit_limit) {
  if (process.valid()) {
    (void)process.terminate();
    auto exited = process.wait_for(std::chrono::ceil<std::chrono::milliseconds>(exit_limit));
    if (exited && !*exited) write_log_line("engine did not exit");
  }
  job.close();
}

}  // namespace

std::vector<platform::EnvOverride> engine_environment(std::string_view control_token, std::string_view geodata_dir,
                                                      std::string_view wintun_dir) {
  std::string path(wintun_dir);
  path.push_back(kPathListSeparator);
  path.append(platform::get_env("PATH").value_or(""));
  // Built in place: a braced list would leave an unwiped copy of the token behind.
  std::vector<platform::EnvOverride> env(3);
  env[0].name = "BREN_CONTROL_TOKEN";
  env[0].value.assign(control_token);
  env[1].name = "XRAY_LOCATION_ASSET";
  env[1].value.assign(geodata_dir);
  env[2].name = "PATH";
  env[2].value = std::move(path);
  return env;
}

Status wait_adapter_ready(std::string_view alias, CommandRunner& runner, Clock& clock, Duration limit) {
  const MonoTime deadline = clock.now() + limit;
  int attempts_left = 30;
  const NetworkCommand show{"netsh", {"interface", "show", "interface", std::string(alias)}};
  for (;;) {
    const MonoTime now = clock.now();
    if (now >= deadline) return fail("adapter_not_ready");
    auto shown = runner.run(show);
    if (shown) return {};
    if (shown.error() != kCommandFailed) return shown;
    clock.sleep_for(std::min<Duration>(deadline - clock.now(), std::chrono::milliseconds(250)));
    if (--attempts_left == 0) return fail("adapter_not_ready");
  }
}

Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request,
                                                            const EngineLaunchConfig& config) {
  CommandRunner& runner = runner_of(config);
  Clock& clock = clock_of(config);

  auto phase_done = [&](std::string_view phase) {
    if (config.on_phase) config.on_phase(phase);
  };

  // 1. Assets, found afresh next to the service executable.
  auto assets = config.executable_path.empty() ? discover_service_assets()
                                               : discover_service_assets_at(config.executable_path);
  if (!assets) return std::unexpected(assets.error());

  // 2. Tokens: the control token first, the session token second.
  auto session = std::make_unique<EngineSession>();
  auto control_token = make_token();
  if (!control_token) return std::unexpected(control_token.error());
  session->control_token = std::move(*control_token);
  auto session_token = make_token();
  if (!session_token) return std::unexpected(session_token.error());
  session->session_token = std::move(*session_token);
  session->server_address = request.server_address;

  // 3. The command.
  auto wintun_dir = platform::parent_directory(assets->wintun_path);
  if (!wintun_dir) return fail("wintun_parent_missing");
  platform::SpawnOptions options;
  options.program = assets->engine_path;
  options.args = {"-port", "0"};
  options.stdout_mode = platform::StdioMode::pipe;
  options.stderr_mode = platform::StdioMode::null_device;
  options.env = engine_environment(session->control_token, assets->geodata_dir, *wintun_dir);

  // 4. The engine process, created inside its kill-on-close job (5): whatever it
  // starts, however early, ends with the job.
  auto launched = platform::spawn_in_kill_on_close_job(options);
  for (auto& e : options.env) zero_and_clear(e.value);
  if (!launched) {
    return fail(launched.error() == platform::kSpawnFailed ? "engine_spawn_failed" : "engine_job_assignment_failed");
  }
  session->job = std::move(launched->job);
  session->engine_process = std::move(launched->process);
  phase_done("launch");

  // 6. Standard output.
  platform::PipeReader stdout_pipe = session->engine_process.take_stdout();
  if (!stdout_pipe.is_open()) {
    kill(session->engine_process, session->job, config.engine_exit_limit);
    return fail("engine_stdout_missing");
  }

  // 7. Readiness.
  ReadinessWaiter waiter(std::move(stdout_pipe));
  auto port = waiter.wait(config.ready_limit);
  if (!port) {
    kill(session->engine_process, session->job, config.engine_exit_limit);
    return std::unexpected(port.error());
  }
  session->control_port = *port;
  phase_done("readiness");

  // 8. Configuration (it carries the proxy's user ids: only to a running engine).
  Status connected = require_running_engine(session->engine_process.exit_probe());
  if (connected) {
    connected = engine_connect(session->control_port, session->control_token, request.config_json,
                               config.connect_receive_limit);
  }
  if (!connected) {
    kill(session->engine_process, session->job, config.engine_exit_limit);
    return std::unexpected(connected.error());
  }
  phase_done("connect");

  auto disconnect_and_kill = [&] {
    if (require_running_engine(session->engine_process.exit_probe())) {
      (void)engine_disconnect(session->control_port, session->control_token);
    }
    kill(session->engine_process, session->job, config.engine_exit_limit);
  };

  // 9. The adapter.
  if (auto ready = wait_adapter_ready(session->adapter_alias, runner, clock, config.adapter_limit); !ready) {
    disconnect_and_kill();
    return std::unexpected(ready.error());
  }
  phase_done("adapter");

  // 10. DNS snapshot.
  auto dns = snapshot_tun_dns(runner, session->adapter_alias);
  if (!dns) {
    disconnect_and_kill();
    return fail("dns_snapshot_failed:" + dns.error());
  }
  phase_done("dns_snapshot");

  // 11. Network bring-up; it rolls its own changes back, and the fresh state here
  // (holding only the snapshot) puts DNS back on the adapter as well.
  auto network = configure_tun_network(runner, session->adapter_alias, request.server_address, *dns,
                                       system_host_resolver(), config.journal);
  if (!network) {
    NetworkState snapshot_only;
    snapshot_only.dns_snapshot = *dns;
    teardown_network(runner, session->adapter_alias, snapshot_only, true);
    // Both teardowns are done: nothing the journal names is left to undo.
    if (config.journal != nullptr) config.journal->remove();
    disconnect_and_kill();
    return std::unexpected(network.error());
  }
  session->network_state = std::move(*network);
  session->network_journal = config.journal;
  phase_done("bring_up");

  // 12. The lease.
  session->lease_deadline = clock.now() + lease_length(request.lease_seconds);
  return session;
}

void stop_engine_session(std::unique_ptr<EngineSession> session, const EngineLaunchConfig& config) {
  if (!session) return;
  CommandRunner& runner = runner_of(config);
  // Best effort step by step: a step that throws (an allocation failure) must not
  // cost the steps after it, least of all the second teardown pass and the kill.
  auto step = [](auto&& action) noexcept {
    try {
      action();
    } catch (...) {
    }
  };
  step([&] { teardown_network(runner, session->adapter_alias, session->network_state, true); });
  step([&] {
    if (require_running_engine(session->engine_process.exit_probe())) {
      (void)engine_disconnect(session->control_port, session->control_token);
    }
  });
  step([&] { teardown_network(runner, session->adapter_alias, session->network_state, false); });
  // Only now is the recorded state undone; a crash before this line recovers it.
  if (session->network_journal != nullptr) step([&] { session->network_journal->remove(); });
  step([&] { kill(session->engine_process, session->job, config.engine_exit_limit); });
  if (config.on_phase) step([&] { config.on_phase("teardown"); });
  // Releasing the session closes what is left (handles, job, tokens).
}

}  // namespace brenmoor
