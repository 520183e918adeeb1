#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/data_folder.h"
#include "platform/fs.h"
#include "platform/posix_fd.h"

namespace brenmoor::platform {

void create_directories(std::string_view path) {
  std::string p(path);
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string prefix = p.substr(0, i);
      ::mkdir(prefix.c_str(), 0755);
    }
  }
}

bool append_to_file(std::string_view path, std::string_view bytes) {
  std::string p(path);
  UniqueFd fd(::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  return fd.valid() && write_all(fd.get(), bytes);
}

Status prepare_private_folder(std::string_view folder) {
  auto dir = DataFolder::open(folder, FolderOpen::create);
  if (!dir) return std::unexpected(dir.error());
  return {};
}

PrivateFile::PrivateFile(PrivateFile&& o) noexcept : f_(std::exchange(o.f_, -1)) {}
PrivateFile& PrivateFile::operator=(PrivateFile&& o) noexcept {
  if (this != &o) {
    close();
    f_ = std::exchange(o.f_, -1);
  }
  return *this;
}
PrivateFile::~PrivateFile() { close(); }
bool PrivateFile::is_open() const { return f_ >= 0; }
void PrivateFile::close() noexcept {
  if (f_ >= 0) ::close(f_);
  f_ = -1;
}
Status PrivateFile::write(std::string_view bytes) {
  if (f_ < 0 || !write_all(f_, bytes)) return fail(kPrivateFileFailed);
  return {};
}
Result<std::uint64_t> PrivateFile::size() const {
  struct stat st {};
  if (f_ < 0 || ::fstat(f_, &st) != 0) return fail(kPrivateFileFailed);
  return static_cast<std::uint64_t>(st.st_size);
}
Status PrivateFile::flush() {
  if (f_ < 0 || ::fsync(f_) != 0) return fail(kPrivateFileFailed);
  return {};
}

Result<PrivateFile> open_private_file(std::string_view folder, std::string_view name, PrivateWrite mode) {
  auto dir = DataFolder::open(folder, FolderOpen::existing);
  if (!dir) return std::unexpected(dir.error());
  return dir->open_file(name, mode);
}

}  // namespace brenmoor::platform
