#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "common/secret.h"
#include "platform/job.h"
#include "platform/process.h"
#include "platform/process_child_win.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

// CreateProcessW's limit for lpCommandLine, terminating NUL included.
constexpr std::size_t kMaxCommandLine = 32767;

struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != nullptr) CloseHandle(h);
  }
  HANDLE release() { return std::exchange(h, nullptr); }
};

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

std::wstring_view env_name(std::wstring_view entry) {
  // Entries such as "=C:=C:\dir" keep drive state; their name starts with '='.
  return entry.substr(0, entry.find(L'=', 1));
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Zeroes the whole buffer of a wide string that held an override's value (the
// engine's control token) and empties it.
void wipe(std::wstring& w) {
  w.resize(w.capacity());
  secure_zero(w.data(), w.size() * sizeof(wchar_t));
  w.clear();
}

// The environment block and its pieces, all zeroed when released.
struct EnvironmentBlock {
  EnvironmentBlock() = default;
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;
  ~EnvironmentBlock() { wipe(text); }
  std::wstring text;
};

// The service's environment with the overrides applied, as the double-NUL-terminated
// block CreateProcessW takes, sorted by name without regard to case as the system
// keeps it. Every copy of an override's value is zeroed before it is released; the
// block itself is built at its final size so that no growth leaves one behind.
void build_environment_block(const std::vector<EnvOverride>& overrides, std::wstring& out) {
  std::vector<std::wstring> entries;
  if (LPWCH block = GetEnvironmentStringsW(); block != nullptr) {
    for (const wchar_t* p = block; *p != L'\0';) {
      std::wstring entry(p);
      p += entry.size() + 1;
      entries.push_back(std::move(entry));
    }
    FreeEnvironmentStringsW(block);
  }
  std::vector<std::wstring> names;
  for (const auto& o : overrides) names.push_back(widen(o.name));
  std::erase_if(entries, [&](const std::wstring& e) {
    return std::any_of(names.begin(), names.end(), [&](const std::wstring& n) { return same_name(env_name(e), n); });
  });
  entries.reserve(entries.size() + overrides.size());
  for (const auto& o : overrides) {
    std::wstring value = widen(o.value);
    std::wstring entry = widen(o.name);
    entry.reserve(entry.size() + 1 + value.size());
    entry.push_back(L'=');
    entry.append(value);
    wipe(value);
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    std::wstring_view na = env_name(a), nb = env_name(b);
    return CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(), static_cast<int>(nb.size()), TRUE) ==
           CSTR_LESS_THAN;
  });
  std::size_t total = 2;
  for (const auto& e : entries) total += e.size() + 1;
  out.reserve(total);
  for (const auto& e : entries) {
    out.append(e);
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  if (entries.empty()) out.push_back(L'\0');
  for (auto& e : entries) wipe(e);
}

Result<std::string> drain(PipeReader& r) {
  std::string bytes;
  if (!r.is_open()) return bytes;
  char buf[8192];
  for (;;) {
    auto n = r.read(buf, sizeof buf);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return bytes;
    bytes.append(buf, *n);
  }
}

}  // namespace

// ---- PipeReader -----------------------------------------------------------------

PipeReader::PipeReader(NativePipe p) : p_(p) {}
PipeReader::PipeReader(PipeReader&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
PipeReader& PipeReader::operator=(PipeReader&& o) noexcept {
  if (this != &o) {
    close();
    p_ = std::exchange(o.p_, nullptr);
  }
  return *this;
}
PipeReader::~PipeReader() { close(); }
bool PipeReader::is_open() const { return p_ != nullptr; }
void PipeReader::close() noexcept {
  if (p_ != nullptr) {
    const DWORD saved = GetLastError();
    CloseHandle(p_);
    SetLastError(saved);
  }
  p_ = nullptr;
}

Result<std::size_t> PipeReader::read(char* buf, std::size_t len) {
  if (p_ == nullptr) return fail(kPipeReadFailed);
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(len, 1U << 20));
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(p_, buf, want, &got, nullptr)) {
      // Every writer closed its end: the normal end of an anonymous pipe.
      if (GetLastError() == ERROR_BROKEN_PIPE) return std::size_t{0};
      return fail(kPipeReadFailed);
    }
    // A zero-byte write by the child completes a read with nothing: not the end.
    if (got > 0 || want == 0) return static_cast<std::size_t>(got);
  }
}

