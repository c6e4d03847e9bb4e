// The data phases: a counted chip transfer between the bus and the PIO FIFO,
// emptied or filled by port I/O in blocks of 32-bit words and smaller tails.
// DataPointer and DataLength follow every byte, so that DataLength is the
// residual when the request ends.
//
// No byte is ever stored beyond the request's buffer: data in stores at most
// DataLength bytes, and a phase that meets more data than the request asked
// for fails (a data phase entered with no bytes left fails at once, instead
// of starting a transfer of a count of 0). Nor is a byte stored in the buffer
// of a request marked data-out only: data in for a write fails at once.
#include "engine.h"

namespace KAV_NS {

// REG_STATUS values that, with bus service, end data in: the target is in
// STATUS or MESSAGE IN, with or without the count-zero bit.
static const UCHAR DataInEndStatus[] = {0x83, 0x87, 0x93, 0x97};

static BOOLEAN DataInHasEnded(UCHAR IntStatus, UCHAR Status) {
  if (IntStatus != INT_BUS_SERVICE) {
    return FALSE;
  }
  for (UCHAR accepted : DataInEndStatus) {
    if (Status == accepted) {
      return TRUE;
    }
  }
  return FALSE;
}

// The transfer count for DataLength bytes; the 24-bit counter cannot hold
// more (the dispatcher refuses longer requests).
static ULONG TransferCountFor(ULONG DataLength) {
  return DataLength < TRANSFER_COUNT_MAX ? DataLength : TRANSFER_COUNT_MAX;
}

static void Advance(PHW_DEVICE_EXTENSION DeviceExtension, ULONG Bytes) {
  DeviceExtension->DataPointer += Bytes;
  DeviceExtension->DataLength -= Bytes;
}

// ----------------------------------------------------------------- data in

// Reads one ready 128-byte block as 32 ULONGs. The count loaded into the
// chip keeps a sound chip from offering a block the buffer has no room for;
// should one come all the same, it is read through a scratch block and only
// the bytes the request still expects are kept. FALSE when bytes had to be
// dropped.
static BOOLEAN ReadDataInBlock(PHW_DEVICE_EXTENSION DeviceExtension) {
  PULONG port = reinterpret_cast<PULONG>(PioDataPort(DeviceExtension->BaseIoAddress));
  ULONG length = DeviceExtension->DataLength;

  if (length >= DATA_IN_BLOCK) {
    ScsiPortReadPortBufferUlong(port, reinterpret_cast<PULONG>(DeviceExtension->DataPointer),
                                DATA_IN_BLOCK / 4);
    Advance(DeviceExtension, DATA_IN_BLOCK);
    return TRUE;
  }
  ULONG scratch[DATA_IN_BLOCK / 4];
  ScsiPortReadPortBufferUlong(port, scratch, DATA_IN_BLOCK / 4);
  const UCHAR *from = reinterpret_cast<const UCHAR *>(scratch);
  volatile UCHAR *to = reinterpret_cast<volatile UCHAR *>(DeviceExtension->DataPointer);
  for (ULONG i = 0; i < length; i++) {
    to[i] = from[i];
  }
  Advance(DeviceExtension, length);
  return FALSE;
}

UCHAR DataInPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  PUCHAR port = PioDataPort(base);

  // The target has more data than the request asked for, or sends data to a
  // request that only gives some (a write): its buffer is not ours to fill.
  ULONG direction =
      DeviceExtension->ActiveLu->Srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT);
  if (DeviceExtension->DataLength == 0 || direction == SRB_FLAGS_DATA_OUT) {
    return FailPhase(DeviceExtension);
  }
  SelectBank(base, CONTROL_BANK0);
  LoadTransferCount(base, TransferCountFor(DeviceExtension->DataLength));
  WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO_DMA);

  ULONG remaining = POLL_LIMIT;
  for (ULONG endChecks = 0;;) {
    // Polling: full blocks while the transfer runs.
    SelectBank(base, CONTROL_BANK1);
    UCHAR pioStatus;
    for (;;) {
      pioStatus = ReadRegister(base, REG_PIO_STATUS);
      if (pioStatus & PIO_BLOCK_READY) {
        if (!ReadDataInBlock(DeviceExtension)) {
          // More data than the request asked for: the phase fails.
          return FailPhase(DeviceExtension);
        }
        remaining = POLL_LIMIT;
        continue;
      }
      if (pioStatus & PIO_TRANSFER_ENDED) {
        remaining = POLL_LIMIT;
        break;
      }
      remaining--;
      if (remaining == 0) {
        return FailPhase(DeviceExtension);
      }
    }

    // Draining: the tail, byte by byte, until the FIFO is empty.
    while ((pioStatus & PIO_EMPTY) == 0) {
      if (DeviceExtension->DataLength != 0) {
        ScsiPortReadPortBufferUchar(port, reinterpret_cast<PUCHAR>(DeviceExtension->DataPointer),
                                    1);
        Advance(DeviceExtension, 1);
      }
      pioStatus = ReadRegister(base, REG_PIO_STATUS);
      remaining--;
      if (remaining == 0) {
        return FailPhase(DeviceExtension);
      }
    }

    // End check: the target must have moved on to STATUS or MESSAGE IN.
    SelectBank(base, CONTROL_BANK0);
    UCHAR status = CheckStReg(base, CHECK_WAIT_STATUS);
    UCHAR intStatus = ReadRegister(base, REG_INT_STATUS);
    if (DataInHasEnded(intStatus, status)) {
      break;
    }
    endChecks++;
    if (endChecks == DATA_IN_END_CHECKS) {
      return FailPhase(DeviceExtension);
    }
  }

  SelectBank(base, CONTROL_BANK1);
  SelectBank(base, CONTROL_BANK0);
  ResetTransferMode(DeviceExtension);
  return ClosingWait(DeviceExtension, PHASE_DATA_IN);
}

