// The bus and the target engine, driven through the chip's registers the way
// the driver drives them: selection with and without an SDTR offer, the
// message, command, data and status phases, disconnection and the knobs of
// misbehaving targets.
#include "chip_session.h"
#include "class_driver.h"
#include "pattern.h"

#include <numeric>

namespace {

using sim::Phase;

const std::vector<uint8_t> TEST_UNIT_READY = {0x00, 0, 0, 0, 0, 0};
const std::vector<uint8_t> REQUEST_SENSE = {0x03, 0, 0, 0, 18, 0};

std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks) {
  return sim::Cdb10(0x28, 0, lba, blocks);
}

std::vector<uint8_t> Write10(uint32_t lba, uint16_t blocks) {
  return sim::Cdb10(0x2A, 0, lba, blocks);
}

using testdata::Pattern;

// A machine with a programmed chip and a disk at target 2 whose power-on
// unit attention has been collected.
struct DiskSession : ChipSession {
  explicit DiskSession(sim::TargetOptions options = {}, sim::SystemConfig config = {})
      : ChipSession(WithDisk(std::move(config), options)) {
    EXPECT_TRUE(resetAndProgram());
    clearUnitAttention();
  }
  static sim::SystemConfig WithDisk(sim::SystemConfig config, sim::TargetOptions options) {
    config.targets.push_back({2, options});
    config.disks.push_back({2, 0, {}});
    return config;
  }
  sim::DiskUnit &disk() { return *system.disk(2, 0); }
  sim::Target &target() { return system.target(2); }

  void clearUnitAttention() {
    sim::TargetOptions saved = target().options();
    target().options() = sim::TargetOptions{};
    runWithoutData(REQUEST_SENSE, 18);
    target().options() = saved;
  }

  // A whole command without SDTR (one-byte selection); returns the status.
  uint8_t runWithoutData(const std::vector<uint8_t> &cdb, uint32_t dataIn = 0) {
    Selection selection = select(2, {0x80}, cdb);
    if (selection.interrupt != 0x18) {
      return 0xFF;
    }
    if (dataIn > 0 && phase() == 1) {
      dataIn_ = this->dataIn(dataIn);
    }
    return statusPhase().status;
  }
  std::vector<uint8_t> dataIn_;
};

TEST(TargetEngine, OneByteSelectionSendsIdentifyAndCdbThenStopsAtStatus) {
  ChipSession chip;
  chip.system.addDisk(2, 0, {});
  ASSERT_TRUE(chip.resetAndProgram());
  chip.system.bus().recorder.setEnabled(true);

  ChipSession::Selection selection = chip.select(2, {0x80}, TEST_UNIT_READY);
  EXPECT_EQ(selection.interrupt, 0x18);
  EXPECT_EQ(selection.step, 4);
  EXPECT_EQ(selection.status, 0x93) << "interrupt, count zero, STATUS";
  EXPECT_EQ(chip.system.bus().recorder.bytes(Phase::MessageOut), std::vector<uint8_t>{0x80});
  EXPECT_EQ(chip.system.bus().recorder.bytes(Phase::Command), TEST_UNIT_READY);

  ChipSession::Status status = chip.statusPhase();
  EXPECT_EQ(status.status, 0x02) << "the power-on unit attention";
  EXPECT_EQ(status.message, 0x00) << "COMMAND COMPLETE";
  EXPECT_EQ(status.completeInterrupt, 0x20) << "the target freed the bus";
  EXPECT_TRUE(chip.system.bus().free());
  EXPECT_EQ(chip.phase(), 0) << "a free bus shows phase 0";

  std::vector<Phase> expected = {Phase::MessageOut, Phase::Command, Phase::Status,
                                 Phase::MessageIn};
  EXPECT_EQ(chip.system.bus().recorder.phases(), expected);
}

