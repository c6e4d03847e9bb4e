// The command and status phases against the register script: the CDB
// through the PIO FIFO, the accept table of the transfer's end, the status
// byte and its translation, the final message byte and the end of the
// request.
#include "scripted_driver.h"

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216;
constexpr uint32_t kInterruptPassLimit = 1024;

// READ(10) of 8 blocks at LBA 0x00012345
const std::vector<uint8_t> kRead10 = {0x28, 0x00, 0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x08, 0x00};
// FORMAT UNIT, no parameter list
const std::vector<uint8_t> kFormatUnit = {0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
// TEST UNIT READY
const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

void Append(std::vector<Access> &log, std::initializer_list<Access> more) {
  log.insert(log.end(), more.begin(), more.end());
}

UCHAR RunCommand(ScriptedDriver &driver) {
  return driver.call([&] { return drv::CommandPhaseRun(&driver.ext()); });
}

UCHAR RunStatus(ScriptedDriver &driver) {
  return driver.call([&] { return drv::StatusPhaseRun(&driver.ext()); });
}

void ExpectFailed(ScriptedDriver &driver) {
  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_FAILED);
  EXPECT_EQ(driver.ext().PhaseLoopDone, 1);
}

// ------------------------------------------------------------------ command

// The command phase up to its first wait, for a command of `cdb`.
std::vector<Access> CommandStart(const std::vector<uint8_t> &cdb) {
  std::vector<Access> log = {
      Control(0x00), W0(0x6, 0x0A), W0(0x7, 0x00),
      W0(0x3, 0x01), Control(0x80), W1(0x8, 0x00),
      W1(0xB, 0x01), Control(0x00), W0(0x0, static_cast<uint8_t>(cdb.size())),
      W0(0x1, 0x00), W0(0xE, 0x00), Control(0x80)};
  for (uint8_t byte : cdb) {
    Append(log, {W1(0x4, byte)});
  }
  Append(log, {Control(0x00), W0(0x3, 0x90), Control(0x80), W1(0x8, 0x01), Control(0x00)});
  return log;
}

TEST(CommandPhaseRun, SendsTheCdbThroughThePioFifoAndHandsOnTheNextPhase) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kRead10, 4096);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x91, 0x01});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});
  uint64_t before = driver.machine.clock.now();

  EXPECT_EQ(RunCommand(driver), 1);

  std::vector<Access> expected = CommandStart(kRead10);
  Append(expected, {R0(0x4, 0x91), R0(0x5, 0x10), R0(0x4, 0x01)});
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(driver.ext().CurrentPhase, 1) << "data in";
  EXPECT_EQ(driver.ext().PhaseLoopDone, 0);
  EXPECT_EQ(request.lu.CdbLength, 0u);
  EXPECT_EQ(request.lu.Cdb, request.srb.Cdb + 10);
  EXPECT_EQ(driver.chip.dataWritten(), kRead10);
  EXPECT_EQ(driver.machine.clock.now() - before, expected.size() * 255 + 10000)
      << "one 10 us stall before the phase";
}

TEST(CommandPhaseRun, LoadsTheTargetsAgreementFirst) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.ext().SyncPeriod[3] = 0x08;
  driver.ext().SyncOffset[3] = 8;
  driver.chip.queue(0, drv::REG_STATUS, {0x93, 0x03});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});

  RunCommand(driver);

  const std::vector<Access> &log = driver.chip.log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[1], W0(0x6, 0x08));
  EXPECT_EQ(log[2], W0(0x7, 0x08));
  EXPECT_EQ(log[3], W0(0x3, 0x01));
}

TEST(CommandPhaseRun, ASecondCommandPhaseSendsNothingMore) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  request.lu.Cdb += 6;
  request.lu.CdbLength = 0;
  driver.chip.queue(0, drv::REG_STATUS, {0x93, 0x03});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});

  EXPECT_EQ(RunCommand(driver), 1);

  std::vector<Access> expected = CommandStart({});
  Append(expected, {R0(0x4, 0x93), R0(0x5, 0x10), R0(0x4, 0x03)});
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
}

struct AcceptCase {
  uint8_t intStatus;
  uint8_t status;
  enum { Accepted, WaitsOn, Fails } outcome;
};

