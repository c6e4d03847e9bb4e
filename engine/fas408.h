// The FAS408 register block as the driver uses it: byte-wide I/O ports at
// offsets 0x0 to 0xE from BaseIoAddress, in two banks switched by whole-value
// writes to REG_CONTROL (bit 7 set selects bank 1). Bank 0 is the SCSI core,
// bank 1 the programmed-I/O FIFO interface. Also the chip commands, the phase
// codes of the engine and the engine's routines.
#ifndef KAV_ENGINE_FAS408_H
#define KAV_ENGINE_FAS408_H

#include "kav.h"

namespace KAV_NS {

// ---------------------------------------------------------------- registers
// offset                              bank  dir  use
constexpr ULONG REG_TC_LOW = 0x0;       // 0  W/R  transfer count bits 0-7
constexpr ULONG REG_TC_MID = 0x1;       // 0  W/R  transfer count bits 8-15
constexpr ULONG REG_FIFO = 0x2;         // 0  W/R  chip FIFO
constexpr ULONG REG_COMMAND = 0x3;      // 0  W    chip command
constexpr ULONG REG_STATUS = 0x4;       // 0  R    bit 7 interrupt, bit 4 count zero, bits 0-2 phase
constexpr ULONG REG_DEST_ID = 0x4;      // 0  W    target ID for selection
constexpr ULONG REG_INT_STATUS = 0x5;   // 0  R    interrupt cause; reading it acknowledges
constexpr ULONG REG_SEL_TIMEOUT = 0x5;  // 0  W    selection time-out
constexpr ULONG REG_SEQ_STEP = 0x6;     // 0  R    bits 0-2 selection sequence step
constexpr ULONG REG_SYNC_PERIOD = 0x6;  // 0  W    synchronous period
constexpr ULONG REG_FIFO_FLAGS = 0x7;   // 0  R    bits 0-4 bytes in the chip FIFO
constexpr ULONG REG_SYNC_OFFSET = 0x7;  // 0  W    synchronous offset
constexpr ULONG REG_CONFIG1 = 0x8;      // 0  W    bits 0-2 own SCSI ID
constexpr ULONG REG_CLOCK_FACTOR = 0x9; // 0 W    clock conversion factor
constexpr ULONG REG_CONFIG2 = 0xB;      // 0  W
constexpr ULONG REG_CONFIG3 = 0xC;      // 0  W/R  bit 4 fast period
constexpr ULONG REG_CONTROL = 0xD;      // both W  bank select and control
constexpr ULONG REG_TC_HIGH = 0xE;      // 0  W/R  transfer count bits 16-23
constexpr ULONG REG_PIO_DATA = 0x4;     // 1  R/W  PIO FIFO data port
constexpr ULONG REG_PIO_STATUS = 0x8;   // 1  R    PIO FIFO state
constexpr ULONG REG_PIO_CONTROL = 0x8;  // 1  W
constexpr ULONG REG_PIO_CONFIG = 0xB;   // 1  W
constexpr ULONG REG_CHIP_ID = 0xE;      // 1  R    bits 0-2: 2 or 5

// Values written to REG_CONTROL.
constexpr UCHAR CONTROL_BANK0 = 0x00;
constexpr UCHAR CONTROL_BANK1 = 0x80;
constexpr UCHAR CONTROL_RESET_BANK0 = 0x30;    // first write of a reset
constexpr UCHAR CONTROL_RESELECT_BANK1 = 0x84; // left after a reselection or disconnect

// REG_STATUS bits.
constexpr UCHAR STATUS_INTERRUPT = 0x80;
constexpr UCHAR STATUS_COUNT_ZERO = 0x10;
constexpr UCHAR STATUS_PHASE_MASK = 0x07;

// REG_INT_STATUS values and bits.
constexpr UCHAR INT_RESELECTED = 0x04;
constexpr UCHAR INT_FUNCTION_COMPLETE = 0x08;
constexpr UCHAR INT_BUS_SERVICE = 0x10;
constexpr UCHAR INT_SELECTED = 0x18; // function complete and bus service
constexpr UCHAR INT_DISCONNECT = 0x20;
constexpr UCHAR INT_BUS_RESET = 0x80;

// REG_PIO_STATUS values and bits.
constexpr UCHAR PIO_BLOCK_READY = 0x02;
constexpr UCHAR PIO_EMPTY = 0x10;
constexpr UCHAR PIO_TRANSFER_ENDED = 0x40;
constexpr UCHAR PIO_READY_FOR_BLOCK = 0x0D;
constexpr UCHAR PIO_READY_FOR_BLOCK_EMPTY = 0x1D;

// ---------------------------------------------------------------- commands
constexpr UCHAR CMD_NOP = 0x00;
constexpr UCHAR CMD_FLUSH_FIFO = 0x01;
constexpr UCHAR CMD_RESET_CHIP = 0x02;
constexpr UCHAR CMD_RESET_BUS = 0x03;
constexpr UCHAR CMD_TRANSFER_INFO = 0x10;
constexpr UCHAR CMD_INITIATOR_COMPLETE = 0x11;
constexpr UCHAR CMD_MESSAGE_ACCEPTED = 0x12;
constexpr UCHAR CMD_RESET_ATN = 0x1B;
constexpr UCHAR CMD_SELECT_ATN = 0x42;
constexpr UCHAR CMD_SELECT_ATN_STOP = 0x43;
constexpr UCHAR CMD_ENABLE_RESELECT = 0x44;
constexpr UCHAR CMD_TRANSFER_INFO_DMA = 0x90;

// ------------------------------------------------------------------ phases
constexpr UCHAR PHASE_DATA_OUT = 0;
constexpr UCHAR PHASE_DATA_IN = 1;
constexpr UCHAR PHASE_COMMAND = 2;
constexpr UCHAR PHASE_STATUS = 3;
constexpr UCHAR PHASE_MESSAGE_OUT = 6;
constexpr UCHAR PHASE_MESSAGE_IN = 7;
constexpr UCHAR PHASE_SAMPLE = 0xFF;
constexpr UCHAR PHASE_FAILED = 0xF0;

// Bound of every busy wait, in reads. The fuzz tree builds the driver with a
// smaller bound (KAV_POLL_LIMIT), so that a wait a hostile target runs out
// costs milliseconds of host time, not a second; its findings are replayed
// with this one in the host tree.
#ifdef KAV_POLL_LIMIT
constexpr ULONG POLL_LIMIT = KAV_POLL_LIMIT;
#else
constexpr ULONG POLL_LIMIT = 0x1000000;
#endif

// CheckStReg modes and its time-out result.
constexpr UCHAR CHECK_SAMPLE = 0;
constexpr UCHAR CHECK_WAIT = 1;
constexpr UCHAR CHECK_WAIT_STATUS = 2;
constexpr UCHAR CHECK_TIMEOUT = 0xFF;

// --------------------------------------------------------- register access
// Every access to the chip goes through the port driver's port routines.

inline UCHAR ReadRegister(ULONG BaseIoAddress, ULONG Register) {
  return ScsiPortReadPortUchar(
      reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(BaseIoAddress + Register)));
}

