// Test helper (Windows): did this process inherit a given handle value?
//   th_handle_probe_win HANDLE_HEX
// Writes "leaked" through the handle when it is a pipe here other than our own
// standard handles, and prints what it found: "pipe" (written), "std" (the value is
// one of our standard handles), "none". The parent's proof is what arrives at the
// pipe's other end; the output only explains it.
#include <windows.h>

#include <cstdio>
#include <cstdint>
#include <initializer_list>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(argv[1], nullptr, 16)));
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (GetStdHandle(which) == h) {
      std::puts("std");
      return 0;
    }
  }
  DWORD flags = 0;
  if (!GetHandleInformation(h, &flags) || GetFileType(h) != FILE_TYPE_PIPE) {
    std::puts("none");
    return 0;
  }
  DWORD written = 0;
  WriteFile(h, "leaked", 6, &written, nullptr);
  std::puts("pipe");
  return 0;
}
