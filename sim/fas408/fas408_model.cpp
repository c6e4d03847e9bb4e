#include "fas408_model.h"

#include <algorithm>
#include <cstdio>

namespace sim {

using namespace fas408;

// One handler per register and direction, by bank and offset.
const Fas408::RegisterHandlers Fas408::BANKS[2][16] = {
    {
        {&reader<&Fas408::readTcLow>, &writer<&Fas408::writeTcLow>},          // 0x0
        {&reader<&Fas408::readTcMid>, &writer<&Fas408::writeTcMid>},          // 0x1
        {&reader<&Fas408::readFifo>, &writer<&Fas408::writeFifo>},            // 0x2
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeCommand>},     // 0x3
        {&reader<&Fas408::readStatus>, &writer<&Fas408::writeDestId>},        // 0x4
        {&reader<&Fas408::readIntStatus>, &writer<&Fas408::writeSelTimeout>}, // 0x5
        {&reader<&Fas408::readSeqStep>, &writer<&Fas408::writeSyncPeriod>},   // 0x6
        {&reader<&Fas408::readFifoFlags>, &writer<&Fas408::writeSyncOffset>}, // 0x7
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeConfig1>},     // 0x8
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeClockFactor>}, // 0x9
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0xA
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeConfig2>},     // 0xB
        {&reader<&Fas408::readConfig3>, &writer<&Fas408::writeConfig3>},      // 0xC
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeControl>},     // 0xD
        {&reader<&Fas408::readTcHigh>, &writer<&Fas408::writeTcHigh>},        // 0xE
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0xF
    },
    {
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x0
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x1
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x2
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x3
        {&reader<&Fas408::readPioData>, &writer<&Fas408::writePioData>},      // 0x4
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x5
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x6
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x7
        {&reader<&Fas408::readPioStatus>, &writer<&Fas408::writePioControl>}, // 0x8
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0x9
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0xA
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writePioConfig>},   // 0xB
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0xC
        {&reader<&Fas408::readFloating>, &writer<&Fas408::writeControl>},     // 0xD
        {&reader<&Fas408::readChipId>, &writer<&Fas408::writeStray>},         // 0xE
        {&reader<&Fas408::readStray>, &writer<&Fas408::writeStray>},          // 0xF
    },
};

const Fas408::CommandEntry Fas408::COMMANDS[] = {
    {CMD_NOP, "NOP", Needs::Anything, &Fas408::commandNop},
    {CMD_FLUSH_FIFO, "FLUSH FIFO", Needs::Anything, &Fas408::commandFlushFifo},
    {CMD_RESET_CHIP, "RESET CHIP", Needs::Anything, &Fas408::commandResetChip},
    {CMD_RESET_BUS, "RESET BUS", Needs::Anything, &Fas408::commandResetBus},
    {CMD_TRANSFER_INFO, "TRANSFER INFO", Needs::Connected, &Fas408::commandTransferInfo},
    {CMD_INITIATOR_COMPLETE, "INITIATOR COMPLETE", Needs::Connected,
     &Fas408::commandInitiatorComplete},
    {CMD_MESSAGE_ACCEPTED, "MESSAGE ACCEPTED", Needs::Connected, &Fas408::commandMessageAccepted},
    {CMD_RESET_ATN, "RESET ATN", Needs::Anything, &Fas408::commandResetAtn},
    {CMD_SELECT_ATN, "SELECT ATN", Needs::Disconnected, &Fas408::commandSelectAtn},
    {CMD_SELECT_ATN_STOP, "SELECT ATN STOP", Needs::Disconnected, &Fas408::commandSelectAtnStop},
    {CMD_ENABLE_RESELECT, "ENABLE RESELECT", Needs::Disconnected, &Fas408::commandEnableReselect},
    {CMD_TRANSFER_INFO_DMA, "TRANSFER INFO DMA", Needs::Connected, &Fas408::commandTransferInfoDma},
};

