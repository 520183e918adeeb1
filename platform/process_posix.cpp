#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "common/secret.h"
#include "platform/process.h"
#include "platform/process_child_posix.h"

extern char** environ;

namespace brenmoor::platform {
namespace {

// ---- file descriptors -------------------------------------------------------

// Every descriptor handed to a child is at least 3, so that putting the child's
// standard streams in place (dup2 onto 0..2) never overwrites another of them,
// even in a service started with its standard descriptors closed.
int raise_above_stdio(int fd) {
  if (fd < 0 || fd >= 3) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      close_fd(fd);
      fd = std::exchange(o.fd, -1);
    }
    return *this;
  }
  ~Fd() { close_fd(fd); }
  int release() { return std::exchange(fd, -1); }
};

// ---- the spawner thread -------------------------------------------------------

// Everything the forked child needs, prepared by the caller so that the child
// only runs async-signal-safe calls (no allocation: another thread of the service
// may hold malloc's lock at the moment of the fork).
struct SpawnPlan {
  SpawnPlan() = default;
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;
  // The environment carries what the caller put in it (the engine's control
  // token): zeroed before it is released.
  ~SpawnPlan() {
    for (auto& e : env_storage) zero_and_clear(e);
  }
  std::vector<std::string> candidate_storage;
  std::vector<const char*> candidates;
  std::vector<std::string> argv_storage;
  std::vector<char*> argv;
  std::vector<std::string> env_storage;
  std::vector<char*> envp;
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  pid_t parent_pid = 0;
};

struct SpawnOutcome {
  pid_t pid = -1;
  int error = 0;
};

[[noreturn]] void child_fail(int report_fd, int error) {
  ssize_t n;
  do {
    n = ::write(report_fd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::_exit(127);
}

// Marks every descriptor from 3 up close-on-exec. The report pipe is already
// close-on-exec, so it stays usable until the exec succeeds.
void cloexec_from_3() {
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: walk the descriptor table.
  rlimit rl{};
  rlim_t limit = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < limit) limit = rl.rlim_cur;
  for (int fd = 3; static_cast<rlim_t>(fd) < limit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void exec_child(const SpawnPlan& p, int report_fd) {
  // Own process group: the Job kills the child and whatever it starts as one group.
  if (::setpgid(0, 0) != 0) child_fail(report_fd, errno);
  // Die with the service even if it is killed outright. The signal follows the
  // death of the forking *thread*, which is why one long-lived thread forks.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) child_fail(report_fd, errno);
  if (::getppid() != p.parent_pid) ::_exit(127);  // the service died before prctl took effect

  // A fresh program starts with no blocked and no ignored signals.
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < NSIG; ++s) {
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigemptyset(&dfl.sa_mask);
      ::sigaction(s, &dfl, nullptr);
    }
  }

  if (::dup2(p.stdin_fd, 0) < 0 || ::dup2(p.stdout_fd, 1) < 0 || ::dup2(p.stderr_fd, 2) < 0) {
    child_fail(report_fd, errno);
  }
  cloexec_from_3();

  // The PATH walk of execvp, over candidates the parent listed.
  int error = ENOENT;
  bool denied = false;
  for (const char* path : p.candidates) {
    if (path == nullptr) break;
    ::execve(path, p.argv.data(), p.envp.data());
    error = errno;
    if (error == EACCES) {
      denied = true;
    } else if (error != ENOENT && error != ENOTDIR && error != ELOOP && error != ENAMETOOLONG) {
      break;
    }
  }
  if (denied && (error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG)) error = EACCES;
  child_fail(report_fd, error);
}

// Runs on the spawner thread.
SpawnOutcome fork_and_exec(const SpawnPlan& plan) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return {-1, errno};
  Fd report_read(raise_above_stdio(report[0]));
  Fd report_write(raise_above_stdio(report[1]));
  if (report_read.fd < 0 || report_write.fd < 0) return {-1, EMFILE};

  const pid_t pid = ::fork();
  if (pid < 0) return {-1, errno};
  if (pid == 0) exec_child(plan, report_write.fd);

  close_fd(report_write.fd);
  // End of stream: the exec succeeded (the pipe closed on exec). An int: it failed.
  int child_error = 0;
  std::size_t got = 0;
  while (got < sizeof child_error) {
    ssize_t n = ::read(report_read.fd, reinterpret_cast<char*>(&child_error) + got, sizeof child_error - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == 0) return {pid, 0};
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return {-1, got == sizeof child_error ? child_error : EIO};
}

// One thread forks every child and lives as long as the process (see exec_child for
// why). It also reaps children whose last owner went away while they still ran.
class Spawner {
 public:
  static Spawner& instance() {
    static Spawner* const spawner = new Spawner();  // never destroyed: its thread runs until exit
    return *spawner;
  }

  SpawnOutcome spawn(const SpawnPlan& plan) {
    if (!running_) return {-1, EAGAIN};
    Request req{&plan, {}, false};
    std::unique_lock lock(mutex_);
    queue_.push_back(&req);
    wake_.notify_one();
    done_.wait(lock, [&] { return req.done; });
    return req.outcome;
  }

  void adopt(pid_t pid) {
    std::lock_guard lock(mutex_);
    orphans_.push_back(pid);
    wake_.notify_one();
  }

 private:
  struct Request {
    const SpawnPlan* plan;
    SpawnOutcome outcome;
    bool done;
  };

  Spawner() {
    try {
      std::thread(&Spawner::loop, this).detach();
      running_ = true;
    } catch (...) {
      running_ = false;
    }
  }

  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (orphans_.empty()) {
        wake_.wait(lock, [&] { return !queue_.empty() || !orphans_.empty(); });
      } else {
        wake_.wait_for(lock, kOrphanSweep, [&] { return !queue_.empty(); });
      }
      reap_orphans();
      while (!queue_.empty()) {
        Request* req = queue_.front();
        queue_.pop_front();
        lock.unlock();
        SpawnOutcome out = fork_and_exec(*req->plan);
        lock.lock();
        req->outcome = out;
        req->done = true;
        done_.notify_all();
      }
    }
  }

  void reap_orphans() {
    std::erase_if(orphans_, [](pid_t pid) {
      int status = 0;
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      return r != 0;  // reaped, or no longer ours to reap
    });
  }

  static constexpr std::chrono::milliseconds kOrphanSweep{500};
  bool running_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Request*> queue_;
  std::vector<pid_t> orphans_;
};

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

