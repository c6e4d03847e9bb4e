// Selection against the register script: the message list and command of a
// selection with and without an SDTR offer, when an offer is due, the
// outcome by REG_INT_STATUS, a pending reselection, bare messages, and the
// long wait of FORMAT UNIT.
#include "scripted_driver.h"

#include <functional>

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216;

// TEST UNIT READY
const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// READ(10) of 1 block at LBA 0x12345
const std::vector<uint8_t> kRead10 = {0x28, 0x00, 0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x01, 0x00};
// FORMAT UNIT, no parameter list
const std::vector<uint8_t> kFormatUnit = {0x04, 0x00, 0x00, 0x00, 0x00, 0x00};

// Selection up to the FIFO load, with no synchronous agreement for the target.
std::vector<Access> SelectionStart(uint8_t target) {
  return {Control(0x80), Control(0x00), R0(0x5, 0x00), W0(0x4, target),
          W0(0x5, 0x99), W0(0x3, 0x01), W0(0x6, 0x0A), W0(0x7, 0x00)};
}

void Append(std::vector<Access> &log, std::initializer_list<Access> more) {
  log.insert(log.end(), more.begin(), more.end());
}

// Interrupt at the first poll, then REG_INT_STATUS and REG_SEQ_STEP.
void ScriptSelected(ScriptedDriver &driver, uint8_t seqStep = 0x04) {
  driver.chip.queue(0, drv::REG_STATUS, {0x82});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x18});
  driver.chip.queue(0, drv::REG_SEQ_STEP, {seqStep});
}

UCHAR Select(ScriptedDriver &driver) {
  return driver.call([&] { return drv::ExecuteSelection(&driver.ext()); });
}

TEST(ExecuteSelection, FirstContactQueuesIdentityAndSdtrAndStopsAfterIdentity) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kTestUnitReady);
  request.arm(driver.ext());
  ScriptSelected(driver);

  EXPECT_EQ(Select(driver), 1);

  std::vector<Access> expected = SelectionStart(2);
  Append(expected, {W0(0x2, 0x80), W0(0x2, 0x01), W0(0x2, 0x03), W0(0x2, 0x01), W0(0x2, 0x19),
                    W0(0x2, 0x0F), W0(0x0, 0x06), W0(0x1, 0x00), W0(0xE, 0x00), W0(0x3, 0x43),
                    R0(0x4, 0x82), R0(0x5, 0x18), R0(0x6, 0x04)});
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  const UCHAR offer[] = {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F};
  EXPECT_EQ(driver.ext().MsgOutLength, 6u);
  EXPECT_TRUE(std::equal(offer, offer + 6, driver.ext().MsgOut));
  EXPECT_EQ(driver.ext().SdtrSent[2][0], 1);
  EXPECT_EQ(driver.ext().SdtrDone[2][0], 0);
}

TEST(ExecuteSelection, LaterContactSendsIdentityAndCommandInOneSelection) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kRead10, 512);
  request.arm(driver.ext());
  driver.ext().SdtrSent[2][0] = 1;
  ScriptSelected(driver);

  EXPECT_EQ(Select(driver), 1);

  std::vector<Access> expected = SelectionStart(2);
  Append(expected, {W0(0x2, 0x80), W0(0x0, 0x01), W0(0x1, 0x00), W0(0xE, 0x00)});
  for (uint8_t byte : kRead10) {
    Append(expected, {W0(0x2, byte)});
  }
  Append(expected, {W0(0x0, 11), W0(0x1, 0x00), W0(0xE, 0x00), W0(0x3, 0x42), R0(0x4, 0x82),
                    R0(0x5, 0x18), R0(0x6, 0x04)});
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(request.lu.CdbLength, 10u) << "selection leaves the command to the LU record";
  EXPECT_EQ(request.lu.Cdb, request.srb.Cdb);
  EXPECT_EQ(driver.ext().DataPointer, request.bufferAddress());
  EXPECT_EQ(driver.ext().DataLength, 512u);
}

struct OfferCase {
  const char *name;
  uint8_t lun;
  uint8_t asyncOnly;  // AsyncOnly[target] before
  uint8_t sentBefore; // SdtrSent[target][lun] before
  uint32_t srbFlags;
  bool offer;     // an SDTR follows the IDENTIFY
  uint8_t offset; // offset offered
  uint8_t asyncOnlyAfter;
  uint8_t sentAfter;
};

