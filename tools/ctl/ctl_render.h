// brenmoor-ctl's reading of a response body and its human-readable rendering.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brenmoor::ctl {

struct ResponseView {
  bool success = false;
  std::string state;
  std::string error;
  bool degraded = false;
  std::string session_token;
  // The lane records, member by member, values as compact JSON text.
  std::optional<std::vector<std::pair<std::string, std::string>>> carrier;
  std::optional<std::vector<std::pair<std::string, std::string>>> datagram;
};

// nullopt when the body is not a JSON object with the five fixed members.
std::optional<ResponseView> parse_response(std::string_view body);

// What an error code means for the person at the console ("" for unknown codes).
std::string explain_error(std::string_view code);

// Lines for the console: "ok: ..." or "error: {code}: {explanation}", then the lane
// record's members, one per line.
std::string render_response(const ResponseView& r);

}  // namespace brenmoor::ctl
