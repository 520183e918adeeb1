#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <string>

#include "platform/durable_file.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// Opened with FILE_FLAG_OPEN_REPARSE_POINT, the handle is the link itself when the
// name is one; its attributes then say so. A second hard link is refused as well.
bool acceptable(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
  return info.nNumberOfLinks == 1;
}

bool missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

std::string durable_temp_path(std::string_view path) { return std::string(path) + ".tmp"; }

Status replace_file_durably(std::string_view path, std::string_view bytes) {
  const std::wstring target = widen(path);
  const std::wstring temp = widen(durable_temp_path(path));
  // DeleteFileW removes a link itself, never the file it points at.
  if (!DeleteFileW(temp.c_str()) && !missing(GetLastError())) return fail(kFileWriteFailed);
  auto give_up = [&](std::string_view code) {
    DeleteFileW(temp.c_str());
    return fail(code);
  };
  {
    Handle f{CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) return fail(GetLastError() == ERROR_FILE_EXISTS ? kFileUnsafe : kFileWriteFailed);
    if (!acceptable(f.h)) return give_up(kFileUnsafe);
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(f.h, data, chunk, &written, nullptr) || written == 0) return give_up(kFileWriteFailed);
      data += written;
      left -= written;
    }
    if (!FlushFileBuffers(f.h)) return give_up(kFileWriteFailed);
  }
  {
    Handle t{CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (t.h != INVALID_HANDLE_VALUE) {
      if (!acceptable(t.h)) return give_up(kFileUnsafe);
    } else if (!missing(GetLastError())) {
      return give_up(kFileWriteFailed);
    }
  }
  if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return give_up(kFileMoveFailed);
  return {};
}

Result<std::string> read_private_file(std::string_view path, std::size_t limit) {
  const std::wstring p = widen(path);
  Handle f{CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (f.h == INVALID_HANDLE_VALUE) return fail(missing(GetLastError()) ? kFileMissing : kFileReadFailed);
  if (!acceptable(f.h)) return fail(kFileUnsafe);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.h, &size)) return fail(kFileReadFailed);
  if (static_cast<unsigned long long>(size.QuadPart) > limit) return fail(kFileTooLarge);
  std::string out;
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.h, buf, sizeof buf, &n, nullptr)) return fail(kFileReadFailed);
    if (n == 0) break;
    out.append(buf, n);
    if (out.size() > limit) return fail(kFileTooLarge);
  }
  return out;
}

Status remove_file(std::string_view path) {
  const std::wstring p = widen(path);
  if (!DeleteFileW(p.c_str()) && !missing(GetLastError())) return fail(kFileRemoveFailed);
  return {};
}

Status move_file_aside(std::string_view from, std::string_view to) {
  const std::wstring f = widen(from), t = widen(to);
  if (!MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return fail(kFileMoveFailed);
  return {};
}

}  // namespace brenmoor::platform
