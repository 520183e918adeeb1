#include "support/unprivileged_posix.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace brenmoor::test {

namespace fs = std::filesystem;

int run_as_nobody(const std::function<int()>& step) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobodyId, kNobodyId, kNobodyId) != 0 ||
        ::setresuid(kNobodyId, kNobodyId, kNobodyId) != 0 || ::geteuid() != kNobodyId) {
      ::_exit(255);
    }
    int code = 254;
    try {
      code = step();
    } catch (...) {
    }
    ::_exit(code & 0xff);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void open_program_data_to_everyone(const std::string& host_root) {
  const fs::path program_data = fs::path(host_root) / "ProgramData";
  fs::create_directories(program_data);
  ::chmod(program_data.c_str(), 01777);
  // The test's temporary folders are private to root by default; the attacker must be
  // able to walk down to ProgramData, as any user can reach C:\ProgramData.
  for (fs::path p = program_data.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) ::chmod(p.c_str(), (st.st_mode & 07777) | 0001);
  }
}

bool can_drop_to_nobody() { return ::geteuid() == 0; }

}  // namespace brenmoor::test
