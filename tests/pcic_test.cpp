// The socket controller model: its two register sets behind the index and
// data ports, the interface status, memory window 0 and the host page that
// shows the card's attribute memory, and the card's CIS layout.
#include "pcic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::PcCard;
using sim::Pcic;

constexpr uint32_t kIndex = 0x3E0;
constexpr uint32_t kData = 0x3E1;

struct PcicMachine {
  explicit PcicMachine(sim::PcicConfig config = {}) : pcic(config) { pcic.attach(machine); }

  uint8_t Read(uint8_t index) {
    machine.io.write(kIndex, 1, index);
    return static_cast<uint8_t>(machine.io.read(kData, 1));
  }
  void Write(uint8_t index, uint8_t value) {
    machine.io.write(kIndex, 1, index);
    machine.io.write(kData, 1, value);
  }
  // Window 0 of a socket on the page at 0xC8000, attribute memory, offset 0.
  void OpenWindow(uint8_t socketBit) {
    Write(socketBit | 0x10, 0xC8);
    Write(socketBit | 0x12, 0xC8);
    Write(socketBit | 0x14, 0x00);
    Write(socketBit | 0x15, 0x40);
    Write(socketBit | 0x06, 0x01);
  }
  const uint8_t *HostPage() { return machine.memory(0xC8000, 4096); }

  sim::Machine machine;
  Pcic pcic;
};

PcCard SmallCard() {
  // CIS bytes 0x01 0x02 0xAA 0xBB, then the end tuple.
  return PcCard::FromTuples({sim::CisTuple(0x01, {0xAA, 0xBB})});
}

TEST(Pcic, TheTwoSocketsHaveTheirOwnRegistersBehindOnePortPair) {
  PcicMachine m;
  m.Write(0x07, 0x12);
  m.Write(0x47, 0x34);
  EXPECT_EQ(m.Read(0x07), 0x12);
  EXPECT_EQ(m.Read(0x47), 0x34);
  EXPECT_EQ(m.pcic.registerValue(1, 0x07), 0x12);
  EXPECT_EQ(m.pcic.registerValue(2, 0x07), 0x34);
  EXPECT_EQ(m.machine.io.read(kIndex, 1), 0x47u); // the index reads back

  // Identification is fixed; the global control register is one for both.
  m.Write(0x00, 0x55);
  EXPECT_EQ(m.Read(0x00), 0x83);
  EXPECT_EQ(m.Read(0x40), 0x83);
  m.Write(0x1E, 0x5A);
  EXPECT_EQ(m.Read(0x5E), 0x5A);
  // Above 0x7F there is no controller.
  m.Write(0x87, 0x99);
  EXPECT_EQ(m.Read(0x87), 0xFF);
  EXPECT_EQ(m.Read(0x07), 0x12);
}

TEST(Pcic, DecodesItsTwoPortsAtAnyBase) {
  sim::PcicConfig config;
  config.ioBase = 0x3E2;
  PcicMachine m(config);
  m.machine.io.write(0x3E2, 1, 0x3A);
  m.machine.io.write(0x3E3, 1, 0x07);
  EXPECT_EQ(m.pcic.registerValue(1, 0x3A), 0x07);
  EXPECT_EQ(m.machine.io.read(0x3E1, 1), 0xFFu); // 0x3E0/0x3E1 float now
  // A word access is two byte accesses: index, then data.
  m.machine.io.write(0x3E2, 2, 0x113B);
  EXPECT_EQ(m.pcic.registerValue(1, 0x3B), 0x11);
}

TEST(Pcic, InterfaceStatusShowsTheCardDetectLines) {
  struct Case {
    bool card;
    uint8_t detectLines;
    uint8_t power;
    uint8_t status;
  } cases[] = {
      {false, 0x0C, 0x00, 0x00}, {true, 0x0C, 0x00, 0x2F}, {true, 0x04, 0x00, 0x27},
      {true, 0x08, 0x00, 0x2B},  {true, 0x0C, 0x90, 0x6F},
  };
  for (const Case &c : cases) {
    PcicMachine m;
    if (c.card) {
      m.pcic.insertCard(2, SmallCard(), c.detectLines);
    }
    m.Write(0x42, c.power);
    EXPECT_EQ(m.Read(0x41), c.status) << "lines " << int(c.detectLines);
    EXPECT_EQ(m.Read(0x01), 0x00); // the first socket stays empty
    m.Write(0x41, 0xFF);           // read-only
    EXPECT_EQ(m.Read(0x41), c.status);
  }
}