const OfferCase kOfferCases[] = {
    {"first contact", 0, 0, 0, 0, true, 15, 0, 1},
    {"offer already made", 0, 0, 1, 0, false, 0, 0, 1},
    {"target held to asynchronous transfer", 0, 1, 0, 0, false, 0, 1, 0},
    {"held target that proposed gets offset 0 once", 0, 2, 0, 0, true, 0, 1, 1},
    {"synchronous transfer disabled by the request", 0, 0, 0, SRB_FLAGS_DISABLE_SYNCH_TRANSFER,
     false, 0, 0, 0},
    {"disconnect flag has no bearing", 0, 0, 0, SRB_FLAGS_DISABLE_DISCONNECT, true, 15, 0, 1},
    {"another LUN gets its own offer", 3, 0, 0, 0, true, 15, 0, 1},
};

TEST(ExecuteSelection, OffersSynchronousTransferOncePerTargetAndLunUnlessHeldOrDisabled) {
  for (const OfferCase &c : kOfferCases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    EngineRequest request(4, c.lun, kTestUnitReady);
    request.srb.SrbFlags = c.srbFlags;
    request.arm(driver.ext());
    drv::HW_DEVICE_EXTENSION &ext = driver.ext();
    ext.SdtrSent[4][0] = 1; // LUN 0 has negotiated already
    ext.SdtrDone[4][0] = 1;
    ext.AsyncOnly[4] = c.asyncOnly;
    ext.SdtrSent[4][c.lun] = c.sentBefore;
    ScriptSelected(driver);

    EXPECT_EQ(Select(driver), 1);

    uint8_t identify = 0x80 | c.lun;
    EXPECT_EQ(ext.MsgOut[0], identify);
    if (c.offer) {
      const UCHAR offer[] = {identify, 0x01, 0x03, 0x01, 0x19, c.offset};
      EXPECT_EQ(ext.MsgOutLength, 6u);
      EXPECT_TRUE(std::equal(offer, offer + 6, ext.MsgOut));
    } else {
      EXPECT_EQ(ext.MsgOutLength, 1u);
    }
    // The command: select and stop after IDENTIFY, or select with the CDB.
    const std::vector<Access> &log = driver.chip.log();
    auto command = std::find_if(log.begin(), log.end(), [](const Access &a) {
      return a.dir == Dir::Write && a.reg == 0x3 && a.value != 0x01;
    });
    ASSERT_NE(command, log.end());
    EXPECT_EQ(command->value, c.offer ? 0x43u : 0x42u);
    EXPECT_EQ(ext.AsyncOnly[4], c.asyncOnlyAfter);
    EXPECT_EQ(ext.SdtrSent[4][c.lun], c.sentAfter);
  }
}

TEST(ExecuteSelection, LoadsTheTargetsAgreedSettingsBeforeTheFifo) {
  ScriptedDriver driver;
  EngineRequest request(1, 0, kTestUnitReady);
  request.arm(driver.ext());
  driver.ext().SdtrSent[1][0] = 1;
  driver.ext().SyncPeriod[1] = 0x84;
  driver.ext().SyncOffset[1] = 15;
  driver.chip.setDefault(0, drv::REG_CONFIG3, 0x10);
  ScriptSelected(driver);

  Select(driver);

  std::vector<Access> expected = {Control(0x80), Control(0x00), R0(0x5, 0x00), W0(0x4, 1),
                                  W0(0x5, 0x99), W0(0x3, 0x01), W0(0x6, 0x84), W0(0x7, 15),
                                  R0(0xC, 0x10), W0(0xC, 0x10), W0(0x2, 0x80)};
  const std::vector<Access> &log = driver.chip.log();
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<Access>(log.begin(), log.begin() + expected.size()), expected)
      << Describe(log);
}

