#include "tools/test-engine/http.h"

#include <charconv>

namespace brenmoor::test_engine {
namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool is_token_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::expected<RequestHead, std::string> parse_request_head(std::string_view head) {
  if (head.size() > kMaxHeadBytes) return std::unexpected("request head too large");
  std::size_t eol = head.find("\r\n");
  std::string_view line = head.substr(0, eol);
  std::string_view rest = eol == std::string_view::npos ? std::string_view() : head.substr(eol + 2);

  RequestHead out;
  std::size_t sp1 = line.find(' ');
  std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
    return std::unexpected("malformed request line");
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (method.empty()) return std::unexpected("empty method");
  for (char c : method) {
    if (!is_token_char(c)) return std::unexpected("malformed method");
  }
  if (target.empty() || target.front() != '/') return std::unexpected("malformed target");
  for (char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::unexpected("malformed target");
  }
  if (version != "HTTP/1.0" && version != "HTTP/1.1") return std::unexpected("unsupported version");
  out.method = method;
  out.target = target;
  out.version = version;

  bool have_length = false;
  while (!rest.empty()) {
    std::size_t e = rest.find("\r\n");
    std::string_view h = rest.substr(0, e);
    rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 2);
    std::size_t colon = h.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::unexpected("malformed header");
    std::string_view name = h.substr(0, colon);
    for (char c : name) {
      if (!is_token_char(c)) return std::unexpected("malformed header name");
    }
    std::string_view value = trim_blanks(h.substr(colon + 1));
    if (iequals(name, "Content-Length")) {
      std::size_t n = 0;
      auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (value.empty() || ec != std::errc() || p != value.data() + value.size()) {
        return std::unexpected("malformed Content-Length");
      }
      if (have_length && n != out.content_length) return std::unexpected("conflicting Content-Length");
      if (n > kMaxBodyBytes) return std::unexpected("body too large");
      out.content_length = n;
      have_length = true;
    } else if (iequals(name, "Transfer-Encoding")) {
      return std::unexpected("Transfer-Encoding is not supported");
    } else if (iequals(name, "X-Bren-Control-Token")) {
      if (out.control_token && *out.control_token != value) return std::unexpected("conflicting control tokens");
      out.control_token = std::string(value);
    }
  }
  return out;
}

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string format_reply(std::string_view version, int status, std::string_view body) {
  std::string out;
  out.append(version).append(" ").append(std::to_string(status)).append(" ").append(reason_phrase(status));
  out.append("\r\n");
  if (!body.empty()) out.append("Content-Type: application/json\r\n");
  out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out.append("Connection: close\r\n\r\n");
  out.append(body);
  return out;
}

}  // namespace brenmoor::test_engine