// The end of the CDB transfer by REG_INT_STATUS and the REG_STATUS value of
// the wait.
const AcceptCase kAcceptCases[] = {
    {0x08, 0x80, AcceptCase::Accepted}, {0x18, 0x80, AcceptCase::Accepted},
    {0x08, 0x82, AcceptCase::Accepted}, {0x10, 0x81, AcceptCase::Accepted},
    {0x10, 0x90, AcceptCase::Accepted}, {0x10, 0x91, AcceptCase::Accepted},
    {0x10, 0x93, AcceptCase::Accepted}, {0x10, 0x97, AcceptCase::Accepted},
    {0x10, 0x80, AcceptCase::WaitsOn},  {0x10, 0x82, AcceptCase::WaitsOn},
    {0x10, 0x83, AcceptCase::WaitsOn},  {0x10, 0x87, AcceptCase::WaitsOn},
    {0x10, 0x92, AcceptCase::WaitsOn},  {0x10, 0xB1, AcceptCase::WaitsOn},
    {0x00, 0x91, AcceptCase::WaitsOn},  {0x04, 0x91, AcceptCase::WaitsOn},
    {0x28, 0x91, AcceptCase::WaitsOn},  {0x20, 0x91, AcceptCase::Fails},
    {0x20, 0x80, AcceptCase::Fails},
};

TEST(CommandPhaseRun, EndsTheTransferByTheAcceptTable) {
  for (const AcceptCase &c : kAcceptCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "REG_INT_STATUS 0x" << int(c.intStatus)
                                    << ", REG_STATUS 0x" << int(c.status));
    ScriptedDriver driver;
    EngineRequest request(3, 0, kTestUnitReady);
    request.select(driver.ext());
    // A rejected end is followed by function complete with the target in
    // STATUS.
    driver.chip.queue(0, drv::REG_STATUS, {c.status});
    driver.chip.setDefault(0, drv::REG_STATUS, 0x83);
    driver.chip.queue(0, drv::REG_INT_STATUS, {c.intStatus});
    driver.chip.setDefault(0, drv::REG_INT_STATUS, 0x08);

    UCHAR result = RunCommand(driver);

    switch (c.outcome) {
    case AcceptCase::Accepted:
    case AcceptCase::WaitsOn:
      EXPECT_EQ(result, 1);
      EXPECT_EQ(driver.chip.readsOf(0, 0x5), c.outcome == AcceptCase::Accepted ? 1u : 2u);
      EXPECT_EQ(driver.ext().CurrentPhase, 3) << "the phase read after the end";
      break;
    case AcceptCase::Fails:
      EXPECT_EQ(result, 0);
      ExpectFailed(driver);
      EXPECT_EQ(driver.chip.readsOf(0, 0x5), 1u);
      EXPECT_EQ(driver.chip.log().back(), R0(0x5, c.intStatus)) << "no phase wait";
      break;
    }
  }
}

TEST(CommandPhaseRun, FailsWhenTheTransferNeverEnds) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.setDefault(0, drv::REG_STATUS, 0x02);

  EXPECT_EQ(RunCommand(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.log().back(), R0(0x4, 0x02, kPollLimit));
}

TEST(CommandPhaseRun, FailsWhenInterruptsThatEndNothingKeepComing) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.setDefault(0, drv::REG_STATUS, 0x82);
  driver.chip.setDefault(0, drv::REG_INT_STATUS, 0x10);

  EXPECT_EQ(RunCommand(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.readsOf(0, 0x5), kInterruptPassLimit);
}

TEST(CommandPhaseRun, FailsWhenTheTargetStaysInTheCommandPhase) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x90});
  driver.chip.queueRun(0, drv::REG_STATUS, 0x02, kPollLimit - 1);
  // A change seen only at the last read is too late.
  driver.chip.queue(0, drv::REG_STATUS, {0x03});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08});

  EXPECT_EQ(RunCommand(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), 1 + kPollLimit);
  EXPECT_TRUE(driver.chip.allConsumed());
}

