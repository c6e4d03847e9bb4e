// Request dispatch and completion.
#include "fas408.h"

namespace KAV_NS {

// Until the bus engine is in place every request is refused at once.
BOOLEAN NTAPI RoutineStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
  Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
  ScsiPortNotification(RequestComplete, DeviceExtension, Srb);
  ScsiPortNotification(NextRequest, DeviceExtension);
  return TRUE;
}

} // namespace KAV_NS
