// The bench's command line and machine descriptions: what each option makes
// of the run, what is refused and with which words, the driver's option
// strings checked the way each flavour reads them, and config files.
#include "arguments.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kavbench::ParseArguments;
using kavbench::ParsedArguments;

ParsedArguments Parse(std::vector<std::string> arguments) {
  return ParseArguments(arguments);
}

TEST(KavbenchArguments, NoArgumentsGiveTheEmbeddedDefaultMachine) {
  ParsedArguments parsed = Parse({});
  ASSERT_EQ(parsed.error, "");
  const kavbench::BenchOptions &options = parsed.options;
  EXPECT_EQ(options.machine.flavour, sim::Flavour::KavNt);
  EXPECT_FALSE(options.machine.options.has_value()) << "no option string at all";
  std::vector<kavbench::DiskDescription> disks = kavbench::DisksOf(options.machine);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].id, 0);
  EXPECT_EQ(disks[1].id, 2);
  for (const kavbench::DiskDescription &disk : disks) {
    EXPECT_EQ(disk.source, kavbench::DiskSource::Memory);
    EXPECT_EQ(disk.bytes, 4u * 1024 * 1024);
    EXPECT_FALSE(disk.readOnly);
  }
  EXPECT_EQ(options.workload.kind, kavbench::WorkloadKind::Mix);
  EXPECT_EQ(options.workload.count, 48u);
  EXPECT_EQ(options.workload.sizes, std::vector<uint32_t>{65536});
  EXPECT_FALSE(options.soak);
}

TEST(KavbenchArguments, OptionsTakeTheirValuesEitherWay) {
  ParsedArguments parsed =
      Parse({"--driver", "95", "--options=/CIRRUS /AS3", "--socket=2", "--workload", "verify",
             "--pattern=sequential", "--size", "512,4K,1M", "--count=7", "--seed", "99", "--trace",
             "--vcd", "bus.vcd", "--json"});
  ASSERT_EQ(parsed.error, "");
  const kavbench::BenchOptions &options = parsed.options;
  EXPECT_EQ(options.machine.flavour, sim::Flavour::Kav95);
  EXPECT_EQ(options.machine.options, std::string("/CIRRUS /AS3"));
  EXPECT_EQ(options.machine.socket, 2);
  EXPECT_EQ(options.workload.kind, kavbench::WorkloadKind::Verify);
  EXPECT_EQ(options.workload.pattern, kavbench::Pattern::Sequential);
  EXPECT_EQ(options.workload.sizes, (std::vector<uint32_t>{512, 4096, 1048576}));
  EXPECT_EQ(options.workload.count, 7u);
  EXPECT_EQ(options.workload.seed, 99u);
  EXPECT_TRUE(options.trace);
  EXPECT_EQ(options.vcdPath, "bus.vcd");
  EXPECT_TRUE(options.json);
}

TEST(KavbenchArguments, DisksReplaceTheDefaultAndNameTheirSource) {
  ParsedArguments parsed =
      Parse({"--disk", "1=64K", "--disk", "3:2=images/a.img,ro", "--disk", "5=iscsi://host/t"});
  ASSERT_EQ(parsed.error, "");
  const std::vector<kavbench::DiskDescription> &disks = parsed.options.machine.disks;
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].source, kavbench::DiskSource::Memory);
  EXPECT_EQ(disks[0].bytes, 65536u);
  EXPECT_EQ(disks[1].source, kavbench::DiskSource::Image);
  EXPECT_EQ(disks[1].id, 3);
  EXPECT_EQ(disks[1].lun, 2);
  EXPECT_EQ(disks[1].location, "images/a.img");
  EXPECT_TRUE(disks[1].readOnly);
  EXPECT_EQ(disks[2].source, kavbench::DiskSource::Url);
  EXPECT_EQ(disks[2].location, "iscsi://host/t");
}

