#include "control/big_integers.h"

#include <algorithm>

namespace brenmoor {

std::optional<std::string> floated_big_integers(std::string_view text) {
  // Reserved at its largest, so that growing never releases a copy of a secret
  // configuration: an integer beyond 64 bits has at least 20 digits, and gains 2.
  std::string out;
  out.reserve(text.size() + text.size() / 10 + 2);
  bool changed = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t start = i++;
      while (i < text.size() && text[i] != '"') i += (text[i] == '\\') ? 2 : 1;
      i = std::min(i + 1, text.size());
      out.append(text.substr(start, i - start));
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t start = i;
    bool integer = true;
    while (i < text.size()) {
      const char d = text[i];
      if (d == '.' || d == 'e' || d == 'E' || d == '+') {
        integer = false;
      } else if (d != '-' && (d < '0' || d > '9')) {
        break;
      }
      ++i;
    }
    const std::string_view token = text.substr(start, i - start);
    out.append(token);
    if (!integer) continue;
    const bool negative = token.starts_with('-');
    const std::string_view digits = negative ? token.substr(1) : token;
    if (digits.empty() || digits.find('-') != std::string_view::npos || (digits.size() > 1 && digits[0] == '0')) {
      continue;  // not a JSON number; the parse reports it
    }
    const std::string_view limit = negative ? std::string_view("9223372036854775808") : "18446744073709551615";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) {
      out.append(".0");
      changed = true;
    }
  }
  if (!changed) return std::nullopt;
  return out;
}

}  // namespace brenmoor
