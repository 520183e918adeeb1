// Wiping of secrets before their memory goes back to the allocator.
#pragma once

#include <cstddef>
#include <string>

namespace brenmoor {

// Overwrites memory with zeros in a way the optimiser keeps (for secrets).
void secure_zero(void* data, std::size_t size);

// Overwrites the string's bytes with zeros (for secrets) and empties it.
void zero_and_clear(std::string& s);

}  // namespace brenmoor
