// The data phases against the register script: block and tail accesses of
// REG_PIO_DATA, the end of data in, the data-out residual, the bounds on a
// chip that never finishes, and that no byte lands outside the request's
// buffer (every buffer has guard zones on both sides).
#include "scripted_driver.h"

#include <numeric>

namespace {

using namespace script;

constexpr uint32_t kPollLimit = 16777216;

// READ(10) of one block
const std::vector<uint8_t> kRead10 = {0x28, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00};
// WRITE(10) of one block
const std::vector<uint8_t> kWrite10 = {0x2A, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 1) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++) {
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  }
  return bytes;
}

void Append(std::vector<Access> &log, std::initializer_list<Access> more) {
  log.insert(log.end(), more.begin(), more.end());
}

std::vector<Access> Tail(const std::vector<Access> &log, size_t count) {
  return std::vector<Access>(log.end() - std::min(count, log.size()), log.end());
}

struct DataFixture {
  DataFixture(const std::vector<uint8_t> &cdb, uint32_t length, uint8_t phase)
      : request(3, 0, cdb, length) {
    request.select(driver.ext());
    driver.ext().CurrentPhase = phase;
  }
  drv::HW_DEVICE_EXTENSION &ext() { return driver.ext(); }
  UCHAR runIn() {
    return driver.call([&] { return drv::DataInPhaseRun(&driver.ext()); });
  }
  UCHAR runOut() {
    return driver.call([&] { return drv::DataOutPhaseRun(&driver.ext()); });
  }
  std::vector<uint8_t> buffer() const {
    return std::vector<uint8_t>(request.data.data(), request.data.data() + request.data.size());
  }
  void expectFailed() {
    EXPECT_EQ(ext().CurrentPhase, drv::PHASE_FAILED);
    EXPECT_EQ(ext().PhaseLoopDone, 1);
  }

  ScriptedDriver driver;
  EngineRequest request;
};

// ------------------------------------------------------------------ data in

std::vector<Access> DataInStart(uint32_t count) {
  return {Control(0x00),
          W0(0x0, count & 0xFF),
          W0(0x1, (count >> 8) & 0xFF),
          W0(0xE, (count >> 16) & 0xFF),
          W0(0x3, 0x90),
          Control(0x80)};
}

// End check passed with `status`, asynchronous settings, closing wait.
std::vector<Access> DataInEnd(uint8_t status) {
  return {Control(0x00), R0(0x4, status), R0(0x5, 0x10), Control(0x80),  Control(0x00),
          W0(0x6, 10),   W0(0x7, 0),      R0(0xC, 0x00), R0(0x4, status)};
}

void ScriptDataInEnd(ScriptedDriver &driver, uint8_t status) {
  driver.chip.queue(0, drv::REG_STATUS, {status, status});
  driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});
}

TEST(DataInPhaseRun, ReadsFullBlocksThenTheTailByteByByte) {
  DataFixture f(kRead10, 300, 1);
  std::vector<uint8_t> data = Pattern(300);
  f.driver.chip.queueData(data);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x02, 0x02, 0x40});
  f.driver.chip.queueRun(1, drv::REG_PIO_STATUS, 0x40, 43);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x50});
  ScriptDataInEnd(f.driver, 0x93);

  EXPECT_EQ(f.runIn(), 1);

  std::vector<Access> expected = DataInStart(300);
  Append(expected, {R1(0x8, 0x02), PioIn(4, 32), R1(0x8, 0x02), PioIn(4, 32), R1(0x8, 0x40)});
  for (int i = 0; i < 43; i++) {
    Append(expected, {PioIn(1, 1), R1(0x8, 0x40)});
  }
  Append(expected, {PioIn(1, 1), R1(0x8, 0x50)});
  std::vector<Access> end = DataInEnd(0x93);
  expected.insert(expected.end(), end.begin(), end.end());
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.buffer(), data);
  EXPECT_EQ(f.ext().DataLength, 0u);
  EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + 300);
  EXPECT_EQ(f.ext().CurrentPhase, 3);
  EXPECT_TRUE(f.driver.chip.allConsumed()) << f.driver.chip.unconsumed();
  EXPECT_TRUE(f.request.data.intact());
}