// Anonymous pipes have no overlapped reads, so the second pipe gets its own thread.
Result<PipeOutput> read_to_end(PipeReader& out, PipeReader& err) {
  Result<std::string> err_bytes = std::string();
  std::thread err_reader;
  try {
    if (err.is_open()) err_reader = std::thread([&] { err_bytes = drain(err); });
  } catch (...) {
    return fail(kPipeReadFailed);
  }
  Result<std::string> out_bytes = drain(out);
  if (err_reader.joinable()) err_reader.join();
  if (!out_bytes) return std::unexpected(out_bytes.error());
  if (!err_bytes) return std::unexpected(err_bytes.error());
  return PipeOutput{std::move(*out_bytes), std::move(*err_bytes)};
}

// ---- Process --------------------------------------------------------------------

Process::Process() = default;
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;
Process::~Process() = default;

bool Process::valid() const { return child_ != nullptr; }
std::uint64_t Process::id() const { return child_ ? child_->pid : 0; }

Result<std::optional<std::uint32_t>> Process::try_wait() {
  if (exit_code_) return exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  // Wait with no timeout rather than GetExitCodeProcess alone: a child may exit
  // with code 259 (STILL_ACTIVE).
  switch (WaitForSingleObject(child_->process, 0)) {
    case WAIT_TIMEOUT:
      return std::optional<std::uint32_t>{};
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (!GetExitCodeProcess(child_->process, &code)) return fail(kProcessWaitFailed);
      exit_code_ = code;
      return exit_code_;
    }
    default:
      return fail(kProcessWaitFailed);
  }
}

Result<std::uint32_t> Process::wait() {
  if (exit_code_) return *exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  if (WaitForSingleObject(child_->process, INFINITE) != WAIT_OBJECT_0) return fail(kProcessWaitFailed);
  DWORD code = 0;
  if (!GetExitCodeProcess(child_->process, &code)) return fail(kProcessWaitFailed);
  exit_code_ = code;
  return *exit_code_;
}

Result<std::optional<std::uint32_t>> Process::wait_for(std::chrono::milliseconds limit) {
  if (exit_code_) return exit_code_;
  if (!child_) return fail(kProcessWaitFailed);
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, INFINITE - 1);
  switch (WaitForSingleObject(child_->process, static_cast<DWORD>(ms))) {
    case WAIT_TIMEOUT:
      return std::optional<std::uint32_t>{};
    case WAIT_OBJECT_0:
      return try_wait();
    default:
      return fail(kProcessWaitFailed);
  }
}

Status Process::terminate() {
  if (terminate_for_test_) return terminate_for_test_();
  if (!child_) return fail(kProcessTerminateFailed);
  if (exit_code_) return {};
  if (TerminateProcess(child_->process, 1)) return {};
  // Fails with access denied once the process has ended; that is not an error here.
  if (WaitForSingleObject(child_->process, 0) == WAIT_OBJECT_0) return {};
  return fail(kProcessTerminateFailed);
}

PipeReader Process::take_stdout() { return std::move(stdout_); }
PipeReader Process::take_stderr() { return std::move(stderr_); }

// ---- network tools --------------------------------------------------------------

