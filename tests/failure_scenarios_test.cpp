// Failures on the whole machine, through our port driver: a target that stops
// answering in the middle of a transfer, sends more than asked, floods
// message bytes or drops the bus in any phase, and a chip that does not
// report its bus reset or names the wrong identity. Every request ends, by
// the driver or by the bus reset after the port driver's time-out; then the
// adapter serves the disk again (TEST UNIT READY, a write read back), and
// the disk holds exactly what the driver was asked to write.
//
// Related cases elsewhere: a stall in STATUS or MESSAGE IN
// (machine_scenarios_test), in COMMAND (requests_on_chip_test), more data than
// the buffer holds and polite disconnects (data_on_chip_test), and the chip
// cases at the register level (initialize_test).
#include "test_machine.h"

#include <functional>

namespace {

using namespace machine;
using sim::Phase;

constexpr uint8_t kDisk = 2;
constexpr uint32_t kLba = 10;
constexpr uint16_t kBlocks = 4;

enum class Ask : uint8_t { Read, Write };
enum class Ends : uint8_t {
  Completed,    // by the driver, with the status given
  ThroughReset, // left outstanding, logged once, returned by the bus reset
};

struct TargetCase {
  const char *name;
  std::function<void(sim::TargetOptions &)> misbehave;
  bool negotiatedBefore; // a request has settled the SDTR offer already
  Ask ask;
  Ends ends;
  uint8_t status = 0;  // for Ends::Completed
  bool stored = false; // a write reached the medium (whatever the status)
};

sim::DiskOptions SmallDisk() {
  sim::DiskOptions disk;
  disk.blocks = 256;
  return disk;
}

// A disk at target 2 without a pending unit attention, filled with a pattern.
class FailureMachine {
public:
  FailureMachine() : m_(Config()) { disk().writeBlocks(0, disk().blocks(), image_.data()); }

  TestMachine &m() { return m_; }
  sim::DiskUnit &disk() { return *m_.system().disk(kDisk, 0); }
  sim::TargetOptions &options() { return m_.target(kDisk).options(); }
  std::vector<uint8_t> &image() { return image_; }

  std::vector<uint8_t> medium() {
    std::vector<uint8_t> bytes(disk().blocks() * 512u);
    disk().readBlocks(0, disk().blocks(), bytes.data());
    return bytes;
  }

  // The request of a case: a read or a write of four blocks at LBA 10.
  sim::Request &start(Ask ask) {
    if (ask == Ask::Read) {
      return m_.start(Read10(kDisk, kLba, kBlocks));
    }
    return m_.start(Write10(kDisk, kLba, Pattern(kBlocks * 512u, 77)));
  }

