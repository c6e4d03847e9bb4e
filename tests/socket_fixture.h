// A machine with the socket controller model, a stand-in chip for the reset
// sequence and our port driver, for tests of KAV95's card search and tuning.
// Controller accesses are read back as register operations: "R41" is a read
// of register 0x41 (index write, data read), "W50=C8" a write of 0xC8 to
// register 0x50 (index write, data write, data read back). A port sequence
// that is neither fails the test.
#ifndef KAV_TESTS_SOCKET_FIXTURE_H
#define KAV_TESTS_SOCKET_FIXTURE_H

#include "driver_fixture.h"
#include "pcic.h"
#include "reset_chip_stub.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t kAccessRangeStart = 0x340;

struct SocketMachine {
  explicit SocketMachine(sim::PortDriverConfig config = {}, sim::PcicConfig pcicConfig = {})
      : pcic(pcicConfig) {
    pcic.attach(machine);
    config.accessRangeStart = kAccessRangeStart;
    machine.io.map(kAccessRangeStart + drv::FLAVOUR_CHIP_OFFSET, 16, &chip, "chip");
    portDriver = std::make_unique<sim::PortDriver>(machine, std::move(config));
  }

  ULONG load() { return portDriver->load(drv::DriverEntry); }

  drv::HW_DEVICE_EXTENSION &extension() {
    return *static_cast<drv::PHW_DEVICE_EXTENSION>(portDriver->deviceExtension());
  }

  // The memory mappings that find-adapter asked for, besides the chip's.
  std::vector<sim::PortEvent> memoryMappings() const {
    std::vector<sim::PortEvent> mappings;
    for (const sim::PortEvent &event : portDriver->eventsOf(sim::PortEvent::Kind::Mapping)) {
      if (!event.ioSpace) {
        mappings.push_back(event);
      }
    }
    return mappings;
  }

  sim::Machine machine;
  sim::Pcic pcic;
  ResetChipStub chip;
  std::unique_ptr<sim::PortDriver> portDriver;
};

inline sim::PortDriverConfig WithOptions(const char *options, bool initialize = false) {
  sim::PortDriverConfig config;
  if (options != nullptr) {
    config.argumentString = options;
  }
  config.skipInitialize = !initialize;
  return config;
}

inline std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02X", value & 0xFF);
  return text;
}

// The controller's port log as register operations.
inline std::vector<std::string> RegisterOps(const std::vector<sim::PcicAccess> &log) {
  using Kind = sim::PcicAccess::Kind;
  std::vector<std::string> ops;
  size_t i = 0;
  while (i < log.size()) {
    bool indexed = log[i].kind == Kind::IndexWrite;
    if (indexed && i + 1 < log.size() && log[i + 1].kind == Kind::DataRead) {
      ops.push_back("R" + Hex2(log[i].value));
      i += 2;
    } else if (indexed && i + 2 < log.size() && log[i + 1].kind == Kind::DataWrite &&
               log[i + 2].kind == Kind::DataRead) {
      ops.push_back("W" + Hex2(log[i].value) + "=" + Hex2(log[i + 1].value));
      i += 3;
    } else {
      ADD_FAILURE() << "controller access " << i << " starts no register read or write";
      return ops;
    }
  }
  return ops;
}

// The attribute bytes of socket 1 shown through the window at 0xC8000, set
// up directly in the controller as the search would.
inline void ShowInWindow(sim::Pcic &pcic, sim::PcCard card) {
  pcic.insertCard(1, std::move(card));
  pcic.setRegister(1, 0x10, 0xC8);
  pcic.setRegister(1, 0x12, 0xC8);
  pcic.setRegister(1, 0x15, 0x40);
  pcic.setRegister(1, 0x06, 0x01);
}

// A CIS laid out at even attribute addresses, odd ones 0xFF, nothing added.
inline sim::PcCard CardFromCisBytes(const std::vector<uint8_t> &cis) {
  std::vector<uint8_t> attribute(2 * cis.size(), 0xFF);
  for (size_t k = 0; k < cis.size(); k++) {
    attribute[2 * k] = cis[k];
  }
  return sim::PcCard::FromAttributeBytes(attribute);
}

// Tuples of code 0x20 that together fill the first Bytes bytes of the window
// (Bytes a multiple of 2, at least 4 per tuple): each steps 4 + 2 x link.
inline std::vector<sim::CisTuple> FillerTuples(uint32_t bytes) {
  std::vector<sim::CisTuple> tuples;
  while (bytes > 0) {
    uint32_t step = bytes > 4 + 2 * 252 ? 4 + 2 * 252 : bytes;
    if (bytes - step != 0 && bytes - step < 4) {
      step -= 4; // leave room for one more tuple
    }
    tuples.push_back(sim::CisTuple(0x20, std::vector<uint8_t>((step - 4) / 2, 0x41)));
    bytes -= step;
  }
  return tuples;
}

#endif
