// Test helper standing in for powershell.exe. It insists on being called as
// "-NoProfile" "-Command" {script} (else it exits with 99) and reads the script as
// directives separated by ';':
//   line:TEXT     TEXT and a line feed on standard output
//   outhex:HEX    raw bytes on standard output
//   err:TEXT      TEXT and a line feed on standard error
//   big:N         N bytes on standard output and N on standard error, interleaved
//   exit:N        exit with code N at once
//   hang          wait (two minutes at most)
//   escape:FILE   (POSIX) start a grandchild in a new session that keeps standard
//                 output and error open for 30 s and writes its pid to FILE
// Output is flushed after every directive.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void write_all(std::FILE* f, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  if (argc != 4 || std::string_view(argv[1]) != "-NoProfile" || std::string_view(argv[2]) != "-Command") {
    write_all(stderr, "unexpected arguments\n");
    return 99;
  }
  std::string_view script = argv[3];
  while (!script.empty()) {
    const std::size_t semi = script.find(';');
    const std::string_view d = script.substr(0, semi);
    script.remove_prefix(semi == std::string_view::npos ? script.size() : semi + 1);
    const std::size_t colon = d.find(':');
    const std::string_view verb = d.substr(0, colon);
    const std::string arg(colon == std::string_view::npos ? std::string_view() : d.substr(colon + 1));
    if (verb == "line") {
      write_all(stdout, arg + "\n");
    } else if (verb == "outhex") {
      write_all(stdout, from_hex(arg));
    } else if (verb == "err") {
      write_all(stderr, arg + "\n");
    } else if (verb == "big") {
      const long n = std::atol(arg.c_str());
      const std::string chunk(4096, 'x');
      for (long done = 0; done < n; done += static_cast<long>(chunk.size())) {
        const std::size_t len = static_cast<std::size_t>(std::min<long>(n - done, static_cast<long>(chunk.size())));
        write_all(stderr, std::string_view(chunk).substr(0, len));
        write_all(stdout, std::string_view(chunk).substr(0, len));
      }
    } else if (verb == "exit") {
      return std::atoi(arg.c_str());
    } else if (verb == "hang") {
      std::this_thread::sleep_for(std::chrono::seconds(120));
    } else if (verb == "escape") {
#ifdef _WIN32
      return 98;
#else
      pid_t pid = ::fork();
      if (pid < 0) return 3;
      if (pid == 0) {
        ::setsid();  // out of the command's process group: the group kill misses it
        if (FILE* f = std::fopen((arg + ".tmp").c_str(), "wb")) {
          std::fprintf(f, "%d", static_cast<int>(::getpid()));
          std::fclose(f);
          std::rename((arg + ".tmp").c_str(), arg.c_str());
        }
        std::this_thread::sleep_for(std::chrono::seconds(30));
        ::_exit(0);
      }
#endif
    } else {
      write_all(stderr, "unknown directive\n");
      return 97;
    }
  }
  return 0;
}
