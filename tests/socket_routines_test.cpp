// KAV95's socket routines on the socket controller model, through the real
// port routines: register access, the CIS window, the tuple walk, the string
// comparison and the search over both sockets.
#include "page_end_buffer.h"
#include "socket.h"
#include "socket_fixture.h"

#include <string>
#include <vector>

namespace {

using sim::CisTuple;
using sim::PcCard;

// The adapter's version tuple with other version bytes or strings.
CisTuple Version(std::vector<std::string> strings, uint8_t major = 4, uint8_t minor = 1) {
  return sim::VersionTuple(major, minor, strings);
}
const std::vector<std::string> kAdapterStrings = {"VELMO System Inc.", "MEDIA/SCSI2 CARD 41"};

class SocketRoutines : public ::testing::Test {
protected:
  SocketRoutines() : scope(*m.portDriver) { m.machine.io.setRecording(true); }

  LONG Find(ULONG windowBase = 0xC8000, USHORT indexPort = 0x3E0) {
    return drv::FindCardSocket(m.pcic.window(), windowBase, indexPort);
  }
  std::vector<std::string> Ops() { return RegisterOps(m.pcic.log()); }

  SocketMachine m;
  sim::PortDriver::CallScope scope;
};

// ------------------------------------------------------------ register access

TEST_F(SocketRoutines, ARegisterReadIsAnIndexWriteAndADataRead) {
  m.pcic.setRegister(2, 0x07, 0x5A);
  EXPECT_EQ(drv::PcicReadReg(0x3E0, 0x07, 2), 0x5Au);
  const auto &io = m.machine.io.accesses();
  ASSERT_EQ(io.size(), 2u);
  EXPECT_TRUE(io[0].write);
  EXPECT_EQ(io[0].port, 0x3E0u);
  EXPECT_EQ(io[0].value, 0x47u);
  EXPECT_FALSE(io[1].write);
  EXPECT_EQ(io[1].port, 0x3E1u);
  EXPECT_EQ(io[1].width, 1);
}

TEST_F(SocketRoutines, ARegisterWriteIsFollowedByAReadBack) {
  EXPECT_EQ(drv::PcicWriteReg(0x3E0, 0x3E, 0x14, 1), 0x14u);
  const auto &io = m.machine.io.accesses();
  ASSERT_EQ(io.size(), 3u);
  EXPECT_TRUE(io[0].write && io[0].port == 0x3E0 && io[0].value == 0x3E);
  EXPECT_TRUE(io[1].write && io[1].port == 0x3E1 && io[1].value == 0x14);
  EXPECT_TRUE(!io[2].write && io[2].port == 0x3E1 && io[2].value == 0x14);
  EXPECT_EQ(m.pcic.registerValue(1, 0x3E), 0x14);
}

TEST_F(SocketRoutines, OnlySocketTwoAddressesTheSecondRegisterSet) {
  const struct {
    UCHAR socket;
    uint8_t index;
  } cases[] = {{0, 0x12}, {1, 0x12}, {2, 0x52}, {3, 0x12}, {7, 0x12}};
  for (const auto &c : cases) {
    m.machine.io.clearAccesses();
    drv::PcicReadReg(0x3E0, 0x12, c.socket);
    EXPECT_EQ(m.machine.io.accesses().at(0).value, c.index) << "socket " << int(c.socket);
  }
}

TEST_F(SocketRoutines, TheDataPortFollowsTheIndexPortIn16Bits) {
  drv::PcicReadReg(0x3E2, 0x01, 1);
  drv::PcicWriteReg(0xFFFF, 0x01, 0x00, 1);
  const auto &io = m.machine.io.accesses();
  ASSERT_EQ(io.size(), 5u);
  EXPECT_EQ(io[0].port, 0x3E2u);
  EXPECT_EQ(io[1].port, 0x3E3u);
  EXPECT_EQ(io[2].port, 0xFFFFu);
  EXPECT_EQ(io[3].port, 0x0000u);
  EXPECT_EQ(io[4].port, 0x0000u);
}

// ------------------------------------------------------------------ window

TEST_F(SocketRoutines, OpeningTheWindowSavesAndProgramsWindowZero) {
  m.pcic.setRegister(2, 0x10, 0x11);
  m.pcic.setRegister(2, 0x12, 0x22);
  m.pcic.setRegister(2, 0x14, 0x33);
  m.pcic.setRegister(2, 0x15, 0x84);
  m.pcic.setRegister(2, 0x06, 0xC2);
  drv::CIS_WINDOW_SAVE save{};
  EXPECT_EQ(drv::OpenCisWindow(0xC8000, &save, 0x3E0, 2), 0u);

  EXPECT_EQ(Ops(), (std::vector<std::string>{"R50", "W50=C8", "R52", "W52=C8", "R54", "W54=00",
                                             "R55", "W55=40", "R46", "W46=C3"}));
  EXPECT_EQ(save.IsOpen, 1u);
  EXPECT_EQ(save.SavedStartLow, 0x11u);
  EXPECT_EQ(save.SavedStopLow, 0x22u);
  EXPECT_EQ(save.SavedOffsetLow, 0x33u);
  EXPECT_EQ(save.SavedOffsetHigh, 0x84u);
  EXPECT_EQ(save.SavedWindowEnable, 0xC2u);

  // Open again: nothing happens.
  m.pcic.clearLog();
  EXPECT_EQ(drv::OpenCisWindow(0xC8000, &save, 0x3E0, 2), 0u);
  EXPECT_TRUE(m.pcic.log().empty());

  EXPECT_EQ(drv::CloseCisWindow(&save, 0x3E0, 2), 0u);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"W50=11", "W52=22", "W54=33", "W55=84", "W46=C2"}));
  EXPECT_EQ(save.IsOpen, 0u);

  // Close again: nothing happens.
  m.pcic.clearLog();
  EXPECT_EQ(drv::CloseCisWindow(&save, 0x3E0, 2), 0u);
  EXPECT_TRUE(m.pcic.log().empty());
}

