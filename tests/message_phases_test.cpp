// The message phases against the register script: message out after an
// SDTR offer, and message in with SDTR answers and proposals, the period
// conversion, MESSAGE REJECT, COMMAND COMPLETE, the pointer messages,
// disconnects, and the bounds on what a target may send.
#include "scripted_driver.h"

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216;

// TEST UNIT READY
const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

void Append(std::vector<Access> &log, std::initializer_list<Access> more) {
  log.insert(log.end(), more.begin(), more.end());
}

std::vector<Access> Tail(const std::vector<Access> &log, size_t count) {
  return std::vector<Access>(log.end() - std::min(count, log.size()), log.end());
}

UCHAR RunMessageOut(ScriptedDriver &driver) {
  return driver.call([&] { return drv::MessageOutPhaseRun(&driver.ext()); });
}

UCHAR RunMessageIn(ScriptedDriver &driver) {
  return driver.call([&] { return drv::MessageInPhaseRun(&driver.ext()); });
}

void ExpectFailed(ScriptedDriver &driver) {
  EXPECT_EQ(driver.ext().CurrentPhase, drv::PHASE_FAILED);
  EXPECT_EQ(driver.ext().PhaseLoopDone, 1);
}

// -------------------------------------------------------------- message out

TEST(MessageOutPhaseRun, SendsTheRestOfTheOfferThenDropsAtn) {
  ScriptedDriver driver;
  EngineRequest request(2, 1, kTestUnitReady);
  request.select(driver.ext());
  driver.ext().MsgOutLength = 6;
  driver.chip.queue(0, drv::REG_STATUS, {0x86, 0x07});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});

  EXPECT_EQ(RunMessageOut(driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x3, 0x10), R0(0x4, 0x86), R0(0x5, 0x10),
                                  W0(0x3, 0x01), W0(0x3, 0x1B), R0(0x4, 0x07)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(driver.ext().CurrentPhase, 7);
  EXPECT_EQ(driver.ext().PhaseLoopDone, 0);
  EXPECT_EQ(driver.ext().SdtrSent[2][1], 1);
}

TEST(MessageOutPhaseRun, WithOneMessageByteOnlyFlushesAndDropsAtn) {
  ScriptedDriver driver;
  EngineRequest request(2, 1, kTestUnitReady);
  request.select(driver.ext());
  driver.ext().MsgOutLength = 1;
  driver.chip.queue(0, drv::REG_STATUS, {0x02});

  EXPECT_EQ(RunMessageOut(driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x3, 0x01), W0(0x3, 0x1B), R0(0x4, 0x02)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(driver.ext().CurrentPhase, 2);
  EXPECT_EQ(driver.ext().SdtrSent[2][1], 0);
}

TEST(MessageOutPhaseRun, CountsTheMessageSentOnlyOnBusServiceAlone) {
  ScriptedDriver driver;
  EngineRequest request(2, 1, kTestUnitReady);
  request.select(driver.ext());
  driver.ext().MsgOutLength = 6;
  driver.chip.queue(0, drv::REG_STATUS, {0x86, 0x86, 0x86, 0x07});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x18, 0x08, 0x10});

  EXPECT_EQ(RunMessageOut(driver), 1);

  EXPECT_EQ(driver.chip.readsOf(0, 0x5), 3u) << "0x18 and 0x08 are waited past";
  EXPECT_EQ(driver.ext().SdtrSent[2][1], 1);
}

TEST(MessageOutPhaseRun, FailsWhenTheTargetLeavesTheBusOrNeverAnswers) {
  struct Case {
    const char *name;
    uint8_t status;
    uint8_t intStatus;
  };
  const Case cases[] = {{"bus freed after the message", 0x80, 0x20}, {"no interrupt", 0x06, 0x00}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    EngineRequest request(2, 1, kTestUnitReady);
    request.select(driver.ext());
    driver.ext().MsgOutLength = 2;
    driver.chip.setDefault(0, drv::REG_STATUS, c.status);
    driver.chip.setDefault(0, drv::REG_INT_STATUS, c.intStatus);

    EXPECT_EQ(RunMessageOut(driver), 0);

    ExpectFailed(driver);
    EXPECT_EQ(driver.ext().SdtrSent[2][1], 0);
  }
}