// Any cause but function complete with bus service is no selection. With the
// disconnect bit the bus is free again: a selection time-out, completed.
TEST(ExecuteSelection, OnlyFunctionCompleteWithBusServiceCountsAsSelected) {
  const uint8_t freeBus[] = {0x20, 0x28, 0x30, 0x38, 0x60};
  for (uint8_t intStatus : freeBus) {
    SCOPED_TRACE(testing::Message() << "REG_INT_STATUS 0x" << std::hex << int(intStatus));
    ScriptedDriver driver;
    EngineRequest request(5, 0, kTestUnitReady, 64);
    request.arm(driver.ext());
    request.lu.RequestDone = 0;
    driver.ext().DataLength = 0x5A5A;
    driver.chip.queue(0, drv::REG_STATUS, {0x80});
    driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, intStatus});

    EXPECT_EQ(Select(driver), 0);

    EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(request.lu.RequestDone, 1);
    EXPECT_EQ(driver.chip.log().back(), R0(0x5, intStatus)) << "REG_SEQ_STEP is not read";
    EXPECT_EQ(driver.ext().DataLength, 0x5A5Au) << "the data count is not taken over";
    EXPECT_TRUE(driver.errorLog().empty());
  }
}

// Without the disconnect bit a target still holds the bus: one that answered
// and stopped, or one an earlier request left connected, so that the chip
// refused to select (illegal command). A selection time-out would be
// reported for every later request, with no bus reset to free the bus:
// instead the sequence fails and the request is left to the time-out.
TEST(ExecuteSelection, AnInterruptWithoutDisconnectFailsTheSequence) {
  const uint8_t heldBus[] = {0x00, 0x08, 0x10, 0x1C, 0x40, 0x98};
  for (uint8_t intStatus : heldBus) {
    SCOPED_TRACE(testing::Message() << "REG_INT_STATUS 0x" << std::hex << int(intStatus));
    ScriptedDriver driver;
    EngineRequest request(5, 0, kTestUnitReady, 64);
    request.arm(driver.ext());
    request.lu.RequestDone = 0;
    request.srb.SrbStatus = SRB_STATUS_PENDING;
    driver.chip.queue(0, drv::REG_STATUS, {0x80});
    driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, intStatus});

    EXPECT_EQ(Select(driver), 1) << "the phase loop takes the failure";

    EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_FAILED);
    EXPECT_EQ(driver.ext().PhaseLoopDone, 1);
    EXPECT_EQ(request.lu.RequestDone, 0);
    EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_PENDING);
    EXPECT_EQ(driver.chip.log().back(), R0(0x5, intStatus)) << "REG_SEQ_STEP is not read";
  }
}

TEST(ExecuteSelection, DropsAtnWhenTheTargetTookNoMessageByte) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kTestUnitReady);
  request.arm(driver.ext());
  driver.ext().SdtrSent[2][0] = 1;
  ScriptSelected(driver, 0xF8); // sequence step 0 in bits 0-2

  EXPECT_EQ(Select(driver), 1);

  const std::vector<Access> &log = driver.chip.log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], R0(0x6, 0xF8));
  EXPECT_EQ(log.back(), W0(0x3, 0x1B));
}

TEST(ExecuteSelection, APendingReselectionLeavesControlAt0x84AndIssuesNoCommand) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kTestUnitReady);
  request.arm(driver.ext());
  request.lu.RequestDone = 7; // whatever it held is left alone
  request.srb.SrbStatus = 0x33;
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x04});

  EXPECT_EQ(Select(driver), 0);

  std::vector<Access> expected = {Control(0x80), Control(0x00), R0(0x5, 0x04), Control(0x84)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(request.lu.RequestDone, 7);
  EXPECT_EQ(request.srb.SrbStatus, 0x33);
  EXPECT_EQ(driver.ext().SdtrSent[2][0], 0);
}

TEST(ExecuteSelection, AnyOtherCommandIsJudgedAfterOneTimedOutWait) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kTestUnitReady);
  request.arm(driver.ext());
  driver.ext().SdtrSent[2][0] = 1;
  driver.chip.setDefault(0, drv::REG_STATUS, 0x02);
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x18});

  EXPECT_EQ(Select(driver), 1) << "the wait's time-out is not looked at";
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), kPollLimit);
}

