// A SCSI target: the bus side (selection, the phase sequencer, messages,
// synchronous negotiation, disconnection and reselection) and the command
// side (logical units by LUN, each with its own command set).
//
// The two are kept apart. The phase sequencer plays a fixed-size script of
// bus steps (a phase with its bytes, a stall, bus free, a reselection); the
// command side only ever appends steps to it. A script that would grow past
// its capacity drops the step and counts an overflow.
//
// Chosen behaviour of the standard target:
// - Selection: the target answers with BSY `selectionResponseNs` after SEL.
//   With ATN it enters MESSAGE OUT and takes one message byte at a time for
//   as long as ATN stays asserted after the byte. Without ATN (or when it
//   ignores ATN) it goes straight to COMMAND and takes the LUN from bits 5-7
//   of CDB byte 1.
// - Messages received: IDENTIFY selects the LUN; SDTR is answered as the
//   options say (accept as offered, counter-propose, MESSAGE REJECT, or no
//   answer at all, which leaves the target asynchronous); ABORT drops the
//   task and frees the bus; BUS DEVICE RESET resets the target and frees the
//   bus; NO OPERATION is ignored; anything else gets a MESSAGE REJECT.
// - A target may propose SDTR itself, after the IDENTIFY, once after each
//   reset. An initiator that lets the message pass without rejecting it
//   (ATN stays deasserted) is taken to have accepted it.
// - The agreement is what the target answered (or proposed); MESSAGE REJECT,
//   no answer, offset 0 and every reset make it asynchronous.
// - The command phase takes 6, 10, 12 or 16 bytes by the operation code's
//   group (groups 3, 6 and 7 take 6). While the command runs the target
//   keeps driving the lines of the command phase without REQ; the next phase
//   begins `commandNs` (plus the unit's own busy time) after the last CDB
//   byte.
// - Unit attention (on by default): after power-on, a bus reset or a BUS
//   DEVICE RESET every unit answers its first command other than INQUIRY and
//   REQUEST SENSE with CHECK CONDITION, UNIT ATTENTION, POWER ON OR RESET.
// - A LUN without a unit: INQUIRY returns peripheral qualifier 3 (0x7F);
//   REQUEST SENSE and every other command report ILLEGAL REQUEST, LOGICAL
//   UNIT NOT SUPPORTED. An operation code the unit does not support gives
//   ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE. These, and every error a
//   unit reports, go through one exit: CHECK CONDITION with the sense kept
//   for the next REQUEST SENSE of that LUN, which returns it and clears it.
//   The sense is fixed-format data built from key, ASC and ASCQ, unless the
//   unit gave its own sense bytes (a unit that forwards to a real device),
//   which REQUEST SENSE then returns as they are, cut to the allocation
//   length.
// - Ending: STATUS, MESSAGE IN with COMMAND COMPLETE, and bus free
//   `busFreeNs` after the message byte has been accepted.
// - Short reads and writes move fewer bytes than the command asks and still
//   end with GOOD status (a target whose command asked for less than the
//   initiator's buffer); a write then stores the whole blocks received.
// - A disconnecting target sends SAVE DATA POINTER (optional) and DISCONNECT,
//   frees the bus, and tries to reselect `reselectDelayNs` later. An
//   unanswered attempt is retried every `reselectRetryNs` (the reselection
//   time-out) up to `reselectAttempts` times; then the task is dropped. After
//   a reselection it sends IDENTIFY in MESSAGE IN and goes on.
// - A selection while a task is disconnected drops that task.
// - Misbehaviour knobs: a stalled phase shows its lines and never asks for a
//   byte (the bus is held until a reset); a target that stops answering in
//   the data phase does so after `stallAtByte` bytes, the same way; a target
//   that drops the bus frees it as it would enter its `busFreeIn` phase, the
//   task dropped, no message sent; extra data-in bytes follow the
//   command's data (0xEE each); a message flood is that many copies of one
//   byte in one MESSAGE IN phase before the data or status; a busy target
//   answers BUSY without running the command; a target that does not answer
//   selection lets the initiator time out.
// - The data transfer rate is the initiator's; `byteNs` sets the slowest a
//   target allows per byte.
#ifndef KAV_SIM_SCSI_TARGET_H
#define KAV_SIM_SCSI_TARGET_H

