// Driver registration and adapter discovery: DriverEntry registers the
// routine table and record sizes; RoutineFindAdapter claims the chip's I/O
// range, describes the adapter, gives the adapter record its first values and
// reads the option string.
#include "kav.h"

namespace KAV_NS {

void ZeroBytes(void *Buffer, ULONG Length) {
  volatile UCHAR *bytes = static_cast<volatile UCHAR *>(Buffer);
  for (ULONG i = 0; i < Length; i++) {
    bytes[i] = 0;
  }
}

ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2) {
  HW_INITIALIZATION_DATA hwInitData;
  ULONG hwContext = 0;

  ZeroBytes(&hwInitData, sizeof(hwInitData));
  hwInitData.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
  hwInitData.AdapterInterfaceType = FLAVOUR_INTERFACE_TYPE;
  hwInitData.HwInitialize = RoutineInitialize;
  hwInitData.HwStartIo = RoutineStartIo;
  hwInitData.HwInterrupt = nullptr; // the driver polls; it has no interrupt routine
  hwInitData.HwFindAdapter = RoutineFindAdapter;
  hwInitData.HwResetBus = RoutineResetBus;
  hwInitData.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
  hwInitData.SpecificLuExtensionSize = sizeof(HW_LU_EXTENSION);
  hwInitData.SrbExtensionSize = 0;
  hwInitData.NumberOfAccessRanges = 1;
  hwInitData.MapBuffers = TRUE;
  hwInitData.NeedPhysicalAddresses = FALSE;
  hwInitData.TaggedQueuing = FALSE;
  hwInitData.AutoRequestSense = FALSE;
  hwInitData.MultipleRequestPerLu = TRUE;
  hwInitData.ReceiveEvent = FALSE;

  return ScsiPortInitialize(DriverObject, Argument2, &hwInitData, &hwContext);
}

static void FillPortConfiguration(PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
  ConfigInfo->AdapterInterfaceType = FLAVOUR_INTERFACE_TYPE;
  ConfigInfo->MaximumTransferLength = 0xFFFFFFFF;
  ConfigInfo->NumberOfPhysicalBreaks = 0xFFFFFFFF;
  ConfigInfo->AlignmentMask = 7;
  ConfigInfo->NumberOfAccessRanges = FLAVOUR_REPORTED_ACCESS_RANGES;
  ConfigInfo->NumberOfBuses = 1;
  ConfigInfo->InitiatorBusId[0] = INITIATOR_ID;
  ConfigInfo->ScatterGather = TRUE;
  ConfigInfo->Master = FALSE;
  ConfigInfo->CachesData = FALSE;
  ConfigInfo->AdapterScansDown = FALSE;
  ConfigInfo->AtdiskPrimaryClaimed = FALSE;
  ConfigInfo->AtdiskSecondaryClaimed = FALSE;
  ConfigInfo->Dma32BitAddresses = FALSE;
  if (FLAVOUR_SETS_DEMAND_MODE) {
    ConfigInfo->DemandMode = TRUE;
  }
  ConfigInfo->MapBuffers = TRUE;
  ConfigInfo->NeedPhysicalAddresses = FALSE;
  ConfigInfo->TaggedQueuing = FALSE;
  ConfigInfo->AutoRequestSense = FALSE;
  ConfigInfo->MultipleRequestPerLu = TRUE;
  ConfigInfo->ReceiveEvent = FALSE;
  ConfigInfo->BufferAccessScsiPortControlled = TRUE;
}

static void SetFirstValues(PHW_DEVICE_EXTENSION DeviceExtension) {
  DeviceExtension->DefaultSyncPeriod = 25;
  DeviceExtension->DefaultSyncOffset = 15;
  for (ULONG target = 0; target < MAX_TARGETS; target++) {
    DeviceExtension->SyncPeriod[target] = 0;
    DeviceExtension->SyncOffset[target] = 0;
    DeviceExtension->AsyncOnly[target] = 0;
    for (ULONG lun = 0; lun < MAX_LUNS; lun++) {
      DeviceExtension->SdtrSent[target][lun] = 0;
      DeviceExtension->SdtrDone[target][lun] = 0;
    }
  }
  DeviceExtension->MessageOnly = 0;
  SetOptionDefaults(DeviceExtension);
  // The engine is idle between requests.
  DeviceExtension->CurrentPhase = 0xFF;
  DeviceExtension->PhaseLoopDone = 1;
  DeviceExtension->ActiveLu = nullptr;
}

ULONG NTAPI RoutineFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                               PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                               PBOOLEAN Again) {
  (void)HwContext;
  (void)BusInformation;
  PHW_DEVICE_EXTENSION deviceExtension = static_cast<PHW_DEVICE_EXTENSION>(DeviceExtension);

  *Again = FALSE;

  PACCESS_RANGE firstRange = &(*ConfigInfo->AccessRanges)[0];
  ULONG rangeStart = firstRange->RangeStart.u.LowPart;
  if (rangeStart == 0) {
    return SP_RETURN_NOT_FOUND;
  }

  PVOID chipBase = ScsiPortGetDeviceBase(
      deviceExtension, ConfigInfo->AdapterInterfaceType, ConfigInfo->SystemIoBusNumber,
      ScsiPortConvertUlongToPhysicalAddress(rangeStart + FLAVOUR_CHIP_OFFSET), 16, TRUE);
  if (chipBase == nullptr) {
    // Without a mapping there is no chip to drive: report no adapter rather
    // than run with port address 0.
    return SP_RETURN_NOT_FOUND;
  }

  ULONG chipAddress = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(chipBase));
  firstRange->RangeStart = ScsiPortConvertUlongToPhysicalAddress(chipAddress);
  firstRange->RangeLength = 16;
  firstRange->RangeInMemory = FALSE;
  deviceExtension->BaseIoAddress = chipAddress;

  FillPortConfiguration(ConfigInfo);
  SetFirstValues(deviceExtension);

  if (ArgumentString != nullptr) {
    ReadOptions(deviceExtension, ArgumentString, ConfigInfo);
  }
  return SP_RETURN_FOUND;
}

} // namespace KAV_NS
