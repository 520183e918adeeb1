#include "tools/netsim/netsim_tools.h"

#include <algorithm>
#include <cctype>

#include "tools/netsim/netsim_ip.h"

namespace netsim {

namespace {

constexpr const char* kNl = "\r\n";  // PowerShell, netsh and route print CRLF

ToolResult ok_result(std::string out = {}, bool changed = false) {
  ToolResult r;
  r.out = std::move(out);
  r.changed = changed;
  return r;
}

ToolResult failure(std::string err, int code = 1) {
  ToolResult r;
  r.exit_code = code;
  r.err = std::move(err) + kNl;
  return r;
}

ToolResult unsupported(std::string_view program, const std::vector<std::string>& args) {
  ToolResult r = failure("netsim: unsupported " + std::string(program) + " command line: " +
                             joined_command_line(program, args),
                         kExitUnsupported);
  r.unsupported = true;
  return r;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// netsh takes an interface by alias or by index.
Interface* resolve_interface(State& s, std::string_view name) {
  if (Interface* i = s.find_alias(name)) return i;
  auto index = parse_decimal(name, 0x7FFFFFFF);
  return index ? s.find_interface(static_cast<int>(*index)) : nullptr;
}

std::vector<Route>::iterator find_route(State& s, const std::string& prefix, int index, const std::string& hop, Store store) {
  return std::find_if(s.routes.begin(), s.routes.end(), [&](const Route& r) {
    return r.prefix == prefix && r.interface_index == index && r.next_hop == hop && r.store == store;
  });
}

// ---------------------------------------------------------------- route

ToolResult run_route(State& s, const std::vector<std::string>& a) {
  // ADD {dest} MASK {mask} {gateway} IF {index} METRIC {metric}
  // DELETE {dest} MASK {mask} {gateway} IF {index}
  bool add = a.size() == 9 && a[0] == "ADD" && a[2] == "MASK" && a[5] == "IF" && a[7] == "METRIC";
  bool del = a.size() == 7 && a[0] == "DELETE" && a[2] == "MASK" && a[5] == "IF";
  if (!add && !del) return unsupported("route", a);
  const char* verb = add ? "The route addition failed: " : "The route deletion failed: ";
  auto dest = parse_ipv4(a[1]);
  auto mask = ipv4_mask_length(a[3]);
  auto gateway = parse_ipv4(a[4]);
  auto index = parse_decimal(a[6], 0x7FFFFFFF);
  if (!dest || !mask || !gateway || !index) return failure(std::string(verb) + "The parameter is incorrect.");
  if (!host_bits_zero(*dest, *mask)) {
    return failure(std::string(verb) + "The specified mask parameter is invalid. (Destination & Mask) != Destination.");
  }
  std::string prefix = format_prefix(IpPrefix{*dest, *mask});
  std::string hop = format_ip(*gateway);
  int ifindex = static_cast<int>(*index);
  if (add) {
    auto metric = parse_decimal(a[8], 9999);
    if (!metric || *metric < 1) return failure(std::string(verb) + "The parameter is incorrect.");
    if (s.find_interface(ifindex) == nullptr) return failure(std::string(verb) + "Element not found.");
    if (find_route(s, prefix, ifindex, hop, Store::kActive) != s.routes.end()) {
      return failure(std::string(verb) + "The object already exists.");
    }
    s.routes.push_back(Route{prefix, ifindex, hop, static_cast<int>(*metric), Store::kActive});
    return ok_result(std::string(" OK!") + kNl, true);
  }
  // route.exe removes the route from both stores.
  std::size_t removed = std::erase_if(s.routes, [&](const Route& r) {
    return r.prefix == prefix && r.interface_index == ifindex && r.next_hop == hop;
  });
  if (removed == 0) return failure(std::string(verb) + "Element not found.");
  return ok_result(std::string(" OK!") + kNl, true);
}

// ---------------------------------------------------------------- netsh

const std::string kNetshOk = std::string("Ok.") + kNl + kNl;

ToolResult interface_missing() {
  return failure("The filename, directory name, or volume label syntax is incorrect.");
}

std::optional<Store> parse_store_arg(std::string_view arg) {
  if (arg == "store=active") return Store::kActive;
  if (arg == "store=persistent") return Store::kPersistent;
  return std::nullopt;
}

std::optional<long> parse_keyword_number(std::string_view arg, std::string_view keyword, long max_value) {
  if (arg.substr(0, keyword.size()) != keyword) return std::nullopt;
  return parse_decimal(arg.substr(keyword.size()), max_value);
}

ToolResult netsh_ipv6_route(State& s, const std::vector<std::string>& a) {
  // interface ipv6 add route {prefix} {interface} {next_hop} metric={n} store=active|persistent
  // interface ipv6 delete route {prefix} {interface} [{next_hop}] store=active|persistent
  bool add = a[2] == "add";
  std::optional<Store> store = parse_store_arg(a.back());
  std::optional<long> metric;
  std::string hop_text = "::";
  if (add) {
    if (a.size() != 9) return unsupported("netsh", a);
    metric = parse_keyword_number(a[7], "metric=", 9999);
    if (!store || !metric) return unsupported("netsh", a);
    hop_text = a[6];
  } else {
    if ((a.size() != 7 && a.size() != 8) || !store) return unsupported("netsh", a);
    if (a.size() == 8) hop_text = a[6];
  }
  auto prefix = parse_prefix(a[4]);
  auto hop = parse_ipv6(hop_text);
  if (!prefix || !prefix->address.v6 || !hop) return failure("The parameter is incorrect.");
  Interface* i = resolve_interface(s, a[5]);
  if (i == nullptr) return interface_missing();
  std::string p = format_prefix(*prefix);
  std::string h = format_ip(*hop);
  auto it = find_route(s, p, i->index, h, *store);
  if (add) {
    if (it != s.routes.end()) return failure("The object already exists.");
    s.routes.push_back(Route{p, i->index, h, static_cast<int>(*metric), *store});
    return ok_result(kNetshOk, true);
  }
  if (it == s.routes.end()) return failure("Element not found.");
  s.routes.erase(it);
  return ok_result(kNetshOk, true);
}

ToolResult netsh_dns(State& s, const std::vector<std::string>& a) {
  // interface ip set dns {alias} static {server} primary validate=no
  // interface ip add dns {alias} {server} index={n} validate=no
  // interface ip set dns {alias} dhcp
  bool set_static = a.size() == 9 && a[2] == "set" && a[5] == "static" && a[7] == "primary" && a[8] == "validate=no";
  bool set_dhcp = a.size() == 6 && a[2] == "set" && a[5] == "dhcp";
  bool add = a.size() == 8 && a[2] == "add" && a[7] == "validate=no" && a[6].starts_with("index=");
  if (!set_static && !set_dhcp && !add) return unsupported("netsh", a);
  Interface* i = resolve_interface(s, a[4]);
  if (i == nullptr) return interface_missing();
  if (set_dhcp) {
    i->dns.clear();
    return ok_result({}, true);
  }
  auto server = parse_ipv4(set_static ? a[6] : a[5]);
  if (!server) return failure("The specified DNS server address is invalid.");
  std::string text = format_ip(*server);
  if (set_static) {
    i->dns = {text};
    return ok_result({}, true);
  }
  auto index = parse_keyword_number(a[6], "index=", 0x7FFFFFFF);
  if (!index || *index < 1) return failure("The parameter is incorrect.");
  if (std::find(i->dns.begin(), i->dns.end(), text) != i->dns.end()) {
    return failure("The object is already in the list.");
  }
  std::size_t pos = std::min<std::size_t>(static_cast<std::size_t>(*index - 1), i->dns.size());
  i->dns.insert(i->dns.begin() + static_cast<std::ptrdiff_t>(pos), text);
  return ok_result({}, true);
}

ToolResult run_netsh(State& s, const std::vector<std::string>& a) {
  if (a.size() < 4 || a[0] != "interface") return unsupported("netsh", a);
  if (a.size() == 4 && a[1] == "show" && a[2] == "interface") {
    // Used to wait for an adapter: exit 0 only when it exists.
    Interface* i = s.find_alias(a[3]);
    if (i == nullptr) return failure("An interface with this name is not registered with the router.");
    std::string out = kNl + i->alias + kNl + "   Type:                 Dedicated" + kNl +
                      "   Administrative state: Enabled" + kNl +
                      "   Connect state:        " + (i->connected ? "Connected" : "Disconnected") + kNl;
    return ok_result(out);
  }
  if (a[1] == "ipv6" && (a[2] == "add" || a[2] == "delete") && a[3] == "route") return netsh_ipv6_route(s, a);
  if (a[1] == "ip" && (a[2] == "set" || a[2] == "add") && a[3] == "dns") return netsh_dns(s, a);
  if ((a[1] == "ipv4" || a[1] == "ipv6") && a[2] == "set" && a[3] == "interface" && a.size() == 6) {
    auto metric = parse_keyword_number(a[5], "metric=", 9999);
    if (!metric) return unsupported("netsh", a);
    Interface* i = resolve_interface(s, a[4]);
    if (i == nullptr) return interface_missing();
    (a[1] == "ipv4" ? i->ipv4_metric : i->ipv6_metric) = static_cast<int>(*metric);
    return ok_result(kNetshOk, true);
  }
  return unsupported("netsh", a);
}

// ---------------------------------------------------------------- powershell

// The scripts, exactly as the service sends them, with typed placeholders.
constexpr std::string_view kDnsSnapshot =
    "(Get-DnsClientServerAddress -InterfaceAlias '{alias:esc}' -AddressFamily IPv4).ServerAddresses";

constexpr std::string_view kDefaultPath =
    "$c=@(Get-NetIPInterface -AddressFamily {family:word} -ConnectionState Connected | ForEach-Object { "
    "$_.InterfaceIndex }); $r=Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '{prefix:esc}' | "
    "Where-Object {$_.NextHop -and $_.NextHop -ne '{none:esc}' -and $c -contains $_.InterfaceIndex} | Sort-Object "
    "@{Expression={$_.RouteMetric + $_.InterfaceMetric}},InterfaceIndex | Select-Object -First 1; if ($null -eq $r) "
    "{ exit 1 }; Write-Output ($r.NextHop + ',' + $r.InterfaceIndex)";

constexpr std::string_view kPhysicalPaths =
    "$c=@(Get-NetIPInterface -AddressFamily {family:word} -ConnectionState Connected | ForEach-Object { "
    "$_.InterfaceIndex }); Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '{prefix:esc}' -ErrorAction "
    "SilentlyContinue | Where-Object {$_.NextHop -and $_.NextHop -ne '{none:esc}' -and $c -contains "
    "$_.InterfaceIndex} | Sort-Object @{Expression={$_.RouteMetric + $_.InterfaceMetric}},InterfaceIndex | "
    "ForEach-Object { $_.NextHop + ',' + $_.InterfaceIndex }";

constexpr std::string_view kAdapterIndex = "(Get-NetAdapter -Name '{alias:esc}' -ErrorAction Stop).ifIndex";

constexpr std::string_view kAddressInventory =
    "$addr=Get-NetIPAddress -AddressFamily IPv4 -ErrorAction Stop | Where-Object {$_.IPAddress -and "
    "$_.PrefixLength -ne $null} | ForEach-Object { $_.IPAddress + '/' + $_.PrefixLength + ',' + $_.InterfaceIndex "
    "+ ',address' }; $routes=Get-NetRoute -AddressFamily IPv4 -ErrorAction Stop | Where-Object "
    "{$_.DestinationPrefix -and $_.DestinationPrefix -ne '0.0.0.0/0'} | ForEach-Object { $_.DestinationPrefix + "
    "',' + $_.InterfaceIndex + ',route' }; $addr; $routes";

constexpr std::string_view kAssignAddress =
    "$alias={alias:lit}; $ip={ip:lit}; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore "
    "ActiveStore -Confirm:$false -ErrorAction SilentlyContinue; Remove-NetIPAddress -InterfaceAlias $alias "
    "-IPAddress $ip -PolicyStore PersistentStore -Confirm:$false -ErrorAction SilentlyContinue; New-NetIPAddress "
    "-InterfaceAlias $alias -IPAddress $ip -PrefixLength {prefix:word} -AddressFamily {family:word} -Type Unicast "
    "-SkipAsSource $false -PolicyStore ActiveStore -ErrorAction Stop | Out-Null";

constexpr std::string_view kWaitPreferred =
    "$alias={alias:lit}; $ip={ip:lit}; $deadline=(Get-Date).AddSeconds(5); do { $addr=Get-NetIPAddress "
    "-InterfaceAlias $alias -IPAddress $ip -AddressFamily {family:word} -ErrorAction SilentlyContinue | "
    "Select-Object -First 1; if ($null -ne $addr -and $addr.AddressState -eq 'Preferred') { exit 0 }; Start-Sleep "
    "-Milliseconds 250 } while ((Get-Date) -lt $deadline); exit 1";

constexpr std::string_view kAddressCleanup =
    "$alias={alias:lit}; $ips=@({ips:lits}); foreach ($ip in $ips) { foreach ($store in "
    "@('ActiveStore','PersistentStore')) { Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore "
    "$store -Confirm:$false -ErrorAction SilentlyContinue } }";

constexpr std::string_view kRouteOwnership =
    "$ErrorActionPreference='Stop'; $routes=@(foreach($store in @('ActiveStore','PersistentStore')){Get-NetRoute "
    "-PolicyStore $store | Where-Object { $_.DestinationPrefix -eq {prefix:lit} -and [string]$_.InterfaceIndex -eq "
    "{index:lit} -and $_.NextHop -eq {next_hop:lit} }}); if($routes.Count -gt 0){'present'}else{'absent'}";

// The family words and their default-route prefix and on-link next hop.
struct FamilyValues {
  bool v6;
  std::string_view family, prefix, none;
};
constexpr FamilyValues kFamilies[] = {{false, "IPv4", "0.0.0.0/0", "0.0.0.0"}, {true, "IPv6", "::/0", "::"}};

const FamilyValues* family_values(const Captures& c, bool with_prefix) {
  for (const auto& f : kFamilies) {
    if (c.get("family") != f.family) continue;
    if (with_prefix && (c.get("prefix") != f.prefix || c.get("none") != f.none)) return nullptr;
    return &f;
  }
  return nullptr;
}

ToolResult no_alias_error(std::string_view cmdlet, std::string_view alias) {
  return failure(std::string(cmdlet) + " : No MSFT_NetAdapter objects found with property 'Name' equal to '" +
                 std::string(alias) + "'.  Verify the value of the property and retry.");
}

// Default routes of one family with a real next hop on a connected interface, best
// first: route metric + interface metric, then interface index, ties in table order.
std::vector<const Route*> physical_paths(const State& s, bool v6) {
  struct Candidate {
    const Route* route;
    long sum;
  };
  std::vector<Candidate> found;
  std::string none = v6 ? "::" : "0.0.0.0";
  std::string prefix = v6 ? "::/0" : "0.0.0.0/0";
  for (const auto& r : s.routes) {
    if (r.store != Store::kActive || r.prefix != prefix || r.next_hop == none) continue;
    const Interface* i = s.find_interface(r.interface_index);
    if (i == nullptr || !i->connected) continue;
    found.push_back({&r, static_cast<long>(r.metric) + (v6 ? i->ipv6_metric : i->ipv4_metric)});
  }
  std::stable_sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.sum != b.sum) return a.sum < b.sum;
    return a.route->interface_index < b.route->interface_index;
  });
  std::vector<const Route*> out;
  for (const auto& c : found) out.push_back(c.route);
  return out;
}