TEST(CommandPhaseRun, FormatUnitMayStayInTheCommandPhasePastThePollLimit) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kFormatUnit);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x90});
  driver.chip.queueRun(0, drv::REG_STATUS, 0x02, kPollLimit + 2);
  driver.chip.queue(0, drv::REG_STATUS, {0x03});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08});
  uint64_t before = driver.machine.clock.now();

  EXPECT_EQ(RunCommand(driver), 1);

  EXPECT_EQ(driver.ext().CurrentPhase, 3);
  EXPECT_TRUE(driver.chip.allConsumed());
  EXPECT_GE(driver.machine.clock.now() - before, 3 * 1000000ull)
      << "the polls past the limit are a millisecond apart";
}

TEST(CommandPhaseRun, FormatUnitGivesUpAfterAnHourInTheCommandPhase) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kFormatUnit);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x90});
  driver.chip.setDefault(0, drv::REG_STATUS, 0x02);
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08});

  EXPECT_EQ(RunCommand(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), 1 + kPollLimit + 3600000u);
}

// ------------------------------------------------------------------- status

struct StatusRun {
  uint8_t statusByte = 0x00;
};

// Scripts a status phase that runs to its end: the transfer of the status
// byte, function complete after initiator complete, the message byte, and
// the target leaving MESSAGE IN after one more read.
void ScriptStatusPhase(ScriptedDriver &driver, uint8_t statusByte) {
  driver.chip.queue(0, drv::REG_STATUS, {0x83, 0x80, 0x80, 0x87, 0x00});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x10, 0x08});
  driver.chip.queue(1, drv::REG_PIO_DATA, {statusByte});
  driver.chip.queue(0, drv::REG_FIFO, {0x00});
}

TEST(StatusPhaseRun, ReadsTheStatusAndMessageBytesAndEndsTheRequest) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  ScriptStatusPhase(driver, 0x00);
  uint64_t before = driver.machine.clock.now();

  EXPECT_EQ(RunStatus(driver), 1);

  std::vector<Access> expected = {
      Control(0x00), W0(0x0, 0x01), W0(0x1, 0x00), W0(0xE, 0x00), R0(0x5, 0x00), R0(0x4, 0x83),
      W0(0x3, 0x90), R0(0x4, 0x80), R0(0x5, 0x10), Control(0x80), R1(0x4, 0x00), Control(0x00),
      W0(0x3, 0x11), R0(0x4, 0x80), R0(0x5, 0x08), R0(0x2, 0x00), R0(0x4, 0x87), R0(0x4, 0x00)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_TRUE(driver.chip.allConsumed()) << driver.chip.unconsumed();
  EXPECT_EQ(driver.machine.clock.now() - before, expected.size() * 255 + 10000)
      << "one 10 us stall after the transfer command";
  EXPECT_EQ(request.srb.ScsiStatus, 0x00);
  EXPECT_EQ(request.lu.SrbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(request.lu.RequestDone, 1);
  EXPECT_EQ(driver.ext().PhaseLoopDone, 1);
  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_SAMPLE);
}

struct TranslationCase {
  uint8_t statusByte;
  uint8_t srbStatus;
};

TEST(StatusPhaseRun, TranslatesTheWholeStatusByte) {
  const TranslationCase cases[] = {
      {0x00, 0x01}, {0x04, 0x01}, {0x10, 0x01}, {0x14, 0x01}, // good, condition met, intermediate
      {0x02, 0x04}, {0x22, 0x04},                             // check condition, terminated
      {0x08, 0x05}, {0x18, 0x05}, {0x28, 0x05},               // busy, conflict, queue full
      {0x01, 0x05}, {0x06, 0x05}, {0x82, 0x05}, {0xFF, 0x05}, // anything else
  };
  for (const TranslationCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "status byte 0x" << std::hex << int(c.statusByte));
    ScriptedDriver driver;
    EngineRequest request(3, 0, kTestUnitReady);
    request.select(driver.ext());
    ScriptStatusPhase(driver, c.statusByte);

    EXPECT_EQ(RunStatus(driver), 1);

    EXPECT_EQ(request.srb.ScsiStatus, c.statusByte);
    EXPECT_EQ(request.lu.SrbStatus, c.srbStatus);
  }
}

