#include "arguments.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace kavbench {

namespace {

// What the parse has seen so far, besides the options themselves.
struct ParseState {
  BenchOptions options;
  bool countGiven = false;
  bool sizesGiven = false;
  bool workloadGiven = false;
  bool patternGiven = false;
  bool inConfigFile = false;
};

using Handler = std::string (*)(ParseState &state, const std::string &value);

struct OptionEntry {
  const char *name;  // without "--"
  const char *value; // how its value is written; nullptr: a flag
  const char *help;
  Handler handle;
};

std::string ParseSizes(const std::string &text, std::vector<uint32_t> &sizes) {
  sizes.clear();
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    uint64_t bytes = 0;
    std::string error = ParseSize(item, bytes);
    if (!error.empty()) {
      return error;
    }
    if (bytes == 0 || bytes % BLOCK_BYTES != 0 || bytes > LARGEST_REQUEST) {
      return "request size " + item + " is not a multiple of 512 bytes from 512 to 16M-512";
    }
    sizes.push_back(static_cast<uint32_t>(bytes));
  }
  if (sizes.empty()) {
    return "no request size given";
  }
  return "";
}

std::string ReadConfigFile(ParseState &state, const std::string &path);

const OptionEntry OPTIONS[] = {
    // ------------------------------------------------------------- machine
    {"driver", "nt|95", "driver flavour: KAVNT (default) or KAV95",
     [](ParseState &s, const std::string &v) {
       if (v != "nt" && v != "95") {
         return "unknown driver '" + v + "' (use nt or 95)";
       }
       s.options.machine.flavour = v == "95" ? sim::Flavour::Kav95 : sim::Flavour::KavNt;
       s.options.machine.flavourGiven = true;
       return std::string();
     }},
    {"binary", "PATH",
     "run a shipped image (KAVNT.SYS, KAV95.MPD) through the PE loader\n"
     "(the 32-bit build); its flavour follows the file's name or --driver",
     [](ParseState &s, const std::string &v) {
       s.options.machine.binary = v;
       return std::string();
     }},
    {"options", "TEXT",
     "the driver's option string (default: none), checked against the\n"
     "flavour's keywords, e.g. \"/AS2\"",
     [](ParseState &s, const std::string &v) {
       s.options.machine.options = v;
       s.options.machine.optionsUnchecked = false;
       return std::string();
     }},
    {"raw-options", "TEXT", "the option string, passed to the driver unchecked",
     [](ParseState &s, const std::string &v) {
       s.options.machine.options = v;
       s.options.machine.optionsUnchecked = true;
       return std::string();
     }},
    {"disk", "ID[:LUN]=SIZE|PATH|URL[,ro]",
     "a disk: in memory (SIZE: 512, 64K, 4M, up to 1G), an image file\n"
     "(PATH, whole 512-byte blocks) or an iSCSI LUN\n"
     "(URL: iscsi://HOST[:PORT]/IQN/LUN), \",ro\" read-only. Repeatable; the\n"
     "first replaces the default disks (IDs 0 and 2, 4M each)",
     [](ParseState &s, const std::string &v) {
       DiskDescription disk;
       std::string error = ParseDisk(v, disk);
       if (error.empty()) {
         s.options.machine.disks.push_back(disk);
       }
       return error;
     }},
    {"target", "ID:KNOB[,KNOB...]", "a target's behaviour, with these knobs:",
     [](ParseState &s, const std::string &v) { return ParseTarget(v, s.options.machine); }},
    {"socket", "1|2", "KAV95: the socket holding the card (default 1)",
     [](ParseState &s, const std::string &v) {
       if (v != "1" && v != "2") {
         return "the card sits in socket 1 or 2, not '" + v + "'";
       }
       s.options.machine.socket = v == "2" ? 2 : 1;
       return std::string();
     }},
    {"config", "FILE", "read options from FILE, one per line: \"disk 0=4M\"",
     [](ParseState &s, const std::string &v) { return ReadConfigFile(s, v); }},
    // ------------------------------------------------------------ workload
    {"workload", "read|write|verify|mix",
     "read: READ(10) compared with what the disk holds; write: WRITE(10)\n"
     "read back and compared; verify: VERIFY(10) with the expected bytes;\n"
     "mix (default): each request one of them at random",
     [](ParseState &s, const std::string &v) {
       const WorkloadKind kinds[] = {WorkloadKind::Read, WorkloadKind::Write, WorkloadKind::Verify,
                                     WorkloadKind::Mix};
       for (WorkloadKind kind : kinds) {
         if (v == WorkloadName(kind)) {
           s.options.workload.kind = kind;
           s.workloadGiven = true;
           return std::string();
         }
       }
       return "unknown workload '" + v + "' (use read, write, verify or mix)";
     }},
    {"pattern", "sequential|random", "where requests go (default random)",
     [](ParseState &s, const std::string &v) {
       if (v != "sequential" && v != "random") {
         return "unknown pattern '" + v + "' (use sequential or random)";
       }
       s.options.workload.pattern = v == "random" ? Pattern::Random : Pattern::Sequential;
       s.patternGiven = true;
       return std::string();
     }},
    {"size", "SIZE[,SIZE...]", "request sizes, taken in turn or at random (default 64K)",
     [](ParseState &s, const std::string &v) {
       s.sizesGiven = true;
       return ParseSizes(v, s.options.workload.sizes);
     }},
    {"count", "N", "requests to make (default 48; soak 100000)",
     [](ParseState &s, const std::string &v) {
       uint64_t count = 0;
       std::string error = ParseNumber(v, 1'000'000'000'000ull, count);
       if (error.empty() && count == 0) {
         error = "a count of 0 makes no workload";
       }
       s.options.workload.count = count;
       s.options.workload.bytes.reset();
       s.countGiven = true;
       return error;
     }},
    {"bytes", "SIZE", "instead of a count: requests until this many bytes (e.g. 16M)",
     [](ParseState &s, const std::string &v) {
       uint64_t bytes = 0;
       std::string error = ParseSize(v, bytes);
       if (error.empty() && bytes == 0) {
         error = "0 bytes make no workload";
       }
       s.options.workload.bytes = bytes;
       s.countGiven = true;
       return error;
     }},
    {"seed", "N", "seed of the random choices and the data (default 1)",
     [](ParseState &s, const std::string &v) {
       return ParseNumber(v, ~0ull, s.options.workload.seed);
     }},
    {"soak", nullptr,
     "a long random read/write/verify run over every disk with faults\n"
     "injected at random (stalls, disconnects, BUSY, short transfers,\n"
     "message floods, surplus data); every request is accounted for",
     [](ParseState &s, const std::string &) {
       s.options.soak = true;
       return std::string();
     }},
    {"fault-rate", "PERCENT", "soak: the share of requests that meet a fault (default 5)",
     [](ParseState &s, const std::string &v) {
       uint64_t percent = 0;
       std::string error = ParseNumber(v, 100, percent);
       s.options.faultPercent = static_cast<uint32_t>(percent);
       return error;
     }},
    {"faults", "KIND[,KIND...]",
     "soak: the kinds of fault to inject (default all): stall, disconnect,\n"
     "busy, short, flood, surplus",
     [](ParseState &s, const std::string &v) {
       s.options.faults.fill(false);
       std::stringstream list(v);
       std::string item;
       while (std::getline(list, item, ',')) {
         bool known = false;
         for (size_t i = 0; i < FAULT_KINDS; i++) {
           if (item == FAULT_NAMES[i]) {
             s.options.faults[i] = true;
             known = true;
           }
         }
         if (!known) {
           return "unknown fault '" + item +
                  "' (use stall, disconnect, busy, short, flood, surplus)";
         }
       }
       return std::string();
     }},
    // -------------------------------------------------------------- output
    {"trace", nullptr,
     "list every register access: time, port, bank, register, direction,\n"
     "value, decoded command or status (on stdout; on stderr with --json)",
     [](ParseState &s, const std::string &) {
       s.options.trace = true;
       return std::string();
     }},
    {"vcd", "FILE", "write the SCSI bus to FILE as a Value Change Dump",
     [](ParseState &s, const std::string &v) {
       s.options.vcdPath = v;
       return std::string();
     }},
    {"json", nullptr, "print the scan and the summary as JSON, nothing else, on stdout",
     [](ParseState &s, const std::string &) {
       s.options.json = true;
       return std::string();
     }},
    {"help", nullptr, "this text",
     [](ParseState &s, const std::string &) {
       s.options.help = true;
       return std::string();
     }},
};