TEST_F(SocketRoutines, TheWindowPageComesFromTheMemoryBaseNotTheMapping) {
  // The host pointer of the window says nothing about its physical page.
  drv::CIS_WINDOW_SAVE save{};
  drv::OpenCisWindow(0xD0000, &save, 0x3E0, 1);
  EXPECT_EQ(m.pcic.registerValue(1, 0x10), 0xD0);
  EXPECT_EQ(m.pcic.registerValue(1, 0x12), 0xD0);
  drv::CloseCisWindow(&save, 0x3E0, 1);
  drv::OpenCisWindow(0xEF000, &save, 0x3E0, 1);
  EXPECT_EQ(m.pcic.registerValue(1, 0x10), 0xEF);
}

// -------------------------------------------------------------- tuple walk

struct Walk {
  const char *what;
  std::vector<CisTuple> tuples;
  ULONG result;
  std::vector<uint8_t> bodyStart; // expected first body bytes when found
};

TEST_F(SocketRoutines, TheTupleWalkStepsByTheLinkUpToTheBound) {
  const std::vector<Walk> walks = {
      {"first tuple", {CisTuple(0x15, {1, 2, 3})}, 0, {1, 2, 3, 0xFF}},
      {"after a device tuple", {CisTuple(0x01, {0x15, 0x15}), CisTuple(0x15, {9})}, 0, {9}},
      {"code 0x00 has a link", {CisTuple(0x00, {0x15, 0x00}), CisTuple(0x15, {7})}, 0, {7}},
      {"code 0xFF has a link", {CisTuple(0xFF, {0x15, 0x01}), CisTuple(0x15, {6})}, 0, {6}},
      {"link 0x80",
       {CisTuple(0x20, std::vector<uint8_t>(0x80, 0x15)), CisTuple(0x15, {5})},
       0,
       {5}},
      {"link 0xC8",
       {CisTuple(0x20, std::vector<uint8_t>(0xC8, 0x15)), CisTuple(0x15, {4})},
       0,
       {4}},
      {"link 0xFF",
       {CisTuple(0x20, std::vector<uint8_t>(0xFF, 0x15)), CisTuple(0x15, {3})},
       0,
       {3}},
      {"empty body", {CisTuple(0x15, {})}, 0, {0xFF, 0xFF}},
      {"no such tuple", {CisTuple(0x01, {0x00}), CisTuple(0x20, {1, 2, 3, 4})}, 1, {}},
  };
  for (const Walk &walk : walks) {
    SCOPED_TRACE(walk.what);
    m.pcic.removeCard(1);
    ShowInWindow(m.pcic, PcCard::FromTuples(walk.tuples));
    UCHAR body[128];
    ASSERT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, body, sizeof(body)), walk.result);
    for (size_t i = 0; i < walk.bodyStart.size(); i++) {
      EXPECT_EQ(body[i], walk.bodyStart[i]) << "body byte " << i;
    }
  }
}

