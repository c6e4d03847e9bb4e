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

ULONG PcicReadReg(USHORT IndexPort, UCHAR Register, UCHAR Socket);
ULONG PcicWriteReg(USHORT IndexPort, UCHAR Register, UCHAR Value, UCHAR Socket);

} // namespace KAV_NS

#endif // KAV_SOCKET_SOCKET_H
