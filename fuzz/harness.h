// The interface every fuzz harness implements. A harness is one source file
// that defines fuzz::RunInput: it turns the fuzzer's bytes into a scenario
// (an option string, a card, a target's behaviour), runs the driver through
// our port driver, and checks the invariants that must hold for any input.
//
// The same source is linked twice: into a libFuzzer executable
// (fuzzer_main.cpp, the fuzz tree), which stops at the first input with a
// finding, and into a replay test of the host tree (replay_test.cpp), which
// runs every file of the harness's corpus and fails on any finding.
#ifndef KAV_FUZZ_HARNESS_H
#define KAV_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The invariants one input broke, each said in a line; empty when all held.
using Findings = std::vector<std::string>;

Findings RunInput(const uint8_t *data, size_t size);

// Adds a finding when a condition does not hold.
inline void Check(Findings &findings, bool holds, const std::string &what) {
  if (!holds) {
    findings.push_back(what);
  }
}

} // namespace fuzz

#endif // KAV_FUZZ_HARNESS_H