TEST(TargetEngine, CommandCompleteTakenInMessageInIsFollowedByBusFree) {
  DiskSession session;
  ASSERT_EQ(session.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  session.loadCount(1);
  session.command(0x90);
  EXPECT_EQ(session.waitInterrupt(), 0x97) << "status byte taken, the target in MESSAGE IN";
  EXPECT_EQ(session.read(0x5), 0x10);
  session.bank1();
  EXPECT_EQ(session.read(0x4), 0x00) << "GOOD";
  ChipSession::MessageIn message = session.messageIn();
  EXPECT_EQ(message.bytes, std::vector<uint8_t>{0x00});
  EXPECT_EQ(message.nextPhase, 0) << "a free bus shows phase 0";
  EXPECT_TRUE(session.system.bus().free());
  EXPECT_EQ(session.read(0x5), 0x20) << "the disconnect is latched";
}

TEST(TargetEngine, UnitAttentionIsReportedOnceWithItsSense) {
  ChipSession chip;
  chip.system.addDisk(2, 0, {});
  ASSERT_TRUE(chip.resetAndProgram());
  ASSERT_EQ(chip.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  EXPECT_EQ(chip.statusPhase().status, 0x02);

  ASSERT_EQ(chip.select(2, {0x80}, REQUEST_SENSE).interrupt, 0x18);
  std::vector<uint8_t> sense = chip.dataIn(18);
  ASSERT_EQ(sense.size(), 18u);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2], 0x06) << "UNIT ATTENTION";
  EXPECT_EQ(sense[12], 0x29) << "POWER ON OR RESET";
  EXPECT_EQ(chip.statusPhase().status, 0x00);

  ASSERT_EQ(chip.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  EXPECT_EQ(chip.statusPhase().status, 0x00);

  ASSERT_TRUE(chip.resetAndProgram());
  EXPECT_TRUE(chip.system.target(2).unitAttentionPending(0)) << "a bus reset brings it back";
}

TEST(TargetEngine, SdtrOfferStopsAfterIdentifyAndIsAnsweredInMessageIn) {
  DiskSession session;
  session.system.bus().recorder.setEnabled(true);
  ChipSession::Selection selection = session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {});
  EXPECT_EQ(selection.interrupt, 0x18);
  EXPECT_EQ(selection.step, 1);
  EXPECT_EQ(selection.status & 7, 6) << "the target wants more message bytes";
  EXPECT_TRUE(session.system.bus().atn()) << "ATN stays after SELECT ATN STOP";
  EXPECT_EQ(session.read(0x7), 5) << "the rest of the list waits in the FIFO";

  EXPECT_EQ(session.messageOut(), 0x10);
  EXPECT_FALSE(session.system.bus().atn());
  EXPECT_EQ(session.waitPhaseChange(6), 7);
  EXPECT_EQ(session.target().messageOut(),
            (std::vector<uint8_t>{0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}));

  ChipSession::MessageIn answer = session.messageIn();
  EXPECT_EQ(answer.bytes, (std::vector<uint8_t>{0x01, 0x03, 0x01, 0x19, 0x0F}));
  EXPECT_EQ(answer.nextPhase, 2);
  EXPECT_EQ(session.target().agreement().periodFactor, 25);
  EXPECT_EQ(session.target().agreement().offset, 15);

  // The agreed settings for the data phase, as the command phase loads them.
  session.write(0x6, 0x84);
  session.write(0x7, 15);
  uint8_t status = 0;
  EXPECT_EQ(session.commandPhase(Read10(0, 1), &status), 0x08);
  EXPECT_EQ(status & 0x97, 0x92) << "count zero, still COMMAND: the target works";
  EXPECT_EQ(session.waitPhaseChange(2), 1);
  std::vector<uint8_t> expected(512);
  session.disk().readBlocks(0, 1, expected.data());
  uint8_t endStatus = 0, endInterrupt = 0;
  EXPECT_EQ(session.dataIn(512, &endStatus, &endInterrupt), expected);
  EXPECT_EQ(endInterrupt, 0x10);
  EXPECT_EQ(endStatus, 0x93);
  EXPECT_EQ(session.system.bus().statistics.transferModeMismatches, 0u);
  EXPECT_EQ(session.statusPhase().status, 0x00);
}

TEST(TargetEngine, SdtrAnswersFollowTheTargetsKnob) {
  struct Case {
    const char *name;
    sim::SdtrAnswer answer;
    uint8_t counterPeriod, counterOffset;
    std::vector<uint8_t> messageIn;
    uint8_t agreedOffset;
  };
  const Case cases[] = {
      {"accept", sim::SdtrAnswer::Accept, 0, 0, {0x01, 0x03, 0x01, 0x19, 0x0F}, 15},
      {"counter", sim::SdtrAnswer::CounterPropose, 50, 8, {0x01, 0x03, 0x01, 0x32, 0x08}, 8},
      {"offset 16", sim::SdtrAnswer::CounterPropose, 25, 16, {0x01, 0x03, 0x01, 0x19, 0x10}, 16},
      {"offset 20", sim::SdtrAnswer::CounterPropose, 25, 20, {0x01, 0x03, 0x01, 0x19, 0x14}, 20},
      {"reject", sim::SdtrAnswer::Reject, 0, 0, {0x07}, 0},
  };
  for (const Case &c : cases) {
    sim::TargetOptions options;
    options.sdtrAnswer = c.answer;
    options.counterPeriod = c.counterPeriod;
    options.counterOffset = c.counterOffset;
    DiskSession session(options);
    ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
    ASSERT_EQ(session.messageOut(), 0x10) << c.name;
    ASSERT_EQ(session.waitPhaseChange(6), 7) << c.name;
    EXPECT_EQ(session.messageIn().bytes, c.messageIn) << c.name;
    EXPECT_EQ(session.target().agreement().offset, c.agreedOffset) << c.name;
  }
}

