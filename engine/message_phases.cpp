// The message phases: message out sends what selection left in the chip
// FIFO behind the IDENTIFY; message in collects the target's bytes and acts
// on the first message (SDTR answers and proposals, pointers, disconnect,
// COMMAND COMPLETE, MESSAGE REJECT).
#include "engine.h"

namespace KAV_NS {

constexpr UCHAR MSG_COMMAND_COMPLETE = 0x00;
constexpr UCHAR MSG_EXTENDED = 0x01;
constexpr UCHAR MSG_SAVE_DATA_POINTER = 0x02;
constexpr UCHAR MSG_RESTORE_POINTERS = 0x03;
constexpr UCHAR MSG_DISCONNECT = 0x04;
constexpr UCHAR MSG_MESSAGE_REJECT = 0x07;
constexpr UCHAR MSG_IDENTIFY_FIRST = 0x80; // IDENTIFY of LUN 0 ...
constexpr UCHAR MSG_IDENTIFY_LAST = 0x86;  // ... to LUN 6 restore the pointers

constexpr ULONG SDTR_MESSAGE_LENGTH = 5;
constexpr UCHAR SDTR_OFFSET_LIMIT = 16;    // offsets above it ...
constexpr UCHAR SDTR_OFFSET_FALLBACK = 15; // ... are taken as 15

// ------------------------------------------------------------- message out

// The target has freed the bus: let the chip answer a reselection.
static void NoteDisconnect(ULONG BaseIoAddress) {
  SelectBank(BaseIoAddress, CONTROL_RESELECT_BANK1);
  SelectBank(BaseIoAddress, CONTROL_BANK0);
  WriteRegister(BaseIoAddress, REG_COMMAND, CMD_ENABLE_RESELECT);
}

// A message-only request whose target freed the bus after the message: the
// request is done and the sequence ends.
static UCHAR EndMessageOnly(PHW_DEVICE_EXTENSION DeviceExtension) {
  NoteDisconnect(DeviceExtension->BaseIoAddress);
  DeviceExtension->ActiveLu->RequestDone = 1;
  DeviceExtension->PhaseLoopDone = 1;
  DeviceExtension->CurrentPhase = PHASE_SAMPLE;
  return 1;
}

UCHAR MessageOutPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;

  SelectBank(base, CONTROL_BANK0);
  if (DeviceExtension->MsgOutLength != 1) {
    WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO);
    for (ULONG passes = 0;; passes++) {
      if (passes == INTERRUPT_PASS_LIMIT || CheckStReg(base, CHECK_WAIT_STATUS) == CHECK_TIMEOUT) {
        return FailPhase(DeviceExtension);
      }
      UCHAR intStatus = ReadRegister(base, REG_INT_STATUS);
      if (intStatus == INT_BUS_SERVICE) {
        DeviceExtension->SdtrSent[DeviceExtension->TargetId][DeviceExtension->Lun] = 1;
        break;
      }
      if (intStatus == INT_DISCONNECT) {
        if (DeviceExtension->MessageOnly == 1) {
          // ABORT: the target takes it and frees the bus. That is the end
          // the request asked for, not a broken sequence.
          return EndMessageOnly(DeviceExtension);
        }
        return FailPhase(DeviceExtension);
      }
    }
  }
  WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
  WriteRegister(base, REG_COMMAND, CMD_RESET_ATN);
  return ClosingWait(DeviceExtension, PHASE_MESSAGE_OUT);
}

// -------------------------------------------------------------- message in

// What one message-in call collected.
struct MESSAGE_IN {
  UCHAR Bytes[MESSAGE_IN_SIZE]; // not cleared: only the first Received bytes count
  ULONG Received;               // bytes the target sent in this call
  UCHAR Connected;              // 0 once the target's disconnect was seen
};

