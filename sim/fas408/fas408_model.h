// The FAS408 SCSI controller chip: the SCSI core of bank 0 and the
// programmed-I/O FIFO interface of bank 1, mapped over 16 byte-wide ports,
// acting as the initiator on the SCSI bus.
//
// This header is the model's contract. Offsets, banks, the values the driver
// writes and the values it tests are those of the chip's register interface;
// everything that interface leaves open is decided here, once.
//
// Registers (offset, bank, direction). Reading a write-only offset returns
// 0xFF (nothing drives the data bus); writing a read-only offset, or touching
// an offset that is not in the map (0xA, and in bank 1 all but 0x4, 0x8, 0xB,
// 0xD, 0xE), is ignored and counted as a stray access.
//   0x0 0 W/R REG_TC_LOW      transfer count bits 0-7
//   0x1 0 W/R REG_TC_MID      transfer count bits 8-15
//   0xE 0 W/R REG_TC_HIGH     transfer count bits 16-23
//   0x2 0 W/R REG_FIFO        chip FIFO (16 bytes); a read of an empty FIFO
//                             gives 0xFF, a write to a full one is dropped and
//                             counted
//   0x3 0 W   REG_COMMAND     chip command (below)
//   0x4 0 R   REG_STATUS      bit 7 interrupt latched; bit 4 transfer count is
//                             zero (live: the count equals 0, so also on an
//                             idle chip); bits 0-2 the MSG, C/D, I/O lines as
//                             they are on the bus at the moment of the read.
//                             A free bus has all lines deasserted: phase 0.
//                             Bits 3, 5, 6 read 0.
//   0x4 0 W   REG_DEST_ID     bits 0-2: target of the next selection
//   0x5 0 R   REG_INT_STATUS  the latched interrupt causes; the read returns
//                             them and clears the latch (0 when none is latched)
//   0x5 0 W   REG_SEL_TIMEOUT selection time-out: value x 8192 x clock factor
//                             x input clock period (0 counts as 256); 0x99 with
//                             factor 8 at 40 MHz is 250.7 ms
//   0x6 0 R   REG_SEQ_STEP    bits 0-2: how far the last selection got (below)
//   0x6 0 W   REG_SYNC_PERIOD bits 0-6: synchronous period in input clocks; bit 7
//                             is ignored. Below 4 clocks counts as 4; below 8
//                             counts as 8 unless REG_CONFIG3 bit 4 (fast) is set
//   0x7 0 R   REG_FIFO_FLAGS  bits 0-4: bytes in the chip FIFO; bits 5-7 read 0
//   0x7 0 W   REG_SYNC_OFFSET 0: asynchronous; otherwise synchronous data phases
//   0x8 0 W   REG_CONFIG1     bits 0-2: own SCSI ID; bit 6: no interrupt on a
//                             SCSI bus reset; other bits kept without effect
//   0x9 0 W   REG_CLOCK_FACTOR bits 0-2, 0 meaning 8; used by the selection time-out
//   0xB 0 W   REG_CONFIG2     kept without effect
//   0xC 0 W/R REG_CONFIG3     bit 4: fast periods (below 8 clocks) allowed;
//                             other bits (bit 7 included) kept without effect
//   0xD - W   REG_CONTROL     both banks: bit 7 selects bank 1. The other bits
//                             (0x30 and 0x04 as the driver writes them) are
//                             kept and shown in the state, without effect
//   0x4 1 R/W REG_PIO_DATA    PIO FIFO data port (256 bytes); 8-, 16- and 32-bit
//                             accesses move 1, 2 or 4 bytes, the first byte in
//                             bits 0-7. Bytes read from an empty FIFO are 0xFF
//                             and counted; bytes written to a full one are
//                             dropped and counted
//   0x8 1 R   REG_PIO_STATUS  0x01 room for a 64-byte block (64 bytes free)
//                             0x02 a 128-byte block can be read (128 held)
//                             0x04 the last DMA transfer was toward the bus
//                             0x08 the DMA port is enabled (REG_PIO_CONTROL bit 0)
//                             0x10 empty
//                             0x40 no DMA transfer is running (it has ended)
//                             0x80 full
//                             So an output transfer ready for a block reads
//                             0x0D, or 0x1D when the FIFO is empty.
//   0x8 1 W   REG_PIO_CONTROL bit 0: the DMA port moves bytes between the PIO
//                             FIFO and the core only while set; 0 holds them
//                             (the command phase fills the FIFO so)
//   0xB 1 W   REG_PIO_CONFIG  kept without effect
//   0xE 1 R   REG_CHIP_ID     the configured identity (default 0x0A)
// Wider accesses to any other register use the low byte; the upper bytes of
// a wide read float (0xFF).
//
// Commands (REG_COMMAND). A command the chip does not know, or one given in
// a state where it cannot run (a transfer while not connected, a selection
// while connected or selecting, either while the chip holds RST), latches the
// illegal-command interrupt 0x40 and is counted. A new command replaces one still running, except
// NOP, FLUSH FIFO and RESET ATN, which run beside it.
//   0x00 NOP             nothing
//   0x01 FLUSH FIFO      empties the chip FIFO and the PIO FIFO
//   0x02 RESET CHIP      power-on state of the core: registers 0 (except the
//                        bank, REG_CONTROL, REG_PIO_CONTROL, REG_PIO_CONFIG),
//                        FIFOs empty, latch clear, ATN released, no command
//   0x03 RESET BUS       asserts RST for 25 us; the targets reset at once; when
//                        RST is released the chip latches 0x80 (unless
//                        REG_CONFIG1 bit 6 is set)
//   0x10 TRANSFER INFO   without DMA, through the chip FIFO, the transfer
//                        count untouched. Output (MESSAGE OUT): sends the FIFO
//                        bytes as the target asks; ATN is dropped as the last
//                        FIFO byte goes out; ends with 0x10 when the target
//                        asks in another phase, or asks while the FIFO is empty.
//                        Input: takes one byte into the FIFO and ends with
//                        0x08; in MESSAGE IN it holds ACK (the byte is not yet
//                        accepted). A request in another phase than the one
//                        the bus showed at the command ends it with 0x10.
//   0x11 INITIATOR COMPLETE  takes the status byte (in STATUS) and the message
//                        byte (in MESSAGE IN) into the chip FIFO and accepts the
//                        message itself; ends with 0x20 when the target then
//                        frees the bus, 0x18 when it asks for more, 0x10 when it
//                        was in neither phase
//   0x12 MESSAGE ACCEPTED  releases the held ACK; ends with 0x10 at the target's
//                        next request, 0x20 when it frees the bus
//   0x1B RESET ATN       drops ATN
//   0x42 SELECT ATN      arbitration, selection with ATN, the first FIFO byte
//                        as the message (ATN dropped with it), then the other
//                        FIFO bytes as the command; ends with 0x18 once the
//                        target asks for a phase after the command (so a long
//                        command keeps the selection waiting)
//   0x43 SELECT ATN STOP arbitration, selection with ATN and the first FIFO
//                        byte; ATN stays; ends with 0x18 at the target's next
//                        request, the other bytes still in the FIFO
//   0x44 ENABLE RESELECT the chip answers the next reselection (until it
//                        selects, is reset, or has answered one): it connects,
//                        latches 0x04 and the target waits in MESSAGE IN
//   0x90 TRANSFER INFO DMA  counted transfer between the bus and the PIO FIFO,
//                        direction from the bus phase at the command. Input:
//                        each byte goes to the PIO FIFO while the count lasts
//                        and the FIFO has room (else the bus waits). Output:
//                        the DMA port moves bytes from the PIO FIFO into the
//                        chip FIFO while the count lasts, counting them down,
//                        and the bus takes them from the chip FIFO; so after a
//                        phase change the count plus REG_FIFO_FLAGS is what the
//                        target did not take. Ends with 0x10 when the target
//                        asks in another phase; with 0x08 when the count has
//                        run out and, for output, the last byte has gone out
//                        (at once: the target may then work in the command
//                        phase as long as it likes), for input, the target
//                        asks for more. A count of 0 moves nothing: the
//                        transfer ends at once with 0x08.
// Every transfer command first releases an ACK still held for a message byte.
//
// Selection sequence steps (REG_SEQ_STEP): 0 the target did not take a message
// byte (it skipped MESSAGE OUT, or the selection timed out); 1 SELECT ATN STOP
// stopped after the first byte; 2 the message went out but the target did not
// go on to the command phase; 3 the command phase ended before the FIFO was
// empty, or the FIFO ran dry while the target asked for more; 4 complete.
// A target that frees the bus during the sequence leaves the step at how far
// it got: 0 before the first message byte, 1 (SELECT ATN STOP) or 2 (SELECT
// ATN) after the message, 3 after some command bytes.
//
// Interrupt causes (REG_INT_STATUS): 0x80 SCSI bus reset, 0x40 illegal
// command, 0x20 disconnect (bus free while connected; a selection time-out),
// 0x10 bus service, 0x08 function complete, 0x04 reselected. A cause raised
// while another is latched is ORed in. A target that frees the bus while the
// chip is connected always raises 0x20: it ends the running command, or
// comes alone.
//
// Runs: while nothing records the bus byte by byte, the bytes of a DMA data
// phase due before the model has caught up with the clock move in one step
// (ScsiBus::runLimit), with the times, counts and FIFO contents they would
// have had one by one.
//
// Timing (simulated): arbitration 3.2 us (bus free and arbitration delays);
// RST held 25 us; an asynchronous byte 400 ns; a synchronous byte (data
// phases only, offset not 0) the programmed period. The target may be
// slower per byte. Nothing moves between port accesses: the model catches up
// with the machine's clock at every access, so a poll loop lets time pass.
//
// Transfer-mode check: at the start of every DMA data phase the chip's mode
// is compared with the target's agreement; a mismatch is counted on the bus.
#ifndef KAV_SIM_FAS408_MODEL_H
#define KAV_SIM_FAS408_MODEL_H

