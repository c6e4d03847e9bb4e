// Synchronous negotiation on the chip model, through our port driver: the
// offer at first contact and the settings the data phases then run with,
// every kind of answer a target may give, renegotiation after a bus reset,
// and targets held to asynchronous transfer.
#include "test_machine.h"

namespace {

using namespace machine;
using sim::Phase;

// IDENTIFY of LUN 0, then SDTR: period factor 25 (100 ns), offset 15.
const std::vector<uint8_t> kIdentifyAndOffer = {0x80, 0x01, 0x03, 0x01, 0x19, 0x0F};
const std::vector<uint8_t> kIdentifyOnly = {0x80};
constexpr uint64_t kAsynchronousByteNs = 400;

sim::SystemConfig DisksAt(std::initializer_list<uint8_t> targets, sim::TargetOptions options = {},
                          std::optional<std::string> driverOptions = std::nullopt) {
  sim::SystemConfig config = ConfigUnderTest();
  for (uint8_t target : targets) {
    config.targets.push_back({target, options});
    config.disks.push_back({target, 0, {}});
  }
  config.options = std::move(driverOptions);
  return config;
}

// The shortest time between two bytes of one data-in phase on the bus: the
// period the chip ran the phase at (the PIO FIFO only ever slows it down).
uint64_t ShortestByteGap(const sim::BusRecorder &recorder, Phase phase) {
  uint64_t shortest = sim::NEVER;
  const sim::BusEvent *previous = nullptr;
  for (const sim::BusEvent &event : recorder.events()) {
    bool byte = event.kind == sim::BusEvent::Kind::Byte && event.phase == phase;
    if (byte && previous != nullptr) {
      shortest = std::min(shortest, event.time - previous->time);
    }
    previous = byte ? &event : nullptr;
  }
  return shortest;
}

// Reads blocks 0 to 7 with the recorder on; checks them against the disk and
// returns the shortest byte gap of the data phase.
uint64_t ReadEightBlocks(TestMachine &m, uint8_t target) {
  m.bus().recorder.clear();
  m.bus().recorder.setEnabled(true);
  sim::Request &request = m.execute(Read10(target, 0, 8));
  m.bus().recorder.setEnabled(false);
  EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(request.srb.DataTransferLength, 4096u);
  std::vector<uint8_t> stored(4096);
  m.system().disk(target, 0)->readBlocks(0, 8, stored.data());
  EXPECT_EQ(DataOf(request), stored);
  uint64_t gap = ShortestByteGap(m.bus().recorder, Phase::DataIn);
  m.port().forget(request);
  return gap;
}

void FillDisk(TestMachine &m, uint8_t target) {
  sim::DiskUnit &disk = *m.system().disk(target, 0);
  std::vector<uint8_t> image = Pattern(disk.blocks() * 512u, target);
  disk.writeBlocks(0, disk.blocks(), image.data());
}

// ------------------------------------------------------------ first contact

TEST(NegotiationOnChip, FirstContactOffersSdtrAndTheDataPhaseRunsAtTheAgreedPeriod) {
  TestMachine m(DisksAt({2}, Settled()));
  FillDisk(m, 2);

  uint64_t gap = ReadEightBlocks(m, 2);

  EXPECT_EQ(m.target(2).messageOut(), kIdentifyAndOffer);
  EXPECT_EQ(m.target(2).agreement().periodFactor, 25);
  EXPECT_EQ(m.target(2).agreement().offset, 15);
  EXPECT_EQ(gap, 100u) << "REG_SYNC_PERIOD 0x84: 4 clocks of 25 ns";
  EXPECT_EQ(m.bus().statistics.transferModeMismatches, 0u);

  // Later selections carry the command and keep the agreement.
  EXPECT_EQ(ReadEightBlocks(m, 2), 100u);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
  EXPECT_EQ(m.bus().statistics.transferModeMismatches, 0u);
  EXPECT_EQ(m.chip().state().syncOffset, 0) << "the chip is asynchronous between requests";
}

TEST(NegotiationOnChip, EachLunOfATargetIsOfferedOnce) {
  sim::SystemConfig config = DisksAt({2}, Settled());
  config.disks.push_back({2, 1, {}});
  TestMachine m(config);

  m.execute(TestUnitReady(2, 0));
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyAndOffer);
  m.execute(TestUnitReady(2, 1));
  EXPECT_EQ(m.target(2).messageOut(), (std::vector<uint8_t>{0x81, 0x01, 0x03, 0x01, 0x19, 0x0F}));
  m.execute(TestUnitReady(2, 1));
  EXPECT_EQ(m.target(2).messageOut(), std::vector<uint8_t>{0x81});
}

