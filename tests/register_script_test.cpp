// The register script itself: scripted reads per bank, bank tracking,
// folded reads, the data stream and the consumption check.
#include "register_script.h"

#include <gtest/gtest.h>

namespace {

using namespace script;

struct ScriptOnBus {
  ScriptOnBus() { machine.io.map(0x350, 16, &chip, "script"); }
  uint32_t read(uint8_t reg) { return machine.io.read(0x350 + reg, 1); }
  void write(uint8_t reg, uint8_t value) { machine.io.write(0x350 + reg, 1, value); }

  sim::Machine machine;
  RegisterScript chip;
};

TEST(RegisterScript, ReadsQueuedValuesThenTheDefaultOfTheBankInForce) {
  ScriptOnBus bus;
  bus.chip.queue(0, 0x4, {0x11, 0x22});
  bus.chip.queueRun(0, 0x4, 0x33, 3);
  bus.chip.setDefault(0, 0x4, 0x44);
  bus.chip.queue(1, 0x4, {0x99});

  std::vector<uint32_t> bank0;
  for (int i = 0; i < 6; i++) {
    bank0.push_back(bus.read(0x4));
  }
  bus.write(0xD, 0x84); // bit 7: bank 1
  uint32_t bank1 = bus.read(0x4);
  bus.write(0xD, 0x30); // bit 7 clear: bank 0
  uint32_t again = bus.read(0x4);

  EXPECT_EQ(bank0, (std::vector<uint32_t>{0x11, 0x22, 0x33, 0x33, 0x33, 0x44}));
  EXPECT_EQ(bank1, 0x99u);
  EXPECT_EQ(again, 0x44u);
  EXPECT_TRUE(bus.chip.allConsumed());
  EXPECT_EQ(bus.chip.readsOf(0, 0x4), 7u);
  EXPECT_EQ(bus.chip.readsOf(1, 0x4), 1u);
}

TEST(RegisterScript, LogsEveryAccessWithItsBankAndFoldsRepeatedReads) {
  ScriptOnBus bus;
  bus.chip.setDefault(0, 0x4, 0x07);
  for (int i = 0; i < 1000; i++) {
    bus.read(0x4);
  }
  bus.write(0xD, 0x80);
  bus.write(0x8, 0x01);
  bus.read(0x8);
  bus.read(0x8);

  std::vector<Access> expected = {R0(0x4, 0x07, 1000), Control(0x80), W1(0x8, 0x01),
                                  R1(0x8, 0x00, 2)};
  EXPECT_EQ(bus.chip.log(), expected) << Describe(bus.chip.log());
}

TEST(RegisterScript, FeedsBufferReadsFromTheDataStreamAndSinksWrites) {
  ScriptOnBus bus;
  bus.write(0xD, 0x80);
  bus.chip.queueData({1, 2, 3, 4, 5, 6});
  uint8_t in[8] = {};
  bus.machine.io.readBlock(0x354, 4, in, 1);
  bus.machine.io.readBlock(0x354, 1, in + 4, 4);
  const uint8_t out[4] = {0xA, 0xB, 0xC, 0xD};
  bus.machine.io.writeBlock(0x354, 2, out, 1);
  bus.write(0x4, 0xE);

  EXPECT_EQ(std::vector<uint8_t>(in, in + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0xEE, 0xEE}));
  EXPECT_EQ(bus.chip.dataUnderrun(), 2u);
  EXPECT_TRUE(bus.chip.allConsumed());
  EXPECT_EQ(bus.chip.dataWritten(), (std::vector<uint8_t>{0xA, 0xB, 0xE}));
  std::vector<Access> expected = {Control(0x80), PioIn(4, 1), PioIn(1, 4), PioOut(2, 1),
                                  W1(0x4, 0xE)};
  EXPECT_EQ(bus.chip.log(), expected) << Describe(bus.chip.log());
}

TEST(RegisterScript, ReportsWhatWasNotRead) {
  ScriptOnBus bus;
  bus.chip.queue(0, 0x5, {0x18});
  bus.chip.queueData({1});
  EXPECT_FALSE(bus.chip.allConsumed());
  EXPECT_NE(bus.chip.unconsumed().find("INT_STATUS 0x18"), std::string::npos)
      << bus.chip.unconsumed();
  EXPECT_NE(bus.chip.unconsumed().find("1 data bytes"), std::string::npos);
}

} // namespace
