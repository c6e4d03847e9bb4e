// The whole machine with the flavour under test loaded by its DriverEntry:
// the chip model, the SCSI bus with disks, the socket controller of a PC
// Card host, our port driver and a class driver on top. Start-up, bus scan,
// synchronous negotiation, data moved byte-exact, a time-out that ends in a
// bus reset, and which start-ups reach the socket controller.
//
// This file runs on the linked flavour (tests_nt, tests_95) and on the
// shipped image through the PE loader (shipped_nt, shipped_95): it reaches
// the driver only through DriverEntryUnderTest() and the port driver.
#include "class_driver.h"
#include "driver_under_test.h"
#include "pattern.h"
#include "system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using sim::Phase;

constexpr uint8_t kFirstDisk = 0;
constexpr uint8_t kSecondDisk = 3;

sim::SystemConfig FlavourMachine() {
  return sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
}

// Disks at targets 0 (1 MiB) and 3 (2 MiB, its own inquiry strings).
sim::SystemConfig TwoDisks() {
  sim::SystemConfig config = FlavourMachine();
  config.disks.push_back({kFirstDisk, 0, {}});
  sim::DiskOptions second;
  second.blocks = 4096;
  second.vendor = "ACME";
  second.product = "SECOND DISK";
  second.revision = "2.5";
  config.disks.push_back({kSecondDisk, 0, second});
  return config;
}

// One disk at target 0 behind a target with the given knobs.
sim::SystemConfig OneDisk(sim::TargetOptions target = {}) {
  sim::SystemConfig config = FlavourMachine();
  config.targets.push_back({kFirstDisk, target});
  config.disks.push_back({kFirstDisk, 0, {}});
  return config;
}

struct Scenario {
  explicit Scenario(sim::SystemConfig config)
      : system(std::move(config)), classDriver(system.portDriver()) {}

  // Start-up: DriverEntry, find-adapter, initialise.
  ULONG startUp() { return system.load(DriverEntryUnderTest()); }

  sim::PortDriver &port() { return system.portDriver(); }

  size_t notifications(SCSI_NOTIFICATION_TYPE type) {
    size_t count = 0;
    for (const sim::PortEvent &event : port().eventsOf(sim::PortEvent::Kind::Notification)) {
      count += event.notification == type;
    }
    return count;
  }

  sim::System system;
  sim::ClassDriver classDriver;
};

using testdata::Pattern;

std::vector<uint8_t> Medium(sim::DiskUnit &disk, uint32_t lba, uint32_t blocks) {
  std::vector<uint8_t> bytes(static_cast<size_t>(blocks) * sim::DiskUnit::BLOCK_BYTES);
  disk.readBlocks(lba, blocks, bytes.data());
  return bytes;
}

// VERIFY(10) with byte check: the target compares the data sent with its
// medium.
std::vector<uint8_t> Verify10(uint32_t lba, uint16_t blocks) {
  return sim::Cdb10(0x2F, 0x02 /* BYTCHK */, lba, blocks);
}