TEST_F(SocketRoutines, OnlyTuplesBelowOffset4064AreExamined) {
  std::vector<CisTuple> upTo4064 = FillerTuples(4064);
  upTo4064.push_back(Version(kAdapterStrings));
  ShowInWindow(m.pcic, PcCard::FromTuples(upTo4064));
  ASSERT_EQ(m.pcic.window()[4064], 0x15); // it is there, but past the bound
  UCHAR body[128];
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, body, sizeof(body)), 1u);

  std::vector<CisTuple> upTo4062 = FillerTuples(4062);
  upTo4062.push_back(CisTuple(0x15, {0xA0, 0xA1, 0xA2}));
  m.pcic.removeCard(1);
  ShowInWindow(m.pcic, PcCard::FromTuples(upTo4062));
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, body, sizeof(body)), 0u);
  EXPECT_EQ(body[0], 0xA0);
  EXPECT_EQ(body[2], 0xA2);
}

TEST_F(SocketRoutines, AttributeMemoryOfAll0xFFIsWalkedInStepsOf514ToTheBound) {
  ShowInWindow(m.pcic, PcCard::FromAttributeBytes(std::vector<uint8_t>(4096, 0xFF)));
  UCHAR body[128];
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, body, sizeof(body)), 1u);
  // The same walk finds code 0xFF at once, with a 255-byte body clipped to
  // the buffer.
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0xFF, body, sizeof(body)), 0u);
}

TEST_F(SocketRoutines, TheBodyCopyStaysInsideTheBufferAndTheWindow) {
  // A 255-byte body into a 128-byte buffer that ends before an unwritable
  // page; the window itself lies between unreadable pages.
  std::vector<uint8_t> longBody(255);
  for (size_t i = 0; i < longBody.size(); i++) {
    longBody[i] = static_cast<uint8_t>(i);
  }
  ShowInWindow(m.pcic, PcCard::FromTuples({CisTuple(0x15, longBody)}));
  PageEndBuffer buffer(128);
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, buffer.data(), 128), 0u);
  EXPECT_EQ(buffer.data()[0], 0);
  EXPECT_EQ(buffer.data()[127], 127);

  // A tuple at offset 4062 with a 41-byte body: its bytes at window offsets
  // 4066 to 4094 (15 of them) are copied, the rest would lie past the window.
  std::vector<CisTuple> tuples = FillerTuples(4062);
  tuples.push_back(Version(kAdapterStrings));
  m.pcic.removeCard(1);
  ShowInWindow(m.pcic, PcCard::FromTuples(tuples));
  ASSERT_EQ(m.pcic.window()[4062], 0x15);
  EXPECT_EQ(drv::GetCisTuple(m.pcic.window(), 0x15, buffer.data(), 128), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer.data()) + 2, 13), "VELMO System ");
  for (int i = 15; i < 128; i++) {
    ASSERT_EQ(buffer.data()[i], 0xFF) << "body byte " << i << " was not in the window";
  }
}

// -------------------------------------------------------- string comparison

TEST_F(SocketRoutines, TheCardIdTemplateHoldsTheAdapterStrings) {
  const std::string expected =
      std::string("VELMO System Inc.") + '\0' + "MEDIA/SCSI2 CARD 41" + '\0' + '\xFF' + '\0';
  ASSERT_EQ(sizeof(drv::CardIdTemplate), 40u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(drv::CardIdTemplate), 40), expected);
}

TEST_F(SocketRoutines, CompareCisStringComparesUpToTheEndMark) {
  UCHAR data[40];
  for (int i = 0; i < 40; i++) {
    data[i] = drv::CardIdTemplate[i];
  }
  data[38] = 0x12; // the end mark and the byte after it are not compared
  data[39] = 0x34;
  EXPECT_EQ(drv::CompareCisString(drv::CardIdTemplate, data), 0);
  data[37] = 'X'; // the last compared byte
  EXPECT_EQ(drv::CompareCisString(drv::CardIdTemplate, data), -1);
  data[37] = 0x00;
  data[0] = 'v';
  EXPECT_EQ(drv::CompareCisString(drv::CardIdTemplate, data), -1);
  const UCHAR endOnly[] = {0xFF};
  EXPECT_EQ(drv::CompareCisString(endOnly, data), 0);
}

