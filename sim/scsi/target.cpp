#include "target.h"

#include <algorithm>
#include <cstring>

namespace sim {

uint8_t CdbLengthOf(uint8_t operationCode) {
  switch (operationCode >> 5) {
  case 1:
  case 2:
    return 10;
  case 4:
    return 16;
  case 5:
    return 12;
  default:
    return 6;
  }
}

Outcome LogicalUnit::finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                                   uint32_t received) {
  (void)cdb;
  (void)data;
  (void)received;
  return Outcome::good();
}

// ------------------------------------------------------------ step script

bool StepScript::pushBack(const BusStep &step) {
  if (count_ == CAPACITY) {
    overflows_++;
    return false;
  }
  steps_[(head_ + count_) % CAPACITY] = step;
  count_++;
  return true;
}

bool StepScript::pushFront(const BusStep &step) {
  if (count_ == CAPACITY) {
    overflows_++;
    return false;
  }
  head_ = (head_ + CAPACITY - 1) % CAPACITY;
  steps_[head_] = step;
  count_++;
  return true;
}

void StepScript::popFront() {
  if (count_ > 0) {
    head_ = (head_ + 1) % CAPACITY;
    count_--;
  }
}

// ------------------------------------------------------------ step builders

BusStep Target::transfer(Phase phase, uint64_t delayNs, StepEnd end) {
  BusStep step;
  step.phase = phase;
  step.length = 1;
  step.delayNs = delayNs;
  step.end = end;
  return step;
}

BusStep Target::message(uint64_t delayNs, std::initializer_list<uint8_t> bytes) {
  BusStep step;
  step.phase = Phase::MessageIn;
  step.delayNs = delayNs;
  for (uint8_t byte : bytes) {
    if (step.length < sizeof(step.bytes)) {
      step.bytes[step.length++] = byte;
    }
  }
  return step;
}

BusStep Target::fromData(Phase phase, uint32_t offset, uint32_t length, uint64_t delayNs,
                         StepEnd end) {
  BusStep step;
  step.phase = phase;
  step.fromData = true;
  step.offset = offset;
  step.length = length;
  step.delayNs = delayNs;
  step.end = end;
  return step;
}

BusStep Target::special(StepKind kind, uint64_t delayNs) {
  BusStep step;
  step.kind = kind;
  step.delayNs = delayNs;
  step.length = 0;
  return step;
}

// ------------------------------------------------------------------ target

Target::Target(ScsiBus &bus, uint8_t id, TargetOptions options)
    : bus_(bus), id_(id & 7), options_(std::move(options)) {
  bus_.attachTarget(this);
}

void Target::setUnit(uint8_t lun, LogicalUnit *unit) {
  UnitSlot &slot = units_[lun & 7];
  slot.unit = unit;
  slot.unitAttention = unit != nullptr && options_.unitAttentionOnReset;
  slot.sense = sense::NO_SENSE;
  slot.senseData.clear();
}

void Target::push(const BusStep &step) {
  BusStep adjusted = step;
  if (options_.stallIn && step.kind == StepKind::Transfer && step.phase == *options_.stallIn) {
    adjusted.kind = StepKind::Stall;
  }
  script_.pushBack(adjusted);
}

void Target::pushFront(const BusStep &step) {
  script_.pushFront(step);
}

// ------------------------------------------------------------ bus events

void Target::selected(uint64_t time, bool atn) {
  if (!options_.respondsToSelection) {
    return;
  }
  if (state_ != State::Idle && state_ != State::Disconnected) {
    return;
  }
  // A new selection replaces a task that waits to reselect.
  script_.clear();
  state_ = State::Responding;
  pending_ = Pending::Respond;
  atnAtSelection_ = atn;
  bus_.wakeAt(*this, time + options_.timing.selectionResponseNs);
}

void Target::selectionAbandoned() {
  if (state_ == State::Responding) {
    state_ = State::Idle;
    pending_ = Pending::None;
    bus_.wakeAt(*this, NEVER);
  }
}