TEST(KavbenchArguments, TargetKnobsAddUpPerTarget) {
  ParsedArguments parsed =
      Parse({"--target", "3:sdtr=counter:50:8,disconnect=512", "--target", "3:busy=2", "--target",
             "4:absent", "--target", "5:stall=status,short-read=100,flood=3"});
  ASSERT_EQ(parsed.error, "");
  const std::vector<kavbench::TargetDescription> &targets = parsed.options.machine.targets;
  ASSERT_EQ(targets.size(), 3u);
  const sim::TargetOptions &three = targets[0].options;
  EXPECT_EQ(three.sdtrAnswer, sim::SdtrAnswer::CounterPropose);
  EXPECT_EQ(three.counterPeriod, 50);
  EXPECT_EQ(three.counterOffset, 8);
  EXPECT_TRUE(three.disconnects);
  EXPECT_EQ(three.disconnectAtByte, 512u);
  EXPECT_EQ(three.busyCommands, 2u);
  EXPECT_FALSE(targets[1].options.respondsToSelection);
  const sim::TargetOptions &five = targets[2].options;
  ASSERT_TRUE(five.stallIn.has_value());
  EXPECT_EQ(*five.stallIn, sim::Phase::Status);
  EXPECT_EQ(five.shortReadBytes, 100u);
  EXPECT_EQ(five.messageFloodBytes, 3u);
}

TEST(KavbenchArguments, ABinaryTakesItsFlavourFromItsNameUnlessTold) {
  EXPECT_EQ(Parse({"--binary", "dist/KAV95.MPD"}).options.machine.flavour, sim::Flavour::Kav95);
  EXPECT_EQ(Parse({"--binary", "dist/kavnt.sys"}).options.machine.flavour, sim::Flavour::KavNt);
  EXPECT_EQ(Parse({"--binary", "x.bin", "--driver", "95"}).options.machine.flavour,
            sim::Flavour::Kav95);
  EXPECT_NE(Parse({"--binary", "x.bin"}).error.find("name its flavour with --driver"),
            std::string::npos);
}

