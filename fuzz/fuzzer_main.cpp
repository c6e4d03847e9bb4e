// libFuzzer's entry: one input through the harness linked beside it. A
// finding is printed and stops the run, so that libFuzzer keeps the input.
#include "harness.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Findings findings = fuzz::RunInput(data, size);
  if (findings.empty()) {
    return 0;
  }
  for (const std::string &finding : findings) {
    std::fprintf(stderr, "finding: %s\n", finding.c_str());
  }
  std::abort();
}
