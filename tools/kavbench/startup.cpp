#include "startup.h"

namespace kavbench {

namespace {

const char *InterfaceName(INTERFACE_TYPE type) {
  switch (type) {
  case Isa:
    return "Isa";
  case PCMCIABus:
    return "PCMCIABus";
  default:
    return "other";
  }
}

const char *YesNo(BOOLEAN value) {
  return value ? "TRUE" : "FALSE";
}

std::string Hex(unsigned value, int digits = 2) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

void PrintRegistration(std::FILE *out, const HW_INITIALIZATION_DATA &data) {
  std::fprintf(out, "Registration data\n");
  std::fprintf(out, "  HwInitializationDataSize  %u\n", data.HwInitializationDataSize);
  std::fprintf(out, "  AdapterInterfaceType      %s (%d)\n",
               InterfaceName(data.AdapterInterfaceType), data.AdapterInterfaceType);
  std::fprintf(out, "  HwInterrupt               %s\n", data.HwInterrupt ? "set" : "none");
  std::fprintf(out, "  DeviceExtensionSize       %u\n", data.DeviceExtensionSize);
  std::fprintf(out, "  SpecificLuExtensionSize   %u\n", data.SpecificLuExtensionSize);
  std::fprintf(out, "  SrbExtensionSize          %u\n", data.SrbExtensionSize);
  std::fprintf(out, "  NumberOfAccessRanges      %u\n", data.NumberOfAccessRanges);
  std::fprintf(out, "  MapBuffers                %s\n", YesNo(data.MapBuffers));
  std::fprintf(out, "  AutoRequestSense          %s\n", YesNo(data.AutoRequestSense));
  std::fprintf(out, "  MultipleRequestPerLu      %s\n", YesNo(data.MultipleRequestPerLu));
}

void PrintConfiguration(std::FILE *out, const sim::PortDriver &port) {
  const PORT_CONFIGURATION_INFORMATION &info = port.configuration();
  std::fprintf(out, "Port configuration after find-adapter\n");
  std::fprintf(out, "  AdapterInterfaceType      %s\n", InterfaceName(info.AdapterInterfaceType));
  std::fprintf(out, "  MaximumTransferLength     0x%X\n", info.MaximumTransferLength);
  std::fprintf(out, "  NumberOfPhysicalBreaks    0x%X\n", info.NumberOfPhysicalBreaks);
  std::fprintf(out, "  AlignmentMask             %u\n", info.AlignmentMask);
  std::fprintf(out, "  NumberOfAccessRanges      %u\n", info.NumberOfAccessRanges);
  std::fprintf(out, "  NumberOfBuses             %u\n", info.NumberOfBuses);
  std::fprintf(out, "  InitiatorBusId[0]         %d\n", info.InitiatorBusId[0]);
  std::fprintf(out, "  ScatterGather             %s\n", YesNo(info.ScatterGather));
  std::fprintf(out, "  DemandMode                %s\n", YesNo(info.DemandMode));
  std::fprintf(out, "  BufferAccessScsiPortControlled %s\n",
               YesNo(info.BufferAccessScsiPortControlled));
  if (port.allocatedAccessRanges() > 0) {
    const ACCESS_RANGE &range = port.accessRanges()[0];
    std::fprintf(out, "  AccessRange[0]            start 0x%llX, length %u, %s\n",
                 static_cast<unsigned long long>(range.RangeStart.QuadPart), range.RangeLength,
                 range.RangeInMemory ? "memory" : "I/O");
  }
}

// The moment initialisation began: the driver reports its first bus reset
// there, after find-adapter has finished.
uint64_t InitialiseTime(const sim::PortDriver &port) {
  for (const sim::PortEvent &event : port.eventsOf(sim::PortEvent::Kind::Notification)) {
    if (event.notification == ResetDetected) {
      return event.time;
    }
  }
  return ~0ull;
}

// Register writes through the index and data ports, from `since` on.
std::vector<std::string> RegisterWrites(const sim::Pcic &pcic, uint64_t since) {
  std::vector<std::string> writes;
  uint8_t index = 0;
  for (const sim::PcicAccess &access : pcic.log()) {
    if (access.kind == sim::PcicAccess::Kind::IndexWrite) {
      index = access.value;
    }
    if (access.kind != sim::PcicAccess::Kind::DataWrite || access.time < since) {
      continue;
    }
    uint8_t reg = index & 0x3F;
    std::string where = reg == sim::pcic::GLOBAL_CONTROL
                            ? "global"
                            : (index & sim::pcic::SECOND_SOCKET ? "socket 2" : "socket 1");
    writes.push_back(Hex(reg) + "=" + Hex(access.value) + " (" + where + ")");
  }
  return writes;
}

std::string SearchText(const SocketReport &report) {
  if (report.searched) {
    return report.recordSocket != 0
               ? "found the card in socket " + std::to_string(report.recordSocket)
               : "searched both sockets, found no card";
  }
  if (report.recordSocket != 0) {
    return "not run: /SLOT= names socket " + std::to_string(report.recordSocket);
  }
  return "not run: the options ask for no /TP560 or /CIRRUS";
}

} // namespace

SocketReport ReadSocketReport(BenchMachine &machine) {
  SocketReport report;
  sim::Pcic *pcic = machine.system().pcic();
  sim::PortDriver &port = machine.system().portDriver();
  if (pcic == nullptr) {
    return report;
  }
  report.present = true;
  report.cardSocket = machine.system().config().socketController->cardSocket;
  for (const sim::PortEvent &event : port.eventsOf(sim::PortEvent::Kind::Mapping)) {
    report.searched = report.searched || !event.ioSpace;
  }
  if (port.findAdapterResult() == SP_RETURN_FOUND) {
    report.recordSocket = machine.view().cardSocket(port.deviceExtension());
  }
  report.tuning = RegisterWrites(*pcic, InitialiseTime(port));
  return report;
}

void PrintStartup(std::FILE *out, BenchMachine &machine, ULONG status) {
  sim::System &system = machine.system();
  sim::PortDriver &port = system.portDriver();
  const DriverView &view = machine.view();
  const std::optional<std::string> &options = machine.description().options;
  std::fprintf(out, "Loading %s%s%s, option string %s\n", view.name,
               machine.imagePath().empty() ? "" : " from ", machine.imagePath().c_str(),
               options ? ("\"" + *options + "\"").c_str() : "(none)");
  if (port.registered()) {
    PrintRegistration(out, port.registration());
  }
  std::fprintf(out, "find-adapter: %s\n",
               port.findAdapterResult() == SP_RETURN_FOUND ? "found" : "not found");
  if (port.findAdapterResult() == SP_RETURN_FOUND) {
    PrintConfiguration(out, port);
    std::fprintf(out, "Adapter record\n");
    for (const auto &[name, value] : view.describe(port.deviceExtension())) {
      std::fprintf(out, "  %-25s %s\n", name.c_str(), value.c_str());
    }
  }
  if (port.initializeCalled()) {
    std::fprintf(out, "initialise: %s\n", port.initializeResult() ? "ready" : "failed");
    std::fprintf(out, "FAS408 at 0x%X after initialisation\n", system.chipPort());
    for (const std::string &line : system.chip().describe()) {
      std::fprintf(out, "  %s\n", line.c_str());
    }
    std::fprintf(out, "  simulated time %.3f s, %llu SCSI bus reset(s)\n",
                 static_cast<double>(system.machine().clock.now()) / 1e9,
                 static_cast<unsigned long long>(system.bus().statistics.resets));
  }
  SocketReport socket = ReadSocketReport(machine);
  if (socket.present) {
    const sim::PcicConfig &pcic = system.pcic()->config();
    std::fprintf(out, "Socket controller at 0x%X, card window 0x%X, the card in socket %d\n",
                 pcic.ioBase, pcic.memoryBase, socket.cardSocket);
    std::fprintf(out, "  card search: %s\n", SearchText(socket).c_str());
    std::fprintf(out, "  tuning wrote: %s\n",
                 socket.tuning.empty() ? "nothing" : "(register=value)");
    for (const std::string &write : socket.tuning) {
      std::fprintf(out, "    %s\n", write.c_str());
    }
  }
  for (const std::string &line : port.log()) {
    std::fprintf(out, "port driver: %s\n", line.c_str());
  }
  std::fprintf(out, "DriverEntry returned 0x%08X\n\n", status);
}

void WriteStartupJson(JsonWriter &json, BenchMachine &machine, ULONG status) {
  sim::System &system = machine.system();
  sim::PortDriver &port = system.portDriver();
  json.beginObject("startup");
  json.string("driver", machine.view().name);
  if (machine.imagePath().empty()) {
    json.null("image");
  } else {
    json.string("image", machine.imagePath());
  }
  const std::optional<std::string> &options = machine.description().options;
  if (options) {
    json.string("options", *options);
  } else {
    json.null("options");
  }
  json.string("driverEntry", Hex(status, 8));
  json.boolean("found", port.findAdapterResult() == SP_RETURN_FOUND);
  json.boolean("initialised", port.initializeCalled() && port.initializeResult());
  json.string("chipPort", Hex(system.chipPort(), 3));
  json.number("simulatedNs", static_cast<uint64_t>(system.machine().clock.now()));
  SocketReport socket = ReadSocketReport(machine);
  if (socket.present) {
    json.beginObject("socket");
    json.number("card", static_cast<int64_t>(socket.cardSocket));
    json.boolean("searched", socket.searched);
    json.number("recordSocket", static_cast<int64_t>(socket.recordSocket));
    json.beginArray("tuning");
    for (const std::string &write : socket.tuning) {
      json.string(nullptr, write);
    }
    json.endArray();
    json.endObject();
  }
  json.endObject();
}

} // namespace kavbench
