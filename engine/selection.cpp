// Selection: puts the request's target on the bus with IDENTIFY and either
// the command or, once per target and LUN, an SDTR offer.
#include "engine.h"

namespace KAV_NS {

constexpr UCHAR MSG_IDENTIFY = 0x80;
constexpr UCHAR MSG_EXTENDED = 0x01;
constexpr UCHAR MSG_EXTENDED_SDTR_LENGTH = 0x03;
constexpr UCHAR MSG_EXTENDED_SDTR = 0x01;
constexpr UCHAR SELECTION_TIMEOUT_VALUE = 0x99;
constexpr UCHAR SEQ_STEP_MASK = 0x07;

void SetStdrMsgout(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG n = DeviceExtension->MsgOutLength;
  ULONG target = DeviceExtension->TargetId;
  PUCHAR msgOut = DeviceExtension->MsgOut;

  msgOut[n] = MSG_EXTENDED;
  msgOut[n + 1] = MSG_EXTENDED_SDTR_LENGTH;
  msgOut[n + 2] = MSG_EXTENDED_SDTR;
  msgOut[n + 3] = DeviceExtension->DefaultSyncPeriod;
  if (DeviceExtension->AsyncOnly[target] == 2) {
    // The target proposed on its own although it is held to asynchronous
    // transfer: answer it once with offset 0.
    msgOut[n + 4] = 0;
    DeviceExtension->AsyncOnly[target] = 1;
  } else {
    msgOut[n + 4] = DeviceExtension->DefaultSyncOffset;
  }
  DeviceExtension->MsgOutLength = n + 5;
}

static BOOLEAN OfferIsDue(PHW_DEVICE_EXTENSION DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
  ULONG target = DeviceExtension->TargetId;
  ULONG lun = DeviceExtension->Lun;
  return DeviceExtension->AsyncOnly[target] != 1 && DeviceExtension->SdtrSent[target][lun] == 0 &&
         (Srb->SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER) == 0;
}

static void LoadMessageOut(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  for (ULONG i = 0; i < DeviceExtension->MsgOutLength && i < MSG_OUT_SIZE; i++) {
    WriteRegister(base, REG_FIFO, DeviceExtension->MsgOut[i]);
  }
  LoadTransferCount(base, DeviceExtension->MsgOutLength);
}

// A message-only request (BUS DEVICE RESET goes alone in the selection)
// whose target took the message and then freed the bus, as a target does
// after BUS DEVICE RESET, has been delivered. A selection time-out also ends
// in a disconnect, but with the sequence step at 0: no message byte taken.
static BOOLEAN MessageTakenAndBusFreed(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR IntStatus) {
  return DeviceExtension->MessageOnly == 1 && IntStatus == INT_DISCONNECT &&
         (ReadRegister(DeviceExtension->BaseIoAddress, REG_SEQ_STEP) & SEQ_STEP_MASK) != 0;
}

UCHAR ExecuteSelection(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  PHW_LU_EXTENSION lu = DeviceExtension->ActiveLu;
  PSCSI_REQUEST_BLOCK srb = lu->Srb;

  SelectBank(base, CONTROL_BANK1);
  SelectBank(base, CONTROL_BANK0);
  if (ReadRegister(base, REG_INT_STATUS) & INT_RESELECTED) {
    // A target is reselecting: the bus is not ours to select on.
    SelectBank(base, CONTROL_RESELECT_BANK1);
    return 0;
  }

  WriteRegister(base, REG_DEST_ID, srb->TargetId);
  WriteRegister(base, REG_SEL_TIMEOUT, SELECTION_TIMEOUT_VALUE);
  if (DeviceExtension->MessageOnly == 0) {
    DeviceExtension->MsgOutLength = 1;
    DeviceExtension->MsgOut[0] = static_cast<UCHAR>(MSG_IDENTIFY | srb->Lun);
    if (OfferIsDue(DeviceExtension, srb)) {
      SetStdrMsgout(DeviceExtension);
    }
  }

  WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
  SetTransferMode(DeviceExtension);
  UCHAR operationCode = OperationCode(lu);

  LoadMessageOut(DeviceExtension);
  if (DeviceExtension->MsgOutLength == 1) {
    for (ULONG i = 0; i < lu->CdbLength; i++) {
      WriteRegister(base, REG_FIFO, lu->Cdb[i]);
    }
    LoadTransferCount(base, lu->CdbLength + 1);
    WriteRegister(base, REG_COMMAND, CMD_SELECT_ATN);
  } else {
    DeviceExtension->SdtrSent[DeviceExtension->TargetId][DeviceExtension->Lun] = 1;
    WriteRegister(base, REG_COMMAND, CMD_SELECT_ATN_STOP);
  }

  if (CheckStReg(base, CHECK_WAIT) == CHECK_TIMEOUT && operationCode == SCSIOP_FORMAT_UNIT) {
    // A target formatting its medium may hold the selection for minutes.
    // When the long wait runs out, the selection is judged as any other.
    UCHAR status;
    WaitForFormatUnit(base, STATUS_INTERRUPT, 0, &status);
  }

  UCHAR intStatus = ReadRegister(base, REG_INT_STATUS);
  if (intStatus == INT_SELECTED) {
    if ((ReadRegister(base, REG_SEQ_STEP) & SEQ_STEP_MASK) == 0) {
      WriteRegister(base, REG_COMMAND, CMD_RESET_ATN);
    }
  } else if (MessageTakenAndBusFreed(DeviceExtension, intStatus)) {
    // The request has done its work; no phase follows.
    lu->SrbStatus = SRB_STATUS_SUCCESS;
    lu->RequestDone = 1;
    DeviceExtension->PhaseLoopDone = 1;
  } else if ((intStatus & INT_DISCONNECT) == 0) {
    // The bus is not free. Either the selection never ended (no interrupt:
    // a selection time-out would have ended it long before the wait did), so
    // the target answered and holds the bus, stalled in MESSAGE OUT or
    // COMMAND, say; or the chip refused to select because a target still
    // holds it from an earlier request. Neither is a selection time-out: the
    // sequence fails, the phase loop logs it, and the request is left to the
    // port driver's time-out, whose bus reset frees the bus.
    FailPhase(DeviceExtension);
  } else {
    // The bus is free again: no target answered, or it left at once.
    srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
    lu->RequestDone = 1;
    return 0;
  }

  DeviceExtension->DataPointer = reinterpret_cast<ULONG_PTR>(lu->DataPointer);
  DeviceExtension->DataLength = lu->DataLength;
  return 1;
}

} // namespace KAV_NS
