// The shipped image against the linked-in flavour: the same scenario run
// once on each, in twin machines, must leave the same records, the same
// port driver events and the same I/O traffic (and on whole machines the
// same bus traffic and socket-controller accesses). Literal values check the
// image on its own as well.
#include "class_driver.h"
#include "driver_fixture.h"
#include "image_under_test.h"
#include "system.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// One run of a scenario on one driver: the machine, its port driver and
// what DriverEntry returned.
struct Run {
  explicit Run(sim::PortDriverConfig config)
      : portDriver(std::make_unique<sim::PortDriver>(machine, std::move(config))) {
    machine.io.setIsaAlias(true);
    machine.io.setRecording(true);
  }
  sim::Machine machine;
  std::unique_ptr<sim::PortDriver> portDriver;
  ULONG status = 0;
};

struct Twins {
  explicit Twins(const sim::PortDriverConfig &config) : linked(config), image(config) {
    linked.status = linked.portDriver->load(drv::DriverEntry);
    image.status = image.portDriver->load(DriverEntryUnderTest());
  }
  Run linked;
  Run image;
};

sim::PortDriverConfig FindOnly(const char *options) {
  sim::PortDriverConfig config;
  if (options != nullptr) {
    config.argumentString = options;
  }
  config.skipInitialize = true;
  return config;
}

// The port configuration without its one pointer (the port driver's own
// access-range buffer differs between the twins by nature).
std::vector<uint8_t> ConfigurationBytes(const sim::PortDriver &portDriver) {
  PORT_CONFIGURATION_INFORMATION info = portDriver.configuration();
  info.AccessRanges = nullptr;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&info);
  return std::vector<uint8_t>(bytes, bytes + sizeof info);
}

std::vector<uint8_t> ExtensionBytes(sim::PortDriver &portDriver) {
  const uint8_t *bytes = static_cast<const uint8_t *>(portDriver.deviceExtension());
  return std::vector<uint8_t>(bytes, bytes + portDriver.deviceExtensionSize());
}

void ExpectSameEvents(const std::vector<sim::PortEvent> &a, const std::vector<sim::PortEvent> &b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) {
    SCOPED_TRACE("event " + std::to_string(i));
    EXPECT_EQ(a[i].kind, b[i].kind);
    EXPECT_EQ(a[i].time, b[i].time);
    EXPECT_EQ(a[i].notification, b[i].notification);
    EXPECT_EQ(a[i].address, b[i].address);
    EXPECT_EQ(a[i].length, b[i].length);
    EXPECT_EQ(a[i].ioSpace, b[i].ioSpace);
    EXPECT_EQ(a[i].mapped, b[i].mapped);
    EXPECT_EQ(a[i].errorCode, b[i].errorCode);
    EXPECT_EQ(a[i].srbStatus, b[i].srbStatus);
  }
}

void ExpectSameEvents(const sim::PortDriver &linked, const sim::PortDriver &image) {
  ExpectSameEvents(linked.events(), image.events());
}

void ExpectSameIo(const sim::Machine &linked, const sim::Machine &image) {
  const std::vector<sim::IoAccess> &a = linked.io.accesses();
  const std::vector<sim::IoAccess> &b = image.io.accesses();
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) {
    SCOPED_TRACE("I/O access " + std::to_string(i));
    EXPECT_EQ(a[i].time, b[i].time);
    EXPECT_EQ(a[i].port, b[i].port);
    EXPECT_EQ(a[i].width, b[i].width);
    EXPECT_EQ(a[i].write, b[i].write);
    EXPECT_EQ(a[i].value, b[i].value);
    EXPECT_EQ(a[i].count, b[i].count);
  }
  EXPECT_EQ(linked.clock.now(), image.clock.now());
}

