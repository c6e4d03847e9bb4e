// Request dispatch and completion: RoutineStartIo sorts each request by its
// SRB function, StartScsiExec carries a bus request from selection to its
// completion, RoutineAbort gives abort requests their final status.
#include "engine.h"

namespace KAV_NS {

constexpr UCHAR MSG_IDENTIFY = 0x80;
constexpr UCHAR MSG_IDENTIFY_DISCONNECT = 0x40; // the target may disconnect
constexpr UCHAR MSG_ABORT = 0x06;
constexpr UCHAR MSG_BUS_DEVICE_RESET = 0x0C;
constexpr ULONG CDB_SIZE = sizeof(SCSI_REQUEST_BLOCK::Cdb);

static void CompleteAtOnce(PHW_DEVICE_EXTENSION DeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                           UCHAR SrbStatus) {
  Srb->SrbStatus = SrbStatus;
  ScsiPortNotification(RequestComplete, DeviceExtension, Srb);
  ScsiPortNotification(NextRequest, DeviceExtension);
}

// Requests that go on the bus need a target and LUN the tables hold and a
// logical-unit record; anything else is refused before it can index them.
// Returns the refusal status, or 0.
static UCHAR CheckAddress(PSCSI_REQUEST_BLOCK Srb, PHW_LU_EXTENSION LuExtension) {
  if (Srb->TargetId >= MAX_TARGETS) {
    return SRB_STATUS_INVALID_TARGET_ID;
  }
  if (Srb->Lun >= MAX_LUNS) {
    return SRB_STATUS_INVALID_LUN;
  }
  if (LuExtension == nullptr) {
    return SRB_STATUS_INVALID_REQUEST;
  }
  return 0;
}

// An execute request must also describe a command the SRB holds and a
// buffer the chip's count can carry.
static UCHAR CheckExecute(PSCSI_REQUEST_BLOCK Srb, PHW_LU_EXTENSION LuExtension) {
  UCHAR refusal = CheckAddress(Srb, LuExtension);
  if (refusal != 0) {
    return refusal;
  }
  if (Srb->CdbLength > CDB_SIZE || Srb->DataTransferLength > TRANSFER_COUNT_MAX ||
      (Srb->DataTransferLength != 0 && Srb->DataBuffer == nullptr)) {
    return SRB_STATUS_INVALID_REQUEST;
  }
  return 0;
}

// Abort and device reset carry no command and move no data. Their LU record
// gets an empty command in the SRB itself and no buffer, so that selection,
// the phases and completion never reach what an earlier request left there:
// no stale command bytes follow the message, and the residual is 0.
static void PrepareMessageOnly(PHW_LU_EXTENSION LuExtension, PSCSI_REQUEST_BLOCK Srb) {
  LuExtension->Srb = Srb;
  LuExtension->StatusByte = &Srb->ScsiStatus;
  LuExtension->Cdb = Srb->Cdb;
  LuExtension->CdbLength = 0;
  LuExtension->DataPointer = nullptr;
  LuExtension->DataLength = 0;
}

// After a BUS DEVICE RESET the target has forgotten any synchronous
// agreement: it is offered afresh at its next selection.
static void ForgetAgreement(PHW_DEVICE_EXTENSION DeviceExtension, ULONG TargetId) {
  DeviceExtension->SyncPeriod[TargetId] = 0;
  DeviceExtension->SyncOffset[TargetId] = 0;
  for (ULONG lun = 0; lun < MAX_LUNS; lun++) {
    DeviceExtension->SdtrSent[TargetId][lun] = 0;
    DeviceExtension->SdtrDone[TargetId][lun] = 0;
  }
}

void RoutineAbort(PHW_DEVICE_EXTENSION DeviceExtension, PHW_LU_EXTENSION LuExtension,
                  PSCSI_REQUEST_BLOCK Srb) {
  (void)DeviceExtension;
  (void)LuExtension;
  Srb->SrbStatus = SRB_STATUS_ABORT_FAILED;
}

UCHAR StartScsiExec(PHW_DEVICE_EXTENSION DeviceExtension, PHW_LU_EXTENSION LuExtension,
                    PSCSI_REQUEST_BLOCK Srb) {
  DeviceExtension->PhaseLoopDone = 0;
  DeviceExtension->CurrentPhase = PHASE_SAMPLE;
  DeviceExtension->ActiveLu = LuExtension;
  // Whether the request ends here is decided by this request alone: a
  // selection not started because a target is reselecting leaves the request
  // to the port driver's time-out and the bus reset that follows it, whatever
  // the record's previous request left.
  LuExtension->RequestDone = 0;

  if (ExecuteSelection(DeviceExtension) == 1) {
    RunPhaseSub(DeviceExtension);
    if (LuExtension->RequestDone == 1) {
      // A request that ended without a status byte (COMMAND COMPLETE
      // straight after the command) has no good status to report.
      UCHAR srbStatus = LuExtension->SrbStatus;
      Srb->SrbStatus = srbStatus != SRB_STATUS_PENDING ? srbStatus : SRB_STATUS_ERROR;
      ULONG residual = DeviceExtension->DataLength;
      if (residual > Srb->DataTransferLength) {
        residual = Srb->DataTransferLength;
      }
      Srb->DataTransferLength -= residual;
    }
  } else {
    Srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
  }

  if (LuExtension->RequestDone != 1) {
    return 0; // outstanding until the port driver's time-out
  }
  ScsiPortNotification(RequestComplete, DeviceExtension, Srb);
  LuExtension->Srb = nullptr;
  DeviceExtension->ActiveLu = nullptr;
  ScsiPortNotification(NextRequest, DeviceExtension);
  return 1;
}

BOOLEAN NTAPI RoutineStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
  PHW_DEVICE_EXTENSION deviceExtension = static_cast<PHW_DEVICE_EXTENSION>(DeviceExtension);
  PHW_LU_EXTENSION lu = static_cast<PHW_LU_EXTENSION>(
      ScsiPortGetLogicalUnit(deviceExtension, Srb->PathId, Srb->TargetId, Srb->Lun));