TEST(Pcic, TheHostPageShowsAttributeMemoryOnlyWhileWindowZeroMapsIt) {
  struct Case {
    const char *what;
    uint8_t index; // register changed after the window was opened
    uint8_t value;
    bool shows;
  } cases[] = {
      {"window as opened", 0x07, 0x00, true},
      {"window 0 disabled", 0x06, 0xFE, false},
      {"start above the page", 0x10, 0xC9, false},
      {"stop below the page", 0x12, 0xC7, false},
      {"start address bits 20-23 set", 0x11, 0x01, false},
      {"width and wait bits only", 0x11, 0xC0, true},
      {"common memory", 0x15, 0x00, false},
      {"write-protect bit", 0x15, 0xC0, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PcicMachine m;
    m.pcic.insertCard(1, SmallCard());
    m.OpenWindow(0x00);
    m.Write(c.index, c.value);
    const uint8_t *page = m.HostPage();
    ASSERT_EQ(page, m.pcic.window());
    if (c.shows) {
      // CIS byte k at offset 2k; the odd bytes float.
      EXPECT_EQ(page[0], 0x01);
      EXPECT_EQ(page[1], 0xFF);
      EXPECT_EQ(page[2], 0x02);
      EXPECT_EQ(page[4], 0xAA);
      EXPECT_EQ(page[6], 0xBB);
      EXPECT_EQ(page[8], 0xFF); // end tuple
    } else {
      for (uint32_t offset : {0u, 2u, 4u, 6u}) {
        EXPECT_EQ(page[offset], 0xFF) << offset;
      }
    }
  }
}

TEST(Pcic, TheWindowFollowsEveryChangeOfRegistersAndCards) {
  PcicMachine m;
  const uint8_t *page = m.HostPage();
  EXPECT_EQ(page[0], 0xFF); // nothing mapped after reset
  m.OpenWindow(0x40);
  EXPECT_EQ(page[0], 0xFF); // socket 2 is empty
  m.pcic.insertCard(2, SmallCard());
  EXPECT_EQ(page[0], 0x01);
  m.Write(0x46, 0x00);
  EXPECT_EQ(page[0], 0xFF);
  m.Write(0x46, 0x01);
  EXPECT_EQ(page[4], 0xAA);
  m.pcic.removeCard(2);
  EXPECT_EQ(page[4], 0xFF);
  m.pcic.insertCard(2, SmallCard(), 0x04); // half inserted: not seated
  EXPECT_EQ(page[4], 0xFF);
}

TEST(Pcic, TheCardOffsetCountsPagesFromTheWindowStart) {
  std::vector<uint8_t> attribute(3 * 4096, 0x00);
  attribute[0x1000] = 0x11;
  attribute[0x2000] = 0x22;
  attribute[0x2FFF] = 0x2F;
  PcicMachine m;
  m.pcic.insertCard(1, PcCard::FromAttributeBytes(attribute));
  m.OpenWindow(0x00);
  m.Write(0x14, 0x01);
  EXPECT_EQ(m.HostPage()[0], 0x11);
  // A window from 0xC7000 to 0xC8FFF shows its second page at 0xC8000.
  m.Write(0x10, 0xC7);
  m.Write(0x12, 0xC8);
  EXPECT_EQ(m.HostPage()[0], 0x22);
  EXPECT_EQ(m.HostPage()[4095], 0x2F);
}

TEST(Pcic, TwoSocketsDecodingThePageConflict) {
  PcicMachine m;
  m.pcic.insertCard(1, PcCard::FromAttributeBytes({0xF0, 0x0F}));
  m.pcic.insertCard(2, PcCard::FromAttributeBytes({0x3C, 0xFF}));
  m.OpenWindow(0x00);
  m.OpenWindow(0x40);
  EXPECT_EQ(m.HostPage()[0], 0x30);
  EXPECT_EQ(m.HostPage()[1], 0x0F);
}

TEST(Pcic, TimingRegistersArePerSocketUnlessThePartLacksThem) {
  PcicMachine cirrus;
  cirrus.Write(0x3E, 0x14);
  cirrus.Write(0x7E, 0x06);
  EXPECT_EQ(cirrus.Read(0x3E), 0x14);
  EXPECT_EQ(cirrus.Read(0x7E), 0x06);

  sim::PcicConfig config;
  config.timingRegisters = false;
  PcicMachine plain(config);
  plain.Write(0x3E, 0x14);
  EXPECT_EQ(plain.Read(0x3E), 0xFF);
  EXPECT_EQ(plain.pcic.registerValue(1, 0x3E), 0xFF);
}

TEST(Pcic, LogsEveryPortAccessWithTheIndexInEffect) {
  PcicMachine m;
  m.machine.io.write(kIndex, 1, 0x41);
  m.machine.io.read(kData, 1);
  m.machine.io.write(kData, 1, 0x77);
  m.machine.io.read(kIndex, 1);
  using Kind = sim::PcicAccess::Kind;
  const auto &log = m.pcic.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].kind, Kind::IndexWrite);
  EXPECT_EQ(log[0].value, 0x41);
  EXPECT_EQ(log[1].kind, Kind::DataRead);
  EXPECT_EQ(log[1].index, 0x41);
  EXPECT_EQ(log[1].value, 0x00);
  EXPECT_EQ(log[2].kind, Kind::DataWrite);
  EXPECT_EQ(log[2].value, 0x77);
  EXPECT_EQ(log[3].kind, Kind::IndexRead);
  EXPECT_LT(log[0].time, log[3].time); // stamped with simulated time
  m.pcic.clearLog();
  EXPECT_TRUE(m.pcic.log().empty());
}

