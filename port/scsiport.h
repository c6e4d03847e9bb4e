// The SCSI port driver interface as a miniport sees it: types, constants and
// the ScsiPort routines, laid out as the 32-bit Windows hosts (NT 4.0 and
// Windows 95) pass them. This header is self-contained: it includes nothing,
// so that the driver can be compiled freestanding.
//
// On i386 every routine is __stdcall except ScsiPortNotification, which is
// __cdecl with variable arguments. On the 64-bit simulation host the calling
// convention attributes are dropped and pointers are 64 bits wide; record
// layouts then differ, behaviour does not.
#ifndef KAV_PORT_SCSIPORT_H
#define KAV_PORT_SCSIPORT_H

#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define KAV_CDECL __attribute__((cdecl))
#else
#define NTAPI
#define KAV_CDECL
#endif

#ifdef __cplusplus
#define KAV_EXTERN_C extern "C"
#else
#define KAV_EXTERN_C
#endif

// ---------------------------------------------------------------- basic types

typedef unsigned char UCHAR, *PUCHAR;
typedef char CHAR, CCHAR, *PCHAR;
typedef unsigned short USHORT, *PUSHORT;
typedef unsigned int ULONG, *PULONG; // 32 bits on every host we build for
typedef int LONG;
typedef long long LONGLONG;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef void *PVOID;
typedef __UINTPTR_TYPE__ ULONG_PTR; // pointer-sized unsigned integer

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

static_assert(sizeof(ULONG) == 4, "ULONG must be 32 bits");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR is pointer-sized");

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, SCSI_PHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5,
  VMEBus = 6,
  NuBus = 7,
  PCMCIABus = 8,
  CBus = 9,
  MPIBus = 10,
  MPSABus = 11,
  ProcessorInternal = 12,
  InternalPowerBus = 13,
  PNPISABus = 14,
  MaximumInterfaceType = 15
} INTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;
typedef enum _DMA_WIDTH { Width8Bits = 0, Width16Bits = 1, Width32Bits = 2 } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible = 0, TypeA = 1, TypeB = 2, TypeC = 3 } DMA_SPEED;

// ------------------------------------------------------------- request block

