// The shipped image against the linked-in flavour: the same scenario run
// once on each, in twin machines, must leave the same records, the same
// port driver events and the same I/O traffic. Literal values check the
// image on its own as well.
#include "driver_fixture.h"
#include "image_under_test.h"

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

void ExpectSameEvents(const sim::PortDriver &linked, const sim::PortDriver &image) {
  const std::vector<sim::PortEvent> &a = linked.events();
  const std::vector<sim::PortEvent> &b = image.events();
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

} // namespace
