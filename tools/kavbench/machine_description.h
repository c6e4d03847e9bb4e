// The machine the bench runs, as the command line or a config file
// describes it: the driver and its option string, the disks, the targets'
// behaviour, the socket of the card. Each part is parsed from its text and
// the whole is checked before a simulated machine is built from it.
//
// Every parser and check returns an empty string when all is well, or a
// one-line message saying what is wrong.
#ifndef KAV_TOOLS_KAVBENCH_MACHINE_DESCRIPTION_H
#define KAV_TOOLS_KAVBENCH_MACHINE_DESCRIPTION_H

#include "system.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavbench {

constexpr uint8_t ADAPTER_ID = 7;
constexpr uint64_t BLOCK_BYTES = 512;
constexpr uint64_t DEFAULT_DISK_BYTES = 4 << 20;
constexpr uint64_t LARGEST_MEMORY_DISK = 1ull << 30;

enum class DiskSource : uint8_t {
  Memory, // held in memory, zeroed
  Image,  // an image file, read and written in place
  Url,    // a disk reached through a URL (url_disks.h)
};

struct DiskDescription {
  uint8_t id = 0;
  uint8_t lun = 0;
  DiskSource source = DiskSource::Memory;
  uint64_t bytes = DEFAULT_DISK_BYTES; // Memory
  std::string location;                // Image: the file; Url: the URL
  bool readOnly = false;
  std::string text; // as written, for messages
};

struct TargetDescription {
  uint8_t id = 0;
  sim::TargetOptions options;
};

struct MachineDescription {
  sim::Flavour flavour = sim::Flavour::KavNt;
  bool flavourGiven = false;
  std::optional<std::string> options; // the driver's option string
  bool optionsUnchecked = false;      // passed to the driver as given
  std::string binary;                 // a shipped image; empty: the linked driver
  std::vector<DiskDescription> disks; // empty: the default disks
  std::vector<TargetDescription> targets;
  std::optional<int> socket; // KAV95: the socket holding the card (1 or 2)
};

const char *FlavourName(sim::Flavour flavour); // "KAVNT", "KAV95"

// The embedded default machine's disks: IDs 0 and 2, memory, 4 MiB each.
std::vector<DiskDescription> DefaultDisks();
// The soak's default disks: IDs 0, 1, 3 and 5, memory, 4 MiB each.
std::vector<DiskDescription> SoakDisks();

// "512", "64K", "4M", "1G" (K, M, G are powers of 1024; "KiB" etc. too).
std::string ParseSize(const std::string &text, uint64_t &bytes);
// A plain decimal number no larger than `largest`.
std::string ParseNumber(const std::string &text, uint64_t largest, uint64_t &value);

// "ID[:LUN]=SIZE|PATH|URL[,ro]".
std::string ParseDisk(const std::string &text, DiskDescription &disk);
// "ID:KNOB[,KNOB...]", applied to the machine's target of that ID.
std::string ParseTarget(const std::string &text, MachineDescription &machine);
// The knobs ParseTarget knows, for --help.
std::string TargetKnobHelp();

// The driver's option string, checked against the flavour's keywords the
// way the driver reads them: an unknown keyword, a malformed argument, a
// keyword the driver would not see, or stray text is an error.
std::string CheckOptionString(sim::Flavour flavour, const std::string &text);

// The machine as a whole: IDs and LUNs in range, none at the adapter's ID,
// one device per ID and LUN, a socket only for KAV95.
std::string CheckMachine(const MachineDescription &machine);

// The disks the machine runs with: the described ones, or the default.
std::vector<DiskDescription> DisksOf(const MachineDescription &machine);

// The simulated machine's description. Disks reached through a URL are not
// in it: the bench attaches them itself (bench_machine.h).
sim::SystemConfig SystemConfigOf(const MachineDescription &machine);

} // namespace kavbench

#endif