TEST(StatusPhaseRun, InMessageInAlreadyIssuesNoTransferCommand) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x87, 0x80, 0x00});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10, 0x18});
  driver.chip.queue(1, drv::REG_PIO_DATA, {0x02});

  EXPECT_EQ(RunStatus(driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x0, 0x01), W0(0x1, 0x00), W0(0xE, 0x00),
                                  R0(0x5, 0x10), R0(0x4, 0x87), Control(0x80), R1(0x4, 0x02),
                                  Control(0x00), W0(0x3, 0x11), R0(0x4, 0x80), R0(0x5, 0x18),
                                  R0(0x2, 0x00), R0(0x4, 0x00)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(request.lu.SrbStatus, SRB_STATUS_ERROR);
}

TEST(StatusPhaseRun, ADisconnectAfterInitiatorCompleteEndsTheRequestAtOnce) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x83, 0x80, 0x80});
  driver.chip.setDefault(0, drv::REG_STATUS, 0x07);
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x10, 0x20});

  EXPECT_EQ(RunStatus(driver), 1);

  EXPECT_EQ(request.lu.RequestDone, 1);
  EXPECT_EQ(request.lu.SrbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_SAMPLE);
  EXPECT_EQ(driver.chip.log().back(), R0(0x4, 0x07)) << "the final wait takes a single read";
}

TEST(StatusPhaseRun, FailsOnADisconnectOrSilenceDuringTheStatusByte) {
  struct Case {
    const char *name;
    uint8_t intStatus;
    uint8_t statusAfter; // REG_STATUS for the wait
  };
  const Case cases[] = {{"disconnect", 0x20, 0x80}, {"no interrupt", 0x00, 0x03}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    EngineRequest request(3, 0, kTestUnitReady);
    request.select(driver.ext());
    driver.chip.queue(0, drv::REG_STATUS, {0x83});
    driver.chip.setDefault(0, drv::REG_STATUS, c.statusAfter);
    driver.chip.queue(0, drv::REG_INT_STATUS, {0x00});
    driver.chip.setDefault(0, drv::REG_INT_STATUS, c.intStatus);

    EXPECT_EQ(RunStatus(driver), 0);

    ExpectFailed(driver);
    EXPECT_EQ(request.lu.RequestDone, 0);
    EXPECT_EQ(driver.chip.readsOf(1, 0x4), 0u) << "no status byte is read";
  }
}

TEST(StatusPhaseRun, FailsWhenTheTargetStaysInMessageIn) {
  ScriptedDriver driver;
  EngineRequest request(3, 0, kTestUnitReady);
  request.select(driver.ext());
  driver.chip.queue(0, drv::REG_STATUS, {0x83, 0x80, 0x80});
  driver.chip.setDefault(0, drv::REG_STATUS, 0x07);
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x10, 0x08});
  driver.chip.queue(1, drv::REG_PIO_DATA, {0x02});

  EXPECT_EQ(RunStatus(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.log().back(), R0(0x4, 0x07, kPollLimit));
  EXPECT_EQ(request.lu.RequestDone, 0) << "the request is not completed";
  EXPECT_EQ(request.srb.ScsiStatus, 0x02) << "what was stored stays";
  EXPECT_EQ(request.lu.SrbStatus, SRB_STATUS_ERROR);
}

struct OfferState {
  const char *name;
  uint8_t sent, done;
  uint8_t periodAfter, offsetAfter, doneAfter;
};

TEST(StatusPhaseRun, SettlesAnOfferThatWasNeverAnswered) {
  const OfferState cases[] = {
      {"offer unanswered", 1, 0, 0, 0, 1},
      {"offer answered", 1, 1, 0x84, 15, 1},
      {"no offer", 0, 0, 0x84, 15, 0},
  };
  for (const OfferState &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    EngineRequest request(5, 2, kTestUnitReady);
    request.select(driver.ext());
    drv::HW_DEVICE_EXTENSION &ext = driver.ext();
    ext.SdtrSent[5][2] = c.sent;
    ext.SdtrDone[5][2] = c.done;
    ext.SyncPeriod[5] = 0x84;
    ext.SyncOffset[5] = 15;
    ScriptStatusPhase(driver, 0x00);

    EXPECT_EQ(RunStatus(driver), 1);

    EXPECT_EQ(ext.SyncPeriod[5], c.periodAfter);
    EXPECT_EQ(ext.SyncOffset[5], c.offsetAfter);
    EXPECT_EQ(ext.SdtrDone[5][2], c.doneAfter);
    EXPECT_EQ(ext.SdtrSent[5][2], c.sent);
  }
}

} // namespace
