#include "network/journal.h"

#include <optional>
#include <vector>

#include "network/routes.h"
#include "platform/durable_file.h"
#include "platform/fs.h"
#include "platform/ip.h"
#include "platform/paths.h"
#include "service/log.h"

namespace brenmoor {
namespace {

constexpr std::string_view kHeader = "brenmoor network journal 1";
constexpr std::string_view kEnd = "end";

void line(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out.push_back(' ');
  out.append(value);
  out.push_back('\n');
}

std::string_view family_word(bool is_ipv6) { return is_ipv6 ? "ipv6" : "ipv4"; }

// Reads the text line by line; every line, the last included, must end in "\n".
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  bool at_end() const { return rest_.empty(); }
  std::optional<std::string_view> next() {
    const std::size_t nl = rest_.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    std::string_view l = rest_.substr(0, nl);
    rest_.remove_prefix(nl + 1);
    return l;
  }
  std::optional<std::string_view> peek() const {
    const std::size_t nl = rest_.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    return rest_.substr(0, nl);
  }

 private:
  std::string_view rest_;
};

std::unexpected<ErrorCode> malformed(std::string_view what) { return fail("journal_malformed:" + std::string(what)); }

// The value of "key value"; nullopt when the line has another key.
std::optional<std::string_view> value_of(std::string_view l, std::string_view key) {
  if (l.size() <= key.size() || l.substr(0, key.size()) != key || l[key.size()] != ' ') return std::nullopt;
  return l.substr(key.size() + 1);
}

// An interface index as PowerShell prints it: 1 to 4294967295, no leading zero.
bool is_interface_index(std::string_view s) {
  if (s.empty() || s.size() > 10 || s[0] == '0') return false;
  unsigned long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v <= 0xFFFFFFFFull;
}

bool is_address(bool is_ipv6, std::string_view s) {
  return is_ipv6 ? platform::is_ipv6_literal(s) : platform::is_ipv4_literal(s);
}

// Every line of one key, in order: "key value" with a value that passes `ok`.
template <class Ok>
Status read_list(Lines& lines, std::string_view key, std::vector<std::string>& out, Ok ok) {
  while (auto l = lines.peek()) {
    auto v = value_of(*l, key);
    if (!v) break;
    if (!ok(*v)) return malformed(key);
    if (out.size() == kJournalListLimit) return malformed(key);
    out.emplace_back(*v);
    (void)lines.next();
  }
  return {};
}

std::optional<BypassRoute> parse_bypass_route(std::string_view v) {
  std::string_view fields[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t sp = v.find(' ');
    if ((i < 3) == (sp == std::string_view::npos)) return std::nullopt;
    fields[i] = v.substr(0, sp);
    v.remove_prefix(sp == std::string_view::npos ? v.size() : sp + 1);
  }
  BypassRoute r;
  if (fields[0] == "ipv6") r.is_ipv6 = true;
  else if (fields[0] != "ipv4") return std::nullopt;
  if (!is_address(r.is_ipv6, fields[1]) || !is_address(r.is_ipv6, fields[2]) || !is_interface_index(fields[3]))
    return std::nullopt;
  r.target = fields[1];
  r.gateway = fields[2];
  r.interface_index = fields[3];
  return r;
}

std::string join(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& s : list) {
    if (!out.empty()) out.push_back(',');
    out += s;
  }
  return out.empty() ? "none" : out;
}

}  // namespace

std::string format_network_journal(std::string_view alias, const NetworkState& s) {
  std::string out;
  out.reserve(256);
  out.append(kHeader);
  out.push_back('\n');
  line(out, "alias", alias);
  line(out, "tun_interface_index", s.tun_interface_index);
  line(out, "ipv4_gateway", s.ipv4_gateway);
  line(out, "ipv4_interface_index", s.ipv4_interface_index);
  line(out, "ipv6_gateway", s.ipv6_gateway);
  line(out, "ipv6_interface_index", s.ipv6_interface_index);
  line(out, "ipv4_split_routes_installed", s.ipv4_split_routes_installed ? "1" : "0");
  for (const auto& v : s.ipv4_servers) line(out, "ipv4_server", v);
  for (const auto& v : s.ipv6_servers) line(out, "ipv6_server", v);
  for (const auto& v : s.dns_snapshot) line(out, "dns", v);
  for (const auto& r : s.bypass_routes) {
    line(out, "bypass_route",
         std::string(family_word(r.is_ipv6)) + " " + r.target + " " + r.gateway + " " + r.interface_index);
  }
  out.append(kEnd);
  out.push_back('\n');
  return out;
}

