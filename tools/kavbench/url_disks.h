// Disks reached through a URL ("scheme://..."): the place where a kind of
// remote disk plugs into the bench. Each kind names its scheme and opens a
// logical unit for a URL; `--disk ID[:LUN]=scheme://...` finds the kind by
// the URL's scheme and places the unit it opens at ID and LUN.
//
// To add a kind: write its opener and add one entry to the table in
// url_disks.cpp.
#ifndef KAV_TOOLS_KAVBENCH_URL_DISKS_H
#define KAV_TOOLS_KAVBENCH_URL_DISKS_H

#include "target.h"

#include <memory>
#include <string>
#include <vector>

namespace kavbench {

struct UrlDiskKind {
  const char *scheme; // "iscsi" for iscsi://...
  const char *description;
  // Opens the disk at `url`, or returns nullptr and says why in `error`
  // (one line).
  std::unique_ptr<sim::LogicalUnit> (*open)(const std::string &url, bool readOnly,
                                            std::string &error);
};

// The kinds this bench knows.
const std::vector<UrlDiskKind> &UrlDiskKinds();

// The scheme of a URL ("iscsi" of "iscsi://host/target"), or "".
std::string SchemeOf(const std::string &url);

// Opens a disk by its URL through the kind of its scheme.
std::unique_ptr<sim::LogicalUnit> OpenUrlDisk(const std::string &url, bool readOnly,
                                              std::string &error);

} // namespace kavbench

#endif