Fas408::Fas408(Clock &clock, ScsiBus &bus, Fas408Options options)
    : clock_(clock), bus_(bus), options_(options) {
  bus_.attachInitiator(this);
}

// ------------------------------------------------------------ port access

uint32_t Fas408::read(uint32_t offset, unsigned width) {
  if (clock_.now() < bus_.nextEvent() && width == 1) {
    // Nothing is due: the polled path. REG_STATUS, the register every wait
    // polls, is answered without the table's indirect call.
    countAccess(1, 1);
    if (offset == REG_STATUS && bank_ == 0) {
      return readStatus();
    }
    return BANKS[bank_][offset & 0xF].read(*this);
  }
  return readSlow(offset, width);
}

uint32_t Fas408::readSlow(uint32_t offset, unsigned width) {
  catchUp();
  countAccess(width, 1);
  if (width == 1) {
    return BANKS[bank_][offset & 0xF].read(*this);
  }
  return readWide(offset, width);
}

uint32_t Fas408::readWide(uint32_t offset, unsigned width) {
  if (bank_ == 1 && (offset & 0xF) == REG_PIO_DATA) {
    uint8_t bytes[4];
    popPio(bytes, width);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; i++) {
      value |= uint32_t{bytes[i]} << (8 * i);
    }
    return value;
  }
  uint32_t high = width == 4 ? 0xFFFFFF00u : 0xFF00u;
  return high | BANKS[bank_][offset & 0xF].read(*this);
}

void Fas408::write(uint32_t offset, unsigned width, uint32_t value) {
  catchUp();
  countAccess(width, 1);
  if (width != 1 && bank_ == 1 && (offset & 0xF) == REG_PIO_DATA) {
    uint8_t bytes[4];
    for (unsigned i = 0; i < width; i++) {
      bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    pushPio(bytes, width);
    return;
  }
  BANKS[bank_][offset & 0xF].write(*this, static_cast<uint8_t>(value));
}

void Fas408::readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count) {
  if (bank_ != 1 || (offset & 0xF) != REG_PIO_DATA) {
    IoDevice::readBlock(offset, width, buffer, count);
    return;
  }
  catchUp();
  countAccess(width, count);
  popPio(buffer, width * count);
}

void Fas408::writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer, uint32_t count) {
  if (bank_ != 1 || (offset & 0xF) != REG_PIO_DATA) {
    IoDevice::writeBlock(offset, width, buffer, count);
    return;
  }
  catchUp();
  countAccess(width, count);
  pushPio(buffer, width * count);
}

// The host's side of the PIO FIFO, once the model has caught up.
void Fas408::popPio(uint8_t *buffer, uint32_t length) {
  uint32_t moved = pio_.popInto(buffer, length);
  if (moved < length) {
    std::memset(buffer + moved, 0xFF, length - moved);
    counters_.pioUnderruns += length - moved;
  }
  reconsider(clock_.now());
}

void Fas408::pushPio(const uint8_t *buffer, uint32_t length) {
  uint32_t moved = pio_.pushFrom(buffer, length);
  counters_.pioOverruns += length - moved;
  pumpToCore();
  reconsider(clock_.now());
}

uint8_t Fas408::readFifo() {
  return fifo_.empty() ? 0xFF : fifo_.pop();
}

void Fas408::writeFifo(uint8_t value) {
  if (!fifo_.push(value)) {
    counters_.fifoOverflows++;
  }
}

uint8_t Fas408::readIntStatus() {
  uint8_t causes = intStatus_;
  intStatus_ = 0;
  return causes;
}

uint8_t Fas408::readPioData() {
  uint8_t byte;
  popPio(&byte, 1);
  return byte;
}

void Fas408::writePioData(uint8_t value) {
  pushPio(&value, 1);
}

