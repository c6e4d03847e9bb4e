// One bench run from start to end: build the machine, load the driver and
// show its start-up, scan the bus, run the workload or the soak, and show
// the summary; with the register trace and the bus waveform when asked.
#ifndef KAV_TOOLS_KAVBENCH_RUN_H
#define KAV_TOOLS_KAVBENCH_RUN_H

#include "arguments.h"
#include "scan.h"
#include "summary.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kavbench {

enum ExitCode : int {
  EXIT_CLEAN = 0,         // the run had no error
  EXIT_RUN_FAILED = 1,    // the driver did not start, or the run had errors
  EXIT_BAD_ARGUMENTS = 2, // bad arguments, or a machine that cannot be built
};

struct Console {
  std::FILE *out = stdout;
  std::FILE *err = stderr;
  std::FILE *progress = stderr; // drawn on only when it is a terminal; nullptr: never
};

struct RunResult {
  int exitCode = EXIT_CLEAN;
  std::string error; // one line, for EXIT_BAD_ARGUMENTS and a driver that did not start
  std::vector<ScanRow> scan;
  std::optional<Summary> summary;
};

// Runs the bench; everything but `error` is written to the console as it goes.
RunResult Run(const BenchOptions &options, const Console &console);

} // namespace kavbench

#endif
