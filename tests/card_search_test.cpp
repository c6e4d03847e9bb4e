// KAV95's card search as find-adapter runs it: which options start it, the
// window it maps, the socket it stores, and the cases that make no search.
#include "socket_fixture.h"

#include <optional>
#include <string>
#include <vector>

namespace {

struct SearchCase {
  const char *options;              // nullptr: no option string at all
  int cardSocket;                   // 0: no card
  std::optional<uint32_t> windowAt; // memory mapped for the search; none: no search
  uint8_t socket;                   // Socket after find-adapter
};

const std::vector<SearchCase> kSearchCases = {
    {"/MEMBASE=C800 /TP560", 2, 0xC8000, 2},
    {"/TP560", 2, 0xC8000, 2},
    {"/CIRRUS", 1, 0xC8000, 1},
    {"-cirrus", 2, 0xC8000, 2},
    {"/SLOT=0 /CIRRUS", 2, 0xC8000, 2},
    {"/CIRRUS /SLOT=0", 1, 0xC8000, 1},
    {"/CIRRUS", 0, 0xC8000, 0},
    {"/TP560 /CIRRUS", 0, 0xC8000, 0},
    {"/SLOT=2 /CIRRUS", 1, std::nullopt, 2},
    {"/CIRRUS /SLOT=1", 2, std::nullopt, 1},
    {"/TP560 /SLOT=7", 2, std::nullopt, 7},
    {"/AS1 /ND2 /PCICADR=03E0", 2, std::nullopt, 0},
    {"/Cirrus /Tp560", 2, std::nullopt, 0},
    {"", 2, std::nullopt, 0},
    {nullptr, 2, std::nullopt, 0},
    // A base inside a page cannot show the CIS from its start: no search.
    {"/MEMBASE=C810 /CIRRUS", 2, std::nullopt, 0},
    // The window at D0000 shows nothing here (the controller's page is C8000).
    {"/MEMBASE=D000 /CIRRUS", 2, 0xD0000, 0},
};

TEST(CardSearch, RunsOnlyWhenTheOptionsAskForTuningWithoutASlot) {
  for (const SearchCase &c : kSearchCases) {
    SCOPED_TRACE(c.options ? std::string("options \"") + c.options + "\"" : "no options");
    SocketMachine m(WithOptions(c.options));
    if (c.cardSocket != 0) {
      m.pcic.insertCard(c.cardSocket, sim::PcCard::AdapterCard());
    }
    m.load();
    EXPECT_EQ(m.portDriver->findAdapterResult(), SP_RETURN_FOUND);
    EXPECT_EQ(m.extension().Socket, c.socket);
    EXPECT_TRUE(m.portDriver->violations().empty());

    std::vector<sim::PortEvent> mappings = m.memoryMappings();
    if (c.windowAt) {
      ASSERT_EQ(mappings.size(), 1u);
      EXPECT_EQ(mappings[0].address, *c.windowAt);
      EXPECT_EQ(mappings[0].length, 4096u);
      EXPECT_NE(mappings[0].mapped, nullptr);
      // Socket 1's status is read first, through the default ports.
      std::vector<std::string> ops = RegisterOps(m.pcic.log());
      ASSERT_FALSE(ops.empty());
      EXPECT_EQ(ops[0], "R01");
    } else {
      EXPECT_TRUE(mappings.empty());
      EXPECT_TRUE(m.pcic.log().empty()) << "the socket controller was accessed";
    }
    // Whatever was searched, every window register is as before.
    for (int socket : {1, 2}) {
      for (uint8_t index : {0x06, 0x10, 0x12, 0x14, 0x15}) {
        EXPECT_EQ(m.pcic.registerValue(socket, index), 0x00);
      }
    }
  }
}

TEST(CardSearch, ProgramsTheWindowPageOfTheMemoryBase) {
  sim::PcicConfig config;
  config.memoryBase = 0xD0000;
  SocketMachine m(WithOptions("/MEMBASE=D000 /TP560"), config);
  m.pcic.insertCard(1, sim::PcCard::AdapterCard());
  m.load();
  EXPECT_EQ(m.extension().Socket, 1);
  std::vector<std::string> ops = RegisterOps(m.pcic.log());
  ASSERT_GE(ops.size(), 4u);
  EXPECT_EQ(ops[1], "R10");
  EXPECT_EQ(ops[2], "W10=D0");
  // The driver got a host pointer, not the physical address.
  std::vector<sim::PortEvent> mappings = m.memoryMappings();
  ASSERT_EQ(mappings.size(), 1u);
  EXPECT_EQ(mappings[0].mapped, m.pcic.window());
}

TEST(CardSearch, UsesTheControllerAtThePcicAddressOption) {
  sim::PcicConfig config;
  config.ioBase = 0x3E2;
  SocketMachine m(WithOptions("/PCICADR=3E2 /CIRRUS"), config);
  m.pcic.insertCard(2, sim::PcCard::AdapterCard());
  m.machine.io.setRecording(true);
  m.load();
  EXPECT_EQ(m.extension().Socket, 2);
  ASSERT_FALSE(m.machine.io.accesses().empty());
  for (const sim::IoAccess &access : m.machine.io.accesses()) {
    EXPECT_TRUE(access.port == 0x3E2 || access.port == 0x3E3) << std::hex << access.port;
  }
}

TEST(CardSearch, AFailedWindowMappingMakesNoSearch) {
  sim::PortDriverConfig config = WithOptions("/CIRRUS /TP560");
  config.failMemoryMapping = true;
  SocketMachine m(config);
  m.pcic.insertCard(1, sim::PcCard::AdapterCard());
  m.load();
  EXPECT_EQ(m.portDriver->findAdapterResult(), SP_RETURN_FOUND);
  std::vector<sim::PortEvent> mappings = m.memoryMappings();
  ASSERT_EQ(mappings.size(), 1u);
  EXPECT_EQ(mappings[0].mapped, nullptr);
  EXPECT_TRUE(m.pcic.log().empty());
  EXPECT_EQ(m.extension().Socket, 0);
}

TEST(CardSearch, ACardWithOtherStringsLeavesTheSocketUnsetAndTheAdapterFound) {
  SocketMachine m(WithOptions("/CIRRUS"));
  m.pcic.insertCard(1, sim::PcCard::FromTuples({sim::VersionTuple(4, 1, {"Other", "Card"})}));
  m.pcic.insertCard(2, sim::PcCard::FromAttributeBytes(std::vector<uint8_t>(8192, 0xFF)));
  m.load();
  EXPECT_EQ(m.portDriver->findAdapterResult(), SP_RETURN_FOUND);
  EXPECT_EQ(m.extension().Socket, 0);
  std::vector<std::string> ops = RegisterOps(m.pcic.log());
  EXPECT_EQ(ops.size(), 2u * (1 + 10 + 5)); // both sockets: status, open, close
}

} // namespace
