#include "tools/netsim/netsim_admin.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "tools/netsim/netsim_ip.h"
#include "tools/netsim/netsim_state.h"
#include "tools/netsim/netsim_sys.h"

namespace netsim {

namespace {

constexpr int kUsage = 2;

constexpr const char* kHelp =
    "usage: netsim COMMAND [ARGS]   (state file: $BRENMOOR_NETSIM)\n"
    "  init                               an empty network\n"
    "  init-typical                       a typical machine (Ethernet 12, disconnected Wi-Fi 7)\n"
    "  show                               the state as tables\n"
    "  dump [FILE]                        canonical text of the state (or of a saved state file)\n"
    "  diff A [B]                         compare two dumps or state files (B: the live state); exit 1 on difference\n"
    "  best-route ADDRESS                 IFINDEX,NEXTHOP of the route Windows would pick; exit 1 when none\n"
    "  move-gateway --to IFINDEX --gateway GW [--metric M]\n"
    "  drop-route PREFIX [--if IFINDEX]\n"
    "  add-lan PREFIX --if IFINDEX\n"
    "  add-route PREFIX --if IFINDEX --next-hop GW [--metric M] [--store active|persistent]\n"
    "  add-address ADDRESS/LENGTH --if IFINDEX [--store active|persistent] [--tentative]\n"
    "  add-interface ALIAS [--index N] [--metric M] [--disconnected]\n"
    "  set-interface IFINDEX [--connected|--disconnected] [--metric M] [--ipv6-metric M]\n"
    "  remove-interface ALIAS\n"
    "  add-engine-adapter ALIAS --owner PID [--linger-runs N]\n"
    "                                         an engine's TUN adapter, gone when PID ends\n"
    "                                         (N tool runs later with --linger-runs)\n"
    "  fault add --match TEXT --action fail|exit1|hang|garbage|tentative [--count N]\n"
    "  fault clear\n";

int usage_error(const std::string& message) {
  sys::write_stderr("netsim: " + message + "\n" + kHelp);
  return kUsage;
}

int error(const std::string& message, int code = kUsage) {
  sys::write_stderr("netsim: " + message + "\n");
  return code;
}

// Positional arguments and --options; the options that take a value are listed.
struct Parsed {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::string problem;

  std::optional<std::string> value(const std::string& key) const {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

Parsed parse_args(const std::vector<std::string>& args, std::size_t from, std::set<std::string> with_value,
                  std::set<std::string> flags) {
  Parsed p;
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.starts_with("--")) {
      if (with_value.count(a)) {
        if (i + 1 >= args.size()) {
          p.problem = a + " needs a value";
          return p;
        }
        if (p.values.count(a)) {
          p.problem = a + " given twice";
          return p;
        }
        p.values[a] = args[++i];
      } else if (flags.count(a)) {
        p.flags.insert(a);
      } else {
        p.problem = "unknown option " + a;
        return p;
      }
    } else {
      p.positional.push_back(a);
    }
  }
  return p;
}

std::optional<int> number_arg(const std::optional<std::string>& text, long max_value = 0x7FFFFFFF) {
  if (!text) return std::nullopt;
  auto v = parse_decimal(*text, max_value);
  if (!v) return std::nullopt;
  return static_cast<int>(*v);
}

std::optional<Store> store_arg(const Parsed& p) {
  auto v = p.value("--store");
  if (!v || *v == "active") return Store::kActive;
  if (*v == "persistent") return Store::kPersistent;
  return std::nullopt;
}

// Opens the live state, runs change on it and saves it.
template <class Fn>
int with_state(bool create_if_missing, Fn&& change) {
  auto path = state_path_from_env();
  if (!path) return error(path.error());
  auto file = StateFile::open(*path, create_if_missing);
  if (!file) return error(file.error());
  std::string message;
  int code = change(file->state(), message);
  if (code != 0) return error(message, code);
  auto saved = file->save();
  if (!saved) return error(saved.error());
  return 0;
}

Route on_link(const std::string& prefix, int index, int metric) {
  bool v6 = prefix.find(':') != std::string::npos;
  return Route{prefix, index, v6 ? "::" : "0.0.0.0", metric, Store::kActive};
}

// The text of a dump or a state file, as dump lines.
std::optional<std::string> load_dump(const std::string& file, std::string* problem) {
  bool missing = false;
  auto text = sys::read_file(file, &missing, problem);
  if (!text) return std::nullopt;
  std::size_t first = text->find_first_not_of(" \t\r\n");
  if (first != std::string::npos && (*text)[first] == '{') {
    auto state = parse_state(*text);
    if (!state) {
      *problem = file + ": " + state.error();
      return std::nullopt;
    }
    return dump_state(*state);
  }
  return text;
}

std::vector<std::string> dump_lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
    start = end + 1;
  }
  return out;
}

