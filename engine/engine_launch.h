// Bringing one engine session up and taking it down again.
//
// start_engine_session runs on the dispatcher's thread under the lifecycle guard;
// stop_engine_session on whichever thread took the session out of the slot (the
// dispatcher, the lease watchdog or the shutdown's cleanup worker). Neither keeps
// state between calls; the only thread started here is the readiness waiter.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "control/records.h"
#include "engine/engine_session.h"
#include "network/command_runner.h"
#include "network/journal.h"
#include "platform/clock.h"

namespace brenmoor {

struct EngineLaunchConfig {
  CommandRunner* runner = nullptr;  // nullptr: system_command_runner()
  Clock* clock = nullptr;           // nullptr: system_clock()
  Duration ready_limit = std::chrono::seconds(10);
  Duration adapter_limit = std::chrono::milliseconds(7500);
  Duration connect_receive_limit = std::chrono::seconds(30);
  // How long a kill waits for the terminated engine to end before it closes the
  // job, logs "engine did not exit" and goes on.
  Duration engine_exit_limit = std::chrono::seconds(10);
  // Where the assets are looked for: beside this executable path. Empty: the
  // running executable (the service). Benchmarks point it into a scratch folder.
  std::string executable_path;
  // Called as each phase of a start or stop completes ("launch", "readiness",
  // "connect", "adapter", "dns_snapshot", "bring_up", "teardown"); for measurements.
  std::function<void(std::string_view phase)> on_phase;
  // The crash-recovery journal the session's network changes are written to; it
  // must outlive every session. nullptr: none (tests, benchmarks).
  NetworkJournal* journal = nullptr;
};

// Launches the engine in its job, waits for "READY port=", connects it, waits for
// its adapter, snapshots DNS and brings the network up. On failure everything done
// so far is undone (network teardown, POST /disconnect, kill) and the first failing
// step's code is returned; the engine never outlives a failed start.
[[nodiscard]] Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request,
                                                                         const EngineLaunchConfig& config = {});

// Teardown with address cleanup, POST /disconnect, teardown again without, then
// the engine is terminated, awaited for at most engine_exit_limit, and its job
// closed. Every step is best effort; the session has ended when this returns.
void stop_engine_session(std::unique_ptr<EngineSession> session, const EngineLaunchConfig& config = {});

// Polls "netsh interface show interface {alias}" every 250 ms for at most 7.5 s and
// 30 attempts. "adapter_not_ready", or at once any runner code but "command_failed".
[[nodiscard]] Status wait_adapter_ready(std::string_view alias, CommandRunner& runner, Clock& clock,
                                        Duration limit = std::chrono::milliseconds(7500));

// The engine's extra environment: BREN_CONTROL_TOKEN, XRAY_LOCATION_ASSET and PATH =
// "{wintun_dir};{service PATH}" (':' between them on the dev host).
std::vector<platform::EnvOverride> engine_environment(std::string_view control_token, std::string_view geodata_dir,
                                                      std::string_view wintun_dir);

}  // namespace brenmoor
