// The platform's cryptographic random source.
#pragma once

#include <cstddef>

#include "common/error.h"

namespace brenmoor::platform {
// Fills the buffer. Windows: ProcessPrng from bcryptprimitives.dll where it exists,
// BCryptGenRandom otherwise (Wine 8 has no ProcessPrng); POSIX: getrandom.
// Error: "random_source_failed".
[[nodiscard]] Status random_bytes(void* buffer, std::size_t size);
}  // namespace brenmoor::platform
