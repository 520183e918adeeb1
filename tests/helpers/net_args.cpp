// Test helper: prints every argument after the program name as "<length>:<bytes>\n",
// read from the system's own view of the command line (GetCommandLineW +
// CommandLineToArgvW on Windows), so a test sees exactly what arrived. Two
// options come before the rest:
//   --env NAME   also print "env:<value>\n" (or "env-unset\n") for that variable
//   --stdin      also print "stdin:<bytes read until end>\n"
//   --argv0      also print "argv0:<the command line's first word>\n"
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/env.h"
#include "platform/process_info.h"

int main() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  std::vector<std::string> args = brenmoor::platform::command_line_args();
  std::size_t i = 1;
  std::string out;
  while (i < args.size()) {
    if (args[i] == "--env" && i + 1 < args.size()) {
      auto v = brenmoor::platform::get_env(args[i + 1].c_str());
      out += v ? "env:" + *v + "\n" : std::string("env-unset\n");
      i += 2;
    } else if (args[i] == "--argv0") {
      out += "argv0:" + (args.empty() ? std::string() : args[0]) + "\n";
      i += 1;
    } else if (args[i] == "--stdin") {
      std::string in;
      int c;
      while ((c = std::getchar()) != EOF) in.push_back(static_cast<char>(c));
      out += "stdin:" + in + "\n";
      i += 1;
    } else {
      break;
    }
  }
  for (; i < args.size(); ++i) out += std::to_string(args[i].size()) + ":" + args[i] + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
