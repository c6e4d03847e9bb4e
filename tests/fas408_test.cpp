// The chip model's registers on their own: banks, directions, the interrupt
// latch, the transfer count, the FIFOs, identity, resets and illegal
// commands. Offsets and values are written as literals.
#include "chip_session.h"

namespace {

TEST(Fas408Banks, ControlBitSevenSwitchesTheBankOfSharedOffsets) {
  ChipSession chip;
  chip.write(0xE, 0x56); // bank 0: transfer count bits 16-23
  chip.bank1();
  EXPECT_EQ(chip.read(0xE), 0x0A) << "bank 1 offset 0xE is the chip identity";
  chip.write(0xD, 0x84);
  EXPECT_EQ(chip.read(0xE), 0x0A) << "any value with bit 7 selects bank 1";
  chip.write(0xD, 0x30);
  EXPECT_EQ(chip.read(0xE), 0x56) << "0x30 selects bank 0";
  EXPECT_EQ(chip.system.chip().state().control, 0x30);
}

TEST(Fas408Banks, WriteOnlyRegistersReadAsFloatingBus) {
  ChipSession chip;
  for (uint32_t offset : {0x3u, 0x8u, 0x9u, 0xBu, 0xDu}) {
    EXPECT_EQ(chip.read(offset), 0xFF) << "offset " << offset;
  }
  chip.bank1();
  EXPECT_EQ(chip.read(0xB), 0xFF);
  EXPECT_EQ(chip.system.chip().counters().strayAccesses, 0u);
}

TEST(Fas408Banks, OffsetsOutsideTheMapAreCountedAsStray) {
  ChipSession chip;
  EXPECT_EQ(chip.read(0xA), 0xFF);
  chip.bank1();
  chip.write(0x0, 0x12);
  chip.read(0x5);
  chip.write(0xE, 0x00); // the identity is read-only
  EXPECT_EQ(chip.system.chip().counters().strayAccesses, 4u);
  EXPECT_EQ(chip.read(0xE), 0x0A);
}

TEST(Fas408Registers, TransferCountHoldsTwentyFourBitsAndShowsZeroInStatus) {
  ChipSession chip;
  EXPECT_EQ(chip.read(0x4) & 0x10, 0x10) << "an idle chip's count is zero";
  chip.write(0x0, 0x12);
  chip.write(0x1, 0x34);
  chip.write(0xE, 0x56);
  EXPECT_EQ(chip.read(0x0), 0x12);
  EXPECT_EQ(chip.read(0x1), 0x34);
  EXPECT_EQ(chip.read(0xE), 0x56);
  EXPECT_EQ(chip.read(0x4) & 0x10, 0x00);
  chip.loadCount(0);
  EXPECT_EQ(chip.read(0x4), 0x10) << "free bus: no interrupt, count zero, phase 0";
}

TEST(Fas408Registers, ConfigThreeReadsBackWhatWasWritten) {
  ChipSession chip;
  chip.write(0xC, 0x90);
  EXPECT_EQ(chip.read(0xC), 0x90);
  chip.write(0xC, 0x10);
  EXPECT_EQ(chip.read(0xC), 0x10);
}

TEST(Fas408Fifo, KeepsSixteenBytesInOrderAndCountsThemInTheFlags) {
  ChipSession chip;
  for (uint8_t i = 0; i < 17; i++) {
    chip.write(0x2, static_cast<uint8_t>(0xA0 + i));
  }
  EXPECT_EQ(chip.read(0x7), 16) << "the seventeenth byte is dropped";
  EXPECT_EQ(chip.system.chip().counters().fifoOverflows, 1u);
  EXPECT_EQ(chip.read(0x2), 0xA0);
  EXPECT_EQ(chip.read(0x2), 0xA1);
  EXPECT_EQ(chip.read(0x7), 14);
  chip.command(0x01);
  EXPECT_EQ(chip.read(0x7), 0);
  EXPECT_EQ(chip.read(0x2), 0xFF) << "an empty FIFO reads 0xFF";
}

TEST(Fas408Interrupt, IllegalCommandLatchesUntilTheCauseIsRead) {
  ChipSession chip;
  chip.command(0x77);
  EXPECT_EQ(chip.read(0x4) & 0x80, 0x80);
  EXPECT_EQ(chip.read(0x4) & 0x80, 0x80) << "reading the status keeps the latch";
  EXPECT_EQ(chip.read(0x5), 0x40);
  EXPECT_EQ(chip.read(0x4) & 0x80, 0x00) << "reading the cause clears it";
  EXPECT_EQ(chip.read(0x5), 0x00);
  EXPECT_EQ(chip.system.chip().counters().illegalCommands, 1u);
  EXPECT_EQ(chip.system.chip().counters().lastIllegalCommand, 0x77);
}

TEST(Fas408Interrupt, CommandsThatNeedAConnectionAreIllegalOnAFreeBus) {
  struct Case {
    uint8_t code;
    bool illegal;
  };
  const Case cases[] = {
      {0x10, true}, {0x11, true},  {0x12, true},  {0x90, true},  {0x91, true},
      {0xC2, true}, {0x00, false}, {0x01, false}, {0x1B, false}, {0x44, false},
  };
  for (const Case &c : cases) {
    ChipSession chip;
    chip.command(c.code);
    EXPECT_EQ(chip.read(0x5), c.illegal ? 0x40 : 0x00) << "command 0x" << std::hex << int(c.code);
  }
}

TEST(Fas408Identity, ChipIdIsConfigurable) {
  for (uint8_t id : {0x0A, 0x05, 0x03, 0x07}) {
    sim::SystemConfig config;
    config.chip.chipId = id;
    ChipSession chip(config);
    chip.bank1();
    EXPECT_EQ(chip.read(0xE), id);
  }
}

TEST(Fas408Reset, BusResetHoldsRstThenLatchesTheResetInterrupt) {
  ChipSession chip;
  chip.system.bus().recorder.setEnabled(true);
  chip.write(0xD, 0x30);
  uint64_t start = chip.now();
  chip.command(0x03);
  EXPECT_TRUE(chip.system.bus().reset()) << "RST is on the bus at once";
  EXPECT_EQ(chip.read(0x4) & 0x80, 0x00) << "not yet reported";
  uint8_t status = chip.waitInterrupt();
  uint64_t seen = chip.now();
  EXPECT_EQ(status & 0x80, 0x80);
  EXPECT_FALSE(chip.system.bus().reset());
  EXPECT_EQ(chip.read(0x5), 0x80);
  EXPECT_GE(seen - start, 25'000u);
  EXPECT_LT(seen - start, 26'000u);
  const auto &events = chip.system.bus().recorder.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, sim::BusEvent::Kind::ResetAsserted);
  EXPECT_EQ(events[1].kind, sim::BusEvent::Kind::ResetReleased);
}

TEST(Fas408Reset, SelectionWhileRstIsHeldIsIllegalAndRstStillEnds) {
  ChipSession chip;
  chip.command(0x03);
  chip.write(0x4, 2);
  chip.command(0x42);
  EXPECT_EQ(chip.read(0x5), 0x40);
  EXPECT_EQ(chip.waitInterrupt(), 0x90) << "the reset is still reported, on a free bus";
  EXPECT_EQ(chip.read(0x5), 0x80);
  EXPECT_FALSE(chip.system.bus().reset());
}

TEST(Fas408Reset, ConfigOneBitSixSilencesTheResetInterrupt) {
  ChipSession chip;
  chip.write(0x8, 0x40);
  chip.command(0x03);
  EXPECT_EQ(chip.waitInterrupt(1'000), 0xFF);
  EXPECT_FALSE(chip.system.bus().reset()) << "the reset itself still happened";
}

TEST(Fas408Reset, ChipResetReturnsTheCoreToPowerOnButKeepsTheBank) {
  ChipSession chip;
  ASSERT_TRUE(chip.resetAndProgram());
  chip.bank0();
  chip.loadCount(0x123);
  chip.write(0x2, 0x11);
  chip.command(0x77);
  chip.command(0x02);
  sim::Fas408State state = chip.system.chip().state();
  EXPECT_EQ(state.bank, 0);
  EXPECT_EQ(state.config1, 0x00);
  EXPECT_EQ(state.config3, 0x00);
  EXPECT_EQ(state.syncPeriod, 0x00);
  EXPECT_EQ(state.selectionTimeout, 0x00);
  EXPECT_EQ(state.transferCount, 0u);
  EXPECT_EQ(state.fifoBytes, 0u);
  EXPECT_EQ(state.interruptStatus, 0x00);
  EXPECT_EQ(state.pioControl, 0x01) << "the PIO interface is not the core";
}

TEST(Fas408Pio, DataPortMovesBytesLittleEndianAtEveryWidth) {
  ChipSession chip;
  chip.bank1();
  auto &io = chip.system.machine().io;
  io.write(chip.port(0x4), 4, 0x44332211);
  io.write(chip.port(0x4), 2, 0x6655);
  chip.write(0x4, 0x77);
  EXPECT_EQ(chip.system.chip().state().pioBytes, 7u);
  EXPECT_EQ(chip.read(0x4), 0x11);
  EXPECT_EQ(io.read(chip.port(0x4), 2), 0x3322u);
  EXPECT_EQ(io.read(chip.port(0x4), 4), 0x77665544u);
  EXPECT_EQ(io.read(chip.port(0x4), 2), 0xFFFFu) << "an empty FIFO reads 0xFF per byte";
  EXPECT_EQ(chip.system.chip().counters().pioUnderruns, 2u);
}

TEST(Fas408Pio, StatusShowsEmptyBlockAndFullAsTheFifoFills) {
  ChipSession chip;
  chip.bank1();
  chip.write(0x8, 0x01);
  EXPECT_EQ(chip.read(0x8), 0x59) << "room, DMA port on, empty, no transfer";
  std::vector<uint8_t> bytes(256, 0x5A);
  auto &io = chip.system.machine().io;
  io.writeBlock(chip.port(0x4), 4, bytes.data(), 32);
  EXPECT_EQ(chip.read(0x8), 0x4B) << "128 held: a block can be read, room for 64";
  io.writeBlock(chip.port(0x4), 4, bytes.data(), 32);
  EXPECT_EQ(chip.read(0x8), 0xCA) << "full";
  chip.write(0x4, 0x01);
  EXPECT_EQ(chip.system.chip().counters().pioOverruns, 1u);
  chip.bank0();
  chip.command(0x01);
  chip.bank1();
  EXPECT_EQ(chip.read(0x8), 0x59) << "FLUSH FIFO empties the PIO FIFO too";
}

TEST(Fas408Timing, SynchronousPeriodFollowsPeriodOffsetAndFastBit) {
  struct Case {
    uint8_t period, offset, config3;
    uint64_t dataByteNs;
  };
  const Case cases[] = {
      {0x0A, 0, 0x10, 400},                         // asynchronous
      {0x84, 15, 0x10, 100}, {0x84, 15, 0x00, 200}, // below 8 clocks needs the fast bit
      {0x08, 8, 0x00, 200},  {0x0B, 15, 0x10, 275}, {0x02, 15, 0x10, 100},
  };
  for (const Case &c : cases) {
    ChipSession chip;
    chip.write(0x6, c.period);
    chip.write(0x7, c.offset);
    chip.write(0xC, c.config3);
    EXPECT_EQ(chip.system.chip().bytePeriodNs(sim::Phase::DataIn), c.dataByteNs)
        << "period 0x" << std::hex << int(c.period);
    EXPECT_EQ(chip.system.chip().bytePeriodNs(sim::Phase::MessageIn), 400u)
        << "only data phases are synchronous";
  }
}

TEST(Fas408Selection, AbsentTargetTimesOutAfterTheSelectionTimeout) {
  ChipSession chip;
  ASSERT_TRUE(chip.resetAndProgram());
  uint64_t start = chip.now();
  ChipSession::Selection selection = chip.select(4, {0x80}, {0x00, 0, 0, 0, 0, 0});
  uint64_t elapsed = chip.now() - start;
  EXPECT_EQ(selection.interrupt, 0x20);
  EXPECT_EQ(selection.step, 0);
  EXPECT_GE(elapsed, 250'675'200u) << "0x99 x 8192 x 8 x 25 ns";
  EXPECT_LT(elapsed, 250'800'000u);
  EXPECT_EQ(chip.system.bus().statistics.selectionTimeouts, 1u);
  EXPECT_TRUE(chip.system.bus().free());
}

TEST(Fas408Selection, SelectingWhileASelectionRunsIsIllegal) {
  ChipSession chip;
  ASSERT_TRUE(chip.resetAndProgram());
  chip.bank0();
  chip.write(0x4, 5);
  chip.write(0x2, 0x80);
  chip.command(0x42);
  chip.command(0x42);
  EXPECT_EQ(chip.read(0x5), 0x40);
}

} // namespace
