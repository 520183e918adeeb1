// The stand-in engine's control API: the state behind /connect, /disconnect and
// the carrier and datagram paths, and the replies they give. One object per
// process; every call may come from any connection thread (one lock inside).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "tools/test-engine/faults.h"

namespace brenmoor::test_engine {

inline constexpr std::string_view kAdapterAlias = "Brenmoor Device Path";

struct Reply {
  int status = 200;
  std::string body;  // JSON, or empty
};

// How the TUN adapter is brought up and taken down (the simulated network, or a
// log line when there is none). Both return false with an error text on failure.
struct AdapterHooks {
  std::function<bool(std::string* error)> create;
  std::function<bool(std::string* error)> remove;
};

// The endpoint name of a request ("connect", "carrier_offer", ...), or "" when
// the path is not one of ours. Method mismatches still name the endpoint.
std::string_view endpoint_of(std::string_view path);

class ControlApi {
 public:
  ControlApi(EngineFaults faults, AdapterHooks hooks) : faults_(std::move(faults)), hooks_(std::move(hooks)) {}

  // Answers one authenticated request.
  Reply handle(std::string_view method, std::string_view path, std::string_view body);

  bool connected();
  bool adapter_up();

 private:
  struct Carrier {
    std::uint64_t core_generation = 0;
    std::string uplink;
    std::string server_name;
    bool armed = false;
    std::string result = "idle";
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
  struct Datagram {
    bool active = false;
    std::uint64_t auth_rejected = 0;
    std::uint16_t caps = 0;
    std::int64_t not_after_unix = 0;
    std::string relay_addr;
    std::uint64_t auths = 0;
  };

  Reply connect(std::string_view body);
  Reply disconnect();
  Reply carrier_offer(std::string_view body);
  Reply carrier_stop(std::string_view body);
  Reply datagram_start(std::string_view body);
  Reply datagram_auth(std::string_view body);
  Reply datagram_stop();
  std::string carrier_json() const;
  std::string datagram_json() const;
  void bring_adapter_up_later(std::uint64_t epoch);

  const EngineFaults faults_;
  const AdapterHooks hooks_;
  std::mutex mutex_;
  bool connected_ = false;
  bool adapter_up_ = false;
  std::uint64_t connect_epoch_ = 0;  // a delayed adapter creation is void once this moves on
  Carrier carrier_;
  Datagram datagram_;
};

}  // namespace brenmoor::test_engine
