// The simulated Windows network, exercised the way the service uses it: the real
// netsim program copied as route, netsh and powershell.exe into a private folder,
// started as separate processes with BRENMOOR_NETSIM pointing at a state file.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kTun = "Brenmoor Device Path";

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string sh_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

// A PowerShell single-quoted literal, as the service writes values into its scripts.
std::string lit(const std::string& v) {
  std::string out = "'";
  for (char c : v) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out + "'";
}

std::string fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [key, value] : values) {
    std::size_t pos = 0;
    while ((pos = text.find(key, pos)) != std::string::npos) {
      text.replace(pos, key.size(), value);
      pos += value.size();
    }
  }
  return text;
}

// The scripts the service sends, with its placeholders.
const std::string kDnsSnapshot =
    "(Get-DnsClientServerAddress -InterfaceAlias '{alias}' -AddressFamily IPv4).ServerAddresses";
const std::string kDefaultPathV4 =
    "$c=@(Get-NetIPInterface -AddressFamily IPv4 -ConnectionState Connected | ForEach-Object { $_.InterfaceIndex }); "
    "$r=Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '0.0.0.0/0' | Where-Object {$_.NextHop -and "
    "$_.NextHop -ne '0.0.0.0' -and $c -contains $_.InterfaceIndex} | Sort-Object @{Expression={$_.RouteMetric + "
    "$_.InterfaceMetric}},InterfaceIndex | Select-Object -First 1; if ($null -eq $r) { exit 1 }; Write-Output "
    "($r.NextHop + ',' + $r.InterfaceIndex)";
const std::string kPhysicalPaths =
    "$c=@(Get-NetIPInterface -AddressFamily {family} -ConnectionState Connected | ForEach-Object { $_.InterfaceIndex "
    "}); Get-NetRoute -PolicyStore ActiveStore -DestinationPrefix '{prefix}' -ErrorAction SilentlyContinue | "
    "Where-Object {$_.NextHop -and $_.NextHop -ne '{none}' -and $c -contains $_.InterfaceIndex} | Sort-Object "
    "@{Expression={$_.RouteMetric + $_.InterfaceMetric}},InterfaceIndex | ForEach-Object { $_.NextHop + ',' + "
    "$_.InterfaceIndex }";
const std::string kAdapterIndex = "(Get-NetAdapter -Name '{alias}' -ErrorAction Stop).ifIndex";
const std::string kInventory =
    "$addr=Get-NetIPAddress -AddressFamily IPv4 -ErrorAction Stop | Where-Object {$_.IPAddress -and $_.PrefixLength "
    "-ne $null} | ForEach-Object { $_.IPAddress + '/' + $_.PrefixLength + ',' + $_.InterfaceIndex + ',address' }; "
    "$routes=Get-NetRoute -AddressFamily IPv4 -ErrorAction Stop | Where-Object {$_.DestinationPrefix -and "
    "$_.DestinationPrefix -ne '0.0.0.0/0'} | ForEach-Object { $_.DestinationPrefix + ',' + $_.InterfaceIndex + "
    "',route' }; $addr; $routes";
const std::string kAssign =
    "$alias={alias}; $ip={ip}; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore ActiveStore "
    "-Confirm:$false -ErrorAction SilentlyContinue; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip "
    "-PolicyStore PersistentStore -Confirm:$false -ErrorAction SilentlyContinue; New-NetIPAddress -InterfaceAlias "
    "$alias -IPAddress $ip -PrefixLength {prefix} -AddressFamily {family} -Type Unicast -SkipAsSource $false "
    "-PolicyStore ActiveStore -ErrorAction Stop | Out-Null";
const std::string kWaitPreferred =
    "$alias={alias}; $ip={ip}; $deadline=(Get-Date).AddSeconds(5); do { $addr=Get-NetIPAddress -InterfaceAlias "
    "$alias -IPAddress $ip -AddressFamily {family} -ErrorAction SilentlyContinue | Select-Object -First 1; if ($null "
    "-ne $addr -and $addr.AddressState -eq 'Preferred') { exit 0 }; Start-Sleep -Milliseconds 250 } while "
    "((Get-Date) -lt $deadline); exit 1";
const std::string kCleanup =
    "$alias={alias}; $ips=@({ips}); foreach ($ip in $ips) { foreach ($store in @('ActiveStore','PersistentStore')) { "
    "Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore $store -Confirm:$false -ErrorAction "
    "SilentlyContinue } }";
const std::string kOwnership =
    "$ErrorActionPreference='Stop'; $routes=@(foreach($store in @('ActiveStore','PersistentStore')){Get-NetRoute "
    "-PolicyStore $store | Where-Object { $_.DestinationPrefix -eq {prefix} -and [string]$_.InterfaceIndex -eq "
    "{index} -and $_.NextHop -eq {next_hop} }}); if($routes.Count -gt 0){'present'}else{'absent'}";

std::string default_path_script(bool v6) {
  if (!v6) return kDefaultPathV4;
  return fill(kDefaultPathV4, {{"IPv4", "IPv6"}, {"'0.0.0.0/0'", "'::/0'"}, {"'0.0.0.0'", "'::'"}});
}

std::string physical_paths_script(bool v6) {
  return v6 ? fill(kPhysicalPaths, {{"{family}", "IPv6"}, {"{prefix}", "::/0"}, {"{none}", "::"}})
            : fill(kPhysicalPaths, {{"{family}", "IPv4"}, {"{prefix}", "0.0.0.0/0"}, {"{none}", "0.0.0.0"}});
}

std::string escape_quotes(const std::string& v) {
  std::string l = lit(v);
  return l.substr(1, l.size() - 2);
}

