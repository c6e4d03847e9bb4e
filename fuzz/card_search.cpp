// KAV95's card search on hostile cards. The fuzzer's bytes are:
//   byte 0     what each socket holds: bits 0-1 socket 1, bits 2-3 socket 2,
//              each a SocketHolds value;
//   byte 1     bits 0-2: the option string (SEARCH_OPTIONS); bit 7: the
//              host left both sockets' windows programmed (HOST_WINDOWS)
//              before find-adapter, so that giving them back is seen;
//   the rest   the fuzzed card's attribute memory from address 0, raw (CIS
//              bytes at even addresses, or anything at all).
// Missing bytes read 0. Find-adapter runs through our port driver on a
// machine with the socket controller at its default ports, its card window
// at 0xC8000 between two unreadable pages: a read outside the window stops
// the run. Invariants: find-adapter finds the adapter; no write outside
// what the port driver handed over; every memory mapping is the 4 KiB
// window; no I/O port touched but the controller's index and data ports;
// every socket's window registers are as the host left them;
// Socket is 0, 1 or 2; when the options search the controller's window,
// Socket names a socket with a card fully inserted, an adapter card in
// socket 1 is found there, an adapter card in socket 2 behind no other card
// is found there, and without a card Socket stays 0.
#include "flavour_under_test.h"
#include "harness.h"
#include "pcic.h"
#include "port_driver.h"

#include <array>

