#include "platform/durable_file.h"

#include <string>

#include "platform/data_folder.h"
#include "platform/paths.h"

namespace brenmoor::platform {
namespace {

std::size_t last_separator(std::string_view path) {
#ifdef _WIN32
  return path.find_last_of("\\/");
#else
  return path.rfind('/');
#endif
}

std::string_view base_name(std::string_view path) {
  const std::size_t pos = last_separator(path);
  return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

// The folder of `path`, held and checked, and the file's own name in it: every
// operation below goes through it, so no name is resolved through a link.
struct InFolder {
  DataFolder folder;
  std::string name;
};

Result<InFolder> in_folder(std::string_view path, std::string_view failure) {
  auto dir = DataFolder::open(parent_directory(path).value_or("."), FolderOpen::existing);
  if (!dir) return fail(dir.error() == kPrivateFolderUnsafe ? kFileUnsafe : failure);
  return InFolder{std::move(*dir), std::string(base_name(path))};
}

}  // namespace

std::string durable_temp_path(std::string_view path) { return std::string(path) + ".tmp"; }

Status replace_file_durably(std::string_view path, std::string_view bytes) {
  auto at = in_folder(path, kFileWriteFailed);
  if (!at) return std::unexpected(at.error());
  return at->folder.replace(at->name, bytes);
}

Result<std::string> read_private_file(std::string_view path, std::size_t limit) {
  auto at = in_folder(path, kFileReadFailed);
  if (!at) return std::unexpected(at.error());
  return at->folder.read(at->name, limit);
}

Status remove_file(std::string_view path) {
  auto at = in_folder(path, kFileRemoveFailed);
  if (!at) return std::unexpected(at.error());
  return at->folder.remove(at->name);
}

Status move_file_aside(std::string_view from, std::string_view to) {
  // Both names in the one checked folder: a move elsewhere is not something the service does.
  if (parent_directory(from) != parent_directory(to)) return fail(kFileMoveFailed);
  auto at = in_folder(from, kFileMoveFailed);
  if (!at) return std::unexpected(at.error());
  return at->folder.rename(at->name, base_name(to));
}

}  // namespace brenmoor::platform