typedef struct _SCSI_REQUEST_BLOCK {
  USHORT Length;
  UCHAR Function;
  UCHAR SrbStatus;
  UCHAR ScsiStatus;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR QueueTag;
  UCHAR QueueAction;
  UCHAR CdbLength;
  UCHAR SenseInfoBufferLength;
  ULONG SrbFlags;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  PVOID DataBuffer;
  PVOID SenseInfoBuffer;
  struct _SCSI_REQUEST_BLOCK *NextSrb;
  PVOID OriginalRequest;
  PVOID SrbExtension;
  ULONG QueueSortKey;
  UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

// SRB functions
#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_IO_CONTROL 0x02
#define SRB_FUNCTION_RECEIVE_EVENT 0x03
#define SRB_FUNCTION_RELEASE_QUEUE 0x04
#define SRB_FUNCTION_ATTACH_DEVICE 0x05
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08
#define SRB_FUNCTION_ABORT_COMMAND 0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS 0x12
#define SRB_FUNCTION_RESET_DEVICE 0x13
#define SRB_FUNCTION_TERMINATE_IO 0x14
#define SRB_FUNCTION_FLUSH_QUEUE 0x15
#define SRB_FUNCTION_REMOVE_DEVICE 0x16

// SRB status codes
#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ABORT_FAILED 0x03
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_BUSY 0x05
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_INVALID_PATH_ID 0x07
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_SELECTION_TIMEOUT 0x0A
#define SRB_STATUS_COMMAND_TIMEOUT 0x0B
#define SRB_STATUS_MESSAGE_REJECTED 0x0D
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_PARITY_ERROR 0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED 0x10
#define SRB_STATUS_NO_HBA 0x11
#define SRB_STATUS_DATA_OVERRUN 0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE 0x13
#define SRB_STATUS_INVALID_LUN 0x20
#define SRB_STATUS_INVALID_TARGET_ID 0x21

// SRB flags
#define SRB_FLAGS_QUEUE_ACTION_ENABLE 0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT 0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER 0x00000008
#define SRB_FLAGS_DISABLE_AUTOSENSE 0x00000020
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000

// Error-log codes
#define SP_BUS_PARITY_ERROR 0x0001
#define SP_UNEXPECTED_DISCONNECT 0x0002
#define SP_INVALID_RESELECTION 0x0003
#define SP_BUS_TIME_OUT 0x0004
#define SP_PROTOCOL_ERROR 0x0005
#define SP_INTERNAL_ADAPTER_ERROR 0x0006
#define SP_REQUEST_TIMEOUT 0x0007
#define SP_IRQ_NOT_RESPONDING 0x0008
#define SP_BAD_FW_WARNING 0x0009
#define SP_BAD_FW_ERROR 0x000A

// Find-adapter results
#define SP_RETURN_NOT_FOUND 0
#define SP_RETURN_FOUND 1
#define SP_RETURN_ERROR 2
#define SP_RETURN_BAD_CONFIG 3

#define SP_UNTAGGED ((UCHAR)~0)
#define SP_UNINITIALIZED_VALUE ((ULONG)~0)

typedef enum _SCSI_NOTIFICATION_TYPE {
  RequestComplete = 0,
  NextRequest = 1,
  NextLuRequest = 2,
  ResetDetected = 3,
  CallDisableInterrupts = 4,
  CallEnableInterrupts = 5,
  RequestTimerCall = 6
} SCSI_NOTIFICATION_TYPE;

// ------------------------------------------------- configuration and ranges

typedef struct _ACCESS_RANGE {
  SCSI_PHYSICAL_ADDRESS RangeStart;
  ULONG RangeLength;
  BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _PORT_CONFIGURATION_INFORMATION {
  ULONG Length;
  ULONG SystemIoBusNumber;
  INTERFACE_TYPE AdapterInterfaceType;
  ULONG BusInterruptLevel;
  ULONG BusInterruptVector;
  KINTERRUPT_MODE InterruptMode;
  ULONG MaximumTransferLength;
  ULONG NumberOfPhysicalBreaks;
  ULONG DmaChannel;
  ULONG DmaPort;
  DMA_WIDTH DmaWidth;
  DMA_SPEED DmaSpeed;
  ULONG AlignmentMask;
  ULONG NumberOfAccessRanges;
  ACCESS_RANGE (*AccessRanges)[];
  PVOID Reserved;
  UCHAR NumberOfBuses;
  CCHAR InitiatorBusId[8];
  BOOLEAN ScatterGather;
  BOOLEAN Master;
  BOOLEAN CachesData;
  BOOLEAN AdapterScansDown;
  BOOLEAN AtdiskPrimaryClaimed;
  BOOLEAN AtdiskSecondaryClaimed;
  BOOLEAN Dma32BitAddresses;
  BOOLEAN DemandMode;
  BOOLEAN MapBuffers;
  BOOLEAN NeedPhysicalAddresses;
  BOOLEAN TaggedQueuing;
  BOOLEAN AutoRequestSense;
  BOOLEAN MultipleRequestPerLu;
  BOOLEAN ReceiveEvent;
  BOOLEAN RealModeInitialized;
  BOOLEAN BufferAccessScsiPortControlled;
  UCHAR MaximumNumberOfTargets;
  UCHAR ReservedUchars[2];
  ULONG SlotNumber;
  ULONG BusInterruptLevel2;
  ULONG BusInterruptVector2;
  KINTERRUPT_MODE InterruptMode2;
  ULONG DmaChannel2;
  ULONG DmaPort2;
  DMA_WIDTH DmaWidth2;
  DMA_SPEED DmaSpeed2;
  ULONG DeviceExtensionSize;
  ULONG SpecificLuExtensionSize;
  ULONG SrbExtensionSize;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

// ------------------------------------------------------------- registration

typedef BOOLEAN(NTAPI *PHW_INITIALIZE)(PVOID DeviceExtension);
typedef BOOLEAN(NTAPI *PHW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef BOOLEAN(NTAPI *PHW_INTERRUPT)(PVOID DeviceExtension);
typedef ULONG(NTAPI *PHW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                       PCHAR ArgumentString,
                                       PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again);
typedef BOOLEAN(NTAPI *PHW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef void(NTAPI *PHW_DMA_STARTED)(PVOID DeviceExtension);
typedef BOOLEAN(NTAPI *PHW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState);

typedef struct _HW_INITIALIZATION_DATA {
  ULONG HwInitializationDataSize;
  INTERFACE_TYPE AdapterInterfaceType;
  PHW_INITIALIZE HwInitialize;
  PHW_STARTIO HwStartIo;
  PHW_INTERRUPT HwInterrupt;
  PHW_FIND_ADAPTER HwFindAdapter;
  PHW_RESET_BUS HwResetBus;
  PHW_DMA_STARTED HwDmaStarted;
  PHW_ADAPTER_STATE HwAdapterState;
  ULONG DeviceExtensionSize;
  ULONG SpecificLuExtensionSize;
  ULONG SrbExtensionSize;
  ULONG NumberOfAccessRanges;
  PVOID Reserved;
  BOOLEAN MapBuffers;
  BOOLEAN NeedPhysicalAddresses;
  BOOLEAN TaggedQueuing;
  BOOLEAN AutoRequestSense;
  BOOLEAN MultipleRequestPerLu;
  BOOLEAN ReceiveEvent;
  USHORT VendorIdLength;
  PVOID VendorId;
  USHORT ReservedUshort;
  USHORT DeviceIdLength;
  PVOID DeviceId;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

#if defined(__i386__)
// The layouts the 32-bit hosts fix.
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "SRB is 64 bytes on i386");
static_assert(__builtin_offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "SrbFlags");
static_assert(__builtin_offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "DataBuffer");
static_assert(__builtin_offsetof(SCSI_REQUEST_BLOCK, NextSrb) == 32, "NextSrb");
static_assert(__builtin_offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48, "Cdb");
static_assert(sizeof(ACCESS_RANGE) == 16, "ACCESS_RANGE is 16 bytes on i386");
static_assert(__builtin_offsetof(ACCESS_RANGE, RangeLength) == 8, "RangeLength");
static_assert(__builtin_offsetof(ACCESS_RANGE, RangeInMemory) == 12, "RangeInMemory");
static_assert(sizeof(HW_INITIALIZATION_DATA) == 76, "HW_INITIALIZATION_DATA is 76 bytes");
static_assert(__builtin_offsetof(HW_INITIALIZATION_DATA, DeviceExtensionSize) == 36, "ext");
static_assert(__builtin_offsetof(HW_INITIALIZATION_DATA, MapBuffers) == 56, "MapBuffers");
static_assert(__builtin_offsetof(HW_INITIALIZATION_DATA, VendorId) == 64, "VendorId");
static_assert(__builtin_offsetof(HW_INITIALIZATION_DATA, DeviceId) == 72, "DeviceId");
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 136, "NT 4.0 configuration");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, AccessRanges) == 56, "ranges");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses) == 64, "buses");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, ScatterGather) == 73, "s/g");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, MaximumNumberOfTargets) == 89,
              "targets");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, SlotNumber) == 92, "slot");