std::uint32_t exit_code_of(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status) & 0xFF;
  return 128U + static_cast<std::uint32_t>(info.si_status);  // killed or dumped
}

}  // namespace

ChildHandle::~ChildHandle() {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) Spawner::instance().adopt(pid);
}

// ---- PipeReader -----------------------------------------------------------------

PipeReader::PipeReader(NativePipe p) : p_(p) {}
PipeReader::PipeReader(PipeReader&& o) noexcept : p_(std::exchange(o.p_, -1)) {}
PipeReader& PipeReader::operator=(PipeReader&& o) noexcept {
  if (this != &o) {
    close();
    p_ = std::exchange(o.p_, -1);
  }
  return *this;
}
PipeReader::~PipeReader() { close(); }
bool PipeReader::is_open() const { return p_ >= 0; }
void PipeReader::close() noexcept { close_fd(p_); }

Result<std::size_t> PipeReader::read(char* buf, std::size_t len) {
  if (p_ < 0) return fail(kPipeReadFailed);
  for (;;) {
    ssize_t n = ::read(p_, buf, len);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(kPipeReadFailed);
  }
}

Result<PipeOutput> read_to_end(PipeReader& out, PipeReader& err) {
  PipeOutput result;
  PipeReader* readers[2] = {&out, &err};
  std::string* sinks[2] = {&result.stdout_bytes, &result.stderr_bytes};
  bool open[2] = {out.is_open(), err.is_open()};
  char buf[8192];
  while (open[0] || open[1]) {
    pollfd fds[2];
    nfds_t count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (!open[i]) continue;
      fds[count] = pollfd{readers[i]->native(), POLLIN, 0};
      which[count] = i;
      ++count;
    }
    int ready = ::poll(fds, count, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(kPipeReadFailed);
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (fds[k].revents == 0) continue;
      const int i = which[k];
      auto n = readers[i]->read(buf, sizeof buf);
      if (!n) return std::unexpected(n.error());
      if (*n == 0) {
        open[i] = false;
      } else {
        sinks[i]->append(buf, *n);
      }
    }
  }
  return result;
}

// ---- Process --------------------------------------------------------------------

Process::Process() = default;
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;
Process::~Process() = default;

bool Process::valid() const { return child_ != nullptr; }
std::uint64_t Process::id() const { return child_ ? static_cast<std::uint64_t>(child_->pid) : 0; }

// WNOWAIT: observe the exit but leave the child unreaped (see ChildHandle).
Result<std::optional<std::uint32_t>> Process::try_wait() {
  if (exit_code_) return exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  siginfo_t info{};
  for (;;) {
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(child_->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) break;
    if (errno != EINTR) return fail(kProcessWaitFailed);
  }
  if (info.si_pid == 0) return std::optional<std::uint32_t>{};
  exit_code_ = exit_code_of(info);
  return exit_code_;
}

Result<std::uint32_t> Process::wait() {
  if (exit_code_) return *exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PID, static_cast<id_t>(child_->pid), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno != EINTR) return fail(kProcessWaitFailed);
  }
  exit_code_ = exit_code_of(info);
  return *exit_code_;
}

Result<std::optional<std::uint32_t>> Process::wait_for(std::chrono::milliseconds limit) {
  if (exit_code_) return exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // A pidfd turns readable when the child exits (reaped or not); without one
  // (kernels before 5.3) the exit is polled.
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child_->pid, 0)));
  for (;;) {
    auto state = try_wait();
    if (!state || *state) return state;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::optional<std::uint32_t>{};
    if (pidfd.fd >= 0) {
      pollfd p{pidfd.fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60000))) < 0 &&
          errno != EINTR) {
        return fail(kProcessWaitFailed);
      }
    } else {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
    }
  }
}

