// Steps and bounds that the phase handlers share: the failure exit, the
// closing wait for the next phase, the long wait of FORMAT UNIT, the port of
// the PIO FIFO, and the negotiation helpers.
#ifndef KAV_ENGINE_ENGINE_H
#define KAV_ENGINE_ENGINE_H

#include "fas408.h"

namespace KAV_NS {

// Interrupts that do not end a wait, per wait. Each one is a new event of the
// chip, so a wait that takes them without a bound could be held for ever by a
// target that keeps changing phase; past this many the phase fails. A full
// message-in buffer (two interrupts per byte) stays well below it.
constexpr ULONG INTERRUPT_PASS_LIMIT = 1024;

// FORMAT UNIT keeps the target on the bus for as long as the medium takes,
// many minutes on a large disk. Past the ordinary POLL_LIMIT reads its waits
// go on at a calmer pace, one status read after each stall of a millisecond,
// for at most one hour.
constexpr UCHAR SCSIOP_FORMAT_UNIT = 0x04;
constexpr ULONG STALL_MICROSECONDS = 10;
constexpr ULONG FORMAT_UNIT_POLL_MICROSECONDS = 1000;
constexpr ULONG FORMAT_UNIT_POLLS = 60 * 60 * 1000; // one hour of 1 ms polls

// Failed end checks that a data-in phase takes before it fails. After the
// chip has reported the end of the transfer no more data can come, so only
// a stray interrupt or two is expected here.
constexpr ULONG DATA_IN_END_CHECKS = 4;

// The largest count the chip's 24-bit transfer counter holds.
constexpr ULONG TRANSFER_COUNT_MAX = 0xFFFFFF;

// Sizes of the PIO FIFO blocks.
constexpr ULONG DATA_IN_BLOCK = 128;
constexpr ULONG DATA_OUT_BLOCK = 64;

// Message-in buffer of one call.
constexpr ULONG MESSAGE_IN_SIZE = 256;

inline PUCHAR PioDataPort(ULONG BaseIoAddress) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(BaseIoAddress + REG_PIO_DATA));
}

// The failure exit of every handler: PHASE_FAILED, loop done, result 0.
UCHAR FailPhase(PHW_DEVICE_EXTENSION DeviceExtension);

// Waits, for at most POLL_LIMIT reads of REG_STATUS (bank 0 selected), for
// the bus to leave Phase; stores the new phase in CurrentPhase and returns 1,
// or takes the failure exit.
UCHAR ClosingWait(PHW_DEVICE_EXTENSION DeviceExtension, UCHAR Phase);

// The long wait of FORMAT UNIT (bank 0 selected): reads REG_STATUS once per
// millisecond of stalls until (status AND Mask) differs from Unwanted. TRUE
// with the status read, FALSE when the hour has passed.
BOOLEAN WaitForFormatUnit(ULONG BaseIoAddress, UCHAR Mask, UCHAR Unwanted, PUCHAR Status);

// The operation code of the request's command, or 0 when no command byte is
// left to look at.
UCHAR OperationCode(PHW_LU_EXTENSION LuExtension);

// An offer of this target and LUN that never got an answer is settled as
// asynchronous transfer.
void SettleUnansweredOffer(PHW_DEVICE_EXTENSION DeviceExtension);

} // namespace KAV_NS

#endif // KAV_ENGINE_ENGINE_H
