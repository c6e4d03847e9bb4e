#include "machine_description.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace kavbench {

namespace {

std::string Lower(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool AllDigits(const std::string &text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

bool IsHexDigit(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string Quoted(const std::string &text) {
  return "'" + text + "'";
}

// "ID" or "ID:LUN", each 0 to 7; the adapter's ID is refused.
std::string ParseAddress(const std::string &text, bool lunAllowed, uint8_t &id, uint8_t &lun) {
  size_t colon = text.find(':');
  std::string idText = text.substr(0, colon);
  uint64_t value = 0;
  if (!AllDigits(idText)) {
    return "the SCSI ID " + Quoted(idText) + " is not a number";
  }
  if (ParseNumber(idText, 7, value).size() != 0) {
    return "SCSI ID " + idText + " is out of range (IDs are 0 to 7)";
  }
  if (value == ADAPTER_ID) {
    return "SCSI ID 7 is the adapter's own";
  }
  id = static_cast<uint8_t>(value);
  lun = 0;
  if (colon == std::string::npos) {
    return "";
  }
  if (!lunAllowed) {
    return "a target is named by its ID alone, not " + Quoted(text);
  }
  std::string lunText = text.substr(colon + 1);
  if (!AllDigits(lunText) || ParseNumber(lunText, 7, value).size() != 0) {
    return "LUN " + Quoted(lunText) + " is out of range (LUNs are 0 to 7)";
  }
  lun = static_cast<uint8_t>(value);
  return "";
}

// --------------------------------------------------------------- target knobs

struct Knob {
  const char *name;
  const char *value; // how the value is written; nullptr: none
  const char *help;
  std::string (*apply)(const std::string &value, sim::TargetOptions &options);
};

std::string ParseByte(const std::string &text, uint8_t &out) {
  uint64_t value = 0;
  std::string error = ParseNumber(text, 255, value);
  out = static_cast<uint8_t>(value);
  return error;
}

std::string ParseCount(const std::string &text, uint32_t &out) {
  uint64_t value = 0;
  std::string error = ParseNumber(text, std::numeric_limits<uint32_t>::max() - 1, value);
  out = static_cast<uint32_t>(value);
  return error;
}

// "PERIOD:OFFSET", a period factor and an offset.
std::string ParsePeriodOffset(const std::string &text, uint8_t &period, uint8_t &offset) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return "expected PERIOD:OFFSET, not " + Quoted(text);
  }
  std::string error = ParseByte(text.substr(0, colon), period);
  if (error.empty()) {
    error = ParseByte(text.substr(colon + 1), offset);
  }
  return error;
}

struct PhaseName {
  const char *name;
  sim::Phase phase;
};
const PhaseName PHASE_NAMES[] = {
    {"data-out", sim::Phase::DataOut},       {"data-in", sim::Phase::DataIn},
    {"command", sim::Phase::Command},        {"status", sim::Phase::Status},
    {"message-out", sim::Phase::MessageOut}, {"message-in", sim::Phase::MessageIn},
};

const Knob KNOBS[] = {
    {"absent", nullptr, "does not answer selection",
     [](const std::string &, sim::TargetOptions &o) {
       o.respondsToSelection = false;
       return std::string();
     }},
    {"sdtr", "accept|reject|ignore|counter:PERIOD:OFFSET", "answer to a synchronous offer",
     [](const std::string &v, sim::TargetOptions &o) {
       if (v == "accept") {
         o.sdtrAnswer = sim::SdtrAnswer::Accept;
       } else if (v == "reject") {
         o.sdtrAnswer = sim::SdtrAnswer::Reject;
       } else if (v == "ignore") {
         o.sdtrAnswer = sim::SdtrAnswer::Ignore;
       } else if (v.rfind("counter:", 0) == 0) {
         o.sdtrAnswer = sim::SdtrAnswer::CounterPropose;
         return ParsePeriodOffset(v.substr(8), o.counterPeriod, o.counterOffset);
       } else {
         return "sdtr takes accept, reject, ignore or counter:PERIOD:OFFSET, not " + Quoted(v);
       }
       return std::string();
     }},
    {"propose-sdtr", "PERIOD:OFFSET", "proposes synchronous transfer itself",
     [](const std::string &v, sim::TargetOptions &o) {
       o.proposesSdtr = true;
       return v.empty() ? std::string() : ParsePeriodOffset(v, o.proposedPeriod, o.proposedOffset);
     }},
    {"disconnect", "BYTE", "disconnects once per command, at this byte of the data (0: before)",
     [](const std::string &v, sim::TargetOptions &o) {
       o.disconnects = true;
       return v.empty() ? std::string() : ParseCount(v, o.disconnectAtByte);
     }},
    {"short-read", "BYTES", "sends at most this many bytes of data in",
     [](const std::string &v, sim::TargetOptions &o) { return ParseCount(v, o.shortReadBytes); }},
    {"short-write", "BYTES", "takes at most this many bytes of data out",
     [](const std::string &v, sim::TargetOptions &o) { return ParseCount(v, o.shortWriteBytes); }},
    {"extra-in", "BYTES", "sends this many bytes beyond the data asked for",
     [](const std::string &v, sim::TargetOptions &o) { return ParseCount(v, o.extraDataInBytes); }},
    {"stall", "PHASE",
     "never asks for a byte in PHASE: data-in, data-out, command, status, message-in or "
     "message-out",
     [](const std::string &v, sim::TargetOptions &o) {
       for (const PhaseName &entry : PHASE_NAMES) {
         if (v == entry.name) {
           o.stallIn = entry.phase;
           return std::string();
         }
       }
       return "stall takes a phase (data-in, data-out, command, status, message-in, "
              "message-out), not " +
              Quoted(v);
     }},
    {"flood", "COUNT", "sends this many NO OPERATION messages before data or status",
     [](const std::string &v, sim::TargetOptions &o) {
       return ParseCount(v, o.messageFloodBytes);
     }},
    {"busy", "COUNT", "answers BUSY to this many commands",
     [](const std::string &v, sim::TargetOptions &o) { return ParseCount(v, o.busyCommands); }},
    {"ignore-atn", nullptr, "ignores ATN at selection",
     [](const std::string &, sim::TargetOptions &o) {
       o.ignoresAtn = true;
       return std::string();
     }},
    {"no-unit-attention", nullptr, "reports no unit attention after a reset",
     [](const std::string &, sim::TargetOptions &o) {
       o.unitAttentionOnReset = false;
       return std::string();
     }},
    {"byte-ns", "NS", "the shortest time per byte it allows",
     [](const std::string &v, sim::TargetOptions &o) {
       uint64_t value = 0;
       std::string error = ParseNumber(v, 1'000'000'000, value);
       o.timing.byteNs = value;
       return error;
     }},
};

// Knobs whose value may be left out.
bool ValueOptional(const Knob &knob) {
  std::string name = knob.name;
  return name == "propose-sdtr" || name == "disconnect";
}

std::string ApplyKnob(const std::string &text, sim::TargetOptions &options) {
  size_t equals = text.find('=');
  std::string name = text.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  for (const Knob &knob : KNOBS) {
    if (name != knob.name) {
      continue;
    }
    if (knob.value == nullptr && equals != std::string::npos) {
      return std::string(knob.name) + " takes no value";
    }
    if (knob.value != nullptr && value.empty() && !ValueOptional(knob)) {
      return std::string(knob.name) + " needs a value (" + knob.name + "=" + knob.value + ")";
    }
    return knob.apply(value, options);
  }
  return "unknown target knob " + Quoted(name) + " (see --help)";
}

// ------------------------------------------------------------ option strings

struct Keyword {
  const char *name;  // upper case, without its "/"
  unsigned argument; // characters of its argument
  unsigned resume;   // KAV95: where the driver goes on, counted from the "/"
  bool kav95Only;
  // Checks the argument; "" when it is sound.
  std::string (*check)(const std::string &argument);
};

std::string CheckTarget(const std::string &argument) {
  if (argument.size() != 1 || argument[0] < '0' || argument[0] > '7') {
    return "takes a target ID 0 to 7";
  }
  return "";
}

// One character of no meaning; not one that starts a keyword or ends the
// argument, which would make the string read differently from how it looks.
std::string CheckAny(const std::string &argument) {
  bool sound =
      argument.size() == 1 && argument[0] != ' ' && argument[0] != '/' && argument[0] != '-';
  return sound ? "" : "takes one character";
}

std::string CheckHex(const std::string &argument) {
  for (char c : argument) {
    if (!IsHexDigit(c)) {
      return "takes four hexadecimal digits";
    }
  }
  return argument.size() == 4 ? "" : "takes four hexadecimal digits";
}

std::string CheckMemoryBase(const std::string &argument) {
  std::string error = CheckHex(argument);
  if (error.empty() && std::stoul(argument, nullptr, 16) % 0x100 != 0) {
    return "takes the paragraph of a 4 KiB page (a multiple of 0x100): the driver would make "
           "no card search";
  }
  return error;
}

std::string CheckSocket(const std::string &argument) {
  return argument == "1" || argument == "2" ? "" : "takes the socket, 1 or 2";
}

std::string CheckNothing(const std::string &) {
  return "";
}

const Keyword KEYWORDS[] = {
    {"AS", 1, 4, false, CheckTarget},    {"ND", 1, 4, false, CheckAny},
    {"PCICADR=", 4, 10, true, CheckHex}, {"MEMBASE=", 4, 10, true, CheckMemoryBase},
    {"TP560", 0, 7, true, CheckNothing}, {"CIRRUS", 0, 8, true, CheckNothing},
    {"SLOT=", 1, 7, true, CheckSocket},
};

constexpr size_t OPTION_SCAN_POSITIONS = 80;

// The keyword written at `text` (after its "/"), as the flavour reads it.
const Keyword *MatchKeyword(sim::Flavour flavour, const std::string &text, std::string &error) {
  for (const Keyword &keyword : KEYWORDS) {
    std::string name = keyword.name;
    std::string written = text.substr(0, name.size());
    if (Lower(written) != Lower(name)) {
      continue;
    }
    if (flavour == sim::Flavour::Kav95 && written != name && written != Lower(name)) {
      error = "KAV95 reads a keyword all upper or all lower case, not " + Quoted(written);
      return nullptr;
    }
    if (flavour == sim::Flavour::KavNt && keyword.kav95Only) {
      error = "KAVNT knows no keyword " + Quoted("/" + written) + " (it knows /AS and /ND)";
      return nullptr;
    }
    return &keyword;
  }
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '/' || c == '-') {
      break;
    }
    word += c;
  }
  error = std::string("unknown option keyword ") + Quoted("/" + word) + " (" +
          (flavour == sim::Flavour::KavNt ? "KAVNT knows /AS and /ND"
                                          : "KAV95 knows /AS, /ND, /PCICADR=, /MEMBASE=, "
                                            "/TP560, /CIRRUS and /SLOT=") +
          ")";
  return nullptr;
}

} // namespace

