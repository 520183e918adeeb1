// brenmoor-ctl's response reader and renderer on arbitrary bodies.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tools/ctl/ctl_render.cpp"  // the tool is not part of the core library

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (auto view = brenmoor::ctl::parse_response(body)) {
    const std::string text = brenmoor::ctl::render_response(*view);
    if (text.empty()) __builtin_trap();
  }
  (void)brenmoor::ctl::explain_error(body);
  return 0;
}
