// The simulated machine's I/O space: dispatch, the ISA alias, floating bus,
// access costs and the access log.
#include "machine.h"

#include <gtest/gtest.h>

namespace {

class Latch : public sim::IoDevice {
public:
  uint32_t read(uint32_t offset, unsigned width) override {
    return (static_cast<uint32_t>(value) + offset) & (width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1);
  }
  void write(uint32_t offset, unsigned, uint32_t v) override {
    value = v;
    lastOffset = offset;
  }
  uint32_t value = 0;
  uint32_t lastOffset = 0;
};

TEST(IoSpace, DispatchesToTheDeviceWithTheOffsetInItsRange) {
  sim::Machine machine;
  Latch latch;
  machine.io.map(0x340, 16, &latch, "latch");
  machine.io.write(0x345, 1, 0x12);
  EXPECT_EQ(latch.value, 0x12u);
  EXPECT_EQ(latch.lastOffset, 5u);
  EXPECT_EQ(machine.io.read(0x341, 1), 0x13u);
  EXPECT_EQ(machine.io.deviceName(0x34F), "latch");
  EXPECT_EQ(machine.io.deviceName(0x350), "");
}

TEST(IoSpace, AnUndecodedPortFloats) {
  sim::Machine machine;
  EXPECT_EQ(machine.io.read(0x200, 1), 0xFFu);
  EXPECT_EQ(machine.io.read(0x200, 2), 0xFFFFu);
  EXPECT_EQ(machine.io.read(0x200, 4), 0xFFFFFFFFu);
}

TEST(IoSpace, TheIsaAliasDecodesTenAddressBits) {
  sim::Machine machine;
  Latch latch;
  machine.io.map(0x340, 16, &latch, "latch");
  machine.io.write(0x742, 1, 0x55);
  EXPECT_EQ(latch.value, 0u) << "without the alias 0x742 is not the latch";
  machine.io.setIsaAlias(true);
  machine.io.write(0x742, 1, 0x55);
  EXPECT_EQ(latch.value, 0x55u);
  EXPECT_EQ(latch.lastOffset, 2u);
}

TEST(IoSpace, EveryAccessCostsSimulatedTimeByWidth) {
  sim::Machine machine;
  machine.io.read(0x200, 1);
  EXPECT_EQ(machine.clock.now(), 255u);
  machine.io.read(0x200, 4);
  EXPECT_EQ(machine.clock.now(), 255u + 510u);
  uint8_t buffer[64];
  machine.io.readBlock(0x200, 4, buffer, 16);
  EXPECT_EQ(machine.clock.now(), 255u + 510u + 16 * 510u);
  EXPECT_EQ(machine.io.counts().reads[4], 17u);
  EXPECT_EQ(machine.io.counts().reads[1], 1u);
}

TEST(IoSpace, RecordsAccessesOnlyWhenAsked) {
  sim::Machine machine;
  Latch latch;
  machine.io.map(0x340, 16, &latch, "latch");
  machine.io.write(0x340, 1, 1);
  EXPECT_TRUE(machine.io.accesses().empty());
  machine.io.setRecording(true);
  machine.io.write(0x341, 1, 7);
  machine.io.read(0x341, 1);
  ASSERT_EQ(machine.io.accesses().size(), 2u);
  EXPECT_TRUE(machine.io.accesses()[0].write);
  EXPECT_EQ(machine.io.accesses()[0].port, 0x341u);
  EXPECT_EQ(machine.io.accesses()[0].value, 7u);
  EXPECT_FALSE(machine.io.accesses()[1].write);
  EXPECT_EQ(machine.io.accesses()[1].value, 8u);
}

TEST(IoSpace, BlockTransfersAreLittleEndian) {
  sim::Machine machine;
  Latch latch;
  latch.value = 0x04030201;
  machine.io.map(0x340, 16, &latch, "latch");
  uint8_t bytes[8] = {};
  machine.io.readBlock(0x340, 4, bytes, 2);
  const uint8_t expected[8] = {1, 2, 3, 4, 1, 2, 3, 4};
  EXPECT_EQ(0, memcmp(bytes, expected, 8));
  const uint8_t out[2] = {0x34, 0x12};
  machine.io.writeBlock(0x340, 2, out, 1);
  EXPECT_EQ(latch.value, 0x1234u);
}

TEST(Machine, MemoryRegionsHandOutHostPointers) {
  sim::Machine machine;
  uint8_t window[4096] = {};
  machine.mapMemory({0xC8000, 4096, window, "window"});
  EXPECT_EQ(machine.memory(0xC8000, 4096), window);
  EXPECT_EQ(machine.memory(0xC8010, 16), window + 16);
  EXPECT_EQ(machine.memory(0xC8000, 4097), nullptr);
  EXPECT_EQ(machine.memory(0xD0000, 16), nullptr);
}

} // namespace