TEST(MessageOutPhaseRun, FailsWhenTheTargetStaysInMessageOut) {
  ScriptedDriver driver;
  EngineRequest request(2, 1, kTestUnitReady);
  request.select(driver.ext());
  driver.ext().MsgOutLength = 1;
  driver.chip.setDefault(0, drv::REG_STATUS, 0x06);

  EXPECT_EQ(RunMessageOut(driver), 0);

  ExpectFailed(driver);
  EXPECT_EQ(driver.chip.log().back(), R0(0x4, 0x06, kPollLimit));
}

// --------------------------------------------------------------- message in

// Scripts the bytes of one MESSAGE IN phase: one function-complete
// interrupt per byte, with a bus-service interrupt before each further byte.
void ScriptBytes(ScriptedDriver &driver, const std::vector<uint8_t> &bytes) {
  for (size_t i = 0; i < bytes.size(); i++) {
    if (i > 0) {
      driver.chip.queue(0, drv::REG_STATUS, {0x87});
      driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});
    }
    driver.chip.queue(0, drv::REG_STATUS, {0x87});
    driver.chip.queue(0, drv::REG_INT_STATUS, {0x08});
    driver.chip.queue(0, drv::REG_FIFO, {bytes[i]});
  }
}

// The bytes, after which the bus shows `after` (no interrupt) for the
// collection and for the closing wait.
void ScriptMessage(ScriptedDriver &driver, const std::vector<uint8_t> &bytes,
                   uint8_t after = 0x02) {
  ScriptBytes(driver, bytes);
  driver.chip.queue(0, drv::REG_STATUS, {after, after});
}

// The bytes, after which the target frees the bus while they are collected.
void ScriptMessageThenDisconnect(ScriptedDriver &driver, const std::vector<uint8_t> &bytes) {
  ScriptBytes(driver, bytes);
  driver.chip.queue(0, drv::REG_STATUS, {0x87});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});
}

struct MessageInFixture {
  explicit MessageInFixture(uint8_t target = 4, uint8_t lun = 1) : request(target, lun, {}, 512) {
    request.select(driver.ext());
    driver.ext().CurrentPhase = drv::PHASE_MESSAGE_IN; // as the sequencer calls it
  }
  drv::HW_DEVICE_EXTENSION &ext() { return driver.ext(); }

  ScriptedDriver driver;
  EngineRequest request;
};

TEST(MessageInPhaseRun, TakesAnSdtrAnswer) {
  MessageInFixture f;
  f.ext().SdtrSent[4][1] = 1;
  ScriptMessage(f.driver, {0x01, 0x03, 0x01, 0x19, 0x0F});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x3, 0x01), W0(0x3, 0x10), R0(0x4, 0x87),
                                  R0(0x5, 0x08), R0(0x2, 0x01), W0(0x3, 0x12)};
  for (uint8_t byte : {0x03, 0x01, 0x19, 0x0F}) {
    Append(expected, {R0(0x4, 0x87), R0(0x5, 0x10), W0(0x3, 0x01), W0(0x3, 0x10), R0(0x4, 0x87),
                      R0(0x5, 0x08), R0(0x2, byte), W0(0x3, 0x12)});
  }
  Append(expected, {R0(0x4, 0x02, 2)});
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.ext().SyncPeriod[4], 0x84);
  EXPECT_EQ(f.ext().SyncOffset[4], 15);
  EXPECT_EQ(f.ext().SdtrDone[4][1], 1);
  EXPECT_EQ(f.ext().CurrentPhase, 2);
  EXPECT_EQ(f.ext().PhaseLoopDone, 0);
}

struct SdtrCase {
  uint8_t factor;
  uint8_t offset;
  uint8_t syncPeriod;
  uint8_t syncOffset;
};

