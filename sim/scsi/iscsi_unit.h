// A logical unit that forwards every command it receives on the simulated
// bus to an iSCSI LUN (through libiscsi) and plays the LUN's answer back on
// the bus: a real SCSI device that nobody here wrote, behind the simulated
// card.
//
// Chosen behaviour:
// - The LUN is named by a URL, iscsi://[USER[%PASSWORD]@]HOST[:PORT]/IQN/LUN
//   (libiscsi reads it; the port is 3260 when none is given). Connecting
//   logs in, lets libiscsi collect the LUN's pending unit attentions, and
//   asks READ CAPACITY(10) for the block size (512 when the LUN does not
//   say). Every READ CAPACITY answer that passes through later updates it.
// - A command goes to the LUN with its CDB unchanged when the transfer
//   table (command_transfer.h) knows its operation code; its data phase is
//   planned from the CDB. Other operation codes get the target's ILLEGAL
//   REQUEST, INVALID COMMAND OPERATION CODE without reaching the LUN: their
//   direction cannot be known. REQUEST SENSE is the target's own (below).
// - A CDB whose data phase would carry more than 0xFFFFFF bytes (what the
//   chip's transfer counter holds) is not sent: ILLEGAL REQUEST, INVALID
//   FIELD IN CDB. Shorter ones pass unchanged, never split.
// - Data in: the unit asks the LUN for the bytes the CDB names and plays
//   back what the LUN sent, fewer when the LUN reports an underflow, so the
//   initiator sees the real residual.
// - Data out: the unit takes the bytes the CDB names from the bus, then
//   sends the command with the bytes it received. When the target's short
//   write knob cut the phase, the LUN gets fewer bytes than the CDB names
//   and decides (tgt stores the bytes received and reports GOOD); bytes the
//   bus did not carry never reach it.
// - Status: the LUN's status byte as it is. With CHECK CONDITION the LUN's
//   autosense becomes the unit's pending sense; the next REQUEST SENSE
//   returns those bytes as the LUN sent them.
// - Transport failures: each command waits for the LUN at most `timeoutMs`
//   of host time. A command that does not come back in time, or a
//   connection that drops, takes the unit offline for good: the session is
//   closed and that command and every later one get CHECK CONDITION,
//   HARDWARE ERROR, LOGICAL UNIT COMMUNICATION FAILURE (0x04/0x08/0x00);
//   `lastError()` says why. The unit does not reconnect on its own.
// - Time: the LUN's host time is not simulated time. The unit adds no busy
//   time of its own (the target's `commandNs` stands for it), so a run is
//   deterministic in everything but the LUN's answers.
// - A bus reset or BUS DEVICE RESET is not passed on: between two bus
//   commands nothing is outstanding at the LUN, and the target reports its
//   own unit attention after a reset.
// - The factory works in every build; where libiscsi was not found it
//   returns an error that says so.
#ifndef KAV_SIM_SCSI_ISCSI_UNIT_H
#define KAV_SIM_SCSI_ISCSI_UNIT_H

#include "target.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

struct IscsiOptions {
  std::string initiatorName = "iqn.2024-01.sim.kav:initiator";
  uint32_t timeoutMs = 30'000; // login and each command (logout: at most 2 s)
};

class IscsiUnit : public LogicalUnit {
public:
  static constexpr uint32_t MAX_TRANSFER_BYTES = 0xFFFFFF;

  virtual uint32_t blockSize() const = 0;
  virtual bool online() const = 0;
  // Why the unit went offline; empty while it is online.
  virtual const std::string &lastError() const = 0;
  // Commands sent to the LUN (those answered by the unit itself not counted).
  virtual uint64_t forwardedCommands() const = 0;
};

struct IscsiConnection {
  std::unique_ptr<IscsiUnit> unit; // null when the connection failed
  std::string error;               // one line: why it failed
};

// Whether this build can reach iSCSI LUNs (libiscsi was found).
bool IscsiSupported();

// Logs in to the LUN named by `url` and returns the unit, or an error.
IscsiConnection ConnectIscsiUnit(const std::string &url, const IscsiOptions &options = {});

} // namespace sim

#endif // KAV_SIM_SCSI_ISCSI_UNIT_H