  // The adapter serves the disk: TEST UNIT READY, then a write read back.
  void expectServed(uint32_t lba, uint32_t seed) {
    EXPECT_EQ(m_.execute(TestUnitReady(kDisk)).status, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> bytes = Pattern(2 * 512, seed);
    sim::Request &write = m_.execute(Write10(kDisk, lba, bytes));
    ASSERT_EQ(write.status, SRB_STATUS_SUCCESS);
    std::copy(bytes.begin(), bytes.end(), image_.begin() + lba * 512u);
    sim::Request &read = m_.execute(Read10(kDisk, lba, 2));
    ASSERT_EQ(read.status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(DataOf(read), bytes);
  }

private:
  static sim::SystemConfig Config() {
    sim::SystemConfig config = ConfigUnderTest();
    config.targets.push_back({kDisk, Settled()});
    config.disks.push_back({kDisk, 0, SmallDisk()});
    return config;
  }

  TestMachine m_;
  std::vector<uint8_t> image_ = Pattern(256 * 512, 11);
};

void RunTargetCase(const TargetCase &c) {
  SCOPED_TRACE(c.name);
  FailureMachine f;
  TestMachine &m = f.m();
  if (c.negotiatedBefore) {
    ASSERT_EQ(m.execute(TestUnitReady(kDisk)).status, SRB_STATUS_SUCCESS);
  }
  c.misbehave(f.options());
  m.port().clearEvents();

  sim::Request &request = f.start(c.ask);

  if (c.ends == Ends::Completed) {
    ASSERT_TRUE(request.completed);
    EXPECT_EQ(request.status, c.status);
    EXPECT_TRUE(m.errorLog().empty());
    EXPECT_TRUE(m.port().driverReady());
  } else {
    EXPECT_FALSE(request.completed);
    EXPECT_FALSE(m.port().driverReady()) << "no NextRequest";
    EXPECT_EQ(m.errorLog().size(), 1u);
    m.port().expireOldestRequest();
    ASSERT_TRUE(request.completed);
    EXPECT_FALSE(request.completedByPortDriver) << "the bus reset returned it";
    EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(m.port().timeouts(), 1u);
  }
  EXPECT_LE(request.srb.DataTransferLength, kBlocks * 512u);
  if (c.stored) {
    std::vector<uint8_t> written = Pattern(kBlocks * 512u, 77);
    std::copy(written.begin(), written.end(), f.image().begin() + kLba * 512u);
  }
  EXPECT_EQ(f.medium(), f.image()) << "the disk holds only what was written";

  f.options() = Settled();
  f.expectServed(100, 5);
  EXPECT_EQ(f.medium(), f.image());
}

// ------------------------------------------------------- hostile targets

TEST(FailureScenario, ATargetThatStopsAnsweringMidTransferEndsThroughTheBusReset) {
  const TargetCase cases[] = {
      {"read, after 1000 of 2048 bytes", [](sim::TargetOptions &o) { o.stallAtByte = 1000; }, true,
       Ask::Read, Ends::ThroughReset, 0},
      {"read, before the first byte", [](sim::TargetOptions &o) { o.stallAtByte = 0; }, true,
       Ask::Read, Ends::ThroughReset, 0},
      {"write, after 1000 of 2048 bytes", [](sim::TargetOptions &o) { o.stallAtByte = 1000; }, true,
       Ask::Write, Ends::ThroughReset, 0},
      {"write, after 2047 of 2048 bytes", [](sim::TargetOptions &o) { o.stallAtByte = 2047; },
       false, Ask::Write, Ends::ThroughReset, 0},
  };
  for (const TargetCase &c : cases) {
    RunTargetCase(c);
  }
}

TEST(FailureScenario, ATargetThatSendsMoreThanAskedEndsThroughTheBusReset) {
  RunTargetCase({"100 bytes past a read of 2048",
                 [](sim::TargetOptions &o) { o.extraDataInBytes = 100; }, true, Ask::Read,
                 Ends::ThroughReset, 0});
}

// The message-in buffer holds 256 bytes; a longer phase fails instead of
// storing past it.
TEST(FailureScenario, AFloodOfMessageBytesIsTakenOrFailsWithoutHarm) {
  const TargetCase cases[] = {
      {"100 NO OPERATION, then the data", [](sim::TargetOptions &o) { o.messageFloodBytes = 100; },
       true, Ask::Read, Ends::Completed, SRB_STATUS_SUCCESS},
      {"100 NO OPERATION, then a write", [](sim::TargetOptions &o) { o.messageFloodBytes = 100; },
       true, Ask::Write, Ends::Completed, SRB_STATUS_SUCCESS, true},
      {"1000 NO OPERATION", [](sim::TargetOptions &o) { o.messageFloodBytes = 1000; }, true,
       Ask::Read, Ends::ThroughReset, 0},
      {"1000 MESSAGE REJECT before a write",
       [](sim::TargetOptions &o) {
         o.messageFloodBytes = 1000;
         o.floodByte = 0x07;
       },
       true, Ask::Write, Ends::ThroughReset, 0},
  };
  for (const TargetCase &c : cases) {
    RunTargetCase(c);
  }
}

// A target that frees the bus where it should enter a phase. Where it leaves
// within the selection (before the first message byte, or once the command
// of a one-step selection is in) the bus is free again and nothing moved: the
// driver reports a selection time-out. Everywhere else the sequence fails
// and the bus reset returns the request.
TEST(FailureScenario, ATargetThatDropsTheBusInAnyPhaseLeavesTheAdapterUsable) {
  struct DropCase {
    const char *name;
    Phase phase;
    bool negotiatedBefore;
    Ask ask;
    Ends ends;
    uint8_t status;
    bool stored = false;
  };
  const DropCase cases[] = {
      {"MESSAGE OUT, first contact", Phase::MessageOut, false, Ask::Read, Ends::Completed,
       SRB_STATUS_SELECTION_TIMEOUT},
      {"MESSAGE OUT", Phase::MessageOut, true, Ask::Read, Ends::Completed,
       SRB_STATUS_SELECTION_TIMEOUT},
      {"COMMAND, after the SDTR offer", Phase::Command, false, Ask::Read, Ends::ThroughReset, 0},
      {"COMMAND", Phase::Command, true, Ask::Write, Ends::Completed, SRB_STATUS_SELECTION_TIMEOUT},
      {"MESSAGE IN, the SDTR answer", Phase::MessageIn, false, Ask::Read, Ends::ThroughReset, 0},
      {"DATA IN, after the SDTR offer", Phase::DataIn, false, Ask::Read, Ends::ThroughReset, 0},
      {"DATA IN, the command in the selection", Phase::DataIn, true, Ask::Read, Ends::Completed,
       SRB_STATUS_SELECTION_TIMEOUT},
      {"DATA OUT, after the SDTR offer", Phase::DataOut, false, Ask::Write, Ends::ThroughReset, 0},
      {"DATA OUT, the command in the selection", Phase::DataOut, true, Ask::Write, Ends::Completed,
       SRB_STATUS_SELECTION_TIMEOUT},
      {"STATUS, after a read", Phase::Status, true, Ask::Read, Ends::ThroughReset, 0},
      {"STATUS, after a write", Phase::Status, true, Ask::Write, Ends::ThroughReset, 0, true},
      {"MESSAGE IN, COMMAND COMPLETE", Phase::MessageIn, true, Ask::Read, Ends::ThroughReset, 0},
  };
  for (const DropCase &c : cases) {
    Phase phase = c.phase;
    RunTargetCase({c.name, [phase](sim::TargetOptions &o) { o.busFreeIn = phase; },
                   c.negotiatedBefore, c.ask, c.ends, c.status, c.stored});
  }
}

// A target that reports COMMAND COMPLETE and then keeps the bus (it goes on
// to a data phase). The request it completed stands; the chip cannot select
// on a bus the target holds, and that is no selection time-out: the next
// request fails its sequence, and the bus reset frees the bus.
TEST(FailureScenario, ATargetThatKeepsTheBusAfterCommandCompleteIsResetByTheNextRequest) {
  sim::SystemConfig config = ConfigUnderTest();
  config.options = "/AS3"; // the command goes out in the selection
  TestMachine m(config);
  auto script = [](bool freesTheBus) {
    std::vector<sim::ScriptStep> steps = {
        sim::ScriptStep::receive(Phase::MessageOut, 1), sim::ScriptStep::receive(Phase::Command, 6),
        sim::ScriptStep::send(Phase::Status, {0x00}),
        sim::ScriptStep::send(Phase::MessageIn, {0x00}), // COMMAND COMPLETE
    };
    steps.push_back(freesTheBus ? sim::ScriptStep::busFree()
                                : sim::ScriptStep::send(Phase::DataIn, std::vector<uint8_t>(8)));
    return steps;
  };
  sim::ScriptedTarget &target = m.system().addScriptedTarget(3, script(false));

  EXPECT_EQ(m.execute(TestUnitReady(3)).status, SRB_STATUS_SUCCESS);
  ASSERT_FALSE(m.bus().free()) << "the target holds the bus";

  sim::Request &next = m.start(TestUnitReady(3));

  EXPECT_FALSE(next.completed) << "no selection time-out";
  EXPECT_EQ(m.errorLog().size(), 1u);
  target.setSteps(script(true));
  m.port().expireOldestRequest();
  EXPECT_EQ(next.status, SRB_STATUS_BUS_RESET);
  EXPECT_FALSE(next.completedByPortDriver);
  EXPECT_TRUE(m.bus().free());
  EXPECT_EQ(m.execute(TestUnitReady(3)).status, SRB_STATUS_SUCCESS);
  EXPECT_TRUE(m.bus().free());
}

// A target that answers a write with data: the write's buffer is the
// caller's, to be given, not filled. The phase fails before a byte is
// stored, and the bus reset returns the request.
TEST(FailureScenario, DataInForAWriteIsNeverStoredInItsBuffer) {
  TestMachine m;
  std::vector<uint8_t> out = Pattern(300, 3);
  m.system().addScriptedTarget(
      3, {sim::ScriptStep::receive(Phase::MessageOut, 6), // IDENTIFY and the SDTR offer
          sim::ScriptStep::receive(Phase::Command, 10),
          sim::ScriptStep::send(Phase::DataIn, std::vector<uint8_t>(300, 0xEE)),
          sim::ScriptStep::send(Phase::Status, {0x00}),
          sim::ScriptStep::send(Phase::MessageIn, {0x00}), sim::ScriptStep::busFree()});
  sim::RequestOrder write = Execute(3, 0, sim::Cdb10(0x2A, 0, 0, 1), SRB_FLAGS_DATA_OUT);
  write.dataLength = 300;
  write.dataOut = out;

  sim::Request &request = m.start(write);

  EXPECT_FALSE(request.completed);
  EXPECT_EQ(m.errorLog().size(), 1u);
  EXPECT_EQ(DataOf(request), out) << "the buffer is as the caller gave it";
  m.port().expireOldestRequest();
  EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
  EXPECT_EQ(DataOf(request), out);
}

// ------------------------------------------------------------- the chip

// A chip that fails at start-up: initialise reports failure and the port
// driver does not use the adapter; the waits are bounded.
TEST(FailureScenario, AChipThatFailsAtStartUpIsNotUsed) {
  struct ChipCase {
    const char *name;
    uint8_t chipId;
    bool reportsReset;
  };
  const ChipCase cases[] = {{"reset never seen", 0x0A, false}, {"wrong identity", 0x03, true}};
  for (const ChipCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SystemConfig config = ConfigUnderTest();
    config.chip.chipId = c.chipId;
    config.disks.push_back({kDisk, 0, SmallDisk()});
    sim::System system(config);
    if (!c.reportsReset) {
      system.machine().io.write(system.chipPort() + 0x8, 1, 0x40); // REG_CONFIG1 bit 6
    }

    EXPECT_EQ(system.load(DriverEntryUnderTest()), sim::STATUS_ADAPTER_INIT_FAILED);

    EXPECT_EQ(system.portDriver().initializeResult(), FALSE);
    EXPECT_FALSE(system.portDriver().driverReady()) << "no request reaches the adapter";
    EXPECT_LT(system.machine().clock.now(), 10'000'000'000u) << "bounded: one poll limit";
    EXPECT_TRUE(system.portDriver().violations().empty());
  }
}

// The chip fails at the bus reset that follows a time-out: the reset routine
// gives up, and the port driver returns the request itself.
TEST(FailureScenario, AChipThatFailsAtTheTimeOutsBusResetLeavesTheRequestToThePortDriver) {
  struct ChipCase {
    const char *name;
    void (*spoil)(sim::System &system);
    size_t resetsDetected; // ResetDetected notifications of the time-out's reset
  };
  const ChipCase cases[] = {
      {"reset never seen",
       [](sim::System &s) {
         s.machine().io.write(s.chipPort() + 0xD, 1, 0x00); // bank 0
         s.machine().io.write(s.chipPort() + 0x8, 1, 0x40); // REG_CONFIG1 bit 6
       },
       0},
      {"wrong identity", [](sim::System &s) { s.chip().setChipId(0x03); }, 1},
  };
  for (const ChipCase &c : cases) {
    SCOPED_TRACE(c.name);
    FailureMachine f;
    TestMachine &m = f.m();
    f.options().stallIn = Phase::Status;
    sim::Request &request = f.start(Ask::Read);
    ASSERT_FALSE(request.completed);
    c.spoil(m.system());
    m.port().clearEvents();

    m.port().expireOldestRequest();

    ASSERT_TRUE(request.completed);
    EXPECT_TRUE(request.completedByPortDriver) << "the reset routine completed nothing";
    EXPECT_EQ(request.status, SRB_STATUS_TIMEOUT);
    EXPECT_EQ(m.notifications(ResetDetected), c.resetsDetected);
    EXPECT_EQ(m.notifications(NextRequest), 0u);
    EXPECT_TRUE(m.bus().free()) << "the reset itself went out";
  }
}

} // namespace
