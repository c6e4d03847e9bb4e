// The machine assembly as a PC Card host: where System puts the socket
// controller and its card window, which socket holds which card, and the
// machines that have no controller.
#include "system.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

// A register of the controller read through its ports, as a driver would.
uint8_t ReadThroughPorts(sim::System &system, uint32_t indexPort, uint8_t index) {
  system.machine().io.write(indexPort, 1, index);
  return static_cast<uint8_t>(system.machine().io.read(indexPort + 1, 1));
}

// Window 0 of a socket mapped onto the controller's page, attribute memory.
void ShowAttributeMemory(sim::Pcic &pcic, int socket) {
  uint8_t page = static_cast<uint8_t>(pcic.config().memoryBase >> 12);
  pcic.setRegister(socket, 0x10, page);
  pcic.setRegister(socket, 0x12, page);
  pcic.setRegister(socket, 0x15, 0x40);
  pcic.setRegister(socket, 0x06, 0x01);
}

TEST(PcCardHost, AKav95MachineHasTheControllerAt3E0WithTheAdapterCardInSocket1) {
  sim::System system(sim::SystemConfig::forFlavour(sim::Flavour::Kav95));
  ASSERT_NE(system.pcic(), nullptr);
  EXPECT_EQ(ReadThroughPorts(system, 0x3E0, 0x00), 0x83) << "identification";
  EXPECT_EQ(ReadThroughPorts(system, 0x3E0, 0x01), 0x2F) << "card detected, ready, batteries";
  EXPECT_EQ(ReadThroughPorts(system, 0x3E0, 0x41), 0x00) << "socket 2 empty";

  const uint8_t *window = system.machine().memory(0xC8000, 4096);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window, system.pcic()->window());
  ShowAttributeMemory(*system.pcic(), 1);
  const std::vector<uint8_t> card = sim::PcCard::AdapterCard().attributeBytes();
  EXPECT_EQ(std::vector<uint8_t>(window, window + 64),
            std::vector<uint8_t>(card.begin(), card.begin() + 64));
}

TEST(PcCardHost, TheDescriptionPlacesTheControllerItsWindowAndItsCard) {
  const sim::PcCard other =
      sim::PcCard::FromTuples({sim::VersionTuple(4, 1, {"Other", "Memory Card"})});
  sim::SystemConfig config = sim::SystemConfig::forFlavour(sim::Flavour::KavNt);
  config.socketController = sim::SocketControllerSetup{};
  config.socketController->controller.ioBase = 0x3E2;
  config.socketController->controller.memoryBase = 0xD0000;
  config.socketController->cardSocket = 2;
  config.socketController->card = other;
  sim::System system(config);
  ASSERT_NE(system.pcic(), nullptr);

  EXPECT_EQ(ReadThroughPorts(system, 0x3E2, 0x01), 0x00) << "socket 1 empty";
  EXPECT_EQ(ReadThroughPorts(system, 0x3E2, 0x41), 0x2F) << "the card in socket 2";
  EXPECT_EQ(system.machine().memory(0xC8000, 4096), nullptr);
  const uint8_t *window = system.machine().memory(0xD0000, 4096);
  ASSERT_NE(window, nullptr);
  ShowAttributeMemory(*system.pcic(), 2);
  EXPECT_EQ(
      std::vector<uint8_t>(window, window + 32),
      std::vector<uint8_t>(other.attributeBytes().begin(), other.attributeBytes().begin() + 32));
}

TEST(PcCardHost, SocketZeroLeavesBothEmptyAndOtherSocketsAreRefused) {
  sim::SystemConfig config = sim::SystemConfig::forFlavour(sim::Flavour::Kav95);
  config.socketController->cardSocket = 0;
  sim::System empty(config);
  EXPECT_EQ(ReadThroughPorts(empty, 0x3E0, 0x01), 0x00);
  EXPECT_EQ(ReadThroughPorts(empty, 0x3E0, 0x41), 0x00);

  for (int socket : {-1, 3}) {
    config.socketController->cardSocket = socket;
    EXPECT_THROW(sim::System refused(config), std::out_of_range) << socket;
  }
}

TEST(PcCardHost, AKavNtMachineHasNoControllerUnlessItsDescriptionNamesOne) {
  for (sim::SystemConfig config :
       {sim::SystemConfig{}, sim::SystemConfig::forFlavour(sim::Flavour::KavNt)}) {
    sim::System system(config);
    EXPECT_EQ(system.pcic(), nullptr);
    EXPECT_EQ(ReadThroughPorts(system, 0x3E0, 0x00), 0xFF) << "nothing decodes the ports";
    EXPECT_EQ(system.machine().memory(0xC8000, 4096), nullptr);
  }
}

} // namespace
