// The iSCSI unit in a build without libiscsi: the factory says so.
#include "iscsi_unit.h"

namespace sim {

bool IscsiSupported() {
  return false;
}

IscsiConnection ConnectIscsiUnit(const std::string &url, const IscsiOptions &options) {
  (void)options;
  IscsiConnection connection;
  connection.error =
      "cannot attach " + url + ": this build has no iSCSI support (libiscsi-dev was not found)";
  return connection;
}

} // namespace sim