TEST(MessageInPhaseRun, ConvertsPeriodFactorsAndLimitsOffsets) {
  const SdtrCase cases[] = {
      // period factor (4 ns) -> clocks of 25 ns rounded up, bit 7 below 8
      {0, 15, 0x80, 15},
      {12, 15, 0x82, 15},
      {25, 15, 0x84, 15},
      {43, 15, 0x87, 15},
      {44, 15, 0x08, 15},
      {50, 15, 0x08, 15},
      {62, 15, 0x0A, 15},
      {63, 15, 0x0B, 15},
      // factors of 64 and above, without overflow
      {64, 15, 0x0B, 15},
      {100, 15, 0x10, 15},
      {200, 15, 0x20, 15},
      {255, 15, 0x29, 15},
      // offsets above 16 become 15
      {25, 16, 0x84, 16},
      {25, 17, 0x84, 15},
      {25, 255, 0x84, 15},
      {25, 0, 0x84, 0},
  };
  for (const SdtrCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "factor " << int(c.factor) << ", offset " << int(c.offset));
    MessageInFixture f;
    f.ext().SdtrSent[4][1] = 1;
    ScriptMessage(f.driver, {0x01, 0x03, 0x01, c.factor, c.offset});

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.ext().SyncPeriod[4], c.syncPeriod);
    EXPECT_EQ(f.ext().SyncOffset[4], c.syncOffset);
    EXPECT_EQ(f.ext().SdtrDone[4][1], 1);
  }
}

TEST(MessageInPhaseRun, AHeldTargetProposingOnItsOwnIsAnsweredLater) {
  MessageInFixture f;
  f.ext().AsyncOnly[4] = 1;
  f.ext().SyncPeriod[4] = 0x08;
  f.ext().SyncOffset[4] = 8;
  ScriptMessage(f.driver, {0x01, 0x03, 0x01, 0x19, 0x0F});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  EXPECT_EQ(f.ext().AsyncOnly[4], 2);
  EXPECT_EQ(f.ext().SyncPeriod[4], 0);
  EXPECT_EQ(f.ext().SyncOffset[4], 0);
  EXPECT_EQ(f.ext().SdtrDone[4][1], 0) << "not settled";
  EXPECT_EQ(f.ext().CurrentPhase, 2);
}

TEST(MessageInPhaseRun, AHeldTargetAnsweringAnOfferIsTakenNormally) {
  MessageInFixture f;
  f.ext().AsyncOnly[4] = 1;
  f.ext().SdtrSent[4][1] = 1;
  ScriptMessage(f.driver, {0x01, 0x03, 0x01, 0x32, 0x08});

  RunMessageIn(f.driver);

  EXPECT_EQ(f.ext().AsyncOnly[4], 1);
  EXPECT_EQ(f.ext().SyncPeriod[4], 0x08);
  EXPECT_EQ(f.ext().SyncOffset[4], 8);
  EXPECT_EQ(f.ext().SdtrDone[4][1], 1);
}

TEST(MessageInPhaseRun, IgnoresOtherAndShortExtendedMessages) {
  const std::vector<uint8_t> messages[] = {
      {0x01, 0x02, 0x03, 0x01},       // WIDE DATA TRANSFER REQUEST
      {0x01, 0x02, 0x01, 0x19, 0x0F}, // SDTR code with length 2
      {0x01, 0x03, 0x00, 0x19, 0x0F}, // length 3, another code
      {0x01, 0x03, 0x01},             // SDTR cut short by a phase change
  };
  for (const std::vector<uint8_t> &message : messages) {
    SCOPED_TRACE(testing::Message() << message.size() << " bytes");
    MessageInFixture f;
    f.ext().SdtrSent[4][1] = 1;
    f.ext().SyncPeriod[4] = 0x0A;
    f.ext().SyncOffset[4] = 4;
    ScriptMessage(f.driver, message);

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.ext().SyncPeriod[4], 0x0A);
    EXPECT_EQ(f.ext().SyncOffset[4], 4);
    EXPECT_EQ(f.ext().SdtrDone[4][1], 0);
    EXPECT_EQ(f.ext().CurrentPhase, 2);
  }
}

TEST(MessageInPhaseRun, MessageRejectMakesTheTargetAsynchronous) {
  for (uint8_t sent : {1, 0}) {
    SCOPED_TRACE(sent ? "offer outstanding" : "no offer");
    MessageInFixture f;
    f.ext().SdtrSent[4][1] = sent;
    f.ext().SyncPeriod[4] = 0x84;
    f.ext().SyncOffset[4] = 15;
    ScriptMessage(f.driver, {0x07});

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.ext().SyncPeriod[4], 0);
    EXPECT_EQ(f.ext().SyncOffset[4], 0);
    EXPECT_EQ(f.ext().SdtrDone[4][1], 1);
  }
}