namespace fuzz::KAV_NS {

namespace {

enum class SocketHolds : uint8_t {
  FuzzedCard = 0,
  Nothing = 1,
  AdapterCard = 2,
  FuzzedCardHalfInserted = 3, // one card-detect line only
};

struct SearchOptions {
  const char *text;
  bool searchesWindow; // a search runs and sees the controller's window
  uint8_t socket;      // Socket when it does not
};

const SearchOptions SEARCH_OPTIONS[8] = {
    {"/CIRRUS", true, 0},
    {"/TP560", true, 0},
    {"-cirrus -tp560", true, 0},
    {"/MEMBASE=C800 /TP560", true, 0},
    {"/PCICADR=03E0 /CIRRUS", true, 0},
    {"/SLOT=0 /CIRRUS", true, 0},
    {"/MEMBASE=D000 /CIRRUS", false, 0}, // a window no controller decodes
    {"/SLOT=2 /CIRRUS", false, 2},       // the socket named: no search
};

constexpr uint8_t HOST_WINDOWS_BIT = 0x80;
constexpr size_t MAX_ATTRIBUTE_BYTES = 4096; // what the window shows at offset 0

// The window registers as a host might have left them: window 0 of socket 1
// off, of socket 2 on, both mapping pages away from the card window's page,
// with width, wait-state and offset bits set; other windows on.
struct WindowRegister {
  uint8_t index;
  uint8_t value[2]; // sockets 1 and 2
};
const WindowRegister HOST_WINDOWS[] = {
    {0x06, {0x1E, 0x03}}, {0x10, {0xD0, 0xD4}}, {0x11, {0x80, 0x00}}, {0x12, {0xD1, 0xD4}},
    {0x13, {0x40, 0x80}}, {0x14, {0x34, 0xFC}}, {0x15, {0x12, 0x40}},
};

struct Scenario {
  std::array<SocketHolds, 2> holds; // sockets 1 and 2
  const SearchOptions *options;
  bool hostWindows;
  std::vector<uint8_t> attribute;
};

Scenario ReadScenario(const uint8_t *data, size_t size) {
  uint8_t placement = size > 0 ? data[0] : 0;
  uint8_t choice = size > 1 ? data[1] : 0;
  Scenario scenario;
  scenario.holds = {static_cast<SocketHolds>(placement & 3),
                    static_cast<SocketHolds>((placement >> 2) & 3)};
  scenario.options = &SEARCH_OPTIONS[choice & 7];
  scenario.hostWindows = (choice & HOST_WINDOWS_BIT) != 0;
  if (size > 2) {
    size_t length = size - 2 < MAX_ATTRIBUTE_BYTES ? size - 2 : MAX_ATTRIBUTE_BYTES;
    scenario.attribute.assign(data + 2, data + 2 + length);
  }
  return scenario;
}

void InsertCards(sim::Pcic &pcic, const Scenario &scenario) {
  for (int socket : {1, 2}) {
    switch (scenario.holds[socket - 1]) {
    case SocketHolds::FuzzedCard:
      pcic.insertCard(socket, sim::PcCard::FromAttributeBytes(scenario.attribute));
      break;
    case SocketHolds::Nothing:
      break;
    case SocketHolds::AdapterCard:
      pcic.insertCard(socket, sim::PcCard::AdapterCard());
      break;
    case SocketHolds::FuzzedCardHalfInserted:
      pcic.insertCard(socket, sim::PcCard::FromAttributeBytes(scenario.attribute),
                      sim::pcic::STATUS_CD1);
      break;
    }
  }
}

void ProgramHostWindows(sim::Pcic &pcic) {
  for (int socket : {1, 2}) {
    for (const WindowRegister &reg : HOST_WINDOWS) {
      pcic.setRegister(socket, reg.index, reg.value[socket - 1]);
    }
  }
}

using WindowState = std::array<uint8_t, 2 * sizeof(HOST_WINDOWS) / sizeof(HOST_WINDOWS[0])>;

WindowState ReadWindowState(const sim::Pcic &pcic) {
  WindowState state{};
  size_t i = 0;
  for (int socket : {1, 2}) {
    for (const WindowRegister &reg : HOST_WINDOWS) {
      state[i++] = pcic.registerValue(socket, reg.index);
    }
  }
  return state;
}

bool FullyInserted(SocketHolds holds) {
  return holds == SocketHolds::FuzzedCard || holds == SocketHolds::AdapterCard;
}

void CheckSocket(Findings &findings, const Scenario &scenario, UCHAR socket) {
  std::string said = "Socket is " + std::to_string(socket);
  Check(findings, socket <= 2, said);
  if (!scenario.options->searchesWindow) {
    Check(findings, socket == scenario.options->socket, said + " without a search");
    return;
  }
  if (socket == 1 || socket == 2) {
    Check(findings, FullyInserted(scenario.holds[socket - 1]), said + ", a socket without a card");
  }
  SocketHolds first = scenario.holds[0];
  SocketHolds second = scenario.holds[1];
  if (first == SocketHolds::AdapterCard) {
    Check(findings, socket == 1, said + ", the adapter card is in socket 1");
  } else if (!FullyInserted(first) && second == SocketHolds::AdapterCard) {
    Check(findings, socket == 2, said + ", the adapter card is in socket 2 alone");
  }
  if (!FullyInserted(first) && !FullyInserted(second)) {
    Check(findings, socket == 0, said + " with no card inserted");
  }
}

} // namespace

Findings RunInput(const uint8_t *data, size_t size) {
  Scenario scenario = ReadScenario(data, size);
  sim::Machine machine;
  sim::Pcic pcic; // index port 0x3E0, window at 0xC8000
  pcic.attach(machine);
  InsertCards(pcic, scenario);
  if (scenario.hostWindows) {
    ProgramHostWindows(pcic);
  }
  WindowState before = ReadWindowState(pcic);

  sim::PortDriverConfig config;
  config.argumentString = scenario.options->text;
  config.skipInitialize = true;
  sim::PortDriver port(machine, config);
  machine.io.setRecording(true);
  port.load(drv::DriverEntry);

  Findings findings;
  Check(findings, port.findAdapterResult() == SP_RETURN_FOUND,
        "find-adapter returned " + std::to_string(port.findAdapterResult()));
  for (const std::string &violation : port.violations()) {
    findings.push_back("port driver: " + violation);
  }
  for (const sim::PortEvent &mapping : port.eventsOf(sim::PortEvent::Kind::Mapping)) {
    if (!mapping.ioSpace) {
      Check(findings, mapping.length == 0x1000 && mapping.address % 0x1000 == 0,
            "memory mapped at " + std::to_string(mapping.address) + ", " +
                std::to_string(mapping.length) + " bytes");
    }
  }
  for (const sim::IoAccess &access : machine.io.accesses()) {
    Check(findings, access.port == 0x3E0 || access.port == 0x3E1,
          "I/O port " + std::to_string(access.port) + " touched");
  }
  Check(findings, ReadWindowState(pcic) == before, "window registers not given back");
  auto &ext = *static_cast<drv::PHW_DEVICE_EXTENSION>(port.deviceExtension());
  CheckSocket(findings, scenario, ext.Socket);
  return findings;
}

} // namespace fuzz::KAV_NS