TEST(ShippedImage, LoadsAndRegistersTheFlavour) {
  const sim::LoadedImage *image = ImageUnderTest();
  ASSERT_NE(image, nullptr);
  Twins twins(FindOnly(nullptr));
  ASSERT_TRUE(twins.image.portDriver->registered());
  EXPECT_EQ(twins.image.status, 0u);
  const HW_INITIALIZATION_DATA &data = twins.image.portDriver->registration();
  EXPECT_EQ(data.HwInitializationDataSize, 76u);
  EXPECT_EQ(data.AdapterInterfaceType, kIs95 ? 8 : 1);
  // The image's records have the layout of this build's: the sizes it
  // registers are the sizes this compiler gives the same declarations.
  EXPECT_EQ(data.DeviceExtensionSize, sizeof(drv::HW_DEVICE_EXTENSION));
  EXPECT_EQ(data.SpecificLuExtensionSize, sizeof(drv::HW_LU_EXTENSION));

  // Every routine lies in the image's code, each a different one.
  const void *routines[] = {
      reinterpret_cast<void *>(data.HwInitialize), reinterpret_cast<void *>(data.HwStartIo),
      reinterpret_cast<void *>(data.HwFindAdapter), reinterpret_cast<void *>(data.HwResetBus)};
  for (size_t i = 0; i < 4; i++) {
    EXPECT_TRUE(image->inCode(routines[i])) << i;
    for (size_t j = 0; j < i; j++) {
      EXPECT_NE(routines[i], routines[j]);
    }
  }

  // Apart from the routine addresses, the registration data is the linked
  // flavour's, byte for byte.
  HW_INITIALIZATION_DATA linked = twins.linked.portDriver->registration();
  HW_INITIALIZATION_DATA shipped = data;
  for (HW_INITIALIZATION_DATA *record : {&linked, &shipped}) {
    record->HwInitialize = nullptr;
    record->HwStartIo = nullptr;
    record->HwFindAdapter = nullptr;
    record->HwResetBus = nullptr;
  }
  EXPECT_EQ(std::memcmp(&linked, &shipped, sizeof linked), 0);
}

TEST(ShippedImage, LeavesThePortConfigurationOfTheFlavour) {
  Twins twins(FindOnly(nullptr));
  sim::PortDriver &port = *twins.image.portDriver;
  ASSERT_EQ(port.findAdapterResult(), 1u);
  const PORT_CONFIGURATION_INFORMATION &info = port.configuration();
  EXPECT_EQ(info.AdapterInterfaceType, kIs95 ? 8 : 1);
  EXPECT_EQ(info.MaximumTransferLength, 0xFFFFFFFFu);
  EXPECT_EQ(info.NumberOfPhysicalBreaks, 0xFFFFFFFFu);
  EXPECT_EQ(info.AlignmentMask, 7u);
  EXPECT_EQ(info.NumberOfAccessRanges, kIs95 ? 2u : 1u);
  EXPECT_EQ(info.NumberOfBuses, 1);
  EXPECT_EQ(info.InitiatorBusId[0], 7);
  EXPECT_EQ(info.ScatterGather, 1);
  EXPECT_EQ(info.DemandMode, kIs95 ? 0 : 1);
  EXPECT_EQ(info.BufferAccessScsiPortControlled, 1);
  // The chip's range, converted by the image's call through the address
  // thunk: 0x340 + 0x400 or + 0x10.
  const ACCESS_RANGE &range = port.accessRanges()[0];
  EXPECT_EQ(range.RangeStart.u.LowPart, kIs95 ? 0x350u : 0x740u);
  EXPECT_EQ(range.RangeStart.u.HighPart, 0);
  EXPECT_EQ(range.RangeLength, 16u);
  EXPECT_EQ(range.RangeInMemory, 0);
  EXPECT_EQ(ConfigurationBytes(*twins.linked.portDriver), ConfigurationBytes(port));
}