TEST(TargetEngine, IgnoredSdtrGoesStraightToTheCommandPhase) {
  sim::TargetOptions options;
  options.sdtrAnswer = sim::SdtrAnswer::Ignore;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
  EXPECT_EQ(session.messageOut(), 0x10);
  EXPECT_EQ(session.waitPhaseChange(6), 2);
  EXPECT_FALSE(session.target().agreement().synchronous());
}

TEST(TargetEngine, TargetProposesItsOwnSdtrOnceAfterEachReset) {
  sim::TargetOptions options;
  options.proposesSdtr = true;
  options.proposedPeriod = 50;
  options.proposedOffset = 8;
  DiskSession session(options);
  // The unit attention was collected before the knob was set; the first
  // selection with the knob on gets the proposal.
  ASSERT_EQ(session.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  EXPECT_EQ(session.phase(), 7);
  ChipSession::MessageIn proposal = session.messageIn();
  EXPECT_EQ(proposal.bytes, (std::vector<uint8_t>{0x01, 0x03, 0x01, 0x32, 0x08}));
  EXPECT_EQ(proposal.nextPhase, 2) << "the CDB went out with the selection; the target asks again";
  EXPECT_EQ(session.target().agreement().offset, 8);
}

TEST(TargetEngine, DataInArrivesByteExactFromOneBlockToOneMebibyte) {
  DiskSession session;
  std::vector<uint8_t> medium = Pattern(1024 * 1024, 7);
  session.disk().writeBlocks(0, 2048, medium.data());
  for (uint32_t blocks : {1u, 2u, 3u, 17u, 128u, 2048u}) {
    uint32_t length = blocks * 512;
    ASSERT_EQ(session.select(2, {0x80}, Read10(0, static_cast<uint16_t>(blocks))).interrupt, 0x18);
    ASSERT_EQ(session.phase(), 1);
    std::vector<uint8_t> received = session.dataIn(length);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), medium.begin()))
        << blocks << " blocks";
    EXPECT_EQ(received.size(), length);
    EXPECT_EQ(session.statusPhase().status, 0x00);
  }
}

TEST(TargetEngine, ShortReadLeavesTheCountOfBytesNotSent) {
  for (uint32_t sent : {1u, 100u, 127u, 128u, 129u, 256u, 511u}) {
    sim::TargetOptions options;
    options.shortReadBytes = sent;
    DiskSession session(options);
    ASSERT_EQ(session.select(2, {0x80}, Read10(0, 1)).interrupt, 0x18);
    uint8_t endStatus = 0, endInterrupt = 0;
    std::vector<uint8_t> received = session.dataIn(512, &endStatus, &endInterrupt);
    EXPECT_EQ(received.size(), sent);
    EXPECT_EQ(endInterrupt, 0x10);
    EXPECT_EQ(endStatus, 0x83) << "STATUS phase, count not zero";
    EXPECT_EQ(session.count(), 512 - sent);
    EXPECT_EQ(session.statusPhase().status, 0x00);
  }
}

TEST(TargetEngine, DataOutOfEveryTailReachesTheDisk) {
  DiskSession session;
  for (uint32_t blocks : {1u, 3u, 64u}) {
    std::vector<uint8_t> bytes = Pattern(blocks * 512, blocks);
    ASSERT_EQ(session.select(2, {0x80}, Write10(10, static_cast<uint16_t>(blocks))).interrupt,
              0x18);
    ASSERT_EQ(session.phase(), 0);
    EXPECT_EQ(session.dataOut(bytes), 0u);
    EXPECT_EQ(session.statusPhase().status, 0x00);
    std::vector<uint8_t> stored(bytes.size());
    session.disk().readBlocks(10, blocks, stored.data());
    EXPECT_EQ(stored, bytes) << blocks << " blocks";
  }
}

TEST(TargetEngine, ShortWriteShowsWhatTheTargetDidNotTakeInCountAndFifo) {
  for (uint32_t taken : {1u, 64u, 100u, 256u, 511u}) {
    sim::TargetOptions options;
    options.shortWriteBytes = taken;
    DiskSession session(options);
    ASSERT_EQ(session.select(2, {0x80}, Write10(0, 1)).interrupt, 0x18);
    EXPECT_EQ(session.dataOut(Pattern(512, 3)), 512 - taken) << taken << " taken";
    EXPECT_EQ(session.phase(), 3);
    EXPECT_EQ(session.statusPhase().status, 0x00);
  }
}