const OptionEntry *FindOption(const std::string &name) {
  for (const OptionEntry &entry : OPTIONS) {
    if (name == entry.name) {
      return &entry;
    }
  }
  return nullptr;
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return "";
  }
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string ReadConfigFile(ParseState &state, const std::string &path) {
  if (state.inConfigFile) {
    return "a config file cannot read another";
  }
  std::ifstream file(path);
  if (!file) {
    return "cannot read " + path;
  }
  state.inConfigFile = true;
  std::string line;
  for (unsigned number = 1; std::getline(file, line); number++) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') {
      continue;
    }
    size_t space = line.find_first_of(" \t");
    std::string name = line.substr(0, space);
    if (name.rfind("--", 0) == 0) {
      name.erase(0, 2);
    }
    std::string value = space == std::string::npos ? "" : Trim(line.substr(space));
    const OptionEntry *entry = FindOption(name);
    std::string where = path + ":" + std::to_string(number) + ": ";
    if (entry == nullptr || name == "help") {
      state.inConfigFile = false;
      return where + "unknown option '" + name + "'";
    }
    if (entry->value == nullptr && !value.empty()) {
      state.inConfigFile = false;
      return where + name + " takes no value";
    }
    if (entry->value != nullptr && value.empty()) {
      state.inConfigFile = false;
      return where + name + " needs a value (" + entry->value + ")";
    }
    std::string error = entry->handle(state, value);
    if (!error.empty()) {
      state.inConfigFile = false;
      return where + name + ": " + error;
    }
  }
  state.inConfigFile = false;
  return "";
}

