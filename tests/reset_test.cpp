// The reset sequence of RoutineInitialize and RoutineResetBus against the
// register script: its register order, the wait for the bus reset, the chip
// identity check, the port-driver calls and what a bus reset forgets.
#include "scripted_driver.h"

namespace {

using namespace script;
using sim::PortEvent;

constexpr uint32_t kPollLimit = 16777216;

// The writes of InitFAS408, as the chip sees them.
std::vector<Access> InitWrites() {
  return {Control(0x30), W0(0x9, 0x00), W0(0x8, 0x97), W0(0xB, 0x48), W0(0xC, 0x10),
          W0(0x7, 0x00), W0(0x6, 0x08), W0(0x5, 0x99), Control(0x80), W1(0x8, 0x01)};
}

std::vector<Access> ResetUntilIdentity(uint8_t chipId) {
  return {Control(0x30), W0(0x3, 0x03), R0(0x4, 0x80), R0(0x5, 0x80),
          W0(0x3, 0x02), W0(0x3, 0x00), Control(0x80), R1(0xE, chipId)};
}

std::vector<Access> Concat(std::vector<Access> first, const std::vector<Access> &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

void ScriptResetSeen(ScriptedDriver &driver, uint8_t chipId) {
  driver.chip.queue(0, drv::REG_STATUS, {0x80});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x80});
  driver.chip.queue(1, drv::REG_CHIP_ID, {chipId});
}

struct IdentityCase {
  uint8_t chipId;
  bool known;
};

TEST(ResetSequence, AcceptsChipIdentities2And5InTheLowBitsOnly) {
  const IdentityCase cases[] = {{0x0A, true},  {0x05, true},  {0x02, true},  {0xFD, true},
                                {0x03, false}, {0x07, false}, {0x00, false}, {0xFF, false}};
  for (const IdentityCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "chip identity 0x" << std::hex << int(c.chipId));
    ScriptedDriver driver;
    ScriptResetSeen(driver, c.chipId);
    BOOLEAN result = driver.call([&] { return drv::RoutineResetBus(&driver.ext(), 0); });

    EXPECT_EQ(result, c.known ? TRUE : FALSE);
    std::vector<Access> expected = ResetUntilIdentity(c.chipId);
    if (c.known) {
      expected = Concat(expected, InitWrites());
    }
    EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
    EXPECT_TRUE(driver.chip.allConsumed()) << driver.chip.unconsumed();
  }
}

TEST(ResetSequence, ConsumesAnInterruptOfAnotherCauseAndWaitsOn) {
  ScriptedDriver driver;
  driver.chip.queue(0, drv::REG_STATUS, {0x80, 0x00, 0x00, 0x87});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x20, 0x80});
  driver.chip.queue(1, drv::REG_CHIP_ID, {0x02});

  BOOLEAN result = driver.call([&] { return drv::RoutineResetBus(&driver.ext(), 0); });

  EXPECT_EQ(result, TRUE);
  std::vector<Access> expected = {Control(0x30),    W0(0x3, 0x03), R0(0x4, 0x80), R0(0x5, 0x20),
                                  R0(0x4, 0x00, 2), R0(0x4, 0x87), R0(0x5, 0x80), W0(0x3, 0x02),
                                  W0(0x3, 0x00),    Control(0x80), R1(0xE, 0x02)};
  expected = Concat(expected, InitWrites());
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
}

TEST(ResetSequence, AResetNeverSeenReadsStatusPollLimitTimesAndReportsNothing) {
  ScriptedDriver driver;
  driver.chip.setDefault(0, drv::REG_STATUS, 0x07);

  BOOLEAN result = driver.call([&] { return drv::RoutineResetBus(&driver.ext(), 0); });

  EXPECT_EQ(result, FALSE);
  std::vector<Access> expected = {Control(0x30), W0(0x3, 0x03), R0(0x4, 0x07, kPollLimit)};
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_TRUE(driver.port->events().empty()) << "no ResetDetected, no completion, no NextRequest";
}

TEST(RoutineResetBus, ReportsResetThenCompletesEverythingThenAsksForTheNextRequest) {
  ScriptedDriver driver;
  ScriptResetSeen(driver, 0x05);

  driver.call([&] { return drv::RoutineResetBus(&driver.ext(), 0); });

  const std::vector<PortEvent> &events = driver.port->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, PortEvent::Kind::Notification);
  EXPECT_EQ(events[0].notification, ResetDetected);
  EXPECT_EQ(events[1].kind, PortEvent::Kind::CompleteRequest);
  EXPECT_EQ(events[1].pathId, 0);
  EXPECT_EQ(events[1].targetId, 0xFF);
  EXPECT_EQ(events[1].lun, 0xFF);
  EXPECT_EQ(events[1].srbStatus, 0x0E); // SRB_STATUS_BUS_RESET
  EXPECT_EQ(events[2].kind, PortEvent::Kind::Notification);
  EXPECT_EQ(events[2].notification, NextRequest);
}

