#include "url_disks.h"

#include "iscsi_unit.h"

namespace kavbench {

namespace {

// iscsi://HOST[:PORT]/IQN/LUN through libiscsi. The LUN's own write
// protection decides about writes; `readOnly` is the bench's promise not to
// send any, which the workload checks before it starts.
std::unique_ptr<sim::LogicalUnit> OpenIscsiDisk(const std::string &url, bool /*readOnly*/,
                                                std::string &error) {
  if (!sim::IscsiSupported()) {
    error = "this kavbench was built without libiscsi (install libiscsi-dev and rebuild)";
    return nullptr;
  }
  sim::IscsiConnection connection = sim::ConnectIscsiUnit(url);
  if (!connection.unit) {
    error = url + ": " + connection.error;
    return nullptr;
  }
  return std::move(connection.unit);
}

} // namespace

const std::vector<UrlDiskKind> &UrlDiskKinds() {
  static const std::vector<UrlDiskKind> kinds = {
      {"iscsi", "an iSCSI LUN, iscsi://HOST[:PORT]/IQN/LUN", OpenIscsiDisk},
  };
  return kinds;
}

std::string SchemeOf(const std::string &url) {
  size_t end = url.find("://");
  return end == std::string::npos ? std::string() : url.substr(0, end);
}

std::unique_ptr<sim::LogicalUnit> OpenUrlDisk(const std::string &url, bool readOnly,
                                              std::string &error) {
  std::string scheme = SchemeOf(url);
  for (const UrlDiskKind &kind : UrlDiskKinds()) {
    if (scheme == kind.scheme) {
      return kind.open(url, readOnly, error);
    }
  }
  error = "this kavbench has no disks of the kind '" + scheme + "://'";
  return nullptr;
}

} // namespace kavbench