TEST(MessageInPhaseRun, CommandCompleteEndsTheRequestAndSettlesAnUnansweredOffer) {
  const struct {
    const char *name;
    uint8_t done;
    uint8_t periodAfter;
  } cases[] = {{"offer unanswered", 0, 0}, {"offer settled", 1, 0x84}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    MessageInFixture f;
    f.ext().SdtrSent[4][1] = 1;
    f.ext().SdtrDone[4][1] = c.done;
    f.ext().SyncPeriod[4] = 0x84;
    // The phase bits change before the disconnect is latched.
    ScriptBytes(f.driver, {0x00});
    f.driver.chip.queue(0, drv::REG_STATUS, {0x00, 0x80});
    f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.request.lu.RequestDone, 1);
    EXPECT_EQ(f.ext().SyncPeriod[4], c.periodAfter);
    EXPECT_EQ(f.ext().SdtrDone[4][1], 1);
    EXPECT_EQ(f.ext().PhaseLoopDone, 1);
    EXPECT_EQ(f.ext().CurrentPhase, drv::PHASE_SAMPLE) << "no phase of the free bus is handed on";
    std::vector<Access> tail = {R0(0x4, 0x00), R0(0x4, 0x80), R0(0x5, 0x20),
                                Control(0x84), Control(0x00), W0(0x3, 0x44)};
    EXPECT_EQ(Tail(f.driver.chip.log(), tail.size()), tail) << Describe(f.driver.chip.log());
    EXPECT_TRUE(f.driver.chip.allConsumed()) << f.driver.chip.unconsumed();
  }
}

TEST(MessageInPhaseRun, CommandCompleteWithoutABusFreeFailsWithTheRequestDone) {
  MessageInFixture f;
  ScriptBytes(f.driver, {0x00});
  f.driver.chip.queue(0, drv::REG_STATUS, {0x03});
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x83);
  f.driver.chip.setDefault(0, drv::REG_INT_STATUS, 0x10);

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.request.lu.RequestDone, 1) << "the dispatcher still completes it";
  EXPECT_EQ(f.driver.chip.readsOf(0, 0x5), 1u + 1024u);
}

TEST(MessageInPhaseRun, ADisconnectWhileCollectingCommandCompleteEndsCleanly) {
  MessageInFixture f;
  ScriptMessageThenDisconnect(f.driver, {0x00});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  EXPECT_EQ(f.request.lu.RequestDone, 1);
  EXPECT_EQ(f.ext().PhaseLoopDone, 1);
  EXPECT_EQ(f.ext().CurrentPhase, drv::PHASE_SAMPLE);
  std::vector<Access> tail = {R0(0x4, 0x87), R0(0x5, 0x20), Control(0x84), Control(0x00),
                              W0(0x3, 0x44)};
  const std::vector<Access> &log = f.driver.chip.log();
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(std::vector<Access>(log.end() - tail.size(), log.end()), tail)
      << "no phase is read from the freed bus\n"
      << Describe(log);
}

TEST(MessageInPhaseRun, ADisconnectAfterAnotherMessageIsAnUnexpectedDisconnect) {
  MessageInFixture f;
  f.ext().SyncPeriod[4] = 0x84;
  ScriptMessageThenDisconnect(f.driver, {0x07});

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.ext().SyncPeriod[4], 0) << "the message was still acted on";
  EXPECT_EQ(f.request.lu.RequestDone, 0);
}

TEST(MessageInPhaseRun, SaveDataPointerThenDisconnectKeepsThePointersAndEndsTheLoop) {
  MessageInFixture f;
  f.ext().DataPointer = f.request.bufferAddress() + 100;
  f.ext().DataLength = 412;
  ScriptMessageThenDisconnect(f.driver, {0x02, 0x04});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  EXPECT_EQ(f.request.lu.DataPointer, f.request.data.data() + 100);
  EXPECT_EQ(f.request.lu.DataLength, 412u);
  EXPECT_EQ(f.ext().PhaseLoopDone, 1);
  EXPECT_EQ(f.ext().CurrentPhase, 7) << "left as it was";
  EXPECT_EQ(f.request.lu.RequestDone, 0);
  EXPECT_EQ(f.driver.chip.log().back(), W0(0x3, 0x44)) << "no further wait";
  EXPECT_TRUE(f.driver.chip.allConsumed()) << f.driver.chip.unconsumed();
}

