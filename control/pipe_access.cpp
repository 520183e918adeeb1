#include "control/pipe_access.h"

#include "platform/sddl.h"

namespace brenmoor {
namespace {

bool allowed_sid_characters(std::string_view v) {
  if (v.size() < 2 || v.size() > kMaxAllowedSidBytes) return false;
  if (v.substr(0, 2) != "S-") return false;
  for (char c : v)
    if (!((c >= '0' && c <= '9') || c == '-' || c == 'S')) return false;
  return true;
}

}  // namespace

std::optional<std::string> allowed_sid_from_args(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--allowed-sid") continue;
    // Only the first occurrence counts, with or without a usable value.
    if (i + 1 >= args.size()) return std::nullopt;
    const std::string& v = args[i + 1];
    if (!allowed_sid_characters(v) || !is_well_formed_sid(v)) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

std::optional<std::string> allowed_sid_rejection(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--allowed-sid") continue;
    if (i + 1 >= args.size()) return "no value";
    if (allowed_sid_from_args(args)) return std::nullopt;
    const std::string& v = args[i + 1];
    bool printable = !v.empty() && v.size() <= kMaxAllowedSidBytes;
    for (char c : v) printable = printable && c > ' ' && c < 0x7f;
    return printable ? "not a sid: " + v : std::string("not a sid");
  }
  return std::nullopt;
}

std::string pipe_security_descriptor(const std::vector<std::string>& args) {
  std::string text(kBasePipeDescriptor);
  if (auto sid = allowed_sid_from_args(args)) {
    text += "(A;;";
    text += kAllowedSidPipeRights;
    text += ";;;";
    text += *sid;
    text += ')';
  }
  return text;
}

}  // namespace brenmoor