#include "bus.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// ------------------------------------------------------------ SCSI values

namespace scsi_status {
constexpr uint8_t GOOD = 0x00;
constexpr uint8_t CHECK_CONDITION = 0x02;
constexpr uint8_t BUSY = 0x08;
} // namespace scsi_status

namespace message {
constexpr uint8_t COMMAND_COMPLETE = 0x00;
constexpr uint8_t EXTENDED = 0x01;
constexpr uint8_t SAVE_DATA_POINTER = 0x02;
constexpr uint8_t RESTORE_POINTERS = 0x03;
constexpr uint8_t DISCONNECT = 0x04;
constexpr uint8_t ABORT = 0x06;
constexpr uint8_t MESSAGE_REJECT = 0x07;
constexpr uint8_t NO_OPERATION = 0x08;
constexpr uint8_t BUS_DEVICE_RESET = 0x0C;
constexpr uint8_t IDENTIFY = 0x80;
constexpr uint8_t IDENTIFY_DISCONNECT_PRIVILEGE = 0x40;
constexpr uint8_t SDTR_LENGTH = 3;
constexpr uint8_t SDTR_CODE = 0x01;
} // namespace message

namespace opcode {
constexpr uint8_t TEST_UNIT_READY = 0x00;
constexpr uint8_t REQUEST_SENSE = 0x03;
constexpr uint8_t FORMAT_UNIT = 0x04;
constexpr uint8_t READ6 = 0x08;
constexpr uint8_t WRITE6 = 0x0A;
constexpr uint8_t INQUIRY = 0x12;
constexpr uint8_t MODE_SENSE6 = 0x1A;
constexpr uint8_t START_STOP_UNIT = 0x1B;
constexpr uint8_t READ_CAPACITY = 0x25;
constexpr uint8_t READ10 = 0x28;
constexpr uint8_t WRITE10 = 0x2A;
constexpr uint8_t VERIFY10 = 0x2F;
} // namespace opcode

struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool operator==(const Sense &other) const {
    return key == other.key && asc == other.asc && ascq == other.ascq;
  }
};

namespace sense {
constexpr Sense NO_SENSE{0x00, 0x00, 0x00};
constexpr Sense NOT_READY_START_REQUIRED{0x02, 0x04, 0x02};
constexpr Sense MEDIUM_NOT_PRESENT{0x02, 0x3A, 0x00};
constexpr Sense MEDIUM_ERROR_UNRECOVERED_READ{0x03, 0x11, 0x00};
constexpr Sense INVALID_COMMAND_OPERATION_CODE{0x05, 0x20, 0x00};
constexpr Sense LBA_OUT_OF_RANGE{0x05, 0x21, 0x00};
constexpr Sense INVALID_FIELD_IN_CDB{0x05, 0x24, 0x00};
constexpr Sense LOGICAL_UNIT_NOT_SUPPORTED{0x05, 0x25, 0x00};
constexpr Sense SAVING_PARAMETERS_NOT_SUPPORTED{0x05, 0x39, 0x00};
constexpr Sense POWER_ON_OR_RESET{0x06, 0x29, 0x00};
constexpr Sense WRITE_PROTECTED{0x07, 0x27, 0x00};
constexpr Sense MISCOMPARE{0x0E, 0x1D, 0x00};
} // namespace sense

// Bytes of a CDB by the group of its operation code.
uint8_t CdbLengthOf(uint8_t operationCode);