TEST(Pcic, RefusesAWindowThatIsNotAPageBelow16MiBAndSocketsOtherThanOneAndTwo) {
  sim::PcicConfig misaligned;
  misaligned.memoryBase = 0xC8100;
  EXPECT_THROW(Pcic{misaligned}, std::invalid_argument);
  sim::PcicConfig high;
  high.memoryBase = 0x1000000;
  EXPECT_THROW(Pcic{high}, std::invalid_argument);
  Pcic pcic;
  EXPECT_THROW(pcic.insertCard(0, SmallCard()), std::out_of_range);
  EXPECT_THROW(pcic.removeCard(3), std::out_of_range);
}

TEST(PcicDeathTest, ALoadPastTheWindowStopsTheProgram) {
  Pcic pcic;
  const volatile uint8_t *page = pcic.window();
  EXPECT_EQ(page[4095], 0xFF);
  EXPECT_DEATH((void)page[4096], "");
}

TEST(PcCard, TuplesLieAtEvenAttributeAddressesAndEndWithTheEndTuple) {
  PcCard card = PcCard::FromTuples(
      {sim::CisTuple(0x01, {0x00, 0xFF}), sim::CisTuple(0x20, {0x12}, uint8_t{0x90})});
  const std::vector<uint8_t> expected = {
      0x01, 0xFF, 0x02, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, // device tuple, body 00 FF
      0x20, 0xFF, 0x90, 0xFF, 0x12, 0xFF,             // link byte that lies: 0x90
      0xFF, 0xFF,                                     // end tuple
  };
  EXPECT_EQ(card.attributeBytes(), expected);
  EXPECT_EQ(card.readAttribute(0x10000), 0xFF);
  EXPECT_THROW(PcCard::FromTuples({sim::CisTuple(0x20, std::vector<uint8_t>(256))}),
               std::invalid_argument);
}

TEST(PcCard, TheAdapterCardCarriesItsVersionStrings) {
  sim::CisTuple version = sim::VersionTuple(4, 1, {"AB", "C"});
  EXPECT_EQ(version.code, 0x15);
  EXPECT_EQ(version.body, (std::vector<uint8_t>{4, 1, 'A', 'B', 0, 'C', 0, 0xFF}));

  PcCard card = PcCard::AdapterCard();
  std::string cis;
  for (size_t k = 0; 2 * k < card.attributeBytes().size(); k++) {
    cis.push_back(static_cast<char>(card.readAttribute(2 * k)));
  }
  std::string strings = std::string("VELMO System Inc.") + '\0' + "MEDIA/SCSI2 CARD 41" + '\0';
  size_t at = cis.find(strings);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(cis[at - 4]), 0x15); // code, link, two version bytes
  EXPECT_EQ(static_cast<uint8_t>(cis[at - 3]), 2 + strings.size() + 1);
}

} // namespace