TEST(MessageInPhaseRun, ADisconnectSeenAfterThePhaseChangeIsWaitedFor) {
  MessageInFixture f;
  f.ext().DataPointer = f.request.bufferAddress() + 8;
  f.ext().DataLength = 504;
  ScriptBytes(f.driver, {0x04});
  f.driver.chip.queue(0, drv::REG_STATUS, {0x00, 0x80, 0x80});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x10, 0x20});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x3, 0x01), W0(0x3, 0x10), R0(0x4, 0x87),
                                  R0(0x5, 0x08), R0(0x2, 0x04), W0(0x3, 0x12), R0(0x4, 0x00),
                                  R0(0x4, 0x80), R0(0x5, 0x10), R0(0x4, 0x80), R0(0x5, 0x20),
                                  Control(0x84), Control(0x00), W0(0x3, 0x44)};
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.request.lu.DataLength, 504u);
  EXPECT_EQ(f.ext().PhaseLoopDone, 1);
}

TEST(MessageInPhaseRun, FailsWhenTheTargetNeverFreesTheBusAfterDisconnect) {
  struct Case {
    const char *name;
    uint8_t status;
    uint8_t intStatus;
    uint32_t intReads;
  };
  const Case cases[] = {{"silence", 0x00, 0x00, 0}, {"other interrupts", 0x80, 0x10, 1024}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    MessageInFixture f;
    ScriptBytes(f.driver, {0x04});
    f.driver.chip.queue(0, drv::REG_STATUS, {0x00});
    f.driver.chip.setDefault(0, drv::REG_STATUS, c.status);
    f.driver.chip.setDefault(0, drv::REG_INT_STATUS, c.intStatus);

    EXPECT_EQ(RunMessageIn(f.driver), 0);

    ExpectFailed(f.driver);
    EXPECT_EQ(f.driver.chip.readsOf(0, 0x5), 1 + c.intReads);
    EXPECT_EQ(f.request.lu.DataLength, 512u) << "nothing saved";
  }
}

TEST(MessageInPhaseRun, RestorePointersAndIdentifyRestoreTheSavedPointers) {
  const uint8_t restoring[] = {0x03, 0x80, 0x83, 0x86};
  for (uint8_t message : restoring) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << int(message));
    MessageInFixture f;
    f.request.lu.DataPointer = f.request.data.data() + 64;
    f.request.lu.DataLength = 448;
    f.ext().DataPointer = f.request.bufferAddress() + 300;
    f.ext().DataLength = 212;
    ScriptMessage(f.driver, {message}, 0x01);

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + 64);
    EXPECT_EQ(f.ext().DataLength, 448u);
    EXPECT_EQ(f.ext().CurrentPhase, 1);
  }
}

TEST(MessageInPhaseRun, OtherMessagesChangeNothingAndGetNoReply) {
  const uint8_t ignored[] = {0x05, 0x06, 0x08, 0x0C, 0x23, 0x7F, 0x87, 0xC0, 0xC3, 0xFF};
  for (uint8_t message : ignored) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << int(message));
    MessageInFixture f;
    f.ext().SdtrSent[4][1] = 1;
    f.ext().SyncPeriod[4] = 0x84;
    f.ext().SyncOffset[4] = 15;
    f.ext().DataPointer = f.request.bufferAddress() + 10;
    f.ext().DataLength = 502;
    ScriptMessage(f.driver, {message});

    EXPECT_EQ(RunMessageIn(f.driver), 1);

    EXPECT_EQ(f.ext().SyncPeriod[4], 0x84);
    EXPECT_EQ(f.ext().SyncOffset[4], 15);
    EXPECT_EQ(f.ext().SdtrDone[4][1], 0);
    EXPECT_EQ(f.ext().DataLength, 502u);
    EXPECT_EQ(f.request.lu.RequestDone, 0);
    EXPECT_EQ(f.ext().CurrentPhase, 2);
    const std::vector<Access> &log = f.driver.chip.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), W0(0x3, 0x12)), 1) << "one byte accepted";
    EXPECT_EQ(std::count(log.begin(), log.end(), W0(0x3, 0x1B)), 0);
  }
}