uint8_t Fas408::readPioStatus() {
  uint8_t status = 0;
  if (pio_.room() >= PIO_WRITE_BLOCK) {
    status |= PIO_ROOM_FOR_BLOCK;
  }
  if (pio_.count() >= PIO_READ_BLOCK) {
    status |= PIO_BLOCK_AVAILABLE;
  }
  if (dmaOutput_) {
    status |= PIO_OUTPUT;
  }
  if (pioControl_ & 1) {
    status |= PIO_DMA_ENABLED;
  }
  if (pio_.empty()) {
    status |= PIO_EMPTY;
  }
  if (running_ != Running::TransferDma) {
    status |= PIO_ENDED;
  }
  if (pio_.full()) {
    status |= PIO_FULL;
  }
  return status;
}

void Fas408::writePioControl(uint8_t value) {
  pioControl_ = value;
  pumpToCore();
  reconsider(clock_.now());
}

uint8_t Fas408::readStray() {
  counters_.strayAccesses++;
  return 0xFF;
}

void Fas408::writeStray(uint8_t value) {
  (void)value;
  counters_.strayAccesses++;
}

// ---------------------------------------------------------------- commands

void Fas408::writeCommand(uint8_t value) {
  // A data loop runs from its DMA transfer command to the next command.
  inDataLoop_ = value == CMD_TRANSFER_INFO_DMA;
  const CommandEntry *entry = nullptr;
  for (const CommandEntry &candidate : COMMANDS) {
    if (candidate.code == value) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) {
    illegalCommand(value);
    return;
  }
  bool selectingNow = running_ == Running::Select;
  if ((entry->needs == Needs::Connected && !connected_) ||
      (entry->needs == Needs::Disconnected && (connected_ || selectingNow)) ||
      (entry->needs != Needs::Anything && rstDriven_)) {
    illegalCommand(value);
    return;
  }
  (this->*entry->start)(clock_.now());
}

void Fas408::illegalCommand(uint8_t code) {
  counters_.illegalCommands++;
  counters_.lastIllegalCommand = code;
  raise(INT_ILLEGAL_COMMAND);
}

void Fas408::commandNop(uint64_t time) {
  (void)time;
}

void Fas408::commandFlushFifo(uint64_t time) {
  fifo_.clear();
  pio_.clear();
  reconsider(time);
}

void Fas408::resetCore() {
  tc_ = 0;
  config1_ = config2_ = config3_ = clockFactor_ = 0;
  syncPeriod_ = syncOffset_ = selTimeout_ = destId_ = 0;
  intStatus_ = 0;
  seqStep_ = 0;
  fifo_.clear();
  pio_.clear();
  running_ = Running::None;
  dmaOutput_ = false;
  reselectEnabled_ = false;
  schedule(Event::None, NEVER);
}

void Fas408::commandResetChip(uint64_t time) {
  bool resetting = running_ == Running::BusReset;
  disconnect(time);
  resetCore();
  if (resetting) {
    // RST is released by its own timer even if the core is reset meanwhile.
    running_ = Running::BusReset;
    schedule(Event::ResetEnd, resetEndAt_);
  }
}

void Fas408::commandResetBus(uint64_t time) {
  disconnect(time);
  running_ = Running::BusReset;
  rstDriven_ = true;
  driveLines(time);
  bus_.resetChanged(time, *this);
  resetEndAt_ = time + RESET_HOLD_NS;
  schedule(Event::ResetEnd, resetEndAt_);
}

void Fas408::commandResetAtn(uint64_t time) {
  atn_ = false;
  driveLines(time);
}

void Fas408::commandSelectAtn(uint64_t time) {
  startSelection(time, false);
}

void Fas408::commandSelectAtnStop(uint64_t time) {
  startSelection(time, true);
}

void Fas408::commandEnableReselect(uint64_t time) {
  (void)time;
  reselectEnabled_ = true;
}

void Fas408::commandTransferInfo(uint64_t time) {
  releaseHeldAck(time);
  running_ = Running::TransferInfo;
  transferPhase_ = static_cast<Phase>(bus_.phaseCode());
  reconsider(time);
}