// Collects message bytes until the bus leaves MESSAGE IN or the target
// disconnects. 1 when done, 0 on failure. Bytes beyond the buffer are
// acknowledged and dropped; the bound on interrupts stops a target that
// never ends its message.
static UCHAR CollectMessage(PHW_DEVICE_EXTENSION DeviceExtension, MESSAGE_IN *Message) {
  ULONG base = DeviceExtension->BaseIoAddress;
  ULONG remaining = POLL_LIMIT;
  ULONG interrupts = 0;

  SelectBank(base, CONTROL_BANK0);
  WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
  WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO);
  for (;;) {
    UCHAR status = CheckStReg(base, CHECK_SAMPLE);
    if ((status & STATUS_PHASE_MASK) != PHASE_MESSAGE_IN) {
      return 1;
    }
    if (status & STATUS_INTERRUPT) {
      remaining = POLL_LIMIT;
      if (++interrupts > INTERRUPT_PASS_LIMIT) {
        return 0;
      }
      UCHAR cause = ReadRegister(base, REG_INT_STATUS);
      if (cause & INT_FUNCTION_COMPLETE) {
        UCHAR byte = ReadRegister(base, REG_FIFO);
        if (Message->Received < MESSAGE_IN_SIZE) {
          Message->Bytes[Message->Received] = byte;
        }
        Message->Received++;
        WriteRegister(base, REG_COMMAND, CMD_MESSAGE_ACCEPTED);
        continue;
      }
      if (cause & INT_BUS_SERVICE) {
        WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
        WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO);
        continue;
      }
      if (cause & INT_DISCONNECT) {
        Message->Connected = 0;
        NoteDisconnect(base);
        return 1;
      }
    }
    remaining--;
    if (remaining == 0) {
      return 0;
    }
  }
}

// Transfer period factor (units of 4 ns) to the SyncPeriod byte: clocks of
// 25 ns, rounded up, with bit 7 for fewer than 8 clocks. Worked in 32 bits,
// so that factors of 64 and above (up to 255, 41 clocks) come out right too.
static UCHAR SyncPeriodFromFactor(UCHAR Factor) {
  ULONG nanoseconds = 4 * static_cast<ULONG>(Factor);
  ULONG clocks = (nanoseconds + 24) / 25;
  if (clocks < 8) {
    clocks |= 0x80;
  }
  return static_cast<UCHAR>(clocks);
}

static void TakeExtendedMessage(PHW_DEVICE_EXTENSION DeviceExtension, const MESSAGE_IN *Message) {
  ULONG target = DeviceExtension->TargetId;
  ULONG lun = DeviceExtension->Lun;
  const UCHAR *bytes = Message->Bytes;

  if (DeviceExtension->AsyncOnly[target] == 1 && DeviceExtension->SdtrSent[target][lun] == 0) {
    // A target held to asynchronous transfer proposes on its own: it gets
    // offset 0 at its next selection.
    DeviceExtension->AsyncOnly[target] = 2;
    DeviceExtension->SyncPeriod[target] = 0;
    DeviceExtension->SyncOffset[target] = 0;
    return;
  }
  // Only a whole SDTR of this call is taken; a message cut short by a phase
  // change leaves the settings alone.
  if (Message->Received >= SDTR_MESSAGE_LENGTH && bytes[1] == 3 && bytes[2] == 1) {
    UCHAR offset = bytes[4] > SDTR_OFFSET_LIMIT ? SDTR_OFFSET_FALLBACK : bytes[4];
    DeviceExtension->SyncPeriod[target] = SyncPeriodFromFactor(bytes[3]);
    DeviceExtension->SyncOffset[target] = offset;
    DeviceExtension->SdtrDone[target][lun] = 1;
  }
}

