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

bool equal_in_constant_time(std::string_view given, std::string_view secret) {
  // Every byte of the secret is visited whatever the bytes say; the barrier keeps
  // the compiler from turning the accumulation back into an early exit.
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(secret[i]));
    __asm__ __volatile__("" : "+r"(difference));
  }
  return difference == 0;
}

}  // namespace brenmoor