bool has_route_prefix(const State& s, std::string_view prefix) {
  return std::any_of(s.routes.begin(), s.routes.end(),
                     [&](const Route& r) { return r.store == Store::kActive && r.prefix == prefix; });
}

std::size_t remove_address(State& s, int index, const std::string& ip, std::optional<Store> store) {
  return std::erase_if(s.addresses, [&](const Address& a) {
    return a.interface_index == index && a.address == ip && (!store || a.store == *store);
  });
}

ToolResult ps_dns_snapshot(State& s, const Captures& c) {
  Interface* i = s.find_alias(c.get("alias"));
  if (i == nullptr) return no_alias_error("Get-DnsClientServerAddress", c.get("alias"));
  std::string out;
  for (const auto& d : i->dns) out += d + kNl;
  return ok_result(out);
}

ToolResult ps_default_path(State& s, const Captures& c, bool all) {
  const FamilyValues* f = family_values(c, true);
  if (f == nullptr) return ToolResult{};  // caller reports unsupported
  auto paths = physical_paths(s, f->v6);
  std::string out;
  for (const Route* r : paths) {
    out += r->next_hop + "," + std::to_string(r->interface_index) + kNl;
    if (!all) break;
  }
  if (!all && paths.empty()) {
    ToolResult r;
    r.exit_code = 1;
    if (!has_route_prefix(s, f->prefix)) {
      r.err = "Get-NetRoute : No matching MSFT_NetRoute objects found by CIM query for instances of the "
              "ROOT/StandardCimv2/MSFT_NetRoute class on the  CIM server" + std::string(kNl);
    }
    return r;
  }
  return ok_result(out);
}

