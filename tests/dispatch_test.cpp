// Request dispatch and completion against the register script, through the
// port driver's start-I/O path: which requests complete, with what status
// and residual and which notifications; requests left to the time-out;
// abort, device reset and bus reset requests; requests the driver refuses.
#include "scripted_driver.h"

namespace {

using namespace script;
using sim::PortEvent;

// TEST UNIT READY
const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// READ(10) of one 512-byte block at LBA 0
const std::vector<uint8_t> kRead10 = {0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};

// ------------------------------------------------------------ bus scripts

// The chip's interrupt after a selection that no target answered.
constexpr uint8_t kSelectionTimedOut = 0x20;

void ScriptSelection(ScriptedDriver &driver, uint8_t intStatus = 0x18) {
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, intStatus});
  driver.chip.queue(0, drv::REG_STATUS, {0x82});
  if (intStatus == 0x18) {
    driver.chip.queue(0, drv::REG_SEQ_STEP, {0x04});
  }
}

void ScriptSample(ScriptedDriver &driver, uint8_t status) {
  driver.chip.queue(0, drv::REG_STATUS, {status});
}

void ScriptStatusPhase(ScriptedDriver &driver, uint8_t statusByte) {
  driver.chip.queue(0, drv::REG_STATUS, {0x83, 0x80, 0x80, 0x00});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x00, 0x10, 0x08});
  driver.chip.queue(1, drv::REG_PIO_DATA, {statusByte});
}

void ScriptBusReset(ScriptedDriver &driver) {
  driver.chip.queue(0, drv::REG_STATUS, {0x80});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x80});
  driver.chip.queue(1, drv::REG_CHIP_ID, {0x02});
}

sim::RequestOrder Execute(uint8_t target, uint8_t lun, std::vector<uint8_t> cdb,
                          uint32_t dataLength = 0) {
  sim::RequestOrder order;
  order.targetId = target;
  order.lun = lun;
  order.cdb = std::move(cdb);
  order.dataLength = dataLength;
  order.srbFlags = dataLength ? SRB_FLAGS_DATA_IN : 0;
  return order;
}

sim::RequestOrder Function(uint8_t function, uint8_t target = 2, uint8_t lun = 0) {
  sim::RequestOrder order;
  order.function = function;
  order.targetId = target;
  order.lun = lun;
  return order;
}

// The notifications and completions the port driver saw, as text.
std::vector<std::string> Calls(const ScriptedDriver &driver) {
  std::vector<std::string> calls;
  for (const PortEvent &event : driver.port->events()) {
    switch (event.kind) {
    case PortEvent::Kind::Notification:
      calls.push_back(event.notification == RequestComplete ? "RequestComplete"
                      : event.notification == NextRequest   ? "NextRequest"
                      : event.notification == ResetDetected ? "ResetDetected"
                                                            : "other notification");
      break;
    case PortEvent::Kind::CompleteRequest:
      calls.push_back("CompleteRequest");
      break;
    case PortEvent::Kind::LogError:
      calls.push_back("LogError");
      break;
    case PortEvent::Kind::Mapping:
      break;
    }
  }
  return calls;
}

using Strings = std::vector<std::string>;

drv::HW_LU_EXTENSION &LuOf(ScriptedDriver &driver, uint8_t target, uint8_t lun) {
  return *static_cast<drv::PHW_LU_EXTENSION>(driver.port->existingLuExtension(target, lun));
}

// ------------------------------------------------------------------ execute

TEST(RoutineStartIo, RunsACommandToItsEndAndCompletesIt) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x83);
  ScriptStatusPhase(driver, 0x00);

  sim::Request &request = driver.port->start(Execute(2, 0, kTestUnitReady));

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(request.srb.ScsiStatus, 0x00);
  EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest"}));
  EXPECT_TRUE(driver.chip.allConsumed()) << driver.chip.unconsumed();
  drv::HW_LU_EXTENSION &lu = LuOf(driver, 2, 0);
  EXPECT_EQ(lu.Srb, nullptr);
  EXPECT_EQ(lu.RequestDone, 1);
  EXPECT_EQ(driver.ext().ActiveLu, nullptr);
  EXPECT_EQ(driver.ext().TargetId, 2u);
  EXPECT_EQ(driver.ext().MessageOnly, 0);
  EXPECT_TRUE(driver.port->violations().empty());
}

