// The command phase (the CDB through the PIO FIFO) and the status phase (the
// status byte, its translation, the final message byte and the end of the
// request).
#include "engine.h"

namespace KAV_NS {

// REG_STATUS values that, with bus service, end the command transfer: the
// target has gone on to data, status or message in.
static const UCHAR CommandEndStatus[] = {0x81, 0x90, 0x91, 0x93, 0x97};

static BOOLEAN CommandTransferEnded(UCHAR IntStatus, UCHAR Status) {
  if (IntStatus == INT_FUNCTION_COMPLETE || IntStatus == INT_SELECTED) {
    return TRUE;
  }
  if (IntStatus == INT_BUS_SERVICE) {
    for (UCHAR accepted : CommandEndStatus) {
      if (Status == accepted) {
        return TRUE;
      }
    }
  }
  return FALSE;
}

// Waits for the bus to leave the command phase. A FORMAT UNIT may keep the
// target there while it formats: past POLL_LIMIT reads it gets the long wait.
static UCHAR WaitForCommandPhaseEnd(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR OperationCode) {
  ULONG base = DeviceExtension->BaseIoAddress;
  ULONG remaining = POLL_LIMIT;
  for (;;) {
    UCHAR phase = CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK;
    remaining--;
    if (remaining == 0) {
      if (OperationCode != SCSIOP_FORMAT_UNIT) {
        return FailPhase(DeviceExtension);
      }
      if (phase == PHASE_COMMAND) {
        UCHAR status;
        if (!WaitForFormatUnit(base, STATUS_PHASE_MASK, PHASE_COMMAND, &status)) {
          return FailPhase(DeviceExtension);
        }
        phase = status & STATUS_PHASE_MASK;
      }
    }
    if (phase != PHASE_COMMAND) {
      DeviceExtension->CurrentPhase = phase;
      return 1;
    }
  }
}

UCHAR CommandPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  PHW_LU_EXTENSION lu = DeviceExtension->ActiveLu;

  ScsiPortStallExecution(STALL_MICROSECONDS);
  UCHAR operationCode = OperationCode(lu);

  SelectBank(base, CONTROL_BANK0);
  SetTransferMode(DeviceExtension);
  WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);

  SelectBank(base, CONTROL_BANK1);
  WriteRegister(base, REG_PIO_CONTROL, 0);
  WriteRegister(base, REG_PIO_CONFIG, 1);
  SelectBank(base, CONTROL_BANK0);
  LoadTransferCount(base, lu->CdbLength);

  SelectBank(base, CONTROL_BANK1);
  while (lu->CdbLength != 0) {
    WriteRegister(base, REG_PIO_DATA, *lu->Cdb);
    lu->Cdb++;
    lu->CdbLength--;
  }

  SelectBank(base, CONTROL_BANK0);
  WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO_DMA);
  SelectBank(base, CONTROL_BANK1);
  WriteRegister(base, REG_PIO_CONTROL, 1);
  SelectBank(base, CONTROL_BANK0);

  for (ULONG passes = 0;; passes++) {
    if (passes == INTERRUPT_PASS_LIMIT) {
      return FailPhase(DeviceExtension);
    }
    UCHAR status = CheckStReg(base, CHECK_WAIT_STATUS);
    if (status == CHECK_TIMEOUT) {
      return FailPhase(DeviceExtension);
    }
    UCHAR intStatus = ReadRegister(base, REG_INT_STATUS);
    if (CommandTransferEnded(intStatus, status)) {
      break;
    }
    if (intStatus == INT_DISCONNECT) {
      return FailPhase(DeviceExtension);
    }
  }
  return WaitForCommandPhaseEnd(DeviceExtension, operationCode);
}

// ------------------------------------------------------------------ status

struct STATUS_TRANSLATION {
  UCHAR ScsiStatus;
  UCHAR SrbStatus;
};

