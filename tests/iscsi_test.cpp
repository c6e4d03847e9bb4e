// A SCSI target nobody here wrote, behind the simulated card: tgt's iSCSI
// LUN attached through the iSCSI unit at target 0, driven by the flavour
// under test through our port driver and the class helpers.
#include "class_driver.h"
#include "driver_under_test.h"
#include "iscsi_unit.h"
#include "pattern.h"
#include "system.h"
#include "tgt_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

constexpr uint8_t TARGET = 0;
constexpr uint8_t LUN = 0;
constexpr uint32_t BLOCK = 512;
constexpr uint64_t IMAGE_BYTES = 8 * 1024 * 1024;
constexpr uint32_t LAST_BLOCK = IMAGE_BYTES / BLOCK - 1;

using testdata::Pattern;

bool AllZero(const std::vector<uint8_t> &bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; });
}

class IscsiLun : public ::testing::Test {
protected:
  void SetUp() override {
    std::string reason = TgtTarget::skipReason();
    if (!reason.empty()) {
      GTEST_SKIP() << reason;
    }
    std::string error;
    ASSERT_TRUE(tgt.start(error)) << error;
    sim::IscsiConnection connection = sim::ConnectIscsiUnit(tgt.url());
    ASSERT_NE(connection.unit, nullptr) << connection.error;
    unit = connection.unit.get();
    system = std::make_unique<sim::System>(
        sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt));
    system->addUnit(TARGET, LUN, std::move(connection.unit));
    ASSERT_EQ(system->load(DriverEntryUnderTest()), sim::STATUS_SUCCESS);
    classDriver = std::make_unique<sim::ClassDriver>(system->portDriver());
    // The power-on unit attention of the simulated target, collected.
    classDriver->testUnitReady(TARGET, LUN);
  }

  // Declared first, so destroyed last: the unit logs out of a live daemon.
  TgtTarget tgt{IMAGE_BYTES};
  std::unique_ptr<sim::System> system;
  sim::IscsiUnit *unit = nullptr;
  std::unique_ptr<sim::ClassDriver> classDriver;
};

TEST_F(IscsiLun, BusScanShowsTheTgtLunsOwnInquiryDataAndCapacity) {
  std::vector<sim::ScanEntry> scan = classDriver->scanBus();
  ASSERT_EQ(scan.size(), 1u);
  const sim::ScanEntry &entry = scan[0];
  EXPECT_EQ(entry.target, 0);
  EXPECT_EQ(entry.lun, 0);
  EXPECT_EQ(entry.inquiry.vendor, "IET");
  EXPECT_EQ(entry.inquiry.product, "VIRTUAL-DISK");
  EXPECT_EQ(entry.inquiry.deviceType(), 0x00) << "direct access";
  EXPECT_TRUE(entry.ready);
  ASSERT_TRUE(entry.capacity.has_value());
  EXPECT_EQ(entry.capacity->lastBlock, 16383u) << "8 MiB of 512-byte blocks";
  EXPECT_EQ(entry.capacity->blockSize, 512u);
  EXPECT_EQ(unit->blockSize(), 512u);
}

TEST_F(IscsiLun, TwoMebibytesWrittenReadBackByteExactAndFoundInTheImageFile) {
  constexpr uint32_t FIRST = 100;
  constexpr uint32_t CHUNK_BLOCKS = 256;
  const std::vector<uint8_t> pattern = Pattern(2 * 1024 * 1024, 11);
  const uint32_t chunkBytes = CHUNK_BLOCKS * BLOCK;
  for (uint32_t at = 0; at < pattern.size(); at += chunkBytes) {
    std::vector<uint8_t> chunk(pattern.begin() + at, pattern.begin() + at + chunkBytes);
    sim::CommandResult written =
        classDriver->writeBlocks(TARGET, LUN, FIRST + at / BLOCK, chunk, BLOCK);
    ASSERT_TRUE(written.ok()) << "write at byte " << at;
    EXPECT_EQ(written.transferred, chunkBytes);
  }
  std::vector<uint8_t> readBack;
  for (uint32_t at = 0; at < pattern.size(); at += chunkBytes) {
    sim::CommandResult read =
        classDriver->readBlocks(TARGET, LUN, FIRST + at / BLOCK, CHUNK_BLOCKS, BLOCK);
    ASSERT_TRUE(read.ok()) << "read at byte " << at;
    ASSERT_EQ(read.transferred, chunkBytes);
    readBack.insert(readBack.end(), read.data.begin(), read.data.end());
  }
  EXPECT_TRUE(readBack == pattern) << "read back differs";

  // The LUN's own medium: the image file holds what the driver wrote, and
  // nothing around it changed.
  EXPECT_TRUE(tgt.readImage(FIRST * BLOCK, pattern.size()) == pattern) << "image differs";
  EXPECT_TRUE(AllZero(tgt.readImage(0, FIRST * BLOCK)));
  uint64_t end = FIRST * BLOCK + pattern.size();
  EXPECT_TRUE(AllZero(tgt.readImage(end, IMAGE_BYTES - end)));
  EXPECT_EQ(classDriver->counters().errors, 0u);
}

