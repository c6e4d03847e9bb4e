// The timing model behind the bench's "modelled throughput", written down in
// this one place; the summary names it.
//
// Simulated time is what the machine's clock shows (sim/machine): every port
// access costs the PC Card I/O cycles of its width, every stall its
// microseconds, and the chip and the targets act on the same clock. The
// figures of the 16-bit PC Card bus and the SCSI bus that the model uses:
// - one I/O cycle of 255 ns for an 8- or 16-bit access; a 32-bit access is
//   split into two 16-bit cycles, 510 ns. So 3.9 MB/s byte-wide and 7.8 MB/s
//   word-wide (16 or 32 bits);
// - the SCSI bus at the agreed synchronous period (period factor 25: 100 ns a
//   byte, 10 MB/s) or asynchronous (400 ns a byte, 2.5 MB/s).
//
// The modelled limit of a command that moves `bytes` of data is the least
// time those two buses allow, the host doing nothing but move the data:
//   data  = the slower of the PC Card bus moving the bytes in 32-bit
//           accesses (the driver's block width) and the SCSI bus moving
//           them at the agreement; the FIFOs let the two overlap;
//   fixed = arbitration (3.2 us) and the 13 bytes that every command of the
//           bench sends and receives asynchronously: IDENTIFY, a 10-byte
//           CDB, the status byte, COMMAND COMPLETE.
// The achieved figure divided by the limit shows what the driver's polling,
// the phase changes and the targets' own delays cost.
#ifndef KAV_TOOLS_KAVBENCH_TIMING_MODEL_H
#define KAV_TOOLS_KAVBENCH_TIMING_MODEL_H

#include "fas408_model.h"
#include "machine.h"
#include "target.h"

#include <cstdint>
#include <string>

namespace kavbench {

struct TimingModel {
  static constexpr const char *NAME = "pccard16";
  // The chip model's own figures.
  static constexpr uint64_t ARBITRATION_NS = sim::fas408::ARBITRATION_NS;
  static constexpr uint64_t ASYNC_BYTE_NS = sim::fas408::ASYNC_BYTE_NS;
  static constexpr uint32_t FIXED_BYTES = 13;
  static constexpr uint32_t BLOCK_ACCESS_BYTES = 4;

  sim::AccessCost cost; // the machine's, as configured

  // The least simulated time of one command moving `bytes`.
  uint64_t limitNs(uint64_t bytes, const sim::TransferAgreement &agreement) const;
  // Bytes per simulated second as MB/s (10^6 bytes).
  static double megabytesPerSecond(uint64_t bytes, uint64_t nanoseconds);
  // One line naming the model and its figures.
  std::string describe() const;
};

} // namespace kavbench

#endif
