#include "control/shared_state.h"

#include <algorithm>

#include "common/secret.h"

namespace brenmoor {

Result<LifecycleGuard> begin_lifecycle_operation(SharedState& state) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return fail("state_lock_failed");
  if (state.gate().is_stopping()) return fail("service_stopping");
  return state.gate().acquire_lifecycle_guard();
}

Status check_session_token(const std::unique_ptr<EngineSession>& slot, std::string_view token) {
  if (!slot) return {};
  if (token.empty() || !equal_in_constant_time(token, slot->session_token)) return fail("session_token_invalid");
  return {};
}

Duration lease_length(std::uint32_t lease_seconds) {
  return std::chrono::seconds(std::clamp<std::uint32_t>(lease_seconds, 30, 600));
}

}  // namespace brenmoor
