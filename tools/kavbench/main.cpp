// kavbench: loads a driver flavour into the simulated machine (the FAS408
// chip model at 0x340 with a disk at target 0) and shows what it did at
// start-up, the chip's state after initialisation included.
#include "class_driver.h"
#include "driver_view.h"
#include "port_driver.h"
#include "system.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PrintUsage(FILE *out) {
  std::fprintf(out, "usage: kavbench [--driver nt|95] [--options TEXT]\n"
                    "  --driver nt|95   driver flavour to load (default nt)\n"
                    "  --options TEXT   the driver's option string (default: none)\n"
                    "  --help           this text\n");
}

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

void PrintRegistration(const HW_INITIALIZATION_DATA &data) {
  std::printf("Registration data\n");
  std::printf("  HwInitializationDataSize  %u\n", data.HwInitializationDataSize);
  std::printf("  AdapterInterfaceType      %s (%d)\n", InterfaceName(data.AdapterInterfaceType),
              data.AdapterInterfaceType);
  std::printf("  HwInterrupt               %s\n", data.HwInterrupt ? "set" : "none");
  std::printf("  DeviceExtensionSize       %u\n", data.DeviceExtensionSize);
  std::printf("  SpecificLuExtensionSize   %u\n", data.SpecificLuExtensionSize);
  std::printf("  SrbExtensionSize          %u\n", data.SrbExtensionSize);
  std::printf("  NumberOfAccessRanges      %u\n", data.NumberOfAccessRanges);
  std::printf("  MapBuffers                %s\n", YesNo(data.MapBuffers));
  std::printf("  AutoRequestSense          %s\n", YesNo(data.AutoRequestSense));
  std::printf("  MultipleRequestPerLu      %s\n", YesNo(data.MultipleRequestPerLu));
}

void PrintConfiguration(const sim::PortDriver &port) {
  const PORT_CONFIGURATION_INFORMATION &info = port.configuration();
  std::printf("Port configuration after find-adapter\n");
  std::printf("  AdapterInterfaceType      %s\n", InterfaceName(info.AdapterInterfaceType));
  std::printf("  MaximumTransferLength     0x%X\n", info.MaximumTransferLength);
  std::printf("  NumberOfPhysicalBreaks    0x%X\n", info.NumberOfPhysicalBreaks);
  std::printf("  AlignmentMask             %u\n", info.AlignmentMask);
  std::printf("  NumberOfAccessRanges      %u\n", info.NumberOfAccessRanges);
  std::printf("  NumberOfBuses             %u\n", info.NumberOfBuses);
  std::printf("  InitiatorBusId[0]         %d\n", info.InitiatorBusId[0]);
  std::printf("  ScatterGather             %s\n", YesNo(info.ScatterGather));
  std::printf("  DemandMode                %s\n", YesNo(info.DemandMode));
  std::printf("  BufferAccessScsiPortControlled %s\n", YesNo(info.BufferAccessScsiPortControlled));
  if (port.allocatedAccessRanges() > 0) {
    const ACCESS_RANGE &range = port.accessRanges()[0];
    std::printf("  AccessRange[0]            start 0x%llX, length %u, %s\n",
                static_cast<unsigned long long>(range.RangeStart.QuadPart), range.RangeLength,
                range.RangeInMemory ? "memory" : "I/O");
  }
}