// Waits for the target to free the bus, unless its disconnect was already
// seen. A target that neither frees the bus nor signals within POLL_LIMIT
// reads, or keeps signalling something else, makes it fail. 1 when the bus
// is free, 0 on failure.
static UCHAR WaitForBusFree(ULONG BaseIoAddress, UCHAR Connected) {
  for (ULONG passes = 0; Connected; passes++) {
    if (passes == INTERRUPT_PASS_LIMIT || CheckStReg(BaseIoAddress, CHECK_WAIT) == CHECK_TIMEOUT) {
      return 0;
    }
    if (ReadRegister(BaseIoAddress, REG_INT_STATUS) & INT_DISCONNECT) {
      Connected = 0;
      NoteDisconnect(BaseIoAddress);
    }
  }
  return 1;
}

// SAVE DATA POINTER and DISCONNECT: once the bus is free, keep the pointers
// with the logical unit and end the phase loop; the request stays
// outstanding.
static UCHAR SaveDataPointer(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR Connected) {
  PHW_LU_EXTENSION lu = DeviceExtension->ActiveLu;
  if (!WaitForBusFree(DeviceExtension->BaseIoAddress, Connected)) {
    return FailPhase(DeviceExtension);
  }
  lu->DataPointer = reinterpret_cast<PUCHAR>(DeviceExtension->DataPointer);
  lu->DataLength = DeviceExtension->DataLength;
  DeviceExtension->PhaseLoopDone = 1;
  return 1;
}

// COMMAND COMPLETE: the request is done. A target frees the bus after it,
// so the phase bits that follow are those of a free bus and lead nowhere:
// once the bus is free the sequence ends here.
static UCHAR TakeCommandComplete(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR Connected) {
  DeviceExtension->ActiveLu->RequestDone = 1;
  SettleUnansweredOffer(DeviceExtension);
  if (!WaitForBusFree(DeviceExtension->BaseIoAddress, Connected)) {
    return FailPhase(DeviceExtension);
  }
  DeviceExtension->PhaseLoopDone = 1;
  DeviceExtension->CurrentPhase = PHASE_SAMPLE;
  return 1;
}

static void RestorePointers(PHW_DEVICE_EXTENSION DeviceExtension) {
  PHW_LU_EXTENSION lu = DeviceExtension->ActiveLu;
  DeviceExtension->DataPointer = reinterpret_cast<ULONG_PTR>(lu->DataPointer);
  DeviceExtension->DataLength = lu->DataLength;
}

static void TakeMessageReject(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG target = DeviceExtension->TargetId;
  DeviceExtension->SyncPeriod[target] = 0;
  DeviceExtension->SyncOffset[target] = 0;
  DeviceExtension->SdtrDone[target][DeviceExtension->Lun] = 1;
}

UCHAR MessageInPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  MESSAGE_IN message;
  message.Received = 0;
  message.Connected = 1;
  if (!CollectMessage(DeviceExtension, &message)) {
    return FailPhase(DeviceExtension);
  }

  if (message.Received != 0) {
    UCHAR first = message.Bytes[0];
    if (first == MSG_SAVE_DATA_POINTER || first == MSG_DISCONNECT) {
      return SaveDataPointer(DeviceExtension, message.Connected);
    }
    if (first == MSG_COMMAND_COMPLETE) {
      return TakeCommandComplete(DeviceExtension, message.Connected);
    }
    if (first == MSG_EXTENDED) {
      TakeExtendedMessage(DeviceExtension, &message);
    } else if (first == MSG_RESTORE_POINTERS ||
               (first >= MSG_IDENTIFY_FIRST && first <= MSG_IDENTIFY_LAST)) {
      RestorePointers(DeviceExtension);
    } else if (first == MSG_MESSAGE_REJECT) {
      TakeMessageReject(DeviceExtension);
    }
  }
  // With no byte in this call there is nothing to act on: the buffer holds
  // nothing of this phase.

  if (!message.Connected) {
    // The target left the bus without ending the command: an unexpected
    // disconnect.
    return FailPhase(DeviceExtension);
  }
  return ClosingWait(DeviceExtension, PHASE_MESSAGE_IN);
}

} // namespace KAV_NS
