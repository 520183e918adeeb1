// A small compact JSON writer. Escaping: '"' and '\' with a backslash, control
// characters below U+0020 as \b \f \n \r \t or \u00XX, everything else (non-ASCII
// included) as its UTF-8 bytes. No white space is ever written.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brenmoor {

class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view k);
  JsonWriter& string(std::string_view v);
  JsonWriter& boolean(bool v);
  JsonWriter& integer(std::int64_t v);
  JsonWriter& unsigned_integer(std::uint64_t v);
  JsonWriter& null();
  // Inserts already-serialised JSON as one value.
  JsonWriter& raw(std::string_view json);

  std::string& text() { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void before_value();
  std::string out_;
  bool need_comma_ = false;
};

void append_json_string(std::string& out, std::string_view v);

// A JSON value the service builds for the engine. Objects keep their keys in
// ascending byte order (std::map on std::string compares like memcmp), which is
// the order engine bodies are written in.
struct JsonValue {
  using Object = std::map<std::string, JsonValue>;
  using Array = std::vector<JsonValue>;
  std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, std::string, Array, Object> v = nullptr;

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : v(b) {}
  JsonValue(int i) : v(static_cast<std::int64_t>(i)) {}
  JsonValue(std::int64_t i) : v(i) {}
  JsonValue(std::uint64_t u) : v(u) {}
  JsonValue(std::string s) : v(std::move(s)) {}
  JsonValue(const char* s) : v(std::string(s)) {}
  JsonValue(Array a) : v(std::move(a)) {}
  JsonValue(Object o) : v(std::move(o)) {}
};

void write_json(JsonWriter& w, const JsonValue& value);
std::string to_json(const JsonValue& value);

}  // namespace brenmoor
