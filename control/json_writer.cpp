#include "control/json_writer.h"

#include <charconv>

namespace brenmoor {

void append_json_string(std::string& out, std::string_view v) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes that need no escape
  for (std::size_t i = 0; i < v.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(v.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(v.substr(run));
  out.push_back('"');
}

void JsonWriter::before_value() {
  if (need_comma_) out_.push_back(',');
  need_comma_ = true;
}

JsonWriter& JsonWriter::begin_object() { before_value(); out_.push_back('{'); need_comma_ = false; return *this; }
JsonWriter& JsonWriter::end_object() { out_.push_back('}'); need_comma_ = true; return *this; }
JsonWriter& JsonWriter::begin_array() { before_value(); out_.push_back('['); need_comma_ = false; return *this; }
JsonWriter& JsonWriter::end_array() { out_.push_back(']'); need_comma_ = true; return *this; }

JsonWriter& JsonWriter::key(std::string_view k) {
  before_value();
  append_json_string(out_, k);
  out_.push_back(':');
  need_comma_ = false;  // the value follows without a comma
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view v) { before_value(); append_json_string(out_, v); return *this; }
JsonWriter& JsonWriter::boolean(bool v) { before_value(); out_.append(v ? "true" : "false"); return *this; }
JsonWriter& JsonWriter::null() { before_value(); out_.append("null"); return *this; }
JsonWriter& JsonWriter::raw(std::string_view json) { before_value(); out_.append(json); return *this; }

JsonWriter& JsonWriter::integer(std::int64_t v) {
  before_value();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
  return *this;
}

JsonWriter& JsonWriter::unsigned_integer(std::uint64_t v) {
  before_value();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
  return *this;
}

void write_json(JsonWriter& w, const JsonValue& value) {
  struct Visitor {
    JsonWriter& w;
    void operator()(std::nullptr_t) { w.null(); }
    void operator()(bool b) { w.boolean(b); }
    void operator()(std::int64_t i) { w.integer(i); }
    void operator()(std::uint64_t u) { w.unsigned_integer(u); }
    void operator()(const std::string& s) { w.string(s); }
    void operator()(const JsonValue::Array& a) {
      w.begin_array();
      for (const auto& e : a) write_json(w, e);
      w.end_array();
    }
    void operator()(const JsonValue::Object& o) {
      w.begin_object();
      for (const auto& [k, e] : o) {
        w.key(k);
        write_json(w, e);
      }
      w.end_object();
    }
  };
  std::visit(Visitor{w}, value.v);
}

std::string to_json(const JsonValue& value) {
  JsonWriter w;
  write_json(w, value);
  return w.take();
}

}  // namespace brenmoor
