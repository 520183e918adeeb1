#include "control/identity.h"

#include <array>
#include <vector>

#include "platform/env.h"

namespace brenmoor {
namespace {

constexpr std::string_view kIdentityFailed = "client_identity_unverified";
constexpr std::array<std::string_view, 2> kClientImageNames = {"brenmoor-win.exe", "pellamy.exe"};

bool is_separator(char c, PathStyle style) { return c == '/' || (style == PathStyle::windows && c == '\\'); }

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A path taken apart the way the system's path parser does it.
struct PathParts {
  std::string prefix;  // "C:" with the letter upper-cased, "\\server\share", or empty
  bool has_root = false;
  std::vector<std::string_view> components;  // no empty and no "." components
};

PathParts split_path(std::string_view path, PathStyle style) {
  PathParts parts;
  std::size_t pos = 0;
  if (style == PathStyle::windows) {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (path.size() >= 2 && letter(path[0]) && path[1] == ':') {
      char d = path[0];
      if (d >= 'a' && d <= 'z') d = static_cast<char>(d - 'a' + 'A');
      parts.prefix = std::string(1, d) + ":";
      pos = 2;
    } else if (path.size() >= 2 && is_separator(path[0], style) && is_separator(path[1], style)) {
      // UNC: "\\server\share" is the prefix, compared exactly.
      std::size_t server_end = 2;
      while (server_end < path.size() && !is_separator(path[server_end], style)) ++server_end;
      std::size_t share_end = server_end < path.size() ? server_end + 1 : server_end;
      while (share_end < path.size() && !is_separator(path[share_end], style)) ++share_end;
      parts.prefix = "\\\\";
      parts.prefix += path.substr(2, server_end - 2);
      parts.prefix += '\\';
      if (server_end < path.size()) parts.prefix += path.substr(server_end + 1, share_end - server_end - 1);
      pos = share_end;
      parts.has_root = true;  // a UNC prefix always stands for the share's root
    }
  }
  if (pos < path.size() && is_separator(path[pos], style)) parts.has_root = true;
  while (pos < path.size()) {
    while (pos < path.size() && is_separator(path[pos], style)) ++pos;
    const std::size_t start = pos;
    while (pos < path.size() && !is_separator(path[pos], style)) ++pos;
    const std::string_view c = path.substr(start, pos - start);
    if (!c.empty() && c != ".") parts.components.push_back(c);
  }
  return parts;
}

}  // namespace

std::string_view strip_image_prefix(std::string_view path, PathStyle style) {
  if (style != PathStyle::windows) return path;
  if (path.substr(0, 4) == "\\\\?\\" || path.substr(0, 4) == "\\??\\") return path.substr(4);
  return path;
}

bool client_name_accepted(std::string_view image_path, PathStyle style) {
  const PathParts parts = split_path(image_path, style);
  if (parts.components.empty()) return false;
  const std::string_view name = parts.components.back();
  // A trailing separator still leaves the last component (as the system's parser
  // does); ".." names a directory, never a file.
  if (name == "..") return false;
  for (std::string_view accepted : kClientImageNames)
    if (ascii_iequal(name, accepted)) return true;
  return false;
}

bool path_within(std::string_view path, std::string_view base, PathStyle style) {
  if (base.empty()) return false;
  const PathParts p = split_path(path, style);
  const PathParts b = split_path(base, style);
  for (std::string_view c : p.components)
    if (c == "..") return false;
  if (p.prefix != b.prefix || p.has_root != b.has_root) return false;
  if (b.components.size() > p.components.size()) return false;
  for (std::size_t i = 0; i < b.components.size(); ++i)
    if (p.components[i] != b.components[i]) return false;
  return true;
}

Status verify_client_image(std::string_view image_path, const std::optional<std::string>& program_files,
                           PathStyle style) {
  const std::string_view path = strip_image_prefix(image_path, style);
  const bool name_ok = client_name_accepted(path, style);
  const bool place_ok = program_files.has_value() && path_within(path, *program_files, style);
  if (!name_ok || !place_ok) return fail(kIdentityFailed);
  return {};
}

Status check_client_identity(platform::PipeInstance& pipe) {
  auto image = pipe.client_image_path();
  if (!image || image->empty()) return fail(kIdentityFailed);
  return verify_client_image(*image, platform::get_env("ProgramFiles"), kHostPathStyle);
}

}  // namespace brenmoor
