// The ScsiPort routines of our port driver under the names SCSIPORT.SYS
// exports them by, for binding the imports of a loaded driver image
// (sim/peloader). In the 32-bit build each one has the calling convention
// that the Microsoft i386 ABI of the images expects.
#ifndef KAV_SIM_SCSIPORT_EXPORTS_H
#define KAV_SIM_SCSIPORT_EXPORTS_H

#include <vector>

namespace sim {

struct ScsiPortExport {
  const char *name;
  void *address;
};

const std::vector<ScsiPortExport> &ScsiPortExports();

} // namespace sim

#endif // KAV_SIM_SCSIPORT_EXPORTS_H