const char *FlavourName(sim::Flavour flavour) {
  return flavour == sim::Flavour::Kav95 ? "KAV95" : "KAVNT";
}

std::vector<DiskDescription> SoakDisks() {
  std::vector<DiskDescription> disks;
  for (uint8_t id : {0, 1, 3, 5}) {
    DiskDescription disk;
    disk.id = id;
    disk.text = std::to_string(id) + "=4M";
    disks.push_back(disk);
  }
  return disks;
}

std::vector<DiskDescription> DefaultDisks() {
  std::vector<DiskDescription> disks(2);
  disks[0].id = 0;
  disks[0].text = "0=4M";
  disks[1].id = 2;
  disks[1].text = "2=4M";
  return disks;
}

std::string ParseNumber(const std::string &text, uint64_t largest, uint64_t &value) {
  if (!AllDigits(text)) {
    return Quoted(text) + " is not a number";
  }
  value = 0;
  for (char c : text) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > largest || value > (largest - digit) / 10) {
      return text + " is too large (at most " + std::to_string(largest) + ")";
    }
    value = value * 10 + digit;
  }
  return "";
}

std::string ParseSize(const std::string &text, uint64_t &bytes) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    digits++;
  }
  std::string unit = Lower(text.substr(digits));
  unsigned shift = 0;
  if (unit.empty() || unit == "b") {
    shift = 0;
  } else if (unit == "k" || unit == "kib") {
    shift = 10;
  } else if (unit == "m" || unit == "mib") {
    shift = 20;
  } else if (unit == "g" || unit == "gib") {
    shift = 30;
  } else {
    return Quoted(text) + " is not a size (use bytes, or K, M, G)";
  }
  uint64_t value = 0;
  std::string error = ParseNumber(text.substr(0, digits), (1ull << 62) >> shift, value);
  if (!error.empty()) {
    return digits == 0 ? Quoted(text) + " is not a size (use bytes, or K, M, G)" : error;
  }
  bytes = value << shift;
  return "";
}