// ---------------------------------------------------------------- data out

static BOOLEAN IsReadyForBlock(UCHAR PioStatus) {
  return PioStatus == PIO_READY_FOR_BLOCK || PioStatus == PIO_READY_FOR_BLOCK_EMPTY;
}

// Writes up to 64 bytes into the PIO FIFO: 16 ULONGs, or for the tail as
// many ULONGs as fit, then one USHORT, then one byte. Returns the bytes
// written.
static ULONG WriteDataOutBlock(PHW_DEVICE_EXTENSION DeviceExtension) {
  PUCHAR port = PioDataPort(DeviceExtension->BaseIoAddress);
  ULONG length = DeviceExtension->DataLength;

  if (length >= DATA_OUT_BLOCK) {
    ScsiPortWritePortBufferUlong(reinterpret_cast<PULONG>(port),
                                 reinterpret_cast<PULONG>(DeviceExtension->DataPointer),
                                 DATA_OUT_BLOCK / 4);
    Advance(DeviceExtension, DATA_OUT_BLOCK);
    return DATA_OUT_BLOCK;
  }
  ULONG left = length;
  if (left > 3) {
    ULONG units = left / 4;
    ScsiPortWritePortBufferUlong(reinterpret_cast<PULONG>(port),
                                 reinterpret_cast<PULONG>(DeviceExtension->DataPointer), units);
    Advance(DeviceExtension, units * 4);
    left -= units * 4;
  }
  if (left > 1) {
    ScsiPortWritePortBufferUshort(reinterpret_cast<PUSHORT>(port),
                                  reinterpret_cast<PUSHORT>(DeviceExtension->DataPointer), 1);
    Advance(DeviceExtension, 2);
    left -= 2;
  }
  if (left == 1) {
    ScsiPortWritePortUchar(port, *reinterpret_cast<PUCHAR>(DeviceExtension->DataPointer));
    Advance(DeviceExtension, 1);
  }
  return length;
}

// The count the chip did not move on (bank 0).
static ULONG ReadDataOutRemainder(ULONG BaseIoAddress) {
  ULONG high = ReadRegister(BaseIoAddress, REG_TC_HIGH);
  ULONG mid = ReadRegister(BaseIoAddress, REG_TC_MID);
  ULONG low = ReadRegister(BaseIoAddress, REG_TC_LOW);
  return (high << 16) + (mid << 8) + low;
}

UCHAR DataOutPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;

  if (DeviceExtension->DataLength == 0) {
    // The target asks for more data than the request holds.
    return FailPhase(DeviceExtension);
  }
  SelectBank(base, CONTROL_BANK0);
  ULONG_PTR entryPointer = DeviceExtension->DataPointer;
  ULONG entryLength = DeviceExtension->DataLength;
  ULONG count = TransferCountFor(entryLength);
  LoadTransferCount(base, count);
  WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
  WriteRegister(base, REG_COMMAND, CMD_TRANSFER_INFO_DMA);
  SelectBank(base, CONTROL_BANK1);
  WriteRegister(base, REG_PIO_CONFIG, 1);
  WriteRegister(base, REG_PIO_CONTROL, 1);

  // Ready polls are counted over the whole call; polls that show neither a
  // ready FIFO nor the end are counted apart, anew after every ready poll.
  ULONG readyPolls = POLL_LIMIT;
  ULONG idlePolls = POLL_LIMIT;
  for (;;) {
    UCHAR pioStatus = ReadRegister(base, REG_PIO_STATUS);
    if (IsReadyForBlock(pioStatus)) {
      WriteDataOutBlock(DeviceExtension);
      idlePolls = POLL_LIMIT;
      readyPolls--;
      if (readyPolls == 0) {
        return FailPhase(DeviceExtension);
      }
    } else if (pioStatus & PIO_TRANSFER_ENDED) {
      break;
    } else {
      idlePolls--;
      if (idlePolls == 0) {
        return FailPhase(DeviceExtension);
      }
    }
  }

  SelectBank(base, CONTROL_BANK0);
  ResetTransferMode(DeviceExtension);
  if (!ClosingWait(DeviceExtension, PHASE_DATA_OUT)) {
    return 0;
  }

  // The count runs out as soon as the last byte has gone into the chip FIFO,
  // not onto the bus: a target that stops within the last 16 bytes leaves
  // them in the FIFO with a count of 0. So the FIFO is counted whatever the
  // count reads, or such a short write would be reported as complete.
  ULONG remainder = ReadDataOutRemainder(base);
  remainder += ReadRegister(base, REG_FIFO_FLAGS) & 0x1F;
  if (remainder != 0) {
    // A count that reads back larger than the one loaded cannot move the
    // pointer before the buffer or raise the residual above the request.
    if (remainder > count) {
      remainder = count;
    }
    ULONG moved = count - remainder;
    DeviceExtension->DataPointer = entryPointer + moved;
    DeviceExtension->DataLength = entryLength - moved;
    WriteRegister(base, REG_COMMAND, CMD_FLUSH_FIFO);
  }
  return 1;
}

} // namespace KAV_NS