TEST(RoutineStartIo, ReportsTheStatusByteAndItsTranslation) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x83);
  ScriptStatusPhase(driver, 0x02);

  sim::Request &request = driver.port->start(Execute(2, 0, kTestUnitReady));

  EXPECT_EQ(request.status, SRB_STATUS_ERROR);
  EXPECT_EQ(request.srb.ScsiStatus, 0x02);
}

TEST(RoutineStartIo, ASelectionTimeOutCompletesWithTheLengthUnchanged) {
  ScriptedDriver driver;
  ScriptSelection(driver, kSelectionTimedOut);

  sim::Request &request = driver.port->start(Execute(6, 0, kRead10, 512));

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(request.srb.DataTransferLength, 512u);
  EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest"}));
}

TEST(RoutineStartIo, AShortReadReportsTheBytesMoved) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x81);
  std::vector<uint8_t> data(256);
  for (size_t i = 0; i < data.size(); i++) {
    data[i] = static_cast<uint8_t>(i ^ 0x5A);
  }
  driver.chip.queueData(data);
  driver.chip.queue(1, drv::REG_PIO_STATUS, {0x02, 0x02, 0x50});
  driver.chip.queue(0, drv::REG_STATUS, {0x93, 0x93});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});
  ScriptStatusPhase(driver, 0x00);

  sim::Request &request = driver.port->start(Execute(2, 0, kRead10, 512));

  EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(request.srb.DataTransferLength, 256u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), request.data.data()));
  EXPECT_TRUE(driver.chip.allConsumed()) << driver.chip.unconsumed();
}

TEST(RoutineStartIo, ACommandCompleteWithoutAStatusByteIsAnError) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x07);
  driver.chip.queue(0, drv::REG_STATUS, {0x87, 0x87});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08, 0x20});
  driver.chip.queue(0, drv::REG_FIFO, {0x00});

  sim::Request &request = driver.port->start(Execute(2, 0, kTestUnitReady));

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_ERROR) << "never SRB_STATUS_PENDING";
  EXPECT_TRUE(driver.port->violations().empty());
}

TEST(RoutineStartIo, AFailedPhaseLeavesTheRequestToTheTimeOut) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x02);
  driver.chip.queue(0, drv::REG_STATUS, {0x80});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x20}); // disconnect in the command phase

  sim::Request &request = driver.port->start(Execute(2, 0, kTestUnitReady));

  EXPECT_FALSE(request.completed);
  EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_PENDING);
  EXPECT_EQ(Calls(driver), (Strings{"LogError"}));
  std::vector<PortEvent> log = driver.errorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].errorCode, static_cast<uint32_t>(SP_REQUEST_TIMEOUT));
  EXPECT_EQ(log[0].targetId, 2);
  EXPECT_EQ(log[0].uniqueId, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&driver.ext())));
  EXPECT_NE(driver.ext().ActiveLu, nullptr) << "the request stays on the bus";
  EXPECT_FALSE(driver.port->driverReady());

  driver.port->clearEvents();
  ScriptBusReset(driver);
  driver.port->expireOldestRequest();

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
  EXPECT_FALSE(request.completedByPortDriver);
  EXPECT_EQ(Calls(driver), (Strings{"ResetDetected", "CompleteRequest", "NextRequest"}));
}

TEST(RoutineStartIo, APendingReselectionLeavesTheRequestToTheTimeOut) {
  ScriptedDriver driver;
  // A first request on the unit completes and leaves RequestDone at 1.
  ScriptSelection(driver, kSelectionTimedOut);
  driver.port->start(Execute(2, 0, kTestUnitReady));
  ASSERT_EQ(LuOf(driver, 2, 0).RequestDone, 1);
  driver.port->clearEvents();
  driver.chip.clearLog();
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x04});

  sim::Request &request = driver.port->start(Execute(2, 0, kTestUnitReady));

  EXPECT_FALSE(request.completed) << "not completed by what the earlier request left";
  EXPECT_TRUE(Calls(driver).empty());
  std::vector<Access> expected = {Control(0x80), Control(0x00), R0(0x5, 0x04), Control(0x84)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());

  ScriptBusReset(driver);
  driver.port->expireOldestRequest();
  EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
}

