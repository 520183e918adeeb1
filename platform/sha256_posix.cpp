#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <openssl/evp.h>

#include <memory>

#include "platform/sha256.h"

namespace brenmoor::platform {

std::optional<Sha256Digest> sha256(std::string_view bytes) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx) return std::nullopt;
  Sha256Digest out{};
  unsigned int len = 0;
  if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) return std::nullopt;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) return std::nullopt;
  return out;
}

}  // namespace brenmoor::platform
