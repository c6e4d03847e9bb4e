// What a class driver does on top of the port driver: bus scan, READ
// CAPACITY, block reads and writes, REQUEST SENSE after CHECK CONDITION (the
// adapter has no automatic request sense) and retries where a disk class
// driver retries.
//
// Chosen behaviour:
// - A command is retried, up to MAX_RETRIES times, after a bus reset, a
//   port-driver time-out, BUSY (SRB status or SCSI status), and CHECK
//   CONDITION with UNIT ATTENTION, ABORTED COMMAND or NOT READY "becoming
//   ready". A selection time-out and every other sense key end it at once.
// - The scan sends INQUIRY to LUN 0 of targets 0 to 6 (7 is the adapter);
//   a target that does not answer selection is absent. LUNs 1 to 7 are asked
//   only where LUN 0 answered. A LUN whose INQUIRY reports peripheral
//   qualifier 3 is not present. Present LUNs get TEST UNIT READY.
#ifndef KAV_SIM_CLASS_DRIVER_H
#define KAV_SIM_CLASS_DRIVER_H

#include "port_driver.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A 10-byte CDB of the READ(10) family: operation code, flags (byte 1),
// logical block address, transfer length in blocks.
std::vector<uint8_t> Cdb10(uint8_t operationCode, uint8_t flags, uint32_t lba, uint16_t blocks);

struct SenseData {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  std::vector<uint8_t> bytes;
};

struct CommandResult {
  uint8_t srbStatus = SRB_STATUS_PENDING;
  uint8_t scsiStatus = 0;
  uint32_t requested = 0;    // DataTransferLength asked for
  uint32_t transferred = 0;  // DataTransferLength at completion
  std::vector<uint8_t> data; // the buffer after completion (data in)
  std::optional<SenseData> sense;
  unsigned retries = 0;
  bool ok() const { return srbStatus == SRB_STATUS_SUCCESS; }
};

struct InquiryData {
  uint8_t peripheral = 0; // qualifier and device type, byte 0
  uint8_t deviceType() const { return peripheral & 0x1F; }
  std::string vendor, product, revision;
};

struct Capacity {
  uint32_t lastBlock = 0;
  uint32_t blockSize = 0;
  uint64_t bytes() const { return (static_cast<uint64_t>(lastBlock) + 1) * blockSize; }
};

struct ScanEntry {
  uint8_t target = 0, lun = 0;
  InquiryData inquiry;
  bool ready = false;
  std::optional<Capacity> capacity; // direct-access devices that are ready
};

struct ClassCounters {
  uint64_t commands = 0; // commands asked for (each counted once)
  uint64_t requests = 0; // SRBs sent, retries and REQUEST SENSE included
  uint64_t retries = 0;
  uint64_t errors = 0; // commands that failed after all retries
  uint64_t senseRequests = 0;
  uint64_t residuals = 0; // commands that moved fewer bytes than asked
};

class ClassDriver {
public:
  static constexpr unsigned MAX_RETRIES = 4;
  static constexpr uint8_t INITIATOR_ID = 7;

  explicit ClassDriver(PortDriver &port) : port_(port) {}

  // One command with REQUEST SENSE after CHECK CONDITION and retries.
  // dataInLength > 0 makes it a read; a non-empty dataOut a write.
  CommandResult command(uint8_t target, uint8_t lun, const std::vector<uint8_t> &cdb,
                        uint32_t dataInLength = 0, const std::vector<uint8_t> &dataOut = {},
                        uint32_t extraFlags = 0);

  std::vector<ScanEntry> scanBus();
  std::optional<InquiryData> inquiry(uint8_t target, uint8_t lun, CommandResult *result = nullptr);
  std::optional<Capacity> readCapacity(uint8_t target, uint8_t lun);
  CommandResult testUnitReady(uint8_t target, uint8_t lun);
  CommandResult readBlocks(uint8_t target, uint8_t lun, uint32_t lba, uint16_t blocks,
                           uint32_t blockSize);
  CommandResult writeBlocks(uint8_t target, uint8_t lun, uint32_t lba,
                            const std::vector<uint8_t> &data, uint32_t blockSize);

  const ClassCounters &counters() const { return counters_; }
  PortDriver &port() { return port_; }

  // Called before every SRB is sent, retries and REQUEST SENSE included:
  // a bench may change the machine between one request and the next.
  std::function<void(const RequestOrder &order)> beforeEachRequest;

private:
  CommandResult sendOnce(uint8_t target, uint8_t lun, const std::vector<uint8_t> &cdb,
                         uint32_t dataInLength, const std::vector<uint8_t> &dataOut,
                         uint32_t extraFlags);
  std::optional<SenseData> requestSense(uint8_t target, uint8_t lun);
  static bool worthRetrying(const CommandResult &result);

  PortDriver &port_;
  ClassCounters counters_;
};

} // namespace sim

#endif // KAV_SIM_CLASS_DRIVER_H
