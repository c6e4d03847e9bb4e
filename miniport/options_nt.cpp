// KAVNT's option string: "AS" followed by one character holds that target to
// asynchronous transfer. A keyword starts with "/" or "-", each of its letters
// in either case; only the first occurrence counts. "ND" is recognised and
// has no effect, so it needs no pass of its own.
#include "kav.h"

namespace KAV_NS {

constexpr ULONG OPTION_SCAN_POSITIONS = 80; // keywords may start at 0 to 79

static bool IsLetter(CHAR Character, CHAR Upper) {
  return Character == Upper || Character == static_cast<CHAR>(Upper + ('a' - 'A'));
}

void SetOptionDefaults(PHW_DEVICE_EXTENSION DeviceExtension) {
  (void)DeviceExtension;
}

void ReadOptions(PHW_DEVICE_EXTENSION DeviceExtension, const CHAR *ArgumentString,
                 PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
  (void)ConfigInfo;
  // Each test reads a character only when all before it matched, so the scan
  // never reads past the terminating NUL (which matches no keyword letter).
  for (ULONG i = 0; i < OPTION_SCAN_POSITIONS && ArgumentString[i] != 0; i++) {
    const CHAR *text = ArgumentString + i;
    if ((text[0] == '/' || text[0] == '-') && IsLetter(text[1], 'A') && IsLetter(text[2], 'S')) {
      // The argument may be the NUL itself, which names target 0.
      DeviceExtension->AsyncOnly[static_cast<UCHAR>(text[3]) & 7] = 1;
      return;
    }
  }
}

} // namespace KAV_NS
