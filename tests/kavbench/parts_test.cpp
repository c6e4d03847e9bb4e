// The bench's parts on their own: the timing model's figures, what the
// shadow of a disk accepts, the register trace's decoding, the JSON writer.
#include "json.h"
#include "shadow.h"
#include "timing_model.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// ------------------------------------------------------------ timing model

TEST(KavbenchTimingModel, SixtyFourKiBAreBoundByThePcCardBusWhenSynchronous) {
  kavbench::TimingModel model;
  // 16,384 32-bit accesses of 510 ns, slower than 65,536 bytes of 100 ns on
  // the SCSI bus; plus arbitration (3,200 ns) and 13 asynchronous bytes of
  // 400 ns.
  sim::TransferAgreement fast{25, 15};
  EXPECT_EQ(model.limitNs(65536, fast), 8355840u + 3200u + 5200u);
  EXPECT_NEAR(kavbench::TimingModel::megabytesPerSecond(65536, model.limitNs(65536, fast)), 7.835,
              0.001);
}

TEST(KavbenchTimingModel, AsynchronousTransferIsBoundByTheScsiBus) {
  kavbench::TimingModel model;
  sim::TransferAgreement none;
  EXPECT_EQ(model.limitNs(65536, none), 26214400u + 8400u);
  sim::TransferAgreement slow{50, 8}; // 200 ns
  EXPECT_EQ(model.limitNs(512, slow), 102400u + 8400u);
}

TEST(KavbenchTimingModel, FollowsTheMachinesAccessCostAndNamesItself) {
  kavbench::TimingModel model;
  model.cost.dword = 1000;
  EXPECT_EQ(model.limitNs(4096, sim::TransferAgreement{25, 15}), 1024000u + 8400u);
  std::string text = model.describe();
  EXPECT_EQ(text.rfind("pccard16: ", 0), 0u);
  EXPECT_NE(text.find("1000 ns per 32-bit access"), std::string::npos);
}

// ------------------------------------------------------------------ shadow

constexpr uint32_t BLOCK = kavbench::DiskShadow::BLOCK;

TEST(KavbenchShadow, AMemoryDiskStartsAsZerosAndEveryWriteIsItsOwn) {
  kavbench::DiskShadow shadow(1, 0, 0, 8, true);
  std::vector<uint8_t> data(2 * BLOCK, 0);
  uint64_t verified = 0;
  EXPECT_TRUE(shadow.check(3, 2, data.data(), verified).empty());
  EXPECT_EQ(verified, 2u * BLOCK);

  uint32_t generation = shadow.newGeneration();
  shadow.fill(3, 2, generation, data.data());
  std::vector<uint8_t> again(2 * BLOCK);
  shadow.fill(3, 2, generation, again.data());
  EXPECT_EQ(data, again) << "the same write, the same bytes";
  std::vector<uint8_t> elsewhere(BLOCK);
  shadow.fill(4, 1, generation, elsewhere.data());
  EXPECT_NE(std::vector<uint8_t>(data.begin(), data.begin() + BLOCK), elsewhere)
      << "each block its own bytes";

  shadow.wrote(3, 2, generation);
  EXPECT_TRUE(shadow.check(3, 2, data.data(), verified).empty());
  data[BLOCK + 17] ^= 0x01;
  EXPECT_EQ(shadow.check(3, 2, data.data(), verified), std::vector<uint32_t>{4});
  std::vector<uint8_t> old(BLOCK, 0);
  EXPECT_EQ(shadow.check(3, 1, old.data(), verified), std::vector<uint32_t>{3})
      << "the block's content before the write no longer passes";
}

TEST(KavbenchShadow, AnImageIsLearnedOnceAndHeldToIt) {
  kavbench::DiskShadow shadow(1, 0, 0, 4, false);
  std::vector<uint8_t> seen(BLOCK, 0x5A);
  uint64_t verified = 0;
  EXPECT_TRUE(shadow.check(0, 1, seen.data(), verified).empty());
  EXPECT_EQ(verified, 0u) << "learned, not verified";
  EXPECT_TRUE(shadow.check(0, 1, seen.data(), verified).empty());
  EXPECT_EQ(verified, uint64_t{BLOCK});
  seen[0] = 0;
  EXPECT_EQ(shadow.check(0, 1, seen.data(), verified).size(), 1u);
  std::vector<uint8_t> out(BLOCK);
  EXPECT_FALSE(shadow.expected(0, 1, out.data())) << "only its hash is kept";
}

TEST(KavbenchShadow, AfterAFailedWriteEitherContentPassesAndTheOneReadStays) {
  for (bool storedTheWrite : {false, true}) {
    SCOPED_TRACE(storedTheWrite ? "the disk stored the write" : "the disk kept the old block");
    kavbench::DiskShadow shadow(9, 1, 2, 4, true);
    uint32_t generation = shadow.newGeneration();
    std::vector<uint8_t> written(BLOCK);
    shadow.fill(1, 1, generation, written.data());
    shadow.mayHaveWritten(1, 1, generation);
    std::vector<uint8_t> zeros(BLOCK, 0);
    std::vector<uint8_t> other(BLOCK, 0x11);
    uint64_t verified = 0;
    EXPECT_EQ(shadow.check(1, 1, other.data(), verified).size(), 1u) << "a third content fails";
    const std::vector<uint8_t> &read = storedTheWrite ? written : zeros;
    EXPECT_TRUE(shadow.check(1, 1, read.data(), verified).empty());
    const std::vector<uint8_t> &notRead = storedTheWrite ? zeros : written;
    EXPECT_EQ(shadow.check(1, 1, notRead.data(), verified).size(), 1u)
        << "once read, the block holds that content";
    std::vector<uint8_t> expected(BLOCK);
    ASSERT_TRUE(shadow.expected(1, 1, expected.data()));
    EXPECT_EQ(expected, read);
  }
}

