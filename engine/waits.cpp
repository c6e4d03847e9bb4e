// The engine's shared steps: failure exit, closing wait, the long wait of
// FORMAT UNIT, and the settling of an unanswered offer.
#include "engine.h"

namespace KAV_NS {

UCHAR FailPhase(PHW_DEVICE_EXTENSION DeviceExtension) {
  DeviceExtension->CurrentPhase = PHASE_FAILED;
  DeviceExtension->PhaseLoopDone = 1;
  return 0;
}

UCHAR ClosingWait(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR Phase) {
  ULONG base = DeviceExtension->BaseIoAddress;
  for (ULONG reads = 0; reads < POLL_LIMIT; reads++) {
    UCHAR phase = CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK;
    if (phase != Phase) {
      DeviceExtension->CurrentPhase = phase;
      return 1;
    }
  }
  return FailPhase(DeviceExtension);
}

BOOLEAN WaitForFormatUnit(ULONG BaseIoAddress, UCHAR Mask, UCHAR Unwanted, PUCHAR Status) {
  for (ULONG polls = 0; polls < FORMAT_UNIT_POLLS; polls++) {
    ScsiPortStallExecution(FORMAT_UNIT_POLL_MICROSECONDS);
    UCHAR status = CheckStReg(BaseIoAddress, CHECK_SAMPLE);
    if ((status & Mask) != Unwanted) {
      *Status = status;
      return TRUE;
    }
  }
  return FALSE;
}

UCHAR OperationCode(PHW_LU_EXTENSION LuExtension) {
  return LuExtension->CdbLength != 0 ? LuExtension->Cdb[0] : 0;
}

void SettleUnansweredOffer(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG target = DeviceExtension->TargetId;
  ULONG lun = DeviceExtension->Lun;
  if (DeviceExtension->SdtrSent[target][lun] == 1 && DeviceExtension->SdtrDone[target][lun] == 0) {
    DeviceExtension->SyncPeriod[target] = 0;
    DeviceExtension->SyncOffset[target] = 0;
    DeviceExtension->SdtrDone[target][lun] = 1;
  }
}

} // namespace KAV_NS