void Target::busReset(uint64_t time) {
  script_.clear();
  state_ = State::Idle;
  pending_ = Pending::None;
  requestAt_ = NEVER;
  stepStarted_ = false;
  done_ = 0;
  bus_.wakeAt(*this, NEVER);
  bus_.drive(*this, 0, time);
  resetTarget();
}

void Target::resetTarget() {
  agreement_ = TransferAgreement{};
  ownSdtrSent_ = false;
  for (UnitSlot &slot : units_) {
    if (slot.unit != nullptr) {
      slot.unitAttention = options_.unitAttentionOnReset;
      slot.sense = sense::NO_SENSE;
      slot.senseData.clear();
      slot.unit->reset();
    }
  }
}

void Target::wake(uint64_t time) {
  Pending pending = pending_;
  pending_ = Pending::None;
  switch (pending) {
  case Pending::Respond:
    state_ = State::Connected;
    bus_.drive(*this, line::BSY, time);
    bus_.recorder.record({time, BusEvent::Kind::Selection, id_, Phase::DataOut,
                          static_cast<uint8_t>(atnAtSelection_)});
    bus_.targetResponded(time, *this);
    beginConnection(time, atnAtSelection_);
    break;
  case Pending::StartStep:
    startStep(time);
    break;
  case Pending::None:
    break;
  }
}

// ------------------------------------------------------------ the sequencer

void Target::scheduleNextStep(uint64_t time) {
  if (script_.empty()) {
    return;
  }
  pending_ = Pending::StartStep;
  bus_.wakeAt(*this, time + script_.front().delayNs);
}

void Target::startStep(uint64_t time) {
  if (script_.empty()) {
    return;
  }
  const BusStep &step = script_.front();
  switch (step.kind) {
  case StepKind::Transfer:
  case StepKind::Stall: {
    if (options_.busFreeIn && step.phase == *options_.busFreeIn) {
      script_.clear(); // the task is dropped
      releaseBus(time);
      return;
    }
    uint32_t lines = line::BSY | phaseLines(step.phase);
    if ((bus_.lines() & (line::BSY | line::PHASE)) != lines || !stepStarted_) {
      bus_.recorder.record({time, BusEvent::Kind::Phase, id_, step.phase, 0});
    }
    bus_.drive(*this, lines, time);
    stepStarted_ = true;
    done_ = 0;
    if (step.kind == StepKind::Stall) {
      requestAt_ = NEVER; // the lines stay, REQ never comes
      return;
    }
    if (step.length == 0) {
      endStep(time);
      return;
    }
    requestAt_ = time;
    bus_.targetRequest(time, *this);
    return;
  }
  case StepKind::BusFree:
    script_.popFront();
    releaseBus(time);
    return;
  case StepKind::Reselect:
    attemptReselection(time);
    return;
  }
}

uint8_t Target::stepByte(const BusStep &step, uint32_t index) const {
  if (step.repeat) {
    return step.bytes[0];
  }
  if (step.fromData) {
    size_t at = static_cast<size_t>(step.offset) + index;
    return at < data_.size() ? data_[at] : 0xFF;
  }
  return index < sizeof(step.bytes) ? step.bytes[index] : 0xFF;
}

uint8_t Target::takeByte(uint64_t time) {
  const BusStep &step = script_.front();
  uint8_t byte = stepByte(step, done_);
  requestAt_ = NEVER;
  bus_.statistics.bytes++;
  bus_.recorder.record({time, BusEvent::Kind::Byte, id_, step.phase, byte});
  return byte;
}

void Target::giveByte(uint64_t time, uint8_t byte) {
  const BusStep &step = script_.front();
  if (step.fromData) {
    size_t at = static_cast<size_t>(step.offset) + done_;
    if (at < data_.size()) {
      data_[at] = byte;
    }
  }
  if (step.phase == Phase::MessageOut && messageOut_.size() < 256) {
    messageOut_.push_back(byte);
  }
  if (step.phase == Phase::Command && cdbLength_ < sizeof(cdb_)) {
    cdb_[cdbLength_++] = byte;
  }
  requestAt_ = NEVER;
  bus_.statistics.bytes++;
  bus_.recorder.record({time, BusEvent::Kind::Byte, id_, step.phase, byte});
}

