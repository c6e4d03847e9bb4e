// The driver's initialisation on the chip model, through our port driver:
// the reset sequence, the identity check and the chip programming.
#include "flavour_under_test.h"
#include "system.h"

#include <gtest/gtest.h>

namespace {

sim::SystemConfig Machine(uint8_t chipId = 0x0A) {
  sim::SystemConfig config =
      sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
  config.chip.chipId = chipId;
  config.disks.push_back({0, 0, {}});
  return config;
}

size_t Notifications(sim::PortDriver &port, SCSI_NOTIFICATION_TYPE type) {
  size_t count = 0;
  for (const sim::PortEvent &event : port.eventsOf(sim::PortEvent::Kind::Notification)) {
    count += event.notification == type;
  }
  return count;
}

TEST(InitializeOnChip, SucceedsAndLeavesTheChipAsInitFas408ProgramsIt) {
  sim::System system(Machine());
  EXPECT_EQ(system.load(drv::DriverEntry), sim::STATUS_SUCCESS);
  ASSERT_TRUE(system.portDriver().initializeCalled());
  EXPECT_EQ(system.portDriver().initializeResult(), TRUE);

  sim::Fas408State chip = system.chip().state();
  EXPECT_EQ(chip.bank, 1);
  EXPECT_EQ(chip.control, 0x80);
  EXPECT_EQ(chip.clockFactor, 0x00);
  EXPECT_EQ(chip.config1, 0x97);
  EXPECT_EQ(chip.config2, 0x48);
  EXPECT_EQ(chip.config3, 0x10);
  EXPECT_EQ(chip.syncOffset, 0x00);
  EXPECT_EQ(chip.syncPeriod, 0x08);
  EXPECT_EQ(chip.selectionTimeout, 0x99);
  EXPECT_EQ(chip.pioControl, 0x01);
  EXPECT_EQ(chip.interruptStatus, 0x00) << "the reset interrupt was consumed";
  EXPECT_FALSE(chip.connected);
  EXPECT_EQ(system.chip().ownId(), 7);
  EXPECT_EQ(system.chip().counters().illegalCommands, 0u);
  EXPECT_EQ(system.chip().counters().strayAccesses, 0u);

  EXPECT_EQ(system.bus().statistics.resets, 1u);
  EXPECT_TRUE(system.target(0).unitAttentionPending(0));
  EXPECT_EQ(Notifications(system.portDriver(), ResetDetected), 1u);
  // Five seconds of settling, in simulated time.
  EXPECT_GE(system.machine().clock.now(), 5'000'000'000u);
}

TEST(InitializeOnChip, ChipIdentityDecidesByItsLowThreeBits) {
  struct Case {
    uint8_t chipId;
    bool ready;
  };
  const Case cases[] = {{0x0A, true},  {0x05, true},  {0x02, true}, {0xFD, true},
                        {0x03, false}, {0x07, false}, {0x00, false}};
  for (const Case &c : cases) {
    sim::System system(Machine(c.chipId));
    system.load(drv::DriverEntry);
    EXPECT_EQ(system.portDriver().initializeResult(), c.ready ? TRUE : FALSE)
        << "chip ID 0x" << std::hex << int(c.chipId);
    // The bus reset and the chip reset happen either way; only a known chip
    // is programmed.
    EXPECT_EQ(system.chip().state().config1, c.ready ? 0x97 : 0x00);
    EXPECT_EQ(Notifications(system.portDriver(), ResetDetected), 1u);
  }
}

TEST(InitializeOnChip, ResetNeverSeenFailsAfterExactlyPollLimitStatusReads) {
  sim::System system(Machine());
  // A chip told not to report SCSI bus resets before the driver starts.
  system.machine().io.write(system.chipPort() + 0x8, 1, 0x40);
  system.machine().io.resetCounts();
  system.load(drv::DriverEntry);
  EXPECT_EQ(system.portDriver().initializeResult(), FALSE);
  const sim::AccessCounts &counts = system.machine().io.counts();
  EXPECT_EQ(counts.reads[1], 0x1000000u) << "only REG_STATUS is read, POLL_LIMIT times";
  EXPECT_EQ(counts.writes[1], 2u) << "REG_CONTROL 0x30 and CMD_RESET_BUS";
  EXPECT_EQ(Notifications(system.portDriver(), ResetDetected), 0u);
  EXPECT_EQ(system.chip().state().config1, 0x40) << "no chip reset, no programming";
}

TEST(ResetBusOnChip, ResetsTheBusAgainAndReprogramsTheChip) {
  sim::System system(Machine());
  ASSERT_EQ(system.load(drv::DriverEntry), sim::STATUS_SUCCESS);
  // Disturb the chip as a request would leave it.
  system.machine().io.write(system.chipPort() + 0xD, 1, 0x00);
  system.machine().io.write(system.chipPort() + 0x6, 1, 0x84);
  system.machine().io.write(system.chipPort() + 0x7, 1, 15);
  system.portDriver().expireOldestRequest(); // no request: the port driver just resets
  EXPECT_EQ(system.bus().statistics.resets, 2u);
  sim::Fas408State chip = system.chip().state();
  EXPECT_EQ(chip.syncPeriod, 0x08);
  EXPECT_EQ(chip.syncOffset, 0x00);
  EXPECT_EQ(chip.bank, 1);
  EXPECT_EQ(Notifications(system.portDriver(), ResetDetected), 2u);
  EXPECT_EQ(Notifications(system.portDriver(), NextRequest), 1u);
}

} // namespace