TEST_F(IscsiLun, ReadPastTheEndGivesCheckConditionWithTheLunsSense) {
  sim::CommandResult last = classDriver->readBlocks(TARGET, LUN, LAST_BLOCK, 1, BLOCK);
  EXPECT_TRUE(last.ok()) << "the last block is still on the LUN";

  sim::CommandResult past = classDriver->readBlocks(TARGET, LUN, LAST_BLOCK, 2, BLOCK);
  EXPECT_EQ(past.srbStatus, SRB_STATUS_ERROR);
  EXPECT_EQ(past.scsiStatus, 0x02) << "CHECK CONDITION";
  EXPECT_EQ(past.retries, 0u) << "ILLEGAL REQUEST is not retried";
  ASSERT_TRUE(past.sense.has_value()) << "REQUEST SENSE answered";
  EXPECT_EQ(past.sense->key, 0x05) << "ILLEGAL REQUEST";
  EXPECT_EQ(past.sense->asc, 0x21) << "LOGICAL BLOCK ADDRESS OUT OF RANGE";
  EXPECT_EQ(past.sense->ascq, 0x00);
  // tgt's own fixed-format bytes, as the LUN sent them.
  ASSERT_EQ(past.sense->bytes.size(), 18u);
  EXPECT_EQ(past.sense->bytes[0], 0x70);
  EXPECT_EQ(past.sense->bytes[7], 0x0A) << "additional sense length";
  EXPECT_TRUE(unit->online());

  sim::CommandResult again = classDriver->readBlocks(TARGET, LUN, 0, 1, BLOCK);
  EXPECT_TRUE(again.ok()) << "the LUN goes on after the error";
}

TEST_F(IscsiLun, AnswerShorterThanAskedLeavesTheRealResidual) {
  // INQUIRY with room for 255 bytes: tgt sends its standard data only.
  sim::CommandResult inquiry = classDriver->command(TARGET, LUN, {0x12, 0, 0, 0, 255, 0}, 255);
  ASSERT_TRUE(inquiry.ok());
  ASSERT_GE(inquiry.transferred, 5u);
  EXPECT_EQ(inquiry.transferred, 5u + inquiry.data[4]) << "the LUN's additional length";
  EXPECT_LT(inquiry.transferred, 255u);
  EXPECT_EQ(inquiry.data[2], 0x05) << "tgt's version, not our disk's";
}

TEST_F(IscsiLun, CommandsTheUnitCannotForwardAreAnsweredWithoutReachingTheLun) {
  struct Case {
    const char *name;
    std::vector<uint8_t> cdb;
    uint8_t asc;
  };
  const Case cases[] = {
      // A vendor operation code: its direction is unknown.
      {"vendor opcode", {0xC0, 0, 0, 0, 0, 0}, 0x20},
      // READ(12) of 0x8000 blocks: 16 MiB, one byte more than a data phase holds.
      {"16 MiB read", {0xA8, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0, 0}, 0x24},
  };
  for (const Case &c : cases) {
    uint64_t before = unit->forwardedCommands();
    sim::CommandResult result = classDriver->command(TARGET, LUN, c.cdb, 512);
    EXPECT_EQ(result.scsiStatus, 0x02) << c.name;
    ASSERT_TRUE(result.sense.has_value()) << c.name;
    EXPECT_EQ(result.sense->key, 0x05) << c.name;
    EXPECT_EQ(result.sense->asc, c.asc) << c.name;
    EXPECT_EQ(unit->forwardedCommands(), before) << c.name;
  }
}

TEST_F(IscsiLun, DataOutCutShortByTheTargetReachesTheLunOnlyAsFarAsTheBusCarriedIt) {
  // A read first leaves other bytes in the target's buffer: bytes the bus
  // did not carry must not reach the LUN.
  std::vector<uint8_t> earlier = Pattern(3 * BLOCK, 4);
  ASSERT_TRUE(classDriver->writeBlocks(TARGET, LUN, 20, earlier, BLOCK).ok());
  ASSERT_TRUE(classDriver->readBlocks(TARGET, LUN, 20, 3, BLOCK).ok());

  constexpr uint32_t CARRIED = BLOCK + 100;
  system->target(TARGET).options().shortWriteBytes = CARRIED;
  std::vector<uint8_t> pattern = Pattern(3 * BLOCK, 5);
  sim::CommandResult written = classDriver->writeBlocks(TARGET, LUN, 10, pattern, BLOCK);
  EXPECT_EQ(written.transferred, CARRIED);
  std::vector<uint8_t> stored = tgt.readImage(10 * BLOCK, 3 * BLOCK);
  ASSERT_EQ(stored.size(), 3u * BLOCK);
  EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + CARRIED, pattern.begin()));
  EXPECT_TRUE(AllZero(std::vector<uint8_t>(stored.begin() + CARRIED, stored.end())))
      << "tgt stores what it received, and only that was sent";
}

TEST_F(IscsiLun, LostConnectionTakesTheUnitOfflineWithACommunicationFailure) {
  tgt.stopDaemon();
  for (int attempt = 0; attempt < 2; attempt++) {
    sim::CommandResult result = classDriver->readBlocks(TARGET, LUN, 0, 1, BLOCK);
    EXPECT_EQ(result.scsiStatus, 0x02) << "attempt " << attempt;
    ASSERT_TRUE(result.sense.has_value()) << "attempt " << attempt;
    EXPECT_EQ(result.sense->key, 0x04) << "HARDWARE ERROR";
    EXPECT_EQ(result.sense->asc, 0x08) << "LOGICAL UNIT COMMUNICATION FAILURE";
    EXPECT_EQ(result.sense->ascq, 0x00);
  }
  EXPECT_FALSE(unit->online());
  EXPECT_FALSE(unit->lastError().empty());
}

} // namespace
