// kavbench: the driver at work as a user sees it. It loads a driver flavour
// into the simulated machine, shows its start-up and a bus scan, runs a
// verified workload (or a soak with injected faults) and prints a summary.
// See --help, and arguments.h for the config file format.
#include "arguments.h"
#include "run.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  kavbench::ParsedArguments parsed = kavbench::ParseArguments(arguments);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "kavbench: %s\n", parsed.error.c_str());
    return kavbench::EXIT_BAD_ARGUMENTS;
  }
  if (parsed.options.help) {
    std::fputs(kavbench::HelpText().c_str(), stdout);
    return kavbench::EXIT_CLEAN;
  }
  kavbench::RunResult result = kavbench::Run(parsed.options, kavbench::Console{});
  std::fflush(stdout);
  if (!result.error.empty()) {
    std::fprintf(stderr, "kavbench: %s\n", result.error.c_str());
  }
  return result.exitCode;
}
