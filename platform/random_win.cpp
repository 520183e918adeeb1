#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <bcrypt.h>

#include "platform/random.h"

namespace brenmoor::platform {
namespace {
using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// Looked up once: bcryptprimitives.dll stays loaded for the life of the process.
ProcessPrngFn process_prng() {
  static const ProcessPrngFn fn = [] {
    HMODULE dll = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == nullptr) return ProcessPrngFn{nullptr};
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(GetProcAddress(dll, "ProcessPrng")));
  }();
  return fn;
}
}  // namespace

Status random_bytes(void* buffer, std::size_t size) {
  if (ProcessPrngFn prng = process_prng()) {
    if (prng(static_cast<PBYTE>(buffer), size)) return {};
    return fail("random_source_failed");
  }
  auto* p = static_cast<PUCHAR>(buffer);
  while (size > 0) {
    const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return fail("random_source_failed");
    p += chunk;
    size -= chunk;
  }
  return {};
}
}  // namespace brenmoor::platform