std::string assign_script(const std::string& alias, const std::string& ip, bool v6) {
  return fill(kAssign, {{"{alias}", lit(alias)}, {"{ip}", lit(ip)}, {"{prefix}", v6 ? "64" : "30"},
                        {"{family}", v6 ? "IPv6" : "IPv4"}});
}

std::string wait_script(const std::string& alias, const std::string& ip, bool v6) {
  return fill(kWaitPreferred, {{"{alias}", lit(alias)}, {"{ip}", lit(ip)}, {"{family}", v6 ? "IPv6" : "IPv4"}});
}

std::string cleanup_script(const std::string& alias) {
  std::string ips;
  for (const char* ip : {"10.88.91.1", "10.203.91.1", "10.241.91.1", "172.29.91.1", "172.19.0.1", "fd00:ae91::1"}) {
    ips += (ips.empty() ? "" : ",") + lit(ip);
  }
  return fill(kCleanup, {{"{alias}", lit(alias)}, {"{ips}", ips}});
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool contains_line(const std::string& text, const std::string& line) {
  for (const auto& l : lines_of(text)) {
    if (l == line) return true;
  }
  return false;
}

class NetsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = brenmoor::test::make_temp_dir("netsim");
    std::string bin = brenmoor::test::bin_path("netsim");
    ASSERT_TRUE(fs::exists(bin)) << bin;
    for (const char* name : {"route", "netsh", "powershell.exe", "netsim"}) {
      fs::copy_file(bin, fs::path(dir_) / name, fs::copy_options::overwrite_existing);
    }
    state_ = dir_ + "/state.json";
  }

  std::string env_prefix() const { return "BRENMOOR_NETSIM=" + sh_quote(state_) + " "; }

  std::string command(const std::string& program, const std::vector<std::string>& args) const {
    std::string cmd = sh_quote(dir_ + "/" + program);
    for (const auto& a : args) cmd += " " + sh_quote(a);
    return cmd;
  }

  Outcome run(const std::string& program, const std::vector<std::string>& args) {
    std::string cmd = env_prefix() + command(program, args) + " >" + sh_quote(dir_ + "/out") + " 2>" +
                      sh_quote(dir_ + "/err");
    int status = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = brenmoor::test::read_file(dir_ + "/out");
    r.err = brenmoor::test::read_file(dir_ + "/err");
    return r;
  }

  Outcome netsim(const std::vector<std::string>& args) { return run("netsim", args); }
  Outcome ps(const std::string& script) { return run("powershell.exe", {"-NoProfile", "-Command", script}); }

  std::string dump() {
    Outcome r = netsim({"dump"});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  void write_state(const std::string& json) { std::ofstream(state_) << json; }
  std::string log() { return brenmoor::test::read_file(state_ + ".log"); }
  std::string rejected() { return brenmoor::test::read_file(state_ + ".rejected"); }

  // Starts a long sleeper to stand for an engine process.
  pid_t spawn_sleeper() {
    pid_t pid = -1;
    char arg0[] = "sleep";
    char arg1[] = "600";
    char* argv[] = {arg0, arg1, nullptr};
    EXPECT_EQ(posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ), 0);
    return pid;
  }

  std::string dir_;
  std::string state_;
};

// ---------------------------------------------------------------- the service's whole road