TEST(TargetEngine, OddLengthsMoveByteExactThroughThePioFifo) {
  for (uint32_t length : {1u, 2u, 3u, 5u, 63u, 64u, 65u, 127u, 129u, 130u, 191u, 300u}) {
    std::vector<uint8_t> in = Pattern(length, length);
    sim::SystemConfig config;
    ChipSession chip(config);
    chip.system.addScriptedTarget(
        5, {sim::ScriptStep::receive(Phase::MessageOut, 1),
            sim::ScriptStep::receive(Phase::Command, 6), sim::ScriptStep::send(Phase::DataIn, in),
            sim::ScriptStep::receive(Phase::DataOut, length),
            sim::ScriptStep::send(Phase::Status, {0x00}),
            sim::ScriptStep::send(Phase::MessageIn, {0x00}), sim::ScriptStep::busFree()});
    ASSERT_TRUE(chip.resetAndProgram());
    ASSERT_EQ(chip.select(5, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
    EXPECT_EQ(chip.dataIn(length), in) << length;
    ASSERT_EQ(chip.waitPhaseChange(1), 0);
    std::vector<uint8_t> out = Pattern(length, length + 1);
    EXPECT_EQ(chip.dataOut(out), 0u);
    auto &scripted = static_cast<sim::ScriptedTarget &>(chip.system.target(5));
    EXPECT_EQ(scripted.received(Phase::DataOut), out) << length;
    EXPECT_EQ(chip.statusPhase().status, 0x00);
  }
}

TEST(TargetEngine, SaveDataPointerAndDisconnectFreeTheBusAndReselectLater) {
  sim::TargetOptions options;
  options.disconnects = true;
  options.disconnectAtByte = 256;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, Read10(0, 1)).interrupt, 0x18);
  std::vector<uint8_t> first = session.dataIn(512);
  EXPECT_EQ(first.size(), 256u);
  EXPECT_EQ(session.phase(), 7);
  ChipSession::MessageIn messages = session.messageIn();
  EXPECT_EQ(messages.bytes, (std::vector<uint8_t>{0x02, 0x04}));
  EXPECT_TRUE(messages.disconnected);
  EXPECT_TRUE(session.system.bus().free());
  EXPECT_TRUE(session.target().taskPending());

  // CMD_ENABLE_RESELECT was given: the target comes back and the chip answers.
  EXPECT_EQ(session.waitInterrupt(), 0x87) << "reselected, the target in MESSAGE IN";
  EXPECT_EQ(session.read(0x5), 0x04);
  EXPECT_EQ(session.system.bus().statistics.reselections, 1u);
}

TEST(TargetEngine, UnansweredReselectionIsRetriedThenDropped) {
  sim::TargetOptions options;
  options.disconnects = true;
  options.reselectAttempts = 3;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  ASSERT_EQ(session.phase(), 7);
  // Take the messages without enabling reselection.
  session.bank0();
  session.command(0x01);
  session.command(0x10);
  while (session.system.bus().free() == false) {
    uint8_t status = session.waitInterrupt();
    ASSERT_NE(status, 0xFF);
    uint8_t interrupt = session.read(0x5);
    if (interrupt & 0x08) {
      session.read(0x2);
      session.command(0x12);
    } else if (interrupt & 0x10) {
      session.command(0x10);
    }
  }
  session.system.portDriver().stall(1'000'000); // a second of simulated time
  session.read(0x4);
  EXPECT_EQ(session.target().reselectionAttempts(), 3u);
  EXPECT_FALSE(session.target().taskPending()) << "the task was dropped";
}

TEST(TargetEngine, RestorePointersAndIdentifyComeBeforeTheData) {
  sim::TargetOptions options;
  options.identifyBeforeData = true;
  options.restorePointersBeforeData = true;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, Read10(0, 1)).interrupt, 0x18);
  ASSERT_EQ(session.phase(), 7);
  ChipSession::MessageIn messages = session.messageIn();
  EXPECT_EQ(messages.bytes, (std::vector<uint8_t>{0x80, 0x03}));
  EXPECT_EQ(messages.nextPhase, 1);
}

TEST(TargetEngine, FloodOfMessageBytesArrivesOneByOne) {
  sim::TargetOptions options;
  options.messageFloodBytes = 300;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  ChipSession::MessageIn flood = session.messageIn(1000);
  EXPECT_EQ(flood.bytes.size(), 300u);
  EXPECT_EQ(flood.nextPhase, 3);
}