TEST(RoutineResetBus, AWrongIdentityReportsTheResetButCompletesNothing) {
  ScriptedDriver driver;
  ScriptResetSeen(driver, 0x03);

  BOOLEAN result = driver.call([&] { return drv::RoutineResetBus(&driver.ext(), 0); });

  EXPECT_EQ(result, FALSE);
  ASSERT_EQ(driver.port->events().size(), 1u);
  EXPECT_EQ(driver.port->events()[0].notification, ResetDetected);
}

TEST(RoutineResetBus, ForgetsEveryAgreementAndKeepsOptionsAndTheRequestOnTheBus) {
  ScriptedDriver driver;
  drv::HW_DEVICE_EXTENSION &ext = driver.ext();
  drv::HW_LU_EXTENSION lu{};
  for (int t = 0; t < 8; t++) {
    ext.SyncPeriod[t] = 0x84;
    ext.SyncOffset[t] = 15;
    for (int l = 0; l < 8; l++) {
      ext.SdtrSent[t][l] = 1;
      ext.SdtrDone[t][l] = 1;
    }
  }
  ext.AsyncOnly[3] = 1;
  ext.AsyncOnly[6] = 2;
  ext.ActiveLu = &lu;
  ext.MessageOnly = 1;
#if defined(KAV_FLAVOUR_95)
  ext.Tp560 = 1;
  ext.Cirrus = 1;
  ext.Socket = 2;
  ext.PcicBase = 0x3E2;
#endif
  ScriptResetSeen(driver, 0x02);

  driver.call([&] { return drv::RoutineResetBus(&ext, 0); });

  for (int t = 0; t < 8; t++) {
    EXPECT_EQ(ext.SyncPeriod[t], 0) << "target " << t;
    EXPECT_EQ(ext.SyncOffset[t], 0) << "target " << t;
    for (int l = 0; l < 8; l++) {
      EXPECT_EQ(ext.SdtrSent[t][l], 0) << "target " << t << " LUN " << l;
      EXPECT_EQ(ext.SdtrDone[t][l], 0) << "target " << t << " LUN " << l;
    }
  }
  EXPECT_EQ(ext.AsyncOnly[3], 1);
  EXPECT_EQ(ext.AsyncOnly[6], 2);
  EXPECT_EQ(ext.AsyncOnly[0], 0);
  EXPECT_EQ(ext.ActiveLu, &lu);
  EXPECT_EQ(ext.MessageOnly, 1);
  EXPECT_EQ(ext.DefaultSyncPeriod, 25);
  EXPECT_EQ(ext.DefaultSyncOffset, 15);
#if defined(KAV_FLAVOUR_95)
  EXPECT_EQ(ext.Tp560, 1);
  EXPECT_EQ(ext.Cirrus, 1);
  EXPECT_EQ(ext.Socket, 2);
  EXPECT_EQ(ext.PcicBase, 0x3E2u);
#endif
}

TEST(RoutineInitialize, SettlesFiveSecondsAfterTheResetAndLeavesTheRecordAlone) {
  ScriptedDriver driver;
  drv::HW_DEVICE_EXTENSION &ext = driver.ext();
  ext.SyncPeriod[2] = 0x84; // only a bus reset request forgets agreements
  ScriptResetSeen(driver, 0x02);
  uint64_t before = driver.machine.clock.now();
  uint64_t accessesBefore = driver.machine.io.counts().total();

  BOOLEAN result = driver.call([&] { return drv::RoutineInitialize(&ext); });

  EXPECT_EQ(result, TRUE);
  EXPECT_EQ(driver.chip.log(), Concat(ResetUntilIdentity(0x02), InitWrites()))
      << Describe(driver.chip.log());
  uint64_t accesses = driver.machine.io.counts().total() - accessesBefore;
  uint64_t stalled = driver.machine.clock.now() - before - accesses * 255;
  EXPECT_EQ(stalled, 5000000000ull) << "20 x 25,000 stalls of 10 us";
  EXPECT_EQ(ext.SyncPeriod[2], 0x84);
  ASSERT_EQ(driver.port->events().size(), 1u);
  EXPECT_EQ(driver.port->events()[0].notification, ResetDetected);
}

TEST(RoutineInitialize, FailsOnAWrongIdentityWithoutTouchingAnyOtherPort) {
  ScriptedDriver driver;
  ScriptResetSeen(driver, 0x07);
  driver.machine.io.setRecording(true);
  uint64_t before = driver.machine.clock.now();

  BOOLEAN result = driver.call([&] { return drv::RoutineInitialize(&driver.ext()); });

  EXPECT_EQ(result, FALSE);
  for (const sim::IoAccess &access : driver.machine.io.accesses()) {
    EXPECT_EQ(driver.machine.io.deviceName(access.port), "script")
        << "port 0x" << std::hex << access.port;
  }
  EXPECT_EQ(driver.machine.clock.now() - before, 8u * 255u) << "no settle delay";
}

} // namespace
