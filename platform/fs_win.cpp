#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
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

namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE v) : h(v) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(h);
  }
  bool valid() const { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(h, INVALID_HANDLE_VALUE); }
};

// Our token's user and default owner, read once: they do not change for the life of
// the process, and every log line checks two owners against them.
class OwnSids {
 public:
  OwnSids() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    for (TOKEN_INFORMATION_CLASS cls : {TokenUser, TokenOwner}) {
      DWORD size = 0;
      GetTokenInformation(token, cls, nullptr, 0, &size);
      std::vector<unsigned char> buf(size);
      if (size == 0 || !GetTokenInformation(token, cls, buf.data(), size, &size)) continue;
      PSID sid = cls == TokenUser ? reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid
                                  : reinterpret_cast<TOKEN_OWNER*>(buf.data())->Owner;
      if (sid == nullptr || !IsValidSid(sid)) continue;
      const auto* bytes = static_cast<const unsigned char*>(sid);
      sids_.emplace_back(bytes, bytes + GetLengthSid(sid));
    }
    CloseHandle(token);
  }
  bool contains(PSID sid) const {
    for (const auto& own : sids_)
      if (EqualSid(const_cast<unsigned char*>(own.data()), sid)) return true;
    return false;
  }

 private:
  std::vector<std::vector<unsigned char>> sids_;
};

// The accounts whose files we trust: our own token's user and default owner,
// LocalSystem, the built-in Administrators.
bool owned_by_us(HANDLE h) {
  static const OwnSids own;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return false;
  const bool trusted = owner != nullptr && IsValidSid(owner) &&
                       (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                        own.contains(owner));
  LocalFree(sd);
  return trusted;
}

// FILE_FLAG_OPEN_REPARSE_POINT: a junction or symbolic link in place of the folder is
// opened itself and refused, never followed. No delete sharing: while we hold it the
// folder cannot be renamed away and replaced.
Status open_checked_folder(const std::wstring& folder, Handle& out) {
  // Asked by name as well: Wine reports a Unix symbolic link as a reparse point here,
  // but not through a handle opened on it.
  const DWORD by_name = GetFileAttributesW(folder.c_str());
  if (by_name != INVALID_FILE_ATTRIBUTES && (by_name & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return fail(kPrivateFolderUnsafe);
  out.h = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (!out.valid()) return fail(kPrivateFolderFailed);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(out.h, &info)) return fail(kPrivateFolderFailed);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return fail(kPrivateFolderUnsafe);
  if (!owned_by_us(out.h)) return fail(kPrivateFolderUnsafe);
  return {};
}

}  // namespace

Status prepare_private_folder(std::string_view folder) {
  if (auto parent = parent_directory(folder)) create_directories(*parent);
  const std::wstring wide = widen(folder);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(kPrivateFolderDescriptor).c_str(), SDDL_REVISION_1,
                                                            &sd, nullptr))
    return fail(kPrivateFolderFailed);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const BOOL made = CreateDirectoryW(wide.c_str(), &sa);
  const DWORD err = GetLastError();
  LocalFree(sd);
  if (!made && err != ERROR_ALREADY_EXISTS) return fail(kPrivateFolderFailed);
  Handle dir;
  return open_checked_folder(wide, dir);
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

Status PrivateFile::flush() {
  if (f_ == nullptr || !FlushFileBuffers(f_)) return fail(kPrivateFileFailed);
  return {};
}

Result<PrivateFile> open_private_file(std::string_view folder, std::string_view name, PrivateWrite mode) {
  const std::wstring wide_folder = widen(folder);
  Handle dir;
  if (auto s = open_checked_folder(wide_folder, dir); !s) return std::unexpected(s.error());
  if (name.empty() || name.find_first_of("\\/:") != std::string_view::npos) return fail(kPrivateFileFailed);
  const std::wstring path = widen(join_path(folder, name));
  // Append-only access gives whole appends; replace needs to write from the start.
  const DWORD write_access = mode == PrivateWrite::append ? FILE_APPEND_DATA : (FILE_WRITE_DATA | FILE_APPEND_DATA);
  Handle f(CreateFileW(path.c_str(), write_access | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f.valid()) return fail(GetLastError() == ERROR_ACCESS_DENIED ? kPrivateFileUnsafe : kPrivateFileFailed);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(f.h, &info)) return fail(kPrivateFileFailed);
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1 || GetFileType(f.h) != FILE_TYPE_DISK || !owned_by_us(f.h))
    return fail(kPrivateFileUnsafe);
  if (mode == PrivateWrite::replace && !SetEndOfFile(f.h)) return fail(kPrivateFileFailed);
  return PrivateFile(f.release());
}

}  // namespace brenmoor::platform
