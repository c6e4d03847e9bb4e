#include "driver_view.h"

#include "kav.h"

#include <cstdio>

namespace KAV_NS {

static std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

static std::string Targets(const UCHAR *table) {
  std::string text;
  for (ULONG target = 0; target < MAX_TARGETS; target++) {
    text += std::to_string(table[target]);
    text += target + 1 < MAX_TARGETS ? " " : "";
  }
  return text;
}

static std::vector<std::pair<std::string, std::string>> Describe(const void *deviceExtension) {
  const HW_DEVICE_EXTENSION &ext = *static_cast<const HW_DEVICE_EXTENSION *>(deviceExtension);
  std::vector<std::pair<std::string, std::string>> fields = {
      {"BaseIoAddress", Hex(ext.BaseIoAddress)},
      {"DefaultSyncPeriod", std::to_string(ext.DefaultSyncPeriod)},
      {"DefaultSyncOffset", std::to_string(ext.DefaultSyncOffset)},
      {"AsyncOnly[0..7]", Targets(ext.AsyncOnly)},
      {"SyncPeriod[0..7]", Targets(ext.SyncPeriod)},
      {"SyncOffset[0..7]", Targets(ext.SyncOffset)},
  };
#ifdef KAV_FLAVOUR_95
  fields.push_back({"Tp560", std::to_string(ext.Tp560)});
  fields.push_back({"Cirrus", std::to_string(ext.Cirrus)});
  fields.push_back({"Socket", std::to_string(ext.Socket)});
  fields.push_back({"PcicBase", Hex(ext.PcicBase)});
#endif
  return fields;
}

static int CardSocket(const void *deviceExtension) {
#ifdef KAV_FLAVOUR_95
  return static_cast<const HW_DEVICE_EXTENSION *>(deviceExtension)->Socket;
#else
  (void)deviceExtension;
  return -1;
#endif
}

DriverView MakeDriverView() {
  return DriverView{FLAVOUR_IS_95 ? "KAV95" : "KAVNT", DriverEntry, Describe, CardSocket};
}

} // namespace KAV_NS
