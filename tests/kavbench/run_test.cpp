// Whole bench runs, in-process: the scan, the workloads and their
// summaries, the soak, the KAV95 start-up, image files, the trace, the VCD
// file and the JSON output.
#include "arguments.h"
#include "run.h"
#include "tgt_target.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct BenchRun {
  kavbench::RunResult result;
  std::string out;
  std::string err;
  const kavbench::Summary &summary() const { return *result.summary; }
};

std::string Contents(std::FILE *file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    text.append(buffer, got);
  }
  std::fclose(file);
  return text;
}

BenchRun RunBench(const std::vector<std::string> &arguments) {
  kavbench::ParsedArguments parsed = kavbench::ParseArguments(arguments);
  EXPECT_EQ(parsed.error, "");
  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  BenchRun run;
  run.result = kavbench::Run(parsed.options, kavbench::Console{out, err, nullptr});
  run.out = Contents(out);
  run.err = Contents(err);
  return run;
}

std::string FileText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A file of this test alone: ctest runs tests side by side.
std::string TempPath(const std::string &name) {
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + test->test_suite_name() + "." + test->name() + "." +
         std::to_string(getpid()) + "." + name;
}

TEST(KavbenchRun, TheDefaultMachineScansTwoSynchronousDisksAndVerifiesEveryByteWritten) {
  BenchRun run =
      RunBench({"--workload", "write", "--pattern", "sequential", "--size", "4K", "--count", "6"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out << run.err;
  ASSERT_EQ(run.result.scan.size(), 2u);
  EXPECT_EQ(run.result.scan[0].entry.target, 0);
  EXPECT_EQ(run.result.scan[1].entry.target, 2);
  for (const kavbench::ScanRow &row : run.result.scan) {
    EXPECT_EQ(row.entry.inquiry.vendor, "KAVSIM");
    ASSERT_TRUE(row.entry.capacity.has_value());
    EXPECT_EQ(row.entry.capacity->lastBlock, 8191u);
    EXPECT_EQ(row.agreement.periodNs(), 100u);
    EXPECT_EQ(row.agreement.offset, 15);
  }
  const kavbench::Summary &summary = run.summary();
  EXPECT_EQ(summary.errors(), 0u);
  EXPECT_EQ(summary.stats.operations, 6u);
  EXPECT_EQ(summary.stats.write.commands, 6u);
  EXPECT_EQ(summary.stats.read.commands, 6u) << "each write read back";
  EXPECT_EQ(summary.stats.bytesVerified, 24576u);
  EXPECT_EQ(summary.bytesMoved(), 49152u);
  EXPECT_EQ(summary.retries, 0u);
  EXPECT_EQ(summary.timeouts, 0u);
  EXPECT_EQ(summary.busResets, 0u);
  EXPECT_EQ(summary.accesses.reads[4] + summary.accesses.writes[4], 49152u / 4)
      << "the data move in 32-bit accesses";
  EXPECT_NE(run.out.find("Bus scan"), std::string::npos);
  EXPECT_NE(run.out.find("synchronous 100 ns, offset 15"), std::string::npos);
  EXPECT_NE(run.out.find("timing model     pccard16"), std::string::npos);
  EXPECT_NE(run.out.find("errors           0 "), std::string::npos);
}

TEST(KavbenchRun, EveryWorkloadEndsWithoutErrorAndChecksWhatItMoves) {
  for (const char *kind : {"read", "write", "verify", "mix"}) {
    for (const char *pattern : {"sequential", "random"}) {
      SCOPED_TRACE(std::string(kind) + " " + pattern);
      BenchRun run = RunBench({"--workload", kind, "--pattern", pattern, "--size", "512,16K",
                               "--count", "12", "--seed", "7"});
      ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
      const kavbench::Summary &summary = run.summary();
      EXPECT_EQ(summary.stats.operations, 12u);
      EXPECT_EQ(summary.errors(), 0u);
      EXPECT_GT(summary.stats.bytesVerified, 0u);
      std::string name = kind;
      if (name == "read") {
        EXPECT_EQ(summary.stats.write.commands + summary.stats.verify.commands, 0u);
      } else if (name == "write") {
        EXPECT_EQ(summary.stats.write.commands, 12u);
        EXPECT_EQ(summary.stats.verify.commands, 0u);
      } else if (name == "verify") {
        EXPECT_EQ(summary.stats.verify.commands, 12u);
        EXPECT_EQ(summary.stats.write.commands, 0u);
      }
    }
  }
}

TEST(KavbenchRun, ACountOfBytesMakesAsManyRequestsAsItTakes) {
  BenchRun run = RunBench({"--workload", "read", "--size", "16K", "--bytes", "64K"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN);
  EXPECT_EQ(run.summary().stats.operations, 4u);
  EXPECT_EQ(run.summary().stats.read.bytes, 65536u);
}

TEST(KavbenchRun, TheSameSeedGivesTheSameRun) {
  std::vector<std::string> arguments = {"--count", "10", "--size", "512,4K", "--seed", "42"};
  BenchRun first = RunBench(arguments);
  BenchRun second = RunBench(arguments);
  EXPECT_EQ(first.summary().simulatedNs, second.summary().simulatedNs);
  EXPECT_EQ(first.summary().stats.write.commands, second.summary().stats.write.commands);
  EXPECT_EQ(first.summary().accesses.reads[1], second.summary().accesses.reads[1]);
}

TEST(KavbenchRun, TargetKnobsShowInTheScan) {
  struct KnobCase {
    const char *knob;
    std::vector<uint8_t> ids; // IDs the scan finds
    const char *transfer;     // the agreement of ID 2, when found
  };
  const KnobCase cases[] = {
      {"2:sdtr=reject", {0, 2}, "asynchronous"},
      {"2:sdtr=ignore", {0, 2}, "asynchronous"},
      {"2:sdtr=counter:50:8", {0, 2}, "synchronous 200 ns, offset 8"},
      {"2:absent", {0}, nullptr},
  };
  for (const KnobCase &c : cases) {
    SCOPED_TRACE(c.knob);
    BenchRun run = RunBench({"--target", c.knob, "--count", "4", "--size", "4K"});
    ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
    std::vector<uint8_t> ids;
    for (const kavbench::ScanRow &row : run.result.scan) {
      ids.push_back(row.entry.target);
      if (row.entry.target == 2) {
        EXPECT_EQ(kavbench::AgreementText(row.agreement), c.transfer);
      }
    }
    EXPECT_EQ(ids, c.ids);
  }
}

TEST(KavbenchRun, AShortReadIsAResidualWhoseWholeBlocksAreChecked) {
  BenchRun run = RunBench({"--target", "2:short-read=1000", "--workload", "read", "--pattern",
                           "sequential", "--size", "4K", "--count", "4"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  const kavbench::Summary &summary = run.summary();
  EXPECT_EQ(summary.errors(), 0u);
  EXPECT_EQ(summary.residuals, 2u) << "ID 2 sends 1000 of 4096 bytes";
  EXPECT_EQ(summary.stats.read.bytes, 2u * 4096 + 2u * 1000);
  EXPECT_EQ(summary.stats.bytesVerified, 2u * 4096 + 2u * 512);
}

TEST(KavbenchRun, AShortWriteIsAResidualAndTheDiskHoldsWhatItTook) {
  // A target that takes fewer bytes than a 4 KiB WRITE(10) sends: the
  // residual must cover every byte it did not take, those still in the
  // chip FIFO included, or the read-back finds a block the driver called
  // written.
  for (uint32_t taken : {4095u, 4091u, 4080u, 4079u, 3584u, 507u}) {
    SCOPED_TRACE(taken);
    BenchRun run = RunBench({"--disk", "0=64K", "--target",
                             "0:short-write=" + std::to_string(taken), "--workload", "write",
                             "--pattern", "sequential", "--size", "4K", "--count", "2"});
    EXPECT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
    const kavbench::Summary &summary = run.summary();
    EXPECT_EQ(summary.stats.mismatches, 0u);
    EXPECT_EQ(summary.residuals, 2u);
    EXPECT_EQ(summary.stats.write.bytes, 2u * taken);
  }
}

TEST(KavbenchRun, AReadOnlyDiskIsReadWhereTheMixWouldWrite) {
  BenchRun run = RunBench({"--disk", "0=1M,ro", "--count", "20", "--size", "4K"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  ASSERT_EQ(run.result.scan.size(), 1u);
  EXPECT_TRUE(run.result.scan[0].writeProtected);
  EXPECT_EQ(run.summary().stats.write.commands, 0u);
  EXPECT_GT(run.summary().stats.verify.commands, 0u);
}

class KavbenchImage : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = TempPath("kavbench_image.img");
    std::string bytes(64 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); i++) {
      bytes[i] = static_cast<char>(i * 7 + i / 512);
    }
    original_ = bytes;
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_;
  std::string original_;
};

TEST_F(KavbenchImage, AnImageIsLearnedOnItsFirstReadAndCheckedOnTheNext) {
  BenchRun run = RunBench({"--disk", "3=" + path_ + ",ro", "--workload", "read", "--pattern",
                           "sequential", "--size", "16K", "--count", "8"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  ASSERT_EQ(run.result.scan.size(), 1u);
  EXPECT_EQ(run.result.scan[0].entry.capacity->lastBlock, 127u);
  EXPECT_EQ(run.summary().stats.bytesVerified, 65536u) << "the second pass";
  EXPECT_EQ(FileText(path_), original_);
}

TEST_F(KavbenchImage, WritesReachTheFileAndAreReadBackFromIt) {
  BenchRun run = RunBench({"--disk", "3=" + path_, "--workload", "write", "--pattern", "sequential",
                           "--size", "8K", "--count", "2"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  std::string after = FileText(path_);
  ASSERT_EQ(after.size(), original_.size());
  EXPECT_NE(after.substr(0, 16384), original_.substr(0, 16384));
  EXPECT_EQ(after.substr(16384), original_.substr(16384));
  EXPECT_EQ(run.summary().stats.bytesVerified, 16384u);
}

TEST(KavbenchRun, MachinesThatCannotBeBuiltOrRunAreRefused) {
  struct Refusal {
    std::vector<std::string> arguments;
    int exitCode;
    const char *words;
  };
  const Refusal refusals[] = {
      {{"--disk", "0=/nonexistent/disk.img"}, kavbench::EXIT_BAD_ARGUMENTS, "cannot open"},
      {{"--disk", "0=nbd://host/target"},
       kavbench::EXIT_BAD_ARGUMENTS,
       "no disks of the kind 'nbd://'"},
      // Nothing listens on port 1: the connection is refused at once.
      {{"--disk", "0=iscsi://127.0.0.1:1/iqn.2024-01.sim.kav:none/1"},
       kavbench::EXIT_BAD_ARGUMENTS,
       "disk 0=iscsi://127.0.0.1:1/"},
      {{"--disk", "0=64K", "--size", "128K"}, kavbench::EXIT_BAD_ARGUMENTS, "larger than the disk"},
      {{"--disk", "0=64K,ro", "--workload", "write"}, kavbench::EXIT_BAD_ARGUMENTS, "read-only"},
      {{"--disk", "0=64K", "--target", "0:absent"}, kavbench::EXIT_RUN_FAILED, "no disk answered"},
      {{"--vcd", "/nonexistent/bus.vcd"}, kavbench::EXIT_BAD_ARGUMENTS, "cannot create"},
#ifndef KAV_BENCH_PE_LOADER
      {{"--binary", "dist/KAVNT.SYS"}, kavbench::EXIT_BAD_ARGUMENTS, "only the 32-bit build"},
#endif
  };
  for (const Refusal &refusal : refusals) {
    SCOPED_TRACE(refusal.words);
    BenchRun run = RunBench(refusal.arguments);
    EXPECT_EQ(run.result.exitCode, refusal.exitCode);
    EXPECT_NE(run.result.error.find(refusal.words), std::string::npos) << run.result.error;
  }
}

TEST(KavbenchRun, Kav95ShowsWhereTheSearchFoundTheCardAndWhatTheTuningWrote) {
  BenchRun run = RunBench(
      {"--driver", "95", "--options", "/CIRRUS", "--socket", "2", "--count", "2", "--size", "4K"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  EXPECT_NE(run.out.find("Loading KAV95"), std::string::npos);
  EXPECT_NE(run.out.find("the card in socket 2"), std::string::npos);
  EXPECT_NE(run.out.find("card search: found the card in socket 2"), std::string::npos);
  // The Cirrus timing registers of the second socket, in the driver's order.
  size_t at = run.out.find("tuning wrote");
  ASSERT_NE(at, std::string::npos);
  std::string tuning = run.out.substr(at, run.out.find("DriverEntry") - at);
  const char *writes[] = {"0x3A=0x01 (socket 2)", "0x3D=0x01 (socket 2)", "0x3B=0x06 (socket 2)",
                          "0x3E=0x14 (socket 2)", "0x3C=0x08 (socket 2)", "0x3F=0x08 (socket 2)"};
  size_t from = 0;
  for (const char *write : writes) {
    size_t found = tuning.find(write, from);
    ASSERT_NE(found, std::string::npos) << write << " in " << tuning;
    from = found;
  }

  BenchRun plain = RunBench({"--driver", "95", "--count", "2", "--size", "4K"});
  ASSERT_EQ(plain.result.exitCode, kavbench::EXIT_CLEAN);
  EXPECT_NE(plain.out.find("card search: not run"), std::string::npos);
  EXPECT_NE(plain.out.find("tuning wrote: nothing"), std::string::npos);
  EXPECT_EQ(plain.result.scan.size(), 2u);
}

TEST(KavbenchRun, TheTraceListsEveryRegisterAccessWithItsMeaning) {
  BenchRun run = RunBench({"--workload", "read", "--pattern", "sequential", "--size", "512",
                           "--count", "1", "--trace"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN);
  const char *lines[] = {
      "             0  0x74D  0    REG_CONTROL       W   0x30       bank 0",
      "           255  0x743  0    REG_COMMAND       W   0x03       RESET BUS",
      "REG_INT_STATUS    R   0x80       bus reset",
      "REG_COMMAND       W   0x42       SELECT ATN",
      "REG_FIFO          W   0x28",
      "REG_STATUS        R   0x91       interrupt, count zero, phase DATA IN",
      "REG_PIO_DATA      R   0x00000000 32 x 32-bit, first shown",
      "1    REG_PIO_STATUS    R   0x59       room for a block, DMA on, empty, ended",
      "the same ",
  };
  for (const char *line : lines) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  }
}

TEST(KavbenchRun, JsonHoldsTheWholeRunAndNothingElseOnStdout) {
  BenchRun run = RunBench({"--json", "--count", "3", "--size", "4K", "--trace"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN);
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.front(), '{');
  EXPECT_EQ(run.out.substr(run.out.size() - 2), "}\n");
  for (const char *member :
       {"\"startup\": {", "\"driver\": \"KAVNT\"", "\"scan\": [", "\"summary\": {",
        "\"errors\": 0,", "\"requests\": 3,", "\"timingModel\": \"pccard16"}) {
    EXPECT_NE(run.out.find(member), std::string::npos) << member;
  }
  EXPECT_EQ(run.out.find("Bus scan"), std::string::npos);
  EXPECT_EQ(run.out.find("REG_COMMAND"), std::string::npos) << "the trace goes to stderr";
  EXPECT_NE(run.err.find("REG_COMMAND"), std::string::npos);
}

TEST(KavbenchRun, TheVcdFileHasScalarWiresExplicitStartValuesAndNoScopes) {
  std::string path = TempPath("kavbench_bus.vcd");
  BenchRun run = RunBench({"--workload", "read", "--count", "1", "--size", "512", "--vcd", path});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN);
  std::string vcd = FileText(path);
  std::remove(path.c_str());
  EXPECT_EQ(vcd.find("$scope"), std::string::npos);
  EXPECT_EQ(vcd.find("$dumpvars"), std::string::npos);
  EXPECT_NE(vcd.find("$timescale 1 ns $end"), std::string::npos);
  const char *wires[] = {"BSY", "SEL", "ATN", "MSG", "C/D", "I/O", "REQ", "ACK", "RST",
                         "DB0", "DB1", "DB2", "DB3", "DB4", "DB5", "DB6", "DB7"};
  char identifier = '!';
  for (const char *wire : wires) {
    std::string declaration = std::string("$var wire 1 ") + identifier + " " + wire + " $end\n";
    EXPECT_NE(vcd.find(declaration), std::string::npos) << declaration;
    identifier++;
  }
  // Time 0: every wire has its value.
  size_t zero = vcd.find("$enddefinitions $end\n#0\n");
  ASSERT_NE(zero, std::string::npos);
  std::istringstream lines(vcd.substr(zero + 24));
  std::string line;
  for (char id = '!'; id < '!' + 17; id++) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, std::string("0") + id);
  }
  // RST at the driver's bus reset; REQ pulses for the bytes.
  EXPECT_NE(vcd.find("#510\n1)\n"), std::string::npos);
  EXPECT_NE(vcd.find("\n1'\n"), std::string::npos);
  EXPECT_NE(vcd.find("\n0'\n"), std::string::npos);
}

TEST(KavbenchRun, ASoakRecoversFromItsFaultsAndAccountsForEveryRequest) {
  BenchRun run = RunBench({"--soak", "--count", "160", "--fault-rate", "50", "--faults",
                           "disconnect,busy,short,flood", "--size", "512,4K"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  const kavbench::Summary &summary = run.summary();
  ASSERT_TRUE(summary.soak.has_value());
  const kavbench::SoakStats &soak = *summary.soak;
  EXPECT_EQ(soak.requests, 160u);
  EXPECT_GT(soak.totalInjected(), 40u);
  EXPECT_EQ(soak.totalInjected(), soak.faulted);
  EXPECT_EQ(soak.injected[0] + soak.injected[5], 0u) << "no stalls or surplus data asked for";
  EXPECT_GT(soak.recovered, 0u);
  EXPECT_GT(soak.shortened, 0u);
  EXPECT_EQ(summary.stats.mismatches, 0u);
  EXPECT_EQ(soak.lost, 0u);
  EXPECT_EQ(soak.commandsIssued, soak.commandsEnded);
  EXPECT_EQ(soak.failedUnfaulted, 0u);
  EXPECT_GT(summary.retries, 0u) << "BUSY is retried";
  EXPECT_GT(summary.stats.bytesVerified, 0u);
  EXPECT_EQ(run.result.scan.size(), 4u) << "the soak's own machine";
  EXPECT_NE(run.out.find("data mismatches  0"), std::string::npos);
}

TEST(KavbenchRun, SoakStallsAndSurplusDataAreResolvedByTheTimeOutAndTheBusReset) {
  // The driver polls its full limit before it gives such a phase up: few.
  BenchRun run = RunBench({"--soak", "--count", "2", "--fault-rate", "100", "--faults",
                           "stall,surplus", "--size", "512", "--seed", "5"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out;
  const kavbench::Summary &summary = run.summary();
  EXPECT_EQ(summary.soak->faulted, 2u);
  EXPECT_EQ(summary.soak->recovered, 2u);
  EXPECT_EQ(summary.timeouts, 2u);
  EXPECT_EQ(summary.busResets, 2u);
  EXPECT_GE(summary.retries, 1u);
  EXPECT_EQ(summary.stats.mismatches, 0u);
  EXPECT_EQ(summary.soak->lost, 0u);
}

} // namespace

TEST(KavbenchRun, AnIscsiLunOfTgtIsScannedWithItsOwnInquiryAndVerified) {
  std::string reason = TgtTarget::skipReason();
  if (!reason.empty()) {
    GTEST_SKIP() << reason;
  }
  TgtTarget tgt{4 * 1024 * 1024};
  std::string error;
  ASSERT_TRUE(tgt.start(error)) << error;
  BenchRun run = RunBench({"--disk", "0=" + tgt.url(), "--workload", "mix", "--size", "4K,64K",
                           "--count", "40", "--seed", "3"});
  ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out << run.err;
  ASSERT_EQ(run.result.scan.size(), 1u);
  const kavbench::ScanRow &row = run.result.scan[0];
  // tgt's own INQUIRY data and the image's size, not the simulated disk's.
  EXPECT_EQ(row.entry.inquiry.vendor, "IET");
  EXPECT_NE(row.entry.inquiry.product.find("VIRTUAL-DISK"), std::string::npos);
  ASSERT_TRUE(row.entry.capacity.has_value());
  EXPECT_EQ(row.entry.capacity->lastBlock, 4u * 1024 * 1024 / 512 - 1);
  EXPECT_NE(run.out.find("IET"), std::string::npos);
  EXPECT_EQ(run.summary().errors(), 0u);
  EXPECT_GT(run.summary().stats.bytesVerified, 0u);
}

// The data loops' accesses against their own pattern: one status read and 32
// dword reads per 128 bytes in, one status read and 16 dword writes per 64
// bytes out. A command's first block waits for the bus (some 50 status polls
// at 10 MB/s), which long transfers make small.
TEST(KavbenchRun, DataLoopsStayAtTheirAccessPatternsFloor) {
  for (const char *workload : {"read", "write"}) {
    SCOPED_TRACE(workload);
    BenchRun run = RunBench(
        {"--workload", workload, "--pattern", "sequential", "--size", "1M", "--count", "4"});
    ASSERT_EQ(run.result.exitCode, kavbench::EXIT_CLEAN) << run.out << run.err;
    const kavbench::Summary &summary = run.summary();
    double kib = static_cast<double>(summary.bytesMoved()) / 1024.0;
    double dwordsPerKiB = static_cast<double>(summary.dataPhaseAccesses[4]) / kib;
    double bytesPerKiB = static_cast<double>(summary.dataPhaseAccesses[1]) / kib;
    EXPECT_DOUBLE_EQ(dwordsPerKiB, 256.0);
    EXPECT_EQ(summary.dataPhaseAccesses[2], 0u);
    EXPECT_GE(bytesPerKiB, summary.floorPerKiB8());
    EXPECT_LE(bytesPerKiB, summary.floorPerKiB8() * 1.01);
    EXPECT_DOUBLE_EQ(summary.floorPerKiB8(), std::string(workload) == "read" ? 8.0 : 12.0);
  }
}
