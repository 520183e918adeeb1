#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/data_folder.h"
#include "platform/folder_descriptor_win.h"
#include "platform/paths.h"
#include "platform/wide.h"

namespace brenmoor::platform {
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

struct LocalMemory {
  void* p = nullptr;
  ~LocalMemory() {
    if (p != nullptr) LocalFree(p);
  }
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
  // The token's user (the service's account), or null.
  PSID user() const { return sids_.empty() ? nullptr : const_cast<unsigned char*>(sids_.front().data()); }
  bool contains(PSID sid) const {
    for (const auto& own : sids_)
      if (EqualSid(const_cast<unsigned char*>(own.data()), sid)) return true;
    return false;
  }

 private:
  std::vector<std::vector<unsigned char>> sids_;
};

// The accounts whose folders and files we trust: our own token's user and default
// owner, LocalSystem, the built-in Administrators.
const OwnSids& own_sids() {
  static const OwnSids own;
  return own;
}

bool trusted_owner(PSID owner) {
  const OwnSids& own = own_sids();
  return owner != nullptr && IsValidSid(owner) && (is_system_or_administrators(owner) || own.contains(owner));
}

bool owned_by_us(HANDLE h) {
  PSID owner = nullptr;
  LocalMemory sd;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd.p) !=
      ERROR_SUCCESS)
    return false;
  return trusted_owner(owner);
}

// Opened with FILE_FLAG_OPEN_REPARSE_POINT, the handle is the link itself when the
// name is one; its attributes then say so. A second hard link is refused as well:
// a write through it would land in a file elsewhere.
bool acceptable_file(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
  return info.nNumberOfLinks == 1 && GetFileType(h) == FILE_TYPE_DISK && owned_by_us(h);
}

bool missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\/:*?\"<>|") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// Renamed to `to` inside `folder` (already checked to be a plain name), given as the
// full NT path: a bare name is read relative to the process's current folder by some
// implementations (Wine), not the file's own.
bool rename_by_handle(HANDLE file, const std::string& folder, std::string_view to) {
  std::wstring name = widen(join_path(folder, to));
  if (name.starts_with(L"\\\\?\\")) name.erase(0, 4);
  if (!name.starts_with(L"\\??\\")) name.insert(0, L"\\??\\");
  std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), info->FileNameLength);
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
}

bool delete_by_handle(HANDLE file) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

Result<void*> descriptor_of(std::string_view sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(sddl).c_str(), SDDL_REVISION_1, &sd, nullptr))
    return fail(kPrivateFolderFailed);
  return sd;
}

// Puts kDataFolderDescriptor's DACL on the folder, protected, so nothing inherited
// from ProgramData stays.
bool put_protection_back(HANDLE folder) {
  auto sd = descriptor_of(kDataFolderDescriptor);
  if (!sd) return false;
  LocalMemory owned{*sd};
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(*sd, &present, &dacl, &defaulted) || !present) return false;
  return SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                         nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

std::string durable_temp_name(std::string_view name) { return std::string(name) + ".tmp"; }

