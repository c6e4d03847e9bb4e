// Data phases on the chip model, through our port driver: reads and writes of
// every length byte for byte, residuals of short transfers, a target that
// sends more than asked, disconnecting targets, a long FORMAT UNIT, and a
// disk that holds exactly what the driver was asked to write.
#include "test_machine.h"

namespace {

using namespace machine;

constexpr uint8_t kBufferTarget = 1;
constexpr uint8_t kDiskTarget = 2;
constexpr uint32_t kMiB = 1u << 20;

// A machine with a buffer unit at target 1 and a disk at target 2, both
// without a pending unit attention, the disk filled with a pattern.
class DataMachine {
public:
  explicit DataMachine(sim::TargetOptions options = Settled(), bool asynchronous = false)
      : unit_(kMiB), m_(Config(options, asynchronous)) {
    m_.target(kBufferTarget).setUnit(0, &unit_);
    disk().writeBlocks(0, disk().blocks(), image_.data());
  }

  TestMachine &m() { return m_; }
  BufferUnit &unit() { return unit_; }
  sim::DiskUnit &disk() { return *m_.system().disk(kDiskTarget, 0); }
  sim::Target &target(uint8_t id) { return m_.target(id); }
  // What the disk must hold: the pattern, with what the driver was asked to
  // write (and the target took) laid over it.
  std::vector<uint8_t> &image() { return image_; }

  std::vector<uint8_t> medium() {
    std::vector<uint8_t> bytes(disk().blocks() * 512u);
    disk().readBlocks(0, disk().blocks(), bytes.data());
    return bytes;
  }

private:
  static sim::SystemConfig Config(sim::TargetOptions options, bool asynchronous) {
    sim::SystemConfig config = ConfigUnderTest();
    config.targets.push_back({kBufferTarget, options});
    config.targets.push_back({kDiskTarget, options});
    config.disks.push_back({kDiskTarget, 0, {}});
    if (asynchronous) {
      config.options = "/AS1";
    }
    return config;
  }

  BufferUnit unit_;
  std::vector<uint8_t> image_ = Pattern(2048 * 512, 99);
  TestMachine m_;
};

// ----------------------------------------------------------- byte-exact

// Every tail modulo 128 (the read block) and so modulo 64 (the write block),
// each with a different number of whole blocks before it; with `large`, the
// lengths up to 1 MiB too.
std::vector<uint32_t> Lengths(bool large) {
  std::vector<uint32_t> lengths;
  for (uint32_t tail = 1; tail <= 128; tail++) {
    lengths.push_back(128 * ((tail + 4) % 5) + tail); // 1, 130, 259, 388, 517, 6, ...
  }
  if (large) {
    for (uint32_t length : {4096u, 65536u + 193u, kMiB}) {
      lengths.push_back(length);
    }
  }
  return lengths;
}

TEST(DataOnChip, ReadsAndWritesOfEveryLengthAreByteExact) {
  struct Mode {
    const char *name;
    bool asynchronous;
  };
  const Mode modes[] = {{"synchronous", false}, {"asynchronous", true}};
  for (const Mode &mode : modes) {
    SCOPED_TRACE(mode.name);
    DataMachine d(Settled(), mode.asynchronous);
    TestMachine &m = d.m();
    for (uint32_t length : Lengths(!mode.asynchronous)) {
      SCOPED_TRACE(testing::Message() << length << " bytes");
      std::vector<uint8_t> out = Pattern(length, length);

      sim::Request &write = m.execute(WriteBuffer(kBufferTarget, out));
      ASSERT_EQ(write.status, SRB_STATUS_SUCCESS);
      EXPECT_EQ(write.srb.DataTransferLength, length);
      ASSERT_EQ(d.unit().lastReceived(), length);
      ASSERT_TRUE(std::equal(out.begin(), out.end(), d.unit().buffer().begin()));

      std::vector<uint8_t> in = Pattern(length, length + 1);
      std::copy(in.begin(), in.end(), d.unit().buffer().begin());
      sim::Request &read = m.execute(ReadBuffer(kBufferTarget, length));
      ASSERT_EQ(read.status, SRB_STATUS_SUCCESS);
      EXPECT_EQ(read.srb.DataTransferLength, length);
      ASSERT_EQ(DataOf(read), in);
      m.port().forgetCompleted();
    }
    EXPECT_EQ(d.target(kBufferTarget).agreement().synchronous(), !mode.asynchronous);
    EXPECT_EQ(m.chip().counters().pioUnderruns, 0u);
    EXPECT_EQ(m.chip().counters().pioOverruns, 0u);
    EXPECT_TRUE(m.errorLog().empty());
  }
}

TEST(DataOnChip, AWholeDiskGoesOutAndComesBackInOneRequestEach) {
  DataMachine d;
  TestMachine &m = d.m();
  std::vector<uint8_t> whole = Pattern(kMiB, 5);

  sim::CommandResult write = m.classDriver().writeBlocks(kDiskTarget, 0, 0, whole, 512);
  ASSERT_TRUE(write.ok());
  EXPECT_EQ(write.transferred, kMiB);
  EXPECT_EQ(d.medium(), whole);

  std::vector<uint8_t> other = Pattern(kMiB, 6);
  d.disk().writeBlocks(0, 2048, other.data());
  sim::CommandResult read = m.classDriver().readBlocks(kDiskTarget, 0, 0, 2048, 512);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.transferred, kMiB);
  EXPECT_EQ(read.data, other);
}