TEST(MachineScenario, StartUpResetsTheBusProgramsTheChipAndTakesRequests) {
  Scenario s(TwoDisks());
  EXPECT_EQ(s.startUp(), sim::STATUS_SUCCESS);
  EXPECT_EQ(s.port().findAdapterResult(), SP_RETURN_FOUND);
  ASSERT_TRUE(s.port().initializeCalled());
  EXPECT_EQ(s.port().initializeResult(), TRUE);
  EXPECT_TRUE(s.port().driverReady());
  EXPECT_TRUE(IsDriverRoutine(reinterpret_cast<void *>(s.port().registration().HwStartIo),
                              reinterpret_cast<void *>(&drv::RoutineStartIo)));

  sim::Fas408State chip = s.system.chip().state();
  EXPECT_EQ(chip.config1, 0x97); // own ID 7, parity checked
  EXPECT_EQ(chip.selectionTimeout, 0x99);
  EXPECT_EQ(chip.syncOffset, 0x00) << "asynchronous until a target agrees";
  EXPECT_EQ(s.system.bus().statistics.resets, 1u);
  EXPECT_EQ(s.notifications(ResetDetected), 1u);
  EXPECT_GE(s.system.machine().clock.now(), 5'000'000'000u) << "the bus settles five seconds";
  EXPECT_EQ(s.system.chip().counters().illegalCommands, 0u);
  EXPECT_TRUE(s.port().violations().empty());
}

TEST(MachineScenario, BusScanFindsEachDiskWithItsInquiryAndCapacity) {
  Scenario s(TwoDisks());
  ASSERT_EQ(s.startUp(), sim::STATUS_SUCCESS);
  std::vector<sim::ScanEntry> found = s.classDriver.scanBus();
  ASSERT_EQ(found.size(), 2u);

  struct Expected {
    uint8_t target;
    const char *vendor, *product, *revision;
    uint32_t lastBlock;
  };
  const Expected expected[] = {{0, "KAVSIM", "SIMULATED DISK", "1.0", 2047},
                               {3, "ACME", "SECOND DISK", "2.5", 4095}};
  for (size_t i = 0; i < 2; i++) {
    SCOPED_TRACE("target " + std::to_string(expected[i].target));
    const sim::ScanEntry &entry = found[i];
    EXPECT_EQ(entry.target, expected[i].target);
    EXPECT_EQ(entry.lun, 0);
    EXPECT_EQ(entry.inquiry.deviceType(), 0x00) << "direct access";
    EXPECT_EQ(entry.inquiry.vendor, expected[i].vendor);
    EXPECT_EQ(entry.inquiry.product, expected[i].product);
    EXPECT_EQ(entry.inquiry.revision, expected[i].revision);
    EXPECT_TRUE(entry.ready);
    ASSERT_TRUE(entry.capacity.has_value());
    EXPECT_EQ(entry.capacity->lastBlock, expected[i].lastBlock);
    EXPECT_EQ(entry.capacity->blockSize, 512u);
  }
  // Each absent target ends its INQUIRY in a selection time-out, which is
  // not retried; no request needed the port driver's time-out.
  EXPECT_EQ(s.classDriver.counters().errors, 5u) << "targets 1, 2, 4, 5, 6";
  EXPECT_EQ(s.system.bus().statistics.selectionTimeouts, 5u);
  EXPECT_EQ(s.port().timeouts(), 0u);
  EXPECT_TRUE(s.port().violations().empty());
}

struct NegotiationCase {
  const char *name;
  sim::SdtrAnswer answer;
  uint8_t periodFactor, offset; // the agreement that results
  uint64_t byteNs;              // the time per data byte under it
};

// The time between one data-in byte and the next, for each byte after the
// first.
std::vector<uint64_t> DataInByteTimes(const sim::BusRecorder &recorder) {
  std::vector<uint64_t> times;
  uint64_t last = 0;
  bool first = true;
  for (const sim::BusEvent &event : recorder.events()) {
    if (event.kind == sim::BusEvent::Kind::Byte && event.phase == Phase::DataIn) {
      if (!first) {
        times.push_back(event.time - last);
      }
      last = event.time;
      first = false;
    }
  }
  return times;
}

TEST(MachineScenario, NegotiatesSynchronousTransferOnceAndKeepsTheAgreement) {
  const NegotiationCase cases[] = {
      {"accepted", sim::SdtrAnswer::Accept, 25, 15, 100},
      {"counter-proposed", sim::SdtrAnswer::CounterPropose, 50, 8, 200},
      {"rejected", sim::SdtrAnswer::Reject, 0, 0, 400}, // the chip's asynchronous byte
      {"ignored", sim::SdtrAnswer::Ignore, 0, 0, 400},
  };
  for (const NegotiationCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::TargetOptions target;
    target.sdtrAnswer = c.answer;
    Scenario s(OneDisk(target));
    ASSERT_EQ(s.startUp(), sim::STATUS_SUCCESS);
    s.system.bus().recorder.setEnabled(true);

    const std::vector<uint8_t> data = Pattern(8 * 512, 7);
    sim::CommandResult written = s.classDriver.writeBlocks(kFirstDisk, 0, 16, data, 512);
    ASSERT_TRUE(written.ok()) << int(written.srbStatus);
    // The first selection offers period factor 25 (100 ns) and offset 15
    // after the IDENTIFY.
    std::vector<uint8_t> messageOut = s.system.bus().recorder.bytes(Phase::MessageOut);
    ASSERT_GE(messageOut.size(), 6u);
    EXPECT_EQ(messageOut[0] & 0x80, 0x80) << "IDENTIFY";
    EXPECT_EQ(std::vector<uint8_t>(messageOut.begin() + 1, messageOut.begin() + 6),
              (std::vector<uint8_t>{0x01, 0x03, 0x01, 0x19, 0x0F}));
    EXPECT_EQ(s.system.target(kFirstDisk).agreement().periodFactor, c.periodFactor);
    EXPECT_EQ(s.system.target(kFirstDisk).agreement().offset, c.offset);

    // Later commands run under the agreement without offering again.
    s.system.bus().recorder.clear();
    sim::CommandResult read = s.classDriver.readBlocks(kFirstDisk, 0, 16, 8, 512);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.data, data);
    std::vector<uint8_t> laterOut = s.system.bus().recorder.bytes(Phase::MessageOut);
    EXPECT_EQ(laterOut.size(), 1u) << "IDENTIFY alone";
    // The bytes come at the agreed rate (slower only where the chip's FIFO
    // is full and waits for the driver).
    std::vector<uint64_t> byteTimes = DataInByteTimes(s.system.bus().recorder);
    ASSERT_EQ(byteTimes.size(), 4095u);
    EXPECT_EQ(*std::min_element(byteTimes.begin(), byteTimes.end()), c.byteNs);
    EXPECT_EQ(s.system.bus().statistics.transferModeMismatches, 0u);
    EXPECT_TRUE(s.port().violations().empty());
  }
}