// Option strings, ordinary and hostile: find-adapter on the image must
// leave exactly what it leaves on the linked flavour.
const char *const kOptionStrings[] = {
    nullptr,
    "",
    "/AS1 /AS2",
    "-as6",
    "/As6",
    "/AS9",
    "/AS",
    "/ND-AS1",
    "/PCICADR=3E2",
    "/PCICADR=1/AS2",
    "/pcicadr=03e4 /membase=d000",
    "/MEMBASE=C800",
    "/SLOT=2 /CIRRUS",
    "/slot=1 /tp560",
    "/SLOT=1 /SLOT=2 -AS3 -as4",
    "/Slot=1 /Tp560 /Cirrus",
    "xx/as5yy",
    "/PCICADR=",
    "/SLOT=",
    "\xFF\x80/AS\xFF /SLOT=\x81",
    "////////----////AS/AS/AS-ND-ND",
    "                                                                               /AS3",
    "                                                                                /AS3",
};

TEST(ShippedImage, FindsTheAdapterWithEachOptionStringAsTheLinkedFlavourDoes) {
  for (const char *options : kOptionStrings) {
    SCOPED_TRACE(options ? std::string("options \"") + options + "\"" : "no option string");
    Twins twins(FindOnly(options));
    sim::PortDriver &linked = *twins.linked.portDriver;
    sim::PortDriver &image = *twins.image.portDriver;
    EXPECT_EQ(twins.image.status, twins.linked.status);
    EXPECT_EQ(image.findAdapterResult(), linked.findAdapterResult());
    EXPECT_EQ(image.again(), linked.again());
    EXPECT_EQ(ExtensionBytes(image), ExtensionBytes(linked));
    EXPECT_EQ(ConfigurationBytes(image), ConfigurationBytes(linked));
    EXPECT_EQ(std::memcmp(image.accessRanges(), linked.accessRanges(), sizeof(ACCESS_RANGE)), 0);
    ExpectSameEvents(linked, image);
    ExpectSameIo(twins.linked.machine, twins.image.machine);
    EXPECT_EQ(image.log(), linked.log());
    EXPECT_TRUE(image.violations().empty());
  }
}

TEST(ShippedImage, StartsUpAsTheLinkedFlavourDoes) {
  // Find-adapter and initialise on an empty bus (no chip answers): the same
  // register traffic, stalls, notifications and outcome on both.
  for (const char *options : {static_cast<const char *>(nullptr), "/AS2", "/SLOT=1 /CIRRUS"}) {
    SCOPED_TRACE(options ? options : "no option string");
    sim::PortDriverConfig config;
    if (options) {
      config.argumentString = options;
    }
    Twins twins(config);
    sim::PortDriver &linked = *twins.linked.portDriver;
    sim::PortDriver &image = *twins.image.portDriver;
    EXPECT_EQ(twins.image.status, twins.linked.status);
    EXPECT_TRUE(image.initializeCalled());
    EXPECT_EQ(image.initializeResult(), linked.initializeResult());
    EXPECT_FALSE(twins.image.machine.io.accesses().empty());
    ExpectSameIo(twins.linked.machine, twins.image.machine);
    ExpectSameEvents(linked, image);
    EXPECT_EQ(ExtensionBytes(image), ExtensionBytes(linked));
    EXPECT_TRUE(image.violations().empty());
  }
}

// Every port access of a machine, folded as it happens: their number and a
// hash (FNV-1a over 64-bit words) of each access's time, port, width,
// direction, value and count. A whole machine polls its chip millions of times (each absent
// target of a bus scan is a selection time-out), too many to keep.
struct IoDigest {
  uint64_t accesses = 0;
  uint64_t hash = 0xCBF29CE484222325ull;

  void add(const sim::IoAccess &access) {
    accesses++;
    const uint64_t fields[] = {access.time,  access.port,  access.width,
                               access.write, access.value, access.count};
    for (uint64_t field : fields) {
      hash = (hash ^ field) * 0x100000001B3ull;
    }
  }
};

// Twin whole machines, the linked flavour in one and the image in the
// other: chip, bus, disks and, for KAV95, the socket controller.
struct MachineTwins {
  // Without the digest the port accesses are compared by their counts.
  explicit MachineTwins(const sim::SystemConfig &config, bool digestIo = true)
      : linked(config), image(config) {
    if (digestIo) {
      digesting = true;
      linked.machine().io.observer = [this](const sim::IoAccess &a) { linkedIo.add(a); };
      image.machine().io.observer = [this](const sim::IoAccess &a) { imageIo.add(a); };
    }
    for (sim::System *system : {&linked, &image}) {
      system->bus().recorder.setEnabled(true);
    }
    linkedStatus = linked.load(drv::DriverEntry);
    imageStatus = image.load(DriverEntryUnderTest());
  }