void Fas408::commandTransferInfoDma(uint64_t time) {
  releaseHeldAck(time);
  transferPhase_ = static_cast<Phase>(bus_.phaseCode());
  dmaOutput_ = !isInput(transferPhase_);
  if (tc_ == 0) {
    // A count of 0 moves nothing.
    running_ = Running::None;
    raise(INT_FUNCTION_COMPLETE);
    return;
  }
  running_ = Running::TransferDma;
  checkTransferMode(transferPhase_);
  pumpToCore();
  reconsider(time);
}

void Fas408::commandInitiatorComplete(uint64_t time) {
  releaseHeldAck(time);
  running_ = Running::InitiatorComplete;
  completeStage_ = 0;
  reconsider(time);
}

void Fas408::commandMessageAccepted(uint64_t time) {
  running_ = Running::MessageAccepted;
  releaseHeldAck(time);
  reconsider(time);
}

// --------------------------------------------------------------- selection

void Fas408::startSelection(uint64_t time, bool stop) {
  running_ = Running::Select;
  selectStage_ = SelectStage::Arbitrate;
  selectStop_ = stop;
  messageBytesSent_ = 0;
  commandBytesSent_ = 0;
  seqStep_ = 0;
  reselectEnabled_ = false;
  schedule(Event::Arbitration, time + ARBITRATION_NS);
}

void Fas408::arbitrationDone(uint64_t time) {
  if (!bus_.free()) {
    // Someone holds the bus: arbitrate again once it may be free.
    schedule(Event::Arbitration, time + ARBITRATION_NS);
    return;
  }
  bus_.recorder.record({time, BusEvent::Kind::Arbitration, 0xFF, Phase::DataOut, 0});
  selectStage_ = SelectStage::Selecting;
  selecting_ = true;
  atn_ = true;
  driveLines(time);
  schedule(Event::SelectionTimeout, time + selectionTimeoutNs());
  bus_.select(time, destId_ & 7, true);
}

void Fas408::targetResponded(uint64_t time, Target &target) {
  if (running_ != Running::Select || selectStage_ != SelectStage::Selecting) {
    return;
  }
  selectStage_ = SelectStage::Sequence;
  selecting_ = false;
  connected_ = true;
  target_ = &target;
  driveLines(time);
  schedule(Event::None, NEVER);
  reconsider(time);
}

void Fas408::selectionTimedOut(uint64_t time) {
  bus_.abandonSelection(destId_ & 7);
  bus_.statistics.selectionTimeouts++;
  bus_.recorder.record({time, BusEvent::Kind::SelectionTimeout, static_cast<uint8_t>(destId_ & 7),
                        Phase::DataOut, 0});
  selecting_ = false;
  atn_ = false;
  driveLines(time);
  seqStep_ = 0;
  finish(time, INT_DISCONNECT);
}

uint64_t Fas408::selectionTimeoutNs() const {
  uint64_t value = selTimeout_ != 0 ? selTimeout_ : 256;
  uint64_t factor = (clockFactor_ & 7) != 0 ? (clockFactor_ & 7) : 8;
  return value * 8192 * factor * options_.clockNs;
}

// ------------------------------------------------------------ the bus side

void Fas408::targetRequest(uint64_t time) {
  reconsider(time);
}

void Fas408::targetReleased(uint64_t time) {
  if (!connected_) {
    return; // not our connection (the chip was reset meanwhile)
  }
  if (running_ == Running::Select && selectStage_ == SelectStage::Sequence) {
    // Freed during the selection sequence: the step says how far it got.
    if (messageBytesSent_ == 0) {
      seqStep_ = 0;
    } else if (commandBytesSent_ == 0) {
      seqStep_ = selectStop_ ? 1 : 2;
    } else {
      seqStep_ = 3;
    }
  }
  disconnect(time);
  if (running_ != Running::None && running_ != Running::BusReset) {
    running_ = Running::None;
  }
  raise(INT_DISCONNECT);
}