TEST(DataInPhaseRun, AShortReadLeavesTheResidual) {
  DataFixture f(kRead10, 512, 1);
  std::vector<uint8_t> data = Pattern(100);
  f.driver.chip.queueData(data);
  f.driver.chip.queueRun(1, drv::REG_PIO_STATUS, 0x40, 100);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x50});
  ScriptDataInEnd(f.driver, 0x83);

  EXPECT_EQ(f.runIn(), 1);

  const std::vector<Access> &log = f.driver.chip.log();
  EXPECT_EQ(std::vector<Access>(log.begin(), log.begin() + 6), DataInStart(512));
  EXPECT_EQ(std::count(log.begin(), log.end(), PioIn(4, 32)), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), PioIn(1, 1)), 100);
  EXPECT_EQ(Tail(log, 9), DataInEnd(0x83)) << Describe(log);
  EXPECT_EQ(f.ext().DataLength, 412u);
  EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + 100);
  std::vector<uint8_t> buffer = f.buffer();
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 100), data);
  EXPECT_EQ(f.ext().CurrentPhase, 3);
}

TEST(DataInPhaseRun, ReadsABlockBeforeActingOnTheEnd) {
  DataFixture f(kRead10, 128, 1);
  std::vector<uint8_t> data = Pattern(128);
  f.driver.chip.queueData(data);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x42, 0x50});
  ScriptDataInEnd(f.driver, 0x97);

  EXPECT_EQ(f.runIn(), 1);

  std::vector<Access> expected = DataInStart(128);
  Append(expected, {R1(0x8, 0x42), PioIn(4, 32), R1(0x8, 0x50)});
  std::vector<Access> end = DataInEnd(0x97);
  expected.insert(expected.end(), end.begin(), end.end());
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.buffer(), data);
  EXPECT_EQ(f.ext().CurrentPhase, 7);
}

struct EndCheckCase {
  uint8_t intStatus;
  uint8_t status;
  bool ends;
};

TEST(DataInPhaseRun, EndsOnlyWithBusServiceInStatusOrMessageIn) {
  const EndCheckCase cases[] = {
      {0x10, 0x83, true},  {0x10, 0x87, true},  {0x10, 0x93, true},  {0x10, 0x97, true},
      {0x18, 0x93, false}, {0x08, 0x93, false}, {0x10, 0x81, false}, {0x10, 0x91, false},
      {0x10, 0x80, false}, {0x10, 0xB3, false}, {0x10, 0xFF, false}, {0x20, 0x83, false},
  };
  for (const EndCheckCase &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "REG_INT_STATUS 0x" << int(c.intStatus)
                                    << ", REG_STATUS 0x" << int(c.status));
    DataFixture f(kRead10, 2, 1);
    f.driver.chip.queueData({0xAB, 0xCD});
    f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x40, 0x40, 0x50});
    f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x50);
    f.driver.chip.queue(0, drv::REG_STATUS, {c.status});
    f.driver.chip.queue(0, drv::REG_INT_STATUS, {c.intStatus});
    ScriptDataInEnd(f.driver, 0x93); // the second check, where there is one

    EXPECT_EQ(f.runIn(), 1);

    EXPECT_EQ(f.driver.chip.readsOf(0, 0x5), c.ends ? 1u : 2u);
    if (!c.ends) {
      // Back to polling: bank 1, the PIO status, the drain is already done.
      const std::vector<Access> &log = f.driver.chip.log();
      auto firstCheck = std::find(log.begin(), log.end(), R0(0x5, c.intStatus));
      ASSERT_NE(firstCheck, log.end());
      EXPECT_EQ(*(firstCheck + 1), Control(0x80));
      EXPECT_EQ(*(firstCheck + 2), R1(0x8, 0x50));
    }
    EXPECT_EQ(f.ext().DataLength, 0u);
  }
}

TEST(DataInPhaseRun, FailsWhenTheFifoNeverReportsABlockOrTheEnd) {
  DataFixture f(kRead10, 512, 1);
  f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x01);

  EXPECT_EQ(f.runIn(), 0);

  f.expectFailed();
  EXPECT_EQ(f.driver.chip.log().back(), R1(0x8, 0x01, kPollLimit));
}