ToolResult ps_adapter_index(State& s, const Captures& c) {
  Interface* i = s.find_alias(c.get("alias"));
  if (i == nullptr) return no_alias_error("Get-NetAdapter", c.get("alias"));
  return ok_result(std::to_string(i->index) + kNl);
}

ToolResult ps_inventory(State& s) {
  std::string out;
  for (const auto& a : s.addresses) {
    if (a.store != Store::kActive || a.address.find(':') != std::string::npos) continue;
    out += a.address + "/" + std::to_string(a.prefix_length) + "," + std::to_string(a.interface_index) + ",address" + kNl;
  }
  for (const auto& r : s.routes) {
    if (r.store != Store::kActive || r.prefix.find(':') != std::string::npos || r.prefix == "0.0.0.0/0") continue;
    out += r.prefix + "," + std::to_string(r.interface_index) + ",route" + kNl;
  }
  return ok_result(out);
}

ToolResult ps_assign(State& s, const Captures& c, bool tentative) {
  const FamilyValues* f = family_values(c, false);
  if (f == nullptr) return failure("New-NetIPAddress : Cannot bind parameter 'AddressFamily'.");
  Interface* i = s.find_alias(c.get("alias"));
  if (i == nullptr) return no_alias_error("New-NetIPAddress", c.get("alias"));
  auto ip = f->v6 ? parse_ipv6(c.get("ip")) : parse_ipv4(c.get("ip"));
  auto prefix = parse_decimal(c.get("prefix"), f->v6 ? 128 : 32);
  if (!ip) return failure("New-NetIPAddress : Cannot bind parameter 'IPAddress'. The value is not a valid " +
                          std::string(f->family) + " address.");
  if (!prefix) return failure("New-NetIPAddress : Cannot validate argument on parameter 'PrefixLength'.");
  std::string text = format_ip(*ip);
  remove_address(s, i->index, text, std::nullopt);
  s.addresses.push_back(Address{text, static_cast<int>(*prefix), i->index, Store::kActive,
                                tentative ? AddressState::kTentative : AddressState::kPreferred});
  return ok_result({}, true);
}