bool Fas408::reselected(uint64_t time, Target &target) {
  (void)time;
  if (!reselectEnabled_ || connected_ || running_ != Running::None) {
    return false;
  }
  reselectEnabled_ = false;
  connected_ = true;
  target_ = &target;
  raise(INT_RESELECTED);
  return true;
}

void Fas408::busReset(uint64_t time, bool asserted) {
  if (asserted) {
    disconnect(time);
    if (running_ != Running::BusReset) {
      running_ = Running::None;
    }
  } else if (!(config1_ & 0x40)) {
    raise(INT_BUS_RESET);
  }
}

void Fas408::disconnect(uint64_t time) {
  connected_ = false;
  target_ = nullptr;
  atn_ = false;
  ackHeld_ = false;
  selecting_ = false;
  if (event_ == Event::Transfer || event_ == Event::SelectionTimeout ||
      event_ == Event::Arbitration) {
    schedule(Event::None, NEVER);
  }
  driveLines(time);
}

void Fas408::driveLines(uint64_t time) {
  uint32_t lines = rstDriven_ ? line::RST : 0;
  if (atn_) {
    lines |= line::ATN;
  }
  if (ackHeld_) {
    lines |= line::ACK;
  }
  if (selecting_) {
    lines |= line::SEL | (1u << (config1_ & 7)) | (1u << (destId_ & 7));
  }
  bus_.drive(*this, lines, time);
}

// ------------------------------------------------------------------- time

void Fas408::schedule(Event event, uint64_t time) {
  event_ = event;
  bus_.wakeAt(*this, event == Event::None ? NEVER : time);
}

void Fas408::wake(uint64_t time) {
  Event event = event_;
  event_ = Event::None;
  switch (event) {
  case Event::None:
    break;
  case Event::Arbitration:
    arbitrationDone(time);
    break;
  case Event::SelectionTimeout:
    selectionTimedOut(time);
    break;
  case Event::ResetEnd:
    running_ = Running::None;
    rstDriven_ = false;
    driveLines(time);
    bus_.resetChanged(time, *this);
    if (!(config1_ & 0x40)) {
      raise(INT_BUS_RESET);
    }
    break;
  case Event::Transfer:
    serveRequest(time);
    break;
  }
}

// When the connected target asks for a byte, serve it as soon as the running
// command and the transfer rate allow. A request the command cannot serve yet
// (a full or empty FIFO) waits for the host's next access to the FIFO.
void Fas408::reconsider(uint64_t time) {
  uint64_t request = connected_ && busCommandRunning() ? target_->requestAt() : NEVER;
  if (request == NEVER || !canServe(target_->requestPhase())) {
    if (event_ == Event::Transfer) {
      schedule(Event::None, NEVER);
    }
    return;
  }
  uint64_t at = std::max(request, time);
  if (running_ != Running::MessageAccepted) {
    at = std::max(at, nextByteAt_);
  }
  schedule(Event::Transfer, at);
}

bool Fas408::canServe(Phase phase) const {
  if (running_ != Running::TransferDma || phase != transferPhase_ || tc_ == 0) {
    return true; // it moves a byte or ends the command
  }
  bool portOn = (pioControl_ & 1) != 0;
  if (!dmaOutput_) {
    return portOn && !pio_.full();
  }
  return !fifo_.empty() || (portOn && !pio_.empty());
}

void Fas408::serveRequest(uint64_t time) {
  if (!connected_ || target_->requestAt() > time) {
    return;
  }
  Phase phase = target_->requestPhase();
  switch (running_) {
  case Running::Select:
    sequenceStep(time, phase);
    break;
  case Running::TransferInfo:
    infoStep(time, phase);
    break;
  case Running::TransferDma:
    dmaStep(time, phase);
    break;
  case Running::InitiatorComplete:
    completeStep(time, phase);
    break;
  case Running::MessageAccepted:
    finish(time, INT_BUS_SERVICE);
    break;
  default:
    break; // no command: the request waits
  }
  reconsider(time);
}