// ------------------------------------------------------------------ search

TEST_F(SocketRoutines, ACardOnlyInSocketTwoIsFoundThere) {
  m.pcic.insertCard(2, PcCard::AdapterCard());
  EXPECT_EQ(Find(), 2);
  EXPECT_EQ(Ops(), (std::vector<std::string>{
                       "R01", // socket 1: empty
                       "R41", // socket 2: a card
                       "R50", "W50=C8", "R52", "W52=C8", "R54", "W54=00", "R55", "W55=40", "R46",
                       "W46=01",                                         // window open
                       "W50=00", "W52=00", "W54=00", "W55=00", "W46=00", // restored
                   }));
}

TEST_F(SocketRoutines, TheFirstSocketWinsWhenBothHoldTheCard) {
  m.pcic.insertCard(1, PcCard::AdapterCard());
  m.pcic.insertCard(2, PcCard::AdapterCard());
  EXPECT_EQ(Find(), 1);
  for (const sim::PcicAccess &access : m.pcic.log()) {
    EXPECT_EQ(access.index & 0x40, 0) << "socket 2 addressed";
  }
}

TEST_F(SocketRoutines, EveryOpenedWindowIsRestoredAfterTheSearch) {
  const uint8_t before[2][5] = {{0xA0, 0xA1, 0xA2, 0x83, 0xE0}, {0xB0, 0xB1, 0xB2, 0x01, 0x40}};
  const uint8_t registers[5] = {0x10, 0x12, 0x14, 0x15, 0x06};
  for (int socket : {1, 2}) {
    for (int r = 0; r < 5; r++) {
      m.pcic.setRegister(socket, registers[r], before[socket - 1][r]);
    }
    m.pcic.setRegister(socket, 0x11, 0x80);
    m.pcic.setRegister(socket, 0x13, 0x40);
  }
  m.pcic.insertCard(1, PcCard::FromTuples({Version({"Other Inc.", "MODEM"})}));
  m.pcic.insertCard(2, PcCard::FromTuples({Version({"Another", "DISK"})}));
  EXPECT_EQ(Find(), -1);
  for (int socket : {1, 2}) {
    for (int r = 0; r < 5; r++) {
      EXPECT_EQ(m.pcic.registerValue(socket, registers[r]), before[socket - 1][r])
          << "socket " << socket << " register " << Hex2(registers[r]);
    }
  }
  for (const sim::PcicAccess &access : m.pcic.log()) {
    uint8_t index = access.index & 0x3F;
    EXPECT_TRUE(index != 0x11 && index != 0x13) << "upper window address addressed";
  }
  EXPECT_EQ(m.pcic.window()[0], 0xFF); // nothing shows through the page any more
}

// The version bytes 4 and 1, then the first Count bytes of the template.
std::vector<uint8_t> VersionBytesAnd(size_t count) {
  std::vector<uint8_t> body = {4, 1};
  body.insert(body.end(), drv::CardIdTemplate, drv::CardIdTemplate + count);
  return body;
}

struct Candidate {
  const char *what;
  std::vector<CisTuple> tuples;
  LONG socket; // what the search finds with this card in socket 2
};