#include "bus.h"
#include "machine.h"
#include "target.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

namespace fas408 {
// Bank 0.
constexpr uint32_t REG_TC_LOW = 0x0;
constexpr uint32_t REG_TC_MID = 0x1;
constexpr uint32_t REG_FIFO = 0x2;
constexpr uint32_t REG_COMMAND = 0x3;
constexpr uint32_t REG_STATUS = 0x4;
constexpr uint32_t REG_DEST_ID = 0x4;
constexpr uint32_t REG_INT_STATUS = 0x5;
constexpr uint32_t REG_SEL_TIMEOUT = 0x5;
constexpr uint32_t REG_SEQ_STEP = 0x6;
constexpr uint32_t REG_SYNC_PERIOD = 0x6;
constexpr uint32_t REG_FIFO_FLAGS = 0x7;
constexpr uint32_t REG_SYNC_OFFSET = 0x7;
constexpr uint32_t REG_CONFIG1 = 0x8;
constexpr uint32_t REG_CLOCK_FACTOR = 0x9;
constexpr uint32_t REG_CONFIG2 = 0xB;
constexpr uint32_t REG_CONFIG3 = 0xC;
constexpr uint32_t REG_CONTROL = 0xD;
constexpr uint32_t REG_TC_HIGH = 0xE;
// Bank 1.
constexpr uint32_t REG_PIO_DATA = 0x4;
constexpr uint32_t REG_PIO_STATUS = 0x8;
constexpr uint32_t REG_PIO_CONTROL = 0x8;
constexpr uint32_t REG_PIO_CONFIG = 0xB;
constexpr uint32_t REG_CHIP_ID = 0xE;

enum StatusBit : uint8_t {
  STATUS_INTERRUPT = 0x80,
  STATUS_COUNT_ZERO = 0x10,
  STATUS_PHASE = 0x07,
};

enum InterruptBit : uint8_t {
  INT_BUS_RESET = 0x80,
  INT_ILLEGAL_COMMAND = 0x40,
  INT_DISCONNECT = 0x20,
  INT_BUS_SERVICE = 0x10,
  INT_FUNCTION_COMPLETE = 0x08,
  INT_RESELECTED = 0x04,
};

enum PioStatusBit : uint8_t {
  PIO_ROOM_FOR_BLOCK = 0x01,
  PIO_BLOCK_AVAILABLE = 0x02,
  PIO_OUTPUT = 0x04,
  PIO_DMA_ENABLED = 0x08,
  PIO_EMPTY = 0x10,
  PIO_ENDED = 0x40,
  PIO_FULL = 0x80,
};

enum Command : uint8_t {
  CMD_NOP = 0x00,
  CMD_FLUSH_FIFO = 0x01,
  CMD_RESET_CHIP = 0x02,
  CMD_RESET_BUS = 0x03,
  CMD_TRANSFER_INFO = 0x10,
  CMD_INITIATOR_COMPLETE = 0x11,
  CMD_MESSAGE_ACCEPTED = 0x12,
  CMD_RESET_ATN = 0x1B,
  CMD_SELECT_ATN = 0x42,
  CMD_SELECT_ATN_STOP = 0x43,
  CMD_ENABLE_RESELECT = 0x44,
  CMD_TRANSFER_INFO_DMA = 0x90,
};

constexpr uint32_t CHIP_FIFO_BYTES = 16;
constexpr uint32_t PIO_FIFO_BYTES = 256;
constexpr uint32_t PIO_READ_BLOCK = 128;
constexpr uint32_t PIO_WRITE_BLOCK = 64;
constexpr uint64_t ARBITRATION_NS = 3'200;
constexpr uint64_t RESET_HOLD_NS = 25'000;
constexpr uint64_t ASYNC_BYTE_NS = 400;
} // namespace fas408