std::string ParseDisk(const std::string &text, DiskDescription &disk) {
  disk = DiskDescription{};
  disk.text = text;
  size_t equals = text.find('=');
  if (equals == std::string::npos) {
    return "a disk is written ID[:LUN]=SIZE|PATH[,ro], not " + Quoted(text);
  }
  std::string error = ParseAddress(text.substr(0, equals), true, disk.id, disk.lun);
  if (!error.empty()) {
    return error;
  }
  std::string what = text.substr(equals + 1);
  for (const char *suffix : {",ro", ",rw"}) {
    std::string ending = suffix;
    if (what.size() > ending.size() &&
        what.compare(what.size() - ending.size(), ending.size(), ending) == 0) {
      disk.readOnly = ending == ",ro";
      what.erase(what.size() - ending.size());
      break;
    }
  }
  if (what.empty()) {
    return "disk " + Quoted(text) + " names no size, image file or URL";
  }
  if (std::isdigit(static_cast<unsigned char>(what[0])) && ParseSize(what, disk.bytes).empty()) {
    disk.source = DiskSource::Memory;
    if (disk.bytes == 0 || disk.bytes % BLOCK_BYTES != 0) {
      return "disk size " + what + " is not a whole number of 512-byte blocks";
    }
    if (disk.bytes > LARGEST_MEMORY_DISK) {
      return "disk size " + what + " is larger than a memory disk may be (1G)";
    }
    return "";
  }
  disk.location = what;
  disk.source = what.find("://") != std::string::npos ? DiskSource::Url : DiskSource::Image;
  return "";
}