uint32_t Target::runnableBytes() const {
  if (state_ != State::Connected || script_.empty() || !stepStarted_ || requestAt_ == NEVER) {
    return 0;
  }
  const BusStep &step = script_.front();
  if (step.kind != StepKind::Transfer || !isDataPhase(step.phase) || done_ + 1 >= step.length) {
    return 0;
  }
  return step.length - done_ - 1;
}

void Target::takeRun(uint64_t first, uint64_t periodNs, uint8_t *out, uint32_t count) {
  const BusStep &step = script_.front();
  if (step.fromData && !step.repeat) {
    size_t at = static_cast<size_t>(step.offset) + done_;
    size_t held = at < data_.size() ? std::min<size_t>(count, data_.size() - at) : 0;
    std::memcpy(out, data_.data() + at, held);
    std::memset(out + held, 0xFF, count - held);
  } else {
    for (uint32_t i = 0; i < count; i++) {
      out[i] = stepByte(step, done_ + i);
    }
  }
  done_ += count;
  requestAt_ = first + (count - 1) * periodNs; // acknowledged last at this moment
  bus_.statistics.bytes += count;
}

void Target::giveRun(uint64_t first, uint64_t periodNs, const uint8_t *in, uint32_t count) {
  const BusStep &step = script_.front();
  if (step.fromData) {
    size_t at = static_cast<size_t>(step.offset) + done_;
    if (at < data_.size()) {
      std::memcpy(data_.data() + at, in, std::min<size_t>(count, data_.size() - at));
    }
  }
  done_ += count;
  requestAt_ = first + (count - 1) * periodNs;
  bus_.statistics.bytes += count;
}

void Target::acknowledge(uint64_t time) {
  if (state_ != State::Connected || script_.empty() || !stepStarted_) {
    return;
  }
  done_++;
  if (done_ < script_.front().length) {
    requestAt_ = time; // the next byte of the same phase
    return;
  }
  endStep(time);
}

void Target::endStep(uint64_t time) {
  BusStep finished = script_.front();
  script_.popFront();
  requestAt_ = NEVER;
  done_ = 0;
  stepEnded(time, finished);
  scheduleNextStep(time);
}

void Target::releaseBus(uint64_t time) {
  bus_.drive(*this, 0, time);
  requestAt_ = NEVER;
  stepStarted_ = false;
  state_ = script_.empty() ? State::Idle : State::Disconnected;
  reselectsLeft_ = options_.reselectAttempts;
  bus_.targetReleased(time, *this);
  scheduleNextStep(time);
}

void Target::attemptReselection(uint64_t time) {
  reselectionAttempts_++;
  if (bus_.free() && reselectsLeft_ > 0) {
    state_ = State::Reselecting;
    if (bus_.reselect(time, *this)) {
      script_.popFront();
      state_ = State::Connected;
      // A reselecting target holds I/O; it goes on in MESSAGE IN.
      bus_.drive(*this, line::BSY | phaseLines(Phase::MessageIn), time);
      scheduleNextStep(time);
      return;
    }
    state_ = State::Disconnected;
  }
  if (reselectsLeft_ > 1) {
    reselectsLeft_--;
    pending_ = Pending::StartStep;
    bus_.wakeAt(*this, time + options_.timing.reselectRetryNs);
    return;
  }
  // Given up: the task is dropped.
  script_.clear();
  state_ = State::Idle;
}

// ------------------------------------------------- the standard connection

void Target::beginConnection(uint64_t time, bool atn) {
  messageOut_.clear();
  identified_ = false;
  lun_ = 0;
  cdbLength_ = 0;
  disconnectPlanned_ = false;
  if (atn && !options_.ignoresAtn) {
    push(transfer(Phase::MessageOut, options_.timing.phaseNs, StepEnd::MessageOutByte));
  } else {
    push(transfer(Phase::Command, options_.timing.phaseNs, StepEnd::CommandByte));
  }
  scheduleNextStep(time);
}