// ------------------------------------------------- runs of bytes

// What a sequence of transfers left behind, to compare a machine that moves
// the bytes of a data phase in runs with one that moves them one by one.
struct TransferTrace {
  std::vector<uint32_t> statuses, lengths;
  std::vector<std::vector<uint8_t>> data;
  std::vector<uint64_t> endTimes;
  uint64_t busBytes = 0;
  uint64_t reads[5] = {}, writes[5] = {};
  uint32_t fifoBytes = 0, pioBytes = 0, transferCount = 0;
  std::vector<uint8_t> buffer;
};

TransferTrace RunTransfers(sim::TargetOptions options, bool asynchronous, bool oneByOne) {
  DataMachine d(options, asynchronous);
  TestMachine &m = d.m();
  // The recorder keeps every byte as an event, so no run may be moved.
  m.bus().recorder.setEnabled(oneByOne);
  TransferTrace trace;
  auto note = [&](sim::Request &request) {
    trace.statuses.push_back(request.status);
    trace.lengths.push_back(request.srb.DataTransferLength);
    trace.data.push_back(DataOf(request));
    trace.endTimes.push_back(m.system().machine().clock.now());
    m.port().forgetCompleted();
  };
  for (uint32_t length : {1u, 130u, 517u, 4096u, 65536u + 193u}) {
    std::copy_n(Pattern(length, length).begin(), length, d.unit().buffer().begin());
    note(m.execute(ReadBuffer(kBufferTarget, length)));
    note(m.execute(WriteBuffer(kBufferTarget, Pattern(length, length + 1))));
  }
  note(m.execute(Read10(kDiskTarget, 5, 128)));
  note(m.execute(Write10(kDiskTarget, 9, Pattern(64 * 512, 3))));
  const sim::AccessCounts &counts = m.system().machine().io.counts();
  std::copy_n(counts.reads, 5, trace.reads);
  std::copy_n(counts.writes, 5, trace.writes);
  trace.busBytes = m.bus().statistics.bytes;
  trace.fifoBytes = m.chip().state().fifoBytes;
  trace.pioBytes = m.chip().state().pioBytes;
  trace.transferCount = m.chip().state().transferCount;
  trace.buffer = d.unit().buffer();
  return trace;
}

TEST(DataOnChip, RunsOfBytesKeepTheTimesCountsAndDataOfOneByOne) {
  struct Case {
    const char *name;
    bool asynchronous;
    uint32_t shortRead, shortWrite;
  };
  const Case cases[] = {
      {"synchronous", false, sim::NO_LIMIT, sim::NO_LIMIT},
      {"asynchronous", true, sim::NO_LIMIT, sim::NO_LIMIT},
      {"short reads and writes", false, 300, 4001},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::TargetOptions options = Settled();
    options.shortReadBytes = c.shortRead;
    options.shortWriteBytes = c.shortWrite;
    TransferTrace runs = RunTransfers(options, c.asynchronous, false);
    TransferTrace oneByOne = RunTransfers(options, c.asynchronous, true);
    EXPECT_EQ(runs.statuses, oneByOne.statuses);
    EXPECT_EQ(runs.lengths, oneByOne.lengths);
    EXPECT_TRUE(runs.data == oneByOne.data);
    EXPECT_EQ(runs.endTimes, oneByOne.endTimes);
    EXPECT_EQ(runs.busBytes, oneByOne.busBytes);
    EXPECT_TRUE(std::equal(runs.reads, runs.reads + 5, oneByOne.reads));
    EXPECT_TRUE(std::equal(runs.writes, runs.writes + 5, oneByOne.writes));
    EXPECT_EQ(runs.fifoBytes, oneByOne.fifoBytes);
    EXPECT_EQ(runs.pioBytes, oneByOne.pioBytes);
    EXPECT_EQ(runs.transferCount, oneByOne.transferCount);
    EXPECT_TRUE(runs.buffer == oneByOne.buffer);
  }
}