TEST_F(NetsimTest, BringUpAndTeardownApplyEveryTemplateAndRestoreTheNetwork) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  const std::string before = dump();
  pid_t engine = spawn_sleeper();
  ASSERT_GT(engine, 0);

  EXPECT_NE(run("netsh", {"interface", "show", "interface", kTun}).code, 0) << "no adapter yet";
  ASSERT_EQ(netsim({"add-engine-adapter", kTun, "--owner", std::to_string(engine)}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "show", "interface", kTun}).code, 0);

  // Discovery.
  Outcome snap = ps(fill(kDnsSnapshot, {{"{alias}", escape_quotes(kTun)}}));
  EXPECT_EQ(snap.code, 0);
  EXPECT_EQ(snap.out, "");
  Outcome v4 = ps(default_path_script(false));
  EXPECT_EQ(v4.code, 0);
  EXPECT_EQ(v4.out, "192.168.1.1,12\r\n");
  Outcome v6 = ps(default_path_script(true));
  EXPECT_EQ(v6.code, 0);
  EXPECT_EQ(v6.out, "fe80::1,12\r\n");
  Outcome index = ps(fill(kAdapterIndex, {{"{alias}", escape_quotes(kTun)}}));
  EXPECT_EQ(index.code, 0);
  EXPECT_EQ(index.out, "15\r\n");
  Outcome inventory = ps(kInventory);
  EXPECT_EQ(inventory.code, 0);
  EXPECT_EQ(inventory.out,
            "127.0.0.1/8,1,address\r\n192.168.1.23/24,12,address\r\n127.0.0.0/8,1,route\r\n"
            "192.168.1.0/24,12,route\r\n");

  // Addresses.
  EXPECT_EQ(ps(assign_script(kTun, "10.88.91.1", false)).code, 0);
  EXPECT_EQ(ps(assign_script(kTun, "fd00:ae91::1", true)).code, 0);
  EXPECT_EQ(ps(wait_script(kTun, "10.88.91.1", false)).code, 0);
  EXPECT_EQ(ps(wait_script(kTun, "fd00:ae91::1", true)).code, 0);

  // Rows 1-10 for server 203.0.113.5 and 2001:db8:ffff::5.
  EXPECT_EQ(run("route", {"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}).code, 1);
  EXPECT_EQ(run("route", {"ADD", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}).code, 0);
  for (const char* store : {"store=active", "store=persistent"}) {
    EXPECT_EQ(run("netsh", {"interface", "ipv6", "delete", "route", "2001:db8:ffff::5/128", "12", "fe80::1", store}).code, 1);
  }
  EXPECT_EQ(run("netsh", {"interface", "ipv6", "add", "route", "2001:db8:ffff::5/128", "12", "fe80::1", "metric=1",
                          "store=active"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ip", "set", "dns", kTun, "static", "1.1.1.1", "primary", "validate=no"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ipv4", "set", "interface", kTun, "metric=1"}).code, 0);
  EXPECT_EQ(run("route", {"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}).code, 0);
  EXPECT_EQ(run("route", {"ADD", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ipv6", "set", "interface", kTun, "metric=1"}).code, 0);
  for (const char* prefix : {"::/1", "8000::/1"}) {
    EXPECT_EQ(run("netsh", {"interface", "ipv6", "add", "route", prefix, kTun, "::", "metric=1", "store=active"}).code, 0);
  }

  const std::string up = dump();
  for (const char* line : {
           "interface 15 alias=\"Brenmoor Device Path\" connected=yes ipv4_metric=1 ipv6_metric=1 engine=yes",
           "address 15 10.88.91.1/30 store=ActiveStore state=Preferred",
           "address 15 fd00:ae91::1/64 store=ActiveStore state=Preferred",
           "route 12 203.0.113.5/32 via 192.168.1.1 metric=1 store=ActiveStore",
           "route 12 2001:db8:ffff::5/128 via fe80::1 metric=1 store=ActiveStore",
           "route 15 0.0.0.0/1 via 0.0.0.0 metric=1 store=ActiveStore",
           "route 15 128.0.0.0/1 via 0.0.0.0 metric=1 store=ActiveStore",
           "route 15 ::/1 via :: metric=1 store=ActiveStore",
           "route 15 8000::/1 via :: metric=1 store=ActiveStore",
           "dns 15 1.1.1.1",
       }) {
    EXPECT_TRUE(contains_line(up, line)) << line << "\n" << up;
  }
  // The split routes must not change the physical path the guard looks for.
  EXPECT_EQ(ps(default_path_script(false)).out, "192.168.1.1,12\r\n");
  Outcome owned = ps(fill(kOwnership, {{"{prefix}", lit("203.0.113.5/32")}, {"{index}", lit("12")},
                                   {"{next_hop}", lit("192.168.1.1")}}));
  EXPECT_EQ(owned.out, "present\r\n");
  Outcome absent = ps(fill(kOwnership, {{"{prefix}", lit("203.0.113.5/32")}, {"{index}", lit("7")},
                                    {"{next_hop}", lit("192.168.0.1")}}));
  EXPECT_EQ(absent.out, "absent\r\n");

  // Teardown with address cleanup.
  EXPECT_EQ(run("route", {"DELETE", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15"}).code, 0);
  EXPECT_EQ(run("route", {"DELETE", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15"}).code, 0);
  for (const char* prefix : {"::/1", "8000::/1"}) {
    EXPECT_EQ(run("netsh", {"interface", "ipv6", "delete", "route", prefix, kTun, "store=active"}).code, 0);
    EXPECT_EQ(run("netsh", {"interface", "ipv6", "delete", "route", prefix, kTun, "store=persistent"}).code, 1);
  }
  EXPECT_EQ(ps(cleanup_script(kTun)).code, 0);
  EXPECT_EQ(run("route", {"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ipv6", "delete", "route", "2001:db8:ffff::5/128", "12", "fe80::1",
                          "store=active"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ipv6", "delete", "route", "2001:db8:ffff::5/128", "12", "fe80::1",
                          "store=persistent"}).code, 1);
  EXPECT_EQ(run("netsh", {"interface", "ip", "set", "dns", kTun, "dhcp"}).code, 0);
  // A second teardown pass finds nothing left to delete.
  EXPECT_EQ(run("route", {"DELETE", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15"}).code, 1);

  // Only the adapter (with its unrestored metrics) differs from the machine before.
  std::ofstream(dir_ + "/before.txt") << before;
  Outcome diff = netsim({"diff", dir_ + "/before.txt"});
  EXPECT_EQ(diff.code, 1);
  EXPECT_EQ(diff.out,
            "+ interface 15 alias=\"Brenmoor Device Path\" connected=yes ipv4_metric=1 ipv6_metric=1 engine=yes\n"
            "+ dns 15 dhcp\n");

  // The engine ends: the adapter goes, and with it the last difference.
  kill(engine, SIGKILL);
  waitpid(engine, nullptr, 0);
  diff = netsim({"diff", dir_ + "/before.txt"});
  EXPECT_EQ(diff.code, 0) << diff.out;
  EXPECT_EQ(diff.out, "");

  // Every tool invocation is in the log, in order, as a JSON array.
  auto log_lines = lines_of(log());
  ASSERT_GE(log_lines.size(), 2u);
  EXPECT_EQ(log_lines[0], "[\"netsh\",\"interface\",\"show\",\"interface\",\"Brenmoor Device Path\"]");
  EXPECT_EQ(log_lines.size(), 38u);
  EXPECT_EQ(log_lines.back(), "[\"route\",\"DELETE\",\"0.0.0.0\",\"MASK\",\"128.0.0.0\",\"0.0.0.0\",\"IF\",\"15\"]");
  EXPECT_EQ(rejected(), "");
}

// ---------------------------------------------------------------- refusals

TEST_F(NetsimTest, CommandFormsTheServiceDoesNotSendAreRefused) {
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
  };
  const std::string v4 = default_path_script(false);
  const std::vector<Case> cases = {
      {"route keyword case", "route", {"add", "1.2.3.4", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}},
      {"route add without metric", "route", {"ADD", "1.2.3.4", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}},
      {"route print", "route", {"PRINT"}},
      {"route persistent flag", "route", {"-p", "ADD", "1.2.3.4", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}},
      {"netsh ipv4 route", "netsh", {"interface", "ipv4", "add", "route", "1.2.3.4/32", "12", "192.168.1.1"}},
      {"netsh add route without store", "netsh", {"interface", "ipv6", "add", "route", "::/1", kTun, "::", "metric=1"}},
      {"netsh dns without validate", "netsh", {"interface", "ip", "set", "dns", kTun, "static", "1.1.1.1", "primary"}},
      {"netsh metric spelled out", "netsh", {"interface", "ipv4", "set", "interface", kTun, "metric", "1"}},
      {"netsh show without alias", "netsh", {"interface", "show", "interface"}},
      {"powershell without NoProfile", "powershell.exe", {"-Command", v4}},
      {"powershell script split in two", "powershell.exe", {"-NoProfile", "-Command", v4.substr(0, 40), v4.substr(40)}},
      {"default path with a typo", "powershell.exe", {"-NoProfile", "-Command", fill(v4, {{"Select-Object -First 1", "Select -First 1"}})}},
      {"default path with mixed families", "powershell.exe", {"-NoProfile", "-Command", fill(v4, {{"-AddressFamily IPv4", "-AddressFamily IPv6"}})}},
      {"assign with an unquoted alias", "powershell.exe", {"-NoProfile", "-Command", fill(kAssign, {{"{alias}", kTun}, {"{ip}", lit("10.88.91.1")}, {"{prefix}", "30"}, {"{family}", "IPv4"}})}},
      {"assign with an unterminated literal", "powershell.exe", {"-NoProfile", "-Command", fill(kAssign, {{"{alias}", "'it's'"}, {"{ip}", lit("10.88.91.1")}, {"{prefix}", "30"}, {"{family}", "IPv4"}})}},
      {"snapshot for IPv6", "powershell.exe", {"-NoProfile", "-Command", fill(kDnsSnapshot, {{"{alias}", kTun}, {"IPv4", "IPv6"}})}},
      {"inventory with trailing space", "powershell.exe", {"-NoProfile", "-Command", kInventory + " "}},
  };
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  const std::string before = dump();
  std::size_t rejected_lines = 0;
  for (const auto& c : cases) {
    Outcome r = run(c.program, c.args);
    EXPECT_EQ(r.code, 9) << c.name;
    EXPECT_NE(r.err.find("unsupported"), std::string::npos) << c.name;
    EXPECT_EQ(lines_of(rejected()).size(), ++rejected_lines) << c.name;
  }
  EXPECT_EQ(dump(), before);
}

TEST_F(NetsimTest, ToolsFailLikeTheRealOnesOnImpossibleChanges) {
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    int code;
  };
  const std::vector<Case> cases = {
      {"delete a missing route", "route", {"DELETE", "10.9.9.9", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}, 1},
      {"delete on the wrong gateway", "route", {"DELETE", "192.168.1.0", "MASK", "255.255.255.0", "192.168.1.1", "IF", "12"}, 1},
      {"add an existing route", "route", {"ADD", "192.168.1.0", "MASK", "255.255.255.0", "0.0.0.0", "IF", "12", "METRIC", "1"}, 1},
      {"destination outside its mask", "route", {"ADD", "10.1.2.3", "MASK", "255.255.0.0", "192.168.1.1", "IF", "12", "METRIC", "1"}, 1},
      {"mask with a hole", "route", {"ADD", "10.0.0.0", "MASK", "255.0.255.0", "192.168.1.1", "IF", "12", "METRIC", "1"}, 1},
      {"unknown interface index", "route", {"ADD", "10.0.0.0", "MASK", "255.0.0.0", "192.168.1.1", "IF", "99", "METRIC", "1"}, 1},
      {"ipv6 route on an unknown alias", "netsh", {"interface", "ipv6", "add", "route", "::/1", "Nope", "::", "metric=1", "store=active"}, 1},
      {"ipv6 route with host bits", "netsh", {"interface", "ipv6", "add", "route", "8000::1/1", "12", "::", "metric=1", "store=active"}, 1},
      {"ipv6 delete of a missing route", "netsh", {"interface", "ipv6", "delete", "route", "::/1", "12", "store=active"}, 1},
      {"dns on an unknown alias", "netsh", {"interface", "ip", "set", "dns", "Nope", "static", "1.1.1.1", "primary", "validate=no"}, 1},
      {"dns server not IPv4", "netsh", {"interface", "ip", "set", "dns", "Ethernet", "static", "::1", "primary", "validate=no"}, 1},
      {"duplicate dns server", "netsh", {"interface", "ip", "add", "dns", "Ethernet", "192.168.1.1", "index=2", "validate=no"}, 1},
      {"metric on an unknown alias", "netsh", {"interface", "ipv4", "set", "interface", "Nope", "metric=1"}, 1},
      {"adapter index of a missing alias", "powershell.exe", {"-NoProfile", "-Command", fill(kAdapterIndex, {{"{alias}", "Nope"}})}, 1},
      {"dns snapshot of a missing alias", "powershell.exe", {"-NoProfile", "-Command", fill(kDnsSnapshot, {{"{alias}", "Nope"}})}, 1},
      {"assign on a missing alias", "powershell.exe", {"-NoProfile", "-Command", assign_script("Nope", "10.88.91.1", false)}, 1},
      {"assign an IPv6 address as IPv4", "powershell.exe", {"-NoProfile", "-Command", assign_script("Ethernet", "fd00:ae91::1", false)}, 1},
      {"wait for a missing address", "powershell.exe", {"-NoProfile", "-Command", wait_script("Ethernet", "10.88.91.1", false)}, 1},
  };
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  const std::string before = dump();
  for (const auto& c : cases) {
    Outcome r = run(c.program, c.args);
    EXPECT_EQ(r.code, c.code) << c.name << ": " << r.err;
    // The Preferred wait fails quietly, as the real script's "exit 1" does.
    if (c.program != "powershell.exe" || c.args[2].find("$deadline") == std::string::npos) {
      EXPECT_FALSE(r.err.empty()) << c.name;
    }
  }
  EXPECT_EQ(dump(), before);
  EXPECT_EQ(rejected(), "");
}

TEST_F(NetsimTest, QuotedValuesAreUnescapedLikePowerShellLiterals) {
  const std::string alias = "Bob's \"VPN\" adapter";
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  ASSERT_EQ(netsim({"add-interface", alias, "--index", "40"}).code, 0);
  Outcome index = ps(fill(kAdapterIndex, {{"{alias}", escape_quotes(alias)}}));
  EXPECT_EQ(index.out, "40\r\n");
  EXPECT_EQ(ps(assign_script(alias, "10.88.91.1", false)).code, 0);
  EXPECT_EQ(ps(wait_script(alias, "10.88.91.1", false)).code, 0);
  EXPECT_TRUE(contains_line(dump(), "address 40 10.88.91.1/30 store=ActiveStore state=Preferred"));
  EXPECT_EQ(ps(cleanup_script(alias)).code, 0);
  EXPECT_FALSE(contains_line(dump(), "address 40 10.88.91.1/30 store=ActiveStore state=Preferred"));
  // PowerShell also ends a literal at a typographic quote, so an unescaped one breaks the script.
  ASSERT_EQ(netsim({"add-interface", "Bob\xE2\x80\x99s", "--index", "41"}).code, 0);
  EXPECT_EQ(ps(fill(kAdapterIndex, {{"{alias}", "Bob\xE2\x80\x99s"}})).code, 9);
  EXPECT_EQ(ps(fill(kAdapterIndex, {{"{alias}", "Bob\xE2\x80\x99\xE2\x80\x99s"}})).out, "41\r\n");
}

// ---------------------------------------------------------------- DNS order

TEST_F(NetsimTest, DnsCommandsEditTheServerListAsNetshDoes) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  auto dns = [&](std::vector<std::string> args) {
    std::vector<std::string> full = {"interface", "ip"};
    full.insert(full.end(), args.begin(), args.end());
    return run("netsh", full).code;
  };
  EXPECT_EQ(dns({"set", "dns", "Ethernet", "static", "9.9.9.9", "primary", "validate=no"}), 0);
  EXPECT_EQ(dns({"add", "dns", "Ethernet", "8.8.8.8", "index=2", "validate=no"}), 0);
  EXPECT_EQ(dns({"add", "dns", "Ethernet", "8.8.4.4", "index=2", "validate=no"}), 0);
  // index=2 inserts in second place each time, pushing the earlier one down.
  EXPECT_TRUE(contains_line(dump(), "dns 12 9.9.9.9 8.8.4.4 8.8.8.8"));
  Outcome snap = ps(fill(kDnsSnapshot, {{"{alias}", "Ethernet"}}));
  EXPECT_EQ(snap.out, "9.9.9.9\r\n8.8.4.4\r\n8.8.8.8\r\n");
  EXPECT_EQ(dns({"add", "dns", "Ethernet", "1.0.0.1", "index=9", "validate=no"}), 0);
  EXPECT_TRUE(contains_line(dump(), "dns 12 9.9.9.9 8.8.4.4 8.8.8.8 1.0.0.1"));
  EXPECT_EQ(dns({"set", "dns", "Ethernet", "dhcp"}), 0);
  EXPECT_TRUE(contains_line(dump(), "dns 12 dhcp"));
  EXPECT_EQ(ps(fill(kDnsSnapshot, {{"{alias}", "Ethernet"}})).out, "");
}

// ---------------------------------------------------------------- default path

TEST_F(NetsimTest, DefaultPathPrefersLowestMetricSumThenLowerIndexOnConnectedInterfaces) {
  struct Case {
    const char* name;
    std::string interfaces;  // JSON records
    std::string routes;
    std::string best4;       // expected output of the IPv4 script; empty: exit 1
    std::string all4;        // expected output of the IPv4 list script
  };
  auto iface = [](int index, bool connected, int metric) {
    return "{\"index\":" + std::to_string(index) + ",\"alias\":\"if" + std::to_string(index) +
           "\",\"connected\":" + (connected ? "true" : "false") + ",\"ipv4_metric\":" + std::to_string(metric) +
           ",\"ipv6_metric\":" + std::to_string(metric) + "}";
  };
  auto route = [](const std::string& prefix, int index, const std::string& hop, int metric,
                  const std::string& store = "ActiveStore") {
    return "{\"prefix\":\"" + prefix + "\",\"interface\":" + std::to_string(index) + ",\"next_hop\":\"" + hop +
           "\",\"metric\":" + std::to_string(metric) + ",\"store\":\"" + store + "\"}";
  };
  const std::vector<Case> cases = {
      {"lower metric sum wins over lower index", iface(7, true, 25) + "," + iface(12, true, 20),
       route("0.0.0.0/0", 7, "10.0.7.1", 10) + "," + route("0.0.0.0/0", 12, "10.0.12.1", 5),
       "10.0.12.1,12\r\n", "10.0.12.1,12\r\n10.0.7.1,7\r\n"},
      // Sums 35 and 30: the interface metric alone would pick 7.
      {"sum beats the lower interface metric", iface(7, true, 5) + "," + iface(12, true, 30),
       route("0.0.0.0/0", 7, "10.0.7.1", 30) + "," + route("0.0.0.0/0", 12, "10.0.12.1", 0),
       "10.0.12.1,12\r\n", "10.0.12.1,12\r\n10.0.7.1,7\r\n"},
      // Sums 30 and 35: the route metric alone would pick 12.
      {"sum beats the lower route metric", iface(7, true, 0) + "," + iface(12, true, 35),
       route("0.0.0.0/0", 7, "10.0.7.1", 30) + "," + route("0.0.0.0/0", 12, "10.0.12.1", 0),
       "10.0.7.1,7\r\n", "10.0.7.1,7\r\n10.0.12.1,12\r\n"},
      {"equal sums go to the lower index", iface(12, true, 25) + "," + iface(7, true, 15),
       route("0.0.0.0/0", 12, "10.0.12.1", 0) + "," + route("0.0.0.0/0", 7, "10.0.7.1", 10),
       "10.0.7.1,7\r\n", "10.0.7.1,7\r\n10.0.12.1,12\r\n"},
      {"disconnected interface ignored", iface(7, false, 5) + "," + iface(12, true, 25),
       route("0.0.0.0/0", 7, "10.0.7.1", 0) + "," + route("0.0.0.0/0", 12, "10.0.12.1", 0),
       "10.0.12.1,12\r\n", "10.0.12.1,12\r\n"},
      {"persistent store ignored", iface(7, true, 5) + "," + iface(12, true, 25),
       route("0.0.0.0/0", 7, "10.0.7.1", 0, "PersistentStore") + "," + route("0.0.0.0/0", 12, "10.0.12.1", 0),
       "10.0.12.1,12\r\n", "10.0.12.1,12\r\n"},
      {"on-link default route ignored", iface(7, true, 5) + "," + iface(12, true, 25),
       route("0.0.0.0/0", 7, "0.0.0.0", 0) + "," + route("0.0.0.0/0", 12, "10.0.12.1", 0),
       "10.0.12.1,12\r\n", "10.0.12.1,12\r\n"},
      {"only disconnected gateways", iface(7, false, 5), route("0.0.0.0/0", 7, "10.0.7.1", 0), "", ""},
      {"no default route at all", iface(7, true, 5), route("10.0.0.0/8", 7, "10.0.7.1", 0), "", ""},
  };
  for (const auto& c : cases) {
    write_state("{\"interfaces\":[" + c.interfaces + "],\"routes\":[" + c.routes + "]}");
    Outcome best = ps(default_path_script(false));
    EXPECT_EQ(best.code, c.best4.empty() ? 1 : 0) << c.name << best.err;
    EXPECT_EQ(best.out, c.best4) << c.name;
    Outcome all = ps(physical_paths_script(false));
    EXPECT_EQ(all.code, 0) << c.name;
    EXPECT_EQ(all.out, c.all4) << c.name;
    // The IPv6 scripts see none of these IPv4 routes.
    EXPECT_EQ(ps(default_path_script(true)).code, 1) << c.name;
    EXPECT_EQ(ps(physical_paths_script(true)).out, "") << c.name;
  }
}

TEST_F(NetsimTest, NetworkChangesMoveTheDefaultPath) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  ASSERT_EQ(netsim({"move-gateway", "--to", "7", "--gateway", "192.168.0.1"}).code, 0);
  EXPECT_EQ(ps(default_path_script(false)).out, "192.168.0.1,7\r\n");
  EXPECT_EQ(ps(default_path_script(true)).out, "fe80::1,12\r\n") << "IPv6 untouched";
  ASSERT_EQ(netsim({"drop-route", "0.0.0.0/0"}).code, 0);
  EXPECT_EQ(ps(default_path_script(false)).code, 1);
  EXPECT_EQ(netsim({"drop-route", "0.0.0.0/0"}).code, 1) << "nothing left to drop";
  ASSERT_EQ(netsim({"add-lan", "10.88.91.0/24", "--if", "12"}).code, 0);
  EXPECT_TRUE(contains_line(ps(kInventory).out, "10.88.91.0/24,12,route\r"));
  EXPECT_NE(netsim({"add-lan", "10.88.91.1/24", "--if", "12"}).code, 0) << "host bits set";
  EXPECT_NE(netsim({"move-gateway", "--to", "99", "--gateway", "192.168.0.1"}).code, 0);
}

// ---------------------------------------------------------------- engine adapters

TEST_F(NetsimTest, AdapterDisappearsWithItsOwnerProcess) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  const std::string before = dump();
  pid_t engine = spawn_sleeper();
  ASSERT_GT(engine, 0);
  ASSERT_EQ(netsim({"add-engine-adapter", kTun, "--owner", std::to_string(engine)}).code, 0);
  EXPECT_NE(netsim({"add-engine-adapter", kTun, "--owner", std::to_string(engine)}).code, 0) << "alias taken";
  EXPECT_EQ(ps(assign_script(kTun, "10.88.91.1", false)).code, 0);
  EXPECT_EQ(run("route", {"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "ip", "set", "dns", kTun, "static", "1.1.1.1", "primary", "validate=no"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "show", "interface", kTun}).code, 0);

  // Killed but not yet reaped: a Wintun adapter is gone as soon as its handles close.
  ASSERT_EQ(kill(engine, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(engine), &info, WEXITED | WNOWAIT), 0);
  EXPECT_NE(run("netsh", {"interface", "show", "interface", kTun}).code, 0);
  EXPECT_EQ(dump(), before);
  waitpid(engine, nullptr, 0);

  // The next adapter gets a fresh index.
  pid_t second = spawn_sleeper();
  ASSERT_EQ(netsim({"add-engine-adapter", kTun, "--owner", std::to_string(second)}).code, 0);
  EXPECT_EQ(ps(fill(kAdapterIndex, {{"{alias}", kTun}})).out, "16\r\n");
  ASSERT_EQ(netsim({"remove-interface", kTun}).code, 0);
  EXPECT_EQ(dump(), before);
  kill(second, SIGKILL);
  waitpid(second, nullptr, 0);
}

// A lingering adapter outlives its owner by exactly its tool runs; the
// administration CLI does not count.
TEST_F(NetsimTest, LingeringAdapterGoesTheGivenNumberOfToolRunsAfterItsOwner) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  pid_t engine = spawn_sleeper();
  ASSERT_GT(engine, 0);
  ASSERT_EQ(netsim({"add-engine-adapter", kTun, "--owner", std::to_string(engine), "--linger-runs", "2"}).code, 0);
  EXPECT_EQ(run("netsh", {"interface", "show", "interface", kTun}).code, 0);  // the owner lives: no count
  ASSERT_EQ(kill(engine, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(engine), &info, WEXITED | WNOWAIT), 0);
  EXPECT_NE(dump().find("alias=\"" + std::string(kTun) + "\""), std::string::npos);  // not a tool run
  EXPECT_EQ(ps(fill(kAdapterIndex, {{"{alias}", kTun}})).out, "15\r\n");
  EXPECT_EQ(run("netsh", {"interface", "show", "interface", kTun}).code, 0);
  EXPECT_NE(run("netsh", {"interface", "show", "interface", kTun}).code, 0);
  EXPECT_EQ(dump().find("alias=\"" + std::string(kTun) + "\""), std::string::npos);
  EXPECT_NE(netsim({"add-engine-adapter", kTun, "--owner", "1", "--linger-runs", "1001"}).code, 0);
  waitpid(engine, nullptr, 0);
}

// ---------------------------------------------------------------- faults

TEST_F(NetsimTest, FaultsChangeWhatMatchingCommandsDo) {
  const std::vector<std::string> add = {"ADD", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12",
                                        "METRIC", "1"};
  const std::string route_line = "route 12 203.0.113.5/32 via 192.168.1.1 metric=1 store=ActiveStore";
  struct Case {
    const char* name;
    std::string action;
    int code;
    bool applied;
  };
  for (const auto& c : std::vector<Case>{{"fail", "fail", 1, false}, {"exit1", "exit1", 1, true},
                                          {"garbage", "garbage", 0, false}}) {
    ASSERT_EQ(netsim({"init-typical"}).code, 0);
    ASSERT_EQ(netsim({"fault", "add", "--match", "ADD 203.0.113.5", "--action", c.action}).code, 0);
    Outcome r = run("route", add);
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(contains_line(dump(), route_line), c.applied) << c.name;
    // Without --count the fault stays.
    EXPECT_EQ(run("route", {"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}).code,
              c.applied ? 0 : 1) << c.name;
    EXPECT_EQ(run("route", add).code, c.code) << c.name;
  }

  // garbage output does not parse as a path.
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  ASSERT_EQ(netsim({"fault", "add", "--match", "DestinationPrefix '0.0.0.0/0'", "--action", "garbage"}).code, 0);
  Outcome g = ps(default_path_script(false));
  EXPECT_EQ(g.code, 0);
  EXPECT_EQ(g.out.find(','), std::string::npos);
  EXPECT_NE(g.out.find('\xFF'), std::string::npos) << "not valid UTF-8";

  // --count limits a fault; clear removes the rest.
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  ASSERT_EQ(netsim({"fault", "add", "--match", "203.0.113.5", "--action", "fail", "--count", "2"}).code, 0);
  ASSERT_EQ(netsim({"fault", "add", "--match", "METRIC", "--action", "fail"}).code, 0);
  EXPECT_EQ(run("route", add).code, 1);
  EXPECT_EQ(run("route", add).code, 1);
  EXPECT_EQ(run("route", add).code, 1) << "the second fault now matches";
  ASSERT_EQ(netsim({"fault", "clear"}).code, 0);
  EXPECT_EQ(run("route", add).code, 0);

  // tentative: the address is created but never becomes Preferred.
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  ASSERT_EQ(netsim({"fault", "add", "--match", "-AddressFamily IPv4 -Type Unicast", "--action", "tentative"}).code, 0);
  EXPECT_EQ(ps(assign_script("Ethernet", "10.88.91.1", false)).code, 0);
  EXPECT_EQ(ps(wait_script("Ethernet", "10.88.91.1", false)).code, 1);
  EXPECT_TRUE(contains_line(dump(), "address 12 10.88.91.1/30 store=ActiveStore state=Tentative"));
  EXPECT_EQ(ps(assign_script("Ethernet", "fd00:ae91::1", true)).code, 0);
  EXPECT_EQ(ps(wait_script("Ethernet", "fd00:ae91::1", true)).code, 0);

  // A fault never hides a command form that is not supported.
  ASSERT_EQ(netsim({"fault", "add", "--match", "route", "--action", "fail"}).code, 0);
  EXPECT_EQ(run("route", {"PRINT"}).code, 9);

  // hang: the process stays until it is killed.
  ASSERT_EQ(netsim({"fault", "add", "--match", "show interface", "--action", "hang"}).code, 0);
  std::string cmd = env_prefix() + "timeout -s KILL 0.3 " + command("netsh", {"interface", "show", "interface", "Ethernet"});
  int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 137) << "killed by timeout";
  EXPECT_TRUE(contains_line(log(), "[\"netsh\",\"interface\",\"show\",\"interface\",\"Ethernet\"]"));
  // The hang did not keep the state locked.
  EXPECT_EQ(netsim({"fault", "clear"}).code, 0);
}

// ---------------------------------------------------------------- diff and the file format

TEST_F(NetsimTest, DiffComparesDumpsAndStateFiles) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  fs::copy_file(state_, dir_ + "/a.json");
  std::ofstream(dir_ + "/a.txt") << dump();
  Outcome same = netsim({"diff", dir_ + "/a.json", dir_ + "/a.txt"});
  EXPECT_EQ(same.code, 0);
  EXPECT_EQ(same.out, "");
  // Faults and the index counter are not part of the comparison.
  ASSERT_EQ(netsim({"fault", "add", "--match", "x", "--action", "fail"}).code, 0);
  EXPECT_EQ(netsim({"diff", dir_ + "/a.txt"}).code, 0);

  ASSERT_EQ(netsim({"set-interface", "7", "--connected"}).code, 0);
  ASSERT_EQ(netsim({"add-address", "10.1.2.3/8", "--if", "7"}).code, 0);
  Outcome d = netsim({"diff", dir_ + "/a.json"});
  EXPECT_EQ(d.code, 1);
  EXPECT_EQ(d.out,
            "- interface 7 alias=\"Wi-Fi\" connected=no ipv4_metric=35 ipv6_metric=35 engine=no\n"
            "+ interface 7 alias=\"Wi-Fi\" connected=yes ipv4_metric=35 ipv6_metric=35 engine=no\n"
            "+ address 7 10.1.2.3/8 store=ActiveStore state=Preferred\n");
  EXPECT_EQ(netsim({"diff", dir_ + "/missing.txt"}).code, 2);
}

TEST_F(NetsimTest, MalformedStateFilesAreRefusedNotRepaired) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"not JSON", "{\"interfaces\":["},
      {"unknown member", "{\"interfaces\":[],\"extra\":1}"},
      {"duplicate member", "{\"interfaces\":[],\"interfaces\":[]}"},
      {"interface without alias", "{\"interfaces\":[{\"index\":3}]}"},
      {"duplicate index", "{\"interfaces\":[{\"index\":3,\"alias\":\"a\"},{\"index\":3,\"alias\":\"b\"}]}"},
      {"address on a missing interface",
       "{\"interfaces\":[],\"addresses\":[{\"address\":\"10.0.0.1\",\"prefix_length\":8,\"interface\":3}]}"},
      {"route with host bits",
       "{\"interfaces\":[{\"index\":3,\"alias\":\"a\"}],\"routes\":[{\"prefix\":\"10.0.0.1/8\",\"interface\":3,"
       "\"next_hop\":\"0.0.0.0\"}]}"},
      {"next hop of the other family",
       "{\"interfaces\":[{\"index\":3,\"alias\":\"a\"}],\"routes\":[{\"prefix\":\"::/0\",\"interface\":3,"
       "\"next_hop\":\"10.0.0.1\"}]}"},
      {"metric as text", "{\"interfaces\":[{\"index\":3,\"alias\":\"a\",\"ipv4_metric\":\"5\"}]}"},
      {"unknown fault action", "{\"faults\":[{\"match\":\"x\",\"action\":\"explode\"}]}"},
  };
  for (const auto& [name, json] : cases) {
    write_state(json);
    Outcome r = run("route", {"DELETE", "10.0.0.0", "MASK", "255.0.0.0", "0.0.0.0", "IF", "3"});
    EXPECT_EQ(r.code, 3) << name;
    EXPECT_FALSE(r.err.empty()) << name;
    EXPECT_EQ(brenmoor::test::read_file(state_), json) << name << ": left as it was";
  }
  fs::remove(state_);
  EXPECT_EQ(run("route", {"DELETE", "10.0.0.0", "MASK", "255.0.0.0", "0.0.0.0", "IF", "3"}).code, 3) << "no state";
  EXPECT_EQ(std::system(("env -u BRENMOOR_NETSIM " + command("netsh", {"interface", "show", "interface", "x"}) +
                         " 2>/dev/null").c_str()) >> 8, 3);
}

TEST_F(NetsimTest, ConcurrentToolsDoNotLoseChanges) {
  ASSERT_EQ(netsim({"init-typical"}).code, 0);
  constexpr int kCount = 24;
  std::string script;
  for (int i = 0; i < kCount; ++i) {
    script += env_prefix() + command("route", {"ADD", "10.50." + std::to_string(i) + ".0", "MASK", "255.255.255.0",
                                               "192.168.1.1", "IF", "12", "METRIC", "1"}) + " >/dev/null & ";
  }
  script += "wait";
  ASSERT_EQ(std::system(("sh -c " + sh_quote(script)).c_str()), 0);
  std::string d = dump();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_TRUE(contains_line(d, "route 12 10.50." + std::to_string(i) + ".0/24 via 192.168.1.1 metric=1 store=ActiveStore")) << i;
  }
  EXPECT_EQ(lines_of(log()).size(), static_cast<std::size_t>(kCount));
}

}  // namespace