// What a logical unit answers to a command.
struct Outcome {
  enum class Kind : uint8_t { Status, DataIn, DataOut };
  Kind kind = Kind::Status;
  uint8_t status = scsi_status::GOOD;
  Sense sense;                    // kept for REQUEST SENSE when the status is CHECK CONDITION
  std::vector<uint8_t> senseData; // the unit's own sense bytes, if any (at most 255)
  uint32_t length = 0;            // data in: bytes placed in the buffer; data out: bytes wanted
  uint64_t busyNs = 0;            // the unit's own time before the next phase

  static Outcome good() { return Outcome{}; }
  static Outcome check(Sense sense) {
    Outcome outcome;
    outcome.status = scsi_status::CHECK_CONDITION;
    outcome.sense = sense;
    return outcome;
  }
  static Outcome dataIn(uint32_t length) {
    Outcome outcome;
    outcome.kind = Kind::DataIn;
    outcome.length = length;
    return outcome;
  }
  static Outcome dataOut(uint32_t length) {
    Outcome outcome;
    outcome.kind = Kind::DataOut;
    outcome.length = length;
    return outcome;
  }
};

// A logical unit's command set. The target handles REQUEST SENSE, unit
// attention, missing units and unsupported operation codes itself.
class LogicalUnit {
public:
  virtual ~LogicalUnit() = default;
  // The name of a supported operation code, or nullptr.
  virtual const char *commandName(uint8_t operationCode) const = 0;
  // Runs a supported command. Data in goes into `data` (Outcome::dataIn);
  // data out is asked for with Outcome::dataOut and handed to finishDataOut.
  virtual Outcome execute(const uint8_t *cdb, std::vector<uint8_t> &data) = 0;
  virtual Outcome finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                                uint32_t received);
  // A bus reset or BUS DEVICE RESET.
  virtual void reset() {}
};

// ------------------------------------------------------------ target knobs

enum class SdtrAnswer : uint8_t {
  Accept,         // echo the offer
  CounterPropose, // answer with counterPeriod and counterOffset
  Reject,         // MESSAGE REJECT
  Ignore,         // no answer: straight on to the command phase
};

struct TargetTiming {
  uint64_t selectionResponseNs = 1'000;
  uint64_t phaseNs = 1'000;    // between one phase and the next
  uint64_t commandNs = 20'000; // from the last CDB byte to the next phase
  uint64_t busFreeNs = 500;    // from the last message byte to bus free
  uint64_t byteNs = 0;         // the shortest time per byte the target allows
  uint64_t reselectDelayNs = 1'000'000;
  uint64_t reselectRetryNs = 250'000'000;
};

constexpr uint32_t NO_LIMIT = ~0u;

struct TargetOptions {
  bool respondsToSelection = true;
  bool ignoresAtn = false;
  bool unitAttentionOnReset = true;
  SdtrAnswer sdtrAnswer = SdtrAnswer::Accept;
  uint8_t counterPeriod = 50;
  uint8_t counterOffset = 8;
  bool proposesSdtr = false;
  uint8_t proposedPeriod = 25;
  uint8_t proposedOffset = 15;
  // Disconnect once per command: at this byte of the data phase (0: after
  // the command phase, before any data or status).
  bool disconnects = false;
  uint32_t disconnectAtByte = 0;
  bool saveDataPointer = true;
  uint32_t reselectAttempts = 1;
  bool restorePointersBeforeData = false;
  bool identifyBeforeData = false;
  uint32_t shortReadBytes = NO_LIMIT;  // at most this many bytes of data in
  uint32_t shortWriteBytes = NO_LIMIT; // at most this many bytes of data out
  uint32_t extraDataInBytes = 0;       // sent beyond what the command asked
  std::optional<Phase> stallIn;        // never REQ in this phase
  uint32_t stallAtByte = NO_LIMIT;     // never REQ again after this byte of a data phase
  std::optional<Phase> busFreeIn;      // free the bus instead of entering this phase
  uint32_t messageFloodBytes = 0;      // MESSAGE IN bytes before the data or status
  uint8_t floodByte = message::NO_OPERATION;
  uint32_t busyCommands = 0; // answer BUSY to this many commands
  TargetTiming timing;
};

