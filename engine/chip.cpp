// The one bounded status poll and the loading of per-target transfer
// settings. All three routines require bank 0 to be selected by the caller.
#include "fas408.h"

namespace KAV_NS {

UCHAR CheckStReg(ULONG BaseIoAddress, UCHAR Mode) {
  ULONG remaining = POLL_LIMIT;
  for (;;) {
    UCHAR status = ReadRegister(BaseIoAddress, REG_STATUS);
    if (status & STATUS_INTERRUPT) {
      if (Mode == CHECK_WAIT_STATUS) {
        return status;
      }
      if (Mode == CHECK_WAIT) {
        return 0;
      }
    }
    remaining--;
    if (remaining == 0) {
      return CHECK_TIMEOUT;
    }
    if (Mode == CHECK_SAMPLE) {
      return status;
    }
  }
}

void SetTransferMode(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  ULONG target = DeviceExtension->TargetId & (MAX_TARGETS - 1);
  UCHAR period = DeviceExtension->SyncPeriod[target];

  WriteRegister(base, REG_SYNC_PERIOD, period != 0 ? period : 10);
  WriteRegister(base, REG_SYNC_OFFSET, DeviceExtension->SyncOffset[target]);
  if (period & 0x80) {
    UCHAR config3 = ReadRegister(base, REG_CONFIG3);
    WriteRegister(base, REG_CONFIG3, config3 | 0x10);
  }
}

void ResetTransferMode(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  WriteRegister(base, REG_SYNC_PERIOD, 10);
  WriteRegister(base, REG_SYNC_OFFSET, 0);
  UCHAR config3 = ReadRegister(base, REG_CONFIG3);
  if (config3 & 0x80) {
    WriteRegister(base, REG_CONFIG3, config3 & 0xEF);
  }
}

} // namespace KAV_NS