int cmd_diff(const Parsed& p) {
  if (p.positional.size() < 2 || p.positional.size() > 3) return usage_error("diff needs one or two files");
  std::string problem;
  auto a = load_dump(p.positional[1], &problem);
  if (!a) return error(problem);
  std::optional<std::string> b;
  if (p.positional.size() == 3) {
    b = load_dump(p.positional[2], &problem);
    if (!b) return error(problem);
  } else {
    auto path = state_path_from_env();
    if (!path) return error(path.error());
    auto file = StateFile::open(*path, false);
    if (!file) return error(file.error());
    b = dump_state(file->state());
  }
  // Dumps are canonical, so comparing them as multisets of lines is exact.
  std::multiset<std::string> only_a, only_b;
  for (auto& l : dump_lines(*a)) only_a.insert(l);
  for (auto& l : dump_lines(*b)) {
    auto it = only_a.find(l);
    if (it != only_a.end()) {
      only_a.erase(it);
    } else {
      only_b.insert(l);
    }
  }
  std::string out;
  for (const auto& l : dump_lines(*a)) {
    if (only_a.count(l)) out += "- " + l + "\n";
  }
  for (const auto& l : dump_lines(*b)) {
    if (only_b.count(l)) out += "+ " + l + "\n";
  }
  sys::write_stdout(out);
  return out.empty() ? 0 : 1;
}

int cmd_fault(const std::vector<std::string>& args) {
  if (args.size() >= 2 && args[1] == "clear") {
    if (args.size() != 2) return usage_error("fault clear takes no arguments");
    return with_state(false, [](State& s, std::string&) {
      s.faults.clear();
      return 0;
    });
  }
  if (args.size() < 2 || args[1] != "add") return usage_error("fault add|clear");
  Parsed p = parse_args(args, 2, {"--match", "--action", "--count"}, {});
  if (!p.problem.empty()) return usage_error(p.problem);
  if (!p.positional.empty()) return usage_error("unexpected argument " + p.positional[0]);
  Fault f;
  auto match = p.value("--match");
  auto action = p.value("--action");
  if (!match || match->empty()) return usage_error("fault add needs --match TEXT");
  if (!action || !parse_action(*action, &f.action)) {
    return usage_error("--action must be fail, exit1, hang, garbage or tentative");
  }
  f.match = *match;
  if (p.value("--count")) {
    auto count = number_arg(p.value("--count"));
    if (!count || *count < 1) return usage_error("--count must be a positive number");
    f.count = *count;
  }
  return with_state(false, [&](State& s, std::string&) {
    s.faults.push_back(f);
    return 0;
  });
}

}  // namespace