  Srb->SrbStatus = SRB_STATUS_PENDING;
  if (lu != nullptr) {
    lu->SrbStatus = SRB_STATUS_PENDING;
  }

  switch (Srb->Function) {
  case SRB_FUNCTION_EXECUTE_SCSI: {
    UCHAR refusal = CheckExecute(Srb, lu);
    if (refusal != 0) {
      CompleteAtOnce(deviceExtension, Srb, refusal);
      break;
    }
    lu->Srb = Srb;
    lu->DataPointer = static_cast<PUCHAR>(Srb->DataBuffer);
    lu->DataLength = Srb->DataTransferLength;
    lu->StatusByte = &Srb->ScsiStatus;
    lu->Cdb = Srb->Cdb;
    lu->CdbLength = Srb->CdbLength;
    deviceExtension->TargetId = Srb->TargetId;
    deviceExtension->Lun = Srb->Lun;
    deviceExtension->MessageOnly = 0;
    StartScsiExec(deviceExtension, lu, Srb);
    break;
  }

  case SRB_FUNCTION_ABORT_COMMAND: {
    UCHAR refusal = CheckAddress(Srb, lu);
    if (refusal != 0) {
      CompleteAtOnce(deviceExtension, Srb, refusal);
      break;
    }
    PrepareMessageOnly(lu, Srb);
    UCHAR identify = MSG_IDENTIFY | Srb->Lun;
    if ((Srb->SrbFlags & SRB_FLAGS_DISABLE_DISCONNECT) == 0) {
      identify |= MSG_IDENTIFY_DISCONNECT;
    }
    deviceExtension->MsgOut[0] = identify;
    deviceExtension->MsgOut[1] = MSG_ABORT;
    deviceExtension->MsgOutLength = 2;
    deviceExtension->MessageOnly = 1;
    StartScsiExec(deviceExtension, lu, Srb);
    RoutineAbort(deviceExtension, lu, Srb);
    ScsiPortNotification(NextRequest, deviceExtension);
    break;
  }

  case SRB_FUNCTION_RESET_BUS:
    // RoutineResetBus completes every outstanding request of the bus, this
    // one included, and notifies NextRequest; the port driver reads the
    // status below once this call has returned.
    RoutineResetBus(deviceExtension, Srb->PathId);
    Srb->SrbStatus = SRB_STATUS_SUCCESS;
    break;

  case SRB_FUNCTION_RESET_DEVICE: {
    UCHAR refusal = CheckAddress(Srb, lu);
    if (refusal != 0) {
      CompleteAtOnce(deviceExtension, Srb, refusal);
      break;
    }
    PrepareMessageOnly(lu, Srb);
    deviceExtension->MsgOut[0] = MSG_BUS_DEVICE_RESET;
    deviceExtension->MsgOutLength = 1;
    deviceExtension->MessageOnly = 1;
    StartScsiExec(deviceExtension, lu, Srb);
    ForgetAgreement(deviceExtension, Srb->TargetId);
    break;
  }

  default:
    CompleteAtOnce(deviceExtension, Srb, SRB_STATUS_INVALID_REQUEST);
    break;
  }
  return TRUE;
}

} // namespace KAV_NS
