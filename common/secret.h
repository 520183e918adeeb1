// Wiping of secrets before their memory goes back to the allocator.
#pragma once

#include <cstddef>
#include <string>

namespace brenmoor {

// Overwrites memory with zeros in a way the optimiser keeps (for secrets).
void secure_zero(void* data, std::size_t size);

// Overwrites the string's whole buffer with zeros (for secrets) and empties it.
// The whole capacity, not only the current size: a string that was moved from, or
// shortened, still holds old bytes behind its end (a short string lives inside the
// object, and moving it copies the bytes and leaves them there).
void zero_and_clear(std::string& s);

}  // namespace brenmoor
