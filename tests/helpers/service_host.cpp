// Test helper: the service's process entry with stand-in engine sessions and lanes,
// so the process, its service manager link and its pipe can be driven without an
// engine.
//   th_service_host [service switches...] [--test-hold-start NAME] [--test-fail-cleanup]
// With --test-hold-start (Windows), every start signals the named event
// "NAME-entered" and then waits for "NAME-release" before it completes, so a test in
// another process can stop the service while a lifecycle operation runs. With
// --test-fail-cleanup every session's teardown throws, so a stop with a session
// ends with a failed cleanup worker.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "platform/wide.h"
#endif

#include "platform/process_info.h"
#include "service/process_entry.h"
#include "tests/support/fakes.h"

namespace {

using namespace brenmoor;

#ifdef _WIN32
class HeldStarts final : public SessionBackend {
 public:
  explicit HeldStarts(const std::string& name)
      : inner_(system_clock()),
        entered_(CreateEventW(nullptr, TRUE, FALSE, platform::widen(name + "-entered").c_str())),
        release_(CreateEventW(nullptr, TRUE, FALSE, platform::widen(name + "-release").c_str())) {}
  Status validate_start_request(const ServiceRequest& r) override { return inner_.validate_start_request(r); }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& r) override {
    SetEvent(entered_);
    WaitForSingleObject(release_, INFINITE);
    return inner_.start_engine_session(r);
  }
  void stop_engine_session(std::unique_ptr<EngineSession> s) override { inner_.stop_engine_session(std::move(s)); }
  bool engine_exited(EngineSession& s) override { return inner_.engine_exited(s); }

 private:
  test::FakeSessions inner_;
  HANDLE entered_;
  HANDLE release_;
};
#endif

class TeardownDies final : public SessionBackend {
 public:
  TeardownDies() : inner_(system_clock()) {}
  Status validate_start_request(const ServiceRequest& r) override { return inner_.validate_start_request(r); }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& r) override {
    return inner_.start_engine_session(r);
  }
  void stop_engine_session(std::unique_ptr<EngineSession>) override { throw std::runtime_error("teardown died"); }
  bool engine_exited(EngineSession& s) override { return inner_.engine_exited(s); }

 private:
  test::FakeSessions inner_;
};

}  // namespace

int main() {
  const std::vector<std::string> args = platform::command_line_args();
  std::string hold;
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--test-hold-start") hold = args[i + 1];

  const bool fail_cleanup = std::find(args.begin(), args.end(), "--test-fail-cleanup") != args.end();

  ProcessDependencies deps;
  deps.make_sessions = [hold, fail_cleanup]() -> std::unique_ptr<SessionBackend> {
    if (fail_cleanup) return std::make_unique<TeardownDies>();
#ifdef _WIN32
    if (!hold.empty()) return std::make_unique<HeldStarts>(hold);
#endif
    return std::make_unique<test::FakeSessions>(system_clock());
  };
  deps.make_lanes = [] { return std::unique_ptr<LaneHandlers>(std::make_unique<test::FakeLanes>()); };
  return process_entry(args, deps);
}