void Target::stepEnded(uint64_t time, const BusStep &step) {
  switch (step.end) {
  case StepEnd::None:
    break;
  case StepEnd::MessageOutByte:
    if (bus_.atn()) {
      pushFront(transfer(Phase::MessageOut, 0, StepEnd::MessageOutByte));
    } else {
      messagesReceived(time);
    }
    break;
  case StepEnd::CommandByte: {
    uint8_t length = CdbLengthOf(cdb_[0]);
    BusStep rest = transfer(Phase::Command, 0, StepEnd::CommandDone);
    rest.length = length - 1u;
    pushFront(rest);
    break;
  }
  case StepEnd::CommandDone:
    executeCommand(time);
    break;
  case StepEnd::DataOutDone: {
    UnitSlot &slot = units_[lun_];
    Outcome outcome = slot.unit != nullptr
                          ? slot.unit->finishDataOut(cdb_, data_, step.offset + step.length)
                          : Outcome::good();
    keepSense(slot, outcome);
    planEnding(outcome.status, options_.timing.phaseNs + outcome.busyNs);
    break;
  }
  }
}

void Target::messagesReceived(uint64_t time) {
  (void)time;
  bool sdtr = false;
  uint8_t period = 0;
  uint8_t offset = 0;
  bool reject = false;
  bool freeBus = false;
  size_t count = messageOut_.size();
  for (size_t i = 0; i < count && !freeBus;) {
    uint8_t code = messageOut_[i];
    if (code & message::IDENTIFY) {
      lun_ = code & 7;
      identified_ = true;
      i++;
    } else if (code == message::EXTENDED) {
      if (i + 1 >= count || i + 2 + messageOut_[i + 1] > count) {
        reject = true; // cut short
        break;
      }
      size_t length = messageOut_[i + 1];
      if (length == message::SDTR_LENGTH && messageOut_[i + 2] == message::SDTR_CODE) {
        sdtr = true;
        period = messageOut_[i + 3];
        offset = messageOut_[i + 4];
      } else {
        reject = true;
      }
      i += 2 + length;
    } else if (code == message::ABORT) {
      freeBus = true;
    } else if (code == message::BUS_DEVICE_RESET) {
      resetTarget();
      freeBus = true;
    } else {
      reject = reject || code != message::NO_OPERATION;
      i++;
    }
  }
  const uint64_t gap = options_.timing.phaseNs;
  if (freeBus) {
    push(special(StepKind::BusFree, options_.timing.busFreeNs));
    return;
  }
  if (sdtr) {
    answerSdtr(period, offset);
  } else if (reject) {
    push(message(gap, {message::MESSAGE_REJECT}));
  } else if (options_.proposesSdtr && !ownSdtrSent_) {
    ownSdtrSent_ = true;
    agreement_ = TransferAgreement{options_.proposedPeriod, options_.proposedOffset};
    push(message(gap, {message::EXTENDED, message::SDTR_LENGTH, message::SDTR_CODE,
                       options_.proposedPeriod, options_.proposedOffset}));
  }
  push(transfer(Phase::Command, gap, StepEnd::CommandByte));
}

void Target::answerSdtr(uint8_t period, uint8_t offset) {
  const uint64_t gap = options_.timing.phaseNs;
  switch (options_.sdtrAnswer) {
  case SdtrAnswer::Accept:
    agreement_ = TransferAgreement{period, offset};
    push(message(gap,
                 {message::EXTENDED, message::SDTR_LENGTH, message::SDTR_CODE, period, offset}));
    break;
  case SdtrAnswer::CounterPropose:
    agreement_ = TransferAgreement{options_.counterPeriod, options_.counterOffset};
    push(message(gap, {message::EXTENDED, message::SDTR_LENGTH, message::SDTR_CODE,
                       options_.counterPeriod, options_.counterOffset}));
    break;
  case SdtrAnswer::Reject:
    agreement_ = TransferAgreement{};
    push(message(gap, {message::MESSAGE_REJECT}));
    break;
  case SdtrAnswer::Ignore:
    agreement_ = TransferAgreement{};
    break;
  }
}