Status Process::terminate() {
  if (terminate_for_test_) return terminate_for_test_();
  if (!child_) return fail(kProcessTerminateFailed);
  if (exit_code_) return {};
  // The child is unreaped while we hold it, so this pid is still ours.
  if (::kill(child_->pid, SIGKILL) != 0 && errno != ESRCH) return fail(kProcessTerminateFailed);
  return {};
}

PipeReader Process::take_stdout() { return std::move(stdout_); }
PipeReader Process::take_stderr() { return std::move(stderr_); }

// The dev host finds the tools on PATH, where netsim's copies stand in for them.
Result<std::string> network_tool_application(std::string_view) { return std::string(); }

// ---- spawn_process ----------------------------------------------------------------

Result<Process> spawn_process(const SpawnOptions& options) {
  if (options.program.empty() || has_nul(options.program) || has_nul(options.application)) return fail(kSpawnFailed);
  for (const auto& a : options.args) {
    if (has_nul(a)) return fail(kSpawnFailed);
  }
  for (const auto& e : options.env) {
    if (e.name.empty() || e.name.find('=') != std::string::npos || has_nul(e.name) || has_nul(e.value)) {
      return fail(kSpawnFailed);
    }
  }

  SpawnPlan plan;
  plan.parent_pid = ::getpid();

  // Candidates in the order execvp would try them, searched with the service's PATH.
  if (!options.application.empty()) {
    plan.candidate_storage.push_back(options.application);
  } else if (options.program.find('/') != std::string::npos) {
    plan.candidate_storage.push_back(options.program);
  } else {
    const char* path_env = std::getenv("PATH");
    std::string_view path = path_env != nullptr ? path_env : "/bin:/usr/bin";
    for (;;) {
      const std::size_t colon = path.find(':');
      std::string_view dir = path.substr(0, colon);
      std::string candidate(dir.empty() ? std::string_view(".") : dir);
      candidate.push_back('/');
      candidate.append(options.program);
      plan.candidate_storage.push_back(std::move(candidate));
      if (colon == std::string_view::npos) break;
      path.remove_prefix(colon + 1);
    }
  }
  for (const auto& c : plan.candidate_storage) plan.candidates.push_back(c.c_str());
  plan.candidates.push_back(nullptr);

  plan.argv_storage.push_back(options.program);
  for (const auto& a : options.args) plan.argv_storage.push_back(a);
  for (auto& a : plan.argv_storage) plan.argv.push_back(a.data());
  plan.argv.push_back(nullptr);

  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& o : options.env) replaced = replaced || o.name == name;
    if (!replaced) plan.env_storage.emplace_back(entry);
  }
  for (const auto& o : options.env) {
    // One allocation at the final size: growing it would release a copy of the value.
    std::string& entry = plan.env_storage.emplace_back();
    entry.reserve(o.name.size() + 1 + o.value.size());
    entry.append(o.name).append("=").append(o.value);
  }
  for (auto& e : plan.env_storage) plan.envp.push_back(e.data());
  plan.envp.push_back(nullptr);

  // Descriptors: close-on-exec in the parent (no other child inherits them), put
  // in place in this child only by dup2.
  Fd null_fd(raise_above_stdio(::open("/dev/null", O_RDWR | O_CLOEXEC)));
  if (null_fd.fd < 0) return fail(kSpawnFailed);
  Fd out_read, out_write, err_read, err_write;
  auto make_pipe = [](Fd& r, Fd& w) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    r = Fd(raise_above_stdio(p[0]));
    w = Fd(raise_above_stdio(p[1]));
    return r.fd >= 0 && w.fd >= 0;
  };
  if (options.stdout_mode == StdioMode::pipe && !make_pipe(out_read, out_write)) return fail(kSpawnFailed);
  if (options.stderr_mode == StdioMode::pipe && !make_pipe(err_read, err_write)) return fail(kSpawnFailed);
  plan.stdin_fd = null_fd.fd;
  plan.stdout_fd = out_write.fd >= 0 ? out_write.fd : null_fd.fd;
  plan.stderr_fd = err_write.fd >= 0 ? err_write.fd : null_fd.fd;

  const SpawnOutcome outcome = Spawner::instance().spawn(plan);
  if (outcome.pid < 0) return fail(kSpawnFailed);

  Process p;
  try {
    p.child_ = std::make_shared<ChildHandle>(outcome.pid);
  } catch (...) {
    // The whole group: the child made it before its program ran, and anything that
    // program started already is in it.
    ::kill(-outcome.pid, SIGKILL);
    Spawner::instance().adopt(outcome.pid);
    return fail(kSpawnFailed);
  }
  p.stdout_ = PipeReader(out_read.release());
  p.stderr_ = PipeReader(err_read.release());
  return p;
}

// WNOWAIT, as try_wait: the probe only looks; reaping stays with the last owner.
bool ProcessExitProbe::running() const {
  if (!child_) return false;
  siginfo_t info{};
  for (;;) {
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(child_->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) break;
    if (errno != EINTR) return false;
  }
  return info.si_pid == 0;
}

}  // namespace brenmoor::platform
