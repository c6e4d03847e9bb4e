// The three small chip routines against the register script: the bounded
// status poll, and the loading and resetting of per-target transfer settings.
#include "scripted_driver.h"

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216; // 0x1000000 reads

struct PollCase {
  const char *name;
  uint8_t mode;
  uint8_t firstStatus; // REG_STATUS at the first read
  uint8_t laterStatus; // REG_STATUS at every later read
  uint32_t reads;      // REG_STATUS reads made
  uint8_t result;
};

const PollCase kPollCases[] = {
    {"sample returns the first value", 0, 0x13, 0x13, 1, 0x13},
    {"sample returns bit 7 unchanged", 0, 0x97, 0x97, 1, 0x97},
    {"sample of 0xFF is one read", 0, 0xFF, 0xFF, 1, 0xFF},
    {"wait sees bit 7 at once", 1, 0x81, 0x81, 1, 0x00},
    {"wait and return sees bit 7 at once", 2, 0x93, 0x93, 1, 0x93},
    {"wait and return passes 0xFF through", 2, 0xFF, 0xFF, 1, 0xFF},
    {"wait sees bit 7 at the second read", 1, 0x01, 0x87, 2, 0x00},
    {"wait and return sees bit 7 at the second read", 2, 0x01, 0x87, 2, 0x87},
    {"wait times out", 1, 0x07, 0x07, kPollLimit, 0xFF},
    {"wait and return times out", 2, 0x7F, 0x7F, kPollLimit, 0xFF},
    {"an unknown mode polls to the limit", 3, 0x80, 0x80, kPollLimit, 0xFF},
};

void PrintTo(const PollCase &c, std::ostream *out) {
  *out << c.name;
}

class CheckStRegTest : public ::testing::TestWithParam<PollCase> {};

TEST_P(CheckStRegTest, ReadsStatusAsTheModeAsks) {
  const PollCase &c = GetParam();
  ScriptedDriver driver;
  driver.chip.setBank(0);
  driver.chip.queue(0, drv::REG_STATUS, {c.firstStatus});
  driver.chip.setDefault(0, drv::REG_STATUS, c.laterStatus);

  UCHAR result = driver.call([&] { return drv::CheckStReg(driver.base(), c.mode); });

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), c.reads);
  EXPECT_EQ(driver.chip.log().size(), c.reads == 1 || c.firstStatus == c.laterStatus ? 1u : 2u)
      << "CheckStReg reads nothing but REG_STATUS:\n"
      << Describe(driver.chip.log());
}

INSTANTIATE_TEST_SUITE_P(Modes, CheckStRegTest, ::testing::ValuesIn(kPollCases),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           for (char &ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) {
                               ch = '_';
                             }
                           }
                           return name;
                         });

TEST(CheckStReg, TheWaitEndsAtTheLastPollWhenBit7ArrivesThere) {
  ScriptedDriver driver;
  driver.chip.setBank(0);
  driver.chip.queueRun(0, drv::REG_STATUS, 0x01, kPollLimit - 1);
  driver.chip.setDefault(0, drv::REG_STATUS, 0x83);
  UCHAR result = driver.call([&] { return drv::CheckStReg(driver.base(), 2); });
  EXPECT_EQ(result, 0x83);
  EXPECT_EQ(driver.chip.readsOf(0, 0x4), kPollLimit);
}

// ------------------------------------------------------------ transfer mode

struct TransferModeCase {
  const char *name;
  uint8_t syncPeriod, syncOffset;
  uint8_t config3; // REG_CONFIG3 as read, where it is read
  std::vector<Access> expected;
};

TEST(SetTransferMode, LoadsTheTargetsPeriodAndOffset) {
  const TransferModeCase cases[] = {
      {"no agreement loads period 10", 0, 0, 0, {W0(0x6, 0x0A), W0(0x7, 0x00)}},
      {"offset kept without a period", 0, 7, 0, {W0(0x6, 0x0A), W0(0x7, 0x07)}},
      {"slow period leaves CONFIG3 alone", 0x08, 15, 0, {W0(0x6, 0x08), W0(0x7, 0x0F)}},
      {"fast period sets CONFIG3 bit 4",
       0x84,
       15,
       0x00,
       {W0(0x6, 0x84), W0(0x7, 0x0F), R0(0xC, 0x00), W0(0xC, 0x10)}},
      {"fast period keeps the other CONFIG3 bits",
       0x87,
       8,
       0x81,
       {W0(0x6, 0x87), W0(0x7, 0x08), R0(0xC, 0x81), W0(0xC, 0x91)}},
  };
  for (const TransferModeCase &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    driver.chip.setBank(0);
    driver.ext().TargetId = 5;
    driver.ext().SyncPeriod[5] = c.syncPeriod;
    driver.ext().SyncOffset[5] = c.syncOffset;
    driver.ext().SyncPeriod[4] = 0x99; // another target's settings are not used
    driver.ext().SyncOffset[4] = 0x77;
    driver.chip.setDefault(0, drv::REG_CONFIG3, c.config3);
    driver.call([&] { drv::SetTransferMode(&driver.ext()); });
    EXPECT_EQ(driver.chip.log(), c.expected) << Describe(driver.chip.log());
  }
}

TEST(ResetTransferMode, ReturnsToAsynchronousAndClearsTheFastBitOnlyUnderBit7) {
  const TransferModeCase cases[] = {
      {"CONFIG3 0x10 is left alone", 0, 0, 0x10, {W0(0x6, 10), W0(0x7, 0), R0(0xC, 0x10)}},
      {"CONFIG3 0x90 becomes 0x80",
       0,
       0,
       0x90,
       {W0(0x6, 10), W0(0x7, 0), R0(0xC, 0x90), W0(0xC, 0x80)}},
      {"CONFIG3 0x80 is written back unchanged",
       0,
       0,
       0x80,
       {W0(0x6, 10), W0(0x7, 0), R0(0xC, 0x80), W0(0xC, 0x80)}},
      {"CONFIG3 0x00 is left alone", 0, 0, 0x00, {W0(0x6, 10), W0(0x7, 0), R0(0xC, 0x00)}},
  };
  for (const TransferModeCase &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDriver driver;
    driver.chip.setBank(0);
    driver.ext().SyncPeriod[0] = 0x84; // the agreement itself is not touched
    driver.chip.setDefault(0, drv::REG_CONFIG3, c.config3);
    driver.call([&] { drv::ResetTransferMode(&driver.ext()); });
    EXPECT_EQ(driver.chip.log(), c.expected) << Describe(driver.chip.log());
    EXPECT_EQ(driver.ext().SyncPeriod[0], 0x84);
  }
}

// ------------------------------------------------------------ InitFAS408

TEST(InitFAS408, ProgramsTheChipInOrderAndReadsNothing) {
  ScriptedDriver driver;
  driver.call([&] { drv::InitFAS408(driver.base()); });
  const std::vector<Access> expected = {
      Control(0x30), W0(0x9, 0x00), W0(0x8, 0x97), W0(0xB, 0x48), W0(0xC, 0x10),
      W0(0x7, 0x00), W0(0x6, 0x08), W0(0x5, 0x99), Control(0x80), W1(0x8, 0x01),
  };
  EXPECT_EQ(driver.chip.log(), expected) << Describe(driver.chip.log());
  EXPECT_EQ(driver.chip.bank(), 1) << "InitFAS408 leaves bank 1 selected";
}

} // namespace