int run_admin(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    sys::write_stdout(kHelp);
    return args.empty() ? kUsage : 0;
  }
  const std::string& cmd = args[0];
  if (cmd == "fault") return cmd_fault(args);

  Parsed p = parse_args(args, 0, {"--to", "--gateway", "--metric", "--if", "--next-hop", "--store", "--index",
                                  "--ipv6-metric", "--owner", "--linger-runs"},
                        {"--tentative", "--disconnected", "--connected"});
  if (!p.problem.empty()) return usage_error(p.problem);
  auto positional_count = [&](std::size_t n) { return p.positional.size() == n; };

  if (cmd == "init" || cmd == "init-typical") {
    if (!positional_count(1)) return usage_error(cmd + " takes no arguments");
    return with_state(true, [&](State& s, std::string&) {
      s = cmd == "init" ? State{} : typical_state();
      return 0;
    });
  }
  if (cmd == "show" || cmd == "dump") {
    if (cmd == "dump" && positional_count(2)) {
      std::string problem;
      auto text = load_dump(p.positional[1], &problem);
      if (!text) return error(problem);
      sys::write_stdout(*text);
      return 0;
    }
    if (!positional_count(1)) return usage_error(cmd + ": unexpected argument");
    auto path = state_path_from_env();
    if (!path) return error(path.error());
    auto file = StateFile::open(*path, false);
    if (!file) return error(file.error());
    sys::write_stdout(cmd == "show" ? show_state(file->state()) : dump_state(file->state()));
    return 0;
  }
  if (cmd == "diff") return cmd_diff(p);
  if (cmd == "best-route") {
    if (!positional_count(2) || !parse_ip(p.positional[1])) return usage_error("best-route ADDRESS");
    auto path = state_path_from_env();
    if (!path) return error(path.error());
    auto file = StateFile::open(*path, false);
    if (!file) return error(file.error());
    auto best = best_route(file->state(), p.positional[1]);
    if (!best) return error("no route to " + p.positional[1], 1);
    sys::write_stdout(std::to_string(best->interface_index) + "," + best->next_hop + "\n");
    return 0;
  }

  if (cmd == "move-gateway") {
    auto to = number_arg(p.value("--to"));
    auto gw_text = p.value("--gateway");
    auto gw = gw_text ? parse_ip(*gw_text) : std::nullopt;
    if (!positional_count(1) || !to || !gw || is_unspecified(*gw)) {
      return usage_error("move-gateway --to IFINDEX --gateway GW [--metric M]");
    }
    auto metric_opt = number_arg(p.value("--metric"));
    if (p.value("--metric") && !metric_opt) return usage_error("--metric must be a number");
    return with_state(false, [&](State& s, std::string& message) {
      Interface* i = s.find_interface(*to);
      if (i == nullptr) {
        message = "no interface " + std::to_string(*to);
        return 1;
      }
      std::string prefix = gw->v6 ? "::/0" : "0.0.0.0/0";
      std::string none = gw->v6 ? "::" : "0.0.0.0";
      std::optional<int> old_metric;
      std::erase_if(s.routes, [&](const Route& r) {
        bool hit = r.prefix == prefix && r.store == Store::kActive && r.next_hop != none;
        if (hit && !old_metric) old_metric = r.metric;
        return hit;
      });
      int metric = metric_opt.value_or(old_metric.value_or(gw->v6 ? 256 : 0));
      set_connected(s, *i, true);  // a gateway on an interface means the link is up
      s.routes.push_back(Route{prefix, *to, format_ip(*gw), metric, Store::kActive});
      return 0;
    });
  }
  if (cmd == "drop-route") {
    auto prefix = positional_count(2) ? parse_prefix(p.positional[1]) : std::nullopt;
    auto ifindex = number_arg(p.value("--if"));
    if (!prefix || (p.value("--if") && !ifindex)) return usage_error("drop-route PREFIX [--if IFINDEX]");
    std::string text = format_prefix(*prefix);
    return with_state(false, [&](State& s, std::string& message) {
      std::size_t n = std::erase_if(s.routes, [&](const Route& r) {
        return r.prefix == text && (!ifindex || r.interface_index == *ifindex);
      });
      if (n == 0) {
        message = "no route " + text;
        return 1;
      }
      return 0;
    });
  }
  if (cmd == "add-lan" || cmd == "add-route") {
    auto prefix = positional_count(2) ? parse_prefix(p.positional[1]) : std::nullopt;
    auto ifindex = number_arg(p.value("--if"));
    auto store = store_arg(p);
    std::optional<IpAddress> hop;
    if (cmd == "add-route" && p.value("--next-hop")) hop = parse_ip(*p.value("--next-hop"));
    auto metric = number_arg(p.value("--metric"));
    bool bad = !prefix || !ifindex || !store || (p.value("--metric") && !metric);
    if (cmd == "add-route" && (!hop || (prefix && hop->v6 != prefix->address.v6))) bad = true;
    if (bad) {
      return usage_error(cmd == "add-lan" ? "add-lan PREFIX --if IFINDEX"
                                          : "add-route PREFIX --if IFINDEX --next-hop GW [--metric M] [--store S]");
    }
    return with_state(false, [&](State& s, std::string& message) {
      if (s.find_interface(*ifindex) == nullptr) {
        message = "no interface " + std::to_string(*ifindex);
        return 1;
      }
      Route r = on_link(format_prefix(*prefix), *ifindex, metric.value_or(cmd == "add-lan" ? 256 : 0));
      if (hop) r.next_hop = format_ip(*hop);
      r.store = *store;
      s.routes.push_back(r);
      return 0;
    });
  }
  if (cmd == "add-address") {
    auto addr = positional_count(2) ? parse_address_with_length(p.positional[1]) : std::nullopt;
    auto ifindex = number_arg(p.value("--if"));
    auto store = store_arg(p);
    if (!addr || !ifindex || !store) return usage_error("add-address ADDRESS/LENGTH --if IFINDEX [--store S] [--tentative]");
    return with_state(false, [&](State& s, std::string& message) {
      if (s.find_interface(*ifindex) == nullptr) {
        message = "no interface " + std::to_string(*ifindex);
        return 1;
      }
      s.addresses.push_back(Address{format_ip(addr->address), addr->length, *ifindex, *store,
                                    p.flags.count("--tentative") ? AddressState::kTentative : AddressState::kPreferred});
      return 0;
    });
  }
  if (cmd == "add-interface") {
    auto index = number_arg(p.value("--index"));
    auto metric = number_arg(p.value("--metric"));
    if (!positional_count(2) || p.positional[1].empty() || (p.value("--index") && (!index || *index < 1)) ||
        (p.value("--metric") && !metric)) {
      return usage_error("add-interface ALIAS [--index N] [--metric M] [--disconnected]");
    }
    return with_state(false, [&](State& s, std::string& message) {
      if (s.find_alias(p.positional[1]) != nullptr || (index && s.find_interface(*index) != nullptr)) {
        message = "the interface exists already";
        return 1;
      }
      Interface i;
      i.index = index ? *index : s.allocate_interface_index();
      if (index && *index >= s.next_interface_index) s.next_interface_index = *index + 1;
      i.alias = p.positional[1];
      i.connected = !p.flags.count("--disconnected");
      if (metric) i.ipv4_metric = i.ipv6_metric = *metric;
      s.interfaces.push_back(i);
      return 0;
    });
  }
  if (cmd == "set-interface") {
    auto index = positional_count(2) ? number_arg(p.positional[1]) : std::nullopt;
    auto m4 = number_arg(p.value("--metric"));
    auto m6 = number_arg(p.value("--ipv6-metric"));
    if (!index || (p.value("--metric") && !m4) || (p.value("--ipv6-metric") && !m6) ||
        (p.flags.count("--connected") && p.flags.count("--disconnected"))) {
      return usage_error("set-interface IFINDEX [--connected|--disconnected] [--metric M] [--ipv6-metric M]");
    }
    return with_state(false, [&](State& s, std::string& message) {
      Interface* i = s.find_interface(*index);
      if (i == nullptr) {
        message = "no interface " + std::to_string(*index);
        return 1;
      }
      if (p.flags.count("--connected")) set_connected(s, *i, true);
      if (p.flags.count("--disconnected")) set_connected(s, *i, false);
      if (m4) i->ipv4_metric = *m4;
      if (m6) i->ipv6_metric = *m6;
      return 0;
    });
  }
  if (cmd == "remove-interface") {
    if (!positional_count(2)) return usage_error("remove-interface ALIAS");
    return with_state(false, [&](State& s, std::string& message) {
      Interface* i = s.find_alias(p.positional[1]);
      if (i == nullptr) {
        message = "no interface named " + p.positional[1];
        return 1;
      }
      s.remove_interface(i->index);
      return 0;
    });
  }
  if (cmd == "add-engine-adapter") {
    auto owner = number_arg(p.value("--owner"));
    auto linger = p.value("--linger-runs") ? number_arg(p.value("--linger-runs"), kMaxLingerRuns) : std::optional<int>(0);
    if (!positional_count(2) || !owner || *owner < 1 || !linger) {
      return usage_error("add-engine-adapter ALIAS --owner PID [--linger-runs N]");
    }
    std::string problem;
    if (!create_engine_adapter(p.positional[1], *owner, &problem, *linger)) return error(problem, 1);
    return 0;
  }
  return usage_error("unknown command " + cmd);
}

}  // namespace netsim
