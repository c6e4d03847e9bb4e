#include "trace.h"

#include "bus.h"

namespace kavbench {

namespace {

// Register names by bank and offset, for reads and for writes; nullptr where
// the offset holds no register in that direction.
struct RegisterNames {
  const char *read;
  const char *write;
};

const RegisterNames REGISTERS[2][16] = {
    {
        {"REG_TC_LOW", "REG_TC_LOW"},          // 0x0
        {"REG_TC_MID", "REG_TC_MID"},          // 0x1
        {"REG_FIFO", "REG_FIFO"},              // 0x2
        {nullptr, "REG_COMMAND"},              // 0x3
        {"REG_STATUS", "REG_DEST_ID"},         // 0x4
        {"REG_INT_STATUS", "REG_SEL_TIMEOUT"}, // 0x5
        {"REG_SEQ_STEP", "REG_SYNC_PERIOD"},   // 0x6
        {"REG_FIFO_FLAGS", "REG_SYNC_OFFSET"}, // 0x7
        {nullptr, "REG_CONFIG1"},              // 0x8
        {nullptr, "REG_CLOCK_FACTOR"},         // 0x9
        {nullptr, nullptr},                    // 0xA
        {nullptr, "REG_CONFIG2"},              // 0xB
        {"REG_CONFIG3", "REG_CONFIG3"},        // 0xC
        {nullptr, "REG_CONTROL"},              // 0xD
        {"REG_TC_HIGH", "REG_TC_HIGH"},        // 0xE
        {nullptr, nullptr},                    // 0xF
    },
    {
        {nullptr, nullptr},                    // 0x0
        {nullptr, nullptr},                    // 0x1
        {nullptr, nullptr},                    // 0x2
        {nullptr, nullptr},                    // 0x3
        {"REG_PIO_DATA", "REG_PIO_DATA"},      // 0x4
        {nullptr, nullptr},                    // 0x5
        {nullptr, nullptr},                    // 0x6
        {nullptr, nullptr},                    // 0x7
        {"REG_PIO_STATUS", "REG_PIO_CONTROL"}, // 0x8
        {nullptr, nullptr},                    // 0x9
        {nullptr, nullptr},                    // 0xA
        {nullptr, "REG_PIO_CONFIG"},           // 0xB
        {nullptr, nullptr},                    // 0xC
        {nullptr, "REG_CONTROL"},              // 0xD
        {"REG_CHIP_ID", nullptr},              // 0xE
        {nullptr, nullptr},                    // 0xF
    },
};

struct CommandEntry {
  uint8_t code;
  const char *name;
};
const CommandEntry COMMANDS[] = {
    {0x00, "NOP"},
    {0x01, "FLUSH FIFO"},
    {0x02, "RESET CHIP"},
    {0x03, "RESET BUS"},
    {0x10, "TRANSFER INFO"},
    {0x11, "INITIATOR COMPLETE"},
    {0x12, "MESSAGE ACCEPTED"},
    {0x1B, "RESET ATN"},
    {0x42, "SELECT ATN"},
    {0x43, "SELECT ATN STOP"},
    {0x44, "ENABLE RESELECT"},
    {0x90, "TRANSFER INFO DMA"},
};

struct BitName {
  uint8_t bit;
  const char *name;
};
const BitName INTERRUPT_BITS[] = {
    {0x80, "bus reset"},   {0x40, "illegal command"},   {0x20, "disconnect"},
    {0x10, "bus service"}, {0x08, "function complete"}, {0x04, "reselected"},
};
const BitName PIO_STATUS_BITS[] = {
    {0x01, "room for a block"},
    {0x02, "block ready"},
    {0x04, "output"},
    {0x08, "DMA on"},
    {0x10, "empty"},
    {0x40, "ended"},
    {0x80, "full"},
};

std::string Bits(uint8_t value, const BitName *names, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; i++) {
    if (value & names[i].bit) {
      text += text.empty() ? "" : ", ";
      text += names[i].name;
    }
  }
  return text.empty() ? "none" : text;
}

const char *PCIC_REGISTERS[0x40] = {
    "identification",
    "interface status",
    "power control",
    "interrupt control",
    "card status change",
    "status change interrupt",
    "window enable",
    "I/O control",
    "I/O 0 start low",
    "I/O 0 start high",
    "I/O 0 stop low",
    "I/O 0 stop high",
    "I/O 1 start low",
    "I/O 1 start high",
    "I/O 1 stop low",
    "I/O 1 stop high",
    "memory 0 start low",
    "memory 0 start high",
    "memory 0 stop low",
    "memory 0 stop high",
    "memory 0 offset low",
    "memory 0 offset high",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "global control",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "setup timing 0",
    "command timing 0",
    "recovery timing 0",
    "setup timing 1",
    "command timing 1",
    "recovery timing 1",
};

std::string PcicRegisterName(uint8_t index) {
  if (index & 0x80) {
    return "no controller";
  }
  uint8_t reg = index & 0x3F;
  const char *name = PCIC_REGISTERS[reg];
  char text[64];
  std::snprintf(text, sizeof(text), "socket %d 0x%02X%s%s", index & 0x40 ? 2 : 1, reg,
                name ? " " : "", name ? name : "");
  return text;
}

std::string ValueText(uint32_t value, unsigned width) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", static_cast<int>(2 * width), value);
  return text;
}

} // namespace

std::string CommandName(uint8_t command) {
  for (const CommandEntry &entry : COMMANDS) {
    if (entry.code == command) {
      return entry.name;
    }
  }
  return "unknown command";
}

