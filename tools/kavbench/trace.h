// The register-level trace (--trace): one line for every port access the
// driver makes, as it happens: the simulated time, the port as the driver
// addressed it, the chip's bank, the register's name, the direction, the
// value, and what a command, status or control value means.
//
// The bank is followed from the driver's writes to REG_CONTROL, as the chip
// itself follows them. Accesses to the socket controller's index and data
// ports name the register index in effect.
#ifndef KAV_TOOLS_KAVBENCH_TRACE_H
#define KAV_TOOLS_KAVBENCH_TRACE_H

#include "machine.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace kavbench {

struct TraceLayout {
  uint32_t chipPort = 0x340;
  uint32_t decodeMask = 0x3FF; // the ISA alias: 10 address bits
  bool hasPcic = false;
  uint32_t pcicPort = 0x3E0;
};

class RegisterTrace {
public:
  RegisterTrace(std::FILE *out, const TraceLayout &layout);

  void header();
  // A read that repeats the one before it (the same port and value: a poll
  // that sees nothing new) is not listed again; one line tells how often it
  // repeated and until when.
  void access(const sim::IoAccess &access);
  // Lists the repeats still pending.
  void finish();
  // The text of one access, without the trailing newline; follows the bank.
  std::string line(const sim::IoAccess &access);

private:
  std::string chipLine(const sim::IoAccess &access, uint32_t offset);
  std::string pcicLine(const sim::IoAccess &access, uint32_t offset);

  bool repeats(const sim::IoAccess &access) const;

  std::FILE *out_;
  TraceLayout layout_;
  bool havePrevious_ = false;
  sim::IoAccess previous_{};
  uint64_t repeated_ = 0;
  uint8_t bank_ = 0;
  uint8_t pcicIndex_ = 0;
};

// What a value means, by register: "" when there is nothing to add.
std::string CommandName(uint8_t command);
std::string DecodeStatus(uint8_t status);
std::string DecodeInterrupt(uint8_t causes);
std::string DecodePioStatus(uint8_t status);

} // namespace kavbench

#endif