ToolResult ps_wait_preferred(State& s, const Captures& c) {
  const FamilyValues* f = family_values(c, false);
  Interface* i = s.find_alias(c.get("alias"));
  auto ip = parse_ip(c.get("ip"));
  // The real script polls for five seconds; nothing changes an address here while it
  // waits, so the answer is known at once.
  if (f != nullptr && i != nullptr && ip && ip->v6 == f->v6) {
    std::string text = format_ip(*ip);
    for (const auto& a : s.addresses) {
      if (a.interface_index == i->index && a.address == text && a.store == Store::kActive) {
        if (a.state == AddressState::kPreferred) return ok_result();
        break;
      }
    }
  }
  ToolResult r;
  r.exit_code = 1;
  return r;
}

ToolResult ps_cleanup(State& s, const Captures& c) {
  Interface* i = s.find_alias(c.get("alias"));
  bool changed = false;
  if (i != nullptr) {
    for (const auto& value : c.list) {
      auto ip = parse_ip(value);
      if (ip && remove_address(s, i->index, format_ip(*ip), std::nullopt) > 0) changed = true;
    }
  }
  return ok_result({}, changed);
}

ToolResult ps_route_ownership(State& s, const Captures& c) {
  bool present = std::any_of(s.routes.begin(), s.routes.end(), [&](const Route& r) {
    return iequals(r.prefix, c.get("prefix")) && std::to_string(r.interface_index) == c.get("index") &&
           iequals(r.next_hop, c.get("next_hop"));
  });
  return ok_result(std::string(present ? "present" : "absent") + kNl);
}