TEST_F(SocketRoutines, OnlyTheAdapterStringsMatch) {
  const std::vector<Candidate> candidates = {
      {"the adapter", {Version(kAdapterStrings)}, 2},
      {"version 0.0", {Version(kAdapterStrings, 0x00, 0x00)}, 2},
      {"version FF.FF", {Version(kAdapterStrings, 0xFF, 0xFF)}, 2},
      {"version 15.15", {Version(kAdapterStrings, 0x15, 0x15)}, 2},
      {"more strings after", {Version({"VELMO System Inc.", "MEDIA/SCSI2 CARD 41", "1.0"})}, 2},
      {"no end mark after the strings", {CisTuple(0x15, VersionBytesAnd(38))}, 2},
      {"product continues", {Version({"VELMO System Inc.", "MEDIA/SCSI2 CARD 41X"})}, -1},
      {"product shorter", {Version({"VELMO System Inc.", "MEDIA/SCSI2 CARD 4"})}, -1},
      {"manufacturer case", {Version({"VELMO SYSTEM INC.", "MEDIA/SCSI2 CARD 41"})}, -1},
      {"strings without version bytes",
       {CisTuple(0x15, std::vector<uint8_t>(drv::CardIdTemplate, drv::CardIdTemplate + 40))},
       -1},
      {"strings in another tuple", {CisTuple(0x16, Version(kAdapterStrings).body)}, -1},
      {"behind a long tuple",
       {CisTuple(0x20, std::vector<uint8_t>(0x90, 0x00)), Version(kAdapterStrings)},
       2},
  };
  for (const Candidate &candidate : candidates) {
    SCOPED_TRACE(candidate.what);
    m.pcic.insertCard(2, PcCard::FromTuples(candidate.tuples));
    EXPECT_EQ(Find(), candidate.socket);
  }
}

TEST_F(SocketRoutines, ATupleTooShortForTheComparisonNeverMatches) {
  // Socket 1's tuple differs only in the product's last character; socket 2's
  // is right but one byte short: its terminating 0x00 is missing. What
  // socket 1 left in the buffer must not complete it.
  std::vector<uint8_t> nearly = Version({"VELMO System Inc.", "MEDIA/SCSI2 CARD 4X"}).body;
  std::vector<uint8_t> shortBody = Version(kAdapterStrings).body;
  shortBody.resize(39);
  m.pcic.insertCard(1, PcCard::FromTuples({CisTuple(0x15, nearly)}));
  m.pcic.insertCard(2, PcCard::FromTuples({CisTuple(0x15, shortBody)}));
  EXPECT_EQ(Find(), -1);
  // With its last byte the same tuple matches.
  shortBody.push_back(0x00);
  m.pcic.insertCard(2, PcCard::FromTuples({CisTuple(0x15, shortBody)}));
  EXPECT_EQ(Find(), 2);
}

TEST_F(SocketRoutines, SocketsWithoutBothCardDetectLinesAreNotOpened) {
  m.pcic.insertCard(1, PcCard::AdapterCard(), 0x04);
  m.pcic.insertCard(2, PcCard::AdapterCard(), 0x08);
  EXPECT_EQ(Find(), -1);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"R01", "R41"}));
}

TEST_F(SocketRoutines, HostileAttributeMemoryIsPassedOver) {
  std::vector<std::vector<uint8_t>> memories = {
      std::vector<uint8_t>(4096, 0xFF), std::vector<uint8_t>(4096, 0x00),
      std::vector<uint8_t>(4096, 0x15), // every tuple is the version tuple, link 0x15
  };
  for (const auto &bytes : memories) {
    m.pcic.insertCard(1, PcCard::FromAttributeBytes(bytes));
    EXPECT_EQ(Find(), -1);
  }
  std::vector<CisTuple> noVersion = FillerTuples(4064);
  m.pcic.insertCard(1, PcCard::FromTuples(noVersion));
  EXPECT_EQ(Find(), -1);
}

TEST_F(SocketRoutines, AVersionTupleLongerThanTheBufferStillMatchesOnItsFirstBytes) {
  std::vector<std::string> strings = kAdapterStrings;
  strings.push_back(std::string(200, 'x'));
  CisTuple version = Version(strings);
  version.body.resize(255);
  m.pcic.insertCard(1, PcCard::FromTuples({version}));
  EXPECT_EQ(Find(), 1);
}

TEST_F(SocketRoutines, TheSearchUsesTheWindowAtTheMemoryBaseItIsGiven) {
  sim::PcicConfig config;
  config.memoryBase = 0xD0000;
  config.ioBase = 0x3E2;
  SocketMachine other(WithOptions(nullptr), config);
  sim::PortDriver::CallScope otherScope(*other.portDriver);
  other.pcic.insertCard(2, PcCard::AdapterCard());
  EXPECT_EQ(drv::FindCardSocket(other.pcic.window(), 0xD0000, 0x3E2), 2);
  std::vector<std::string> ops = RegisterOps(other.pcic.log());
  ASSERT_GE(ops.size(), 4u);
  EXPECT_EQ(ops[3], "W50=D0");
}

} // namespace