struct TransferAgreement {
  uint8_t periodFactor = 0; // units of 4 ns
  uint8_t offset = 0;       // 0: asynchronous
  bool synchronous() const { return offset != 0; }
  uint32_t periodNs() const { return periodFactor * 4u; }
};

// ------------------------------------------------------------ the sequencer

enum class StepKind : uint8_t { Transfer, Stall, BusFree, Reselect };
// What the target does when a step's last byte has been acknowledged.
enum class StepEnd : uint8_t { None, MessageOutByte, CommandByte, CommandDone, DataOutDone };

struct BusStep {
  StepKind kind = StepKind::Transfer;
  Phase phase = Phase::DataOut;
  StepEnd end = StepEnd::None;
  bool fromData = false; // bytes come from or go to the data buffer at `offset`
  bool repeat = false;   // every byte is bytes[0]
  uint8_t bytes[8] = {};
  uint32_t offset = 0;
  uint32_t length = 0;
  uint64_t delayNs = 0; // from the end of the previous step to its first REQ
};

class StepScript {
public:
  static constexpr size_t CAPACITY = 24;
  bool pushBack(const BusStep &step);
  bool pushFront(const BusStep &step);
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  const BusStep &front() const { return steps_[head_]; }
  void popFront();
  void clear() { head_ = count_ = 0; }
  uint32_t overflows() const { return overflows_; }

private:
  BusStep steps_[CAPACITY];
  size_t head_ = 0;
  size_t count_ = 0;
  uint32_t overflows_ = 0;
};

// ----------------------------------------------------------------- target

class Target : public BusParticipant {
public:
  Target(ScsiBus &bus, uint8_t id, TargetOptions options = {});
  ~Target() override = default;

  uint8_t id() const { return id_; }
  TargetOptions &options() { return options_; }
  // Places a unit at a LUN (not owned). A unit placed after power-on starts
  // with its unit attention pending too.
  void setUnit(uint8_t lun, LogicalUnit *unit);
  LogicalUnit *unit(uint8_t lun) const { return lun < 8 ? units_[lun].unit : nullptr; }

  // --------------------------------------------------- what the chip uses
  // When REQ is (or was) asserted for the next byte; NEVER when not.
  uint64_t requestAt() const { return requestAt_; }
  Phase requestPhase() const { return script_.front().phase; }
  uint8_t takeByte(uint64_t time);
  void giveByte(uint64_t time, uint8_t byte);
  void acknowledge(uint64_t time);
  // Runs: the bytes of a data phase moved in one step when nothing watches
  // the bus byte by byte. A run starts with the byte requested now and
  // stops before the step's last byte, whose acknowledgement ends the step
  // through acknowledge(). `runnableBytes` is how long a run may be (0 when
  // no run can start); a run of `count` bytes, the first at `first` and one
  // every `periodNs`, leaves the target as that many takeByte (or giveByte)
  // and acknowledge calls would.
  uint32_t runnableBytes() const;
  void takeRun(uint64_t first, uint64_t periodNs, uint8_t *out, uint32_t count);
  void giveRun(uint64_t first, uint64_t periodNs, const uint8_t *in, uint32_t count);
  uint64_t byteNs() const { return options_.timing.byteNs; }
  const TransferAgreement &agreement() const { return agreement_; }

  // --------------------------------------------------- what the bus uses
  void selected(uint64_t time, bool atn);
  void selectionAbandoned();
  void busReset(uint64_t time);
  void wake(uint64_t time) override;