Result<std::string> network_tool_application(std::string_view program) {
  if (application_name(program)) return std::string();
  wchar_t folder[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(folder, static_cast<UINT>(std::size(folder)));
  if (n == 0 || n >= std::size(folder)) return fail(kSystemFolderUnknown);
  auto path = system_tool_path(narrow(std::wstring_view(folder, n)), program);
  if (!path) return fail(kSystemToolUnknown);
  return *path;
}

// ---- spawn_process ----------------------------------------------------------------

Result<Process> spawn_process(const SpawnOptions& options) {
  JobLaunch none;
  return spawn_process_in_job(options, none);
}

Result<Process> spawn_process_in_job(const SpawnOptions& options, JobLaunch& launch) {
  if (options.program.empty() || has_nul(options.program) || options.program.find('"') != std::string::npos ||
      has_nul(options.application)) {
    return fail(kSpawnFailed);
  }
  for (const auto& a : options.args) {
    if (has_nul(a)) return fail(kSpawnFailed);
  }
  for (const auto& e : options.env) {
    if (e.name.empty() || e.name.find('=') != std::string::npos || has_nul(e.name) || has_nul(e.value)) {
      return fail(kSpawnFailed);
    }
  }
  std::wstring command_line = widen(build_command_line(options.program, options.args));
  if (command_line.size() >= kMaxCommandLine) return fail(kSpawnFailed);

  // Inheritable handles for the child's side only; the handle list below limits
  // inheritance to exactly these, whatever else in the service is inheritable.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
  if (null_device.h == nullptr) return fail(kSpawnFailed);
  Handle out_read, out_write, err_read, err_write;
  auto make_pipe = [&](Handle& r, Handle& w) {
    HANDLE hr = nullptr, hw = nullptr;
    if (!CreatePipe(&hr, &hw, &inherit, 0)) return false;
    r.h = hr;
    w.h = hw;
    return SetHandleInformation(hr, HANDLE_FLAG_INHERIT, 0) != 0;
  };
  if (options.stdout_mode == StdioMode::pipe && !make_pipe(out_read, out_write)) return fail(kSpawnFailed);
  if (options.stderr_mode == StdioMode::pipe && !make_pipe(err_read, err_write)) return fail(kSpawnFailed);

  HANDLE std_in = null_device.h;
  HANDLE std_out = out_write.h != nullptr ? out_write.h : null_device.h;
  HANDLE std_err = err_write.h != nullptr ? err_write.h : null_device.h;
  std::vector<HANDLE> inherited;
  for (HANDLE h : {std_in, std_out, std_err}) {
    if (std::find(inherited.begin(), inherited.end(), h) == inherited.end()) inherited.push_back(h);
  }

  const DWORD attributes = launch.job != nullptr ? 2 : 1;
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, attributes, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!InitializeProcThreadAttributeList(list, attributes, 0, &list_size)) return fail(kSpawnFailed);
  struct ListGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST l;
    ~ListGuard() { DeleteProcThreadAttributeList(l); }
  } list_guard{list};
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                 inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
    return fail(kSpawnFailed);
  }
  // A system that does not know the attribute (before Windows 10) refuses it; the
  // child is then assigned while suspended, below.
  HANDLE job_list[1] = {launch.job};
  const bool job_attribute = launch.job != nullptr && launch.use_job_list &&
                             UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job_list,
                                                       sizeof job_list, nullptr, nullptr);

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = std_in;
  si.StartupInfo.hStdOutput = std_out;
  si.StartupInfo.hStdError = std_err;
  si.lpAttributeList = list;

  EnvironmentBlock env_block;
  if (!options.env.empty()) build_environment_block(options.env, env_block.text);

  // No behavioural creation flags: EXTENDED_STARTUPINFO_PRESENT only says that the
  // attribute list is there, CREATE_UNICODE_ENVIRONMENT only how the block is encoded.
  // An absolute program path is also the application name (beyond MAX_PATH the
  // system cannot find it from the command line); a bare name keeps the normal
  // search (NULL application name). The command line is the same either way.
  const std::optional<std::string> app =
      options.application.empty() ? application_name(options.program) : std::optional<std::string>(options.application);
  const std::wstring app_wide = app ? widen(*app) : std::wstring();
  DWORD flags = EXTENDED_STARTUPINFO_PRESENT;
  if (!options.env.empty()) flags |= CREATE_UNICODE_ENVIRONMENT;
  // A child meant for a job is created suspended even with the attribute: a system
  // that accepted the attribute but did not apply it is caught below, before the
  // child ran a single instruction outside the job.
  if (launch.job != nullptr) flags |= CREATE_SUSPENDED;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(app ? app_wide.c_str() : nullptr, command_line.data(), nullptr, nullptr, TRUE, flags,
                      env_block.text.empty() ? nullptr : env_block.text.data(), nullptr, &si.StartupInfo, &pi)) {
    return fail(kSpawnFailed);
  }
  Handle thread(pi.hThread);
  if (launch.job != nullptr) {
    auto abandon = [&](std::string_view code) {
      TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hProcess);
      return fail(code);
    };
    BOOL in_job = FALSE;
    if (job_attribute && IsProcessInJob(pi.hProcess, launch.job, &in_job) && in_job) {
      launch.entered_by_attribute = true;
    } else {
      // The trade-off of this path: a service that dies between CreateProcessW and
      // AssignProcessToJobObject leaves a suspended child outside any job (it never
      // runs, but it stays until someone ends it). Keep that window to the two calls
      // (and the check above, where the attribute was given but not applied).
      if (!AssignProcessToJobObject(launch.job, pi.hProcess)) return abandon(kJobAssignFailed);
    }
    if (ResumeThread(thread.h) == static_cast<DWORD>(-1)) return abandon(kSpawnFailed);
  }

  Process p;
  try {
    p.child_ = std::make_shared<ChildHandle>(pi.hProcess, pi.dwProcessId);
  } catch (...) {
    TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    return fail(kSpawnFailed);
  }
  p.stdout_ = PipeReader(out_read.release());
  p.stderr_ = PipeReader(err_read.release());
  return p;
}

bool ProcessExitProbe::running() const {
  return child_ && WaitForSingleObject(child_->process, 0) == WAIT_TIMEOUT;
}

}  // namespace brenmoor::platform