TEST(NegotiationOnChip, AnOfferIsNotMadeWhenTheRequestDisablesSynchronousTransfer) {
  TestMachine m(DisksAt({2}, Settled()));
  sim::RequestOrder order = Read10(2, 0, 1);
  order.srbFlags |= SRB_FLAGS_DISABLE_SYNCH_TRANSFER;

  EXPECT_EQ(m.execute(order).status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
  EXPECT_FALSE(m.target(2).agreement().synchronous());

  // The next request without the flag makes the offer.
  EXPECT_EQ(ReadEightBlocks(m, 2), 100u);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyAndOffer);
}

// --------------------------------------------------------------- answers

TEST(NegotiationOnChip, EveryAnswerToTheOfferLeavesChipAndTargetAgreed) {
  struct Case {
    const char *name;
    sim::SdtrAnswer answer;
    uint8_t period, offset; // of a counter-proposal
    bool synchronous;       // as the target then transfers
    uint64_t byteNs;        // on the bus in the data phase
  };
  const Case cases[] = {
      {"accepted as offered", sim::SdtrAnswer::Accept, 0, 0, true, 100},
      {"rejected", sim::SdtrAnswer::Reject, 0, 0, false, kAsynchronousByteNs},
      {"not answered", sim::SdtrAnswer::Ignore, 0, 0, false, kAsynchronousByteNs},
      // factor 50: 200 ns, 8 clocks
      {"counter-proposed 200 ns, offset 8", sim::SdtrAnswer::CounterPropose, 50, 8, true, 200},
      {"counter-proposed offset 16", sim::SdtrAnswer::CounterPropose, 25, 16, true, 100},
      {"counter-proposed offset 17", sim::SdtrAnswer::CounterPropose, 25, 17, true, 100},
      {"counter-proposed offset 255", sim::SdtrAnswer::CounterPropose, 25, 255, true, 100},
      {"counter-proposed offset 0", sim::SdtrAnswer::CounterPropose, 25, 0, false,
       kAsynchronousByteNs},
      // factor 62: 248 ns, rounded up to 10 clocks
      {"counter-proposed 248 ns", sim::SdtrAnswer::CounterPropose, 62, 15, true, 250},
      // factor 100: 400 ns, 16 clocks
      {"counter-proposed factor 100", sim::SdtrAnswer::CounterPropose, 100, 15, true, 400},
      // factor 255: 1020 ns, 41 clocks
      {"counter-proposed factor 255", sim::SdtrAnswer::CounterPropose, 255, 15, true, 1025},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::TargetOptions options = Settled();
    options.sdtrAnswer = c.answer;
    options.counterPeriod = c.period;
    options.counterOffset = c.offset;
    TestMachine m(DisksAt({2}, options));
    FillDisk(m, 2);

    uint64_t gap = ReadEightBlocks(m, 2);

    EXPECT_EQ(m.target(2).messageOut(), kIdentifyAndOffer);
    EXPECT_EQ(m.target(2).agreement().synchronous(), c.synchronous);
    EXPECT_EQ(gap, c.byteNs);
    EXPECT_TRUE(m.errorLog().empty());
    // Settled: the next request makes no offer and runs the same way.
    EXPECT_EQ(ReadEightBlocks(m, 2), c.byteNs);
    EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
    EXPECT_EQ(m.bus().statistics.transferModeMismatches, 0u);
  }
}