inline void WriteRegister(ULONG BaseIoAddress, ULONG Register, UCHAR Value) {
  ScsiPortWritePortUchar(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(BaseIoAddress + Register)),
                         Value);
}

// Selects a bank by a whole-value write to REG_CONTROL.
inline void SelectBank(ULONG BaseIoAddress, UCHAR ControlValue) {
  WriteRegister(BaseIoAddress, REG_CONTROL, ControlValue);
}

// Loads the 24-bit transfer count (bank 0).
inline void LoadTransferCount(ULONG BaseIoAddress, ULONG Count) {
  WriteRegister(BaseIoAddress, REG_TC_LOW, static_cast<UCHAR>(Count));
  WriteRegister(BaseIoAddress, REG_TC_MID, static_cast<UCHAR>(Count >> 8));
  WriteRegister(BaseIoAddress, REG_TC_HIGH, static_cast<UCHAR>(Count >> 16));
}

// ---------------------------------------------------------------- routines

UCHAR CheckStReg(ULONG BaseIoAddress, UCHAR Mode);
void SetTransferMode(PHW_DEVICE_EXTENSION DeviceExtension);
void ResetTransferMode(PHW_DEVICE_EXTENSION DeviceExtension);
void InitFAS408(ULONG BaseIoAddress);

UCHAR ExecuteSelection(PHW_DEVICE_EXTENSION DeviceExtension);
void SetStdrMsgout(PHW_DEVICE_EXTENSION DeviceExtension);
void RunPhaseSub(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR CommandPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR StatusPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR MessageOutPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR MessageInPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR DataOutPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);
UCHAR DataInPhaseRun(PHW_DEVICE_EXTENSION DeviceExtension);

} // namespace KAV_NS

#endif // KAV_ENGINE_FAS408_H