bool EndsWithNoCase(const std::string &text, const std::string &ending) {
  if (text.size() < ending.size()) {
    return false;
  }
  for (size_t i = 0; i < ending.size(); i++) {
    char c = text[text.size() - ending.size() + i];
    if (std::tolower(static_cast<unsigned char>(c)) != ending[i]) {
      return false;
    }
  }
  return true;
}

// The checks that need every option.
std::string Finish(ParseState &state) {
  BenchOptions &options = state.options;
  MachineDescription &machine = options.machine;
  if (!machine.binary.empty() && !machine.flavourGiven) {
    if (EndsWithNoCase(machine.binary, ".sys")) {
      machine.flavour = sim::Flavour::KavNt;
    } else if (EndsWithNoCase(machine.binary, ".mpd")) {
      machine.flavour = sim::Flavour::Kav95;
    } else {
      return "--binary " + machine.binary + ": name its flavour with --driver nt|95";
    }
  }
  if (options.soak) {
    if (state.workloadGiven || state.patternGiven) {
      return "--soak runs a random mix of its own: leave out --workload and --pattern";
    }
    if (!state.countGiven) {
      options.workload.count = DEFAULT_SOAK_COUNT;
    }
    if (!state.sizesGiven) {
      options.workload.sizes = {512, 4096, 16384, 65536};
    }
    if (machine.disks.empty()) {
      machine.disks = SoakDisks();
    }
  }
  return CheckMachine(machine);
}

} // namespace

const char *WorkloadName(WorkloadKind kind) {
  switch (kind) {
  case WorkloadKind::Read:
    return "read";
  case WorkloadKind::Write:
    return "write";
  case WorkloadKind::Verify:
    return "verify";
  case WorkloadKind::Mix:
    break;
  }
  return "mix";
}

ParsedArguments ParseArguments(const std::vector<std::string> &arguments) {
  ParseState state;
  ParsedArguments result;
  for (size_t i = 0; i < arguments.size(); i++) {
    const std::string &argument = arguments[i];
    if (argument == "-h") {
      state.options.help = true;
      continue;
    }
    if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
      result.error = "unexpected argument '" + argument + "' (see --help)";
      return result;
    }
    size_t equals = argument.find('=');
    std::string name =
        argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionEntry *entry = FindOption(name);
    if (entry == nullptr) {
      result.error = "unknown option '--" + name + "' (see --help)";
      return result;
    }
    std::string value;
    if (entry->value == nullptr) {
      if (equals != std::string::npos) {
        result.error = "--" + name + " takes no value";
        return result;
      }
    } else if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      result.error = "--" + name + " needs a value (" + entry->value + ")";
      return result;
    }
    std::string error = entry->handle(state, value);
    if (!error.empty()) {
      result.error = name == "config" ? error : "--" + name + " " + value + ": " + error;
      return result;
    }
  }
  if (!state.options.help) {
    result.error = Finish(state);
  }
  result.options = state.options;
  return result;
}

std::string HelpText() {
  std::string text = "usage: kavbench [options]\n"
                     "Runs a driver flavour on the simulated machine: start-up, a bus scan,\n"
                     "a verified workload and its summary. With no options: KAVNT, disks at\n"
                     "IDs 0 and 2, a mix of 48 random 64 KiB requests.\n";
  const char *sections[] = {"driver", "workload", "trace"};
  const char *titles[] = {"\nThe machine\n", "\nThe workload\n", "\nOutput\n"};
  size_t section = 0;
  for (const OptionEntry &entry : OPTIONS) {
    if (section < 3 && std::string(entry.name) == sections[section]) {
      text += titles[section++];
    }
    std::string head = std::string("  --") + entry.name;
    if (entry.value != nullptr) {
      head += std::string(" ") + entry.value;
    }
    std::string help = entry.help;
    std::string indent(4, ' ');
    text += head + "\n" + indent;
    for (char c : help) {
      text += c;
      if (c == '\n') {
        text += indent;
      }
    }
    text += "\n";
    if (std::string(entry.name) == "target") {
      text += TargetKnobHelp();
    }
  }
  text += "\nExit status: 0 when the run had no error, 1 when it had, 2 for bad\n"
          "arguments or a machine that cannot be built.\n";
  return text;
}

} // namespace kavbench