// A byte FIFO of fixed capacity.
template <uint32_t CAPACITY> class ByteFifo {
public:
  uint32_t count() const { return count_; }
  uint32_t room() const { return CAPACITY - count_; }
  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == CAPACITY; }
  void clear() { head_ = count_ = 0; }
  bool push(uint8_t byte) {
    if (count_ == CAPACITY) {
      return false;
    }
    bytes_[(head_ + count_) % CAPACITY] = byte;
    count_++;
    return true;
  }
  uint8_t pop() {
    uint8_t byte = bytes_[head_];
    head_ = (head_ + 1) % CAPACITY;
    count_--;
    return byte;
  }
  // Moves up to `length` bytes out; returns how many.
  uint32_t popInto(uint8_t *out, uint32_t length) {
    uint32_t moved = length < count_ ? length : count_;
    uint32_t first = CAPACITY - head_ < moved ? CAPACITY - head_ : moved;
    std::memcpy(out, bytes_ + head_, first);
    if (moved > first) {
      std::memcpy(out + first, bytes_, moved - first);
    }
    head_ = (head_ + moved) % CAPACITY;
    count_ -= moved;
    return moved;
  }
  // Moves up to `length` bytes in; returns how many.
  uint32_t pushFrom(const uint8_t *in, uint32_t length) {
    uint32_t moved = length < room() ? length : room();
    uint32_t tail = (head_ + count_) % CAPACITY;
    uint32_t first = CAPACITY - tail < moved ? CAPACITY - tail : moved;
    std::memcpy(bytes_ + tail, in, first);
    if (moved > first) {
      std::memcpy(bytes_, in + first, moved - first);
    }
    count_ += moved;
    return moved;
  }

