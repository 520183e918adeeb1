// Physical path discovery, server address resolution and the TUN adapter's
// addressing: the network bring-up of a session.
//
// Every query is a PowerShell script through CommandRunner::run_powershell, every
// change a command through CommandRunner::run. Interface indexes, gateways and
// addresses printed by PowerShell are kept and compared as the text printed.
// Runs on the request thread of a start; nothing here logs (the runner's own lines
// and the rollback's DNS lines aside).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "network/command_runner.h"
#include "network/journal.h"
#include "network/network_state.h"
#include "platform/resolver.h"

namespace brenmoor {

enum class IpFamily { ipv4, ipv6 };

// The next hop and interface of a default route outside the tunnel.
struct PhysicalPath {
  std::string next_hop;
  std::string interface_index;
  bool operator==(const PhysicalPath&) const = default;
};

inline constexpr std::array<std::string_view, 4> kTunIpv4Candidates = {"10.88.91.1", "10.203.91.1", "10.241.91.1",
                                                                       "172.29.91.1"};
inline constexpr int kTunIpv4PrefixLength = 30;
inline constexpr std::string_view kTunIpv6Address = "fd00:ae91::1";
inline constexpr int kTunIpv6PrefixLength = 64;
inline constexpr std::string_view kServerResolvePort = "443";

// ---- scripts (exact texts) ----------------------------------------------------------

std::string dns_snapshot_script(std::string_view alias);
std::string default_path_script(IpFamily family);
std::string physical_paths_script(IpFamily family);
std::string adapter_index_script(std::string_view alias);
std::string address_inventory_script();
std::string address_assign_script(std::string_view alias, std::string_view ip, int prefix_length, IpFamily family);
std::string address_preferred_script(std::string_view alias, std::string_view ip, IpFamily family);

// ---- output parsers -----------------------------------------------------------------

// "next_hop,interface_index[,...]": both parts trimmed and non-empty, else nullopt.
std::optional<PhysicalPath> parse_path_line(std::string_view line);
// The first output line as a path; "default_route_missing" when there is none or it
// does not parse.
[[nodiscard]] Result<PhysicalPath> parse_default_path(std::string_view output);
// Every output line that parses, in order.
std::vector<PhysicalPath> parse_physical_paths(std::string_view output);
// The index the adapter lookup printed: its first non-empty line, trimmed; empty
// when there is none.
std::string parse_adapter_index(std::string_view output);

// An inclusive range of IPv4 addresses (host byte order).
struct Ipv4Range {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  bool operator==(const Ipv4Range&) const = default;
};

// The ranges that the inventory lines ("prefix,index,address|route") occupy, in
// output order. Ignored: lines with fewer than three fields, another kind, the TUN
// adapter's own lines, prefixes that are not a.b.c.d/n with n 1..32, addresses
// shorter than /8 and routes shorter than /16.
std::vector<Ipv4Range> occupied_ranges(std::string_view inventory_output, std::string_view tun_interface_index);
// The first candidate whose /30 overlaps no occupied range.
std::optional<std::string_view> choose_tun_ipv4(const std::vector<Ipv4Range>& occupied);

// ---- server addresses ---------------------------------------------------------------

struct ServerAddresses {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  bool operator==(const ServerAddresses&) const = default;
};

// Resolves a host name for port 443: every address in the resolver's order.
using HostResolver = std::function<Result<std::vector<platform::ResolvedAddress>>(std::string_view host)>;
// platform::resolve_host(host, "443").
HostResolver system_host_resolver();

// At most this many addresses of each family become bypass routes.
inline constexpr std::size_t kMaxServerAddressesPerFamily = 8;

// An IP literal is the only address of its family. A host name is resolved; its
// addresses go to their family's list in order, each once. Every address is kept in
// the canonical text of platform::format_ip ("2001:DB8:0::5" becomes "2001:db8::5").
// Dropped, literal or resolved, as no server to route around the tunnel: unspecified,
// loopback, multicast, 255.255.255.255, link-local (169.254.0.0/16, fe80::/10), the
// tunnel's DNS server 1.1.1.1, IPv4-mapped forms of these, and answers that are not an
// address of their family. Of the rest, the first kMaxServerAddressesPerFamily of each
// family are kept. A resolver error counts as no addresses. Both lists empty:
// "server_resolution_failed".
[[nodiscard]] Result<ServerAddresses> resolve_server_addresses(std::string_view server, const HostResolver& resolve);

// ---- operations ---------------------------------------------------------------------

// The adapter's IPv4 DNS servers (possibly none), or the runner's code.
[[nodiscard]] Result<std::vector<std::string>> snapshot_tun_dns(CommandRunner& runner, std::string_view alias);

// The best physical default route of the family: the runner's code (the script
// exits 1 when there is none: "command_failed") or "default_route_missing".
[[nodiscard]] Result<PhysicalPath> find_default_path(CommandRunner& runner, IpFamily family);

// Every physical default route of the family, best first; empty when the query fails.
std::vector<PhysicalPath> list_physical_paths(CommandRunner& runner, IpFamily family);

// The whole bring-up: paths, server addresses, TUN index, a free IPv4 candidate,
// both TUN addresses assigned and Preferred, then bypass routes, DNS, metrics and
// split routes. Returns the state to keep until teardown. Nothing is changed before
// the addresses are assigned; a failure after that has been rolled back
// (teardown_network with address cleanup) before the code is returned.
// With a journal, the state is written to it when it is created and after every
// later record, each time before the command runs; removing it after a rollback is
// the caller's (which still has its own teardown to do).
[[nodiscard]] Result<NetworkState> configure_tun_network(CommandRunner& runner, std::string_view alias,
                                                         std::string_view server,
                                                         const std::vector<std::string>& dns_snapshot,
                                                         const HostResolver& resolve = system_host_resolver(),
                                                         NetworkJournal* journal = nullptr);

}  // namespace brenmoor
