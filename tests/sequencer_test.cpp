// The phase sequencer against the register script: sampling, dispatch to
// the handlers, the end of the loop, the one error-log entry of a failed
// sequence, and phase codes without a handler.
#include "scripted_driver.h"

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216;

// TEST UNIT READY
const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct SequencerFixture {
  SequencerFixture() : request(5, 2, kTestUnitReady) { request.select(driver.ext()); }
  drv::HW_DEVICE_EXTENSION &ext() { return driver.ext(); }
  void run() {
    driver.call([&] { drv::RunPhaseSub(&driver.ext()); });
  }
  void expectIdle() {
    EXPECT_EQ(ext().PhaseLoopDone, 1);
    EXPECT_EQ(ext().CurrentPhase, drv::PHASE_SAMPLE);
  }

  ScriptedDriver driver;
  EngineRequest request;
};

// A status phase that runs to its end, entered from the sample.
void ScriptStatusPhase(ScriptedDriver &driver) {
  driver.chip.queue(0, drv::REG_STATUS, {0x83, 0x80, 0x80, 0x00});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x10, 0x08});
  driver.chip.queue(1, drv::REG_PIO_DATA, {0x00});
}

TEST(RunPhaseSub, SamplesTheBusAndEndsWithTheStatusPhase) {
  SequencerFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x83}); // the sample
  ScriptStatusPhase(f.driver);

  f.run();

  const std::vector<Access> &log = f.driver.chip.log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], Control(0x00));
  EXPECT_EQ(log[1], R0(0x4, 0x83));
  EXPECT_EQ(log[2], Control(0x00)) << "then the status handler";
  EXPECT_TRUE(f.driver.chip.allConsumed()) << f.driver.chip.unconsumed();
  EXPECT_EQ(f.request.lu.RequestDone, 1);
  EXPECT_EQ(f.request.lu.SrbStatus, SRB_STATUS_SUCCESS);
  EXPECT_TRUE(f.driver.errorLog().empty());
  f.expectIdle();
}

TEST(RunPhaseSub, LogsAFailedSequenceOnceAndLeavesTheRequestAsItWas) {
  for (uint8_t requestDone : {0, 1}) {
    SCOPED_TRACE(requestDone ? "already done" : "not done");
    SequencerFixture f;
    f.request.srb.PathId = 0;
    f.request.lu.RequestDone = requestDone;
    // The sample finds the command phase; the target disconnects during it.
    f.driver.chip.queue(0, drv::REG_STATUS, {0x02, 0x80});
    f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});

    f.run();

    std::vector<sim::PortEvent> log = f.driver.errorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].srb, &f.request.srb);
    EXPECT_EQ(log[0].pathId, 0);
    EXPECT_EQ(log[0].targetId, 5);
    EXPECT_EQ(log[0].lun, 2);
    EXPECT_EQ(log[0].errorCode, 7u); // SP_REQUEST_TIMEOUT
    EXPECT_EQ(log[0].uniqueId, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&f.ext())));
    EXPECT_EQ(f.request.lu.RequestDone, requestDone);
    EXPECT_EQ(f.request.srb.SrbStatus, SRB_STATUS_PENDING);
    f.expectIdle();
  }
}

TEST(RunPhaseSub, ADisconnectAfterSaveDataPointerEndsWithoutALogEntry) {
  SequencerFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x07, 0x87, 0x87});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x08, 0x20});
  f.driver.chip.queue(0, drv::REG_FIFO, {0x02});

  f.run();

  EXPECT_TRUE(f.driver.errorLog().empty());
  EXPECT_EQ(f.request.lu.RequestDone, 0);
  f.expectIdle();
}

TEST(RunPhaseSub, WaitsOutAReservedPhaseForOneWithAHandler) {
  SequencerFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x04, 0x05, 0x04, 0x83});
  ScriptStatusPhase(f.driver);

  f.run();

  const std::vector<Access> &log = f.driver.chip.log();
  std::vector<Access> head = {Control(0x00), R0(0x4, 0x04), Control(0x00), R0(0x4, 0x05),
                              R0(0x4, 0x04), R0(0x4, 0x83), Control(0x00)};
  ASSERT_GE(log.size(), head.size());
  EXPECT_EQ(std::vector<Access>(log.begin(), log.begin() + head.size()), head) << Describe(log);
  EXPECT_EQ(f.request.lu.RequestDone, 1);
  EXPECT_TRUE(f.driver.errorLog().empty());
}

TEST(RunPhaseSub, FailsWhenTheBusStaysInAReservedPhase) {
  SequencerFixture f;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x05});
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x0C);

  f.run();

  std::vector<Access> expected = {Control(0x00), R0(0x4, 0x05), Control(0x00),
                                  R0(0x4, 0x0C, kPollLimit)};
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.driver.errorLog().size(), 1u);
  EXPECT_EQ(f.request.lu.RequestDone, 0);
  f.expectIdle();
}

TEST(RunPhaseSub, TreatsAStrayPhaseCodeLikeAReservedPhase) {
  SequencerFixture f;
  f.ext().CurrentPhase = 0x10;
  f.driver.chip.queue(0, drv::REG_STATUS, {0x83});
  ScriptStatusPhase(f.driver);

  f.run();

  EXPECT_EQ(f.request.lu.RequestDone, 1);
  EXPECT_TRUE(f.driver.errorLog().empty());
  f.expectIdle();
}

TEST(RunPhaseSub, DoesNothingWhenTheLoopIsAlreadyDone) {
  SequencerFixture f;
  f.ext().PhaseLoopDone = 1;
  f.ext().CurrentPhase = 3;

  f.run();

  EXPECT_TRUE(f.driver.chip.log().empty());
  f.expectIdle();
}

} // namespace
