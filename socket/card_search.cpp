// The search for the socket that holds the adapter card. For each socket with
// a card inserted, memory window 0 is pointed at the card's attribute memory
// through one 4 KiB page of host memory, the CIS is walked for the level-1
// version tuple, and its strings are compared with the adapter's. The window
// registers are given back their earlier values before the next socket is
// tried. The card is neither powered, reset nor configured here.
#include "socket.h"

namespace KAV_NS {

// Body bytes that the tuple does not supply hold this value. It is the
// template's end mark, so no compared template byte equals it: bytes not
// copied from the socket's own tuple (a short tuple, or what an earlier
// socket left in the buffer) can never make a match.
constexpr UCHAR CIS_NOT_COPIED = CARD_ID_END_MARK;

// Reads a window register into its saved field and writes the new value.
static void SaveAndWrite(USHORT IndexPort, UCHAR Register, UCHAR Value, UCHAR Socket,
                         PULONG Saved) {
  *Saved = PcicReadReg(IndexPort, Register, Socket);
  PcicWriteReg(IndexPort, Register, Value, Socket);
}

ULONG OpenCisWindow(ULONG WindowBase, PCIS_WINDOW_SAVE Save, USHORT IndexPort, UCHAR Socket) {
  if (Save->IsOpen != 0) {
    return 0;
  }
  Save->IsOpen = 1;

  // Start and stop in the same page: address bits 12-19 of the window. They
  // come from the window's physical address, not from the host's mapping of
  // it. Registers 0x11 and 0x13 (address bits 20-23, width, wait states)
  // are left as they are.
  UCHAR page = static_cast<UCHAR>(WindowBase >> CIS_PAGE_SHIFT);
  SaveAndWrite(IndexPort, PCIC_MEM0_START_LOW, page, Socket, &Save->SavedStartLow);
  SaveAndWrite(IndexPort, PCIC_MEM0_STOP_LOW, page, Socket, &Save->SavedStopLow);
  SaveAndWrite(IndexPort, PCIC_MEM0_OFFSET_LOW, 0x00, Socket, &Save->SavedOffsetLow);
  SaveAndWrite(IndexPort, PCIC_MEM0_OFFSET_HIGH, PCIC_OFFSET_ATTRIBUTE, Socket,
               &Save->SavedOffsetHigh);

  // Window 0 on; the other windows stay as they were.
  Save->SavedWindowEnable = PcicReadReg(IndexPort, PCIC_WINDOW_ENABLE, Socket);
  PcicWriteReg(IndexPort, PCIC_WINDOW_ENABLE,
               static_cast<UCHAR>(Save->SavedWindowEnable | PCIC_ENABLE_MEM0), Socket);
  return 0;
}

ULONG CloseCisWindow(PCIS_WINDOW_SAVE Save, USHORT IndexPort, UCHAR Socket) {
  if (Save->IsOpen == 0) {
    return 0;
  }
  Save->IsOpen = 0;
  PcicWriteReg(IndexPort, PCIC_MEM0_START_LOW, static_cast<UCHAR>(Save->SavedStartLow), Socket);
  PcicWriteReg(IndexPort, PCIC_MEM0_STOP_LOW, static_cast<UCHAR>(Save->SavedStopLow), Socket);
  PcicWriteReg(IndexPort, PCIC_MEM0_OFFSET_LOW, static_cast<UCHAR>(Save->SavedOffsetLow), Socket);
  PcicWriteReg(IndexPort, PCIC_MEM0_OFFSET_HIGH, static_cast<UCHAR>(Save->SavedOffsetHigh), Socket);
  PcicWriteReg(IndexPort, PCIC_WINDOW_ENABLE, static_cast<UCHAR>(Save->SavedWindowEnable), Socket);
  return 0;
}

// Copies the body of the tuple whose code lies at window offset Tuple. The
// copy ends at the tuple's link, at the end of the buffer or at the end of
// the window, whichever comes first.
static void CopyTupleBody(const volatile UCHAR *Window, ULONG Tuple, ULONG Link, PUCHAR Body,
                          ULONG BodySize) {
  for (ULONG i = 0; i < Link && i < BodySize; i++) {
    ULONG offset = Tuple + 4 + 2 * i;
    if (offset >= CIS_WINDOW_SIZE) {
      break;
    }
    Body[i] = Window[offset];
  }
}

ULONG GetCisTuple(const volatile UCHAR *Window, UCHAR TupleCode, PUCHAR Body, ULONG BodySize) {
  for (ULONG i = 0; i < BodySize; i++) {
    Body[i] = CIS_NOT_COPIED;
  }
  // Tuple codes have no meaning of their own in this walk: 0x00 and 0xFF are
  // stepped over by their link byte like any other. The walk ends at a match
  // or at the bound; each step is at least 4 bytes.
  ULONG tuple = 0;
  while (tuple < CIS_WALK_LIMIT) {
    UCHAR code = Window[tuple];
    ULONG link = Window[tuple + 2];
    if (code == TupleCode) {
      CopyTupleBody(Window, tuple, link, Body, BodySize);
      return 0;
    }
    tuple += 4 + 2 * link;
  }
  return 1;
}

LONG CompareCisString(const UCHAR *Template, const UCHAR *Data) {
  for (ULONG i = 0; Template[i] != CARD_ID_END_MARK; i++) {
    if (Template[i] != Data[i]) {
      return -1;
    }
  }
  return 0;
}

// Whether the card behind the open window carries the adapter's strings.
static bool WindowShowsAdapterCard(const volatile UCHAR *Window) {
  UCHAR body[CIS_BODY_BUFFER_SIZE];
  if (GetCisTuple(Window, CISTPL_VERS_1, body, CIS_BODY_BUFFER_SIZE) != 0) {
    return false;
  }
  return CompareCisString(CardIdTemplate, body + CIS_VERSION_BYTES) == 0;
}

LONG FindCardSocket(const volatile UCHAR *Window, ULONG WindowBase, USHORT IndexPort) {
  CIS_WINDOW_SAVE save;
  save.IsOpen = 0;
  // Socket 1 first: when both sockets hold the card, 1 is the answer.
  for (UCHAR socket = 1; socket <= 2; socket++) {
    UCHAR status = static_cast<UCHAR>(PcicReadReg(IndexPort, PCIC_IF_STATUS, socket));
    if ((status & PCIC_CARD_DETECT) != PCIC_CARD_DETECT) {
      continue;
    }
    OpenCisWindow(WindowBase, &save, IndexPort, socket);
    bool found = WindowShowsAdapterCard(Window);
    CloseCisWindow(&save, IndexPort, socket);
    if (found) {
      return socket;
    }
  }
  return NO_CARD_SOCKET;
}

void StartCardSearch(PHW_DEVICE_EXTENSION DeviceExtension,
                     PPORT_CONFIGURATION_INFORMATION ConfigInfo, ULONG MemoryBase) {
  if (DeviceExtension->Socket != 0) {
    return; // "SLOT=" named the socket
  }
  if (DeviceExtension->Cirrus != 1 && DeviceExtension->Tp560 != 1) {
    return; // nothing will be tuned, so nothing is searched
  }
  // The window registers decode whole 4 KiB pages: a base inside a page
  // cannot show the CIS from its first byte, so no search is made.
  if (MemoryBase % CIS_WINDOW_SIZE != 0) {
    return;
  }
  PVOID window = ScsiPortGetDeviceBase(
      DeviceExtension, ConfigInfo->AdapterInterfaceType, ConfigInfo->SystemIoBusNumber,
      ScsiPortConvertUlongToPhysicalAddress(MemoryBase), CIS_WINDOW_SIZE, FALSE);
  if (window == nullptr) {
    return; // without the window there is nothing to read: no search
  }
  LONG socket = FindCardSocket(static_cast<const volatile UCHAR *>(window), MemoryBase,
                               static_cast<USHORT>(DeviceExtension->PcicBase));
  if (socket != NO_CARD_SOCKET) {
    DeviceExtension->Socket = static_cast<UCHAR>(socket);
  }
}

} // namespace KAV_NS
