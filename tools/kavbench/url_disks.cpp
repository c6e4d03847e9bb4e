#include "url_disks.h"

namespace kavbench {

const std::vector<UrlDiskKind> &UrlDiskKinds() {
  // No kind is built in yet.
  static const std::vector<UrlDiskKind> kinds;
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
