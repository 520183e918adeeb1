// Wiping of secrets before their memory goes back to the allocator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brenmoor {

// Overwrites memory with zeros in a way the optimiser keeps (for secrets).
void secure_zero(void* data, std::size_t size);

// Overwrites the string's whole buffer with zeros (for secrets) and empties it.
// The whole capacity, not only the current size: a string that was moved from, or
// shortened, still holds old bytes behind its end (a short string lives inside the
// object, and moving it copies the bytes and leaves them there).
void zero_and_clear(std::string& s);

// Whether `given` equals `secret`, in a time that depends on the lengths only: the
// comparison does not stop at the first differing byte, so the time of an answer
// tells a guesser nothing about how much of a token was right.
bool equal_in_constant_time(std::string_view given, std::string_view secret);

}  // namespace brenmoor
