// Chip and bus reset: RoutineInitialize (once, after find-adapter) and
// RoutineResetBus (the port driver's bus-reset entry) share one sequence:
// reset the SCSI bus, wait until the chip has seen it, report it, reset the
// chip, check its identity and program it.
#include "fas408.h"

namespace KAV_NS {

// Settle delay after the first reset: 20 x 25,000 stalls of 10 us, 5 s.
constexpr ULONG SETTLE_PASSES = 20;
constexpr ULONG SETTLE_STALLS_PER_PASS = 25000;
constexpr ULONG SETTLE_STALL_MICROSECONDS = 10;

void InitFAS408(ULONG BaseIoAddress) {
  SelectBank(BaseIoAddress, CONTROL_RESET_BANK0);
  WriteRegister(BaseIoAddress, REG_CLOCK_FACTOR, 0x00);
  WriteRegister(BaseIoAddress, REG_CONFIG1, 0x90 | 0x07 /* own SCSI ID */);
  WriteRegister(BaseIoAddress, REG_CONFIG2, 0x48);
  WriteRegister(BaseIoAddress, REG_CONFIG3, 0x10);
  WriteRegister(BaseIoAddress, REG_SYNC_OFFSET, 0x00);
  WriteRegister(BaseIoAddress, REG_SYNC_PERIOD, 0x08);
  WriteRegister(BaseIoAddress, REG_SEL_TIMEOUT, 0x99);
  SelectBank(BaseIoAddress, CONTROL_BANK1);
  WriteRegister(BaseIoAddress, REG_PIO_CONTROL, 0x01);
}

// Waits, for at most POLL_LIMIT polls, until the chip reports the SCSI bus
// reset. A pending interrupt of another cause is acknowledged by the read of
// REG_INT_STATUS and the wait goes on.
static BOOLEAN WaitForBusReset(ULONG BaseIoAddress) {
  for (ULONG polls = 0; polls < POLL_LIMIT; polls++) {
    if (ReadRegister(BaseIoAddress, REG_STATUS) & STATUS_INTERRUPT) {
      if (ReadRegister(BaseIoAddress, REG_INT_STATUS) & INT_BUS_RESET) {
        return TRUE;
      }
    }
  }
  return FALSE;
}

static BOOLEAN ChipIdentityIsKnown(UCHAR ChipId) {
  UCHAR revision = ChipId & 0x07;
  return revision == 2 || revision == 5;
}

// The reset sequence common to initialisation and bus reset.
static BOOLEAN ResetBusAndChip(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;

  SelectBank(base, CONTROL_RESET_BANK0);
  WriteRegister(base, REG_COMMAND, CMD_RESET_BUS);
  if (!WaitForBusReset(base)) {
    return FALSE;
  }
  ScsiPortNotification(ResetDetected, DeviceExtension);

  WriteRegister(base, REG_COMMAND, CMD_RESET_CHIP);
  WriteRegister(base, REG_COMMAND, CMD_NOP);

  SelectBank(base, CONTROL_BANK1);
  if (!ChipIdentityIsKnown(ReadRegister(base, REG_CHIP_ID))) {
    return FALSE;
  }
  InitFAS408(base);
  return TRUE;
}

BOOLEAN NTAPI RoutineInitialize(PVOID DeviceExtension) {
  PHW_DEVICE_EXTENSION deviceExtension = static_cast<PHW_DEVICE_EXTENSION>(DeviceExtension);
  if (!ResetBusAndChip(deviceExtension)) {
    return FALSE;
  }
  for (ULONG pass = 0; pass < SETTLE_PASSES; pass++) {
    for (ULONG stall = 0; stall < SETTLE_STALLS_PER_PASS; stall++) {
      ScsiPortStallExecution(SETTLE_STALL_MICROSECONDS);
    }
  }
  TuneSocketController(deviceExtension);
  return TRUE;
}

BOOLEAN NTAPI RoutineResetBus(PVOID DeviceExtension, ULONG PathId) {
  PHW_DEVICE_EXTENSION deviceExtension = static_cast<PHW_DEVICE_EXTENSION>(DeviceExtension);
  if (!ResetBusAndChip(deviceExtension)) {
    return FALSE;
  }
  // Every target is offered synchronous transfer afresh; AsyncOnly and the
  // option fields stay.
  for (ULONG target = 0; target < MAX_TARGETS; target++) {
    deviceExtension->SyncPeriod[target] = 0;
    deviceExtension->SyncOffset[target] = 0;
    for (ULONG lun = 0; lun < MAX_LUNS; lun++) {
      deviceExtension->SdtrSent[target][lun] = 0;
      deviceExtension->SdtrDone[target][lun] = 0;
    }
  }
  ScsiPortCompleteRequest(deviceExtension, static_cast<UCHAR>(PathId), 0xFF, 0xFF,
                          SRB_STATUS_BUS_RESET);
  ScsiPortNotification(NextRequest, deviceExtension);
  return TRUE;
}

} // namespace KAV_NS
