#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include "platform/dir.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (valid()) CloseHandle(h_);
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Opens for metadata only. FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileW
// open a folder; without FILE_FLAG_OPEN_REPARSE_POINT links are followed.
HANDLE open_for_metadata(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool has_unpaired_surrogate(const wchar_t* name) {
  for (std::size_t i = 0; name[i] != L'\0'; ++i) {
    const auto c = static_cast<char16_t>(name[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      const auto next = static_cast<char16_t>(name[i + 1]);
      if (next < 0xDC00 || next > 0xDFFF) return true;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> canonical_path(std::string_view path) {
  FileHandle h(open_for_metadata(widen(path)));
  if (!h.valid()) return std::nullopt;
  // VOLUME_NAME_DOS gives the extended-length form ("\\?\C:\dir", "\\?\UNC\host\share\dir").
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetFinalPathNameByHandleW(h.get(), buf.data(), static_cast<DWORD>(buf.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    if (n < buf.size()) {
      buf.resize(n);
      return narrow(buf);
    }
    // Too small: n is the size needed, terminator included.
    buf.resize(n);
  }
}

std::optional<std::vector<DirEntryName>> list_directory(std::string_view path) {
  std::wstring dir = widen(path);
  // FindFirstFileExW on "file\*" reports errors that differ between Windows
  // versions (and Wine); settle "is it a folder" first so only a real folder
  // without entries can come back empty.
  const DWORD attrs = GetFileAttributesW(dir.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::nullopt;
  std::wstring pattern = dir;
  if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern.push_back(L'\\');
  pattern.push_back(L'*');

  std::vector<DirEntryName> out;
  WIN32_FIND_DATAW data{};
  FindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (find.get() == INVALID_HANDLE_VALUE) {
    // A folder with no entries at all (a volume root can lack "." and "..").
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return out;
    return std::nullopt;
  }
  for (;;) {
    const std::wstring_view name(data.cFileName);
    if (name != L"." && name != L"..") {
      out.push_back(DirEntryName{narrow(name), !has_unpaired_surrogate(data.cFileName)});
    }
    if (!FindNextFileW(find.get(), &data)) {
      if (GetLastError() == ERROR_NO_MORE_FILES) break;
      return std::nullopt;
    }
  }
  return out;
}

bool is_regular_file(std::string_view path) {
  FileHandle h(open_for_metadata(widen(path)));
  if (!h.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return false;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<std::string> read_whole_file(std::string_view path) {
  FileHandle h(CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return std::nullopt;
  std::string out;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(h.get(), &size) && size.QuadPart > 0 && size.QuadPart < (LONGLONG{1} << 31)) {
    out.reserve(static_cast<std::size_t>(size.QuadPart));
  }
  // The size is only a hint; read until ReadFile reports the end (0 bytes).
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return std::nullopt;
    if (n == 0) break;
    out.append(buf, n);
  }
  return out;
}

}  // namespace brenmoor::platform