static_assert(__builtin_offsetof(PORT_CONFIGURATION_INFORMATION, SrbExtensionSize) == 132,
              "srb extension size");
#endif

// ---------------------------------------------------------------- routines
// Imported from SCSIPORT.SYS by the shipped images; provided by the port
// driver stand-in on the simulation host.

KAV_EXTERN_C ULONG NTAPI ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                            PHW_INITIALIZATION_DATA HwInitializationData,
                                            PVOID HwContext);
KAV_EXTERN_C SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG Address);
KAV_EXTERN_C PVOID NTAPI ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                               ULONG SystemIoBusNumber,
                                               SCSI_PHYSICAL_ADDRESS IoAddress, ULONG NumberOfBytes,
                                               BOOLEAN InIoSpace);
KAV_EXTERN_C PVOID NTAPI ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId,
                                                UCHAR TargetId, UCHAR Lun);
KAV_EXTERN_C void KAV_CDECL ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType,
                                                 PVOID HwDeviceExtension, ...);
KAV_EXTERN_C void NTAPI ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId,
                                                UCHAR TargetId, UCHAR Lun, UCHAR SrbStatus);
KAV_EXTERN_C void NTAPI ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                                         UCHAR PathId, UCHAR TargetId, UCHAR Lun, ULONG ErrorCode,
                                         ULONG UniqueId);
KAV_EXTERN_C void NTAPI ScsiPortStallExecution(ULONG Delay);

KAV_EXTERN_C UCHAR NTAPI ScsiPortReadPortUchar(PUCHAR Port);
KAV_EXTERN_C void NTAPI ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value);
KAV_EXTERN_C void NTAPI ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);
KAV_EXTERN_C void NTAPI ScsiPortReadPortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count);
KAV_EXTERN_C void NTAPI ScsiPortReadPortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count);
KAV_EXTERN_C void NTAPI ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);
KAV_EXTERN_C void NTAPI ScsiPortWritePortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count);
KAV_EXTERN_C void NTAPI ScsiPortWritePortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count);

#endif // KAV_PORT_SCSIPORT_H