struct TransferCase {
  uint32_t lba;
  uint16_t blocks;
};

TEST(MachineScenario, WritesReadsAndVerifiesByteExact) {
  Scenario s(TwoDisks());
  ASSERT_EQ(s.startUp(), sim::STATUS_SUCCESS);
  ASSERT_EQ(s.classDriver.scanBus().size(), 2u);
  const TransferCase cases[] = {{0, 1}, {100, 128}, {2047, 1}, {513, 37}};
  uint32_t seed = 1;
  for (uint8_t target : {kFirstDisk, kSecondDisk}) {
    sim::DiskUnit &disk = *s.system.disk(target, 0);
    for (const TransferCase &c : cases) {
      SCOPED_TRACE("target " + std::to_string(target) + ", LBA " + std::to_string(c.lba) + ", " +
                   std::to_string(c.blocks) + " blocks");
      const std::vector<uint8_t> data = Pattern(c.blocks * 512u, seed++);
      sim::CommandResult written = s.classDriver.writeBlocks(target, 0, c.lba, data, 512);
      ASSERT_TRUE(written.ok()) << int(written.srbStatus);
      EXPECT_EQ(written.transferred, data.size());
      EXPECT_EQ(Medium(disk, c.lba, c.blocks), data) << "the medium holds what was written";

      sim::CommandResult read = s.classDriver.readBlocks(target, 0, c.lba, c.blocks, 512);
      ASSERT_TRUE(read.ok()) << int(read.srbStatus);
      EXPECT_EQ(read.transferred, data.size());
      EXPECT_EQ(read.data, data);

      sim::CommandResult verified =
          s.classDriver.command(target, 0, Verify10(c.lba, c.blocks), 0, data);
      EXPECT_TRUE(verified.ok()) << int(verified.srbStatus);
      std::vector<uint8_t> spoiled = data;
      spoiled[spoiled.size() / 2] ^= 0x01;
      sim::CommandResult miscompare =
          s.classDriver.command(target, 0, Verify10(c.lba, c.blocks), 0, spoiled);
      EXPECT_EQ(miscompare.srbStatus, SRB_STATUS_ERROR);
      EXPECT_EQ(miscompare.scsiStatus, 0x02) << "CHECK CONDITION";
      ASSERT_TRUE(miscompare.sense.has_value());
      EXPECT_EQ(miscompare.sense->key, 0x0E) << "MISCOMPARE";
    }
  }
  // The blocks around a transfer are left alone.
  EXPECT_EQ(Medium(*s.system.disk(kFirstDisk, 0), 99, 1), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(Medium(*s.system.disk(kFirstDisk, 0), 228, 1), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(s.port().timeouts(), 0u);
  EXPECT_TRUE(s.port().violations().empty());
}

TEST(MachineScenario, AStalledTargetTimesOutAndTheBusResetReturnsTheRequest) {
  for (Phase stall : {Phase::Status, Phase::MessageIn}) {
    SCOPED_TRACE(std::string("stalled in ") + sim::phaseName(stall));
    Scenario s(OneDisk());
    ASSERT_EQ(s.startUp(), sim::STATUS_SUCCESS);
    // A first read takes the unit attention of the start-up's bus reset;
    // then the target stalls after the data of the next one, holding the bus
    // without ever asking for a byte.
    ASSERT_TRUE(s.classDriver.readBlocks(kFirstDisk, 0, 0, 1, 512).ok());
    s.system.target(kFirstDisk).options().stallIn = stall;
    s.port().clearEvents();

    sim::RequestOrder read;
    read.targetId = kFirstDisk;
    read.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}; // READ(10), LBA 0, 1 block
    read.srbFlags = SRB_FLAGS_DATA_IN;
    read.dataLength = 512;
    read.timeoutSeconds = 10;
    sim::Request &request = s.port().execute(read);

    // The driver gives up on the phase, logs it once and leaves the request
    // outstanding; the port driver's time-out resets the bus, and the reset
    // routine returns the request.
    std::vector<sim::PortEvent> logged = s.port().eventsOf(sim::PortEvent::Kind::LogError);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].errorCode, 0x0007u) << "SP_REQUEST_TIMEOUT";
    EXPECT_EQ(logged[0].targetId, kFirstDisk);
    EXPECT_EQ(logged[0].lun, 0);
    EXPECT_EQ(s.port().timeouts(), 1u);
    EXPECT_EQ(s.port().busResets(), 1u);
    EXPECT_EQ(s.system.bus().statistics.resets, 2u) << "start-up and time-out";
    ASSERT_TRUE(request.completed);
    EXPECT_FALSE(request.completedByPortDriver) << "the reset routine returned it";
    EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
    EXPECT_GE(request.completionTime - request.startTime, 10'000'000'000u);
    EXPECT_LT(logged[0].time, request.startTime + 10'000'000'000u) << "logged before the time-out";
    std::vector<sim::PortEvent> completions =
        s.port().eventsOf(sim::PortEvent::Kind::CompleteRequest);
    ASSERT_EQ(completions.size(), 1u) << "returned by ScsiPortCompleteRequest";
    EXPECT_EQ(completions[0].srbStatus, SRB_STATUS_BUS_RESET);

    // Once the target behaves again, the next request goes through (after
    // the unit attention of the reset, which the class driver retries).
    s.system.target(kFirstDisk).options().stallIn.reset();
    sim::CommandResult after = s.classDriver.readBlocks(kFirstDisk, 0, 0, 1, 512);
    EXPECT_TRUE(after.ok()) << int(after.srbStatus);
    EXPECT_TRUE(s.port().violations().empty());
  }
}

struct ControllerCase {
  const char *options; // nullptr: no option string
  bool kav95Reaches;   // whether KAV95 touches the controller; KAVNT never does
};

TEST(MachineScenario, OnlyKav95WithTuningOptionsReachesTheSocketController) {
  const ControllerCase cases[] = {
      {nullptr, false},
      {"/AS1 /PCICADR=03E0 /MEMBASE=C800", false},
      {"/CIRRUS", true},
      {"/TP560", true},
      {"/SLOT=1 /CIRRUS", true}, // tuned without a search
      {"/SLOT=0 /TP560 /CIRRUS", true},
      {"/SLOT=2 /TP560", false}, // TP560 tunes socket 1 only, and no search
  };
  for (const ControllerCase &c : cases) {
    SCOPED_TRACE(c.options ? c.options : "no option string");
    sim::SystemConfig config = OneDisk();
    config.socketController = sim::SocketControllerSetup{};
    config.options = c.options ? std::optional<std::string>(c.options) : std::nullopt;
    Scenario s(config);
    ASSERT_EQ(s.startUp(), sim::STATUS_SUCCESS);
    ASSERT_EQ(s.port().initializeResult(), TRUE);
    sim::CommandResult read = s.classDriver.readBlocks(kFirstDisk, 0, 0, 4, 512);
    EXPECT_TRUE(read.ok()) << int(read.srbStatus);

    sim::Pcic &pcic = *s.system.pcic();
    bool reached = !pcic.log().empty();
    EXPECT_EQ(reached, kIs95 && c.kav95Reaches);
    if (!kIs95) {
      // Not a byte of the controller moved, and no window was mapped.
      for (int socket : {1, 2}) {
        for (unsigned index = 0x02; index < 0x40; index++) {
          EXPECT_EQ(pcic.registerValue(socket, static_cast<uint8_t>(index)), 0x00)
              << "socket " << socket << ", register " << index;
        }
      }
      for (const sim::PortEvent &mapping : s.port().eventsOf(sim::PortEvent::Kind::Mapping)) {
        EXPECT_TRUE(mapping.ioSpace) << "memory mapped at " << std::hex << mapping.address;
      }
    }
    EXPECT_TRUE(s.port().violations().empty());
  }
}

} // namespace