TEST(KavbenchRandom, IsTheSameOnEveryHostAndStaysInBounds) {
  kavbench::Random random(1);
  EXPECT_EQ(random.next(), 0x910A2DEC89025CC1ull);
  for (int i = 0; i < 1000; i++) {
    EXPECT_LT(random.below(7), 7u);
  }
  EXPECT_EQ(random.below(0), 0u);
}

// ------------------------------------------------------------------- trace

TEST(KavbenchTrace, NamesRegistersByBankAndDirectionAndDecodesTheirValues) {
  kavbench::TraceLayout layout; // chip at 0x340, 10-bit decoding
  kavbench::RegisterTrace trace(nullptr, layout);
  auto line = [&](uint32_t port, bool write, uint32_t value, uint8_t width = 1,
                  uint32_t count = 1) {
    return trace.line(sim::IoAccess{1234, port, width, write, value, count});
  };
  EXPECT_EQ(line(0x743, true, 0x42),
            "          1234  0x743  0    REG_COMMAND       W   0x42       SELECT ATN");
  EXPECT_NE(line(0x744, false, 0x97)
                .find("REG_STATUS        R   0x97       interrupt, count "
                      "zero, phase MESSAGE IN"),
            std::string::npos);
  EXPECT_NE(line(0x744, true, 0x02).find("REG_DEST_ID       W   0x02       target 2"),
            std::string::npos);
  EXPECT_NE(line(0x745, false, 0x18).find("bus service, function complete"), std::string::npos);
  EXPECT_NE(line(0x74D, true, 0x80).find("bank 1"), std::string::npos);
  EXPECT_NE(line(0x748, false, 0x1D)
                .find("1    REG_PIO_STATUS    R   0x1D       room for a "
                      "block, output, DMA on, empty"),
            std::string::npos);
  EXPECT_NE(line(0x744, true, 0x04030201, 4, 16)
                .find("REG_PIO_DATA      W   0x04030201 16 x "
                      "32-bit"),
            std::string::npos);
  EXPECT_NE(line(0x74E, false, 0x0A).find("REG_CHIP_ID"), std::string::npos);
  EXPECT_NE(line(0x743, false, 0xFF).find("(none)"), std::string::npos) << "write-only";
  EXPECT_NE(line(0x300, false, 0xFF).find("(no device)"), std::string::npos);
}

TEST(KavbenchTrace, ARepeatedPollIsListedOnceWithItsCount) {
  std::FILE *out = std::tmpfile();
  kavbench::RegisterTrace trace(out, kavbench::TraceLayout{});
  for (uint64_t i = 0; i < 5; i++) {
    trace.access(sim::IoAccess{i * 255, 0x744, 1, false, 0x10, 1});
  }
  trace.access(sim::IoAccess{5 * 255, 0x744, 1, false, 0x90, 1});
  trace.finish();
  std::rewind(out);
  char text[4096] = {};
  size_t length = std::fread(text, 1, sizeof(text) - 1, out);
  std::fclose(out);
  std::string listing(text, length);
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 3);
  EXPECT_NE(listing.find("          1020 "), std::string::npos);
  EXPECT_NE(listing.find("the same 4 more times"), std::string::npos);
  EXPECT_NE(listing.find("0x90       interrupt"), std::string::npos);
}

TEST(KavbenchTrace, FollowsTheSocketControllersIndex) {
  kavbench::TraceLayout layout;
  layout.hasPcic = true;
  kavbench::RegisterTrace trace(nullptr, layout);
  EXPECT_NE(trace.line(sim::IoAccess{0, 0x3E0, 1, true, 0x41, 1})
                .find("socket 2 0x01 interface "
                      "status"),
            std::string::npos);
  EXPECT_NE(trace.line(sim::IoAccess{0, 0x3E1, 1, false, 0x4C, 1})
                .find("PCIC data         R   "
                      "0x4C       socket 2 0x01"),
            std::string::npos);
}

// -------------------------------------------------------------------- JSON

TEST(KavbenchJson, WritesNestedValuesAndEscapesText) {
  kavbench::JsonWriter json;
  json.beginObject();
  json.string("text", "a \"quoted\"\\ line\n\x01");
  json.number("count", uint64_t{3});
  json.number("ratio", 0.5);
  json.boolean("ok", true);
  json.beginArray("list");
  json.number(nullptr, int64_t{-1});
  json.null(nullptr);
  json.endArray();
  json.beginArray("empty");
  json.endArray();
  json.endObject();
  EXPECT_EQ(json.text(), "{\n"
                         "  \"text\": \"a \\\"quoted\\\"\\\\ line\\n\\u0001\",\n"
                         "  \"count\": 3,\n"
                         "  \"ratio\": 0.5,\n"
                         "  \"ok\": true,\n"
                         "  \"list\": [\n"
                         "    -1,\n"
                         "    null\n"
                         "  ],\n"
                         "  \"empty\": []\n"
                         "}\n");
}

} // namespace
