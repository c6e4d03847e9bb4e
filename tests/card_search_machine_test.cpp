// KAV95 on a whole PC Card host: the start-up with a tuning option searches
// the sockets for the adapter card, tunes the controller for the socket that
// holds it, and the adapter then runs requests. The socket controller, the
// chip, the bus and a disk are the machine's own models.
//
// This file runs on the linked flavour (tests_95) and on the shipped image
// through the PE loader (shipped_95): it reaches the driver only through
// DriverEntryUnderTest() and the port driver.
#include "class_driver.h"
#include "driver_under_test.h"
#include "socket_fixture.h"
#include "system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

static_assert(kIs95, "the card search belongs to KAV95");

struct HostCase {
  const char *options;
  uint32_t controllerPort; // the controller's index port
  uint32_t windowPage;     // the host page of its card window
  int cardSocket;          // 0: no card in either socket
  uint8_t found;           // the socket the driver keeps
  int tuned;               // the socket whose timing registers were written
};

const HostCase kHostCases[] = {
    {"/CIRRUS", 0x3E0, 0xC8000, 1, 1, 1},
    {"/CIRRUS", 0x3E0, 0xC8000, 2, 2, 2},
    {"/SLOT=0 /CIRRUS", 0x3E0, 0xC8000, 2, 2, 2},
    {"/PCICADR=3E2 /CIRRUS", 0x3E2, 0xC8000, 2, 2, 2},
    {"/MEMBASE=D000 /CIRRUS", 0x3E0, 0xD0000, 2, 2, 2},
    // No card found: Socket 0, and the tuning addresses the first socket.
    {"/CIRRUS", 0x3E0, 0xC8000, 0, 0, 1},
};

// The Cirrus-style timing values, at 0x3A to 0x3F of the tuned socket.
const uint8_t kTimingValues[6] = {0x01, 0x06, 0x08, 0x01, 0x14, 0x08};

sim::SystemConfig PcCardHost(const HostCase &c) {
  sim::SystemConfig config = sim::SystemConfig::forFlavour(sim::Flavour::Kav95);
  config.options = c.options;
  config.socketController->controller.ioBase = c.controllerPort;
  config.socketController->controller.memoryBase = c.windowPage;
  config.socketController->cardSocket = c.cardSocket;
  config.disks.push_back({0, 0, {}});
  return config;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++) {
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  }
  return bytes;
}

TEST(CardSearchOnTheMachine, FindsTheCardTunesItsSocketAndThenRunsRequests) {
  for (const HostCase &c : kHostCases) {
    SCOPED_TRACE(std::string(c.options) + ", card in socket " + std::to_string(c.cardSocket));
    sim::System system(PcCardHost(c));
    ASSERT_EQ(system.load(DriverEntryUnderTest()), sim::STATUS_SUCCESS);
    sim::PortDriver &port = system.portDriver();
    ASSERT_EQ(port.findAdapterResult(), SP_RETURN_FOUND);
    ASSERT_EQ(port.initializeResult(), TRUE);
    auto &extension = *static_cast<drv::PHW_DEVICE_EXTENSION>(port.deviceExtension());
    EXPECT_EQ(extension.Socket, c.found);

    // The search mapped the controller's window page and began with socket
    // 1's interface status.
    std::vector<sim::PortEvent> windows;
    for (const sim::PortEvent &mapping : port.eventsOf(sim::PortEvent::Kind::Mapping)) {
      if (!mapping.ioSpace) {
        windows.push_back(mapping);
      }
    }
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].address, c.windowPage);
    EXPECT_EQ(windows[0].length, 4096u);
    sim::Pcic &pcic = *system.pcic();
    std::vector<std::string> ops = RegisterOps(pcic.log());
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops[0], "R01");

    for (int socket : {1, 2}) {
      SCOPED_TRACE("socket " + std::to_string(socket));
      for (uint8_t index : {0x06, 0x10, 0x12, 0x14, 0x15}) {
        EXPECT_EQ(pcic.registerValue(socket, index), 0x00) << "window register restored";
      }
      for (uint8_t i = 0; i < 6; i++) {
        uint8_t expected = socket == c.tuned ? kTimingValues[i] : 0x00;
        EXPECT_EQ(pcic.registerValue(socket, static_cast<uint8_t>(0x3A + i)), expected);
      }
    }

    // The adapter works: 16 KiB written and read back byte-exact.
    sim::ClassDriver disks(port);
    const std::vector<uint8_t> data = Pattern(16 * 1024, static_cast<uint8_t>(c.cardSocket));
    EXPECT_TRUE(disks.writeBlocks(0, 0, 40, data, 512).ok());
    sim::CommandResult read = disks.readBlocks(0, 0, 40, 32, 512);
    ASSERT_TRUE(read.ok()) << int(read.srbStatus);
    EXPECT_EQ(read.data, data);
    EXPECT_EQ(port.timeouts(), 0u);
    EXPECT_TRUE(port.violations().empty());
  }
}

TEST(CardSearchOnTheMachine, PassesOverAnotherCardToTheAdapterInTheOtherSocket) {
  sim::SystemConfig config = sim::SystemConfig::forFlavour(sim::Flavour::Kav95);
  config.options = "/CIRRUS";
  config.socketController->cardSocket = 2;
  config.disks.push_back({0, 0, {}});
  sim::System system(config);
  system.pcic()->insertCard(
      1, sim::PcCard::FromTuples({sim::VersionTuple(4, 1, {"VELMO System Inc.", "MODEM 14"})}));
  ASSERT_EQ(system.load(DriverEntryUnderTest()), sim::STATUS_SUCCESS);
  auto &extension = *static_cast<drv::PHW_DEVICE_EXTENSION>(system.portDriver().deviceExtension());
  EXPECT_EQ(extension.Socket, 2);
  EXPECT_EQ(system.pcic()->registerValue(2, 0x3E), 0x14);
  EXPECT_EQ(system.pcic()->registerValue(1, 0x3E), 0x00);
  sim::ClassDriver disks(system.portDriver());
  EXPECT_TRUE(disks.readBlocks(0, 0, 0, 1, 512).ok());
}

} // namespace