TEST(TargetEngine, MoreDataThanCountedEndsTheTransferWithFunctionComplete) {
  sim::TargetOptions options;
  options.extraDataInBytes = 10;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, Read10(0, 1)).interrupt, 0x18);
  uint8_t endStatus = 0, endInterrupt = 0;
  std::vector<uint8_t> received = session.dataIn(512, &endStatus, &endInterrupt);
  EXPECT_EQ(received.size(), 512u) << "never more than the count";
  EXPECT_EQ(endInterrupt, 0x08);
  EXPECT_EQ(endStatus, 0x91) << "count zero, the target still in DATA IN";
}

TEST(TargetEngine, StalledTargetShowsItsPhaseButNeverAsks) {
  for (Phase stall : {Phase::Command, Phase::DataIn, Phase::Status}) {
    sim::TargetOptions options;
    options.stallIn = stall;
    DiskSession session(options);
    ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
    ASSERT_EQ(session.messageOut(), 0x10);
    ASSERT_EQ(session.messageIn().nextPhase, 2);
    uint8_t cdbEnd = session.commandPhase(stall == Phase::Status ? TEST_UNIT_READY : Read10(0, 1));
    if (stall == Phase::Command) {
      EXPECT_EQ(cdbEnd, 0) << "no command byte is ever taken";
      EXPECT_EQ(session.read(0x7), 10) << "the CDB waits in the chip FIFO";
      continue;
    }
    EXPECT_EQ(cdbEnd, 0x08);
    EXPECT_EQ(session.waitPhaseChange(2), static_cast<uint8_t>(stall));
    session.loadCount(512);
    session.command(0x90);
    EXPECT_EQ(session.waitInterrupt(100'000), 0xFF) << sim::phaseName(stall);
    EXPECT_EQ(session.count(), 512u);
  }
}

TEST(TargetEngine, StallAfterTheCommandKeepsAOneByteSelectionWaiting) {
  sim::TargetOptions options;
  options.stallIn = Phase::Status;
  DiskSession session(options);
  ChipSession::Selection selection = session.select(2, {0x80}, TEST_UNIT_READY);
  EXPECT_EQ(selection.interrupt, 0x00) << "the target never asks for the phase after the CDB";
  EXPECT_EQ(session.phase(), 3);
}

TEST(TargetEngine, StallMidTransferKeepsTheBusAfterTheBytesBeforeIt) {
  sim::TargetOptions options;
  options.stallAtByte = 100;
  DiskSession session(options);
  ASSERT_EQ(session.select(2, {0x80}, Read10(0, 1)).interrupt, 0x18);
  session.loadCount(512);
  session.command(0x90);
  EXPECT_EQ(session.waitInterrupt(100'000), 0xFF) << "no end of the transfer";
  EXPECT_EQ(session.count(), 412u) << "100 bytes came";
  EXPECT_EQ(session.phase(), 1);
  EXPECT_TRUE(session.target().connected());
}

TEST(TargetEngine, TargetDroppingTheBusFreesItWithoutAMessage) {
  for (Phase drop : {Phase::MessageOut, Phase::Status}) {
    SCOPED_TRACE(sim::phaseName(drop));
    sim::TargetOptions options;
    options.busFreeIn = drop;
    DiskSession session(options);
    ChipSession::Selection selection = session.select(2, {0x80}, TEST_UNIT_READY);
    EXPECT_EQ(selection.interrupt, 0x20) << "bus free during the selection sequence";
    EXPECT_EQ(selection.step, drop == Phase::MessageOut ? 0 : 3);
    EXPECT_TRUE(session.system.bus().free());
    EXPECT_FALSE(session.target().connected());
    EXPECT_FALSE(session.target().taskPending()) << "the task was dropped";
  }
}

TEST(TargetEngine, LongFormatKeepsTheCommandPhaseAfterTheCdbWentOut) {
  DiskSession session;
  session.disk().options().formatNs = 6'000'000'000; // beyond 2^24 polls of 255 ns
  ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
  ASSERT_EQ(session.messageOut(), 0x10);
  ASSERT_EQ(session.messageIn().nextPhase, 2);
  EXPECT_EQ(session.commandPhase({0x04, 0, 0, 0, 0, 0}), 0x08);
  uint64_t start = session.now();
  EXPECT_EQ(session.waitPhaseChange(2, 40'000'000), 3);
  EXPECT_GE(session.now() - start, 6'000'000'000u);
  EXPECT_EQ(session.statusPhase().status, 0x00);
}

TEST(TargetEngine, AbortAfterIdentifyFreesTheBusDuringMessageOut) {
  DiskSession session;
  ASSERT_EQ(session.select(2, {0xC0, 0x06}, {}).interrupt, 0x18);
  EXPECT_EQ(session.messageOut(), 0x20);
  EXPECT_TRUE(session.system.bus().free());
}

TEST(TargetEngine, BusDeviceResetFreesTheBusAndRaisesUnitAttention) {
  DiskSession session;
  ChipSession::Selection selection = session.select(2, {0x0C}, TEST_UNIT_READY);
  EXPECT_EQ(selection.interrupt, 0x20);
  EXPECT_EQ(selection.step, 2) << "the message went out, no command phase followed";
  EXPECT_TRUE(session.system.bus().free());
  EXPECT_TRUE(session.target().unitAttentionPending(0));
}

TEST(TargetEngine, MissingLunAndUnknownOpcodeGoThroughCheckCondition) {
  struct Case {
    uint8_t identify;
    std::vector<uint8_t> cdb;
    uint8_t key, asc;
  };
  const Case cases[] = {
      {0x83, TEST_UNIT_READY, 0x05, 0x25},
      {0x80, {0xC5, 0, 0, 0, 0, 0}, 0x05, 0x20},
      {0x80, Read10(5000, 1), 0x05, 0x21},
  };
  for (const Case &c : cases) {
    DiskSession session;
    ASSERT_EQ(session.select(2, {c.identify}, c.cdb).interrupt, 0x18);
    EXPECT_EQ(session.statusPhase().status, 0x02);
    ASSERT_EQ(session.select(2, {c.identify}, REQUEST_SENSE).interrupt, 0x18);
    std::vector<uint8_t> sense = session.dataIn(18);
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2], c.key);
    EXPECT_EQ(sense[12], c.asc);
    session.statusPhase();
  }
}

// A unit that answers every command with CHECK CONDITION and sense bytes of
// its own, as a unit forwarding to a real device does.
struct OwnSenseUnit : sim::LogicalUnit {
  std::vector<uint8_t> senseBytes;
  const char *commandName(uint8_t) const override { return "ANY"; }
  sim::Outcome execute(const uint8_t *, std::vector<uint8_t> &) override {
    sim::Outcome outcome = sim::Outcome::check({0x03, 0x11, 0x00});
    outcome.senseData = senseBytes;
    return outcome;
  }
};

TEST(TargetEngine, UnitsOwnSenseBytesComeBackAsTheyAreCutToTheAllocationLength) {
  struct Case {
    const char *name;
    uint8_t allocation;
    size_t expected;
  };
  const Case cases[] = {{"all of it", 252, 20}, {"cut", 8, 8}};
  for (const Case &c : cases) {
    ChipSession chip;
    auto unit = std::make_unique<OwnSenseUnit>();
    // Descriptor format, key MEDIUM ERROR: bytes no fixed-format builder makes.
    unit->senseBytes = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 12, 0x00, 0x0A,
                        0x80, 0,    0,    0,    0, 0, 0, 0,  0x12, 0x34};
    std::vector<uint8_t> own = unit->senseBytes;
    chip.system.addUnit(2, 0, std::move(unit));
    ASSERT_TRUE(chip.resetAndProgram());
    ASSERT_EQ(chip.select(2, {0x80}, REQUEST_SENSE).interrupt, 0x18);
    EXPECT_EQ(chip.dataIn(18)[12], 0x29) << c.name << ": the unit attention comes first";
    chip.statusPhase();

    ASSERT_EQ(chip.select(2, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
    EXPECT_EQ(chip.statusPhase().status, 0x02) << c.name;
    ASSERT_EQ(chip.select(2, {0x80}, {0x03, 0, 0, 0, c.allocation, 0}).interrupt, 0x18);
    std::vector<uint8_t> sense = chip.dataIn(c.allocation);
    EXPECT_EQ(sense, std::vector<uint8_t>(own.begin(), own.begin() + c.expected)) << c.name;
    EXPECT_EQ(chip.statusPhase().status, 0x00) << c.name;
    EXPECT_EQ(chip.system.target(2).senseOf(0), sim::sense::NO_SENSE) << c.name << ": cleared";

    ASSERT_EQ(chip.select(2, {0x80}, REQUEST_SENSE).interrupt, 0x18);
    std::vector<uint8_t> after = chip.dataIn(18);
    ASSERT_EQ(after.size(), 18u) << c.name;
    EXPECT_EQ(after[0], 0x70) << c.name << ": built again once the own bytes were read";
    EXPECT_EQ(after[2], 0x00) << c.name << ": NO SENSE";
    chip.statusPhase();
  }
}

TEST(TargetEngine, InquiryOfAMissingLunShowsQualifierThree) {
  DiskSession session;
  ASSERT_EQ(session.select(2, {0x85}, {0x12, 0, 0, 0, 36, 0}).interrupt, 0x18);
  std::vector<uint8_t> inquiry = session.dataIn(36);
  ASSERT_EQ(inquiry.size(), 36u);
  EXPECT_EQ(inquiry[0], 0x7F);
}

TEST(TargetEngine, BusyTargetAnswersBusyStatus) {
  sim::TargetOptions options;
  DiskSession session(options);
  session.target().options().busyCommands = 1;
  EXPECT_EQ(session.runWithoutData(TEST_UNIT_READY), 0x08);
  EXPECT_EQ(session.runWithoutData(TEST_UNIT_READY), 0x00);
}

TEST(TargetEngine, TargetIgnoringAtnLeavesSequenceStepZero) {
  sim::TargetOptions options;
  options.ignoresAtn = true;
  DiskSession session(options);
  ChipSession::Selection selection = session.select(2, {0x80}, TEST_UNIT_READY);
  EXPECT_EQ(selection.interrupt, 0x18);
  EXPECT_EQ(selection.step, 0);
  EXPECT_EQ(session.phase(), 2);
  EXPECT_FALSE(session.system.bus().atn()) << "ATN dropped after step 0";
}

TEST(TargetEngine, SynchronousDataPhaseRunsAtTheProgrammedPeriod) {
  DiskSession session;
  ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
  session.messageOut();
  session.messageIn();
  session.system.bus().recorder.setEnabled(true);
  session.write(0x6, 0x84);
  session.write(0x7, 15);
  session.commandPhase(Read10(0, 1));
  session.waitPhaseChange(2);
  session.dataIn(512);
  std::vector<uint64_t> times;
  for (const sim::BusEvent &event : session.system.bus().recorder.events()) {
    if (event.kind == sim::BusEvent::Kind::Byte && event.phase == Phase::DataIn) {
      times.push_back(event.time);
    }
  }
  ASSERT_EQ(times.size(), 512u);
  EXPECT_EQ(times[1] - times[0], 100u);
  EXPECT_EQ(session.system.bus().statistics.transferModeMismatches, 0u);
}

TEST(TargetEngine, AsynchronousChipAgainstASynchronousTargetIsCounted) {
  DiskSession session;
  ASSERT_EQ(session.select(2, {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F}, {}).interrupt, 0x18);
  session.messageOut();
  session.messageIn();
  session.commandPhase(Read10(0, 1)); // period 10, offset 0 left from selection
  session.waitPhaseChange(2);
  session.dataIn(512);
  EXPECT_EQ(session.system.bus().statistics.transferModeMismatches, 1u);
}

TEST(ScriptedTarget, PlaysTheListExactlyAndKeepsWhatItReceived) {
  ChipSession chip;
  sim::ScriptedTarget &scripted = chip.system.addScriptedTarget(
      6, {sim::ScriptStep::receive(Phase::MessageOut, 1),
          sim::ScriptStep::send(Phase::MessageIn, {0x07}),
          sim::ScriptStep::receive(Phase::Command, 6), sim::ScriptStep::send(Phase::Status, {0x08}),
          sim::ScriptStep::send(Phase::MessageIn, {0x00}), sim::ScriptStep::busFree()});
  ASSERT_TRUE(chip.resetAndProgram());
  ChipSession::Selection selection = chip.select(6, {0x80}, TEST_UNIT_READY);
  EXPECT_EQ(selection.interrupt, 0x18);
  EXPECT_EQ(selection.step, 2) << "IDENTIFY went out, then MESSAGE IN instead of COMMAND";
  EXPECT_EQ(chip.messageIn().bytes, std::vector<uint8_t>{0x07});
  EXPECT_EQ(chip.commandPhase(TEST_UNIT_READY), 0x08);
  EXPECT_EQ(chip.waitPhaseChange(2), 3);
  EXPECT_EQ(chip.statusPhase().status, 0x08);
  EXPECT_EQ(scripted.received(Phase::Command), TEST_UNIT_READY);
  EXPECT_EQ(scripted.received(Phase::MessageOut), std::vector<uint8_t>{0x80});
}

TEST(ScriptedTarget, BusFreeInTheMiddleOfDataEndsTheTransferWithDisconnect) {
  ChipSession chip;
  chip.system.addScriptedTarget(3, {sim::ScriptStep::receive(Phase::MessageOut, 1),
                                    sim::ScriptStep::receive(Phase::Command, 6),
                                    sim::ScriptStep::send(Phase::DataIn, Pattern(100, 1)),
                                    sim::ScriptStep::busFree()});
  ASSERT_TRUE(chip.resetAndProgram());
  ASSERT_EQ(chip.select(3, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  uint8_t endStatus = 0, endInterrupt = 0;
  EXPECT_EQ(chip.dataIn(512, &endStatus, &endInterrupt), Pattern(100, 1));
  EXPECT_EQ(endInterrupt, 0x20);
  EXPECT_EQ(endStatus, 0x80) << "a free bus: phase 0, count not zero";
  EXPECT_EQ(chip.count(), 412u);
}

TEST(ScriptedTarget, ReselectsAfterABusFreeAndPlaysTheRest) {
  ChipSession chip;
  chip.system.addScriptedTarget(
      4,
      {sim::ScriptStep::receive(Phase::MessageOut, 1), sim::ScriptStep::receive(Phase::Command, 6),
       sim::ScriptStep::send(Phase::MessageIn, {0x04}), // DISCONNECT
       sim::ScriptStep::busFree(), sim::ScriptStep::reselect(),
       sim::ScriptStep::send(Phase::MessageIn, {0x80}), sim::ScriptStep::send(Phase::Status, {0}),
       sim::ScriptStep::send(Phase::MessageIn, {0x00}), sim::ScriptStep::busFree()});
  ASSERT_TRUE(chip.resetAndProgram());
  ASSERT_EQ(chip.select(4, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  ChipSession::MessageIn disconnect = chip.messageIn();
  EXPECT_EQ(disconnect.bytes, std::vector<uint8_t>{0x04});
  EXPECT_TRUE(disconnect.disconnected);
  EXPECT_EQ(chip.waitInterrupt(), 0x97) << "reselected, the target in MESSAGE IN, count zero";
  EXPECT_EQ(chip.read(0x5), 0x04);
  ChipSession::MessageIn identify = chip.messageIn();
  EXPECT_EQ(identify.bytes, std::vector<uint8_t>{0x80});
  EXPECT_EQ(identify.nextPhase, 3);
  EXPECT_EQ(chip.statusPhase().status, 0x00);
}

TEST(ScriptedTarget, StepsAfterABusFreeWithoutReselectionAreDroppedAndANewListPlaysNext) {
  ChipSession chip;
  sim::ScriptedTarget &scripted = chip.system.addScriptedTarget(
      4,
      {sim::ScriptStep::receive(Phase::MessageOut, 1), sim::ScriptStep::receive(Phase::Command, 6),
       sim::ScriptStep::busFree(), sim::ScriptStep::send(Phase::Status, {0})});
  ASSERT_TRUE(chip.resetAndProgram());
  EXPECT_EQ(chip.select(4, {0x80}, TEST_UNIT_READY).interrupt, 0x20);
  chip.system.portDriver().stall(1'000); // a millisecond of simulated time
  chip.read(0x4);
  EXPECT_TRUE(chip.system.bus().free()) << "no STATUS on a bus the target has left";

  scripted.setSteps({sim::ScriptStep::receive(Phase::MessageOut, 1),
                     sim::ScriptStep::receive(Phase::Command, 6),
                     sim::ScriptStep::send(Phase::Status, {0x02}),
                     sim::ScriptStep::send(Phase::MessageIn, {0x00}), sim::ScriptStep::busFree()});
  ASSERT_EQ(chip.select(4, {0x80}, TEST_UNIT_READY).interrupt, 0x18);
  EXPECT_EQ(chip.statusPhase().status, 0x02);
  EXPECT_EQ(scripted.connections(), 2u);
}

TEST(ScriptedTarget, ListLongerThanTheSequencerIsCutAndCounted) {
  std::vector<sim::ScriptStep> steps(30, sim::ScriptStep::send(Phase::MessageIn, {0x08}));
  ChipSession chip;
  sim::ScriptedTarget &scripted = chip.system.addScriptedTarget(1, steps);
  ASSERT_TRUE(chip.resetAndProgram());
  chip.select(1, {0x80}, TEST_UNIT_READY);
  EXPECT_EQ(scripted.scriptOverflows(), 30u - sim::StepScript::CAPACITY);
}

TEST(ScsiBus, ShowsTheOrOfEveryParticipantsLines) {
  sim::ScsiBus bus;
  sim::Target a(bus, 1), b(bus, 2);
  bus.drive(a, sim::line::BSY | 0x02, 0);
  bus.drive(b, sim::line::ATN | 0x04, 0);
  EXPECT_EQ(bus.lines(), sim::line::BSY | sim::line::ATN | 0x06u);
  EXPECT_FALSE(bus.free());
  bus.drive(a, 0, 0);
  EXPECT_EQ(bus.lines(), sim::line::ATN | 0x04u);
  EXPECT_TRUE(bus.free());
}

} // namespace
