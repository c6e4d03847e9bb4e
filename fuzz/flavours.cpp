// fuzz::RunInput for a harness built for one or both flavours: the harness
// source is compiled once per flavour (KAV_FUZZ_NT, KAV_FUZZ_95 say which)
// and defines RunInput in that flavour's namespace; each input runs through
// every flavour, and a finding names the flavour that made it.
#include "harness.h"

namespace fuzz {

#ifdef KAV_FUZZ_NT
namespace kavnt {
Findings RunInput(const uint8_t *data, size_t size);
}
#endif
#ifdef KAV_FUZZ_95
namespace kav95 {
Findings RunInput(const uint8_t *data, size_t size);
}
#endif

namespace {

void AddFindings(Findings &all, const char *flavour, const Findings &findings) {
  for (const std::string &finding : findings) {
    all.push_back(std::string(flavour) + ": " + finding);
  }
}

} // namespace

Findings RunInput(const uint8_t *data, size_t size) {
  Findings all;
#ifdef KAV_FUZZ_NT
  AddFindings(all, "KAVNT", kavnt::RunInput(data, size));
#endif
#ifdef KAV_FUZZ_95
  AddFindings(all, "KAV95", kav95::RunInput(data, size));
#endif
  return all;
}

} // namespace fuzz