std::string DecodeStatus(uint8_t status) {
  std::string text;
  if (status & 0x80) {
    text += "interrupt, ";
  }
  if (status & 0x10) {
    text += "count zero, ";
  }
  return text + "phase " + sim::phaseName(static_cast<sim::Phase>(status & 7));
}

std::string DecodeInterrupt(uint8_t causes) {
  return Bits(causes, INTERRUPT_BITS, sizeof(INTERRUPT_BITS) / sizeof(INTERRUPT_BITS[0]));
}

std::string DecodePioStatus(uint8_t status) {
  return Bits(status, PIO_STATUS_BITS, sizeof(PIO_STATUS_BITS) / sizeof(PIO_STATUS_BITS[0]));
}

RegisterTrace::RegisterTrace(std::FILE *out, const TraceLayout &layout)
    : out_(out), layout_(layout) {}

void RegisterTrace::header() {
  std::fprintf(out_, "%14s  %-6s %-4s %-17s %-3s %-10s %s\n", "time (ns)", "port", "bank",
               "register", "dir", "value", "meaning");
}

bool RegisterTrace::repeats(const sim::IoAccess &access) const {
  return havePrevious_ && !access.write && !previous_.write && access.count == 1 &&
         previous_.count == 1 && access.port == previous_.port && access.width == previous_.width &&
         access.value == previous_.value;
}

void RegisterTrace::access(const sim::IoAccess &access) {
  if (repeats(access)) {
    repeated_++;
    previous_.time = access.time;
    return;
  }
  finish();
  std::fprintf(out_, "%s\n", line(access).c_str());
  havePrevious_ = true;
  previous_ = access;
}

void RegisterTrace::finish() {
  if (repeated_ > 0) {
    std::fprintf(out_, "%14llu  %-6s %-4s %-17s %-3s %-10s the same %llu more time%s\n",
                 static_cast<unsigned long long>(previous_.time), "", "", "", "", "",
                 static_cast<unsigned long long>(repeated_), repeated_ == 1 ? "" : "s");
  }
  repeated_ = 0;
}

std::string RegisterTrace::line(const sim::IoAccess &access) {
  uint32_t decoded = access.port & layout_.decodeMask;
  if (decoded - layout_.chipPort < 16) {
    return chipLine(access, decoded - layout_.chipPort);
  }
  if (layout_.hasPcic && decoded - layout_.pcicPort < 2) {
    return pcicLine(access, decoded - layout_.pcicPort);
  }
  char text[128];
  std::snprintf(text, sizeof(text), "%14llu  0x%-4X %-4s %-17s %-3s %-10s %s",
                static_cast<unsigned long long>(access.time), access.port, "-", "(no device)",
                access.write ? "W" : "R", ValueText(access.value, access.width).c_str(),
                "floating bus");
  return text;
}

std::string RegisterTrace::chipLine(const sim::IoAccess &access, uint32_t offset) {
  uint8_t bank = bank_;
  const RegisterNames &names = REGISTERS[bank][offset];
  const char *name = access.write ? names.write : names.read;
  uint8_t low = static_cast<uint8_t>(access.value);
  std::string meaning;
  std::string reg = name != nullptr ? name : "(none)";
  if (reg == "REG_COMMAND") {
    meaning = CommandName(low);
  } else if (reg == "REG_STATUS") {
    meaning = DecodeStatus(low);
  } else if (reg == "REG_INT_STATUS") {
    meaning = DecodeInterrupt(low);
  } else if (reg == "REG_PIO_STATUS") {
    meaning = DecodePioStatus(low);
  } else if (reg == "REG_CONTROL") {
    bank_ = low >> 7;
    meaning = "bank " + std::to_string(bank_);
  } else if (reg == "REG_DEST_ID") {
    meaning = "target " + std::to_string(low & 7);
  } else if (reg == "REG_CONFIG1") {
    meaning = "own ID " + std::to_string(low & 7);
  } else if (reg == "REG_SYNC_OFFSET") {
    meaning = low == 0 ? "asynchronous" : "offset " + std::to_string(low);
  } else if (reg == "REG_SYNC_PERIOD") {
    meaning = std::to_string(low & 0x7F) + " clocks";
  } else if (reg == "REG_SEQ_STEP") {
    meaning = "step " + std::to_string(low & 7);
  } else if (reg == "REG_FIFO_FLAGS") {
    meaning = std::to_string(low & 0x1F) + " bytes";
  } else if (name == nullptr) {
    meaning = "stray access";
  }
  if (access.count > 1) {
    meaning = std::to_string(access.count) + " x " + std::to_string(8 * access.width) +
              "-bit, first shown";
  }
  char text[192];
  std::snprintf(text, sizeof(text), "%14llu  0x%-4X %-4u %-17s %-3s %-10s %s",
                static_cast<unsigned long long>(access.time), access.port, bank, reg.c_str(),
                access.write ? "W" : "R", ValueText(access.value, access.width).c_str(),
                meaning.c_str());
  return text;
}

std::string RegisterTrace::pcicLine(const sim::IoAccess &access, uint32_t offset) {
  std::string reg = offset == 0 ? "PCIC index" : "PCIC data";
  uint8_t low = static_cast<uint8_t>(access.value);
  if (offset == 0 && access.write) {
    pcicIndex_ = low;
  }
  std::string meaning = PcicRegisterName(offset == 0 ? low : pcicIndex_);
  char text[192];
  std::snprintf(text, sizeof(text), "%14llu  0x%-4X %-4s %-17s %-3s %-10s %s",
                static_cast<unsigned long long>(access.time), access.port, "-", reg.c_str(),
                access.write ? "W" : "R", ValueText(access.value, access.width).c_str(),
                meaning.c_str());
  return text;
}

} // namespace kavbench
