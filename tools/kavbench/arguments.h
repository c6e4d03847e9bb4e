// The bench's command line: conventional long options ("--name value" or
// "--name=value"), and config files holding the same options one per line.
//
// A config file line is an option without its dashes and its value, the
// value running to the end of the line ("options /AS2 /ND1", "disk 0=4M");
// blank lines and lines starting with "#" are skipped. Its options take
// effect where --config stands among the others: a later option overrides
// an earlier one, and disks and target knobs add up.
#ifndef KAV_TOOLS_KAVBENCH_ARGUMENTS_H
#define KAV_TOOLS_KAVBENCH_ARGUMENTS_H

#include "machine_description.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavbench {

enum class WorkloadKind : uint8_t {
  Read,   // READ(10), compared with what the disk is known to hold
  Write,  // WRITE(10) of fresh data, read back and compared
  Verify, // VERIFY(10) with the bytes the disk must hold (BYTCHK)
  Mix,    // each request one of the three, at random
};

enum class Pattern : uint8_t { Sequential, Random };

// Request sizes: multiples of 512 bytes up to what one READ(10) of the
// bench carries.
constexpr uint64_t LARGEST_REQUEST = 16u * 1024 * 1024 - 512;
constexpr uint64_t DEFAULT_COUNT = 48;
constexpr uint64_t DEFAULT_SOAK_COUNT = 100'000;
constexpr uint32_t DEFAULT_REQUEST_SIZE = 64 * 1024;
constexpr uint32_t DEFAULT_FAULT_PERCENT = 5;

struct WorkloadOptions {
  WorkloadKind kind = WorkloadKind::Mix;
  Pattern pattern = Pattern::Random;
  std::vector<uint32_t> sizes = {DEFAULT_REQUEST_SIZE};
  uint64_t count = DEFAULT_COUNT;
  std::optional<uint64_t> bytes; // instead of a count: requests until this many bytes
  uint64_t seed = 1;
};

// The soak's kinds of fault (soak.h), in the order of FAULT_NAMES.
constexpr size_t FAULT_KINDS = 6;
constexpr const char *FAULT_NAMES[FAULT_KINDS] = {"stall", "disconnect", "busy",
                                                  "short", "flood",      "surplus"};

struct BenchOptions {
  MachineDescription machine;
  WorkloadOptions workload;
  bool soak = false;
  uint32_t faultPercent = DEFAULT_FAULT_PERCENT; // soak: requests that meet a fault
  std::array<bool, FAULT_KINDS> faults = {true, true, true, true, true, true}; // kinds used
  bool trace = false;
  std::string vcdPath;
  bool json = false;
  bool help = false;
};

struct ParsedArguments {
  BenchOptions options;
  std::string error; // one line; empty when the arguments are sound
};

// The arguments after the program's name.
ParsedArguments ParseArguments(const std::vector<std::string> &arguments);

std::string HelpText();

const char *WorkloadName(WorkloadKind kind);

} // namespace kavbench

#endif
