#include "network/journal.h"

#include "network/tun_network.h"

#include <algorithm>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "network/routes.h"
#include "platform/data_folder.h"
#include "platform/ip.h"
#include "platform/paths.h"
#include "service/log.h"

namespace brenmoor {

// The reader takes exactly what the bring-up can write.
static_assert(kJournalServerLimit == kMaxServerAddressesPerFamily);
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

// A unicast address in the one text form the service writes (canonical, so no zone
// suffix, no leading zeros, no upper case): never unspecified, loopback, multicast,
// broadcast or reserved, none of which the service routes to or through.
bool is_address(bool is_ipv6, std::string_view s) {
  auto a = platform::parse_ip_literal(s);
  if (!a || a->is_ipv6 != is_ipv6 || platform::format_ip(*a) != s) return false;
  const auto& b = a->bytes;
  if (!is_ipv6) return b[0] != 0 && b[0] != 127 && b[0] < 224;
  bool zero_to_14 = true;
  for (int i = 0; i < 15; ++i) zero_to_14 = zero_to_14 && b[i] == 0;
  if (zero_to_14 && (b[15] == 0 || b[15] == 1)) return false;  // :: and ::1
  return b[0] != 0xff;
}

bool is_ipv4_address(std::string_view s) { return is_address(false, s); }
bool is_ipv6_address(std::string_view s) { return is_address(true, s); }

// Every line of one key, in order: "key value" with a value that passes `ok`.
template <class Ok>
Status read_list(Lines& lines, std::string_view key, std::size_t limit, std::vector<std::string>& out, Ok ok) {
  while (auto l = lines.peek()) {
    auto v = value_of(*l, key);
    if (!v) break;
    if (!ok(*v)) return malformed(key);
    if (out.size() == limit) return malformed(key);
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

bool contains(const std::vector<std::string>& list, std::string_view v) {
  return std::find(list.begin(), list.end(), v) != list.end();
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
      {"ipv4_gateway", &s.ipv4_gateway, is_ipv4_address},
      {"ipv4_interface_index", &s.ipv4_interface_index, is_interface_index},
      {"ipv6_gateway", &s.ipv6_gateway, [](std::string_view v) { return v.empty() || is_ipv6_address(v); }},
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
  // The physical paths never run through the TUN adapter (teardown would then touch it
  // as a physical interface).
  if (s.tun_interface_index == s.ipv4_interface_index || s.tun_interface_index == s.ipv6_interface_index)
    return malformed("tun_interface_index");

  auto flag_line = lines.next();
  auto flag = flag_line ? value_of(*flag_line, "ipv4_split_routes_installed") : std::nullopt;
  if (!flag || (*flag != "0" && *flag != "1")) return malformed("ipv4_split_routes_installed");
  s.ipv4_split_routes_installed = *flag == "1";

  if (auto r = read_list(lines, "ipv4_server", kJournalServerLimit, s.ipv4_servers, is_ipv4_address); !r)
    return std::unexpected(r.error());
  if (auto r = read_list(lines, "ipv6_server", kJournalServerLimit, s.ipv6_servers, is_ipv6_address); !r)
    return std::unexpected(r.error());
  // IPv6 servers are recorded only when there is an IPv6 path to route them by.
  if (!s.ipv6_servers.empty() && s.ipv6_gateway.empty()) return malformed("ipv6_server");
  if (auto r = read_list(lines, "dns", kJournalDnsLimit, s.dns_snapshot, is_ipv4_address); !r)
    return std::unexpected(r.error());
  // The guard records routes to the session's own servers only, each server and path once.
  const std::size_t ledger_limit = kBypassLedgerLimit;
  std::set<std::string> seen;
  while (auto l = lines.peek()) {
    auto v = value_of(*l, "bypass_route");
    if (!v) break;
    auto route = parse_bypass_route(*v);
    if (!route || s.bypass_routes.size() == ledger_limit ||
        !contains(route->is_ipv6 ? s.ipv6_servers : s.ipv4_servers, route->target) ||
        route->interface_index == s.tun_interface_index || !seen.emplace(*v).second)
      return malformed("bypass_route");
    s.bypass_routes.push_back(std::move(*route));
    (void)lines.next();
  }

  auto end = lines.next();
  if (!end || *end != kEnd) return malformed("end");
  if (!lines.at_end()) return malformed("trailing");
  return c;
}

namespace {

// The journal's folder and its name in it.
std::string folder_of(const std::string& path) { return platform::parent_directory(path).value_or("."); }
std::string name_of(const std::string& path) {
  const std::string folder = folder_of(path);
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0
             ? path.substr(folder.size() + (path[folder.size()] == '/' || path[folder.size()] == '\\' ? 1 : 0))
             : path;
}

}  // namespace

void NetworkJournal::record(std::string_view alias, const NetworkState& state) {
  const std::string text = format_network_journal(alias, state);
  // What the reader would set aside is not written: the journal on the disk stays
  // the last one recovery can act on.
  Status s = [&]() -> Status {
    auto back = parse_network_journal(text, alias);
    if (!back) return std::unexpected(back.error());
    return {};
  }();
  std::lock_guard lock(mutex_);
  if (s) {
    // The folder is checked on every write: a user may have replaced it meanwhile.
    auto folder = platform::DataFolder::open(folder_of(path_), platform::FolderOpen::create);
    s = folder ? folder->replace(name_of(path_), text) : Status(std::unexpected(folder.error()));
  }
  if (s) written_ = true;
  if (!s && !failure_logged_) {
    failure_logged_ = true;
    write_log_line("network journal write failed: " + s.error());
  }
}

void NetworkJournal::remove() {
  std::lock_guard lock(mutex_);
  failure_logged_ = false;  // the next session logs its own first failure
  if (!std::exchange(written_, false)) return;
  auto folder = platform::DataFolder::open(folder_of(path_), platform::FolderOpen::existing);
  Status s = folder ? folder->remove(name_of(path_)) : Status(std::unexpected(folder.error()));
  if (!s) write_log_line("network journal removal failed: " + s.error());
}

std::string network_journal_path() { return platform::join_path(platform::program_data_dir(), kJournalFileName); }

NetworkJournal& service_network_journal() {
  // Never destroyed: detached threads may still write while the process ends.
  static NetworkJournal* journal = new NetworkJournal(network_journal_path());
  return *journal;
}

RecoveryOutcome recover_network_from_journal(CommandRunner& runner, const std::string& path,
                                             std::string_view expected_alias) {
  // A folder a user made or replaced is not ours: nothing in it is read, moved or
  // deleted, the temporary file included.
  auto folder = platform::DataFolder::open(folder_of(path), platform::FolderOpen::create);
  if (!folder) {
    write_log_line("network journal folder refused: " + folder.error());
    return RecoveryOutcome::left_in_place;
  }
  const std::string name = name_of(path);
  // A temporary file is only ever a write that had not replaced the journal yet;
  // its command had not run.
  (void)folder->remove(platform::durable_temp_name(name));
  auto text = folder->read(name, kJournalSizeLimit);
  if (!text && text.error() == platform::kFileMissing) return RecoveryOutcome::nothing_to_do;
  if (!text && text.error() == platform::kFileReadFailed) {
    write_log_line("network journal unreadable: " + text.error());
    return RecoveryOutcome::left_in_place;
  }
  Result<JournalContent> content = text ? parse_network_journal(*text, expected_alias)
                                        : Result<JournalContent>(std::unexpected(text.error()));
  if (!content) {
    const std::string aside = path + std::string(kJournalRejectedSuffix);
    if (Status moved = folder->rename(name, name + std::string(kJournalRejectedSuffix)); !moved) {
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
  if (Status removed = folder->remove(name); !removed)
    write_log_line("network journal removal failed: " + removed.error());
  return RecoveryOutcome::recovered;
}

}  // namespace brenmoor