ToolResult run_powershell(State& s, const std::vector<std::string>& a, bool tentative) {
  if (a.size() != 3 || a[0] != "-NoProfile" || a[1] != "-Command") return unsupported("powershell.exe", a);
  const std::string& script = a[2];
  if (auto c = match_template(kDnsSnapshot, script)) return ps_dns_snapshot(s, *c);
  if (auto c = match_template(kDefaultPath, script)) {
    if (family_values(*c, true) != nullptr) return ps_default_path(s, *c, false);
  }
  if (auto c = match_template(kPhysicalPaths, script)) {
    if (family_values(*c, true) != nullptr) return ps_default_path(s, *c, true);
  }
  if (auto c = match_template(kAdapterIndex, script)) return ps_adapter_index(s, *c);
  if (script == kAddressInventory) return ps_inventory(s);
  if (auto c = match_template(kAssignAddress, script)) return ps_assign(s, *c, tentative);
  if (auto c = match_template(kWaitPreferred, script)) return ps_wait_preferred(s, *c);
  if (auto c = match_template(kAddressCleanup, script)) return ps_cleanup(s, *c);
  if (auto c = match_template(kRouteOwnership, script)) return ps_route_ownership(s, *c);
  return unsupported("powershell.exe", a);
}

ToolResult dispatch(State& s, std::string_view program, const std::vector<std::string>& args, bool tentative) {
  if (program == "route") return run_route(s, args);
  if (program == "netsh") return run_netsh(s, args);
  if (program == "powershell.exe") return run_powershell(s, args, tentative);
  return unsupported(program, args);
}

