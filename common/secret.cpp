#include "common/secret.h"

#include <cstring>

namespace brenmoor {

void secure_zero(void* data, std::size_t size) {
  if (size == 0) return;
  std::memset(data, 0, size);
  // The empty asm with a memory clobber makes the stores observable, so the
  // compiler cannot drop them as dead before the memory is freed.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

void zero_and_clear(std::string& s) {
  // Growing to the capacity never reallocates; it makes every byte of the buffer
  // the string's own, so the wipe below stays within what the string may touch.
  s.resize(s.capacity());
  secure_zero(s.data(), s.size());
  s.clear();
}

}  // namespace brenmoor
