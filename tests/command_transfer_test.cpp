// The data phase a forwarding unit plans from a CDB alone.
#include "command_transfer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sim::TransferDirection;

TEST(CommandTransfer, DirectionAndBytesComeFromTheCdb) {
  struct Case {
    const char *name;
    std::vector<uint8_t> cdb;
    uint32_t blockSize;
    TransferDirection direction;
    uint64_t bytes;
  };
  const Case cases[] = {
      {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, 512, TransferDirection::None, 0},
      {"INQUIRY 36", {0x12, 0, 0, 0, 36, 0}, 512, TransferDirection::In, 36},
      {"INQUIRY 0x0102", {0x12, 0, 0, 0x01, 0x02, 0}, 512, TransferDirection::In, 258},
      {"MODE SENSE(6)", {0x1A, 0, 0x3F, 0, 0xFF, 0}, 512, TransferDirection::In, 255},
      {"MODE SELECT(6)", {0x15, 0x10, 0, 0, 12, 0}, 512, TransferDirection::Out, 12},
      {"READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4096, TransferDirection::In, 8},
      // READ(6): 0 blocks means 256.
      {"READ(6) 0", {0x08, 0, 0, 0, 0, 0}, 512, TransferDirection::In, 131072},
      {"WRITE(6) 3", {0x0A, 0, 0, 5, 3, 0}, 512, TransferDirection::Out, 1536},
      {"READ(10) 0x0102",
       {0x28, 0, 0, 0, 0, 9, 0, 0x01, 0x02, 0},
       512,
       TransferDirection::In,
       258 * 512},
      {"WRITE(10) 4096", {0x2A, 0, 0, 0, 0, 9, 0, 0, 2, 0}, 4096, TransferDirection::Out, 8192},
      // VERIFY carries data only with BYTCHK.
      {"VERIFY(10)", {0x2F, 0x00, 0, 0, 0, 0, 0, 0, 8, 0}, 512, TransferDirection::None, 0},
      {"VERIFY(10) BYTCHK",
       {0x2F, 0x02, 0, 0, 0, 0, 0, 0, 8, 0},
       512,
       TransferDirection::Out,
       4096},
      {"READ(12)",
       {0xA8, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0, 0},
       512,
       TransferDirection::In,
       65536ull * 512},
      {"READ(16) huge",
       {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0},
       512,
       TransferDirection::In,
       0xFFFFFFFFull * 512},
      {"READ CAPACITY(16)",
       {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
       512,
       TransferDirection::In,
       32},
      {"REPORT LUNS",
       {0xA0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00, 0, 0},
       512,
       TransferDirection::In,
       4096},
      {"SYNCHRONIZE CACHE(10)", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512, TransferDirection::None, 0},
  };
  for (const Case &c : cases) {
    sim::CommandTransfer transfer = sim::TransferOf(c.cdb.data(), c.blockSize);
    EXPECT_TRUE(transfer.known()) << c.name;
    EXPECT_EQ(transfer.direction, c.direction) << c.name;
    EXPECT_EQ(transfer.bytes, c.bytes) << c.name;
  }
}

TEST(CommandTransfer, UnknownOperationCodesHaveNoName) {
  // REQUEST SENSE is the target's own; FORMAT UNIT's parameter list length
  // is not in its CDB; 0xC0 is vendor-specific.
  for (uint8_t operationCode : {0x03, 0x04, 0xC0, 0xFF}) {
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = operationCode;
    EXPECT_FALSE(sim::TransferOf(cdb.data(), 512).known()) << int(operationCode);
    EXPECT_EQ(sim::TransferCommandName(operationCode), nullptr) << int(operationCode);
  }
  EXPECT_STREQ(sim::TransferCommandName(0x28), "READ(10)");
}

} // namespace
