// KAV95's PC Card socket enabling: access to the host's 82365SL-compatible
// socket controller (an index port and the data port after it), the search
// for the socket that holds the adapter card, and the controller tuning.
#ifndef KAV_SOCKET_SOCKET_H
#define KAV_SOCKET_SOCKET_H

#include "kav.h"

namespace KAV_NS {

// Register indexes, as for the first socket; the second socket's are OR 0x40.
constexpr UCHAR PCIC_IF_STATUS = 0x01;
constexpr UCHAR PCIC_WINDOW_ENABLE = 0x06;
constexpr UCHAR PCIC_IO_CONTROL = 0x07;
constexpr UCHAR PCIC_MEM0_START_LOW = 0x10;
constexpr UCHAR PCIC_MEM0_STOP_LOW = 0x12;
constexpr UCHAR PCIC_MEM0_OFFSET_LOW = 0x14;
constexpr UCHAR PCIC_MEM0_OFFSET_HIGH = 0x15;
constexpr UCHAR PCIC_GLOBAL_CONTROL = 0x1E;
constexpr UCHAR PCIC_SETUP_TIMING_0 = 0x3A;
constexpr UCHAR PCIC_COMMAND_TIMING_0 = 0x3B;
constexpr UCHAR PCIC_RECOVERY_TIMING_0 = 0x3C;
constexpr UCHAR PCIC_SETUP_TIMING_1 = 0x3D;
constexpr UCHAR PCIC_COMMAND_TIMING_1 = 0x3E;
constexpr UCHAR PCIC_RECOVERY_TIMING_1 = 0x3F;

constexpr UCHAR PCIC_SECOND_SOCKET = 0x40;

// PCIC_IF_STATUS: both card-detect lines asserted means a card is inserted.
constexpr UCHAR PCIC_CARD_DETECT = 0x0C;
// PCIC_WINDOW_ENABLE: memory window 0.
constexpr UCHAR PCIC_ENABLE_MEM0 = 0x01;
// PCIC_MEM0_OFFSET_HIGH: attribute memory, card offset bits 20-25 zero.
constexpr UCHAR PCIC_OFFSET_ATTRIBUTE = 0x40;
// PCIC_IO_CONTROL, I/O window 0: 16-bit data path, data width from the
// card's IOCS16 line, one wait state.
constexpr UCHAR PCIC_IO0_DATA_16BIT = 0x01;
constexpr UCHAR PCIC_IO0_IOCS16 = 0x02;
constexpr UCHAR PCIC_IO0_WAIT_STATE = 0x08;

// The card window: one 4 KiB page of host memory that memory window 0 maps
// to the card's attribute memory. CIS byte k lies at window offset 2k.
constexpr ULONG CIS_WINDOW_SIZE = 0x1000;
constexpr ULONG CIS_PAGE_SHIFT = 12;
// A tuple is examined only when its code lies below this window offset.
constexpr ULONG CIS_WALK_LIMIT = 0xFE0;
constexpr ULONG CIS_BODY_BUFFER_SIZE = 128;
constexpr UCHAR CISTPL_VERS_1 = 0x15; // level-1 version and product strings
// The version tuple's body opens with two version bytes; the strings follow.
constexpr ULONG CIS_VERSION_BYTES = 2;

// Compared with the version tuple's strings, up to the end mark 0xFF; the
// byte after the end mark is never compared.
constexpr UCHAR CARD_ID_END_MARK = 0xFF;
constexpr ULONG CARD_ID_TEMPLATE_SIZE = 40;
// clang-format off
constexpr UCHAR CardIdTemplate[CARD_ID_TEMPLATE_SIZE] = {
    // "VELMO System Inc." and its terminating 0x00
    'V', 'E', 'L', 'M', 'O', ' ', 'S', 'y', 's', 't', 'e', 'm', ' ', 'I', 'n', 'c', '.', 0x00,
    // "MEDIA/SCSI2 CARD 41" and its terminating 0x00
    'M', 'E', 'D', 'I', 'A', '/', 'S', 'C', 'S', 'I', '2', ' ', 'C', 'A', 'R', 'D', ' ', '4', '1',
    0x00,
    // the end mark, then a byte that is never compared
    CARD_ID_END_MARK, 0x00,
};
// clang-format on

// What OpenCisWindow overwrote in one socket's window 0, for CloseCisWindow.
typedef struct _CIS_WINDOW_SAVE {
  ULONG IsOpen;            // 1 while window 0 is programmed for the CIS
  ULONG SavedStartLow;     // PCIC_MEM0_START_LOW
  ULONG SavedStopLow;      // PCIC_MEM0_STOP_LOW
  ULONG SavedOffsetLow;    // PCIC_MEM0_OFFSET_LOW
  ULONG SavedOffsetHigh;   // PCIC_MEM0_OFFSET_HIGH
  ULONG SavedWindowEnable; // PCIC_WINDOW_ENABLE
} CIS_WINDOW_SAVE, *PCIS_WINDOW_SAVE;

constexpr LONG NO_CARD_SOCKET = -1;

ULONG PcicReadReg(USHORT IndexPort, UCHAR Register, UCHAR Socket);
ULONG PcicWriteReg(USHORT IndexPort, UCHAR Register, UCHAR Value, UCHAR Socket);

// The window is given by its physical address, the card-search memory base:
// the host's mapping of it need not keep the address bits the window
// registers take.
ULONG OpenCisWindow(ULONG WindowBase, PCIS_WINDOW_SAVE Save, USHORT IndexPort, UCHAR Socket);
ULONG CloseCisWindow(PCIS_WINDOW_SAVE Save, USHORT IndexPort, UCHAR Socket);
ULONG GetCisTuple(const volatile UCHAR *Window, UCHAR TupleCode, PUCHAR Body, ULONG BodySize);
LONG CompareCisString(const UCHAR *Template, const UCHAR *Data);
LONG FindCardSocket(const volatile UCHAR *Window, ULONG WindowBase, USHORT IndexPort);

// The card search at the end of the option pass: run when the options leave
// Socket at 0 and ask for TP560 or CIRRUS.
void StartCardSearch(PHW_DEVICE_EXTENSION DeviceExtension,
                     PPORT_CONFIGURATION_INFORMATION ConfigInfo, ULONG MemoryBase);

} // namespace KAV_NS

#endif // KAV_SOCKET_SOCKET_H
