// The socket controller is KAV95's alone: the same start-up with the socket
// options and a card in the machine reaches the controller only in KAV95.
#include "socket_fixture.h"

namespace {

TEST(SocketFlavours, OnlyKav95SearchesAndTunesTheSocketController) {
  SocketMachine m(WithOptions("/TP560 /CIRRUS", true));
  m.pcic.insertCard(1, sim::PcCard::AdapterCard());
  m.machine.io.setRecording(true);
  EXPECT_EQ(m.load(), sim::STATUS_SUCCESS);

  size_t controllerAccesses = 0;
  for (const sim::IoAccess &access : m.machine.io.accesses()) {
    controllerAccesses += access.port == 0x3E0 || access.port == 0x3E1;
  }
  if (kIs95) {
    // Search, found in socket 1: its status read, 5 register saves and
    // writes, 5 restores; tuning: 2 + 6 register reads and writes.
    EXPECT_EQ(controllerAccesses, 2 + 5 * (2 + 3) + 5 * 3 + 8 * (2 + 3));
    EXPECT_EQ(m.pcic.registerValue(1, 0x3E), 0x14);
    EXPECT_EQ(m.pcic.registerValue(1, 0x07), 0x0B);
  } else {
    EXPECT_EQ(controllerAccesses, 0u);
    EXPECT_TRUE(m.pcic.log().empty());
    EXPECT_TRUE(m.memoryMappings().empty());
  }
}

} // namespace