// ------------------------------------------------------------ residuals

TEST(DataOnChip, AShortReadReportsTheBytesMoved) {
  struct Case {
    uint32_t asked, sent;
  };
  const Case cases[] = {{512, 256}, {512, 1}, {512, 511}, {4096, 300}, {4096, 4095}, {512, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.sent << " of " << c.asked << " bytes");
    sim::TargetOptions options = Settled();
    options.shortReadBytes = c.sent;
    DataMachine d(options);

    sim::Request &request = d.m().execute(Read10(kDiskTarget, 3, c.asked / 512));

    EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(request.srb.DataTransferLength, c.sent);
    std::vector<uint8_t> expected(c.asked, 0x00);
    std::copy_n(d.image().begin() + 3 * 512, c.sent, expected.begin());
    EXPECT_EQ(DataOf(request), expected) << "the rest of the buffer is untouched";
  }
}

TEST(DataOnChip, AShortWriteReportsTheBytesTheTargetTook) {
  // The chip FIFO holds 16 bytes: a target that stops within the last 16
  // leaves them there with the transfer count already at 0.
  const uint32_t takenCases[] = {1, 64, 100, 256, 495, 496, 500, 511};
  for (uint32_t taken : takenCases) {
    SCOPED_TRACE(testing::Message() << taken << " of 512 bytes taken");
    sim::TargetOptions options = Settled();
    options.shortWriteBytes = taken;
    DataMachine d(options);
    std::vector<uint8_t> out = Pattern(512, taken);

    sim::Request &request = d.m().execute(WriteBuffer(kBufferTarget, out));

    EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(request.srb.DataTransferLength, taken);
    EXPECT_EQ(d.unit().lastReceived(), taken);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + taken, d.unit().buffer().begin()));
    EXPECT_EQ(d.m().chip().state().fifoBytes, 0u) << "nothing left behind for the status phase";
  }
}

// ------------------------------------------------- more than asked for

