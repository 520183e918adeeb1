// JSON integers beyond 64 bits, for the documents the service inspects with a
// parser that refuses them (simdjson) although they are valid JSON.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brenmoor {

// A copy of `text` in which each integer outside the 64-bit ranges carries a
// ".0", so that it parses as the floating-point number a general JSON parser
// reads it as; nullopt when there is none. Text inside strings is left alone;
// what is not JSON stays as it is, for the parse to refuse.
std::optional<std::string> floated_big_integers(std::string_view text);

}  // namespace brenmoor
