#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <utility>
#include <vector>

#include "platform/data_folder.h"
#include "platform/fs.h"
#include "platform/wide.h"

namespace brenmoor::platform {

void create_directories(std::string_view path) {
  std::wstring p = widen(path);
  // Skip the drive ("C:\") so CreateDirectoryW is only asked for real folders.
  std::size_t start = (p.size() >= 3 && p[1] == L':') ? 3 : 1;
  for (std::size_t i = start; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == L'\\' || p[i] == L'/') {
      std::wstring prefix = p.substr(0, i);
      CreateDirectoryW(prefix.c_str(), nullptr);
    }
  }
}

bool append_to_file(std::string_view path, std::string_view bytes) {
  std::wstring p = widen(path);
  HANDLE h = CreateFileW(p.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) { ok = false; break; }
    data += written;
    left -= written;
  }
  CloseHandle(h);
  return ok;
}

Status prepare_private_folder(std::string_view folder) {
  auto dir = DataFolder::open(folder, FolderOpen::create);
  if (!dir) return std::unexpected(dir.error());
  return {};
}

PrivateFile::PrivateFile(PrivateFile&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
PrivateFile& PrivateFile::operator=(PrivateFile&& o) noexcept {
  if (this != &o) {
    close();
    f_ = std::exchange(o.f_, nullptr);
  }
  return *this;
}
PrivateFile::~PrivateFile() { close(); }
bool PrivateFile::is_open() const { return f_ != nullptr; }
void PrivateFile::close() noexcept {
  if (f_ != nullptr) CloseHandle(f_);
  f_ = nullptr;
}

Status PrivateFile::write(std::string_view bytes) {
  if (f_ == nullptr) return fail(kPrivateFileFailed);
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(f_, data, chunk, &written, nullptr) || written == 0) return fail(kPrivateFileFailed);
    data += written;
    left -= written;
  }
  return {};
}

Result<std::uint64_t> PrivateFile::size() const {
  LARGE_INTEGER size{};
  if (f_ == nullptr || !GetFileSizeEx(f_, &size)) return fail(kPrivateFileFailed);
  return static_cast<std::uint64_t>(size.QuadPart);
}

Status PrivateFile::flush() {
  if (f_ == nullptr || !FlushFileBuffers(f_)) return fail(kPrivateFileFailed);
  return {};
}

Result<PrivateFile> open_private_file(std::string_view folder, std::string_view name, PrivateWrite mode) {
  auto dir = DataFolder::open(folder, FolderOpen::existing);
  if (!dir) return std::unexpected(dir.error());
  return dir->open_file(name, mode);
}

}  // namespace brenmoor::platform