TEST(RoutineStartIo, ADisconnectingTargetLeavesItsRequestOutstanding) {
  ScriptedDriver driver("/AS2");
  ScriptSelection(driver);
  ScriptSample(driver, 0x07);
  driver.chip.queue(0, drv::REG_STATUS, {0x87, 0x87});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08, 0x20});
  driver.chip.queue(0, drv::REG_FIFO, {0x04});

  sim::Request &request = driver.port->start(Execute(2, 0, kRead10, 512));

  EXPECT_FALSE(request.completed);
  EXPECT_TRUE(Calls(driver).empty()) << "no log entry, no notification";
  EXPECT_EQ(LuOf(driver, 2, 0).DataLength, 512u);
}

// ------------------------------------------------------------ other functions

TEST(RoutineStartIo, RefusesOtherFunctionsAtOnceWithoutTouchingTheChip) {
  const uint8_t functions[] = {SRB_FUNCTION_CLAIM_DEVICE,
                               SRB_FUNCTION_IO_CONTROL,
                               SRB_FUNCTION_SHUTDOWN,
                               SRB_FUNCTION_FLUSH,
                               SRB_FUNCTION_RELEASE_QUEUE,
                               SRB_FUNCTION_TERMINATE_IO,
                               SRB_FUNCTION_FLUSH_QUEUE,
                               0x42,
                               0xFF};
  for (uint8_t function : functions) {
    SCOPED_TRACE(testing::Message() << "function 0x" << std::hex << int(function));
    ScriptedDriver driver;

    sim::Request &request = driver.port->start(Function(function, 9, 9));

    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest"}));
    EXPECT_TRUE(driver.chip.log().empty());
  }
}

TEST(RoutineStartIo, ABusResetRequestIsCompletedByTheResetItself) {
  ScriptedDriver driver;
  drv::HW_DEVICE_EXTENSION &ext = driver.ext();
  ext.SyncPeriod[1] = 0x84;
  ext.SdtrSent[1][0] = 1;
  ScriptBusReset(driver);

  sim::Request &request = driver.port->start(Function(SRB_FUNCTION_RESET_BUS));

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(Calls(driver), (Strings{"ResetDetected", "CompleteRequest", "NextRequest"}));
  EXPECT_EQ(ext.SyncPeriod[1], 0);
  EXPECT_EQ(ext.SdtrSent[1][0], 0);
  EXPECT_TRUE(driver.port->violations().empty());
}

TEST(RoutineStartIo, ABusResetRequestWhoseResetFailsWaitsForTheTimeOut) {
  ScriptedDriver driver;
  driver.chip.queue(0, drv::REG_STATUS, {0x80});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x80});
  driver.chip.queue(1, drv::REG_CHIP_ID, {0x07});

  sim::Request &request = driver.port->start(Function(SRB_FUNCTION_RESET_BUS));

  EXPECT_FALSE(request.completed);
  EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(Calls(driver), (Strings{"ResetDetected"}));
  EXPECT_FALSE(driver.port->driverReady());
}

// Abort: IDENTIFY (disconnect allowed unless the request forbids it) and
// ABORT under select-and-stop; the target frees the bus after the message,
// which ends the request (it asked for nothing more); the abort is reported
// as failed all the same.
TEST(RoutineStartIo, AnAbortIsReportedFailedWithAnExtraNextRequest) {
  struct Case {
    const char *name;
    uint32_t flags;
    uint8_t identify;
  };
  const Case cases[] = {{"disconnect allowed", 0, 0xC3},
                        {"disconnect disabled", SRB_FLAGS_DISABLE_DISCONNECT, 0x83}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    ScriptSelection(driver);
    ScriptSample(driver, 0x06);
    driver.chip.queue(0, drv::REG_STATUS, {0x80});
    driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});
    sim::RequestOrder order = Function(SRB_FUNCTION_ABORT_COMMAND, 4, 3);
    order.srbFlags = c.flags;

    sim::Request &request = driver.port->start(order);

    std::vector<Access> fifo;
    for (const Access &access : driver.chip.log()) {
      if (access.dir == Dir::Write && access.reg == 0x2) {
        fifo.push_back(access);
      }
    }
    EXPECT_EQ(fifo, (std::vector<Access>{W0(0x2, c.identify), W0(0x2, 0x06)}));
    EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest", "NextRequest"}));
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, SRB_STATUS_ABORT_FAILED);
    EXPECT_EQ(driver.ext().MessageOnly, 1);
    EXPECT_TRUE(driver.errorLog().empty());
  }
}

