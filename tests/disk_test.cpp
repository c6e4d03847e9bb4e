// The disk unit's command set on its own (CDBs in, outcome and data out),
// and its medium in memory or in an image file.
#include "disk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

using sim::DiskUnit;
using sim::Outcome;

struct DiskCase {
  DiskUnit disk;
  std::vector<uint8_t> data;

  explicit DiskCase(sim::DiskOptions options = {}) : disk(std::move(options)) {}
  Outcome run(std::vector<uint8_t> cdb) {
    cdb.resize(16, 0);
    return disk.execute(cdb.data(), data);
  }
  Outcome write(std::vector<uint8_t> cdb, const std::vector<uint8_t> &bytes) {
    cdb.resize(16, 0);
    Outcome first = disk.execute(cdb.data(), data);
    if (first.kind != Outcome::Kind::DataOut) {
      return first;
    }
    return disk.finishDataOut(cdb.data(), bytes, static_cast<uint32_t>(bytes.size()));
  }
};

void ExpectCheck(const Outcome &outcome, sim::Sense sense) {
  EXPECT_EQ(outcome.status, 0x02);
  EXPECT_TRUE(outcome.sense == sense)
      << "key " << int(outcome.sense.key) << " asc 0x" << std::hex << int(outcome.sense.asc);
}

std::vector<uint8_t> Block(uint8_t fill) {
  return std::vector<uint8_t>(512, fill);
}

TEST(DiskUnit, InquiryDescribesADirectAccessScsi2Disk) {
  DiskCase unit;
  Outcome outcome = unit.run({0x12, 0, 0, 0, 36, 0}); // INQUIRY, 36 bytes
  ASSERT_EQ(outcome.kind, Outcome::Kind::DataIn);
  EXPECT_EQ(outcome.length, 36u);
  EXPECT_EQ(unit.data[0], 0x00);
  EXPECT_EQ(unit.data[2], 0x02);
  EXPECT_EQ(unit.data[4], 31);
  EXPECT_EQ(std::string(unit.data.begin() + 8, unit.data.begin() + 16), "KAVSIM  ");
  EXPECT_EQ(unit.run({0x12, 0, 0, 0, 5, 0}).length, 5u) << "allocation length";
  ExpectCheck(unit.run({0x12, 0x01, 0x80, 0, 36, 0}), sim::sense::INVALID_FIELD_IN_CDB);
}

TEST(DiskUnit, ReadCapacityGivesTheLastBlockAndTheBlockLength) {
  sim::DiskOptions options;
  options.blocks = 0x1234;
  DiskCase unit(options);
  Outcome outcome = unit.run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(outcome.length, 8u);
  EXPECT_EQ(unit.data, (std::vector<uint8_t>{0x00, 0x00, 0x12, 0x33, 0x00, 0x00, 0x02, 0x00}));
}

TEST(DiskUnit, ReadsAndWritesBlocksBySixAndTenByteCdbs) {
  DiskCase unit;
  EXPECT_EQ(unit.write({0x0A, 0x00, 0x00, 0x05, 0x01, 0}, Block(0x55)).status, 0x00);
  std::vector<uint8_t> two = Block(0x66);
  std::vector<uint8_t> second = Block(0x77);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(unit.write({0x2A, 0, 0, 0, 0, 0x06, 0, 0x00, 0x02, 0}, two).status, 0x00);

  Outcome read6 = unit.run({0x08, 0x00, 0x00, 0x05, 0x03, 0}); // blocks 5, 6, 7
  ASSERT_EQ(read6.length, 3 * 512u);
  EXPECT_EQ(unit.data[0], 0x55);
  EXPECT_EQ(unit.data[512], 0x66);
  EXPECT_EQ(unit.data[1024], 0x77);
  Outcome read10 = unit.run({0x28, 0, 0, 0, 0, 0x07, 0, 0x00, 0x01, 0});
  ASSERT_EQ(read10.length, 512u);
  EXPECT_EQ(unit.data[511], 0x77);
}

TEST(DiskUnit, LengthZeroMeans256BlocksForSixByteCdbsAndNothingForTen) {
  DiskCase unit;
  EXPECT_EQ(unit.run({0x08, 0, 0, 0, 0x00, 0}).length, 256u * 512u);
  Outcome none = unit.run({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(none.kind, Outcome::Kind::Status);
  EXPECT_EQ(none.status, 0x00);
}

TEST(DiskUnit, RangesPastTheEndAreRefused) {
  DiskCase unit; // 2048 blocks
  ExpectCheck(unit.run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0x00, 0x02, 0}),
              sim::sense::LBA_OUT_OF_RANGE);
  ExpectCheck(unit.run({0x28, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0}),
              sim::sense::LBA_OUT_OF_RANGE);
  EXPECT_EQ(unit.run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0x00, 0x01, 0}).status, 0x00);
}

TEST(DiskUnit, ReadOnlyUnitRefusesWritesAndShowsWriteProtect) {
  sim::DiskOptions options;
  options.readOnly = true;
  DiskCase unit(options);
  ExpectCheck(unit.run({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}), sim::sense::WRITE_PROTECTED);
  ExpectCheck(unit.run({0x04, 0, 0, 0, 0, 0}), sim::sense::WRITE_PROTECTED);
  unit.run({0x1A, 0, 0x3F, 0, 255, 0});
  EXPECT_EQ(unit.data[2], 0x80);
}

