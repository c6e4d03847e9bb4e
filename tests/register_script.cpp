#include "register_script.h"

#include <cstdio>
#include <sstream>

namespace script {

namespace {

// Register names by bank, direction and offset; "" where nothing is defined.
const char *const kReadNames[2][16] = {
    {"TC_LOW", "TC_MID", "FIFO", "", "STATUS", "INT_STATUS", "SEQ_STEP", "FIFO_FLAGS", "", "", "",
     "", "CONFIG3", "", "TC_HIGH", ""},
    {"", "", "", "", "PIO_DATA", "", "", "", "PIO_STATUS", "", "", "", "", "", "CHIP_ID", ""},
};
const char *const kWriteNames[2][16] = {
    {"TC_LOW", "TC_MID", "FIFO", "COMMAND", "DEST_ID", "SEL_TIMEOUT", "SYNC_PERIOD", "SYNC_OFFSET",
     "CONFIG1", "CLOCK_FACTOR", "", "CONFIG2", "CONFIG3", "CONTROL", "TC_HIGH", ""},
    {"", "", "", "", "PIO_DATA", "", "", "", "PIO_CONTROL", "", "", "PIO_CONFIG", "", "CONTROL", "",
     ""},
};

const char *NameOf(const Access &access) {
  bool write = access.dir == Dir::Write || access.dir == Dir::BlockWrite;
  const char *name = (write ? kWriteNames : kReadNames)[access.bank & 1][access.reg & 0xF];
  return *name ? name : "?";
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

} // namespace

std::ostream &operator<<(std::ostream &out, const Access &access) {
  switch (access.dir) {
  case Dir::Read:
    out << "R" << int(access.bank) << " " << NameOf(access) << " " << Hex(access.value);
    if (access.count != 1) {
      out << " x" << access.count;
    }
    break;
  case Dir::Write:
    out << "W" << int(access.bank) << " " << NameOf(access) << " " << Hex(access.value);
    break;
  case Dir::BlockRead:
  case Dir::BlockWrite:
    out << (access.dir == Dir::BlockRead ? "R" : "W") << int(access.bank) << " " << NameOf(access)
        << " " << access.count << " x " << access.value * 8 << " bits";
    break;
  }
  return out;
}

std::string Describe(const std::vector<Access> &log) {
  std::ostringstream out;
  for (size_t i = 0; i < log.size(); i++) {
    out << "  [" << i << "] " << log[i] << "\n";
  }
  return out.str();
}

void RegisterScript::queue(uint8_t bank, uint8_t reg, std::initializer_list<uint8_t> values) {
  for (uint8_t value : values) {
    queued_[bank & 1][reg & 0xF].push_back(Run{value, 1});
  }
}

void RegisterScript::queueRun(uint8_t bank, uint8_t reg, uint8_t value, uint64_t times) {
  if (times > 0) {
    queued_[bank & 1][reg & 0xF].push_back(Run{value, times});
  }
}

void RegisterScript::setDefault(uint8_t bank, uint8_t reg, uint8_t value) {
  defaults_[bank & 1][reg & 0xF] = value;
}

void RegisterScript::queueData(const std::vector<uint8_t> &bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
}

void RegisterScript::reset() {
  for (auto &bankQueues : queued_) {
    for (auto &queue : bankQueues) {
      queue.clear();
    }
  }
  for (int bank = 0; bank < 2; bank++) {
    for (int reg = 0; reg < 16; reg++) {
      defaults_[bank][reg] = 0;
      reads_[bank][reg] = 0;
    }
  }
  data_.clear();
  underrun_ = 0;
  written_.clear();
  log_.clear();
}

bool RegisterScript::allConsumed() const {
  for (const auto &bankQueues : queued_) {
    for (const auto &queue : bankQueues) {
      if (!queue.empty()) {
        return false;
      }
    }
  }
  return data_.empty();
}

std::string RegisterScript::unconsumed() const {
  std::ostringstream out;
  for (int bank = 0; bank < 2; bank++) {
    for (int reg = 0; reg < 16; reg++) {
      for (const Run &run : queued_[bank][reg]) {
        Access access{Dir::Read, static_cast<uint8_t>(bank), static_cast<uint8_t>(reg), run.value,
                      static_cast<uint32_t>(run.left)};
        out << "  unread: " << access << "\n";
      }
    }
  }
  if (!data_.empty()) {
    out << "  unread: " << data_.size() << " data bytes\n";
  }
  return out.str();
}

uint8_t RegisterScript::nextRead(uint8_t reg) {
  std::deque<Run> &queue = queued_[bank_][reg];
  Run &run = queue.front();
  uint8_t value = run.value;
  if (--run.left == 0) {
    queue.pop_front();
  }
  return value;
}

void RegisterScript::logRead(uint8_t reg, uint8_t value) {
  log_.push_back(Access{Dir::Read, bank_, reg, value, 1});
}

// The default-read path is the one a time-out takes 16 million times: it is
// kept to a few comparisons.
uint32_t RegisterScript::read(uint32_t offset, unsigned width) {
  (void)width;
  uint8_t reg = offset & 0xF;
  reads_[bank_][reg]++;
  uint8_t value = queued_[bank_][reg].empty() ? defaults_[bank_][reg] : nextRead(reg);
  if (!log_.empty()) {
    Access &last = log_.back();
    if (last.dir == Dir::Read && last.reg == reg && last.value == value && last.bank == bank_) {
      last.count++;
      return value;
    }
  }
  logRead(reg, value);
  return value;
}

void RegisterScript::write(uint32_t offset, unsigned width, uint32_t value) {
  (void)width;
  uint8_t reg = offset & 0xF;
  if (reg == CONTROL) {
    bank_ = (value & 0x80) ? 1 : 0;
  }
  if (bank_ == 1 && reg == PIO_DATA) {
    written_.push_back(static_cast<uint8_t>(value));
  }
  log_.push_back(Access{Dir::Write, bank_, reg, value & 0xFF, 1});
}

void RegisterScript::readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count) {
  uint8_t reg = offset & 0xF;
  uint64_t bytes = static_cast<uint64_t>(width) * count;
  for (uint64_t i = 0; i < bytes; i++) {
    if (bank_ == 1 && reg == PIO_DATA && !data_.empty()) {
      buffer[i] = data_.front();
      data_.pop_front();
    } else {
      buffer[i] = UNDERRUN_BYTE;
      underrun_++;
    }
  }
  log_.push_back(Access{Dir::BlockRead, bank_, reg, width, count});
}

void RegisterScript::writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer,
                                uint32_t count) {
  uint8_t reg = offset & 0xF;
  written_.insert(written_.end(), buffer, buffer + static_cast<size_t>(width) * count);
  log_.push_back(Access{Dir::BlockWrite, bank_, reg, width, count});
}

} // namespace script
