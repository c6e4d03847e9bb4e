#include "timing_model.h"

#include <algorithm>
#include <cstdio>

namespace kavbench {

uint64_t TimingModel::limitNs(uint64_t bytes, const sim::TransferAgreement &agreement) const {
  uint64_t accesses = (bytes + BLOCK_ACCESS_BYTES - 1) / BLOCK_ACCESS_BYTES;
  uint64_t hostNs = accesses * cost.dword;
  uint64_t byteNs = agreement.synchronous() ? agreement.periodNs() : ASYNC_BYTE_NS;
  uint64_t scsiNs = bytes * byteNs;
  return std::max(hostNs, scsiNs) + ARBITRATION_NS + FIXED_BYTES * ASYNC_BYTE_NS;
}

double TimingModel::megabytesPerSecond(uint64_t bytes, uint64_t nanoseconds) {
  return nanoseconds == 0 ? 0.0
                          : static_cast<double>(bytes) * 1e3 / static_cast<double>(nanoseconds);
}

std::string TimingModel::describe() const {
  char text[256];
  std::snprintf(
      text, sizeof(text),
      "%s: PC Card I/O %llu ns per 8-bit, %llu ns per 16-bit, %llu ns per 32-bit access; "
      "SCSI at the agreed period, asynchronous %llu ns per byte",
      NAME, static_cast<unsigned long long>(cost.byte), static_cast<unsigned long long>(cost.word),
      static_cast<unsigned long long>(cost.dword), static_cast<unsigned long long>(ASYNC_BYTE_NS));
  return text;
}

} // namespace kavbench
