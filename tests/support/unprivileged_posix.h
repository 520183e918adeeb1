// Attacker steps as a real unprivileged user on the dev host. The service under test
// runs as root (as CI does); each step of an attack runs in a forked child that has
// dropped to the "nobody" user, so the kernel, not the test, decides what it may do.
#pragma once

#include <functional>
#include <string>

namespace brenmoor::test {

inline constexpr unsigned kNobodyId = 65534;

// Runs `step` in a forked child with real, effective and saved uid and gid 65534 and no
// supplementary groups; the child's exit status is what `step` returns (255 when the
// drop failed, 254 when `step` threw). The child exits with _exit, so no test state of
// the parent is torn down twice.
int run_as_nobody(const std::function<int()>& step);

// Makes the host root's ProgramData like Windows' (any user may create a folder in it:
// mode 1777), and every folder above it searchable, so an attacker step can reach it.
void open_program_data_to_everyone(const std::string& host_root);

// True when the whole suite can run: the test runs as root (it must start the service
// as root and drop in the child).
bool can_drop_to_nobody();

}  // namespace brenmoor::test
