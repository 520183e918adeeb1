#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <bcrypt.h>

#include "platform/sha256.h"

namespace brenmoor::platform {
namespace {

struct Provider {
  BCRYPT_ALG_HANDLE h = nullptr;
  ~Provider() {
    if (h != nullptr) BCryptCloseAlgorithmProvider(h, 0);
  }
};

struct Hash {
  BCRYPT_HASH_HANDLE h = nullptr;
  ~Hash() {
    if (h != nullptr) BCryptDestroyHash(h);
  }
};

bool ok(NTSTATUS status) { return status >= 0; }

}  // namespace

std::optional<Sha256Digest> sha256(std::string_view bytes) {
  Provider alg;
  if (!ok(BCryptOpenAlgorithmProvider(&alg.h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return std::nullopt;
  Hash hash;
  // With a null object buffer CNG allocates the hash object itself (Windows 7+).
  if (!ok(BCryptCreateHash(alg.h, &hash.h, nullptr, 0, nullptr, 0, 0))) return std::nullopt;
  // BCryptHashData takes a ULONG length; feed files above 4 GiB in pieces.
  const auto* data = reinterpret_cast<const UCHAR*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    const ULONG chunk = left > 0x40000000 ? 0x40000000UL : static_cast<ULONG>(left);
    if (!ok(BCryptHashData(hash.h, const_cast<PUCHAR>(data), chunk, 0))) return std::nullopt;
    data += chunk;
    left -= chunk;
  }
  Sha256Digest out{};
  if (!ok(BCryptFinishHash(hash.h, out.data(), static_cast<ULONG>(out.size()), 0))) return std::nullopt;
  return out;
}

}  // namespace brenmoor::platform
