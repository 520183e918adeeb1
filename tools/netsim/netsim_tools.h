// The simulated `route`, `netsh` and `powershell.exe`: each accepts only the command
// forms the service sends (README.md lists them) and applies them to the state with
// the semantics of the real tool. Anything else is refused with kExitUnsupported, so
// a wrong command line fails a test instead of passing silently.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/netsim/netsim_state.h"

namespace netsim {

inline constexpr int kExitUnsupported = 9;

struct ToolResult {
  int exit_code = 0;
  std::string out;           // standard output bytes (CRLF line ends, as on Windows)
  std::string err;           // standard error bytes
  bool changed = false;      // the state (or a fault counter) changed and must be saved
  bool unsupported = false;  // not a command form the simulator knows
  bool hang = false;         // the "hang" fault: never exit
};

// "route", "netsh", "powershell.exe" or "netsim" from an argv[0] (directory and a
// trailing ".exe" stripped, case-insensitive on Windows; powershell keeps its ".exe").
std::string tool_name(std::string_view argv0);

// program followed by the arguments, joined with single spaces (what faults match).
std::string joined_command_line(std::string_view program, const std::vector<std::string>& args);

// One invocation of a simulated tool against the state, faults included. program is
// "route", "netsh" or "powershell.exe".
ToolResult invoke_tool(State& state, std::string_view program, const std::vector<std::string>& args);

// Matches a script against a template whose placeholders are {name:kind}:
//   lit  a PowerShell single-quoted literal ('it''s'), value unescaped
//   esc  the inside of a quoted literal whose quotes are in the template
//   word letters and digits (30, IPv4)
//   lits zero or more lit values joined by ",", collected into the list
// Everything else must match byte for byte, and the whole script must be used.
struct Captures {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> list;
  const std::string& get(std::string_view name) const;
};
std::optional<Captures> match_template(std::string_view tmpl, std::string_view script);

}  // namespace netsim
