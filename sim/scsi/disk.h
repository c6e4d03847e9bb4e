// A direct-access disk unit: 512-byte blocks held in memory or in an image
// file.
//
// Chosen behaviour:
// - Commands: TEST UNIT READY, INQUIRY (standard data only; EVPD is an
//   invalid field), READ CAPACITY, READ(6), READ(10), WRITE(6), WRITE(10),
//   VERIFY(10) (BYTCHK compares the data sent), MODE SENSE(6) (header, one
//   block descriptor unless DBD, the caching page 0x08 for page 0x08 or
//   0x3F; saved values are not supported), START STOP UNIT, FORMAT UNIT.
//   REQUEST SENSE is the target's.
// - A READ(6) or WRITE(6) length of 0 means 256 blocks; a READ(10),
//   WRITE(10) or VERIFY length of 0 moves nothing.
// - A block range past the end gives ILLEGAL REQUEST, LBA OUT OF RANGE.
// - A stopped unit (START STOP UNIT with START clear) answers NOT READY,
//   INITIALIZING COMMAND REQUIRED to media access and TEST UNIT READY, until
//   it is started again.
// - Read-only units answer writes and FORMAT UNIT with DATA PROTECT, WRITE
//   PROTECTED, and show the write-protect bit in MODE SENSE.
// - FORMAT UNIT fills the medium with zeros and keeps the bus for
//   `formatNs` (10 s by default) before its status; with FMTDATA it first
//   takes a 4-byte parameter list header.
// - An image file is read and written in place; its length gives the block
//   count (whole blocks). A file that cannot be opened leaves a unit that
//   answers NOT READY, MEDIUM NOT PRESENT.
#ifndef KAV_SIM_SCSI_DISK_H
#define KAV_SIM_SCSI_DISK_H

#include "target.h"

#include <cstdio>
#include <string>
#include <vector>

namespace sim {

struct DiskOptions {
  uint32_t blocks = 2048; // 1 MiB; ignored with an image file
  std::string imagePath;  // empty: in memory
  bool readOnly = false;
  uint64_t formatNs = 10'000'000'000;
  const char *vendor = "KAVSIM";
  const char *product = "SIMULATED DISK";
  const char *revision = "1.0";
};

class DiskUnit : public LogicalUnit {
public:
  static constexpr uint32_t BLOCK_BYTES = 512;

  explicit DiskUnit(DiskOptions options = {});
  ~DiskUnit() override;
  DiskUnit(const DiskUnit &) = delete;
  DiskUnit &operator=(const DiskUnit &) = delete;

  const char *commandName(uint8_t operationCode) const override;
  Outcome execute(const uint8_t *cdb, std::vector<uint8_t> &data) override;
  Outcome finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                        uint32_t received) override;

  uint32_t blocks() const { return blocks_; }
  bool started() const { return started_; }
  bool mediumPresent() const { return present_; }
  DiskOptions &options() { return options_; }
  // Direct access to the medium, for tests.
  void readBlocks(uint32_t lba, uint32_t count, uint8_t *out);
  void writeBlocks(uint32_t lba, uint32_t count, const uint8_t *in);

private:
  using Handler = Outcome (DiskUnit::*)(const uint8_t *cdb, std::vector<uint8_t> &data);
  struct CommandEntry {
    uint8_t operationCode;
    const char *name;
    Handler handler;
  };
  static const CommandEntry COMMANDS[];
  const CommandEntry *find(uint8_t operationCode) const;

  Outcome testUnitReady(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome inquiry(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome readCapacity(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome read(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome write(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome verify(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome modeSense(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome startStopUnit(const uint8_t *cdb, std::vector<uint8_t> &data);
  Outcome formatUnit(const uint8_t *cdb, std::vector<uint8_t> &data);

  // The block range of a READ, WRITE or VERIFY CDB.
  struct Range {
    uint32_t lba;
    uint32_t count;
  };
  static Range rangeOf(const uint8_t *cdb);
  bool inRange(Range range) const;
  // The error, if any, that stops media access.
  bool notReady(Outcome &outcome) const;
  // What a READ, WRITE or VERIFY checks first: the unit is ready and the
  // blocks the CDB names are on the medium. False, with the answer in
  // `outcome`, when not.
  bool blocksReachable(const uint8_t *cdb, Range &range, Outcome &outcome) const;

  DiskOptions options_;
  uint32_t blocks_ = 0;
  std::vector<uint8_t> memory_;
  std::FILE *image_ = nullptr;
  bool present_ = true;
  bool started_ = true;
};

} // namespace sim

#endif // KAV_SIM_SCSI_DISK_H
