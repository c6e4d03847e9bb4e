// DriverEntry's registration data, find-adapter's port configuration and
// access-range rewrite, and the adapter record's first values.
#include "driver_fixture.h"

namespace {

sim::PortDriverConfig FindOnly(uint32_t rangeStart = 0x340) {
  sim::PortDriverConfig config;
  config.accessRangeStart = rangeStart;
  config.skipInitialize = true;
  return config;
}

TEST(Registration, FillsTheRegistrationDataOfTheFlavour) {
  LoadedDriver driver(FindOnly());
  driver.load();
  ASSERT_TRUE(driver.portDriver->registered());
  const HW_INITIALIZATION_DATA &data = driver.portDriver->registration();

  EXPECT_EQ(data.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
  EXPECT_EQ(data.AdapterInterfaceType, kIs95 ? 8 : 1); // PCMCIABus or Isa
  EXPECT_EQ(data.HwInitialize, &drv::RoutineInitialize);
  EXPECT_EQ(data.HwStartIo, &drv::RoutineStartIo);
  EXPECT_EQ(data.HwFindAdapter, &drv::RoutineFindAdapter);
  EXPECT_EQ(data.HwResetBus, &drv::RoutineResetBus);
  EXPECT_EQ(data.HwInterrupt, nullptr);
  EXPECT_EQ(data.HwDmaStarted, nullptr);
  EXPECT_EQ(data.HwAdapterState, nullptr);
  EXPECT_EQ(data.DeviceExtensionSize, sizeof(drv::HW_DEVICE_EXTENSION));
  EXPECT_EQ(data.SpecificLuExtensionSize, sizeof(drv::HW_LU_EXTENSION));
  EXPECT_EQ(data.SrbExtensionSize, 0u);
  EXPECT_EQ(data.NumberOfAccessRanges, 1u);
  EXPECT_EQ(data.MapBuffers, TRUE);
  EXPECT_EQ(data.NeedPhysicalAddresses, FALSE);
  EXPECT_EQ(data.TaggedQueuing, FALSE);
  EXPECT_EQ(data.AutoRequestSense, FALSE);
  EXPECT_EQ(data.MultipleRequestPerLu, TRUE);
  EXPECT_EQ(data.ReceiveEvent, FALSE);
  EXPECT_EQ(data.VendorIdLength, 0);
  EXPECT_EQ(data.DeviceIdLength, 0);
  EXPECT_EQ(data.VendorId, nullptr);
  EXPECT_EQ(data.DeviceId, nullptr);
}

TEST(Registration, DriverEntryReturnsThePortDriverStatus) {
  LoadedDriver found(FindOnly());
  EXPECT_EQ(found.load(), sim::STATUS_SUCCESS);
  LoadedDriver missing(FindOnly(0));
  EXPECT_EQ(missing.load(), sim::STATUS_NO_SUCH_DEVICE);
}

TEST(FindAdapter, LeavesThePortConfigurationOfTheFlavour) {
  LoadedDriver driver(FindOnly());
  driver.load();
  ASSERT_EQ(driver.portDriver->findAdapterResult(), SP_RETURN_FOUND);
  const PORT_CONFIGURATION_INFORMATION &info = driver.portDriver->configuration();

  EXPECT_EQ(info.AdapterInterfaceType, kIs95 ? PCMCIABus : Isa);
  EXPECT_EQ(info.MaximumTransferLength, 0xFFFFFFFFu);
  EXPECT_EQ(info.NumberOfPhysicalBreaks, 0xFFFFFFFFu);
  EXPECT_EQ(info.AlignmentMask, 7u);
  EXPECT_EQ(info.NumberOfAccessRanges, kIs95 ? 2u : 1u);
  EXPECT_EQ(info.NumberOfBuses, 1);
  EXPECT_EQ(info.InitiatorBusId[0], 7);
  EXPECT_EQ(info.ScatterGather, TRUE);
  EXPECT_EQ(info.Master, FALSE);
  EXPECT_EQ(info.CachesData, FALSE);
  EXPECT_EQ(info.AdapterScansDown, FALSE);
  EXPECT_EQ(info.AtdiskPrimaryClaimed, FALSE);
  EXPECT_EQ(info.AtdiskSecondaryClaimed, FALSE);
  EXPECT_EQ(info.Dma32BitAddresses, FALSE);
  // KAV95 leaves DemandMode as the port driver set it (FALSE here).
  EXPECT_EQ(info.DemandMode, kIs95 ? FALSE : TRUE);
  EXPECT_EQ(info.MapBuffers, TRUE);
  EXPECT_EQ(info.NeedPhysicalAddresses, FALSE);
  EXPECT_EQ(info.TaggedQueuing, FALSE);
  EXPECT_EQ(info.AutoRequestSense, FALSE);
  EXPECT_EQ(info.MultipleRequestPerLu, TRUE);
  EXPECT_EQ(info.ReceiveEvent, FALSE);
  EXPECT_EQ(info.BufferAccessScsiPortControlled, TRUE);
  // Fields the driver does not name keep what the port driver put there.
  EXPECT_EQ(info.MaximumNumberOfTargets, 8);
  EXPECT_EQ(info.DmaChannel, SP_UNINITIALIZED_VALUE);
  EXPECT_EQ(info.BusInterruptLevel, 0u);
  EXPECT_EQ(info.SystemIoBusNumber, 0u);
  EXPECT_EQ(driver.portDriver->again(), FALSE);
  EXPECT_TRUE(driver.portDriver->violations().empty());
}

TEST(FindAdapter, MapsTheChipAndRewritesTheFirstAccessRange) {
  LoadedDriver driver(FindOnly(0x340));
  driver.load();
  const uint32_t chip = kIs95 ? 0x350 : 0x740; // range start + 0x10 or + 0x400

  auto mappings = driver.portDriver->eventsOf(sim::PortEvent::Kind::Mapping);
  ASSERT_EQ(mappings.size(), 1u);
  EXPECT_EQ(mappings[0].address, chip);
  EXPECT_EQ(mappings[0].length, 16u);
  EXPECT_TRUE(mappings[0].ioSpace);

  const ACCESS_RANGE &range = driver.portDriver->accessRanges()[0];
  EXPECT_EQ(range.RangeStart.QuadPart, chip);
  EXPECT_EQ(range.RangeLength, 16u);
  EXPECT_EQ(range.RangeInMemory, FALSE);
  EXPECT_EQ(driver.extension().BaseIoAddress, chip);
}

TEST(FindAdapter, GivesTheAdapterRecordItsFirstValues) {
  LoadedDriver driver(FindOnly());
  driver.load();
  drv::HW_DEVICE_EXTENSION &ext = driver.extension();
  EXPECT_EQ(ext.DefaultSyncPeriod, 25);
  EXPECT_EQ(ext.DefaultSyncOffset, 15);
  EXPECT_EQ(ext.MessageOnly, 0);
  for (int target = 0; target < 8; target++) {
    EXPECT_EQ(ext.SyncPeriod[target], 0);
    EXPECT_EQ(ext.SyncOffset[target], 0);
    EXPECT_EQ(ext.AsyncOnly[target], 0);
    for (int lun = 0; lun < 8; lun++) {
      EXPECT_EQ(ext.SdtrSent[target][lun], 0);
      EXPECT_EQ(ext.SdtrDone[target][lun], 0);
    }
  }
}

TEST(FindAdapter, AnAccessRangeAtZeroIsNotFoundAndChangesNothing) {
  LoadedDriver driver(FindOnly(0));
  driver.load();
  EXPECT_EQ(driver.portDriver->findAdapterResult(), SP_RETURN_NOT_FOUND);
  EXPECT_EQ(driver.portDriver->again(), FALSE);
  EXPECT_TRUE(driver.portDriver->eventsOf(sim::PortEvent::Kind::Mapping).empty());
  EXPECT_EQ(driver.portDriver->configuration().NumberOfBuses, 0); // as the port driver left it
  EXPECT_EQ(driver.portDriver->accessRanges()[0].RangeLength, 0x10u);
  EXPECT_EQ(driver.extension().DefaultSyncPeriod, 0);
  EXPECT_FALSE(driver.portDriver->initializeCalled());
}

TEST(FindAdapter, AChipMappingThePortDriverCannotGiveIsNotFound) {
  sim::PortDriverConfig config = FindOnly();
  config.failIoMapping = true;
  LoadedDriver driver(config);
  driver.load();
  EXPECT_EQ(driver.portDriver->findAdapterResult(), SP_RETURN_NOT_FOUND);
  EXPECT_EQ(driver.extension().BaseIoAddress, 0u);
  EXPECT_EQ(driver.portDriver->accessRanges()[0].RangeStart.QuadPart, 0x340);
}

// Registration data a real port driver would refuse.
ULONG NTAPI FakeFind(PVOID, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION, PBOOLEAN) {
  return SP_RETURN_FOUND;
}

struct BadRegistrationCase {
  const char *name;
  void (*spoil)(HW_INITIALIZATION_DATA &);
  ULONG status;
  const char *logged;
};

TEST(PortDriverRegistration, RejectsWhatARealPortDriverRejects) {
  const BadRegistrationCase cases[] = {
      {"size", [](HW_INITIALIZATION_DATA &d) { d.HwInitializationDataSize = 80; },
       sim::STATUS_REVISION_MISMATCH, "HwInitializationDataSize"},
      {"start-I/O", [](HW_INITIALIZATION_DATA &d) { d.HwStartIo = nullptr; },
       sim::STATUS_INVALID_PARAMETER, "HwStartIo"},
      {"find-adapter", [](HW_INITIALIZATION_DATA &d) { d.HwFindAdapter = nullptr; },
       sim::STATUS_INVALID_PARAMETER, "HwFindAdapter"},
      {"reset", [](HW_INITIALIZATION_DATA &d) { d.HwResetBus = nullptr; },
       sim::STATUS_INVALID_PARAMETER, "HwResetBus"},
      {"interface", [](HW_INITIALIZATION_DATA &d) { d.AdapterInterfaceType = MaximumInterfaceType; },
       sim::STATUS_INVALID_PARAMETER, "interface type"},
  };
  for (const BadRegistrationCase &bad : cases) {
    SCOPED_TRACE(bad.name);
    sim::Machine machine;
    sim::PortDriver portDriver(machine, FindOnly());
    HW_INITIALIZATION_DATA data{};
    data.HwInitializationDataSize = sizeof(data);
    data.AdapterInterfaceType = Isa;
    data.HwInitialize = drv::RoutineInitialize;
    data.HwStartIo = drv::RoutineStartIo;
    data.HwFindAdapter = FakeFind;
    data.HwResetBus = drv::RoutineResetBus;
    bad.spoil(data);
    ULONG status;
    {
      sim::PortDriver::CallScope scope(portDriver);
      status = ScsiPortInitialize(nullptr, nullptr, &data, nullptr);
    }
    EXPECT_EQ(status, bad.status);
    EXPECT_FALSE(portDriver.registered());
    ASSERT_FALSE(portDriver.log().empty());
    EXPECT_NE(portDriver.log().back().find(bad.logged), std::string::npos) << portDriver.log().back();
  }
}

} // namespace
