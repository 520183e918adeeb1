// Turns one decoded request into one response or one error code. Called by the
// connection handlers, possibly by several at once.
#pragma once

#include "control/records.h"
#include "control/shared_state.h"

namespace brenmoor {

[[nodiscard]] Result<ServiceResponse> dispatch_request(SharedState& state, const ServiceRequest& request);

enum class WatchdogCycle { keep_running, end };

// One pass of the lease watchdog at time `now`: tears down a session whose lease
// ran out or whose engine exited. Ends on a poisoned lock or once stopping is set.
WatchdogCycle lease_watchdog_cycle(SharedState& state);

// A cycle whose exception (an allocation failure, a throwing teardown) ends in
// the log line "lease watchdog cycle failed" instead of ending the process with
// the session's routes and DNS in place; the watchdog then keeps running.
WatchdogCycle contained_lease_watchdog_cycle(SharedState& state) noexcept;

// The watchdog thread body: sleep 5 s on the state's clock, run a contained cycle,
// repeat.
void run_lease_watchdog(SharedState& state);

inline constexpr Duration kWatchdogPeriod = std::chrono::seconds(5);

}  // namespace brenmoor