// The data phase fails once the buffer is full and the target still sends;
// the guard zone after the buffer is checked when the TestMachine goes.
TEST(DataOnChip, DataBeyondTheBufferIsNeverStoredAndTheRequestEndsThroughTheReset) {
  struct Case {
    uint32_t length; // asked for, from the buffer unit
    uint32_t extra;
  };
  // Each case waits out the driver's end checks, POLL_LIMIT reads apiece.
  const Case cases[] = {{512, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes and " << c.extra << " too many");
    sim::TargetOptions options = Settled();
    options.extraDataInBytes = c.extra;
    DataMachine d(options);
    std::vector<uint8_t> in = Pattern(c.length, 3);
    std::copy(in.begin(), in.end(), d.unit().buffer().begin());

    sim::Request &request = d.m().start(ReadBuffer(kBufferTarget, c.length));

    EXPECT_FALSE(request.completed);
    EXPECT_EQ(d.m().errorLog().size(), 1u);
    EXPECT_EQ(DataOf(request), in);

    d.m().port().expireOldestRequest();
    EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
  }
}

// ---------------------------------------------------------- disconnects

TEST(DataOnChip, ADisconnectingTargetLeavesItsRequestOutstandingUntilTheTimeOutAndBusReset) {
  struct Case {
    const char *name;
    bool write;
    uint32_t atByte;
    bool saveDataPointer;
  };
  const Case cases[] = {
      {"read, after the command", false, 0, true},
      {"read, after 1024 of 2048 bytes", false, 1024, true},
      {"read, DISCONNECT alone", false, 0, false},
      {"write, after the command", true, 0, true},
      {"write, after 1024 of 2048 bytes", true, 1024, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::TargetOptions options = Settled();
    options.disconnects = true;
    options.disconnectAtByte = c.atByte;
    options.saveDataPointer = c.saveDataPointer;
    DataMachine d(options);
    TestMachine &m = d.m();
    std::vector<uint8_t> out = Pattern(2048, 7);

    sim::Request &request =
        c.write ? m.start(Write10(kDiskTarget, 10, out)) : m.start(Read10(kDiskTarget, 10, 4));

    EXPECT_FALSE(request.completed);
    EXPECT_FALSE(m.port().driverReady()) << "no NextRequest";
    EXPECT_TRUE(m.errorLog().empty()) << "a disconnect is no failure";
    EXPECT_TRUE(d.target(kDiskTarget).taskPending() || d.target(kDiskTarget).connected());

    m.port().expireOldestRequest();

    EXPECT_TRUE(request.completed);
    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_EQ(request.status, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(m.port().timeouts(), 1u);
    EXPECT_EQ(d.medium(), d.image()) << "nothing stored from an unfinished write";

    // After the reset the target is served again.
    d.target(kDiskTarget).options().disconnects = false;
    EXPECT_TRUE(m.classDriver().readBlocks(kDiskTarget, 0, 10, 4, 512).ok());
  }
}

// ----------------------------------------------------------- FORMAT UNIT

TEST(DataOnChip, AFormatUnitThatOutlastsThePollLimitSucceeds) {
  struct Case {
    const char *name;
    bool firstContact; // the command phase follows the SDTR offer
    uint64_t formatNs;
  };
  // POLL_LIMIT reads take 16,777,216 x 255 ns, about 4.3 s.
  const Case cases[] = {
      {"10 minutes, command in the selection", false, 600'000'000'000},
      {"10 s, command after the offer", true, 10'000'000'000},
      {"1 s, within the poll limit", false, 1'000'000'000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DataMachine d;
    TestMachine &m = d.m();
    d.disk().options().formatNs = c.formatNs;
    if (!c.firstContact) {
      ASSERT_EQ(m.execute(TestUnitReady(kDiskTarget)).status, SRB_STATUS_SUCCESS);
    }
    sim::RequestOrder format = Execute(kDiskTarget, 0, {0x04, 0x00, 0x00, 0x00, 0x00, 0x00});
    format.timeoutSeconds = 3600;
    uint64_t before = m.system().machine().clock.now();

    sim::Request &request = m.execute(format);

    EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
    EXPECT_FALSE(request.completedByPortDriver);
    EXPECT_GE(m.system().machine().clock.now() - before, c.formatNs);
    EXPECT_TRUE(m.errorLog().empty());
    EXPECT_EQ(d.medium(), std::vector<uint8_t>(kMiB, 0x00));
  }
}

// ------------------------------------------------------ disk integrity

// Writes of several sizes at several places, a short write, a failed write
// and reads in between: the medium holds the pattern it started with and,
// laid over it, exactly the blocks the driver was asked to write (and the
// target took).
TEST(DataOnChip, TheDiskHoldsOnlyWhatTheDriverWasAskedToWrite) {
  DataMachine d;
  TestMachine &m = d.m();
  auto write = [&](uint32_t lba, uint32_t blocks, uint32_t seed) {
    std::vector<uint8_t> bytes = Pattern(blocks * 512u, seed);
    sim::Request &request = m.execute(Write10(kDiskTarget, lba, bytes));
    EXPECT_EQ(request.status, SRB_STATUS_SUCCESS);
    std::copy(bytes.begin(), bytes.end(), d.image().begin() + lba * 512u);
    m.port().forgetCompleted();
  };

  write(0, 1, 1);
  write(2047, 1, 2);
  write(5, 3, 3);
  write(100, 128, 4);
  write(6, 1, 5); // over an earlier write
  EXPECT_TRUE(m.classDriver().readBlocks(kDiskTarget, 0, 0, 200, 512).ok());
  write(1000, 255, 6);

  // Past the end: refused, nothing stored.
  sim::Request &refused = m.execute(Write10(kDiskTarget, 2047, Pattern(1024, 7)));
  EXPECT_EQ(refused.status, SRB_STATUS_ERROR);

  // A target that takes 700 of 1024 bytes stores its one whole block.
  d.target(kDiskTarget).options().shortWriteBytes = 700;
  std::vector<uint8_t> partial = Pattern(1024, 8);
  sim::Request &shortWrite = m.execute(Write10(kDiskTarget, 300, partial));
  EXPECT_EQ(shortWrite.status, SRB_STATUS_SUCCESS);
  EXPECT_EQ(shortWrite.srb.DataTransferLength, 700u);
  std::copy_n(partial.begin(), 512, d.image().begin() + 300 * 512);
  d.target(kDiskTarget).options().shortWriteBytes = sim::NO_LIMIT;

  EXPECT_EQ(d.medium(), d.image());
}

} // namespace