// A target proposing on its own where the driver made no offer: the driver
// takes the proposal as the agreement.
TEST(NegotiationOnChip, ATargetsOwnProposalIsTakenWhenNoOfferWasMade) {
  sim::TargetOptions options = Settled();
  options.proposesSdtr = true;
  options.proposedPeriod = 50;
  options.proposedOffset = 8;
  TestMachine m(DisksAt({2}, options));
  FillDisk(m, 2);
  sim::RequestOrder order = Read10(2, 0, 1);
  order.srbFlags |= SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
  m.bus().recorder.setEnabled(true);

  sim::Request &request = m.execute(order);

  EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
  EXPECT_TRUE(m.target(2).agreement().synchronous());
  EXPECT_EQ(ShortestByteGap(m.bus().recorder, Phase::DataIn), 200u);
  EXPECT_EQ(m.bus().statistics.transferModeMismatches, 0u);
}

// ------------------------------------------------------ resets and /AS

TEST(NegotiationOnChip, AfterABusResetEveryTargetIsOfferedAgainExceptAsyncOnlyTargets) {
  struct Case {
    const char *name;
    bool byRequest; // a bus-reset request, or the port driver's time-out
  };
  const Case cases[] = {{"a bus-reset request", true}, {"a time-out", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(DisksAt({1, 3, 5}, Settled(), "/AS3"));
    for (uint8_t target : {1, 3, 5}) {
      ASSERT_EQ(m.execute(TestUnitReady(target)).status, SRB_STATUS_SUCCESS);
    }
    EXPECT_EQ(m.target(1).messageOut(), kIdentifyAndOffer);
    EXPECT_EQ(m.target(3).messageOut(), kIdentifyOnly);
    EXPECT_EQ(m.target(5).messageOut(), kIdentifyAndOffer);

    if (c.byRequest) {
      ASSERT_EQ(m.execute(Function(SRB_FUNCTION_RESET_BUS, 1)).status, SRB_STATUS_SUCCESS);
    } else {
      m.port().expireOldestRequest();
    }
    ASSERT_EQ(m.bus().statistics.resets, 2u);

    for (uint8_t target : {5, 3, 1}) {
      ASSERT_EQ(m.execute(TestUnitReady(target)).status, SRB_STATUS_SUCCESS);
    }
    EXPECT_EQ(m.target(1).messageOut(), kIdentifyAndOffer);
    EXPECT_EQ(m.target(3).messageOut(), kIdentifyOnly);
    EXPECT_EQ(m.target(5).messageOut(), kIdentifyAndOffer);
    EXPECT_TRUE(m.target(1).agreement().synchronous());
    EXPECT_FALSE(m.target(3).agreement().synchronous());
    // Once each.
    m.execute(TestUnitReady(1));
    EXPECT_EQ(m.target(1).messageOut(), kIdentifyOnly);
  }
}

TEST(NegotiationOnChip, AnAsyncOnlyTargetThatProposesIsAnsweredWithOffsetZeroAtItsNextSelection) {
  sim::TargetOptions options = Settled();
  options.proposesSdtr = true; // 25 and 15
  TestMachine m(DisksAt({2}, options, "/AS2"));
  FillDisk(m, 2);

  ASSERT_EQ(m.execute(TestUnitReady(2)).status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
  EXPECT_TRUE(m.target(2).agreement().synchronous()) << "the target took its proposal as agreed";

  ASSERT_EQ(m.execute(TestUnitReady(2)).status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(m.target(2).messageOut(), (std::vector<uint8_t>{0x80, 0x01, 0x03, 0x01, 0x19, 0x00}));
  EXPECT_FALSE(m.target(2).agreement().synchronous());

  // Held to asynchronous transfer from then on, without further offers.
  EXPECT_EQ(ReadEightBlocks(m, 2), kAsynchronousByteNs);
  EXPECT_EQ(m.target(2).messageOut(), kIdentifyOnly);
  EXPECT_EQ(m.bus().statistics.transferModeMismatches, 0u);
}

} // namespace