void Fas408::finish(uint64_t time, uint8_t cause) {
  (void)time;
  running_ = Running::None;
  if (event_ == Event::Transfer) {
    schedule(Event::None, NEVER);
  }
  raise(cause);
}

// ------------------------------------------------------------ byte moves

uint64_t Fas408::syncPeriodNs() const {
  uint32_t clocks = syncPeriod_ & 0x7F;
  if (clocks < 4) {
    clocks = 4;
  }
  if (clocks < 8 && !(config3_ & 0x10)) {
    clocks = 8;
  }
  return clocks * options_.clockNs;
}

uint64_t Fas408::bytePeriodNs(Phase phase) const {
  uint64_t period = ASYNC_BYTE_NS;
  if (isDataPhase(phase) && syncOffset_ != 0) {
    period = syncPeriodNs();
  }
  if (target_ != nullptr && target_->byteNs() > period) {
    period = target_->byteNs();
  }
  return period;
}

void Fas408::checkTransferMode(Phase phase) {
  if (!isDataPhase(phase) || target_ == nullptr) {
    return;
  }
  const TransferAgreement &agreed = target_->agreement();
  bool chipSynchronous = syncOffset_ != 0;
  if (chipSynchronous != agreed.synchronous() ||
      (chipSynchronous && syncPeriodNs() < agreed.periodNs())) {
    bus_.statistics.transferModeMismatches++;
  }
}

void Fas408::sendFromFifo(uint64_t time, Phase phase, bool counted) {
  uint8_t byte = fifo_.pop();
  if (counted && tc_ > 0) {
    tc_--;
  }
  target_->giveByte(time, byte);
  nextByteAt_ = time + bytePeriodNs(phase);
  driveLines(time);
  target_->acknowledge(time);
}

uint8_t Fas408::receive(uint64_t time, Phase phase) {
  uint8_t byte = target_->takeByte(time);
  nextByteAt_ = time + bytePeriodNs(phase);
  return byte;
}

// How many bytes of a data phase may move now as one run, the first at
// `time`, one every `period`: those the target has for it that fit before
// the bus's run limit, at most `room`. Fewer than two are not worth a run.
uint32_t Fas408::runLength(uint64_t time, uint64_t period, uint32_t room) const {
  if (room < 2 || period == 0 || bus_.bytesWatched()) {
    return 0;
  }
  uint64_t limit = bus_.runLimit(*this);
  if (limit <= time) {
    return 0;
  }
  uint64_t inTime = (limit - time) / period + 1;
  uint64_t length = std::min<uint64_t>({inTime, room, target_->runnableBytes()});
  return length < 2 ? 0 : static_cast<uint32_t>(length);
}

// Data in as a run: the bytes go straight into the PIO FIFO, counted down.
bool Fas408::receiveRun(uint64_t time, Phase phase) {
  uint64_t period = bytePeriodNs(phase);
  uint32_t length = runLength(time, period, std::min(tc_, pio_.room()));
  if (length == 0) {
    return false;
  }
  uint8_t bytes[fas408::PIO_FIFO_BYTES];
  target_->takeRun(time, period, bytes, length);
  pio_.pushFrom(bytes, length);
  tc_ -= length;
  nextByteAt_ = time + length * period;
  return true;
}

// Data out as a run: the chip FIFO's bytes, then those the DMA port brings
// from the PIO FIFO (counted down as they enter the core). A run that sends
// the last counted byte ends the transfer as the last single byte would.
bool Fas408::sendRun(uint64_t time, Phase phase) {
  uint32_t fromPio = (pioControl_ & 1) ? std::min(tc_, pio_.count()) : 0;
  uint64_t period = bytePeriodNs(phase);
  uint32_t length = runLength(time, period, fifo_.count() + fromPio);
  if (length == 0) {
    return false;
  }
  uint8_t bytes[fas408::CHIP_FIFO_BYTES + fas408::PIO_FIFO_BYTES];
  uint32_t fromFifo = fifo_.popInto(bytes, length);
  uint32_t taken = pio_.popInto(bytes + fromFifo, length - fromFifo);
  tc_ -= taken;
  target_->giveRun(time, period, bytes, length);
  nextByteAt_ = time + length * period;
  pumpToCore();
  if (tc_ == 0 && fifo_.empty()) {
    finish(time + (length - 1) * period, INT_FUNCTION_COMPLETE);
  }
  return true;
}