// ------------------------------------------------------------ the command

void Target::executeCommand(uint64_t time) {
  (void)time;
  commands_++;
  lastCdb_.assign(cdb_, cdb_ + cdbLength_);
  if (!identified_) {
    lun_ = (cdb_[1] >> 5) & 7;
  }
  UnitSlot &slot = units_[lun_];
  Outcome outcome = runCommand(slot);
  keepSense(slot, outcome);
  planAfterCommand(time, outcome);
}

// The one error exit: CHECK CONDITION keeps its sense for REQUEST SENSE.
void Target::keepSense(UnitSlot &slot, const Outcome &outcome) {
  if (outcome.status != scsi_status::CHECK_CONDITION) {
    return;
  }
  slot.sense = outcome.sense;
  slot.senseData = outcome.senseData;
  if (slot.senseData.size() > 255) {
    slot.senseData.resize(255);
  }
}

Outcome Target::runCommand(UnitSlot &slot) {
  uint8_t operationCode = cdb_[0];
  if (busyAnswered_ < options_.busyCommands) {
    busyAnswered_++;
    Outcome busy;
    busy.status = scsi_status::BUSY;
    return busy;
  }
  if (operationCode == opcode::REQUEST_SENSE) {
    return requestSense(slot, slot.unit != nullptr);
  }
  if (slot.unit == nullptr) {
    if (operationCode == opcode::INQUIRY) {
      // Peripheral qualifier 3: no unit can be at this LUN.
      data_.assign(36, 0);
      data_[0] = 0x7F;
      data_[2] = 0x02;
      data_[3] = 0x02;
      data_[4] = 31;
      return Outcome::dataIn(std::min<uint32_t>(cdb_[4], 36));
    }
    return Outcome::check(sense::LOGICAL_UNIT_NOT_SUPPORTED);
  }
  if (slot.unitAttention && operationCode != opcode::INQUIRY) {
    slot.unitAttention = false;
    return Outcome::check(sense::POWER_ON_OR_RESET);
  }
  if (slot.unit->commandName(operationCode) == nullptr) {
    return Outcome::check(sense::INVALID_COMMAND_OPERATION_CODE);
  }
  return slot.unit->execute(cdb_, data_);
}

Outcome Target::requestSense(UnitSlot &slot, bool unitPresent) {
  Sense reported = unitPresent ? slot.sense : sense::LOGICAL_UNIT_NOT_SUPPORTED;
  bool ownData = unitPresent && !slot.senseData.empty();
  if (unitPresent && slot.unitAttention) {
    reported = sense::POWER_ON_OR_RESET;
    slot.unitAttention = false;
    ownData = false;
  }
  slot.sense = sense::NO_SENSE;
  if (ownData) {
    data_.assign(slot.senseData.begin(), slot.senseData.end());
    slot.senseData.clear();
    return Outcome::dataIn(std::min<uint32_t>(cdb_[4], static_cast<uint32_t>(data_.size())));
  }
  slot.senseData.clear();
  // Fixed-format sense data, current error.
  data_.assign(18, 0);
  data_[0] = 0x70;
  data_[2] = reported.key;
  data_[7] = 10;
  data_[12] = reported.asc;
  data_[13] = reported.ascq;
  return Outcome::dataIn(std::min<uint32_t>(cdb_[4], 18));
}

