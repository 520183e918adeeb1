// The stand-in engine's control API: the state behind /connect, /disconnect and
// the carrier and datagram paths, and the replies they give. One object per
// process; every call may come from any connection thread (one lock inside).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "control/records.h"
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
  // The product's own status records, written by the product's writers: a
  // member added to a record reaches the stand-in's replies with it.
  struct Carrier : CarrierStatus {
    Carrier() { result = "idle"; }
  };
  struct Datagram : DatagramStatus {
    // Reported inside "stats", which the service carries through unread.
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
