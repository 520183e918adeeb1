// The carrier and datagram request families, relayed to the running engine's control
// API. Neither lane keeps state: each answer is the engine's receipt of that request.
// The SharedState lock is held only to take the lane snapshot (and, for the carrier
// lane, to compare the session after the call), never across an engine exchange.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/shared_state.h"
#include "platform/clock.h"

namespace brenmoor {

// Every engine call of one lane request shares one deadline this far ahead.
inline constexpr Duration kLaneDeadline = std::chrono::seconds(12);

class EngineLaneHandlers final : public LaneHandlers {
 public:
  Result<ServiceResponse> handle_carrier_request(SharedState& state, const ServiceRequest& request) override;
  Result<ServiceResponse> handle_datagram_request(SharedState& state, const ServiceRequest& request) override;
};

std::unique_ptr<LaneHandlers> make_lane_handlers();

// Field checks of a carrier offer against the session's server addresses
// (ipv4_servers then ipv6_servers).
[[nodiscard]] Status check_carrier_offer(const std::optional<CarrierConfig>& config, std::uint64_t generation,
                                         const std::vector<std::string>& server_addresses);

// Field checks of a datagram request by its op.
[[nodiscard]] Status check_datagram_request(const DatagramRequest& request);

}  // namespace brenmoor