Result<JournalContent> parse_network_journal(std::string_view text, std::string_view expected_alias) {
  if (text.size() > kJournalSizeLimit) return malformed("size");
  Lines lines(text);
  auto header = lines.next();
  if (!header || *header != kHeader) return malformed("header");

  JournalContent c;
  NetworkState& s = c.state;
  // The single fields, in order; `ok` says which values the service writes.
  struct Single {
    std::string_view key;
    std::string* field;
    bool (*ok)(std::string_view);
  };
  const Single singles[] = {
      {"alias", &c.alias, [](std::string_view) { return true; }},
      {"tun_interface_index", &s.tun_interface_index, is_interface_index},
      {"ipv4_gateway", &s.ipv4_gateway, [](std::string_view v) { return platform::is_ipv4_literal(v); }},
      {"ipv4_interface_index", &s.ipv4_interface_index, is_interface_index},
      {"ipv6_gateway", &s.ipv6_gateway, [](std::string_view v) { return v.empty() || platform::is_ipv6_literal(v); }},
      {"ipv6_interface_index", &s.ipv6_interface_index,
       [](std::string_view v) { return v.empty() || is_interface_index(v); }},
  };
  for (const auto& f : singles) {
    auto l = lines.next();
    auto v = l ? value_of(*l, f.key) : std::nullopt;
    if (!v || !f.ok(*v)) return malformed(f.key);
    *f.field = std::string(*v);
  }
  // The alias goes into netsh and PowerShell command lines: only the one we use.
  if (c.alias != expected_alias) return malformed("alias");
  if (s.ipv6_gateway.empty() != s.ipv6_interface_index.empty()) return malformed("ipv6_path");

  auto flag_line = lines.next();
  auto flag = flag_line ? value_of(*flag_line, "ipv4_split_routes_installed") : std::nullopt;
  if (!flag || (*flag != "0" && *flag != "1")) return malformed("ipv4_split_routes_installed");
  s.ipv4_split_routes_installed = *flag == "1";

  auto ipv4 = [](std::string_view v) { return platform::is_ipv4_literal(v); };
  auto ipv6 = [](std::string_view v) { return platform::is_ipv6_literal(v); };
  if (auto r = read_list(lines, "ipv4_server", s.ipv4_servers, ipv4); !r) return std::unexpected(r.error());
  if (auto r = read_list(lines, "ipv6_server", s.ipv6_servers, ipv6); !r) return std::unexpected(r.error());
  // IPv6 servers are recorded only when there is an IPv6 path to route them by.
  if (!s.ipv6_servers.empty() && s.ipv6_gateway.empty()) return malformed("ipv6_server");
  if (auto r = read_list(lines, "dns", s.dns_snapshot, ipv4); !r) return std::unexpected(r.error());
  while (auto l = lines.peek()) {
    auto v = value_of(*l, "bypass_route");
    if (!v) break;
    auto route = parse_bypass_route(*v);
    if (!route || s.bypass_routes.size() == kJournalListLimit) return malformed("bypass_route");
    s.bypass_routes.push_back(std::move(*route));
    (void)lines.next();
  }

  auto end = lines.next();
  if (!end || *end != kEnd) return malformed("end");
  if (!lines.at_end()) return malformed("trailing");
  return c;
}

void NetworkJournal::record(std::string_view alias, const NetworkState& state) {
  const std::string text = format_network_journal(alias, state);
  std::lock_guard lock(mutex_);
  // The folder is checked on every write: a user may have replaced it meanwhile.
  Status s = platform::prepare_private_folder(platform::parent_directory(path_).value_or("."));
  if (s) s = platform::replace_file_durably(path_, text);
  if (!s && !failure_logged_) {
    failure_logged_ = true;
    write_log_line("network journal write failed: " + s.error());
  }
}

void NetworkJournal::remove() {
  std::lock_guard lock(mutex_);
  if (Status s = platform::remove_file(path_); !s) write_log_line("network journal removal failed: " + s.error());
  failure_logged_ = false;  // the next session logs its own first failure
}

std::string network_journal_path() { return platform::join_path(platform::program_data_dir(), kJournalFileName); }

NetworkJournal& service_network_journal() {
  // Never destroyed: detached threads may still write while the process ends.
  static NetworkJournal* journal = new NetworkJournal(network_journal_path());
  return *journal;
}

RecoveryOutcome recover_network_from_journal(CommandRunner& runner, const std::string& path,
                                             std::string_view expected_alias) {
  // A temporary file is only ever a write that had not replaced the journal yet;
  // its command had not run.
  (void)platform::remove_file(platform::durable_temp_path(path));
  // A folder a user made or replaced is not ours: what it holds is never acted on.
  if (Status folder = platform::prepare_private_folder(platform::parent_directory(path).value_or("."));
      !folder) {
    write_log_line("network journal folder refused: " + folder.error());
    return RecoveryOutcome::left_in_place;
  }
  auto text = platform::read_private_file(path, kJournalSizeLimit);
  if (!text && text.error() == platform::kFileMissing) return RecoveryOutcome::nothing_to_do;
  if (!text && text.error() == platform::kFileReadFailed) {
    write_log_line("network journal unreadable: " + text.error());
    return RecoveryOutcome::left_in_place;
  }
  Result<JournalContent> content = text ? parse_network_journal(*text, expected_alias)
                                        : Result<JournalContent>(std::unexpected(text.error()));
  if (!content) {
    const std::string aside = path + std::string(kJournalRejectedSuffix);
    if (Status moved = platform::move_file_aside(path, aside); !moved) {
      write_log_line("network journal rejected: " + content.error() + "; set aside failed: " + moved.error());
    } else {
      write_log_line("network journal rejected: " + content.error() + "; set aside as " + aside);
    }
    return RecoveryOutcome::set_aside;
  }
  const NetworkState& s = content->state;
  teardown_network(runner, content->alias, s, true);
  write_log_line("network recovered from journal: ipv4_servers=" + join(s.ipv4_servers) +
                 " ipv6_servers=" + join(s.ipv6_servers) + " bypass_routes=" + std::to_string(s.bypass_routes.size()) +
                 " split_routes=" + (s.ipv4_split_routes_installed ? "yes" : "no") + " dns=" +
                 (s.dns_snapshot.empty() ? std::string("dhcp") : join(s.dns_snapshot)) +
                 " tun_addresses=removed");
  if (Status removed = platform::remove_file(path); !removed)
    write_log_line("network journal removal failed: " + removed.error());
  return RecoveryOutcome::recovered;
}

}  // namespace brenmoor
