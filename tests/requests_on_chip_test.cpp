// Whole requests on the chip model, through our port driver: commands
// without data from start-I/O to completion, selection time-outs, CHECK
// CONDITION and REQUEST SENSE, the functions the driver refuses, abort,
// device reset and bus reset requests, and a target that stalls in the
// command phase.
#include "test_machine.h"

namespace {

using namespace machine;

constexpr uint8_t kUnknownOperationCode = 0xC7;

sim::SystemConfig DiskAt(uint8_t target, sim::TargetOptions options = {},
                         std::optional<std::string> driverOptions = std::nullopt) {
  sim::SystemConfig config = ConfigUnderTest();
  config.targets.push_back({target, options});
  config.disks.push_back({target, 0, {}});
  config.options = std::move(driverOptions);
  return config;
}

// An SDTR offer of the driver's defaults: period factor 25, offset 15.
const std::vector<uint8_t> kSdtrOffer = {0x01, 0x03, 0x01, 0x19, 0x0F};

bool Offered(sim::Target &target) {
  const std::vector<uint8_t> &out = target.messageOut();
  return std::search(out.begin(), out.end(), kSdtrOffer.begin(), kSdtrOffer.end()) != out.end();
}

// ------------------------------------------------------------ plain commands

TEST(RequestsOnChip, TestUnitReadyToAnAsyncOnlyTargetSucceedsOnceTheUnitAttentionIsTaken) {
  TestMachine m(DiskAt(2, {}, "/AS2"));

  // The first command after the reset meets the unit attention, as a class
  // driver expects: CHECK CONDITION, then REQUEST SENSE, then again.
  sim::Request &first = m.execute(TestUnitReady(2));
  EXPECT_EQ(first.status, 0x04) << "SRB_STATUS_ERROR";
  EXPECT_EQ(first.srb.ScsiStatus, 0x02) << "CHECK CONDITION";
  EXPECT_EQ(m.target(2).messageOut(), std::vector<uint8_t>{0x80}) << "IDENTIFY, no SDTR offer";

  sim::Request &sense = m.execute(RequestSense(2));
  ASSERT_EQ(sense.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(sense.srb.DataTransferLength, 18u);
  EXPECT_EQ(DataOf(sense)[2], 0x06) << "UNIT ATTENTION";
  EXPECT_EQ(DataOf(sense)[12], 0x29) << "POWER ON OR RESET";

  sim::Request &again = m.execute(TestUnitReady(2));
  EXPECT_EQ(again.status, 0x01) << "SRB_STATUS_SUCCESS";
  EXPECT_EQ(again.srb.ScsiStatus, 0x00);
  EXPECT_FALSE(again.completedByPortDriver);
  EXPECT_EQ(m.target(2).lastCdb(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(m.target(2).messageOut(), std::vector<uint8_t>{0x80});
  EXPECT_EQ(m.target(2).commands(), 3u);

  // Each request ended with its completion and a NextRequest, no error log
  // and no reset.
  EXPECT_EQ(m.notifications(RequestComplete), 3u);
  EXPECT_EQ(m.notifications(NextRequest), 3u);
  EXPECT_TRUE(m.errorLog().empty());
  EXPECT_EQ(m.port().busResets(), 0u);
  EXPECT_FALSE(m.chip().state().connected);
}

TEST(RequestsOnChip, TheClassDriverTakesTheUnitAttentionAndRetries) {
  TestMachine m(DiskAt(2, {}, "/AS2"));

  sim::CommandResult result = m.classDriver().testUnitReady(2, 0);

  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.retries, 1u);
  EXPECT_EQ(m.classDriver().counters().senseRequests, 1u);
  EXPECT_FALSE(m.target(2).unitAttentionPending(0));
}

TEST(RequestsOnChip, AnAbsentTargetTimesOutItsSelectionAndKeepsTheLength) {
  struct Case {
    const char *name;
    bool targetPresent; // present but never answering
    std::optional<std::string> options;
  };
  const Case cases[] = {
      {"no device at the ID, first contact", false, std::nullopt},
      {"a device that never answers selection", true, std::nullopt},
      {"no device at an ID held to asynchronous transfer", false, "/AS3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::SystemConfig config = ConfigUnderTest();
    config.options = c.options;
    if (c.targetPresent) {
      sim::TargetOptions silent;
      silent.respondsToSelection = false;
      config.targets.push_back({3, silent});
    }
    TestMachine m(config);

    sim::Request &request = m.execute(Read10(3, 0, 1));

    EXPECT_EQ(request.status, 0x0A) << "SRB_STATUS_SELECTION_TIMEOUT";
    EXPECT_EQ(request.srb.DataTransferLength, 512u);
    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_EQ(m.bus().statistics.selectionTimeouts, 1u);
    EXPECT_EQ(m.notifications(NextRequest), 1u);
    EXPECT_TRUE(m.errorLog().empty());
    EXPECT_EQ(m.port().busResets(), 0u);
    // The next request finds the chip ready.
    EXPECT_EQ(m.execute(TestUnitReady(3)).status, SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(m.chip().counters().illegalCommands, 0u);
  }
}

TEST(RequestsOnChip, CheckConditionIsAnErrorWithTheStatusByteAndTheSenseComesByRequestSense) {
  struct Case {
    const char *name;
    sim::RequestOrder request;
    uint8_t key, asc, ascq;
  };
  const Case cases[] = {
      // READ(10) of block 0x800, one past the last of 2048
      {"a block past the end", Read10(2, 0x800, 1), 0x05, 0x21, 0x00},
      {"an operation code the disk does not know",
       Execute(2, 0, {kUnknownOperationCode, 0, 0, 0, 0, 0}), 0x05, 0x20, 0x00},
      {"a LUN without a unit", TestUnitReady(2, 5), 0x05, 0x25, 0x00},
      // START STOP UNIT with START clear, then TEST UNIT READY
      {"a stopped unit", TestUnitReady(2), 0x02, 0x04, 0x02},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(DiskAt(2, Settled(), "/AS2"));
    if (c.key == 0x02) {
      ASSERT_EQ(m.execute(Execute(2, 0, {0x1B, 0x00, 0x00, 0x00, 0x00, 0x00})).status,
                SRB_STATUS_SUCCESS);
    }

    sim::Request &request = m.execute(c.request);

    EXPECT_EQ(request.status, 0x04) << "SRB_STATUS_ERROR";
    EXPECT_EQ(request.srb.ScsiStatus, 0x02);
    EXPECT_EQ(request.srb.DataTransferLength, 0u) << "no data moved";

    sim::Request &sense = m.execute(RequestSense(2, c.request.lun));
    ASSERT_EQ(sense.status, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> data = DataOf(sense);
    EXPECT_EQ(data[0], 0x70);
    EXPECT_EQ(data[2], c.key);
    EXPECT_EQ(data[12], c.asc);
    EXPECT_EQ(data[13], c.ascq);
  }
}

TEST(RequestsOnChip, OtherFunctionsAreRefusedAtOnceWithoutAChipAccess) {
  const uint8_t functions[] = {
      SRB_FUNCTION_CLAIM_DEVICE,  SRB_FUNCTION_IO_CONTROL,  SRB_FUNCTION_RECEIVE_EVENT,
      SRB_FUNCTION_RELEASE_QUEUE, SRB_FUNCTION_SHUTDOWN,    SRB_FUNCTION_FLUSH,
      SRB_FUNCTION_TERMINATE_IO,  SRB_FUNCTION_FLUSH_QUEUE, 0x7F};
  TestMachine m(DiskAt(2, Settled()));
  for (uint8_t function : functions) {
    SCOPED_TRACE(testing::Message() << "function 0x" << std::hex << int(function));
    m.port().clearEvents();
    m.system().machine().io.resetCounts();

    sim::Request &request = m.execute(Function(function, 2));

    EXPECT_EQ(request.status, 0x06) << "SRB_STATUS_INVALID_REQUEST";
    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_EQ(m.system().machine().io.counts().total(), 0u);
    ASSERT_EQ(m.port().events().size(), 2u);
    EXPECT_EQ(m.port().events()[0].notification, RequestComplete);
    EXPECT_EQ(m.port().events()[1].notification, NextRequest);
  }
  EXPECT_EQ(m.target(2).commands(), 0u);
  EXPECT_EQ(m.bus().statistics.selections, 0u);
}

// COMMAND COMPLETE straight after the command, with no status byte: the
// request ends (as an error, there being no status to report), however soon
// the target frees the bus.
TEST(RequestsOnChip, CommandCompleteInMessageInEndsTheRequestHoweverSoonTheBusIsFreed) {
  const uint64_t busFreeDelays[] = {0, 100, 500, 5'000, 1'000'000};
  for (uint64_t delay : busFreeDelays) {
    SCOPED_TRACE(testing::Message() << "bus free after " << delay << " ns");
    TestMachine m(DiskAt(2, {}, "/AS2"));
    sim::ScriptedTarget &target = m.system().addScriptedTarget(
        2, {sim::ScriptStep::receive(sim::Phase::MessageOut, 1),
            sim::ScriptStep::receive(sim::Phase::Command, 6),
            sim::ScriptStep::send(sim::Phase::MessageIn, {0x00}), sim::ScriptStep::busFree(delay)});

    sim::Request &request = m.execute(TestUnitReady(2));

    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_EQ(request.status, SRB_STATUS_ERROR);
    EXPECT_EQ(target.received(sim::Phase::Command).size(), 6u);
    EXPECT_TRUE(m.errorLog().empty());
    EXPECT_EQ(m.port().busResets(), 0u);
    EXPECT_FALSE(m.chip().state().connected);
  }
}

// ------------------------------------------------------- abort and resets

TEST(RequestsOnChip, AnAbortIsReportedFailedWithAnExtraNextRequest) {
  TestMachine m(DiskAt(4, Settled()));

  sim::Request &abort = m.execute(Function(SRB_FUNCTION_ABORT_COMMAND, 4));

  EXPECT_EQ(abort.status, 0x03) << "SRB_STATUS_ABORT_FAILED";
  EXPECT_FALSE(abort.completedByPortDriver);
  EXPECT_EQ(m.target(4).messageOut(), (std::vector<uint8_t>{0xC0, 0x06})) << "IDENTIFY, ABORT";
  EXPECT_EQ(m.target(4).commands(), 0u);
  EXPECT_EQ(m.notifications(RequestComplete), 1u);
  EXPECT_EQ(m.notifications(NextRequest), 2u);
  EXPECT_TRUE(m.errorLog().empty());
  EXPECT_EQ(m.port().busResets(), 0u);
  EXPECT_EQ(m.bus().statistics.resets, 1u) << "the reset of initialisation only";

  // The bus is free for the next request, which is offered SDTR.
  EXPECT_EQ(m.execute(TestUnitReady(4)).status, SRB_STATUS_SUCCESS);
  EXPECT_TRUE(Offered(m.target(4)));
}

TEST(RequestsOnChip, ADeviceResetResetsTheTargetWhichIsOfferedSdtrAgain) {
  TestMachine m(DiskAt(4));
  ASSERT_TRUE(m.classDriver().testUnitReady(4, 0).ok());
  ASSERT_EQ(m.target(4).agreement().offset, 15);
  m.port().clearEvents();

  sim::Request &reset = m.execute(Function(SRB_FUNCTION_RESET_DEVICE, 4));

  EXPECT_EQ(reset.status, SRB_STATUS_SUCCESS);
  EXPECT_FALSE(reset.completedByPortDriver);
  EXPECT_EQ(m.target(4).messageOut(), std::vector<uint8_t>{0x0C}) << "BUS DEVICE RESET alone";
  EXPECT_TRUE(m.target(4).unitAttentionPending(0));
  EXPECT_FALSE(m.target(4).agreement().synchronous());
  EXPECT_EQ(m.notifications(RequestComplete), 1u);
  EXPECT_EQ(m.notifications(NextRequest), 1u);
  EXPECT_TRUE(m.errorLog().empty());
  EXPECT_EQ(m.port().busResets(), 0u);

  // The next command meets the unit attention and renegotiates.
  sim::CommandResult tur = m.classDriver().testUnitReady(4, 0);
  EXPECT_TRUE(tur.ok());
  EXPECT_EQ(tur.retries, 1u);
  EXPECT_EQ(m.target(4).agreement().offset, 15);
}

TEST(RequestsOnChip, ABusResetRequestResetsTheBusAndSucceeds) {
  TestMachine m(DiskAt(4));
  ASSERT_TRUE(m.classDriver().testUnitReady(4, 0).ok());
  uint64_t resetsBefore = m.bus().statistics.resets;
  m.port().clearEvents();

  sim::Request &reset = m.execute(Function(SRB_FUNCTION_RESET_BUS, 4));

  EXPECT_EQ(reset.status, 0x01) << "SRB_STATUS_SUCCESS";
  EXPECT_FALSE(reset.completedByPortDriver);
  EXPECT_EQ(m.bus().statistics.resets, resetsBefore + 1);
  EXPECT_EQ(m.notifications(ResetDetected), 1u);
  EXPECT_EQ(m.notifications(NextRequest), 1u);
  EXPECT_EQ(m.port().busResets(), 0u) << "no time-out was needed";
  EXPECT_TRUE(m.target(4).unitAttentionPending(0));
  EXPECT_EQ(m.chip().state().config1, 0x97) << "the chip is programmed again";

  // The first command after the reset offers SDTR again.
  EXPECT_TRUE(m.classDriver().testUnitReady(4, 0).ok());
  EXPECT_EQ(m.target(4).agreement().offset, 15);
}

// ------------------------------------------------------------------- stalls

TEST(RequestsOnChip, AStallInTheCommandPhaseIsLoggedOnceAndLeftToTheTimeOutAndItsBusReset) {
  struct Case {
    const char *name;
    std::optional<std::string> options;
  };
  const Case cases[] = {
      {"first contact: the SDTR offer, then the command phase", std::nullopt},
      {"a target held to asynchronous transfer: the command in the selection", "/AS4"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::TargetOptions stalling = Settled();
    stalling.stallIn = sim::Phase::Command;
    TestMachine m(DiskAt(4, stalling, c.options));

    sim::Request &request = m.start(TestUnitReady(4));

    EXPECT_FALSE(request.completed);
    EXPECT_FALSE(m.port().driverReady()) << "no NextRequest";
    std::vector<sim::PortEvent> log = m.errorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, 0x0007u) << "SP_REQUEST_TIMEOUT";
    EXPECT_EQ(log[0].srb, &request.srb);
    EXPECT_EQ(log[0].pathId, 0);
    EXPECT_EQ(log[0].targetId, 4);
    EXPECT_EQ(log[0].lun, 0);
    EXPECT_EQ(log[0].uniqueId, m.extensionId());
    EXPECT_TRUE(m.bus().lines() & sim::line::BSY) << "the target still holds the bus";

    m.port().expireOldestRequest();

    EXPECT_TRUE(request.completed);
    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_EQ(request.status, 0x0E) << "SRB_STATUS_BUS_RESET";
    EXPECT_EQ(m.port().timeouts(), 1u);
    EXPECT_EQ(m.errorLog().size(), 1u);
    EXPECT_TRUE(m.bus().free());

    // Once the target behaves, the bus works again.
    m.target(4).options().stallIn.reset();
    EXPECT_TRUE(m.classDriver().testUnitReady(4, 0).ok());
  }
}

} // namespace