void Fas408::releaseHeldAck(uint64_t time) {
  if (ackHeld_ && target_ != nullptr) {
    ackHeld_ = false;
    driveLines(time);
    target_->acknowledge(time);
  }
}

// The DMA port feeds the core from the PIO FIFO, counting the bytes down.
void Fas408::pumpToCore() {
  if (running_ != Running::TransferDma || !dmaOutput_ || !(pioControl_ & 1)) {
    return;
  }
  uint32_t length = std::min({tc_, fifo_.room(), pio_.count()});
  if (length == 0) {
    return;
  }
  uint8_t bytes[fas408::CHIP_FIFO_BYTES];
  pio_.popInto(bytes, length);
  fifo_.pushFrom(bytes, length);
  tc_ -= length;
}

void Fas408::sequenceStep(uint64_t time, Phase phase) {
  if (messageBytesSent_ == 0) {
    if (phase != Phase::MessageOut || fifo_.empty()) {
      seqStep_ = 0; // the target took no message byte
      finish(time, INT_FUNCTION_COMPLETE | INT_BUS_SERVICE);
      return;
    }
    if (!selectStop_) {
      atn_ = false; // the one message byte is the last
    }
    messageBytesSent_ = 1;
    sendFromFifo(time, phase, true);
    return;
  }
  if (selectStop_) {
    seqStep_ = 1;
    finish(time, INT_FUNCTION_COMPLETE | INT_BUS_SERVICE);
    return;
  }
  if (phase == Phase::Command) {
    if (fifo_.empty()) {
      seqStep_ = 3; // the target wants more command bytes than were loaded
      finish(time, INT_FUNCTION_COMPLETE | INT_BUS_SERVICE);
      return;
    }
    commandBytesSent_++;
    sendFromFifo(time, phase, true);
    return;
  }
  if (commandBytesSent_ == 0) {
    seqStep_ = 2;
  } else {
    seqStep_ = fifo_.empty() ? 4 : 3;
  }
  finish(time, INT_FUNCTION_COMPLETE | INT_BUS_SERVICE);
}

void Fas408::infoStep(uint64_t time, Phase phase) {
  if (phase != transferPhase_) {
    finish(time, INT_BUS_SERVICE);
    return;
  }
  if (isInput(phase)) {
    if (!fifo_.push(receive(time, phase))) {
      counters_.fifoOverflows++;
    }
    if (phase == Phase::MessageIn) {
      ackHeld_ = true; // accepted by MESSAGE ACCEPTED
      driveLines(time);
    } else {
      target_->acknowledge(time);
    }
    finish(time, INT_FUNCTION_COMPLETE);
    return;
  }
  if (fifo_.empty()) {
    finish(time, INT_BUS_SERVICE);
    return;
  }
  if (phase == Phase::MessageOut && fifo_.count() == 1) {
    atn_ = false; // dropped before the last message byte
  }
  sendFromFifo(time, phase, false);
}

void Fas408::dmaStep(uint64_t time, Phase phase) {
  if (phase != transferPhase_) {
    finish(time, INT_BUS_SERVICE);
    return;
  }
  if (!dmaOutput_) {
    if (tc_ == 0) {
      finish(time, INT_FUNCTION_COMPLETE); // the target wants more than counted
      return;
    }
    if (!(pioControl_ & 1) || pio_.full()) {
      return; // the bus waits until the host makes room
    }
    if (receiveRun(time, phase)) {
      return;
    }
    pio_.push(receive(time, phase));
    tc_--;
    target_->acknowledge(time);
    return;
  }
  pumpToCore();
  if (fifo_.empty()) {
    if (tc_ == 0) {
      finish(time, INT_FUNCTION_COMPLETE);
    }
    return; // the bus waits until the host gives bytes
  }
  if (sendRun(time, phase)) {
    return;
  }
  sendFromFifo(time, phase, false);
  pumpToCore();
  if (tc_ == 0 && fifo_.empty() && running_ == Running::TransferDma) {
    finish(time, INT_FUNCTION_COMPLETE); // the last byte has gone out
  }
}