TEST(RoutineStartIo, AnAbortThatCompletesIsStillReportedFailed) {
  ScriptedDriver driver;
  ScriptSelection(driver, kSelectionTimedOut);

  sim::Request &request = driver.port->start(Function(SRB_FUNCTION_ABORT_COMMAND, 4, 0));

  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_ABORT_FAILED);
  EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest", "NextRequest"}));
}

TEST(RoutineStartIo, MessageOnlyRequestsUseNothingAnEarlierRequestLeft) {
  ScriptedDriver driver("/AS2");
  // An execute request on the unit ends in a failed phase and leaves its
  // command, buffer and count in the LU record.
  ScriptSelection(driver);
  ScriptSample(driver, 0x02);
  driver.chip.queue(0, drv::REG_STATUS, {0x80});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x20});
  driver.port->start(Execute(2, 0, kRead10, 512));
  ScriptBusReset(driver);
  driver.port->expireOldestRequest();
  driver.chip.reset();
  driver.port->clearEvents();

  // The abort is selected, and the target ends it with COMMAND COMPLETE.
  ScriptSelection(driver);
  ScriptSample(driver, 0x07);
  driver.chip.queue(0, drv::REG_STATUS, {0x87, 0x87});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x08, 0x20});
  driver.chip.queue(0, drv::REG_FIFO, {0x00});
  sim::Request &abort = driver.port->start(Function(SRB_FUNCTION_ABORT_COMMAND, 2, 0));

  EXPECT_EQ(abort.status, SRB_STATUS_ABORT_FAILED);
  EXPECT_EQ(abort.srb.DataTransferLength, 0u) << "no residual of the earlier request";
  drv::HW_LU_EXTENSION &lu = LuOf(driver, 2, 0);
  EXPECT_EQ(lu.CdbLength, 0u);
  EXPECT_EQ(lu.DataLength, 0u);
  EXPECT_EQ(lu.DataPointer, nullptr);
  EXPECT_EQ(driver.ext().DataLength, 0u);
  EXPECT_TRUE(driver.port->violations().empty());
}

TEST(RoutineStartIo, ADeviceResetSendsTheMessageAloneAndForgetsTheAgreement) {
  ScriptedDriver driver;
  drv::HW_DEVICE_EXTENSION &ext = driver.ext();
  // An earlier execute request left its command in the LU record.
  ScriptSelection(driver, kSelectionTimedOut);
  driver.port->start(Execute(4, 1, kRead10, 512));
  for (int lun = 0; lun < 8; lun++) {
    ext.SdtrSent[4][lun] = 1;
    ext.SdtrDone[4][lun] = 1;
    ext.SdtrSent[5][lun] = 1;
  }
  ext.SyncPeriod[4] = 0x84;
  ext.SyncOffset[4] = 15;
  ext.SyncPeriod[5] = 0x08;
  driver.chip.clearLog();
  driver.port->clearEvents();
  // The target takes the message and frees the bus.
  ScriptSelection(driver, 0x20);

  sim::Request &request = driver.port->start(Function(SRB_FUNCTION_RESET_DEVICE, 4, 1));

  std::vector<Access> fifo;
  for (const Access &access : driver.chip.log()) {
    if (access.dir == Dir::Write && (access.reg == 0x2 || access.reg == 0x3)) {
      fifo.push_back(access);
    }
  }
  EXPECT_EQ(fifo, (std::vector<Access>{W0(0x3, 0x01), W0(0x2, 0x0C), W0(0x3, 0x42)}))
      << "no command byte follows BUS DEVICE RESET";
  EXPECT_TRUE(request.completed);
  EXPECT_EQ(request.status, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(ext.SyncPeriod[4], 0);
  EXPECT_EQ(ext.SyncOffset[4], 0);
  for (int lun = 0; lun < 8; lun++) {
    EXPECT_EQ(ext.SdtrSent[4][lun], 0);
    EXPECT_EQ(ext.SdtrDone[4][lun], 0);
    EXPECT_EQ(ext.SdtrSent[5][lun], 1) << "other targets keep theirs";
  }
  EXPECT_EQ(ext.SyncPeriod[5], 0x08);
  EXPECT_EQ(ext.TargetId, 4u);
}

// The target takes BUS DEVICE RESET and frees the bus: a disconnect with the
// sequence step past the message byte, unlike a selection time-out (step 0).
TEST(RoutineStartIo, ADeviceResetTakenByTheTargetSucceeds) {
  struct Case {
    uint8_t seqStep;
    uint8_t status;
  };
  const Case cases[] = {{0x02, SRB_STATUS_SUCCESS},
                        {0xFA, SRB_STATUS_SUCCESS},
                        {0x00, SRB_STATUS_SELECTION_TIMEOUT},
                        {0xF8, SRB_STATUS_SELECTION_TIMEOUT}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "REG_SEQ_STEP 0x" << std::hex << int(c.seqStep));
    ScriptedDriver driver;
    ScriptSelection(driver, 0x20);
    driver.chip.queue(0, drv::REG_SEQ_STEP, {c.seqStep});

    sim::Request &request = driver.port->start(Function(SRB_FUNCTION_RESET_DEVICE, 4, 0));

    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, c.status);
    EXPECT_EQ(request.srb.DataTransferLength, 0u);
    EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest"}));
    EXPECT_TRUE(driver.chip.allConsumed());
  }
}

