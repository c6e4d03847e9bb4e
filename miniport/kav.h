// The driver's records and routines. All state lives in the two records that
// the port driver allocates: one HW_DEVICE_EXTENSION per adapter and one
// HW_LU_EXTENSION per logical unit. There are no global variables.
#ifndef KAV_MINIPORT_KAV_H
#define KAV_MINIPORT_KAV_H

#include "flavour.h"
#include "scsiport.h"

namespace KAV_NS {

constexpr ULONG MAX_TARGETS = 8;
constexpr ULONG MAX_LUNS = 8;
constexpr ULONG MSG_OUT_SIZE = 256;
constexpr UCHAR INITIATOR_ID = 7;

typedef struct _HW_LU_EXTENSION {
  PSCSI_REQUEST_BLOCK Srb; // request running on this unit; NULL once completed
  PUCHAR DataPointer;      // saved data position; starts as the SRB's DataBuffer
  ULONG DataLength;        // saved bytes left; starts as DataTransferLength
  PUCHAR StatusByte;       // the SRB's ScsiStatus
  PUCHAR Cdb;              // next command byte to send
  ULONG CdbLength;         // command bytes still to send
  UCHAR SrbStatus;         // status chosen by the status phase
  UCHAR RequestDone;       // 1 = the request has ended and is to be completed
} HW_LU_EXTENSION, *PHW_LU_EXTENSION;

typedef struct _HW_DEVICE_EXTENSION {
  ULONG BaseIoAddress;                   // port address of the chip's 16-register block
  PHW_LU_EXTENSION ActiveLu;             // unit whose request is on the bus
  UCHAR DefaultSyncPeriod;               // period factor offered in every SDTR (25)
  UCHAR DefaultSyncOffset;               // offset offered in every SDTR (15)
  UCHAR CurrentPhase;                    // phase code driving the phase loop
  UCHAR PhaseLoopDone;                   // 1 ends the phase loop
  UCHAR MsgOut[MSG_OUT_SIZE];            // message-out bytes loaded at selection
  ULONG MsgOutLength;                    // valid bytes in MsgOut
  UCHAR MessageOnly;                     // 1 while an abort or device reset runs
  ULONG_PTR DataPointer;                 // current position in the request's buffer
  ULONG DataLength;                      // bytes still to move; the residual at the end
  ULONG TargetId;                        // target of the latest execute request
  ULONG Lun;                             // LUN of the latest execute request
  UCHAR SyncPeriod[MAX_TARGETS];         // REG_SYNC_PERIOD per target; 0 = none agreed
  UCHAR SyncOffset[MAX_TARGETS];         // REG_SYNC_OFFSET per target; 0 = asynchronous
  UCHAR SdtrSent[MAX_TARGETS][MAX_LUNS]; // an SDTR offer was started
  UCHAR SdtrDone[MAX_TARGETS][MAX_LUNS]; // the negotiation is settled
  UCHAR AsyncOnly[MAX_TARGETS];          // 0 offer, 1 never offer, 2 offer offset 0 once
  KAV_FLAVOUR_EXTENSION_FIELDS
} HW_DEVICE_EXTENSION, *PHW_DEVICE_EXTENSION;

// ------------------------------------------------ miniport frame (miniport/)

ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2);
ULONG NTAPI RoutineFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                               PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                               PBOOLEAN Again);
BOOLEAN NTAPI RoutineInitialize(PVOID DeviceExtension);
BOOLEAN NTAPI RoutineStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN NTAPI RoutineResetBus(PVOID DeviceExtension, ULONG PathId);
void RoutineAbort(PHW_DEVICE_EXTENSION DeviceExtension, PHW_LU_EXTENSION LuExtension,
                  PSCSI_REQUEST_BLOCK Srb);
UCHAR StartScsiExec(PHW_DEVICE_EXTENSION DeviceExtension, PHW_LU_EXTENSION LuExtension,
                    PSCSI_REQUEST_BLOCK Srb);

// Option reading, one per flavour: the first values of the option fields,
// then the pass over the option string. The KAV95 pass also starts the card
// search when its options ask for it.
void SetOptionDefaults(PHW_DEVICE_EXTENSION DeviceExtension);
void ReadOptions(PHW_DEVICE_EXTENSION DeviceExtension, const CHAR *ArgumentString,
                 PPORT_CONFIGURATION_INFORMATION ConfigInfo);
// KAV95's option helpers.
ULONG MatchKeyword(const CHAR *Text, const CHAR *Keyword, ULONG Count);
LONG ParseHexField(const CHAR *Text, ULONG Count);

// The last step of RoutineInitialize: socket-controller tuning in KAV95,
// nothing in KAVNT.
void TuneSocketController(PHW_DEVICE_EXTENSION DeviceExtension);

// Fills Length bytes with zero. The driver links no C library, so it keeps
// its own; the loop is written so that no compiler turns it into memset.
void ZeroBytes(void *Buffer, ULONG Length);

} // namespace KAV_NS

#endif // KAV_MINIPORT_KAV_H