void Fas408::completeStep(uint64_t time, Phase phase) {
  if (completeStage_ == 0 && phase == Phase::Status) {
    fifo_.push(receive(time, phase));
    completeStage_ = 1;
    target_->acknowledge(time);
    return;
  }
  if (completeStage_ < 2 && phase == Phase::MessageIn) {
    fifo_.push(receive(time, phase));
    completeStage_ = 2;
    target_->acknowledge(time); // the chip accepts the message itself
    return;
  }
  finish(time, completeStage_ == 0 ? INT_BUS_SERVICE : INT_FUNCTION_COMPLETE | INT_BUS_SERVICE);
}

// ------------------------------------------------------------ observation

Fas408State Fas408::state() const {
  static const char *const names[] = {
      "none",         "bus reset",          "selection",       "transfer",
      "DMA transfer", "initiator complete", "message accepted"};
  Fas408State state{};
  state.bank = bank_;
  state.control = control_;
  state.transferCount = tc_;
  state.config1 = config1_;
  state.config2 = config2_;
  state.config3 = config3_;
  state.clockFactor = clockFactor_;
  state.syncPeriod = syncPeriod_;
  state.syncOffset = syncOffset_;
  state.selectionTimeout = selTimeout_;
  state.destinationId = destId_;
  state.pioControl = pioControl_;
  state.pioConfig = pioConfig_;
  state.chipId = options_.chipId;
  state.interruptStatus = intStatus_;
  state.sequenceStep = seqStep_;
  state.fifoBytes = fifo_.count();
  state.pioBytes = pio_.count();
  state.connected = connected_;
  state.atn = atn_;
  state.reselectEnabled = reselectEnabled_;
  state.running = names[static_cast<int>(running_)];
  return state;
}

std::vector<std::string> Fas408::describe() const {
  Fas408State s = state();
  char line[128];
  std::vector<std::string> lines;
  auto add = [&](const char *format, auto... values) {
    std::snprintf(line, sizeof(line), format, values...);
    lines.emplace_back(line);
  };
  add("bank %u (REG_CONTROL 0x%02X)", s.bank, s.control);
  add("REG_CONFIG1 0x%02X (own ID %u)  REG_CONFIG2 0x%02X  REG_CONFIG3 0x%02X", s.config1,
      s.config1 & 7, s.config2, s.config3);
  add("REG_CLOCK_FACTOR 0x%02X  REG_SEL_TIMEOUT 0x%02X (%.1f ms)", s.clockFactor,
      s.selectionTimeout, static_cast<double>(selectionTimeoutNs()) / 1e6);
  add("REG_SYNC_PERIOD 0x%02X  REG_SYNC_OFFSET %u (%s)", s.syncPeriod, s.syncOffset,
      s.syncOffset ? "synchronous" : "asynchronous");
  add("REG_PIO_CONTROL 0x%02X  REG_PIO_CONFIG 0x%02X  REG_CHIP_ID 0x%02X", s.pioControl,
      s.pioConfig, s.chipId);
  add("transfer count %u  chip FIFO %u bytes  PIO FIFO %u bytes", s.transferCount, s.fifoBytes,
      s.pioBytes);
  add("interrupt latched 0x%02X  sequence step %u  command %s  %s", s.interruptStatus,
      s.sequenceStep, s.running, s.connected ? "connected" : "not connected");
  return lines;
}

} // namespace sim
