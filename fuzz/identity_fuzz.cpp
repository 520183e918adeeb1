// The client identity rules on arbitrary image paths and ProgramFiles values, both
// path styles. Input: image path, a NUL byte, then the ProgramFiles value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/identity.h"
#include "control/pipe_access.h"
#include "platform/sddl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  const std::string_view image = all.substr(0, nul);
  const std::optional<std::string> pf =
      nul == std::string_view::npos ? std::nullopt : std::optional<std::string>(all.substr(nul + 1));
  for (auto style : {brenmoor::PathStyle::windows, brenmoor::PathStyle::posix}) {
    const bool ok = brenmoor::verify_client_image(image, pf, style).has_value();
    const std::string_view stripped = brenmoor::strip_image_prefix(image, style);
    const bool name = brenmoor::client_name_accepted(stripped, style);
    const bool place = pf && brenmoor::path_within(stripped, *pf, style);
    if (ok != (name && place)) __builtin_trap();
    // Whatever is accepted stays accepted below a further directory level.
    if (ok && pf && !brenmoor::path_within(std::string(stripped), *pf, style)) __builtin_trap();
  }
  // The descriptor reader must take back everything the builder writes.
  const std::vector<std::string> args = {"svc", "--allowed-sid", std::string(image)};
  if (!brenmoor::parse_descriptor_trustees(brenmoor::pipe_security_descriptor(args))) __builtin_trap();
  (void)brenmoor::parse_descriptor_trustees(all);
  return 0;
}