TEST(DataInPhaseRun, FailsWhenTheFifoNeverEmpties) {
  DataFixture f(kRead10, 2, 1);
  f.driver.chip.queueData({0x11, 0x22});
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x40});
  f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x40);

  EXPECT_EQ(f.runIn(), 0);

  f.expectFailed();
  std::vector<Access> expected = {R1(0x8, 0x40), PioIn(1, 1), R1(0x8, 0x40), PioIn(1, 1),
                                  R1(0x8, 0x40, kPollLimit - 1)};
  EXPECT_EQ(Tail(f.driver.chip.log(), 5), expected) << "no byte read once the buffer is full";
  EXPECT_EQ(f.buffer(), (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_TRUE(f.request.data.intact());
}

TEST(DataInPhaseRun, FailsAfterFourEndChecksThatDoNotEndIt) {
  DataFixture f(kRead10, 1, 1);
  f.driver.chip.queueData({0x5A});
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x40, 0x50});
  f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x50);
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x91);
  f.driver.chip.setDefault(0, drv::REG_INT_STATUS, 0x10);

  EXPECT_EQ(f.runIn(), 0);

  f.expectFailed();
  EXPECT_EQ(f.driver.chip.readsOf(0, 0x5), 4u);
}

TEST(DataInPhaseRun, FailsWhenTheTargetStaysInDataIn) {
  DataFixture f(kRead10, 1, 1);
  f.driver.chip.queueData({0x5A});
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x40, 0x50});
  f.driver.chip.queue(0, drv::REG_STATUS, {0x93});
  f.driver.chip.queue(0, drv::REG_INT_STATUS, {0x10});
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x01);

  EXPECT_EQ(f.runIn(), 0);

  f.expectFailed();
  EXPECT_EQ(f.driver.chip.log().back(), R0(0x4, 0x01, kPollLimit));
}

TEST(DataInPhaseRun, NeverStoresBeyondTheBuffer) {
  struct Case {
    const char *name;
    uint32_t length;
    std::vector<uint8_t> pioStatus; // then 0x50
    size_t delivered;               // bytes in the chip
    bool succeeds;
    uint32_t lengthAfter;
  };
  const Case cases[] = {
      {"a block for a buffer of 100", 100, {0x02}, 128, false, 0},
      {"a second block for a buffer of 200", 200, {0x02, 0x02}, 256, false, 0},
      {"tail bytes past the buffer", 3, {0x40, 0x40, 0x40, 0x40, 0x40}, 5, true, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DataFixture f(kRead10, c.length, 1);
    std::vector<uint8_t> data = Pattern(c.delivered);
    f.driver.chip.queueData(data);
    for (uint8_t status : c.pioStatus) {
      f.driver.chip.queue(1, drv::REG_PIO_STATUS, {status});
    }
    f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x50);
    ScriptDataInEnd(f.driver, 0x93);

    EXPECT_EQ(f.runIn(), c.succeeds ? 1 : 0);

    EXPECT_TRUE(f.request.data.intact()) << "a byte landed in a guard zone";
    EXPECT_EQ(f.buffer(), std::vector<uint8_t>(data.begin(), data.begin() + c.length));
    EXPECT_EQ(f.ext().DataLength, c.lengthAfter);
    EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + c.length);
    if (!c.succeeds) {
      f.expectFailed();
    }
  }
}

TEST(DataInPhaseRun, WithNoBytesLeftFailsWithoutStartingATransfer) {
  DataFixture f(kRead10, 0, 1);

  EXPECT_EQ(f.runIn(), 0);

  f.expectFailed();
  EXPECT_TRUE(f.driver.chip.log().empty()) << Describe(f.driver.chip.log());
}

TEST(DataInPhaseRun, LoadsTheLargestCountForLengthsTheCounterCannotHold) {
  const uint32_t length = 16 * 1024 * 1024 + 100;
  DataFixture f(kRead10, length, 1);
  std::vector<uint8_t> data = Pattern(128);
  f.driver.chip.queueData(data);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x02, 0x50});
  ScriptDataInEnd(f.driver, 0x93);

  EXPECT_EQ(f.runIn(), 1);

  const std::vector<Access> &log = f.driver.chip.log();
  EXPECT_EQ(std::vector<Access>(log.begin(), log.begin() + 6), DataInStart(0xFFFFFF));
  EXPECT_EQ(f.ext().DataLength, length - 128);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), f.request.data.data()));
  EXPECT_TRUE(f.request.data.intact());
}

// ----------------------------------------------------------------- data out

std::vector<Access> DataOutStart(uint32_t count) {
  return {Control(0x00),
          W0(0x0, count & 0xFF),
          W0(0x1, (count >> 8) & 0xFF),
          W0(0xE, (count >> 16) & 0xFF),
          W0(0x3, 0x01),
          W0(0x3, 0x90),
          Control(0x80),
          W1(0xB, 0x01),
          W1(0x8, 0x01)};
}