// ---------------------------------------------------------------- template matching

// PowerShell ends a single-quoted string at any of ' ‘ ’ ‚ ‛; returns the byte length
// of such a quote at pos, 0 when there is none.
std::size_t quote_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  if (text[pos] == '\'') return 1;
  if (pos + 2 < text.size() && static_cast<unsigned char>(text[pos]) == 0xE2 &&
      static_cast<unsigned char>(text[pos + 1]) == 0x80) {
    unsigned char c = static_cast<unsigned char>(text[pos + 2]);
    if (c >= 0x98 && c <= 0x9B) return 3;
  }
  return 0;
}

// Reads the inside of a single-quoted string up to (not including) its closing quote.
// A doubled quote stands for one quote character.
std::optional<std::string> read_quoted_body(std::string_view text, std::size_t& pos) {
  std::string value;
  for (;;) {
    if (pos >= text.size()) return std::nullopt;
    std::size_t q = quote_at(text, pos);
    if (q == 0) {
      value.push_back(text[pos++]);
      continue;
    }
    std::size_t q2 = quote_at(text, pos + q);
    if (q2 == 0) return value;
    value.append(text.substr(pos, q));
    pos += q + q2;
  }
}

std::optional<std::string> read_literal(std::string_view text, std::size_t& pos) {
  std::size_t q = quote_at(text, pos);
  if (q == 0) return std::nullopt;
  pos += q;
  auto body = read_quoted_body(text, pos);
  if (!body) return std::nullopt;
  pos += quote_at(text, pos);
  return body;
}

}  // namespace

const std::string& Captures::get(std::string_view name) const {
  static const std::string kEmpty;
  for (const auto& [k, v] : values) {
    if (k == name) return v;
  }
  return kEmpty;
}