  void expectSameIo() {
    EXPECT_TRUE(!digesting || imageIo.accesses > 0);
    EXPECT_EQ(linkedIo.accesses, imageIo.accesses);
    EXPECT_EQ(linkedIo.hash, imageIo.hash) << "the port accesses differ";
    const sim::AccessCounts &a = linked.machine().io.counts();
    const sim::AccessCounts &b = image.machine().io.counts();
    EXPECT_GT(b.total(), 0u);
    for (int width : {1, 2, 4}) {
      EXPECT_EQ(a.reads[width], b.reads[width]) << "reads of width " << width;
      EXPECT_EQ(a.writes[width], b.writes[width]) << "writes of width " << width;
    }
    EXPECT_EQ(linked.machine().clock.now(), image.machine().clock.now());
  }

  bool digesting = false;
  IoDigest linkedIo, imageIo;
  sim::System linked;
  sim::System image;
  ULONG linkedStatus = 0;
  ULONG imageStatus = 0;
};

// A machine's port driver events, with a mapping of the machine's own card
// window written as a null pointer: each twin has its own window.
std::vector<sim::PortEvent> MachineEvents(sim::System &system) {
  std::vector<sim::PortEvent> events = system.portDriver().events();
  for (sim::PortEvent &event : events) {
    if (event.kind == sim::PortEvent::Kind::Mapping && system.pcic() != nullptr &&
        event.mapped == system.pcic()->window()) {
      event.mapped = nullptr;
    }
  }
  return events;
}

// The device extension with its two pointers into the twin's own memory
// (the active unit's record, the data position) cleared.
std::vector<uint8_t> ExtensionValues(sim::PortDriver &portDriver) {
  drv::HW_DEVICE_EXTENSION extension;
  EXPECT_EQ(portDriver.deviceExtensionSize(), sizeof extension);
  std::memcpy(&extension, portDriver.deviceExtension(), sizeof extension);
  extension.ActiveLu = nullptr;
  extension.DataPointer = 0;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&extension);
  return std::vector<uint8_t>(bytes, bytes + sizeof extension);
}

void ExpectSameBus(const sim::ScsiBus &linked, const sim::ScsiBus &image) {
  const std::vector<sim::BusEvent> &a = linked.recorder.events();
  const std::vector<sim::BusEvent> &b = image.recorder.events();
  EXPECT_GT(b.size(), 0u);
  EXPECT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size() && i < b.size(); i++) {
    if (a[i].time != b[i].time || a[i].kind != b[i].kind || a[i].target != b[i].target ||
        a[i].phase != b[i].phase || a[i].byte != b[i].byte) {
      ADD_FAILURE() << "bus event " << i << ": linked \"" << linked.recorder.describe(a[i])
                    << "\", image \"" << image.recorder.describe(b[i]) << "\"";
      return;
    }
  }
}

void ExpectSameControllerLog(sim::System &linked, sim::System &image) {
  if (linked.pcic() == nullptr) {
    return;
  }
  const std::vector<sim::PcicAccess> &a = linked.pcic()->log();
  const std::vector<sim::PcicAccess> &b = image.pcic()->log();
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) {
    SCOPED_TRACE("controller access " + std::to_string(i));
    EXPECT_EQ(a[i].time, b[i].time);
    EXPECT_EQ(a[i].kind, b[i].kind);
    EXPECT_EQ(a[i].index, b[i].index);
    EXPECT_EQ(a[i].value, b[i].value);
  }
}

sim::SystemConfig DiskMachine(const char *options) {
  sim::SystemConfig config =
      sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
  if (options != nullptr) {
    config.options = options;
  }
  if (kIs95) {
    config.socketController->cardSocket = 2;
  }
  config.disks.push_back({0, 0, {}});
  config.disks.push_back({4, 0, {}});
  return config;
}