struct DataOutFixture : DataFixture {
  explicit DataOutFixture(uint32_t length) : DataFixture(kWrite10, length, 0) {
    data = Pattern(length, 0x31);
    std::copy(data.begin(), data.end(), request.data.data());
  }
  // The FIFO reports the given states, then the end; the target moves to
  // STATUS having taken everything.
  void script(std::initializer_list<uint8_t> pioStatus) {
    for (uint8_t status : pioStatus) {
      driver.chip.queue(1, drv::REG_PIO_STATUS, {status});
    }
    driver.chip.queue(1, drv::REG_PIO_STATUS, {0x4D});
    driver.chip.queue(0, drv::REG_STATUS, {0x03});
  }
  // The accesses of the writing loop alone.
  std::vector<Access> writes() const {
    std::vector<Access> loop;
    for (const Access &access : driver.chip.log()) {
      if (access.dir == Dir::BlockWrite || (access.dir == Dir::Write && access.reg == 0x4)) {
        loop.push_back(access);
      }
    }
    return loop;
  }
  std::vector<uint8_t> data;
};

TEST(DataOutPhaseRun, WritesSevenBytesAsAWordAHalfWordAndAByte) {
  DataOutFixture f(7);
  f.script({0x0D});

  EXPECT_EQ(f.runOut(), 1);

  std::vector<Access> expected = DataOutStart(7);
  Append(expected, {R1(0x8, 0x0D), PioOut(4, 1), PioOut(2, 1), W1(0x4, f.data[6]), R1(0x8, 0x4D),
                    Control(0x00), W0(0x6, 10), W0(0x7, 0), R0(0xC, 0x00), R0(0x4, 0x03),
                    R0(0xE, 0x00), R0(0x1, 0x00), R0(0x0, 0x00), R0(0x7, 0x00)});
  EXPECT_EQ(f.driver.chip.log(), expected) << Describe(f.driver.chip.log());
  EXPECT_EQ(f.driver.chip.dataWritten(), f.data);
  EXPECT_EQ(f.ext().DataLength, 0u);
  EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + 7);
  EXPECT_EQ(f.ext().CurrentPhase, 3);
}

struct TailCase {
  uint32_t length;
  std::vector<Access> writes;
};

TEST(DataOutPhaseRun, WritesEachTailWithTheWidestAccesses) {
  const TailCase cases[] = {
      {64, {PioOut(4, 16)}},
      {63, {PioOut(4, 15), PioOut(2, 1), W1(0x4, 0)}},
      {6, {PioOut(4, 1), PioOut(2, 1)}},
      {5, {PioOut(4, 1), W1(0x4, 0)}},
      {4, {PioOut(4, 1)}},
      {3, {PioOut(2, 1), W1(0x4, 0)}},
      {2, {PioOut(2, 1)}},
      {1, {W1(0x4, 0)}},
      {130, {PioOut(4, 16), PioOut(4, 16), PioOut(2, 1)}},
  };
  for (const TailCase &c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes");
    DataOutFixture f(c.length);
    f.script({0x0D, 0x1D, 0x0D});

    EXPECT_EQ(f.runOut(), 1);

    std::vector<Access> writes = f.writes();
    std::vector<Access> expected = c.writes;
    for (Access &access : expected) {
      if (access.dir == Dir::Write) {
        access.value = f.data.back(); // the single byte is the last one
      }
    }
    EXPECT_EQ(writes, expected) << Describe(writes);
    EXPECT_EQ(f.driver.chip.dataWritten(), f.data);
    EXPECT_EQ(f.ext().DataLength, 0u);
  }
}

TEST(DataOutPhaseRun, WritesOnlyWhenTheFifoIsReadyAndStopsAtTheEnd) {
  DataOutFixture f(70);
  f.script({0x0C, 0x1C, 0x00, 0x05, 0x0D, 0x2D, 0x1D});

  EXPECT_EQ(f.runOut(), 1);

  std::vector<Access> expected = DataOutStart(70);
  Append(expected,
         {R1(0x8, 0x0C), R1(0x8, 0x1C), R1(0x8, 0x00), R1(0x8, 0x05), R1(0x8, 0x0D), PioOut(4, 16),
          R1(0x8, 0x2D), R1(0x8, 0x1D), PioOut(4, 1), PioOut(2, 1), R1(0x8, 0x4D)});
  const std::vector<Access> &log = f.driver.chip.log();
  EXPECT_EQ(std::vector<Access>(log.begin(), log.begin() + expected.size()), expected)
      << Describe(log);
}

