#include "platform/process.h"

namespace brenmoor::platform {
namespace {

// The quoting that CommandLineToArgvW and the C runtime undo: backslashes are
// literal except in front of a quote, so a run of them is doubled when a quote (an
// escaped one, or the closing one) follows. Arguments needing no quotes stay bare.
void append_quoted(std::string& out, std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    out.append(arg);
    return;
  }
  out.push_back('"');
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out.push_back(arg[i]);
  }
  out.push_back('"');
}

}  // namespace

std::string build_command_line(std::string_view program, const std::vector<std::string>& args) {
  // The program name is read up to the next quote with no escapes at all, so it is
  // always quoted (spawn_process refuses a name containing a quote).
  std::string line = "\"";
  line.append(program);
  line.push_back('"');
  for (const auto& a : args) {
    line.push_back(' ');
    append_quoted(line, a);
  }
  return line;
}

std::optional<std::string> application_name(std::string_view program) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool unc_or_device = program.size() >= 2 && separator(program[0]) && separator(program[1]);
  const bool drive = program.size() >= 3 && ((program[0] >= 'A' && program[0] <= 'Z') || (program[0] >= 'a' && program[0] <= 'z')) &&
                     program[1] == ':' && separator(program[2]);
  if (unc_or_device || drive) return std::string(program);
  return std::nullopt;
}

std::optional<std::string> system_tool_path(std::string_view system_folder, std::string_view tool) {
  std::string_view below;
  if (system_folder.empty()) return std::nullopt;
  if (tool == "route") {
    below = "route.exe";
  } else if (tool == "netsh") {
    below = "netsh.exe";
  } else if (tool == "powershell.exe") {
    // Not in the system folder's root: left to the search order, any PATH folder
    // that holds a powershell.exe would win.
    below = "WindowsPowerShell\\v1.0\\powershell.exe";
  } else {
    return std::nullopt;
  }
  std::string path(system_folder);
  if (path.back() != '\\') path.push_back('\\');
  path.append(below);
  return path;
}

}  // namespace brenmoor::platform