private:
  uint8_t bytes_[CAPACITY] = {};
  uint32_t head_ = 0;
  uint32_t count_ = 0;
};

struct Fas408Options {
  uint8_t chipId = 0x0A; // REG_CHIP_ID; bits 0-2 are the revision the driver checks
  uint64_t clockNs = 25; // input clock period (40 MHz)
};

// The chip's state as a whole, for tests and the bench.
struct Fas408State {
  uint8_t bank, control;
  uint32_t transferCount;
  uint8_t config1, config2, config3, clockFactor;
  uint8_t syncPeriod, syncOffset, selectionTimeout, destinationId;
  uint8_t pioControl, pioConfig, chipId;
  uint8_t interruptStatus, sequenceStep;
  uint32_t fifoBytes, pioBytes;
  bool connected, atn, reselectEnabled;
  const char *running;
};

struct Fas408Counters {
  uint64_t illegalCommands = 0;
  uint8_t lastIllegalCommand = 0;
  uint64_t fifoOverflows = 0;
  uint64_t pioOverruns = 0;  // bytes written to a full PIO FIFO
  uint64_t pioUnderruns = 0; // bytes read from an empty PIO FIFO
  uint64_t strayAccesses = 0;
  // Port accesses by width (1, 2, 4) from a DMA transfer command to the next
  // command: the driver's data loops, the FIFO drained after the transfer
  // ended included. A block access counts each of its units.
  uint64_t dataPhaseAccesses[5] = {};
};

class Fas408 : public IoDevice, public Initiator {
public:
  Fas408(Clock &clock, ScsiBus &bus, Fas408Options options = {});