void Target::planAfterCommand(uint64_t time, const Outcome &outcome) {
  const TargetTiming &timing = options_.timing;
  uint64_t delay = timing.commandNs + outcome.busyNs;
  if (options_.messageFloodBytes > 0) {
    BusStep flood = transfer(Phase::MessageIn, delay);
    flood.repeat = true;
    flood.bytes[0] = options_.floodByte;
    flood.length = options_.messageFloodBytes;
    push(flood);
    delay = timing.phaseNs;
  }
  if (options_.identifyBeforeData) {
    push(message(delay, {static_cast<uint8_t>(message::IDENTIFY | lun_)}));
    delay = timing.phaseNs;
  }
  if (options_.restorePointersBeforeData) {
    push(message(delay, {message::RESTORE_POINTERS}));
    delay = timing.phaseNs;
  }
  switch (outcome.kind) {
  case Outcome::Kind::DataIn: {
    uint32_t length = outcome.length;
    if (options_.extraDataInBytes > 0) {
      data_.resize(std::max<size_t>(data_.size(), length + options_.extraDataInBytes));
      std::fill(data_.begin() + length, data_.begin() + length + options_.extraDataInBytes, 0xEE);
      length += options_.extraDataInBytes;
    }
    length = std::min(length, options_.shortReadBytes);
    if (length > 0) {
      planDataPhase(Phase::DataIn, length, delay, StepEnd::None);
      delay = timing.phaseNs;
    }
    planEnding(outcome.status, delay);
    return;
  }
  case Outcome::Kind::DataOut: {
    data_.resize(std::max<size_t>(data_.size(), outcome.length));
    uint32_t length = std::min(outcome.length, options_.shortWriteBytes);
    if (length > 0) {
      planDataPhase(Phase::DataOut, length, delay, StepEnd::DataOutDone);
      return;
    }
    // Nothing to take: finish at once.
    BusStep none = fromData(Phase::DataOut, 0, 0, delay, StepEnd::DataOutDone);
    none.kind = StepKind::Transfer;
    stepEnded(time, none);
    return;
  }
  case Outcome::Kind::Status:
    if (options_.disconnects && !disconnectPlanned_) {
      planDisconnect(delay);
      delay = timing.phaseNs;
    }
    planEnding(outcome.status, delay);
    return;
  }
}

void Target::planDataPhase(Phase phase, uint32_t length, uint64_t delayNs, StepEnd end) {
  uint32_t stallAt = options_.stallAtByte;
  if (stallAt < length) {
    if (stallAt > 0) {
      push(fromData(phase, 0, stallAt, delayNs));
      delayNs = 0;
    }
    BusStep stall = fromData(phase, stallAt, length - stallAt, delayNs, end);
    stall.kind = StepKind::Stall;
    push(stall);
    return;
  }
  uint32_t at = options_.disconnectAtByte;
  if (!options_.disconnects || disconnectPlanned_ || at >= length) {
    push(fromData(phase, 0, length, delayNs, end));
    return;
  }
  if (at == 0) {
    planDisconnect(delayNs);
    push(fromData(phase, 0, length, options_.timing.phaseNs, end));
    return;
  }
  push(fromData(phase, 0, at, delayNs, StepEnd::None));
  planDisconnect(options_.timing.phaseNs);
  push(fromData(phase, at, length - at, options_.timing.phaseNs, end));
}

void Target::planDisconnect(uint64_t delayNs) {
  const TargetTiming &timing = options_.timing;
  disconnectPlanned_ = true;
  if (options_.saveDataPointer) {
    push(message(delayNs, {message::SAVE_DATA_POINTER}));
    push(message(0, {message::DISCONNECT}));
  } else {
    push(message(delayNs, {message::DISCONNECT}));
  }
  push(special(StepKind::BusFree, timing.busFreeNs));
  push(special(StepKind::Reselect, timing.reselectDelayNs));
  push(message(timing.phaseNs, {static_cast<uint8_t>(message::IDENTIFY | lun_)}));
}

void Target::planEnding(uint8_t status, uint64_t delayNs) {
  BusStep statusStep = transfer(Phase::Status, delayNs);
  statusStep.bytes[0] = status;
  push(statusStep);
  push(message(options_.timing.phaseNs, {message::COMMAND_COMPLETE}));
  push(special(StepKind::BusFree, options_.timing.busFreeNs));
}

} // namespace sim
