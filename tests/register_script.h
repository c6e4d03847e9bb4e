// A scripted register file in the chip's place, for tests of exact register
// sequences. It sits in the machine's I/O space like the chip would, and the
// driver reaches it through the real ScsiPort routines of our port driver.
//
// Behaviour:
// - The bank follows bit 7 of every value written to REG_CONTROL (offset 0xD,
//   present in both banks). The bank is 0 when the script is made.
// - Reads return scripted values per bank and register: first the queued
//   runs (a value repeated a number of times), in order, then the register's
//   default (0x00 unless set).
// - Buffer reads of REG_PIO_DATA in bank 1 take their bytes from one scripted
//   data stream; once it is used up they read 0xEE and the underrun is
//   counted. Every byte written to REG_PIO_DATA in bank 1, by buffer or by
//   single writes, is appended to a data sink.
// - Every access is logged in order with the bank in force: a REG_CONTROL
//   write with the bank it selects, every other access with the bank it was
//   made in. Consecutive identical single reads fold into one entry with a
//   repeat count, so that a wait of 16 million polls is one entry and costs
//   no memory.
#ifndef KAV_TESTS_REGISTER_SCRIPT_H
#define KAV_TESTS_REGISTER_SCRIPT_H

#include "machine.h"

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace script {

enum class Dir : uint8_t { Read, Write, BlockRead, BlockWrite };

// One logged access. Single accesses carry the byte in `value` and, for
// reads, the number of identical reads in a row in `count`. Buffer accesses
// carry the unit width (1, 2 or 4) in `value` and the number of units in
// `count`.
struct Access {
  Dir dir;
  uint8_t bank;
  uint8_t reg;
  uint32_t value;
  uint32_t count;

  bool operator==(const Access &other) const {
    return dir == other.dir && bank == other.bank && reg == other.reg && value == other.value &&
           count == other.count;
  }
  bool operator!=(const Access &other) const { return !(*this == other); }
};

std::ostream &operator<<(std::ostream &out, const Access &access);
std::string Describe(const std::vector<Access> &log);

// Builders for expected sequences. The digit is the bank.
inline Access R0(uint8_t reg, uint8_t value, uint32_t times = 1) {
  return {Dir::Read, 0, reg, value, times};
}
inline Access R1(uint8_t reg, uint8_t value, uint32_t times = 1) {
  return {Dir::Read, 1, reg, value, times};
}
inline Access W0(uint8_t reg, uint8_t value) {
  return {Dir::Write, 0, reg, value, 1};
}
inline Access W1(uint8_t reg, uint8_t value) {
  return {Dir::Write, 1, reg, value, 1};
}
// A write of REG_CONTROL; its bank is the one the value selects.
inline Access Control(uint8_t value) {
  return {Dir::Write, static_cast<uint8_t>(value >> 7), 0xD, value, 1};
}
// Buffer accesses of REG_PIO_DATA (bank 1).
inline Access PioIn(uint8_t width, uint32_t units) {
  return {Dir::BlockRead, 1, 0x4, width, units};
}
inline Access PioOut(uint8_t width, uint32_t units) {
  return {Dir::BlockWrite, 1, 0x4, width, units};
}

class RegisterScript : public sim::IoDevice {
public:
  static constexpr uint8_t CONTROL = 0xD;
  static constexpr uint8_t PIO_DATA = 0x4;
  static constexpr uint8_t UNDERRUN_BYTE = 0xEE;

  // ------------------------------------------------------------- script
  // Queues reads: each value once, in order.
  void queue(uint8_t bank, uint8_t reg, std::initializer_list<uint8_t> values);
  // Queues `times` reads of one value.
  void queueRun(uint8_t bank, uint8_t reg, uint8_t value, uint64_t times);
  // The value read once the queue of a register is used up.
  void setDefault(uint8_t bank, uint8_t reg, uint8_t value);
  // Appends bytes to the stream of buffer reads of REG_PIO_DATA.
  void queueData(const std::vector<uint8_t> &bytes);

  // ------------------------------------------------------------ results
  const std::vector<Access> &log() const { return log_; }
  void clearLog() { log_.clear(); }
  // Drops everything scripted, logged and counted, and the data written;
  // keeps the bank.
  void reset();
  // True when every queued read and every data byte has been read.
  bool allConsumed() const;
  // What is left, for failure messages.
  std::string unconsumed() const;
  uint64_t dataUnderrun() const { return underrun_; }
  const std::vector<uint8_t> &dataWritten() const { return written_; }
  uint8_t bank() const { return bank_; }
  // Puts the script in a bank without a logged access (test set-up).
  void setBank(uint8_t bank) { bank_ = bank & 1; }
  // Single reads of one register in one bank since the last reset.
  uint64_t readsOf(uint8_t bank, uint8_t reg) const { return reads_[bank][reg]; }

  // ---------------------------------------------------------- IoDevice
  uint32_t read(uint32_t offset, unsigned width) override;
  void write(uint32_t offset, unsigned width, uint32_t value) override;
  void readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count) override;
  void writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer, uint32_t count) override;

private:
  struct Run {
    uint8_t value;
    uint64_t left;
  };
  uint8_t nextRead(uint8_t reg);
  void logRead(uint8_t reg, uint8_t value);

  uint8_t bank_ = 0;
  std::deque<Run> queued_[2][16];
  uint8_t defaults_[2][16] = {};
  uint64_t reads_[2][16] = {};
  std::deque<uint8_t> data_;
  uint64_t underrun_ = 0;
  std::vector<uint8_t> written_;
  std::vector<Access> log_;
};

} // namespace script

#endif // KAV_TESTS_REGISTER_SCRIPT_H