  // ------------------------------------------------------- the port side
  uint32_t read(uint32_t offset, unsigned width) override;
  void write(uint32_t offset, unsigned width, uint32_t value) override;
  void readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count) override;
  void writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer, uint32_t count) override;

  // ------------------------------------------------------- the bus side
  uint8_t ownId() const override { return config1_ & 7; }
  void targetResponded(uint64_t time, Target &target) override;
  void targetRequest(uint64_t time) override;
  void targetReleased(uint64_t time) override;
  bool reselected(uint64_t time, Target &target) override;
  void busReset(uint64_t time, bool asserted) override;
  void wake(uint64_t time) override;

  // ------------------------------------------------------- observation
  Fas408State state() const;
  std::vector<std::string> describe() const;
  const Fas408Counters &counters() const { return counters_; }
  const Fas408Options &options() const { return options_; }
  void setChipId(uint8_t chipId) { options_.chipId = chipId; }
  // Nanoseconds per byte in a phase with the current settings.
  uint64_t bytePeriodNs(Phase phase) const;

private:
  enum class Running : uint8_t {
    None,
    BusReset,
    Select,
    TransferInfo,
    TransferDma,
    InitiatorComplete,
    MessageAccepted,
  };
  enum class SelectStage : uint8_t { Arbitrate, Selecting, Sequence };
  enum class Event : uint8_t { None, Arbitration, SelectionTimeout, ResetEnd, Transfer };
  enum class Needs : uint8_t { Anything, Connected, Disconnected };

  // The handler table holds plain functions, each calling one member, so
  // that a polled register costs one indirect call.
  using Reader = uint8_t (*)(Fas408 &chip);
  using Writer = void (*)(Fas408 &chip, uint8_t value);
  template <uint8_t (Fas408::*HANDLER)()> static uint8_t reader(Fas408 &chip) {
    return (chip.*HANDLER)();
  }
  template <void (Fas408::*HANDLER)(uint8_t)> static void writer(Fas408 &chip, uint8_t value) {
    (chip.*HANDLER)(value);
  }
  struct RegisterHandlers {
    Reader read;
    Writer write;
  };
  struct CommandEntry {
    uint8_t code;
    const char *name;
    Needs needs;
    void (Fas408::*start)(uint64_t time);
  };
  static const RegisterHandlers BANKS[2][16];
  static const CommandEntry COMMANDS[];

  uint32_t readSlow(uint32_t offset, unsigned width);
  void popPio(uint8_t *buffer, uint32_t length);
  void pushPio(const uint8_t *buffer, uint32_t length);
  void countAccess(unsigned width, uint32_t units) {
    if (inDataLoop_ && width <= 4) {
      counters_.dataPhaseAccesses[width] += units;
    }
  }
  uint32_t readWide(uint32_t offset, unsigned width);
  void catchUp() {
    uint64_t now = clock_.now();
    if (now >= bus_.nextEvent()) {
      bus_.runUntil(now);
    }
  }

  // Register handlers, one per register and direction.
  uint8_t readTcLow() { return static_cast<uint8_t>(tc_); }
  uint8_t readTcMid() { return static_cast<uint8_t>(tc_ >> 8); }
  uint8_t readTcHigh() { return static_cast<uint8_t>(tc_ >> 16); }
  uint8_t readFifo();
  uint8_t readStatus() {
    return static_cast<uint8_t>((intStatus_ != 0 ? fas408::STATUS_INTERRUPT : 0) |
                                (tc_ == 0 ? fas408::STATUS_COUNT_ZERO : 0) | bus_.phaseCode());
  }
  uint8_t readIntStatus();
  uint8_t readSeqStep() { return seqStep_ & 7; }
  uint8_t readFifoFlags() { return static_cast<uint8_t>(fifo_.count() & 0x1F); }
  uint8_t readConfig3() { return config3_; }
  uint8_t readPioData();
  uint8_t readPioStatus();
  uint8_t readChipId() { return options_.chipId; }
  uint8_t readFloating() { return 0xFF; }
  uint8_t readStray();

  void writeTcLow(uint8_t value) { tc_ = (tc_ & 0xFFFF00) | value; }
  void writeTcMid(uint8_t value) { tc_ = (tc_ & 0xFF00FF) | (uint32_t{value} << 8); }
  void writeTcHigh(uint8_t value) { tc_ = (tc_ & 0x00FFFF) | (uint32_t{value} << 16); }
  void writeFifo(uint8_t value);
  void writeCommand(uint8_t value);
  void writeDestId(uint8_t value) { destId_ = value; }
  void writeSelTimeout(uint8_t value) { selTimeout_ = value; }
  void writeSyncPeriod(uint8_t value) { syncPeriod_ = value; }
  void writeSyncOffset(uint8_t value) { syncOffset_ = value; }
  void writeConfig1(uint8_t value) { config1_ = value; }
  void writeClockFactor(uint8_t value) { clockFactor_ = value; }
  void writeConfig2(uint8_t value) { config2_ = value; }
  void writeConfig3(uint8_t value) { config3_ = value; }
  void writeControl(uint8_t value) {
    control_ = value;
    bank_ = value >> 7;
  }
  void writePioData(uint8_t value);
  void writePioControl(uint8_t value);
  void writePioConfig(uint8_t value) { pioConfig_ = value; }
  void writeStray(uint8_t value);

  // Commands.
  void commandNop(uint64_t time);
  void commandFlushFifo(uint64_t time);
  void commandResetChip(uint64_t time);
  void commandResetBus(uint64_t time);
  void commandTransferInfo(uint64_t time);
  void commandInitiatorComplete(uint64_t time);
  void commandMessageAccepted(uint64_t time);
  void commandResetAtn(uint64_t time);
  void commandSelectAtn(uint64_t time);
  void commandSelectAtnStop(uint64_t time);
  void commandEnableReselect(uint64_t time);
  void commandTransferInfoDma(uint64_t time);
  void illegalCommand(uint8_t code);

  // The state machine.
  void startSelection(uint64_t time, bool stop);
  void arbitrationDone(uint64_t time);
  void selectionTimedOut(uint64_t time);
  void serveRequest(uint64_t time);
  void sequenceStep(uint64_t time, Phase phase);
  void infoStep(uint64_t time, Phase phase);
  void dmaStep(uint64_t time, Phase phase);
  void completeStep(uint64_t time, Phase phase);
  void finish(uint64_t time, uint8_t cause);
  void raise(uint8_t cause) { intStatus_ |= cause; }
  void reconsider(uint64_t time);
  bool canServe(Phase phase) const;
  void schedule(Event event, uint64_t time);
  void releaseHeldAck(uint64_t time);
  void sendFromFifo(uint64_t time, Phase phase, bool counted);
  uint8_t receive(uint64_t time, Phase phase);
  uint32_t runLength(uint64_t time, uint64_t period, uint32_t room) const;
  bool receiveRun(uint64_t time, Phase phase);
  bool sendRun(uint64_t time, Phase phase);
  void pumpToCore();
  void disconnect(uint64_t time);
  void driveLines(uint64_t time);
  void checkTransferMode(Phase phase);
  bool busCommandRunning() const {
    return running_ != Running::None && running_ != Running::BusReset &&
           !(running_ == Running::Select && selectStage_ != SelectStage::Sequence);
  }
  uint64_t selectionTimeoutNs() const;
  uint64_t syncPeriodNs() const;
  void resetCore();

  Clock &clock_;
  ScsiBus &bus_;
  Fas408Options options_;
  Fas408Counters counters_;

  // Registers.
  uint8_t bank_ = 0;
  uint8_t control_ = 0;
  uint32_t tc_ = 0;
  uint8_t config1_ = 0, config2_ = 0, config3_ = 0, clockFactor_ = 0;
  uint8_t syncPeriod_ = 0, syncOffset_ = 0, selTimeout_ = 0, destId_ = 0;
  uint8_t pioControl_ = 0, pioConfig_ = 0;
  uint8_t intStatus_ = 0;
  uint8_t seqStep_ = 0;
  ByteFifo<fas408::CHIP_FIFO_BYTES> fifo_;
  ByteFifo<fas408::PIO_FIFO_BYTES> pio_;

  // The command state machine.
  Running running_ = Running::None;
  SelectStage selectStage_ = SelectStage::Arbitrate;
  bool selectStop_ = false;
  uint32_t messageBytesSent_ = 0;
  uint32_t commandBytesSent_ = 0;
  Phase transferPhase_ = Phase::DataOut; // the bus phase at the transfer command
  bool dmaOutput_ = false;
  uint8_t completeStage_ = 0; // initiator complete: 0 start, 1 status taken, 2 message taken
  Event event_ = Event::None;
  uint64_t nextByteAt_ = 0;
  bool inDataLoop_ = false; // for counters_.dataPhaseAccesses

  // The bus side.
  bool connected_ = false;
  Target *target_ = nullptr;
  bool atn_ = false;
  bool ackHeld_ = false;
  bool selecting_ = false; // SEL driven
  bool rstDriven_ = false;
  uint64_t resetEndAt_ = 0;
  bool reselectEnabled_ = false;
};

} // namespace sim

#endif // KAV_SIM_FAS408_MODEL_H
