// What the bench needs to know of one driver flavour: its entry point and
// how to show the option fields of its adapter record. driver_view.cpp is
// compiled once per flavour, into that flavour's namespace.
#ifndef KAV_TOOLS_DRIVER_VIEW_H
#define KAV_TOOLS_DRIVER_VIEW_H

#include "scsiport.h"

#include <string>
#include <utility>
#include <vector>

struct DriverView {
  const char *name; // "KAVNT" or "KAV95"
  ULONG(NTAPI *driverEntry)(PVOID, PVOID);
  // Named fields of the adapter record, as text.
  std::vector<std::pair<std::string, std::string>> (*describe)(const void *deviceExtension);
  // KAV95: the socket the adapter record names (0: none); KAVNT: -1.
  int (*cardSocket)(const void *deviceExtension);
};

namespace kavnt {
DriverView MakeDriverView();
}
namespace kav95 {
DriverView MakeDriverView();
}

#endif
