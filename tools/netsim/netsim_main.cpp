// One program, many names: copied as route, netsh or powershell.exe it plays that
// tool against the simulated network; as netsim it is the administration CLI.
#include <string>
#include <vector>

#include "control/json_writer.h"
#include "platform/fs.h"
#include "platform/process_info.h"
#include "tools/netsim/netsim_admin.h"
#include "tools/netsim/netsim_state.h"
#include "tools/netsim/netsim_sys.h"
#include "tools/netsim/netsim_tools.h"

namespace {

constexpr int kStateError = 3;

std::string log_line(const std::string& program, const std::vector<std::string>& args) {
  brenmoor::JsonWriter w;
  w.begin_array().string(program);
  for (const auto& a : args) w.string(a);
  w.end_array();
  return w.take() + "\n";
}

int run_tool(const std::string& program, const std::vector<std::string>& args) {
  auto path = netsim::state_path_from_env();
  if (!path) {
    netsim::sys::write_stderr("netsim: " + path.error() + "\n");
    return kStateError;
  }
  std::string line = log_line(program, args);
  netsim::ToolResult result;
  {
    auto file = netsim::StateFile::open(*path, false, /*tool_run=*/true);
    // Appended while the lock is held, so the log order is the order of execution.
    brenmoor::platform::append_to_file(*path + ".log", line);
    if (!file) {
      netsim::sys::write_stderr("netsim: " + file.error() + "\n");
      return kStateError;
    }
    result = netsim::invoke_tool(file->state(), program, args);
    if (result.changed) {
      auto saved = file->save();
      if (!saved) {
        netsim::sys::write_stderr("netsim: " + saved.error() + "\n");
        return kStateError;
      }
    }
  }
  if (result.unsupported) brenmoor::platform::append_to_file(*path + ".rejected", line);
  netsim::sys::write_stdout(result.out);
  netsim::sys::write_stderr(result.err);
  if (result.hang) netsim::sys::hang_forever();
  return result.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = brenmoor::platform::command_line_args();
  if (args.empty()) args.assign(argv, argv + argc);
  if (args.empty()) return netsim::run_admin({});
  std::string program = netsim::tool_name(args[0]);
  args.erase(args.begin());
  if (program == "route" || program == "netsh" || program == "powershell.exe") return run_tool(program, args);
  return netsim::run_admin(args);
}
