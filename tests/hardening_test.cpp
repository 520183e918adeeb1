// What the service hands to the system where a local user could otherwise reach
// further than intended: pipe instance parameters, the client end's access and
// quality of service, the engine's application name. Windows enforces these, so
// the values themselves are the proof on the dev host (the Windows build also
// checks them against the system headers).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/pipe_client.h"
#include "platform/pipe_server.h"
#include "platform/process.h"

namespace brenmoor {
namespace {

using platform::InstanceKind;
using platform::PipeCreateParams;

TEST(PipeHardening, OnlyTheFirstInstanceCarriesTheFirstInstanceFlagAndAllRejectRemoteClients) {
  // open mode (overlapped, so every wait can be bounded), pipe mode, instances (one
  // per connection handler: 255 would mean no limit), out buffer, in buffer (each
  // charged to the non-paged pool), time-out
  EXPECT_EQ(platform::pipe_create_params(InstanceKind::first), (PipeCreateParams{0x40080003, 0x8, 128, 65536, 65536, 0}));
  EXPECT_EQ(platform::pipe_create_params(InstanceKind::another), (PipeCreateParams{0x40000003, 0x8, 128, 65536, 65536, 0}));
}

TEST(PipeHardening, ClientEndIdentifiesWithoutImpersonationAndCannotCreateInstances) {
  EXPECT_EQ(platform::kPipeClientFlags, 0x00100000u /* SQOS present */ | 0x00010000u /* identification */);
  EXPECT_EQ(platform::kPipeClientFlags & 0x00030000u, 0x00010000u) << "level must be identification, not above";
  EXPECT_EQ(platform::kPipeClientAccess & 0x4u, 0u) << "FILE_CREATE_PIPE_INSTANCE";
  EXPECT_EQ(platform::kPipeClientAccess & 0x3u, 0x3u) << "read and write data";
  EXPECT_EQ(platform::kPipeClientAccess & 0xF0000000u, 0u) << "no generic rights";
}

TEST(ProcessHardening, AbsoluteProgramPathIsAlsoTheApplicationName) {
  struct Row {
    const char* program;
    std::optional<std::string> expected;
  };
  const std::string deep = "\\\\?\\C:\\" + std::string(300, 'd') + "\\engine.exe";
  const Row rows[] = {
      {"C:\\Program Files\\Pellamy\\engine.exe", "C:\\Program Files\\Pellamy\\engine.exe"},
      {"c:/svc/engine.exe", "c:/svc/engine.exe"},
      {deep.c_str(), deep},
      {"\\\\server\\share\\engine.exe", "\\\\server\\share\\engine.exe"},
      {"route", std::nullopt},
      {"powershell.exe", std::nullopt},
      {"tools\\engine.exe", std::nullopt},
      {"C:engine.exe", std::nullopt},  // drive-relative: left to the search
      {"\\engine.exe", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(platform::application_name(r.program), r.expected) << r.program;
  // The command line is built as before, whatever the application name.
  EXPECT_EQ(platform::build_command_line(deep, {"-port", "0"}), "\"" + deep + "\" -port 0");
}

}  // namespace
}  // namespace brenmoor
