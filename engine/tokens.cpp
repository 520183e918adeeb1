#include "engine/tokens.h"

#include "common/secret.h"
#include "common/utf8.h"
#include "platform/random.h"

namespace brenmoor {

std::string format_uuid_v4(std::array<std::uint8_t, 16> b) {
  static constexpr char kHex[] = "0123456789abcdef";
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 0x0F]);
  }
  return out;
}

Result<std::string> make_token() {
  std::array<std::uint8_t, 16> bytes{};
  if (auto ok = platform::random_bytes(bytes.data(), bytes.size()); !ok) return std::unexpected(ok.error());
  std::string token = format_uuid_v4(bytes);
  secure_zero(bytes.data(), bytes.size());
  return token;
}

}  // namespace brenmoor
