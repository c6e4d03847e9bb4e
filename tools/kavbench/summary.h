// The summary of a workload or soak run, as text and as JSON: requests and
// commands, errors, retries, residuals, time-outs and bus resets, bytes
// moved and verified, port accesses per KiB moved by width, the modelled
// throughput of each kind of command beside the timing model's limit, the
// simulated and the host time, and the timing model's name.
#ifndef KAV_TOOLS_KAVBENCH_SUMMARY_H
#define KAV_TOOLS_KAVBENCH_SUMMARY_H

#include "json.h"
#include "machine_description.h"
#include "soak.h"
#include "workload.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kavbench {

struct Summary {
  std::string workload; // what ran, in words
  WorkloadStats stats;
  std::optional<SoakStats> soak;
  uint64_t srbs = 0;
  uint64_t retries = 0;
  uint64_t residuals = 0;
  uint64_t senseRequests = 0;
  uint64_t timeouts = 0;
  uint64_t busResets = 0;
  sim::AccessCounts accesses; // during the run
  // Of those, the accesses made while a data phase's transfer ran, by width.
  uint64_t dataPhaseAccesses[5] = {};
  uint64_t simulatedNs = 0;
  double hostSeconds = 0;
  std::string timingModel;
  std::vector<std::string> violations; // the port driver's

  uint64_t bytesMoved() const;
  // The data loops' own pattern, per KiB moved: data in takes one 8-bit
  // status read and 32 dword reads per 128 bytes, data out one status read
  // and 16 dword writes per 64 bytes (WRITE(10) and VERIFY(10) send data).
  double floorPerKiB8() const;
  double floorPerKiB32() const;
  // What makes the run fail: failed commands (in a soak, those of requests
  // without a fault of their own), data mismatches, violations, requests
  // left outstanding or not accounted for.
  uint64_t errors() const;
};

void PrintSummary(std::FILE *out, const Summary &summary);
void WriteSummaryJson(JsonWriter &json, const Summary &summary);

} // namespace kavbench

#endif