std::vector<uint8_t> Bytes(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++) {
    bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  }
  return bytes;
}

TEST(ShippedImage, RunsAWholeMachineAsTheLinkedFlavourDoes) {
  // Start-up with /CIRRUS (for KAV95 the card search and tuning), bus scan,
  // SDTR, 64 KiB written and read back: the same register traffic at the
  // same simulated times, the same bus phases and bytes, the same
  // controller accesses and port driver events, and the same data.
  MachineTwins twins(DiskMachine("/CIRRUS"));
  ASSERT_EQ(twins.imageStatus, sim::STATUS_SUCCESS);
  EXPECT_EQ(twins.image.portDriver().initializeResult(), TRUE);
  std::vector<sim::ScanEntry> scans[2];
  std::vector<uint8_t> reads[2];
  const std::vector<uint8_t> data = Bytes(64 * 1024);
  sim::System *systems[2] = {&twins.linked, &twins.image};
  for (int i = 0; i < 2; i++) {
    sim::ClassDriver disks(systems[i]->portDriver());
    scans[i] = disks.scanBus();
    EXPECT_TRUE(disks.writeBlocks(4, 0, 300, data, 512).ok());
    reads[i] = disks.readBlocks(4, 0, 300, 128, 512).data;
  }
  ASSERT_EQ(scans[1].size(), 2u);
  EXPECT_EQ(scans[1][1].target, 4);
  EXPECT_EQ(scans[0].size(), scans[1].size());
  EXPECT_EQ(reads[1], data);
  EXPECT_EQ(reads[0], reads[1]);
  EXPECT_EQ(twins.image.target(4).agreement().offset, 15) << "synchronous after the SDTR";
  if (kIs95) {
    EXPECT_EQ(twins.image.pcic()->registerValue(2, 0x3E), 0x14) << "socket 2 tuned";
  }

  twins.expectSameIo();
  ExpectSameBus(twins.linked.bus(), twins.image.bus());
  ExpectSameControllerLog(twins.linked, twins.image);
  ExpectSameEvents(MachineEvents(twins.linked), MachineEvents(twins.image));
  EXPECT_EQ(ExtensionValues(twins.image.portDriver()), ExtensionValues(twins.linked.portDriver()));
  EXPECT_TRUE(twins.image.portDriver().violations().empty());
}

TEST(ShippedImage, TimesOutAStalledTargetAsTheLinkedFlavourDoes) {
  // The stalled phase polls the chip some 16 million times: the accesses
  // are counted, not each one folded into the digest.
  MachineTwins twins(DiskMachine(nullptr), false);
  sim::Request *requests[2];
  sim::System *systems[2] = {&twins.linked, &twins.image};
  for (int i = 0; i < 2; i++) {
    sim::ClassDriver disks(systems[i]->portDriver());
    ASSERT_TRUE(disks.readBlocks(0, 0, 0, 1, 512).ok());
    systems[i]->target(0).options().stallIn = sim::Phase::Status;
    sim::RequestOrder read;
    read.cdb = {0x28, 0, 0, 0, 0, 8, 0, 0, 2, 0};
    read.srbFlags = SRB_FLAGS_DATA_IN;
    read.dataLength = 1024;
    requests[i] = &systems[i]->portDriver().execute(read);
  }
  EXPECT_EQ(requests[1]->status, SRB_STATUS_BUS_RESET);
  EXPECT_EQ(requests[0]->status, requests[1]->status);
  EXPECT_EQ(requests[0]->completionTime, requests[1]->completionTime);
  EXPECT_EQ(twins.image.portDriver().eventsOf(sim::PortEvent::Kind::LogError).size(), 1u);
  ExpectSameBus(twins.linked.bus(), twins.image.bus());
  ExpectSameEvents(twins.linked.portDriver(), twins.image.portDriver());
  twins.expectSameIo();
  EXPECT_EQ(ExtensionValues(twins.image.portDriver()), ExtensionValues(twins.linked.portDriver()));
}

} // namespace
