// brenmoor-supervise: a small stand-in for systemd on the dev host. It receives the
// service's notify datagrams, prints each as one line, forwards SIGTERM and SIGINT to
// the service as SIGTERM (the Stop control), and exits with the service's exit code.
//   brenmoor-supervise [--record FILE] -- PROGRAM [ARGS...]
// Each notification is printed (and appended to FILE) as
//   notify: READY=1 STATUS=running X_BRENMOOR_STATE=4 ...
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::atomic<pid_t> g_child{0};

void print_line(FILE* record, const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (record != nullptr) {
    std::fprintf(record, "%s\n", line.c_str());
    std::fflush(record);
  }
}

std::string one_line(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  FILE* record = nullptr;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
      record = std::fopen(argv[++i], "a");
      if (record == nullptr) {
        std::perror("brenmoor-supervise: --record");
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: brenmoor-supervise [--record FILE] -- PROGRAM [ARGS...]\n");
      return 2;
    }
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usage: brenmoor-supervise [--record FILE] -- PROGRAM [ARGS...]\n");
    return 2;
  }
  char** child_argv = argv + i + 1;

  char dir_template[] = "/tmp/brenmoor-supervise-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    std::perror("brenmoor-supervise: mkdtemp");
    return 2;
  }
  const std::string socket_path = std::string(dir_template) + "/notify";
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());
  if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("brenmoor-supervise: notify socket");
    return 2;
  }

  // Signals are taken by one thread with sigwait, as the service itself does.
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

  ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("brenmoor-supervise: fork");
    return 2;
  }
  if (pid == 0) {
    // The service blocks the stop signals itself; it starts with a clean mask.
    ::pthread_sigmask(SIG_UNBLOCK, &stop_set, nullptr);
    ::execvp(child_argv[0], child_argv);
    std::perror("brenmoor-supervise: exec");
    ::_exit(127);
  }
  g_child = pid;
  print_line(record, "supervise: started " + std::string(child_argv[0]) + " as process " + std::to_string(pid));

  std::thread([stop_set] {
    for (;;) {
      int sig = 0;
      if (::sigwait(&stop_set, &sig) != 0) return;
      std::printf("supervise: forwarding SIGTERM (stop)\n");
      std::fflush(stdout);
      ::kill(g_child.load(), SIGTERM);
    }
  }).detach();

  int status = 0;
  for (;;) {
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buf[4096];
      const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
      if (n > 0) print_line(record, "notify: " + one_line(std::string(buf, static_cast<std::size_t>(n))));
      continue;
    }
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
  }
  // Datagrams sent just before the exit are still queued.
  for (;;) {
    char buf[4096];
    const ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    print_line(record, "notify: " + one_line(std::string(buf, static_cast<std::size_t>(n))));
  }
  ::unlink(socket_path.c_str());
  ::rmdir(dir_template);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  print_line(record, "supervise: service exited with code " + std::to_string(code));
  if (record != nullptr) std::fclose(record);
  return code;
}
