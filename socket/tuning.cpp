// The last step of KAV95's initialisation: adjustments of the host's socket
// controller that the options "TP560" and "CIRRUS" ask for.
#include "socket.h"

namespace KAV_NS {

struct TIMING_WRITE {
  UCHAR Register;
  UCHAR Value;
};

// Cirrus Logic access timing: set 0 and set 1, in the order they are written.
static const TIMING_WRITE CirrusTimings[] = {
    {PCIC_SETUP_TIMING_0, 0x01},   {PCIC_SETUP_TIMING_1, 0x01},    {PCIC_COMMAND_TIMING_0, 0x06},
    {PCIC_COMMAND_TIMING_1, 0x14}, {PCIC_RECOVERY_TIMING_0, 0x08}, {PCIC_RECOVERY_TIMING_1, 0x08},
};

void TuneSocketController(PHW_DEVICE_EXTENSION DeviceExtension) {
  USHORT indexPort = static_cast<USHORT>(DeviceExtension->PcicBase);

  // Only for a card known to sit in the first socket.
  if (DeviceExtension->Tp560 == 1 && DeviceExtension->Socket == 1) {
    // I/O window 0: 16-bit data path, width from IOCS16, one wait state.
    UCHAR ioControl = static_cast<UCHAR>(PcicReadReg(indexPort, PCIC_IO_CONTROL, 1));
    PcicWriteReg(indexPort, PCIC_IO_CONTROL,
                 ioControl | PCIC_IO0_DATA_16BIT | PCIC_IO0_IOCS16 | PCIC_IO0_WAIT_STATE, 1);
    PcicReadReg(indexPort, PCIC_GLOBAL_CONTROL, 1);
    PcicWriteReg(indexPort, PCIC_GLOBAL_CONTROL, 0x00, 1);
  }

  // The socket is passed as it is: 2 reaches the second socket's timing
  // registers, every other value (0 after a search that found nothing) the
  // first socket's.
  if (DeviceExtension->Cirrus == 1) {
    for (const TIMING_WRITE &timing : CirrusTimings) {
      PcicReadReg(indexPort, timing.Register, DeviceExtension->Socket);
      PcicWriteReg(indexPort, timing.Register, timing.Value, DeviceExtension->Socket);
    }
  }
}

} // namespace KAV_NS
