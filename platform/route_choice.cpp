#include "platform/route_choice.h"

#include <simdjson.h>

#include <limits>
#include <string>

namespace brenmoor::platform {
namespace {

bool prefix_matches(const IpAddress& prefix, int length, const IpAddress& destination) {
  const int full_bytes = length / 8;
  for (int i = 0; i < full_bytes; ++i) {
    if (prefix.bytes[static_cast<std::size_t>(i)] != destination.bytes[static_cast<std::size_t>(i)]) return false;
  }
  const int rest = length % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  const auto at = static_cast<std::size_t>(full_bytes);
  return (prefix.bytes[at] & mask) == (destination.bytes[at] & mask);
}

namespace dom = simdjson::dom;

bool read_u32(const dom::object& o, std::string_view key, std::uint32_t& out) {
  dom::element e;
  if (o.at_key(key).get(e) != simdjson::SUCCESS) return true;  // default stays
  std::int64_t v = 0;
  if (e.get_int64().get(v) != simdjson::SUCCESS || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool read_string(const dom::object& o, std::string_view key, std::string_view& out, bool required) {
  dom::element e;
  if (o.at_key(key).get(e) != simdjson::SUCCESS) return !required;
  return e.get_string().get(out) == simdjson::SUCCESS;
}

bool read_store(const dom::object& o, bool& active) {
  std::string_view store = "ActiveStore";
  if (!read_string(o, "store", store, false)) return false;
  if (store != "ActiveStore" && store != "PersistentStore") return false;
  active = store == "ActiveStore";
  return true;
}

std::optional<RouteTableInterface> read_interface(const dom::element& e) {
  dom::object o;
  if (e.get_object().get(o) != simdjson::SUCCESS) return std::nullopt;
  RouteTableInterface i;
  dom::element v;
  if (o.at_key("index").get(v) != simdjson::SUCCESS || !read_u32(o, "index", i.index) || i.index == 0) return std::nullopt;
  if (o.at_key("connected").get(v) == simdjson::SUCCESS && v.get_bool().get(i.connected) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  if (!read_u32(o, "ipv4_metric", i.ipv4_metric) || !read_u32(o, "ipv6_metric", i.ipv6_metric)) return std::nullopt;
  if (o.at_key("owner_pid").get(v) == simdjson::SUCCESS) {
    std::int64_t pid = 0;
    if (v.get_int64().get(pid) != simdjson::SUCCESS || pid < 0 || pid > std::numeric_limits<int>::max()) {
      return std::nullopt;
    }
    i.owner_pid = static_cast<long>(pid);
  }
  return i;
}

std::optional<RouteTableEntry> read_route(const dom::element& e) {
  dom::object o;
  if (e.get_object().get(o) != simdjson::SUCCESS) return std::nullopt;
  RouteTableEntry r;
  std::string_view prefix, next_hop;
  if (!read_string(o, "prefix", prefix, true) || !read_string(o, "next_hop", next_hop, true)) return std::nullopt;
  const auto slash = prefix.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto address = parse_ip_literal(prefix.substr(0, slash));
  auto hop = parse_ip_literal(next_hop);
  const std::string_view length_text = prefix.substr(slash + 1);
  if (!address || !hop || hop->is_ipv6 != address->is_ipv6 || length_text.empty() || length_text.size() > 3) {
    return std::nullopt;
  }
  int length = 0;
  for (char c : length_text) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  if (length > (address->is_ipv6 ? 128 : 32)) return std::nullopt;
  r.prefix = *address;
  r.prefix_length = length;
  r.next_hop = *hop;
  dom::element v;
  if (o.at_key("interface").get(v) != simdjson::SUCCESS || !read_u32(o, "interface", r.interface_index)) {
    return std::nullopt;
  }
  if (!read_u32(o, "metric", r.metric) || !read_store(o, r.active_store)) return std::nullopt;
  return r;
}

}  // namespace

std::optional<BestRoute> choose_best_route(const RouteTable& table, const IpAddress& destination) {
  const RouteTableEntry* best = nullptr;
  std::uint64_t best_metric = 0;
  for (const RouteTableEntry& r : table.routes) {
    if (!r.active_store || r.prefix.is_ipv6 != destination.is_ipv6) continue;
    if (!prefix_matches(r.prefix, r.prefix_length, destination)) continue;
    const RouteTableInterface* via = nullptr;
    for (const auto& i : table.interfaces) {
      if (i.index == r.interface_index) via = &i;
    }
    if (via == nullptr || !via->connected) continue;
    const std::uint64_t metric =
        std::uint64_t{r.metric} + (destination.is_ipv6 ? via->ipv6_metric : via->ipv4_metric);
    const bool better = best == nullptr || r.prefix_length > best->prefix_length ||
                        (r.prefix_length == best->prefix_length &&
                         (metric < best_metric ||
                          (metric == best_metric && r.interface_index < best->interface_index)));
    if (better) {
      best = &r;
      best_metric = metric;
    }
  }
  if (best == nullptr) return std::nullopt;
  return BestRoute{best->interface_index, best->next_hop};
}

std::optional<RouteTable> parse_route_table_json(std::string_view json) {
  dom::parser parser;
  dom::element root;
  if (parser.parse(json.data(), json.size(), true).get(root) != simdjson::SUCCESS) return std::nullopt;
  dom::object top;
  if (root.get_object().get(top) != simdjson::SUCCESS) return std::nullopt;
  RouteTable table;
  for (std::string_view key : {std::string_view("interfaces"), std::string_view("routes")}) {
    dom::element list;
    if (top.at_key(key).get(list) != simdjson::SUCCESS) continue;
    dom::array items;
    if (list.get_array().get(items) != simdjson::SUCCESS) return std::nullopt;
    for (dom::element item : items) {
      if (key == "interfaces") {
        auto i = read_interface(item);
        if (!i) return std::nullopt;
        table.interfaces.push_back(*i);
      } else {
        auto r = read_route(item);
        if (!r) return std::nullopt;
        table.routes.push_back(*r);
      }
    }
  }
  return table;
}

}  // namespace brenmoor::platform
