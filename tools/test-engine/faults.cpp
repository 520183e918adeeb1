#include "tools/test-engine/faults.h"

#include <charconv>
#include <vector>

namespace brenmoor::test_engine {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int> to_int(std::string_view s, int lo, int hi) {
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<bool> to_bool(std::string_view s) {
  if (s == "1" || s == "true") return true;
  if (s == "0" || s == "false") return false;
  return std::nullopt;
}

constexpr int kMaxMs = 3'600'000;

}  // namespace

EndpointFaults EngineFaults::for_endpoint(std::string_view endpoint) const {
  EndpointFaults out;
  if (auto all = endpoints.find("all"); all != endpoints.end()) out = all->second;
  if (auto it = endpoints.find(endpoint); it != endpoints.end()) {
    const EndpointFaults& e = it->second;
    if (e.status) out.status = e.status;
    if (e.delay_ms) out.delay_ms = e.delay_ms;
    if (!e.body.empty()) out.body = e.body;
    if (!e.reply.empty()) out.reply = e.reply;
    if (e.trickle_ms) out.trickle_ms = e.trickle_ms;
  }
  return out;
}

std::expected<EngineFaults, std::string> parse_faults(std::string_view text) {
  EngineFaults f;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return std::unexpected("fault without a value: " + std::string(item));
    std::string_view key = trim(item.substr(0, eq));
    std::string_view value = trim(item.substr(eq + 1));
    const std::string bad = "bad fault value: " + std::string(item);

    auto set_int = [&](int& out, int lo, int hi) -> bool {
      auto v = to_int(value, lo, hi);
      if (v) out = *v;
      return v.has_value();
    };
    auto set_opt = [&](std::optional<int>& out, int lo, int hi) -> bool {
      auto v = to_int(value, lo, hi);
      if (v) out = *v;
      return v.has_value();
    };
    auto set_bool = [&](bool& out) -> bool {
      auto v = to_bool(value);
      if (v) out = *v;
      return v.has_value();
    };

    bool ok = true;
    if (key == "no_ready") ok = set_bool(f.no_ready);
    else if (key == "ready_delay_ms") ok = set_int(f.ready_delay_ms, 0, kMaxMs);
    else if (key == "ready_port") ok = set_opt(f.ready_port, 0, 65535);
    else if (key == "exit_before_ready") ok = set_opt(f.exit_before_ready, 0, 255);
    else if (key == "exit_after_ready_ms") ok = set_opt(f.exit_after_ready_ms, 0, kMaxMs);
    else if (key == "exit_code") ok = set_int(f.exit_code, 0, 255);
    else if (key == "no_adapter") ok = set_bool(f.no_adapter);
    else if (key == "adapter_delay_ms") ok = set_int(f.adapter_delay_ms, 0, kMaxMs);
    else if (key == "adapter_linger_runs") ok = set_int(f.adapter_linger_runs, 1, 1000);
    else if (key == "reject_auth") ok = set_bool(f.reject_auth);
    else {
      // "<endpoint>_<knob>", the endpoint being one of kEndpoints or "all".
      std::string_view endpoint, knob;
      std::vector<std::string_view> names(std::begin(kEndpoints), std::end(kEndpoints));
      names.push_back("all");
      for (std::string_view name : names) {
        if (key.size() > name.size() + 1 && key.starts_with(name) && key[name.size()] == '_') {
          std::string_view rest = key.substr(name.size() + 1);
          // "carrier_status_status": the longest endpoint name that leaves a known knob wins.
          if (rest == "status" || rest == "delay_ms" || rest == "body" || rest == "reply" || rest == "trickle_ms") {
            if (name.size() > endpoint.size()) {
              endpoint = name;
              knob = rest;
            }
          }
        }
      }
      if (endpoint.empty()) return std::unexpected("unknown fault: " + std::string(key));
      EndpointFaults& e = f.endpoints[std::string(endpoint)];
      if (knob == "status") ok = set_opt(e.status, 0, 65535);
      else if (knob == "delay_ms") ok = set_int(e.delay_ms, 0, kMaxMs);
      else if (knob == "trickle_ms") ok = set_int(e.trickle_ms, 0, 10'000);
      else if (knob == "body") {
        ok = value == "malformed" || value == "empty" || value == "bare" || value == "wrong_type";
        if (ok) e.body = value;
      } else {
        ok = value == "silent" || value == "close" || value == "no_blank_line" || value == "oversized" ||
             value == "exit";
        if (ok) e.reply = value;
      }
    }
    if (!ok) return std::unexpected(bad);
  }
  return f;
}

}  // namespace brenmoor::test_engine
