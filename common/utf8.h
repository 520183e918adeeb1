// UTF-8 checks shared by the decoders and the process/engine readers.
#pragma once

#include <string>
#include <string_view>

namespace brenmoor {

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes, replacing each maximal invalid subpart with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// The strict decoder behind both: the code point starting at bytes[i] (i < size).
// Returns the length of its sequence with `cp` set, or 0 when no valid sequence
// starts there (an overlong form, an encoded surrogate, a value above U+10FFFF, a
// stray or missing continuation byte), with `invalid` set to the length of the
// maximal invalid subpart, at least 1.
std::size_t utf8_decode_at(std::string_view bytes, std::size_t i, char32_t& cp, std::size_t& invalid);

}  // namespace brenmoor