Result<DataFolder> DataFolder::open(std::string_view path, FolderOpen how) {
  const std::wstring wide = widen(path);
  if (how == FolderOpen::create) {
    if (auto parent = parent_directory(path)) create_directories(*parent);
    auto sd = descriptor_of(kDataFolderDescriptor);
    if (!sd) return std::unexpected(sd.error());
    LocalMemory owned{*sd};
    SECURITY_ATTRIBUTES sa{sizeof sa, *sd, FALSE};
    if (!CreateDirectoryW(wide.c_str(), &sa) && GetLastError() != ERROR_ALREADY_EXISTS) return fail(kPrivateFolderFailed);
  }
  // Asked by name as well: Wine reports a Unix symbolic link as a reparse point here,
  // but not through a handle opened on it.
  const DWORD by_name = GetFileAttributesW(wide.c_str());
  if (by_name != INVALID_FILE_ATTRIBUTES && (by_name & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return fail(kPrivateFolderUnsafe);
  // FILE_FLAG_OPEN_REPARSE_POINT: a junction or symbolic link in place of the folder is
  // opened itself and refused, never followed. No delete sharing: while we hold it the
  // folder cannot be renamed away and replaced. WRITE_DAC to put our protection back;
  // FILE_ADD_FILE so FlushFileBuffers may flush the folder's entries.
  Handle dir(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | FILE_ADD_FILE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!dir.valid()) return fail(GetLastError() == ERROR_ACCESS_DENIED ? kPrivateFolderUnsafe : kPrivateFolderFailed);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(dir.h, &info)) return fail(kPrivateFolderFailed);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return fail(kPrivateFolderUnsafe);

  PSID owner = nullptr;
  LocalMemory sd;
  if (GetSecurityInfo(dir.h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &sd.p) != ERROR_SUCCESS)
    return fail(kPrivateFolderFailed);
  if (!trusted_owner(owner)) return fail(kPrivateFolderUnsafe);
  if (!descriptor_is_ours(sd.p)) {
    // Ours by owner, someone else's by access (an earlier version's Users entry, or
    // what an installer inherited from ProgramData): our protection goes back on before
    // anything inside is used; the files are then checked one by one.
    if (!put_protection_back(dir.h)) return fail(kPrivateFolderUnsafe);
    LocalMemory again;
    if (GetSecurityInfo(dir.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &again.p) != ERROR_SUCCESS)
      return fail(kPrivateFolderFailed);
    // Our own account counts as ours: the service's (SYSTEM on Windows; the one user
    // under Wine, which also shows the Unix owner's rights as an entry).
    if (descriptor_lets_others_write(again.p, own_sids().user())) return fail(kPrivateFolderUnsafe);
  }
  return DataFolder(dir.release(), std::string(path));
}

DataFolder::DataFolder(DataFolder&& o) noexcept : h_(std::exchange(o.h_, nullptr)), path_(std::move(o.path_)) {}
DataFolder& DataFolder::operator=(DataFolder&& o) noexcept {
  if (this != &o) {
    close();
    h_ = std::exchange(o.h_, nullptr);
    path_ = std::move(o.path_);
  }
  return *this;
}
DataFolder::~DataFolder() { close(); }
void DataFolder::close() noexcept {
  if (h_ != nullptr) CloseHandle(h_);
  h_ = nullptr;
}

void DataFolder::flush() {
  if (h_ != nullptr) (void)FlushFileBuffers(h_);
}

Result<PrivateFile> DataFolder::open_file(std::string_view name, PrivateWrite mode) {
  if (h_ == nullptr || !plain_name(name)) return fail(kPrivateFileFailed);
  const std::wstring path = widen(join_path(path_, name));
  // Append-only access gives whole appends; replace needs to write from the start.
  const DWORD write_access = mode == PrivateWrite::append ? FILE_APPEND_DATA : (FILE_WRITE_DATA | FILE_APPEND_DATA);
  Handle f(CreateFileW(path.c_str(), write_access | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f.valid()) return fail(GetLastError() == ERROR_ACCESS_DENIED ? kPrivateFileUnsafe : kPrivateFileFailed);
  if (!acceptable_file(f.h)) return fail(kPrivateFileUnsafe);
  if (mode == PrivateWrite::replace && !SetEndOfFile(f.h)) return fail(kPrivateFileFailed);
  return PrivateFile(f.release());
}

Result<std::string> DataFolder::read(std::string_view name, std::size_t limit) {
  if (h_ == nullptr || !plain_name(name)) return fail(kFileReadFailed);
  const std::wstring path = widen(join_path(path_, name));
  Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!f.valid()) return fail(missing(GetLastError()) ? kFileMissing : kFileReadFailed);
  if (!acceptable_file(f.h)) return fail(kFileUnsafe);
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

Status DataFolder::replace(std::string_view name, std::string_view bytes) {
  if (h_ == nullptr || !plain_name(name)) return fail(kFileWriteFailed);
  const std::string temp_name = durable_temp_name(name);
  if (!remove(temp_name)) return fail(kFileWriteFailed);
  const std::wstring temp = widen(join_path(path_, temp_name));
  const std::wstring target = widen(join_path(path_, name));
  Handle f(CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, 0, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f.valid()) return fail(GetLastError() == ERROR_FILE_EXISTS ? kFileUnsafe : kFileWriteFailed);
  auto give_up = [&](std::string_view code) {
    (void)delete_by_handle(f.h);
    return fail(code);
  };
  if (!acceptable_file(f.h)) return give_up(kFileUnsafe);
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
  {
    Handle t(CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (t.valid()) {
      if (!acceptable_file(t.h)) return give_up(kFileUnsafe);
    } else if (!missing(GetLastError())) {
      return give_up(kFileWriteFailed);
    }
  }
  if (!rename_by_handle(f.h, path_, name)) return give_up(kFileMoveFailed);
  flush();
  return {};
}

Status DataFolder::rename(std::string_view from, std::string_view to) {
  if (h_ == nullptr || !plain_name(from) || !plain_name(to)) return fail(kFileMoveFailed);
  const std::wstring path = widen(join_path(path_, from));
  // The name itself is opened, a link included: it is moved, never what it points at.
  Handle f(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!f.valid()) return fail(missing(GetLastError()) ? kFileMissing : kFileMoveFailed);
  if (!rename_by_handle(f.h, path_, to)) return fail(kFileMoveFailed);
  flush();
  return {};
}

Status DataFolder::remove(std::string_view name) {
  if (h_ == nullptr || !plain_name(name)) return fail(kFileRemoveFailed);
  const std::wstring path = widen(join_path(path_, name));
  // The name itself is opened, a link included: deleting it never touches what it
  // points at.
  Handle f(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!f.valid()) return missing(GetLastError()) ? Status{} : fail(kFileRemoveFailed);
  if (!delete_by_handle(f.h)) return fail(kFileRemoveFailed);
  CloseHandle(f.release());
  flush();
  return {};
}

}  // namespace brenmoor::platform
