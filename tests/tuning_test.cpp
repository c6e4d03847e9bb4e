// KAV95's socket-controller tuning at the end of initialise: which registers
// of which socket TP560 and CIRRUS write, in which order, and that a failing
// initialise leaves the controller alone.
#include "socket_fixture.h"

#include <string>
#include <vector>

namespace {

using Ops = std::vector<std::string>;

const Ops kTp560First = {"R07", "W07=4B", "R1E", "W1E=00"};
const Ops kCirrusFirst = {"R3A", "W3A=01", "R3D", "W3D=01", "R3B", "W3B=06",
                          "R3E", "W3E=14", "R3C", "W3C=08", "R3F", "W3F=08"};
const Ops kCirrusSecond = {"R7A", "W7A=01", "R7D", "W7D=01", "R7B", "W7B=06",
                           "R7E", "W7E=14", "R7C", "W7C=08", "R7F", "W7F=08"};

Ops Concat(Ops first, const Ops &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Runs find-adapter, then initialise alone with the controller's log cleared
// in between, and returns what initialise did to the controller.
Ops TuningOps(SocketMachine &m) {
  m.load();
  EXPECT_EQ(m.portDriver->findAdapterResult(), SP_RETURN_FOUND);
  m.pcic.clearLog();
  sim::PortDriver::CallScope scope(*m.portDriver);
  EXPECT_EQ(drv::RoutineInitialize(m.portDriver->deviceExtension()), TRUE);
  return RegisterOps(m.pcic.log());
}

struct TuningCase {
  const char *options;
  int cardSocket; // 0: no card
  Ops ops;
};

TEST(Tuning, WritesTheRegistersTheOptionsAskForInOrder) {
  const std::vector<TuningCase> cases = {
      {"/TP560 /SLOT=1", 1, kTp560First},
      {"/TP560", 1, kTp560First}, // found in socket 1 by the search
      {"/TP560 /SLOT=2", 2, {}},
      {"/TP560", 2, {}}, // found in socket 2
      {"/TP560", 0, {}}, // not found: Socket 0
      {"/CIRRUS /SLOT=2", 2, kCirrusSecond},
      {"/CIRRUS", 2, kCirrusSecond},
      {"/CIRRUS /SLOT=1", 1, kCirrusFirst},
      {"/CIRRUS", 0, kCirrusFirst}, // Socket 0 addresses the first socket
      {"/CIRRUS /SLOT=5", 2, kCirrusFirst},
      {"/TP560 /CIRRUS /SLOT=1", 1, Concat(kTp560First, kCirrusFirst)},
      {"/TP560 /CIRRUS", 1, Concat(kTp560First, kCirrusFirst)},
      {"/TP560 /CIRRUS /SLOT=2", 2, kCirrusSecond},
      {"/AS1 /PCICADR=03E0", 1, {}},
      {"", 1, {}},
      {nullptr, 1, {}},
  };
  for (const TuningCase &c : cases) {
    SCOPED_TRACE(c.options ? std::string("options \"") + c.options + "\"" : "no options");
    SocketMachine m(WithOptions(c.options));
    if (c.cardSocket != 0) {
      m.pcic.insertCard(c.cardSocket, sim::PcCard::AdapterCard());
    }
    m.pcic.setRegister(1, 0x07, 0x40);
    EXPECT_EQ(TuningOps(m), c.ops);
  }
}

TEST(Tuning, KeepsTheOtherIoControlBits) {
  const struct {
    uint8_t before, after;
  } cases[] = {{0x00, 0x0B}, {0x40, 0x4B}, {0xF4, 0xFF}, {0x0B, 0x0B}};
  for (const auto &c : cases) {
    SocketMachine m(WithOptions("/TP560 /SLOT=1"));
    m.pcic.setRegister(1, 0x07, c.before);
    m.pcic.setRegister(1, 0x1E, 0x5A);
    TuningOps(m);
    EXPECT_EQ(m.pcic.registerValue(1, 0x07), c.after) << Hex2(c.before);
    EXPECT_EQ(m.pcic.registerValue(1, 0x1E), 0x00);
    EXPECT_EQ(m.pcic.registerValue(2, 0x07), 0x00);
  }
}

TEST(Tuning, EachRegisterIsReadThenWrittenAndReadBackOnThePorts) {
  SocketMachine m(WithOptions("/CIRRUS /SLOT=2"));
  m.load();
  m.machine.io.setRecording(true);
  sim::PortDriver::CallScope scope(*m.portDriver);
  drv::RoutineInitialize(m.portDriver->deviceExtension());

  std::vector<sim::IoAccess> controller;
  for (const sim::IoAccess &access : m.machine.io.accesses()) {
    if (access.port == 0x3E0 || access.port == 0x3E1) {
      controller.push_back(access);
    }
  }
  ASSERT_EQ(controller.size(), 6u * 5);
  const struct {
    bool write;
    uint32_t port;
    uint32_t value;
  } first[] = {
      {true, 0x3E0, 0x7A}, {false, 0x3E1, 0x00},                       // read
      {true, 0x3E0, 0x7A}, {true, 0x3E1, 0x01},  {false, 0x3E1, 0x01}, // write, read back
  };
  for (size_t i = 0; i < 5; i++) {
    EXPECT_EQ(controller[i].write, first[i].write) << i;
    EXPECT_EQ(controller[i].port, first[i].port) << i;
    EXPECT_EQ(controller[i].value, first[i].value) << i;
  }
  const uint8_t timing[] = {0x7A, 0x7D, 0x7B, 0x7E, 0x7C, 0x7F};
  const uint8_t values[] = {0x01, 0x01, 0x06, 0x14, 0x08, 0x08};
  for (size_t pair = 0; pair < 6; pair++) {
    EXPECT_EQ(controller[pair * 5].value, timing[pair]);
    EXPECT_EQ(controller[pair * 5 + 3].value, values[pair]);
    EXPECT_EQ(m.pcic.registerValue(2, timing[pair]), values[pair]);
    EXPECT_EQ(m.pcic.registerValue(1, timing[pair]), 0x00);
  }
}

TEST(Tuning, AFailingInitialiseLeavesTheControllerAlone) {
  enum class Chip { Absent, NeverReportsTheReset, WrongIdentity };
  for (Chip chip : {Chip::Absent, Chip::NeverReportsTheReset, Chip::WrongIdentity}) {
    SCOPED_TRACE(static_cast<int>(chip));
    SocketMachine m(WithOptions("/TP560 /CIRRUS /SLOT=1"));
    m.chip.floating = chip == Chip::Absent;
    m.chip.reportsReset = chip != Chip::NeverReportsTheReset;
    m.chip.chipId = chip == Chip::WrongIdentity ? 0x03 : 0x02;
    m.load();
    ASSERT_EQ(m.portDriver->findAdapterResult(), SP_RETURN_FOUND);
    m.pcic.clearLog();
    sim::PortDriver::CallScope scope(*m.portDriver);
    EXPECT_EQ(drv::RoutineInitialize(m.portDriver->deviceExtension()), FALSE);
    EXPECT_TRUE(m.pcic.log().empty());
  }
}

TEST(Tuning, AStartUpWithCirrusFindsTheCardAndTunesItsSocket) {
  SocketMachine m(WithOptions("/CIRRUS", true));
  m.pcic.insertCard(2, sim::PcCard::AdapterCard());
  EXPECT_EQ(m.load(), sim::STATUS_SUCCESS);
  EXPECT_EQ(m.portDriver->initializeResult(), TRUE);
  EXPECT_EQ(m.extension().Socket, 2);

  Ops ops = RegisterOps(m.pcic.log());
  const Ops search = {"R01",    "R41",    "R50",    "W50=C8", "R52",   "W52=C8",
                      "R54",    "W54=00", "R55",    "W55=40", "R46",   "W46=01",
                      "W50=00", "W52=00", "W54=00", "W55=00", "W46=00"};
  EXPECT_EQ(ops, Concat(search, kCirrusSecond));
  EXPECT_TRUE(m.portDriver->violations().empty());
}

} // namespace