std::optional<Captures> match_template(std::string_view tmpl, std::string_view script) {
  Captures c;
  std::size_t t = 0, x = 0;
  while (t < tmpl.size()) {
    if (tmpl[t] == '{') {
      std::size_t close = tmpl.find('}', t);
      std::size_t colon = tmpl.find(':', t);
      if (close != std::string_view::npos && colon != std::string_view::npos && colon < close) {
        std::string name(tmpl.substr(t + 1, colon - t - 1));
        std::string_view kind = tmpl.substr(colon + 1, close - colon - 1);
        bool name_ok = !name.empty() && std::all_of(name.begin(), name.end(), [](char ch) {
          return (ch >= 'a' && ch <= 'z') || ch == '_';
        });
        if (name_ok && (kind == "lit" || kind == "esc" || kind == "word" || kind == "lits")) {
          if (kind == "lit") {
            auto v = read_literal(script, x);
            if (!v) return std::nullopt;
            c.values.emplace_back(name, std::move(*v));
          } else if (kind == "esc") {
            auto v = read_quoted_body(script, x);
            if (!v) return std::nullopt;
            c.values.emplace_back(name, std::move(*v));
          } else if (kind == "word") {
            std::size_t start = x;
            while (x < script.size() && std::isalnum(static_cast<unsigned char>(script[x]))) ++x;
            if (x == start) return std::nullopt;
            c.values.emplace_back(name, std::string(script.substr(start, x - start)));
          } else {
            if (quote_at(script, x) != 0) {
              for (;;) {
                auto v = read_literal(script, x);
                if (!v) return std::nullopt;
                c.list.push_back(std::move(*v));
                if (x >= script.size() || script[x] != ',') break;
                ++x;
              }
            }
          }
          t = close + 1;
          continue;
        }
      }
    }
    if (x >= script.size() || script[x] != tmpl[t]) return std::nullopt;
    ++t;
    ++x;
  }
  if (x != script.size()) return std::nullopt;
  return c;
}

std::string tool_name(std::string_view argv0) {
  std::size_t slash = argv0.find_last_of("/\\");
  std::string base(slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1));
#ifdef _WIN32
  for (char& ch : base) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
#endif
  if (base.size() > 4 && base.ends_with(".exe")) base.resize(base.size() - 4);
  if (base == "powershell") return "powershell.exe";
  return base;
}

std::string joined_command_line(std::string_view program, const std::vector<std::string>& args) {
  std::string out(program);
  for (const auto& a : args) {
    out.push_back(' ');
    out += a;
  }
  return out;
}

ToolResult invoke_tool(State& s, std::string_view program, const std::vector<std::string>& args) {
  std::string line = joined_command_line(program, args);
  std::optional<FaultAction> action;
  bool fault_consumed = false;
  for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
    if (line.find(it->match) == std::string::npos) continue;
    action = it->action;
    if (it->count > 0) {
      fault_consumed = true;
      if (--it->count == 0) s.faults.erase(it);
    }
    break;
  }
  if (!action) return dispatch(s, program, args, false);

  ToolResult r;
  if (*action == FaultAction::kExit1 || *action == FaultAction::kTentative) {
    r = dispatch(s, program, args, *action == FaultAction::kTentative);
    // exit1: the command did its work but reports failure, like a tool that half-succeeds.
    if (*action == FaultAction::kExit1 && !r.unsupported && r.exit_code == 0) r.exit_code = 1;
  } else {
    // A fault never hides a command form the simulator does not know.
    State scratch = s;
    ToolResult probe = dispatch(scratch, program, args, false);
    if (probe.unsupported) {
      probe.changed = fault_consumed;
      return probe;
    }
    if (*action == FaultAction::kFail) {
      r = failure("netsim: injected failure");
    } else if (*action == FaultAction::kGarbage) {
      r.out = std::string("\xC3\x28netsim garbage \xFF\xFE") + kNl + "?" + kNl;
    } else {
      r.hang = true;
    }
  }
  r.changed = r.changed || fault_consumed;
  return r;
}

}  // namespace netsim
