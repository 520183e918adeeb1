// What the service hands to Windows, read back through the system itself: the
// descriptor texts as the system parses them, and the handles a child inherits
// while another thread holds an inheritable pipe end.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "control/pipe_access.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

struct Ace {
  DWORD mask;
  BYTE flags;
  std::string sid;
  bool operator==(const Ace&) const = default;
};

struct ParsedDescriptor {
  bool protected_dacl = false;
  std::vector<Ace> aces;
};

ParsedDescriptor parse(std::string_view sddl) {
  ParsedDescriptor out;
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(platform::widen(sddl).c_str(), SDDL_REVISION_1, &sd,
                                                                   nullptr))
      << sddl;
  if (sd == nullptr) return out;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  out.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) break;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<PSID>(&ace->SidStart), &text);
    out.aces.push_back({ace->Mask, ace->Header.AceFlags, text ? platform::narrow(text) : std::string()});
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

TEST(DescriptorsWin, PipeEntriesAsTheSystemReadsThem) {
  const ParsedDescriptor base = parse(pipe_security_descriptor({"svc.exe"}));
  EXPECT_TRUE(base.protected_dacl);
  EXPECT_EQ(base.aces, (std::vector<Ace>{{GENERIC_ALL, 0, "S-1-5-18"}, {GENERIC_ALL, 0, "S-1-5-32-544"}}));

  const ParsedDescriptor extended = parse(pipe_security_descriptor({"svc.exe", "--allowed-sid", "S-1-5-32-545"}));
  EXPECT_TRUE(extended.protected_dacl);
  ASSERT_EQ(extended.aces.size(), 3u);
  EXPECT_EQ(extended.aces[2], (Ace{0x12019B, 0, "S-1-5-32-545"}));
  EXPECT_EQ(extended.aces[2].mask & FILE_CREATE_PIPE_INSTANCE, 0u);
  EXPECT_EQ(extended.aces[2].mask & (FILE_GENERIC_READ | FILE_WRITE_DATA), FILE_GENERIC_READ | FILE_WRITE_DATA);
}

TEST(DescriptorsWin, PrivateFolderIsProtectedAndClosedToUsers) {
  const ParsedDescriptor d = parse(platform::kPrivateFolderDescriptor);
  EXPECT_TRUE(d.protected_dacl);
  constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  EXPECT_EQ(d.aces, (std::vector<Ace>{{FILE_ALL_ACCESS, kInherit, "S-1-5-18"},
                                      {FILE_ALL_ACCESS, kInherit, "S-1-5-32-544"}}));
}

// What arrives at the read end once every writer is gone: the bytes of whoever
// still held (and used) the write end.
std::string drain_after_closing(HANDLE read_end, HANDLE write_end) {
  CloseHandle(write_end);
  std::string got;
  char buf[64];
  DWORD n = 0;
  while (ReadFile(read_end, buf, sizeof buf, &n, nullptr) && n > 0) got.append(buf, n);
  CloseHandle(read_end);
  return got;
}

std::string hex(HANDLE h) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
  return buf;
}

TEST(ChildHandlesWin, ChildStartedWhileAnotherThreadHoldsAnInheritablePipeEndDoesNotGetIt) {
  const std::string probe = test::bin_path("th_handle_probe_win");

  // Another thread (as the guard's command runner would) holds an inheritable pipe
  // end while this thread starts a child.
  std::promise<std::pair<HANDLE, HANDLE>> held;
  std::promise<void> release;
  std::thread other([&] {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    CreatePipe(&r, &w, &inherit, 0);
    held.set_value({r, w});
    release.get_future().wait();
  });
  const auto [read_end, write_end] = held.get_future().get();
  ASSERT_NE(write_end, nullptr);

  platform::SpawnOptions options;
  options.program = probe;
  options.args = {hex(write_end)};
  options.stdout_mode = platform::StdioMode::pipe;
  auto child = platform::spawn_process(options);
  ASSERT_TRUE(child) << child.error();
  auto out = child->take_stdout();
  platform::PipeReader no_err;
  auto output = platform::read_to_end(out, no_err);
  ASSERT_TRUE(output);
  ASSERT_TRUE(child->wait());
  release.set_value();
  other.join();
  EXPECT_NE(output->stdout_bytes.find("none"), std::string::npos) << output->stdout_bytes;
  EXPECT_EQ(drain_after_closing(read_end, write_end), "");

  // The same probe under plain inheritance (no handle list) does find the end:
  // the check above can see a leak.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, &inherit, 0));
  std::wstring line = platform::widen(platform::build_command_line(probe, {hex(w)}));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(drain_after_closing(r, w), "leaked");
}

}  // namespace
}  // namespace brenmoor