TEST(MessageInPhaseRun, NoByteInThisPhaseMeansNothingToActOn) {
  MessageInFixture f;
  // A first phase leaves MESSAGE REJECT in the buffer's place on the stack.
  ScriptMessage(f.driver, {0x07});
  RunMessageIn(f.driver);
  f.ext().SyncPeriod[4] = 0x84;
  f.ext().SyncOffset[4] = 15;
  f.ext().SdtrDone[4][1] = 0;
  f.driver.chip.reset();
  // The second sees the phase change before any byte.
  f.driver.chip.queue(0, drv::REG_STATUS, {0x03, 0x03});

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  std::vector<Access> expected = {Control(0x00), W0(0x3, 0x01), W0(0x3, 0x10), R0(0x4, 0x03, 2)};
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.ext().SyncPeriod[4], 0x84);
  EXPECT_EQ(f.ext().SyncOffset[4], 15);
  EXPECT_EQ(f.ext().SdtrDone[4][1], 0);
  EXPECT_EQ(f.ext().CurrentPhase, 3);
}

TEST(MessageInPhaseRun, ADisconnectWithoutAnyByteFails) {
  MessageInFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x87});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.request.lu.RequestDone, 0);
}

TEST(MessageInPhaseRun, TakesALongMessageAndKeepsOnlyWhatTheBufferHolds) {
  MessageInFixture f;
  f.ext().SdtrSent[4][1] = 1;
  std::vector<uint8_t> bytes = {0x01, 0x03, 0x01, 0x0C, 0x08};
  bytes.resize(300, 0x07); // and then 295 bytes more
  ScriptMessage(f.driver, bytes, 0x02);

  EXPECT_EQ(RunMessageIn(f.driver), 1);

  const std::vector<Access> &log = f.driver.chip.log();
  EXPECT_EQ(std::count(log.begin(), log.end(), W0(0x3, 0x12)), 300) << "every byte accepted";
  EXPECT_EQ(f.ext().SyncPeriod[4], 0x82) << "the first message is acted on";
  EXPECT_EQ(f.ext().SyncOffset[4], 8);
  EXPECT_EQ(f.ext().CurrentPhase, 2);
  EXPECT_TRUE(f.driver.chip.allConsumed());
}

TEST(MessageInPhaseRun, FailsOnATargetThatNeverEndsItsMessage) {
  MessageInFixture f;
  f.ext().SyncPeriod[4] = 0x84;
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x87);
  f.driver.chip.setDefault(0, drv::REG_INT_STATUS, 0x08);
  f.driver.chip.setDefault(0, drv::REG_FIFO, 0x07);

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.driver.chip.readsOf(0, 0x2), 1024u);
  EXPECT_EQ(f.ext().SyncPeriod[4], 0x84) << "bytes of a failed phase are not acted on";
}

TEST(MessageInPhaseRun, FailsAfterPollLimitReadsWithoutAnInterrupt) {
  MessageInFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x87});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x08});
  f.driver.chip.queue(0, drv::REG_FIFO, {0x00});
  // An interrupt of no interest starts the count anew.
  f.driver.chip.queueRun(0, drv::REG_STATUS, 0x07, 1000);
  f.driver.chip.queue(0, drv::REG_STATUS, {0x87});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x40});
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x07);

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.driver.chip.log().back(), R0(0x4, 0x07, kPollLimit - 1))
      << "the read that saw the interrupt counts as the first";
  EXPECT_EQ(f.request.lu.RequestDone, 0) << "COMMAND COMPLETE of a failed phase is not taken";
}

TEST(MessageInPhaseRun, FailsWhenTheTargetStaysInMessageInAfterTheMessage) {
  MessageInFixture f;
  ScriptBytes(f.driver, {0x07});
  f.driver.chip.queue(0, drv::REG_STATUS, {0x02});    // the collection ends ...
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x07); // ... but MESSAGE IN is back

  EXPECT_EQ(RunMessageIn(f.driver), 0);

  ExpectFailed(f.driver);
  EXPECT_EQ(f.driver.chip.log().back(), R0(0x4, 0x07, kPollLimit));
}

} // namespace