// The bus scan as a table, then a TEST UNIT READY and a short write, read
// and compare on every disk found.
int RunRequests(sim::System &system, const DriverView &view) {
  sim::ClassDriver classDriver(system.portDriver());
  std::vector<sim::ScanEntry> found = classDriver.scanBus();
  std::printf("Bus scan\n  ID LUN type vendor   product          rev  capacity\n");
  for (const sim::ScanEntry &entry : found) {
    std::printf("  %2u %3u %4u %-8s %-16s %-4s %llu bytes\n", entry.target, entry.lun,
                entry.inquiry.deviceType(), entry.inquiry.vendor.c_str(),
                entry.inquiry.product.c_str(), entry.inquiry.revision.c_str(),
                static_cast<unsigned long long>(entry.capacity ? entry.capacity->bytes() : 0));
  }
  int failures = 0;
  for (const sim::ScanEntry &entry : found) {
    if (!entry.capacity) {
      continue;
    }
    sim::CommandResult ready = classDriver.testUnitReady(entry.target, entry.lun);
    std::printf("TEST UNIT READY to target %u: SRB status 0x%02X, SCSI status 0x%02X\n",
                entry.target, ready.srbStatus, ready.scsiStatus);
    const uint32_t blockSize = entry.capacity->blockSize;
    std::vector<uint8_t> pattern(128 * blockSize);
    for (size_t i = 0; i < pattern.size(); i++) {
      pattern[i] = static_cast<uint8_t>(i * 7 + entry.target);
    }
    sim::CommandResult written = classDriver.writeBlocks(entry.target, entry.lun, 16, pattern,
                                                         blockSize);
    sim::CommandResult read = classDriver.readBlocks(entry.target, entry.lun, 16, 128, blockSize);
    bool same = written.ok() && read.ok() && read.data == pattern;
    failures += same ? 0 : 1;
    std::printf("Target %u: wrote and read back %zu bytes at block 16: %s\n", entry.target,
                pattern.size(), same ? "verified" : "MISMATCH");
  }
  std::printf("Adapter record after the requests\n");
  for (const auto &[name, value] : view.describe(system.portDriver().deviceExtension())) {
    std::printf("  %-25s %s\n", name.c_str(), value.c_str());
  }
  const sim::ClassCounters &counters = classDriver.counters();
  std::printf("Requests %llu, retries %llu, errors %llu, violations %zu\n",
              static_cast<unsigned long long>(counters.requests),
              static_cast<unsigned long long>(counters.retries),
              static_cast<unsigned long long>(counters.errors),
              system.portDriver().violations().size());
  return failures == 0 && counters.errors == 0 && system.portDriver().violations().empty() ? 0
                                                                                          : 1;
}

} // namespace

int main(int argc, char **argv) {
  std::string flavour = "nt";
  sim::PortDriverConfig config;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if ((arg == "--driver" || arg == "--options") && i + 1 >= argc) {
      std::fprintf(stderr, "kavbench: %s needs a value\n", arg.c_str());
      return 2;
    }
    if (arg == "--driver") {
      flavour = argv[++i];
      if (flavour != "nt" && flavour != "95") {
        std::fprintf(stderr, "kavbench: unknown driver '%s' (use nt or 95)\n", flavour.c_str());
        return 2;
      }
    } else if (arg == "--options") {
      config.argumentString = argv[++i];
    } else {
      std::fprintf(stderr, "kavbench: unknown argument '%s' (see --help)\n", arg.c_str());
      return 2;
    }
  }

  DriverView view = flavour == "95" ? kav95::MakeDriverView() : kavnt::MakeDriverView();
  sim::SystemConfig machineConfig =
      sim::SystemConfig::forFlavour(flavour == "95" ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
  machineConfig.options = config.argumentString;
  machineConfig.disks.push_back({0, 0, {}});
  machineConfig.disks.push_back({2, 0, {}});
  sim::System system(machineConfig);
  sim::PortDriver &port = system.portDriver();
  std::printf("Loading %s, option string %s\n", view.name,
              config.argumentString ? ("\"" + *config.argumentString + "\"").c_str() : "(none)");
  ULONG status = port.load(view.driverEntry);
  if (port.registered()) {
    PrintRegistration(port.registration());
  }
  std::printf("find-adapter: %s\n",
              port.findAdapterResult() == SP_RETURN_FOUND ? "found" : "not found");
  if (port.findAdapterResult() == SP_RETURN_FOUND) {
    PrintConfiguration(port);
    std::printf("Adapter record\n");
    for (const auto &[name, value] : view.describe(port.deviceExtension())) {
      std::printf("  %-25s %s\n", name.c_str(), value.c_str());
    }
  }
  if (port.initializeCalled()) {
    std::printf("initialise: %s\n", port.initializeResult() ? "ready" : "failed");
    std::printf("FAS408 at 0x%X after initialisation\n", system.chipPort());
    for (const std::string &line : system.chip().describe()) {
      std::printf("  %s\n", line.c_str());
    }
    std::printf("  simulated time %.3f s, %llu SCSI bus reset(s)\n",
                static_cast<double>(system.machine().clock.now()) / 1e9,
                static_cast<unsigned long long>(system.bus().statistics.resets));
  }
  for (const std::string &line : port.log()) {
    std::printf("port driver: %s\n", line.c_str());
  }
  std::printf("DriverEntry returned 0x%08X\n", status);
  if (status != sim::STATUS_SUCCESS) {
    return 1;
  }
  return RunRequests(system, view);
}
