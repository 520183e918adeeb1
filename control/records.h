// The request and response records of the control pipe and their lane sub-records.
// decode_request is strict (exact types, ranges, no duplicate keys, UTF-8 only);
// encode_response writes compact JSON in declared member order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace brenmoor {

inline constexpr std::uint32_t kMaxRequestBytes = 8388608;  // 8 MiB frame body limit

enum class Command { start, stop, status, renew_lease, datagram, carrier };
std::string_view command_name(Command c);

struct CarrierConfig {
  std::string endpoint;
  std::uint16_t port_count = 0;
  std::string pin;
  std::string auth;  // secret: zeroed on destruction
  std::string consumer_key;
  std::string node_name;
  std::string uplink;
  std::string server_name;
  CarrierConfig() = default;
  CarrierConfig(const CarrierConfig&) = default;
  CarrierConfig(CarrierConfig&&) = default;
  CarrierConfig& operator=(const CarrierConfig&) = default;
  CarrierConfig& operator=(CarrierConfig&&) = default;
  ~CarrierConfig();
};

enum class CarrierOp { offer, status, stop };

struct CarrierRequest {
  CarrierOp op = CarrierOp::status;
  std::uint64_t generation = 0;
  std::optional<CarrierConfig> config;
};

struct CarrierStatus {
  std::uint64_t core_generation = 0;
  std::string uplink;
  std::string server_name;
  bool armed = false;
  std::string result;
  std::uint64_t installed_generation = 0;
  std::string grant_id;
  std::int64_t not_after_unix = 0;
  bool ready = false;
  bool pending = false;
  std::int64_t retry_after_ms = 0;
  std::uint64_t failures = 0;
  std::uint64_t peer_ack = 0;
  std::uint64_t key_updates = 0;
  std::uint64_t initial_packets = 0;
  std::int64_t initial_offset = 0;
  std::int64_t active_streams = 0;
};

struct DatagramRequest {
  std::string op;
  std::uint16_t port = 0;
  std::string auth;         // secret
  std::string private_key;  // secret
  std::string node_public_key;
  bool allow_443 = false;
  DatagramRequest() = default;
  DatagramRequest(const DatagramRequest&) = default;
  DatagramRequest(DatagramRequest&&) = default;
  DatagramRequest& operator=(const DatagramRequest&) = default;
  DatagramRequest& operator=(DatagramRequest&&) = default;
  ~DatagramRequest();
};

struct DatagramStatus {
  bool active = false;
  std::uint64_t auth_rejected = 0;
  std::uint16_t caps = 0;
  std::int64_t not_after_unix = 0;
  std::optional<std::string> stats_json;  // the engine's "stats" value, compact JSON; absent when null
};

struct ServiceRequest {
  std::uint32_t version = 0;
  Command command = Command::status;
  std::string request_id;
  std::int64_t issued_at_unix_ms = 0;
  std::string config_json;
  std::string server_address;
  std::string engine_path;
  std::string geodata_dir;
  std::string wintun_path;
  std::string wintun_sha256;
  std::uint32_t lease_seconds = 0;
  std::string session_token;
  std::optional<DatagramRequest> datagram;
  std::optional<CarrierRequest> carrier;
  // The session token, and the configuration with the proxy's user ids, are zeroed
  // on destruction like the frame they were copied from.
  ServiceRequest() = default;
  ServiceRequest(const ServiceRequest&) = default;
  ServiceRequest(ServiceRequest&&) = default;
  ServiceRequest& operator=(const ServiceRequest&) = default;
  ServiceRequest& operator=(ServiceRequest&&) = default;
  ~ServiceRequest();
};

struct ServiceResponse {
  bool success = false;
  std::string state;  // "idle", "starting", "active" or "error"
  std::string error;
  bool degraded = false;
  std::string session_token;
  std::optional<DatagramStatus> datagram;
  std::optional<CarrierStatus> carrier;
};

[[nodiscard]] Result<ServiceRequest> decode_request(std::string_view body);

// Readable bytes the JSON parser may look at past the end of its input.
inline constexpr std::size_t kJsonPadding = 64;
// Same as decode_request, without the private padded copy: body.data() must be
// followed by at least kJsonPadding readable bytes (the frame reader allocates them).
[[nodiscard]] Result<ServiceRequest> decode_request_padded(std::string_view body);
[[nodiscard]] Result<std::string> encode_response(const ServiceResponse& response);
ServiceResponse error_response(std::string_view code);

// Lane records from engine replies (same strictness as requests).
[[nodiscard]] Result<CarrierStatus> decode_carrier_status(std::string_view json);
[[nodiscard]] Result<DatagramStatus> decode_datagram_status(std::string_view json);

// The one writer of each engine status record, members in the order of the
// record: the responses carry them, and the stand-in engine answers with them, so
// that the two cannot drift apart.
class JsonWriter;
void write_carrier_status(JsonWriter& w, const CarrierStatus& s);
void write_datagram_status(JsonWriter& w, const DatagramStatus& s);

}  // namespace brenmoor