TEST(DiskUnit, VerifyWithByteCheckComparesTheMedium) {
  DiskCase unit;
  unit.write({0x2A, 0, 0, 0, 0, 9, 0, 0, 1, 0}, Block(0x42));
  EXPECT_EQ(unit.run({0x2F, 0, 0, 0, 0, 9, 0, 0, 1, 0}).status, 0x00) << "no byte check";
  EXPECT_EQ(unit.write({0x2F, 0x02, 0, 0, 0, 9, 0, 0, 1, 0}, Block(0x42)).status, 0x00);
  ExpectCheck(unit.write({0x2F, 0x02, 0, 0, 0, 9, 0, 0, 1, 0}, Block(0x43)),
              sim::sense::MISCOMPARE);
}

TEST(DiskUnit, LessThanABlockReceivedStoresAndComparesNothing) {
  DiskCase unit;
  unit.write({0x2A, 0, 0, 0, 0, 3, 0, 0, 2, 0}, std::vector<uint8_t>(1024, 0x42));
  for (uint8_t opcode : {0x2A, 0x2F}) {
    std::vector<uint8_t> cdb = {opcode, 0x02, 0, 0, 0, 3, 0, 0, 2, 0};
    cdb.resize(16, 0);
    ASSERT_EQ(unit.disk.execute(cdb.data(), unit.data).kind, Outcome::Kind::DataOut);
    Outcome outcome = unit.disk.finishDataOut(cdb.data(), Block(0x17), 300);
    EXPECT_EQ(outcome.status, 0x00) << "no whole block to store or compare";
  }
  std::vector<uint8_t> stored(1024);
  unit.disk.readBlocks(3, 2, stored.data());
  EXPECT_EQ(stored, std::vector<uint8_t>(1024, 0x42));
}

TEST(DiskUnit, ModeSenseGivesHeaderDescriptorAndCachingPage) {
  DiskCase unit;
  Outcome all = unit.run({0x1A, 0, 0x3F, 0, 255, 0});
  ASSERT_EQ(all.length, 4u + 8u + 12u);
  EXPECT_EQ(unit.data[0], 23) << "mode data length";
  EXPECT_EQ(unit.data[3], 8) << "one block descriptor";
  EXPECT_EQ(unit.data[10], 0x02) << "block length 512";
  EXPECT_EQ(unit.data[12], 0x08) << "caching page";
  EXPECT_EQ(unit.run({0x1A, 0x08, 0x00, 0, 255, 0}).length, 4u) << "DBD, no page";
  ExpectCheck(unit.run({0x1A, 0, 0x05, 0, 255, 0}), sim::sense::INVALID_FIELD_IN_CDB);
  ExpectCheck(unit.run({0x1A, 0, 0xFF, 0, 255, 0}), sim::sense::SAVING_PARAMETERS_NOT_SUPPORTED);
}

TEST(DiskUnit, StoppedUnitIsNotReadyUntilStarted) {
  DiskCase unit;
  EXPECT_EQ(unit.run({0x1B, 0, 0, 0, 0x00, 0}).status, 0x00);
  ExpectCheck(unit.run({0x00, 0, 0, 0, 0, 0}), sim::sense::NOT_READY_START_REQUIRED);
  ExpectCheck(unit.run({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), sim::sense::NOT_READY_START_REQUIRED);
  EXPECT_EQ(unit.run({0x1B, 0, 0, 0, 0x01, 0}).status, 0x00);
  EXPECT_EQ(unit.run({0x00, 0, 0, 0, 0, 0}).status, 0x00);
}

TEST(DiskUnit, FormatZeroesTheMediumAndTakesItsTime) {
  sim::DiskOptions options;
  options.formatNs = 30'000'000'000;
  DiskCase unit(options);
  unit.write({0x2A, 0, 0, 0, 0, 3, 0, 0, 1, 0}, Block(0x99));
  Outcome format = unit.run({0x04, 0, 0, 0, 0, 0});
  EXPECT_EQ(format.status, 0x00);
  EXPECT_EQ(format.busyNs, 30'000'000'000u);
  unit.run({0x28, 0, 0, 0, 0, 3, 0, 0, 1, 0});
  EXPECT_EQ(unit.data[0], 0x00);
  EXPECT_EQ(unit.run({0x04, 0x10, 0, 0, 0, 0}).kind, Outcome::Kind::DataOut)
      << "FMTDATA asks for the parameter list header";
}

TEST(DiskUnit, ImageFileIsReadAndWrittenInPlace) {
  char path[] = "/tmp/kav-disk-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> image(8 * 512 + 100, 0x11); // a partial block at the end
  image[512] = 0x22;
  ASSERT_EQ(::write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
  ::close(fd);
  {
    sim::DiskOptions options;
    options.imagePath = path;
    DiskCase unit(options);
    EXPECT_EQ(unit.disk.blocks(), 8u) << "whole blocks only";
    unit.run({0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0});
    EXPECT_EQ(unit.data[0], 0x22);
    EXPECT_EQ(unit.write({0x2A, 0, 0, 0, 0, 2, 0, 0, 1, 0}, Block(0x33)).status, 0x00);
  }
  std::FILE *file = std::fopen(path, "rb");
  ASSERT_NE(file, nullptr);
  std::fseek(file, 2 * 512, SEEK_SET);
  EXPECT_EQ(std::fgetc(file), 0x33);
  std::fclose(file);
  std::remove(path);
}

TEST(DiskUnit, MissingImageFileIsAMediumNotPresent) {
  sim::DiskOptions options;
  options.imagePath = "/nonexistent/kav-disk.img";
  DiskCase unit(options);
  EXPECT_FALSE(unit.disk.mediumPresent());
  ExpectCheck(unit.run({0x00, 0, 0, 0, 0, 0}), sim::sense::MEDIUM_NOT_PRESENT);
  ExpectCheck(unit.run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), sim::sense::MEDIUM_NOT_PRESENT);
}

} // namespace