TEST(KavbenchArguments, TheSoakHasItsOwnCountAndSizes) {
  ParsedArguments parsed = Parse({"--soak"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.soak);
  EXPECT_EQ(parsed.options.workload.count, 100000u);
  EXPECT_EQ(parsed.options.workload.sizes, (std::vector<uint32_t>{512, 4096, 16384, 65536}));
  EXPECT_EQ(parsed.options.faultPercent, 5u);
  EXPECT_EQ(kavbench::DisksOf(parsed.options.machine).size(), 4u) << "several targets";
  ParsedArguments counted = Parse({"--soak", "--count", "300", "--fault-rate", "40"});
  EXPECT_EQ(counted.options.workload.count, 300u);
  EXPECT_EQ(counted.options.faultPercent, 40u);
}

struct Refusal {
  std::vector<std::string> arguments;
  const char *words; // the message must hold them
};

TEST(KavbenchArguments, RefusesWhatMakesNoSenseWithOneLineSayingWhy) {
  const std::string far(80, ' ');
  const std::vector<Refusal> refusals = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--count"}, "--count needs a value"},
      {{"--json=yes"}, "--json takes no value"},
      {{"--driver", "98"}, "unknown driver '98'"},
      {{"--disk", "8=4M"}, "SCSI ID 8 is out of range"},
      {{"--disk", "7=4M"}, "SCSI ID 7 is the adapter's own"},
      {{"--disk", "1:8=4M"}, "LUN '8' is out of range"},
      {{"--disk", "x=4M"}, "the SCSI ID 'x' is not a number"},
      {{"--disk", "2=1000"}, "not a whole number of 512-byte blocks"},
      {{"--disk", "2=2G"}, "larger than a memory disk may be"},
      {{"--disk", "2"}, "a disk is written ID[:LUN]=SIZE|PATH[,ro]"},
      {{"--disk", "2=4M", "--disk", "2=1M"}, "two devices at ID 2 LUN 0"},
      {{"--target", "3:wobble"}, "unknown target knob 'wobble'"},
      {{"--target", "3:stall=sideways"}, "stall takes a phase"},
      {{"--target", "3:absent=1"}, "absent takes no value"},
      {{"--target", "3:busy"}, "busy needs a value"},
      {{"--target", "7:absent"}, "SCSI ID 7 is the adapter's own"},
      {{"--socket", "2"}, "KAVNT's machine has no socket controller"},
      {{"--driver", "95", "--socket", "3"}, "socket 1 or 2"},
      {{"--size", "1000"}, "not a multiple of 512 bytes"},
      {{"--size", "32M"}, "not a multiple of 512 bytes from 512 to 16M-512"},
      {{"--count", "0"}, "a count of 0 makes no workload"},
      {{"--count", "-3"}, "'-3' is not a number"},
      {{"--workload", "scrub"}, "unknown workload 'scrub'"},
      {{"--soak", "--workload", "read"}, "--soak runs a random mix of its own"},
      {{"--fault-rate", "101"}, "too large"},
      {{"--config", "/nonexistent/machine.cfg"}, "cannot read /nonexistent/machine.cfg"},
      // The driver's option string, as each flavour reads it.
      {{"--options", "/XYZ"}, "unknown option keyword '/XYZ'"},
      {{"--options", "/CIRRUS"}, "KAVNT knows no keyword '/CIRRUS'"},
      {{"--options", "/AS2 /AS3"}, "KAVNT reads only the first /AS: '/AS3' at position 5"},
      {{"--options", "/AS9"}, "'/AS' takes a target ID 0 to 7, not '9'"},
      {{"--options", "AS2"}, "unexpected text 'AS2' at position 0"},
      {{"--options", far + "/AS1"}, "starts at position 80"},
      {{"--driver", "95", "--options", "/Cirrus"}, "all upper or all lower case, not 'Cirrus'"},
      {{"--driver", "95", "--options", "/PCICADR=1/AS2"},
       "'/PCICADR=' takes four hexadecimal digits, not '1/AS'"},
      {{"--driver", "95", "--options", "/MEMBASE=C810"}, "a multiple of 0x100"},
      {{"--driver", "95", "--options", "/SLOT=3"}, "'/SLOT=' takes the socket, 1 or 2"},
      {{"--driver", "95", "--options", "/ND-AS1"}, "'/ND' takes one character"},
      {{"--driver", "95", "--options", "/TP560/AS1"}, "'/AS1' at position 6 is skipped"},
  };
  for (const Refusal &refusal : refusals) {
    std::string joined;
    for (const std::string &argument : refusal.arguments) {
      joined += argument + " ";
    }
    SCOPED_TRACE(joined);
    ParsedArguments parsed = Parse(refusal.arguments);
    EXPECT_NE(parsed.error.find(refusal.words), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line";
  }
}

TEST(KavbenchArguments, OptionStringsThatEachFlavourReadsAsWritten) {
  const std::vector<std::string> kavnt = {"", "/AS2", "-as6 /ND1", "  /nd0  /As3 "};
  for (const std::string &text : kavnt) {
    EXPECT_EQ(kavbench::CheckOptionString(sim::Flavour::KavNt, text), "") << text;
  }
  const std::vector<std::string> kav95 = {"/AS1 /AS2",      "/CIRRUS",
                                          "/slot=1 /tp560", "/PCICADR=03E2 /MEMBASE=D000",
                                          "/ND1 /AS1",      "-SLOT=1 -TP560 -AS3"};
  for (const std::string &text : kav95) {
    EXPECT_EQ(kavbench::CheckOptionString(sim::Flavour::Kav95, text), "") << text;
  }
}

TEST(KavbenchArguments, RawOptionsReachTheDriverUnchecked) {
  ParsedArguments parsed = Parse({"--raw-options", "/XYZ junk"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.machine.options, std::string("/XYZ junk"));
  EXPECT_TRUE(parsed.options.machine.optionsUnchecked);
}

TEST(KavbenchArguments, SizesAndNumbersAreReadStrictly) {
  struct SizeCase {
    const char *text;
    uint64_t bytes; // 0: refused
  };
  const SizeCase cases[] = {{"512", 512},
                            {"64K", 65536},
                            {"4M", 4194304},
                            {"1G", 1073741824},
                            {"2KiB", 2048},
                            {"7m", 7340032},
                            {"", 0},
                            {"K", 0},
                            {"4T", 0},
                            {"12x", 0},
                            {"99999999999999999999", 0}};
  for (const SizeCase &c : cases) {
    uint64_t bytes = 0;
    std::string error = kavbench::ParseSize(c.text, bytes);
    if (c.bytes == 0) {
      EXPECT_NE(error, "") << c.text;
    } else {
      EXPECT_EQ(error, "") << c.text;
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

class KavbenchConfigFile : public ::testing::Test {
protected:
  std::string write(const std::string &text) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + test->name() + "." + std::to_string(getpid()) +
            ".kavbench_machine.cfg";
    std::ofstream(path_) << text;
    return path_;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_;
};

TEST_F(KavbenchConfigFile, HoldsOptionsOnePerLineThatTheCommandLineCanOverride) {
  std::string path = write("# a KAV95 machine\n"
                           "\n"
                           "driver 95\n"
                           "options /CIRRUS /AS3\n"
                           "  disk 1=1M  \n"
                           "--disk 4:1=64K,ro\n"
                           "target 4:sdtr=reject\n"
                           "socket 2\n"
                           "json\n");
  ParsedArguments parsed = Parse({"--config", path, "--socket", "1"});
  ASSERT_EQ(parsed.error, "");
  const kavbench::MachineDescription &machine = parsed.options.machine;
  EXPECT_EQ(machine.flavour, sim::Flavour::Kav95);
  EXPECT_EQ(machine.options, std::string("/CIRRUS /AS3"));
  ASSERT_EQ(machine.disks.size(), 2u);
  EXPECT_EQ(machine.disks[1].lun, 1);
  EXPECT_TRUE(machine.disks[1].readOnly);
  ASSERT_EQ(machine.targets.size(), 1u);
  EXPECT_EQ(machine.targets[0].options.sdtrAnswer, sim::SdtrAnswer::Reject);
  EXPECT_EQ(machine.socket, 1) << "the later option wins";
  EXPECT_TRUE(parsed.options.json);
}

TEST_F(KavbenchConfigFile, NamesTheFileAndLineOfWhatItRefuses) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"driver nt\n\ndsk 0=4M\n", ":3: unknown option 'dsk'"},
      {"disk 9=4M\n", ":1: disk: SCSI ID 9 is out of range"},
      {"json please\n", ":1: json takes no value"},
      {"count\n", ":1: count needs a value"},
      {"config other.cfg\n", ":1: config: a config file cannot read another"},
  };
  for (const auto &[text, words] : cases) {
    std::string path = write(text);
    ParsedArguments parsed = Parse({"--config", path});
    EXPECT_EQ(parsed.error.rfind(path, 0), 0u) << parsed.error;
    EXPECT_NE(parsed.error.find(words), std::string::npos) << parsed.error;
  }
}

TEST(KavbenchArguments, HelpNamesEveryOptionAndKnob) {
  std::string help = kavbench::HelpText();
  for (const char *name :
       {"--driver", "--binary",   "--options",    "--disk",  "--target", "--socket",
        "--config", "--workload", "--pattern",    "--size",  "--count",  "--bytes",
        "--seed",   "--soak",     "--fault-rate", "--trace", "--vcd",    "--json",
        "sdtr=",    "disconnect", "short-read=",  "stall=",  "absent"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_NE(Parse({"--help", "--disk", "9=1M"}).error, "") << "a bad value is still refused";
}

} // namespace
