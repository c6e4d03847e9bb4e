// What a command moves on the bus, read from its CDB alone: the direction of
// its data phase and the number of bytes. A unit that forwards commands to a
// device it does not model itself (the iSCSI unit) needs this before the
// device has answered, to plan the data phase and to tell the transport how
// much to expect.
//
// Chosen behaviour:
// - One table row per known operation code: its name, its direction and
//   where its length sits (an allocation or parameter list length in bytes,
//   or a block count to be multiplied by the block size). Every other
//   operation code is unknown, and the caller rejects it rather than guess a
//   direction.
// - READ(6) and WRITE(6) with a block count of 0 move 256 blocks.
// - VERIFY(10/12/16) sends its blocks only with BYTCHK (CDB byte 1 bit 1)
//   set; without it there is no data phase.
// - INQUIRY's allocation length is bytes 3 and 4 (a SCSI-2 initiator leaves
//   byte 3 zero).
// - SERVICE ACTION IN(16) (READ CAPACITY(16) and its kin) has its
//   allocation length in bytes 10 to 13.
// - The byte count is 64-bit: a READ(16) may ask for more than any data
//   phase can carry, and the caller bounds it.
#ifndef KAV_SIM_SCSI_COMMAND_TRANSFER_H
#define KAV_SIM_SCSI_COMMAND_TRANSFER_H

#include <cstdint>

namespace sim {

enum class TransferDirection : uint8_t { None, In, Out };

struct CommandTransfer {
  const char *name = nullptr; // nullptr: an operation code this table does not know
  TransferDirection direction = TransferDirection::None;
  uint64_t bytes = 0;
  bool known() const { return name != nullptr; }
};

// The name of a known operation code, or nullptr.
const char *TransferCommandName(uint8_t operationCode);

// The data phase of a CDB (at least CdbLengthOf(cdb[0]) bytes) for a unit
// with `blockSize`-byte blocks.
CommandTransfer TransferOf(const uint8_t *cdb, uint32_t blockSize);

} // namespace sim

#endif // KAV_SIM_SCSI_COMMAND_TRANSFER_H
