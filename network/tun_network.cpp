#include "network/tun_network.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "network/routes.h"
#include "platform/ip.h"

namespace brenmoor {
namespace {

using Substitutions = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Fills "{name}" markers in one pass, so a value that happens to contain a marker
// is never filled again. Braces that are not a listed marker (script blocks) stay.
std::string fill(std::string_view tmpl, Substitutions subs) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t i = 0;
  while (i < tmpl.size()) {
    bool replaced = false;
    if (tmpl[i] == '{') {
      for (const auto& [name, value] : subs) {
        const std::size_t len = name.size();
        if (tmpl.compare(i + 1, len, name) == 0 && i + 1 + len < tmpl.size() && tmpl[i + 1 + len] == '}') {
          out.append(value);
          i += len + 2;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(tmpl[i++]);
  }
  return out;
}

std::string_view family_word(IpFamily f) { return f == IpFamily::ipv4 ? "IPv4" : "IPv6"; }
std::string_view default_prefix(IpFamily f) { return f == IpFamily::ipv4 ? "0.0.0.0/0" : "::/0"; }
std::string_view no_next_hop(IpFamily f) { return f == IpFamily::ipv4 ? "0.0.0.0" : "::"; }

constexpr std::string_view kDefaultPathTemplate =
    "$c=@(Get-NetIPInterface -AddressFamily {family} -ConnectionState Connected | ForEach-Object { $_.InterfaceIndex "
    "}); $r=Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '{prefix}' | Where-Object {$_.NextHop -and "
    "$_.NextHop -ne '{none}' -and $c -contains $_.InterfaceIndex} | Sort-Object @{Expression={$_.RouteMetric + "
    "$_.InterfaceMetric}},InterfaceIndex | Select-Object -First 1; if ($null -eq $r) { exit 1 }; Write-Output "
    "($r.NextHop + ',' + $r.InterfaceIndex)";

constexpr std::string_view kPathListTemplate =
    "$c=@(Get-NetIPInterface -AddressFamily {family} -ConnectionState Connected | ForEach-Object { $_.InterfaceIndex "
    "}); Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '{prefix}' -ErrorAction SilentlyContinue | "
    "Where-Object {$_.NextHop -and $_.NextHop -ne '{none}' -and $c -contains $_.InterfaceIndex} | Sort-Object "
    "@{Expression={$_.RouteMetric + $_.InterfaceMetric}},InterfaceIndex | ForEach-Object { $_.NextHop + ',' + "
    "$_.InterfaceIndex }";

constexpr std::string_view kInventoryScript =
    "$addr=Get-NetIPAddress -AddressFamily IPv4 -ErrorAction Stop | Where-Object {$_.IPAddress -and $_.PrefixLength "
    "-ne $null} | ForEach-Object { $_.IPAddress + '/' + $_.PrefixLength + ',' + $_.InterfaceIndex + ',address' }; "
    "$routes=Get-NetRoute -AddressFamily IPv4 -ErrorAction Stop | Where-Object {$_.DestinationPrefix -and "
    "$_.DestinationPrefix -ne '0.0.0.0/0'} | ForEach-Object { $_.DestinationPrefix + ',' + $_.InterfaceIndex + "
    "',route' }; $addr; $routes";

constexpr std::string_view kAssignTemplate =
    "$alias={alias}; $ip={ip}; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore ActiveStore "
    "-Confirm:$false -ErrorAction SilentlyContinue; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip "
    "-PolicyStore PersistentStore -Confirm:$false -ErrorAction SilentlyContinue; New-NetIPAddress -InterfaceAlias "
    "$alias -IPAddress $ip -PrefixLength {prefix} -AddressFamily {family} -Type Unicast -SkipAsSource $false "
    "-PolicyStore ActiveStore -ErrorAction Stop | Out-Null";

constexpr std::string_view kPreferredTemplate =
    "$alias={alias}; $ip={ip}; $deadline=(Get-Date).AddSeconds(5); do { $addr=Get-NetIPAddress -InterfaceAlias "
    "$alias -IPAddress $ip -AddressFamily {family} -ErrorAction SilentlyContinue | Select-Object -First 1; if "
    "($null -ne $addr -and $addr.AddressState -eq 'Preferred') { exit 0 }; Start-Sleep -Milliseconds 250 } while "
    "((Get-Date) -lt $deadline); exit 1";

// Splits at commas; `max_fields` caps the count (the rest after the last used comma
// is dropped, as the field ends there).
std::vector<std::string_view> split_fields(std::string_view line, std::size_t max_fields) {
  std::vector<std::string_view> fields;
  while (fields.size() < max_fields) {
    const std::size_t comma = line.find(',');
    fields.push_back(trim_white_space(line.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return fields;
}

// Decimal digits only, value <= limit.
std::optional<std::uint32_t> parse_small_decimal(std::string_view s, std::uint32_t limit) {
  if (s.empty() || s.size() > 3) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v > limit) return std::nullopt;
  return v;
}

// a.b.c.d with four decimal octets (no leading zeros, as the system prints them).
std::optional<std::uint32_t> parse_dotted_ipv4(std::string_view s) {
  std::uint32_t addr = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = s.find('.');
    if ((part < 3) == (dot == std::string_view::npos)) return std::nullopt;
    const std::string_view octet = s.substr(0, dot);
    if (octet.size() > 1 && octet[0] == '0') return std::nullopt;
    auto v = parse_small_decimal(octet, 255);
    if (!v) return std::nullopt;
    addr = (addr << 8) | *v;
    s.remove_prefix(dot == std::string_view::npos ? s.size() : dot + 1);
  }
  return addr;
}

std::optional<Ipv4Range> prefix_range(std::string_view prefix, std::uint32_t min_length) {
  const std::size_t slash = prefix.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto addr = parse_dotted_ipv4(prefix.substr(0, slash));
  auto len = parse_small_decimal(prefix.substr(slash + 1), 32);
  if (!addr || !len || *len < 1 || *len < min_length) return std::nullopt;
  const std::uint32_t mask = *len == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> *len);
  return Ipv4Range{*addr & mask, *addr | ~mask};
}

bool overlaps(const Ipv4Range& a, const Ipv4Range& b) { return !(a.last < b.first || b.last < a.first); }

void add_unique(std::vector<std::string>& list, std::string value) {
  for (const auto& v : list) {
    if (v == value) return;
  }
  list.push_back(std::move(value));
}

}  // namespace

// ---- scripts ------------------------------------------------------------------------

std::string dns_snapshot_script(std::string_view alias) {
  return "(Get-DnsClientServerAddress -InterfaceAlias '" + escape_ps_quotes(alias) +
         "' -AddressFamily IPv4).ServerAddresses";
}

std::string default_path_script(IpFamily family) {
  return fill(kDefaultPathTemplate,
              {{"family", family_word(family)}, {"prefix", default_prefix(family)}, {"none", no_next_hop(family)}});
}

std::string physical_paths_script(IpFamily family) {
  return fill(kPathListTemplate,
              {{"family", family_word(family)}, {"prefix", default_prefix(family)}, {"none", no_next_hop(family)}});
}

std::string adapter_index_script(std::string_view alias) {
  return "(Get-NetAdapter -Name '" + escape_ps_quotes(alias) + "' -ErrorAction Stop).ifIndex";
}

std::string address_inventory_script() { return std::string(kInventoryScript); }

std::string address_assign_script(std::string_view alias, std::string_view ip, int prefix_length, IpFamily family) {
  const std::string prefix = std::to_string(prefix_length);
  return fill(kAssignTemplate, {{"alias", ps_literal(alias)},
                                {"ip", ps_literal(ip)},
                                {"prefix", prefix},
                                {"family", family_word(family)}});
}

std::string address_preferred_script(std::string_view alias, std::string_view ip, IpFamily family) {
  return fill(kPreferredTemplate, {{"alias", ps_literal(alias)}, {"ip", ps_literal(ip)}, {"family", family_word(family)}});
}

// ---- parsers ------------------------------------------------------------------------

std::optional<PhysicalPath> parse_path_line(std::string_view line) {
  const std::size_t comma = line.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(comma + 1);
  const std::string_view next_hop = trim_white_space(line.substr(0, comma));
  const std::string_view index = trim_white_space(rest.substr(0, rest.find(',')));
  if (next_hop.empty() || index.empty()) return std::nullopt;
  return PhysicalPath{std::string(next_hop), std::string(index)};
}

Result<PhysicalPath> parse_default_path(std::string_view output) {
  const auto lines = output_lines(output);
  if (lines.empty()) return fail("default_route_missing");
  auto path = parse_path_line(lines.front());
  if (!path) return fail("default_route_missing");
  return std::move(*path);
}

std::string parse_adapter_index(std::string_view output) {
  const auto lines = output_lines(output);
  return lines.empty() ? std::string() : std::string(lines.front());
}

std::vector<PhysicalPath> parse_physical_paths(std::string_view output) {
  std::vector<PhysicalPath> paths;
  for (auto line : output_lines(output)) {
    if (auto p = parse_path_line(line)) paths.push_back(std::move(*p));
  }
  return paths;
}

std::vector<Ipv4Range> occupied_ranges(std::string_view inventory_output, std::string_view tun_interface_index) {
  std::vector<Ipv4Range> ranges;
  for (auto line : output_lines(inventory_output)) {
    const auto fields = split_fields(line, 3);
    if (fields.size() < 3) continue;
    const std::string_view prefix = fields[0], index = fields[1], kind = fields[2];
    if (kind != "address" && kind != "route") continue;
    // The adapter's own leftovers (an earlier run's address) never block a candidate.
    if (index == tun_interface_index) continue;
    // Very wide routes (10.0.0.0/8 via a VPN of someone else's) would rule out
    // whole candidate blocks needlessly; an address that wide is a real network.
    if (auto r = prefix_range(prefix, kind == "address" ? 8 : 16)) ranges.push_back(*r);
  }
  return ranges;
}

std::optional<std::string_view> choose_tun_ipv4(const std::vector<Ipv4Range>& occupied) {
  for (auto candidate : kTunIpv4Candidates) {
    auto range = prefix_range(std::string(candidate) + "/" + std::to_string(kTunIpv4PrefixLength), 1);
    if (!range) continue;
    bool free = true;
    for (const auto& o : occupied) free = free && !overlaps(*range, o);
    if (free) return candidate;
  }
  return std::nullopt;
}

// ---- server addresses ---------------------------------------------------------------

HostResolver system_host_resolver() {
  return [](std::string_view host) { return platform::resolve_host(host, kServerResolvePort); };
}

namespace {

// Addresses that a host route via the physical gateway must never be made for,
// whatever a DNS answer says: they are not a remote server (unspecified, loopback,
// multicast, broadcast, link-local), or they are the tunnel's own DNS server, whose
// bypass route would send every DNS query of the session around the tunnel.
bool ipv4_never_bypassed(const std::uint8_t* a) {
  if (a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0) return true;  // unspecified
  if (a[0] == 127) return true;                                        // loopback
  if (a[0] >= 224 && a[0] <= 239) return true;                         // multicast
  if (a[0] == 255 && a[1] == 255 && a[2] == 255 && a[3] == 255) return true;
  if (a[0] == 169 && a[1] == 254) return true;                         // link-local
  static const auto tunnel_dns = platform::parse_ip_literal(kTunDnsServer);
  return tunnel_dns && std::equal(a, a + 4, tunnel_dns->bytes.begin());
}

bool never_bypassed(const platform::IpAddress& address) {
  const auto& b = address.bytes;
  if (!address.is_ipv6) return ipv4_never_bypassed(b.data());
  bool zero_head = true;  // the first 80 bits
  for (int i = 0; i < 10; ++i) zero_head = zero_head && b[i] == 0;
  // An IPv4-mapped address reaches that IPv4 address.
  if (zero_head && b[10] == 0xFF && b[11] == 0xFF) return ipv4_never_bypassed(b.data() + 12);
  bool zero_to_last = zero_head && b[10] == 0 && b[11] == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0;
  if (zero_to_last && (b[15] == 0 || b[15] == 1)) return true;  // :: and ::1
  if (b[0] == 0xFF) return true;                                // multicast
  return b[0] == 0xFE && (b[1] & 0xC0) == 0x80;                 // fe80::/10
}

// Each address costs a route command and a teardown command (up to 10 s each)
// under the lifecycle gate: a long answer must not hold it for minutes.
void add_server(std::vector<std::string>& list, const platform::IpAddress& address) {
  if (never_bypassed(address) || list.size() >= kMaxServerAddressesPerFamily) return;
  add_unique(list, platform::format_ip(address));
}

}  // namespace

Result<ServerAddresses> resolve_server_addresses(std::string_view server, const HostResolver& resolve) {
  ServerAddresses out;
  // Kept in the text form Windows prints, so that the route stores' text comparisons
  // (the guard's ownership query) recognise a server written as "2001:DB8:0::5".
  if (auto literal = platform::parse_ip_literal(server)) {
    add_server(literal->is_ipv6 ? out.ipv6 : out.ipv4, *literal);
  } else if (auto resolved = resolve(server)) {
    for (auto& a : *resolved) {
      // An answer that is no address cannot be judged, and is no route to take.
      auto address = platform::parse_ip_literal(a.text);
      if (!address || address->is_ipv6 != a.is_ipv6) continue;
      add_server(a.is_ipv6 ? out.ipv6 : out.ipv4, *address);
    }
  }
  if (out.ipv4.empty() && out.ipv6.empty()) return fail("server_resolution_failed");
  return out;
}

// ---- operations ---------------------------------------------------------------------

Result<std::vector<std::string>> snapshot_tun_dns(CommandRunner& runner, std::string_view alias) {
  auto output = runner.run_powershell(dns_snapshot_script(alias));
  if (!output) return std::unexpected(output.error());
  std::vector<std::string> servers;
  for (auto line : output_lines(*output)) servers.emplace_back(line);
  return servers;
}

Result<PhysicalPath> find_default_path(CommandRunner& runner, IpFamily family) {
  auto output = runner.run_powershell(default_path_script(family));
  if (!output) return std::unexpected(output.error());
  return parse_default_path(*output);
}

std::vector<PhysicalPath> list_physical_paths(CommandRunner& runner, IpFamily family) {
  auto output = runner.run_powershell(physical_paths_script(family));
  if (!output) return {};
  return parse_physical_paths(*output);
}

Result<NetworkState> configure_tun_network(CommandRunner& runner, std::string_view alias, std::string_view server,
                                           const std::vector<std::string>& dns_snapshot, const HostResolver& resolve,
                                           NetworkJournal* journal) {
  // 1-7: queries only; a failure leaves the system as it was.
  auto ipv4_path = find_default_path(runner, IpFamily::ipv4);
  if (!ipv4_path) return std::unexpected(ipv4_path.error());
  auto ipv6_path = find_default_path(runner, IpFamily::ipv6);  // absent is fine

  auto servers = resolve_server_addresses(server, resolve);
  if (!servers) return std::unexpected(servers.error());

  auto index_output = runner.run_powershell(adapter_index_script(alias));
  if (!index_output) return std::unexpected(index_output.error());
  const std::string tun_index = parse_adapter_index(*index_output);
  if (tun_index.empty()) return fail("adapter_index_missing");

  auto inventory = runner.run_powershell(address_inventory_script());
  if (!inventory) return std::unexpected(inventory.error());
  auto candidate = choose_tun_ipv4(occupied_ranges(*inventory, tun_index));
  if (!candidate) return fail("tun_ipv4_candidate_unavailable");

  // 8: from the first change on, every failure rolls back what the state records.
  NetworkState state;
  state.tun_interface_index = tun_index;
  state.ipv4_gateway = ipv4_path->next_hop;
  state.ipv4_interface_index = ipv4_path->interface_index;
  if (ipv6_path) {
    state.ipv6_gateway = ipv6_path->next_hop;
    state.ipv6_interface_index = ipv6_path->interface_index;
  }
  state.dns_snapshot = dns_snapshot;
  // On the disk before the first change, so a crash from here on can be undone.
  journal_network_state(journal, alias, state);
  auto roll_back = [&](std::string code) -> std::unexpected<ErrorCode> {
    teardown_network(runner, alias, state, true);
    return std::unexpected(std::move(code));
  };

  struct TunAddress {
    std::string_view ip;
    int prefix_length;
    IpFamily family;
  };
  const TunAddress addresses[] = {{*candidate, kTunIpv4PrefixLength, IpFamily::ipv4},
                                  {kTunIpv6Address, kTunIpv6PrefixLength, IpFamily::ipv6}};
  // 9
  for (const auto& a : addresses) {
    Status s = runner.run(powershell_command(address_assign_script(alias, a.ip, a.prefix_length, a.family)));
    if (!s) return roll_back("tun_address_assign_failed:" + s.error());
  }
  // 10
  for (const auto& a : addresses) {
    Status s = runner.run(powershell_command(address_preferred_script(alias, a.ip, a.family)));
    if (!s) return roll_back("tun_address_not_preferred:" + s.error());
  }
  // 11-13
  const auto steps = setup_steps(alias, state, servers->ipv4, servers->ipv6);
  const auto journal_it = [&](const NetworkState& recorded) { journal_network_state(journal, alias, recorded); };
  if (Status s = run_setup_steps(runner, steps, state, journal_it); !s) return roll_back(s.error());
  return state;
}

}  // namespace brenmoor