// A bare message with the dispatcher's empty command: IDENTIFY and ABORT stop
// after the IDENTIFY; BUS DEVICE RESET goes alone, with no command byte.
TEST(ExecuteSelection, SendsBareMessagesAsTheDispatcherLeftThem) {
  struct Case {
    const char *name;
    std::vector<uint8_t> message;
    std::vector<Access> fifo;
  };
  const Case cases[] = {
      {"abort",
       {0xC1, 0x06},
       {W0(0x2, 0xC1), W0(0x2, 0x06), W0(0x0, 0x02), W0(0x1, 0x00), W0(0xE, 0x00), W0(0x3, 0x43)}},
      {"bus device reset",
       {0x0C},
       {W0(0x2, 0x0C), W0(0x0, 0x01), W0(0x1, 0x00), W0(0xE, 0x00), W0(0x0, 0x01), W0(0x1, 0x00),
        W0(0xE, 0x00), W0(0x3, 0x42)}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    drv::HW_DEVICE_EXTENSION &ext = driver.ext();
    EngineRequest request(3, 1, {});
    request.arm(ext);
    ext.TargetId = 6; // the latest execute request's target and LUN stay
    ext.Lun = 2;
    ext.MessageOnly = 1;
    for (size_t i = 0; i < c.message.size(); i++) {
      ext.MsgOut[i] = c.message[i];
    }
    ext.MsgOutLength = static_cast<ULONG>(c.message.size());
    ScriptSelected(driver);

    EXPECT_EQ(Select(driver), 1);

    std::vector<Access> expected = SelectionStart(3);
    expected.insert(expected.end(), c.fifo.begin(), c.fifo.end());
    Append(expected, {R0(0x4, 0x82), R0(0x5, 0x18), R0(0x6, 0x04)});
    EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
    EXPECT_EQ(ext.MsgOutLength, c.message.size()) << "no IDENTIFY or SDTR is built";
    EXPECT_EQ(ext.SdtrSent[6][2], c.message.size() > 1 ? 1 : 0);
    EXPECT_EQ(ext.SdtrSent[3][1], 0);
  }
}

TEST(ExecuteSelection, FormatUnitWaitsForItsSelectionPastThePollLimit) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kFormatUnit);
  request.arm(driver.ext());
  driver.ext().SdtrSent[2][0] = 1;
  driver.chip.queueRun(0, drv::REG_STATUS, 0x02, kPollLimit + 5);
  driver.chip.queue(0, drv::REG_STATUS, {0x82});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x18});
  driver.chip.queue(0, drv::REG_SEQ_STEP, {0x04});
  uint64_t before = driver.machine.clock.now();

  EXPECT_EQ(Select(driver), 1);

  const std::vector<Access> &log = driver.chip.log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 4], R0(0x4, 0x02, kPollLimit + 5));
  EXPECT_EQ(log[log.size() - 3], R0(0x4, 0x82));
  EXPECT_TRUE(driver.chip.allConsumed());
  // The polls past the limit are a millisecond apart.
  EXPECT_GE(driver.machine.clock.now() - before, 6 * 1000000ull);
}

// No interrupt at all: the target holds the bus in the middle of the
// selection. No selection time-out: the sequence fails and the request is
// left to the port driver's time-out.
TEST(ExecuteSelection, ASelectionThatNeverEndsFailsTheSequence) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kTestUnitReady);
  request.arm(driver.ext());
  request.srb.SrbStatus = SRB_STATUS_PENDING;
  driver.ext().SdtrSent[2][0] = 1;
  driver.chip.setDefault(0, drv::REG_STATUS, 0x02);

  EXPECT_EQ(Select(driver), 1) << "the phase loop takes the failure";

  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_FAILED);
  EXPECT_EQ(driver.ext().PhaseLoopDone, 1);
  EXPECT_EQ(request.lu.RequestDone, 0);
  EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_PENDING);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), kPollLimit);
  EXPECT_EQ(driver.chip.log().back(), R0(0x5, 0x00)) << "REG_SEQ_STEP is not read";
}

TEST(ExecuteSelection, FormatUnitGivesUpAfterAnHourAndFailsTheSequence) {
  ScriptedDriver driver;
  EngineRequest request(2, 0, kFormatUnit);
  request.arm(driver.ext());
  request.srb.SrbStatus = SRB_STATUS_PENDING;
  driver.ext().SdtrSent[2][0] = 1;
  driver.chip.setDefault(0, drv::REG_STATUS, 0x02);
  uint64_t before = driver.machine.clock.now();

  EXPECT_EQ(Select(driver), 1);

  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_FAILED);
  EXPECT_EQ(request.lu.RequestDone, 0);
  EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_PENDING);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), kPollLimit + 3600000u);
  uint64_t waited = driver.machine.clock.now() - before;
  EXPECT_GE(waited, 3600ull * 1000000000ull);
  EXPECT_LT(waited, 3700ull * 1000000000ull);
}

} // namespace