TEST(RoutineStartIo, AnExecuteRequestAfterAMessageOnlyRequestBuildsItsOwnMessage) {
  ScriptedDriver driver;
  ScriptSelection(driver, kSelectionTimedOut);
  driver.port->start(Function(SRB_FUNCTION_ABORT_COMMAND, 3, 0));
  driver.chip.reset();
  ScriptSelection(driver, kSelectionTimedOut);

  driver.port->start(Execute(3, 0, kTestUnitReady));

  std::vector<Access> fifo;
  for (const Access &access : driver.chip.log()) {
    if (access.dir == Dir::Write && access.reg == 0x2) {
      fifo.push_back(access);
    }
  }
  EXPECT_EQ(fifo, (std::vector<Access>{W0(0x2, 0x80), W0(0x2, 0x01), W0(0x2, 0x03), W0(0x2, 0x01),
                                       W0(0x2, 0x19), W0(0x2, 0x0F)}));
  EXPECT_EQ(driver.ext().MessageOnly, 0);
}

// ------------------------------------------------------------------ refusals

struct RefusalCase {
  const char *name;
  uint8_t function;
  uint8_t target, lun;
  uint8_t cdbLength;
  uint32_t dataLength;
  bool buffer;
  uint8_t status;
};

// SRBs the tables or the chip cannot take. The SRB is the test's own, so the
// port driver notes its completion as one it does not know.
TEST(RoutineStartIo, RefusesRequestsItCannotCarryWithoutTouchingTheChip) {
  const RefusalCase cases[] = {
      {"execute, target 8", 0x00, 8, 0, 6, 0, false, SRB_STATUS_INVALID_TARGET_ID},
      {"execute, target 255", 0x00, 255, 0, 6, 0, false, SRB_STATUS_INVALID_TARGET_ID},
      {"execute, LUN 8", 0x00, 1, 8, 6, 0, false, SRB_STATUS_INVALID_LUN},
      {"abort, target 9", 0x10, 9, 0, 0, 0, false, SRB_STATUS_INVALID_TARGET_ID},
      {"device reset, LUN 200", 0x13, 1, 200, 0, 0, false, SRB_STATUS_INVALID_LUN},
      {"command longer than the SRB holds", 0x00, 1, 0, 17, 0, false, SRB_STATUS_INVALID_REQUEST},
      {"length beyond the 24-bit count", 0x00, 1, 0, 10, 0x1000000, true,
       SRB_STATUS_INVALID_REQUEST},
      {"length without a buffer", 0x00, 1, 0, 10, 512, false, SRB_STATUS_INVALID_REQUEST},
  };
  for (const RefusalCase &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    uint8_t byte = 0;
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(srb);
    srb.Function = c.function;
    srb.TargetId = c.target;
    srb.Lun = c.lun;
    srb.CdbLength = c.cdbLength;
    srb.DataTransferLength = c.dataLength;
    srb.DataBuffer = c.buffer ? &byte : nullptr;

    BOOLEAN result = driver.call([&] { return drv::RoutineStartIo(&driver.ext(), &srb); });

    EXPECT_EQ(result, TRUE);
    EXPECT_EQ(srb.SrbStatus, c.status);
    EXPECT_EQ(srb.DataTransferLength, c.dataLength);
    EXPECT_EQ(Calls(driver), (Strings{"RequestComplete", "NextRequest"}));
    EXPECT_EQ(driver.port->events()[0].srb, &srb);
    EXPECT_TRUE(driver.chip.log().empty());
    EXPECT_EQ(driver.ext().TargetId, 0u);
  }
}

} // namespace
