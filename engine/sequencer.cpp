// The phase sequencer: carries a selected request through the bus phases by
// calling one handler per phase until a handler ends the loop, and writes
// one error-log entry when the sequence broke off.
#include "engine.h"

namespace KAV_NS {

typedef UCHAR (*PHASE_HANDLER)(PHW_DEVICE_EXTENSION DeviceExtension);

// Handlers by bus phase code; the reserved phases 4 and 5 have none.
static const PHASE_HANDLER PhaseHandlers[8] = {
    DataOutPhaseRun,    // 0 data out
    DataInPhaseRun,     // 1 data in
    CommandPhaseRun,    // 2 command
    StatusPhaseRun,     // 3 status
    nullptr,            // 4 reserved
    nullptr,            // 5 reserved
    MessageOutPhaseRun, // 6 message out
    MessageInPhaseRun,  // 7 message in
};

static PHASE_HANDLER HandlerOf(UCHAR Phase) {
  return Phase < 8 ? PhaseHandlers[Phase] : nullptr;
}

// A phase code without a handler (the reserved bus phases, or any stray
// code) would leave the loop with nothing to do. The bus is sampled again,
// for at most POLL_LIMIT reads, until it shows a phase with a handler; a bus
// that stays in a reserved phase fails the sequence.
static void WaitForHandledPhase(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;
  SelectBank(base, CONTROL_BANK0);
  for (ULONG reads = 0; reads < POLL_LIMIT; reads++) {
    UCHAR phase = CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK;
    if (HandlerOf(phase) != nullptr) {
      DeviceExtension->CurrentPhase = phase;
      return;
    }
  }
  FailPhase(DeviceExtension);
}

static void LogFailedSequence(PHW_DEVICE_EXTENSION DeviceExtension) {
  PSCSI_REQUEST_BLOCK srb = DeviceExtension->ActiveLu->Srb;
  ScsiPortLogError(DeviceExtension, srb, srb->PathId, srb->TargetId, srb->Lun, SP_REQUEST_TIMEOUT,
                   static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(DeviceExtension)));
}

void RunPhaseSub(PHW_DEVICE_EXTENSION DeviceExtension) {
  ULONG base = DeviceExtension->BaseIoAddress;

  while (DeviceExtension->PhaseLoopDone != 1) {
    UCHAR phase = DeviceExtension->CurrentPhase;
    PHASE_HANDLER handler = HandlerOf(phase);
    if (handler != nullptr) {
      handler(DeviceExtension);
    } else if (phase == PHASE_SAMPLE) {
      SelectBank(base, CONTROL_BANK0);
      DeviceExtension->CurrentPhase = CheckStReg(base, CHECK_SAMPLE) & STATUS_PHASE_MASK;
    } else {
      WaitForHandledPhase(DeviceExtension);
    }
  }

  if (DeviceExtension->CurrentPhase == PHASE_FAILED) {
    LogFailedSequence(DeviceExtension);
  }
  DeviceExtension->CurrentPhase = PHASE_SAMPLE;
  DeviceExtension->PhaseLoopDone = 1;
}

} // namespace KAV_NS
