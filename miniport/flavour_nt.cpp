// KAVNT has no socket controller to tune.
#include "kav.h"

namespace KAV_NS {

void TuneSocketController(PHW_DEVICE_EXTENSION DeviceExtension) {
  (void)DeviceExtension;
}

} // namespace KAV_NS