// The whole status byte is compared; any byte not listed reads as busy.
static const STATUS_TRANSLATION StatusTranslations[] = {
    {0x00, SRB_STATUS_SUCCESS}, // good
    {0x04, SRB_STATUS_SUCCESS}, // condition met
    {0x10, SRB_STATUS_SUCCESS}, // intermediate
    {0x14, SRB_STATUS_SUCCESS}, // intermediate, condition met
    {0x02, SRB_STATUS_ERROR},   // check condition
    {0x22, SRB_STATUS_ERROR},   // command terminated
};

static UCHAR TranslateStatus(UCHAR ScsiStatus) {
  for (const STATUS_TRANSLATION &entry : StatusTranslations) {
    if (entry.ScsiStatus == ScsiStatus) {
      return entry.SrbStatus;
    }
  }
  return SRB_STATUS_BUSY;
}

static BOOLEAN IsStatusStepDone(UCHAR IntStatus) {
  return IntStatus == INT_FUNCTION_COMPLETE || IntStatus == INT_BUS_SERVICE ||
         IntStatus == INT_SELECTED;
}

// Moves the status byte into the PIO FIFO. 1 when done, 0 on failure.
static UCHAR TransferStatusByte(ULONG BaseIoAddress) {
  WriteRegister(BaseIoAddress, REG_COMMAND, CMD_TRANSFER_INFO_DMA);
  ScsiPortStallExecution(STALL_MICROSECONDS);
  for (ULONG passes = 0; passes < INTERRUPT_PASS_LIMIT; passes++) {
    if (CheckStReg(BaseIoAddress, CHECK_WAIT) == CHECK_TIMEOUT) {
      return 0;
    }
    UCHAR intStatus = ReadRegister(BaseIoAddress, REG_INT_STATUS);
    if (IsStatusStepDone(intStatus)) {
      return 1;
    }
    if (intStatus == INT_DISCONNECT) {
      return 0;
    }
  }
  return 0;
}

UCHAR StatusPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  PHW_LU_EXTENSION lu = DeviceExtension->ActiveLu;

  SelectBank(base, CONTROL_BANK0);
  LoadTransferCount(base, 1);
  ReadRegister(base, REG_INT_STATUS); // acknowledges an interrupt still pending

  if ((CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK) != PHASE_MESSAGE_IN) {
    if (!TransferStatusByte(base)) {
      return FailPhase(DeviceExtension);
    }
  }

  SelectBank(base, CONTROL_BANK1);
  UCHAR scsiStatus = ReadRegister(base, REG_PIO_DATA);
  *lu->StatusByte = scsiStatus;
  lu->SrbStatus = TranslateStatus(scsiStatus);

  SelectBank(base, CONTROL_BANK0);
  WriteRegister(base, REG_COMMAND, CMD_INITIATOR_COMPLETE);
  for (ULONG passes = 0;; passes++) {
    if (passes == INTERRUPT_PASS_LIMIT || CheckStReg(base, CHECK_WAIT) == CHECK_TIMEOUT) {
      return FailPhase(DeviceExtension);
    }
    UCHAR intStatus = ReadRegister(base, REG_INT_STATUS);
    if (IsStatusStepDone(intStatus)) {
      break;
    }
    if (intStatus == INT_DISCONNECT) {
      // The target has already gone: nothing is left to wait for.
      DeviceExtension->PhaseLoopDone = 1;
      lu->RequestDone = 1;
      break;
    }
  }
  ReadRegister(base, REG_FIFO); // the message byte; its value is not examined

  SettleUnansweredOffer(DeviceExtension);

  ULONG remaining = POLL_LIMIT;
  for (;;) {
    UCHAR phase = CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK;
    remaining--;
    if (remaining == 0) {
      return FailPhase(DeviceExtension);
    }
    if (DeviceExtension->PhaseLoopDone == 1 || phase != PHASE_MESSAGE_IN) {
      break;
    }
  }

  DeviceExtension->PhaseLoopDone = 1;
  lu->RequestDone = 1;
  DeviceExtension->CurrentPhase = PHASE_SAMPLE;
  return 1;
}

} // namespace KAV_NS