std::string ParseTarget(const std::string &text, MachineDescription &machine) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon + 1 == text.size()) {
    return "a target is written ID:KNOB[,KNOB...], not " + Quoted(text);
  }
  uint8_t id = 0;
  uint8_t lun = 0;
  std::string error = ParseAddress(text.substr(0, colon), false, id, lun);
  if (!error.empty()) {
    return error;
  }
  TargetDescription *target = nullptr;
  for (TargetDescription &existing : machine.targets) {
    if (existing.id == id) {
      target = &existing;
    }
  }
  if (target == nullptr) {
    machine.targets.push_back(TargetDescription{id, {}});
    target = &machine.targets.back();
  }
  std::string knobs = text.substr(colon + 1);
  size_t start = 0;
  while (start <= knobs.size()) {
    size_t comma = knobs.find(',', start);
    std::string knob = knobs.substr(start, comma - start);
    if (knob.empty()) {
      return "an empty target knob in " + Quoted(text);
    }
    error = ApplyKnob(knob, target->options);
    if (!error.empty()) {
      return "target " + std::to_string(id) + ": " + error;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return "";
}

std::string TargetKnobHelp() {
  // Name, then the help in a column of its own, wrapped at 100 characters;
  // a long name puts its help on the next line.
  const size_t indent = 6, column = 35, width = 100;
  std::string text;
  for (const Knob &knob : KNOBS) {
    std::string name = knob.name;
    if (knob.value != nullptr) {
      name += ValueOptional(knob) ? std::string("[=") + knob.value + "]"
                                  : std::string("=") + knob.value;
    }
    std::string line = std::string(indent, ' ') + name;
    if (line.size() + 1 > column) {
      text += line + "\n";
      line.clear();
    }
    line.resize(column, ' ');
    std::string word;
    std::string help = std::string(knob.help) + " ";
    for (char c : help) {
      if (c != ' ') {
        word += c;
        continue;
      }
      if (line.size() + word.size() > width && line.size() > column) {
        line.pop_back(); // the space after the last word
        text += line + "\n";
        line = std::string(column, ' ');
      }
      line += word + " ";
      word.clear();
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    text += line + "\n";
  }
  return text;
}

std::string CheckOptionString(sim::Flavour flavour, const std::string &text) {
  bool asyncSeen = false;
  size_t driverResume = 0; // KAV95 reads no keyword before this position
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ') {
      i++;
      continue;
    }
    if (c != '/' && c != '-') {
      size_t end = text.find_first_of(" /-", i);
      return "unexpected text " + Quoted(text.substr(i, end - i)) + " at position " +
             std::to_string(i) + " of the option string (keywords start with / or -)";
    }
    std::string error;
    const Keyword *keyword = MatchKeyword(flavour, text.substr(i + 1), error);
    if (keyword == nullptr) {
      return error;
    }
    std::string written = text.substr(i, 1 + std::string(keyword->name).size() + keyword->argument);
    if (i >= OPTION_SCAN_POSITIONS) {
      return Quoted(written) + " starts at position " + std::to_string(i) +
             ": the driver reads keywords at positions 0 to 79 only";
    }
    if (flavour == sim::Flavour::Kav95 && i < driverResume) {
      return Quoted(written) + " at position " + std::to_string(i) +
             " is skipped: KAV95 goes on a fixed distance after the keyword before it";
    }
    if (flavour == sim::Flavour::KavNt && std::string(keyword->name) == "AS") {
      if (asyncSeen) {
        return "KAVNT reads only the first /AS: " + Quoted(written) + " at position " +
               std::to_string(i) + " would have no effect";
      }
      asyncSeen = true;
    }
    size_t argumentAt = i + 1 + std::string(keyword->name).size();
    std::string argument = text.substr(argumentAt, keyword->argument);
    error = keyword->check(argument);
    if (!error.empty()) {
      return Quoted("/" + std::string(keyword->name)) + " " + error + ", not " + Quoted(argument);
    }
    driverResume = i + keyword->resume;
    i = argumentAt + keyword->argument;
  }
  return "";
}