  // --------------------------------------------------- what tests look at
  bool connected() const { return state_ == State::Connected; }
  bool taskPending() const { return state_ == State::Disconnected; }
  uint64_t commands() const { return commands_; }
  const std::vector<uint8_t> &lastCdb() const { return lastCdb_; }
  // The message-out bytes of the latest connection.
  const std::vector<uint8_t> &messageOut() const { return messageOut_; }
  uint8_t lun() const { return lun_; }
  bool unitAttentionPending(uint8_t lun) const { return lun < 8 && units_[lun].unitAttention; }
  const Sense &senseOf(uint8_t lun) const { return units_[lun & 7].sense; }
  uint32_t scriptOverflows() const { return script_.overflows(); }
  uint32_t reselectionAttempts() const { return reselectionAttempts_; }

protected:
  // The connection begins: the standard target plans its message-out or
  // command phase; a scripted target plays its list instead.
  virtual void beginConnection(uint64_t time, bool atn);
  // A step that wants an action at its end.
  virtual void stepEnded(uint64_t time, const BusStep &step);

  void push(const BusStep &step);
  void pushFront(const BusStep &step);
  // Starts the step at the front of the script after its delay.
  void scheduleNextStep(uint64_t time);
  static BusStep transfer(Phase phase, uint64_t delayNs, StepEnd end = StepEnd::None);
  static BusStep message(uint64_t delayNs, std::initializer_list<uint8_t> bytes);
  static BusStep fromData(Phase phase, uint32_t offset, uint32_t length, uint64_t delayNs,
                          StepEnd end = StepEnd::None);
  static BusStep special(StepKind kind, uint64_t delayNs);

  ScsiBus &bus_;
  std::vector<uint8_t> data_; // data phases move bytes from and to here

private:
  enum class State : uint8_t { Idle, Responding, Connected, Disconnected, Reselecting };
  enum class Pending : uint8_t { None, Respond, StartStep };

  struct UnitSlot {
    LogicalUnit *unit = nullptr;
    bool unitAttention = false;
    Sense sense;
    std::vector<uint8_t> senseData; // returned as they are when not empty
  };

  void startStep(uint64_t time);
  void endStep(uint64_t time);
  void releaseBus(uint64_t time);
  void attemptReselection(uint64_t time);
  uint8_t stepByte(const BusStep &step, uint32_t index) const;

  void messagesReceived(uint64_t time);
  void answerSdtr(uint8_t period, uint8_t offset);
  void executeCommand(uint64_t time);
  Outcome runCommand(UnitSlot &slot);
  Outcome requestSense(UnitSlot &slot, bool unitPresent);
  void keepSense(UnitSlot &slot, const Outcome &outcome);
  void planAfterCommand(uint64_t time, const Outcome &outcome);
  void planDataPhase(Phase phase, uint32_t length, uint64_t delayNs, StepEnd end);
  void planDisconnect(uint64_t delayNs);
  void planEnding(uint8_t status, uint64_t delayNs);
  void resetTarget();

  uint8_t id_;
  TargetOptions options_;
  UnitSlot units_[8];
  StepScript script_;
  State state_ = State::Idle;
  Pending pending_ = Pending::None;
  uint64_t requestAt_ = NEVER;
  uint32_t done_ = 0; // bytes of the current step acknowledged
  bool stepStarted_ = false;

  uint8_t lun_ = 0;
  bool identified_ = false;
  std::vector<uint8_t> messageOut_;
  uint8_t cdb_[16] = {};
  uint8_t cdbLength_ = 0;
  std::vector<uint8_t> lastCdb_;
  TransferAgreement agreement_;
  bool ownSdtrSent_ = false;
  bool atnAtSelection_ = false;
  uint32_t busyAnswered_ = 0;
  uint32_t reselectsLeft_ = 0;
  uint32_t reselectionAttempts_ = 0;
  uint64_t commands_ = 0;
  bool disconnectPlanned_ = false;
};

} // namespace sim

#endif // KAV_SIM_SCSI_TARGET_H
