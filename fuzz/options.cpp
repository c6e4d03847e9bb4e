// Option strings. The fuzzer's bytes up to the first NUL (at most
// MAX_OPTION_LENGTH of them) are the option string. It is read twice, on
// two machines alike (for KAV95 with the socket controller at its default
// ports and the adapter card in socket 2, so that a card search the options
// start has a card to find):
// - through find-adapter: our port driver hands the string to
//   RoutineFindAdapter with its NUL as the last byte before a guard zone;
// - by the option pass alone, on a string whose NUL is the last byte of a
//   readable page before an unreadable one, into a guarded adapter record.
// A read past the NUL stops the run (the poisoned guard, the unreadable
// page). Invariants: find-adapter finds the adapter, no write outside what
// the port driver handed over, every AsyncOnly entry 0 or 1, KAV95's Socket
// at most 7 and its flags 0 or 1, no I/O port touched but (KAV95 only) the
// index and data ports the options name, the window registers as they were,
// and both reads give the same option fields.
#include "flavour_under_test.h"
#include "harness.h"
#include "page_end_string.h"
#include "pcic.h"
#include "port_driver.h"

#include <cstring>

namespace fuzz::KAV_NS {

namespace {

constexpr size_t MAX_OPTION_LENGTH = 1024;

struct OptionMachine {
  OptionMachine() {
#ifdef KAV_FLAVOUR_95
    pcic.attach(machine);
    pcic.insertCard(2, sim::PcCard::AdapterCard());
#endif
  }

  sim::Machine machine;
#ifdef KAV_FLAVOUR_95
  sim::Pcic pcic;
#endif
};

// The fields the option pass sets.
struct OptionFields {
  UCHAR asyncOnly[drv::MAX_TARGETS] = {};
#ifdef KAV_FLAVOUR_95
  UCHAR tp560 = 0, cirrus = 0, socket = 0;
  ULONG pcicBase = 0;
#endif

  explicit OptionFields(const drv::HW_DEVICE_EXTENSION &ext) {
    std::memcpy(asyncOnly, ext.AsyncOnly, sizeof(asyncOnly));
#ifdef KAV_FLAVOUR_95
    tp560 = ext.Tp560;
    cirrus = ext.Cirrus;
    socket = ext.Socket;
    pcicBase = ext.PcicBase;
#endif
  }

  bool operator==(const OptionFields &other) const {
    bool same = std::memcmp(asyncOnly, other.asyncOnly, sizeof(asyncOnly)) == 0;
#ifdef KAV_FLAVOUR_95
    same = same && tp560 == other.tp560 && cirrus == other.cirrus && socket == other.socket &&
           pcicBase == other.pcicBase;
#endif
    return same;
  }
};

void CheckFields(Findings &findings, const OptionFields &fields, const std::string &path) {
  for (ULONG target = 0; target < drv::MAX_TARGETS; target++) {
    Check(findings, fields.asyncOnly[target] <= 1,
          path + ": AsyncOnly[" + std::to_string(target) + "] is " +
              std::to_string(fields.asyncOnly[target]));
  }
#ifdef KAV_FLAVOUR_95
  Check(findings, fields.socket <= 7, path + ": Socket is " + std::to_string(fields.socket));
  Check(findings, fields.tp560 <= 1, path + ": Tp560 is " + std::to_string(fields.tp560));
  Check(findings, fields.cirrus <= 1, path + ": Cirrus is " + std::to_string(fields.cirrus));
#endif
}

void CheckMachine(Findings &findings, const OptionMachine &m, const sim::PortDriver &port,
                  const OptionFields &fields, const std::string &path) {
  for (const std::string &violation : port.violations()) {
    findings.push_back(path + ": port driver: " + violation);
  }
  for (const sim::IoAccess &access : m.machine.io.accesses()) {
#ifdef KAV_FLAVOUR_95
    // The ports are 16-bit: the data port after 0xFFFF is 0.
    uint32_t indexPort = fields.pcicBase & 0xFFFF;
    bool controllerPort = access.port == indexPort || access.port == ((indexPort + 1) & 0xFFFF);
#else
    (void)fields;
    bool controllerPort = false;
#endif
    Check(findings, controllerPort,
          path + ": I/O port " + std::to_string(access.port) + " touched");
  }
#ifdef KAV_FLAVOUR_95
  // Nothing programmed the windows before: a search must leave them so.
  for (int socket : {1, 2}) {
    for (uint8_t index : {0x06, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15}) {
      uint8_t value = m.pcic.registerValue(socket, index);
      Check(findings, value == 0,
            path + ": socket " + std::to_string(socket) + " window register " +
                std::to_string(index) + " left at " + std::to_string(value));
    }
  }
#else
  (void)m;
#endif
}

OptionFields ReadThroughFindAdapter(Findings &findings, const std::string &text) {
  OptionMachine m;
  sim::PortDriverConfig config;
  config.argumentString = text;
  config.skipInitialize = true;
  sim::PortDriver port(m.machine, config);
  m.machine.io.setRecording(true);
  port.load(drv::DriverEntry);
  Check(findings, port.findAdapterResult() == SP_RETURN_FOUND,
        "find-adapter returned " + std::to_string(port.findAdapterResult()));
  OptionFields fields(*static_cast<drv::PHW_DEVICE_EXTENSION>(port.deviceExtension()));
  CheckMachine(findings, m, port, fields, "find-adapter");
  CheckFields(findings, fields, "find-adapter");
  return fields;
}

OptionFields ReadByTheOptionPass(Findings &findings, const std::string &text) {
  OptionMachine m;
  sim::PortDriver port(m.machine, {});
  PageEndString guarded(text);
  sim::GuardedBuffer record(sizeof(drv::HW_DEVICE_EXTENSION));
  auto *ext = reinterpret_cast<drv::PHW_DEVICE_EXTENSION>(record.data());
  PORT_CONFIGURATION_INFORMATION info{};
  info.AdapterInterfaceType = drv::FLAVOUR_INTERFACE_TYPE;
  m.machine.io.setRecording(true);
  {
    sim::PortDriver::CallScope scope(port);
    drv::SetOptionDefaults(ext);
    drv::ReadOptions(ext, guarded.get(), &info);
  }
  Check(findings, record.intact(), "option pass: write outside the adapter record");
  OptionFields fields(*ext);
  CheckMachine(findings, m, port, fields, "option pass");
  CheckFields(findings, fields, "option pass");
  return fields;
}

} // namespace

Findings RunInput(const uint8_t *data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && i < MAX_OPTION_LENGTH && data[i] != 0; i++) {
    text.push_back(static_cast<char>(data[i]));
  }
  Findings findings;
  OptionFields throughFindAdapter = ReadThroughFindAdapter(findings, text);
  OptionFields byTheOptionPass = ReadByTheOptionPass(findings, text);
  Check(findings, throughFindAdapter == byTheOptionPass,
        "find-adapter and the option pass read different option fields");
  return findings;
}

} // namespace fuzz::KAV_NS
