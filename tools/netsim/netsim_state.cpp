#include "tools/netsim/netsim_state.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <simdjson.h>
#include <tuple>

#include "control/json_writer.h"
#include "platform/env.h"
#include "tools/netsim/netsim_ip.h"
#include "tools/netsim/netsim_sys.h"

namespace netsim {

// ---------------------------------------------------------------- model

Interface* State::find_interface(int index) {
  for (auto& i : interfaces) {
    if (i.index == index) return &i;
  }
  return nullptr;
}

const Interface* State::find_interface(int index) const {
  for (const auto& i : interfaces) {
    if (i.index == index) return &i;
  }
  return nullptr;
}

Interface* State::find_alias(std::string_view alias) {
  for (auto& i : interfaces) {
    if (i.alias == alias) return &i;
  }
  return nullptr;
}

bool State::remove_interface(int index) {
  auto it = std::find_if(interfaces.begin(), interfaces.end(), [&](const Interface& i) { return i.index == index; });
  if (it == interfaces.end()) return false;
  interfaces.erase(it);
  std::erase_if(addresses, [&](const Address& a) { return a.interface_index == index; });
  std::erase_if(routes, [&](const Route& r) { return r.interface_index == index; });
  return true;
}

int State::allocate_interface_index() {
  int index = next_interface_index < 1 ? 1 : next_interface_index;
  while (find_interface(index) != nullptr) ++index;
  next_interface_index = index + 1;
  return index;
}

std::string_view store_name(Store s) { return s == Store::kActive ? "ActiveStore" : "PersistentStore"; }
std::string_view state_name(AddressState s) { return s == AddressState::kPreferred ? "Preferred" : "Tentative"; }

std::string_view action_name(FaultAction a) {
  switch (a) {
    case FaultAction::kFail: return "fail";
    case FaultAction::kExit1: return "exit1";
    case FaultAction::kHang: return "hang";
    case FaultAction::kGarbage: return "garbage";
    case FaultAction::kTentative: return "tentative";
  }
  return "fail";
}

bool parse_action(std::string_view text, FaultAction* out) {
  for (FaultAction a : {FaultAction::kFail, FaultAction::kExit1, FaultAction::kHang, FaultAction::kGarbage,
                        FaultAction::kTentative}) {
    if (text == action_name(a)) {
      *out = a;
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- decoding

namespace {

using simdjson::dom::element;
using simdjson::dom::object;

constexpr long kMaxIndex = 0x7FFFFFFF;
constexpr long kMaxMetric = 0x7FFFFFFF;

// One JSON object's members, with duplicate and unknown names rejected.
class Members {
 public:
  static std::expected<Members, std::string> read(element e, std::string_view what,
                                                  std::initializer_list<std::string_view> allowed) {
    Members m;
    m.what_ = std::string(what);
    object obj;
    if (e.get_object().get(obj)) return std::unexpected(m.what_ + " must be an object");
    for (auto field : obj) {
      std::string_view key = field.key;
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        return std::unexpected(m.what_ + ": unknown member \"" + std::string(key) + "\"");
      }
      for (const auto& [k, v] : m.fields_) {
        if (k == key) return std::unexpected(m.what_ + ": duplicate member \"" + std::string(key) + "\"");
      }
      m.fields_.emplace_back(std::string(key), field.value);
    }
    return m;
  }

  const element* find(std::string_view key) const {
    for (const auto& [k, v] : fields_) {
      if (k == key) return &v;
    }
    return nullptr;
  }

  std::expected<std::string, std::string> text(std::string_view key, std::optional<std::string> fallback = {}) const {
    const element* e = find(key);
    if (e == nullptr) {
      if (fallback) return *fallback;
      return std::unexpected(missing(key));
    }
    std::string_view v;
    if (e->get_string().get(v)) return std::unexpected(wrong(key, "a string"));
    return std::string(v);
  }

  std::expected<long, std::string> number(std::string_view key, long lo, long hi, std::optional<long> fallback = {}) const {
    const element* e = find(key);
    if (e == nullptr) {
      if (fallback) return *fallback;
      return std::unexpected(missing(key));
    }
    int64_t v = 0;
    if (e->get_int64().get(v) || v < lo || v > hi) {
      return std::unexpected(wrong(key, "an integer from " + std::to_string(lo) + " to " + std::to_string(hi)));
    }
    return static_cast<long>(v);
  }

  std::expected<bool, std::string> flag(std::string_view key, bool fallback) const {
    const element* e = find(key);
    if (e == nullptr) return fallback;
    bool v = false;
    if (e->get_bool().get(v)) return std::unexpected(wrong(key, "true or false"));
    return v;
  }

  std::expected<std::vector<element>, std::string> list(std::string_view key) const {
    std::vector<element> out;
    const element* e = find(key);
    if (e == nullptr) return out;
    simdjson::dom::array arr;
    if (e->get_array().get(arr)) return std::unexpected(wrong(key, "an array"));
    for (element x : arr) out.push_back(x);
    return out;
  }

  const std::string& what() const { return what_; }

 private:
  std::string missing(std::string_view key) const { return what_ + ": missing \"" + std::string(key) + "\""; }
  std::string wrong(std::string_view key, const std::string& expected) const {
    return what_ + ": \"" + std::string(key) + "\" must be " + expected;
  }
  std::string what_;
  std::vector<std::pair<std::string, element>> fields_;
};

#define NETSIM_TRY(var, expr)                             \
  auto var##_r = (expr);                                  \
  if (!var##_r) return std::unexpected(var##_r.error());  \
  auto var = std::move(*var##_r)

std::expected<Store, std::string> decode_store(const std::string& text, const std::string& what) {
  if (text == "ActiveStore") return Store::kActive;
  if (text == "PersistentStore") return Store::kPersistent;
  return std::unexpected(what + ": \"store\" must be ActiveStore or PersistentStore");
}

std::expected<void, std::string> decode_into(element root, State& s) {
  NETSIM_TRY(top, Members::read(root, "state", {"next_interface_index", "interfaces", "addresses", "routes", "faults"}));
  NETSIM_TRY(next, top.number("next_interface_index", 1, kMaxIndex, 2));
  s.next_interface_index = static_cast<int>(next);

  NETSIM_TRY(ifs, top.list("interfaces"));
  for (std::size_t n = 0; n < ifs.size(); ++n) {
    NETSIM_TRY(m, Members::read(ifs[n], "interfaces[" + std::to_string(n) + "]",
                                {"index", "alias", "connected", "ipv4_metric", "ipv6_metric", "owner_pid",
                                 "linger_runs", "dns"}));
    Interface i;
    NETSIM_TRY(index, m.number("index", 1, kMaxIndex));
    NETSIM_TRY(alias, m.text("alias"));
    NETSIM_TRY(connected, m.flag("connected", true));
    NETSIM_TRY(m4, m.number("ipv4_metric", 0, kMaxMetric, 25));
    NETSIM_TRY(m6, m.number("ipv6_metric", 0, kMaxMetric, 25));
    NETSIM_TRY(owner, m.number("owner_pid", 0, 0x7FFFFFFF, 0));
    NETSIM_TRY(linger, m.number("linger_runs", 0, kMaxLingerRuns, 0));
    NETSIM_TRY(dns, m.list("dns"));
    if (alias.empty()) return std::unexpected(m.what() + ": \"alias\" must not be empty");
    if (s.find_interface(static_cast<int>(index)) != nullptr) {
      return std::unexpected(m.what() + ": interface index " + std::to_string(index) + " appears twice");
    }
    if (s.find_alias(alias) != nullptr) return std::unexpected(m.what() + ": alias \"" + alias + "\" appears twice");
    i.index = static_cast<int>(index);
    i.alias = std::move(alias);
    i.connected = connected;
    i.ipv4_metric = static_cast<int>(m4);
    i.ipv6_metric = static_cast<int>(m6);
    i.owner_pid = owner;
    i.linger_runs = static_cast<int>(linger);
    for (element d : dns) {
      std::string_view v;
      if (d.get_string().get(v)) return std::unexpected(m.what() + ": \"dns\" entries must be strings");
      auto ip = parse_ipv4(v);
      if (!ip) return std::unexpected(m.what() + ": DNS server \"" + std::string(v) + "\" is not an IPv4 address");
      i.dns.push_back(format_ip(*ip));
    }
    s.interfaces.push_back(std::move(i));
  }

  NETSIM_TRY(addrs, top.list("addresses"));
  for (std::size_t n = 0; n < addrs.size(); ++n) {
    NETSIM_TRY(m, Members::read(addrs[n], "addresses[" + std::to_string(n) + "]",
                                {"address", "prefix_length", "interface", "store", "state"}));
    NETSIM_TRY(text, m.text("address"));
    NETSIM_TRY(len, m.number("prefix_length", 0, 128));
    NETSIM_TRY(index, m.number("interface", 1, kMaxIndex));
    NETSIM_TRY(store, m.text("store", std::string("ActiveStore")));
    NETSIM_TRY(state, m.text("state", std::string("Preferred")));
    auto ip = parse_ip(text);
    if (!ip) return std::unexpected(m.what() + ": \"" + text + "\" is not an IP address");
    if (len > (ip->v6 ? 128 : 32)) return std::unexpected(m.what() + ": prefix length too long");
    if (s.find_interface(static_cast<int>(index)) == nullptr) {
      return std::unexpected(m.what() + ": no interface " + std::to_string(index));
    }
    NETSIM_TRY(st, decode_store(store, m.what()));
    Address a;
    a.address = format_ip(*ip);
    a.prefix_length = static_cast<int>(len);
    a.interface_index = static_cast<int>(index);
    a.store = st;
    if (state == "Preferred") {
      a.state = AddressState::kPreferred;
    } else if (state == "Tentative") {
      a.state = AddressState::kTentative;
    } else {
      return std::unexpected(m.what() + ": \"state\" must be Preferred or Tentative");
    }
    s.addresses.push_back(std::move(a));
  }

  NETSIM_TRY(routes, top.list("routes"));
  for (std::size_t n = 0; n < routes.size(); ++n) {
    NETSIM_TRY(m, Members::read(routes[n], "routes[" + std::to_string(n) + "]",
                                {"prefix", "interface", "next_hop", "metric", "store"}));
    NETSIM_TRY(prefix_text, m.text("prefix"));
    NETSIM_TRY(index, m.number("interface", 1, kMaxIndex));
    NETSIM_TRY(hop_text, m.text("next_hop"));
    NETSIM_TRY(metric, m.number("metric", 0, kMaxMetric, 0));
    NETSIM_TRY(store, m.text("store", std::string("ActiveStore")));
    auto prefix = parse_prefix(prefix_text);
    if (!prefix) return std::unexpected(m.what() + ": \"" + prefix_text + "\" is not a prefix with host bits zero");
    auto hop = parse_ip(hop_text);
    if (!hop || hop->v6 != prefix->address.v6) {
      return std::unexpected(m.what() + ": next hop \"" + hop_text + "\" is not an address of the prefix's family");
    }
    if (s.find_interface(static_cast<int>(index)) == nullptr) {
      return std::unexpected(m.what() + ": no interface " + std::to_string(index));
    }
    NETSIM_TRY(st, decode_store(store, m.what()));
    s.routes.push_back(Route{format_prefix(*prefix), static_cast<int>(index), format_ip(*hop), static_cast<int>(metric), st});
  }

  NETSIM_TRY(faults, top.list("faults"));
  for (std::size_t n = 0; n < faults.size(); ++n) {
    NETSIM_TRY(m, Members::read(faults[n], "faults[" + std::to_string(n) + "]", {"match", "action", "count"}));
    NETSIM_TRY(match, m.text("match"));
    NETSIM_TRY(action, m.text("action"));
    NETSIM_TRY(count, m.number("count", -1, 0x7FFFFFFF, -1));
    Fault f;
    if (match.empty()) return std::unexpected(m.what() + ": \"match\" must not be empty");
    if (!parse_action(action, &f.action)) {
      return std::unexpected(m.what() + ": \"action\" must be fail, exit1, hang, garbage or tentative");
    }
    if (count == 0) return std::unexpected(m.what() + ": \"count\" must be -1 or positive");
    f.match = std::move(match);
    f.count = static_cast<int>(count);
    s.faults.push_back(std::move(f));
  }
  return {};
}

#undef NETSIM_TRY

}  // namespace

std::expected<State, std::string> parse_state(std::string_view json) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(json.data(), json.size());
  element root;
  if (auto err = parser.parse(padded).get(root)) {
    return std::unexpected(std::string("state is not valid JSON: ") + simdjson::error_message(err));
  }
  State s;
  auto r = decode_into(root, s);
  if (!r) return std::unexpected(r.error());
  return s;
}

// ---------------------------------------------------------------- encoding

std::string serialize_state(const State& s) {
  using brenmoor::JsonWriter;
  std::string out = "{\n  \"next_interface_index\": " + std::to_string(s.next_interface_index) + ",\n";
  auto section = [&](const char* name, std::size_t count, auto&& write_one, bool last) {
    out += "  \"";
    out += name;
    out += "\": [";
    for (std::size_t n = 0; n < count; ++n) {
      JsonWriter w;
      write_one(w, n);
      out += n == 0 ? "\n    " : ",\n    ";
      out += w.text();
    }
    out += count == 0 ? "]" : "\n  ]";
    out += last ? "\n" : ",\n";
  };
  section("interfaces", s.interfaces.size(), [&](JsonWriter& w, std::size_t n) {
    const Interface& i = s.interfaces[n];
    w.begin_object().key("index").integer(i.index).key("alias").string(i.alias).key("connected").boolean(i.connected);
    w.key("ipv4_metric").integer(i.ipv4_metric).key("ipv6_metric").integer(i.ipv6_metric);
    w.key("owner_pid").integer(i.owner_pid);
    if (i.linger_runs != 0) w.key("linger_runs").integer(i.linger_runs);
    w.key("dns").begin_array();
    for (const auto& d : i.dns) w.string(d);
    w.end_array().end_object();
  }, false);
  section("addresses", s.addresses.size(), [&](JsonWriter& w, std::size_t n) {
    const Address& a = s.addresses[n];
    w.begin_object().key("address").string(a.address).key("prefix_length").integer(a.prefix_length);
    w.key("interface").integer(a.interface_index).key("store").string(store_name(a.store));
    w.key("state").string(state_name(a.state)).end_object();
  }, false);
  section("routes", s.routes.size(), [&](JsonWriter& w, std::size_t n) {
    const Route& r = s.routes[n];
    w.begin_object().key("prefix").string(r.prefix).key("interface").integer(r.interface_index);
    w.key("next_hop").string(r.next_hop).key("metric").integer(r.metric);
    w.key("store").string(store_name(r.store)).end_object();
  }, false);
  section("faults", s.faults.size(), [&](JsonWriter& w, std::size_t n) {
    const Fault& f = s.faults[n];
    w.begin_object().key("match").string(f.match).key("action").string(action_name(f.action));
    w.key("count").integer(f.count).end_object();
  }, true);
  out += "}\n";
  return out;
}

namespace {

// Sort key that orders addresses numerically within a family (IPv4 first).
std::tuple<bool, std::array<std::uint8_t, 16>, int> address_key(std::string_view text) {
  auto p = parse_address_with_length(text);
  if (p) return {p->address.v6, p->address.bytes, p->length};
  auto ip = parse_ip(text);
  if (ip) return {ip->v6, ip->bytes, 0};
  return {true, {}, 0};
}

std::string json_quoted(std::string_view text) {
  std::string out;
  brenmoor::append_json_string(out, text);
  return out;
}

std::string pad(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

std::string dump_state(const State& s) {
  std::string out;
  std::vector<const Interface*> ifs;
  for (const auto& i : s.interfaces) ifs.push_back(&i);
  std::sort(ifs.begin(), ifs.end(), [](auto* a, auto* b) { return a->index < b->index; });
  for (const Interface* i : ifs) {
    out += "interface " + std::to_string(i->index) + " alias=" + json_quoted(i->alias) +
           " connected=" + (i->connected ? "yes" : "no") + " ipv4_metric=" + std::to_string(i->ipv4_metric) +
           " ipv6_metric=" + std::to_string(i->ipv6_metric) + " engine=" + (i->owner_pid != 0 ? "yes" : "no") + "\n";
  }
  std::vector<const Address*> addrs;
  for (const auto& a : s.addresses) addrs.push_back(&a);
  std::sort(addrs.begin(), addrs.end(), [](auto* a, auto* b) {
    return std::tuple(a->interface_index, address_key(a->address), a->prefix_length, a->store) <
           std::tuple(b->interface_index, address_key(b->address), b->prefix_length, b->store);
  });
  for (const Address* a : addrs) {
    out += "address " + std::to_string(a->interface_index) + " " + a->address + "/" + std::to_string(a->prefix_length) +
           " store=" + std::string(store_name(a->store)) + " state=" + std::string(state_name(a->state)) + "\n";
  }
  std::vector<const Route*> routes;
  for (const auto& r : s.routes) routes.push_back(&r);
  std::sort(routes.begin(), routes.end(), [](auto* a, auto* b) {
    return std::tuple(a->interface_index, address_key(a->prefix), address_key(a->next_hop), a->store, a->metric) <
           std::tuple(b->interface_index, address_key(b->prefix), address_key(b->next_hop), b->store, b->metric);
  });
  for (const Route* r : routes) {
    out += "route " + std::to_string(r->interface_index) + " " + r->prefix + " via " + r->next_hop +
           " metric=" + std::to_string(r->metric) + " store=" + std::string(store_name(r->store)) + "\n";
  }
  for (const Interface* i : ifs) {
    out += "dns " + std::to_string(i->index);
    if (i->dns.empty()) out += " dhcp";
    for (const auto& d : i->dns) out += " " + d;
    out += "\n";
  }
  return out;
}

std::string show_state(const State& s) {
  std::string out = "Interfaces\n  " + pad("Index", 7) + pad("Alias", 30) + pad("State", 14) + pad("IPv4Metric", 12) +
                    pad("IPv6Metric", 12) + "Owner\n";
  for (const auto& i : s.interfaces) {
    out += "  " + pad(std::to_string(i.index), 7) + pad(i.alias, 30) + pad(i.connected ? "Connected" : "Disconnected", 14) +
           pad(std::to_string(i.ipv4_metric), 12) + pad(std::to_string(i.ipv6_metric), 12) +
           (i.owner_pid != 0 ? "pid " + std::to_string(i.owner_pid) : "-") + "\n";
  }
  out += "\nAddresses\n  " + pad("Address", 42) + pad("Interface", 11) + pad("Store", 17) + "State\n";
  for (const auto& a : s.addresses) {
    out += "  " + pad(a.address + "/" + std::to_string(a.prefix_length), 42) + pad(std::to_string(a.interface_index), 11) +
           pad(std::string(store_name(a.store)), 17) + std::string(state_name(a.state)) + "\n";
  }
  out += "\nRoutes\n  " + pad("Prefix", 44) + pad("Interface", 11) + pad("NextHop", 28) + pad("Metric", 8) + "Store\n";
  for (const auto& r : s.routes) {
    out += "  " + pad(r.prefix, 44) + pad(std::to_string(r.interface_index), 11) + pad(r.next_hop, 28) +
           pad(std::to_string(r.metric), 8) + std::string(store_name(r.store)) + "\n";
  }
  out += "\nIPv4 DNS servers\n";
  for (const auto& i : s.interfaces) {
    out += "  " + pad(std::to_string(i.index) + " " + i.alias, 37) + ": ";
    if (i.dns.empty()) out += "(dhcp)";
    for (std::size_t n = 0; n < i.dns.size(); ++n) out += (n ? ", " : "") + i.dns[n];
    out += "\n";
  }
  out += "\nFaults\n";
  if (s.faults.empty()) out += "  (none)\n";
  for (const auto& f : s.faults) {
    out += "  " + pad(std::string(action_name(f.action)), 11) +
           pad(f.count < 0 ? "always" : std::to_string(f.count) + "x", 8) + json_quoted(f.match) + "\n";
  }
  out += "\nNext interface index: " + std::to_string(s.next_interface_index) + "\n";
  return out;
}

bool prune_dead_owners(State& s, bool tool_run) {
  std::vector<int> dead;
  bool changed = false;
  for (auto& i : s.interfaces) {
    if (i.owner_pid == 0 || sys::process_alive(i.owner_pid)) continue;
    if (i.linger_runs == 0) {
      dead.push_back(i.index);
    } else if (tool_run) {
      --i.linger_runs;
      changed = true;
    }
  }
  for (int index : dead) s.remove_interface(index);
  return changed || !dead.empty();
}

State typical_state() {
  State s;
  Interface lo{1, "Loopback Pseudo-Interface 1", true, 75, 75, 0, {}, 0};
  Interface eth{12, "Ethernet", true, 25, 25, 0, {"192.168.1.1"}, 0};
  Interface wifi{7, "Wi-Fi", false, 35, 35, 0, {}, 0};
  s.interfaces = {lo, wifi, eth};
  s.addresses = {
      {"127.0.0.1", 8, 1, Store::kActive, AddressState::kPreferred},
      {"::1", 128, 1, Store::kActive, AddressState::kPreferred},
      {"192.168.1.23", 24, 12, Store::kActive, AddressState::kPreferred},
      {"2001:db8:5a1:1::23", 64, 12, Store::kActive, AddressState::kPreferred},
      {"fe80::8d4:6a1f:2c3b:91e5", 64, 12, Store::kActive, AddressState::kPreferred},
  };
  s.routes = {
      {"127.0.0.0/8", 1, "0.0.0.0", 256, Store::kActive},
      {"::1/128", 1, "::", 256, Store::kActive},
      {"0.0.0.0/0", 12, "192.168.1.1", 0, Store::kActive},
      {"192.168.1.0/24", 12, "0.0.0.0", 256, Store::kActive},
      {"::/0", 12, "fe80::1", 256, Store::kActive},
      {"2001:db8:5a1:1::/64", 12, "::", 256, Store::kActive},
      {"fe80::/64", 12, "::", 256, Store::kActive},
  };
  s.next_interface_index = 15;
  return s;
}

// ---------------------------------------------------------------- the locked file

struct StateFile::Lock {
  sys::FileLock lock;
};

StateFile::StateFile() = default;
StateFile::StateFile(StateFile&&) noexcept = default;
StateFile& StateFile::operator=(StateFile&&) noexcept = default;
StateFile::~StateFile() = default;

std::expected<StateFile, std::string> StateFile::open(const std::string& path, bool create_if_missing,
                                                      bool tool_run) {
  StateFile f;
  f.path_ = path;
  f.lock_ = std::make_unique<Lock>();
  std::string error;
  if (!f.lock_->lock.acquire(path + ".lock", &error)) return std::unexpected(error);
  bool missing = false;
  auto text = sys::read_file(path, &missing, &error);
  if (!text) {
    if (!missing || !create_if_missing) {
      if (missing) return std::unexpected("no simulated network at " + path + " (run: netsim init-typical)");
      return std::unexpected(error);
    }
    return f;
  }
  auto parsed = parse_state(*text);
  if (!parsed) return std::unexpected(path + ": " + parsed.error());
  f.state_ = std::move(*parsed);
  f.existed_ = true;
  if (prune_dead_owners(f.state_, tool_run)) {
    auto saved = f.save();
    if (!saved) return std::unexpected(saved.error());
  }
  return f;
}

std::expected<void, std::string> StateFile::save() {
  std::string error;
  if (!sys::replace_file(path_, serialize_state(state_), &error)) return std::unexpected(error);
  existed_ = true;
  return {};
}

std::expected<std::string, std::string> state_path_from_env() {
  auto path = brenmoor::platform::get_env("BRENMOOR_NETSIM");
  if (!path || path->empty()) return std::unexpected(std::string("BRENMOOR_NETSIM is not set"));
  return *path;
}

// ---------------------------------------------------------------- engine adapters

bool create_engine_adapter(const std::string& alias, long owner_pid, std::string* error, int linger_runs) {
  auto path = state_path_from_env();
  if (!path) {
    *error = path.error();
    return false;
  }
  if (alias.empty() || owner_pid <= 0 || linger_runs < 0 || linger_runs > kMaxLingerRuns) {
    *error = "an adapter needs an alias, an owner process id and a linger of 0.." + std::to_string(kMaxLingerRuns) + " runs";
    return false;
  }
  auto file = StateFile::open(*path, true);
  if (!file) {
    *error = file.error();
    return false;
  }
  State& s = file->state();
  if (s.find_alias(alias) != nullptr) {
    *error = "an interface named \"" + alias + "\" already exists";
    return false;
  }
  Interface i;
  i.index = s.allocate_interface_index();
  i.alias = alias;
  i.owner_pid = owner_pid;
  i.linger_runs = linger_runs;
  s.interfaces.push_back(std::move(i));
  auto saved = file->save();
  if (!saved) {
    *error = saved.error();
    return false;
  }
  return true;
}

bool remove_adapter(const std::string& alias, std::string* error) {
  auto path = state_path_from_env();
  if (!path) {
    *error = path.error();
    return false;
  }
  auto file = StateFile::open(*path, false);
  if (!file) {
    *error = file.error();
    return false;
  }
  Interface* i = file->state().find_alias(alias);
  if (i == nullptr) {
    *error = "no interface named \"" + alias + "\"";
    return false;
  }
  file->state().remove_interface(i->index);
  auto saved = file->save();
  if (!saved) {
    *error = saved.error();
    return false;
  }
  return true;
}

}  // namespace netsim