TEST(DataOutPhaseRun, TheEndOfTheTransferIsNeverTakenForReady) {
  DataOutFixture f(128);
  f.script({0x0D, 0x5D});

  EXPECT_EQ(f.runOut(), 1);

  EXPECT_EQ(f.writes(), (std::vector<Access>{PioOut(4, 16)})) << "0x5D ends the loop";
  EXPECT_EQ(f.driver.chip.readsOf(1, 0x8), 2u);
}

struct ResidualCase {
  const char *name;
  uint8_t high, mid, low, fifoFlags;
  uint32_t lengthAfter;
  uint32_t pointerAfter; // offset from the buffer
  bool flushed;
};

TEST(DataOutPhaseRun, TakesTheResidualFromTheCountAndTheChipFifo) {
  const ResidualCase cases[] = {
      {"256 left in the count, 5 in the FIFO", 0x00, 0x01, 0x00, 0x05, 261, 251, true},
      {"flags above bit 4 are not counted", 0x00, 0x00, 0x10, 0xE3, 19, 493, true},
      {"count 0 and an empty FIFO: everything went out", 0x00, 0x00, 0x00, 0x00, 0, 512, false},
      {"count 0 with bytes still in the FIFO", 0x00, 0x00, 0x00, 0x05, 5, 507, true},
      {"a count read back larger than loaded", 0xFF, 0xFF, 0xFF, 0x1F, 512, 0, true},
  };
  for (const ResidualCase &c : cases) {
    SCOPED_TRACE(c.name);
    DataOutFixture f(512);
    f.script({0x1D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D});
    f.driver.chip.queue(0, drv::REG_TC_HIGH, {c.high});
    f.driver.chip.queue(0, drv::REG_TC_MID, {c.mid});
    f.driver.chip.queue(0, drv::REG_TC_LOW, {c.low});
    f.driver.chip.queue(0, drv::REG_FIFO_FLAGS, {c.fifoFlags});

    EXPECT_EQ(f.runOut(), 1);

    std::vector<Access> tail = {R0(0x4, 0x03), R0(0xE, c.high), R0(0x1, c.mid), R0(0x0, c.low),
                                R0(0x7, c.fifoFlags)};
    if (c.flushed) {
      Append(tail, {W0(0x3, 0x01)});
    }
    EXPECT_EQ(Tail(f.driver.chip.log(), tail.size()), tail) << Describe(f.driver.chip.log());
    EXPECT_EQ(f.ext().DataLength, c.lengthAfter);
    EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + c.pointerAfter);
  }
}

TEST(DataOutPhaseRun, FailsWhenTheFifoIsNeverReadyNorDone) {
  DataOutFixture f(64);
  f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x0C);

  EXPECT_EQ(f.runOut(), 0);

  f.expectFailed();
  EXPECT_EQ(f.driver.chip.log().back(), R1(0x8, 0x0C, kPollLimit));
}

TEST(DataOutPhaseRun, FailsAfterPollLimitReadyPollsWithoutAnEnd) {
  DataOutFixture f(64);
  f.driver.chip.setDefault(1, drv::REG_PIO_STATUS, 0x1D);

  EXPECT_EQ(f.runOut(), 0);

  f.expectFailed();
  std::vector<Access> tail = {R1(0x8, 0x1D), PioOut(4, 16), R1(0x8, 0x1D, kPollLimit - 1)};
  EXPECT_EQ(Tail(f.driver.chip.log(), 3), tail);
  EXPECT_EQ(f.ext().DataLength, 0u);
}

TEST(DataOutPhaseRun, FailsWhenTheTargetStaysInDataOutAndComputesNoResidual) {
  DataOutFixture f(8);
  f.driver.chip.queue(1, drv::REG_PIO_STATUS, {0x0D, 0x4D});
  f.driver.chip.setDefault(0, drv::REG_STATUS, 0x00);

  EXPECT_EQ(f.runOut(), 0);

  f.expectFailed();
  EXPECT_EQ(f.driver.chip.log().back(), R0(0x4, 0x00, kPollLimit));
  EXPECT_EQ(f.ext().DataPointer, f.request.bufferAddress() + 8);
}

TEST(DataOutPhaseRun, WithNoBytesLeftFailsWithoutStartingATransfer) {
  DataOutFixture f(0);

  EXPECT_EQ(f.runOut(), 0);

  f.expectFailed();
  EXPECT_TRUE(f.driver.chip.log().empty());
}

} // namespace
