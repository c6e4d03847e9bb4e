// Socket-controller register access through the index and data ports. The
// ports are used as they are, without a mapping.
#include "socket.h"

namespace KAV_NS {

static PUCHAR PortAddress(USHORT Port) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Port));
}

static UCHAR SocketIndex(UCHAR Register, UCHAR Socket) {
  // Socket 2 addresses the second register set; every other value the first.
  return Socket == 2 ? static_cast<UCHAR>(Register | PCIC_SECOND_SOCKET) : Register;
}

ULONG PcicReadReg(USHORT IndexPort, UCHAR Register, UCHAR Socket) {
  USHORT dataPort = static_cast<USHORT>(IndexPort + 1);
  ScsiPortWritePortUchar(PortAddress(IndexPort), SocketIndex(Register, Socket));
  return ScsiPortReadPortUchar(PortAddress(dataPort));
}

ULONG PcicWriteReg(USHORT IndexPort, UCHAR Register, UCHAR Value, UCHAR Socket) {
  USHORT dataPort = static_cast<USHORT>(IndexPort + 1);
  ScsiPortWritePortUchar(PortAddress(IndexPort), SocketIndex(Register, Socket));
  ScsiPortWritePortUchar(PortAddress(dataPort), Value);
  return ScsiPortReadPortUchar(PortAddress(dataPort)); // read back; callers ignore it
}

} // namespace KAV_NS