std::vector<DiskDescription> DisksOf(const MachineDescription &machine) {
  return machine.disks.empty() ? DefaultDisks() : machine.disks;
}

std::string CheckMachine(const MachineDescription &machine) {
  std::vector<DiskDescription> disks = DisksOf(machine);
  for (size_t i = 0; i < disks.size(); i++) {
    for (size_t j = 0; j < i; j++) {
      if (disks[i].id == disks[j].id && disks[i].lun == disks[j].lun) {
        return "two devices at ID " + std::to_string(disks[i].id) + " LUN " +
               std::to_string(disks[i].lun) + " (" + Quoted(disks[j].text) + " and " +
               Quoted(disks[i].text) + ")";
      }
    }
  }
  if (machine.socket && machine.flavour != sim::Flavour::Kav95) {
    return "--socket places the card for KAV95: KAVNT's machine has no socket controller";
  }
  if (machine.socket && *machine.socket != 1 && *machine.socket != 2) {
    return "the card sits in socket 1 or 2, not " + std::to_string(*machine.socket);
  }
  if (machine.options && !machine.optionsUnchecked) {
    return CheckOptionString(machine.flavour, *machine.options);
  }
  return "";
}

sim::SystemConfig SystemConfigOf(const MachineDescription &machine) {
  sim::SystemConfig config = sim::SystemConfig::forFlavour(machine.flavour);
  config.options = machine.options;
  for (const TargetDescription &target : machine.targets) {
    config.targets.push_back(sim::TargetPlacement{target.id, target.options});
  }
  for (const DiskDescription &disk : DisksOf(machine)) {
    if (disk.source == DiskSource::Url) {
      continue;
    }
    sim::DiskPlacement placed;
    placed.target = disk.id;
    placed.lun = disk.lun;
    placed.disk.blocks = static_cast<uint32_t>(disk.bytes / BLOCK_BYTES);
    placed.disk.imagePath = disk.source == DiskSource::Image ? disk.location : "";
    placed.disk.readOnly = disk.readOnly;
    config.disks.push_back(placed);
  }
  if (machine.flavour == sim::Flavour::Kav95) {
    sim::SocketControllerSetup socket;
    socket.cardSocket = machine.socket.value_or(1);
    config.socketController = socket;
  }
  return config;
}

} // namespace kavbench
