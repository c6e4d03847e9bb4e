#include "pcic.h"

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace sim {

namespace {

constexpr uint32_t PAGE_SHIFT = 12;
constexpr uint32_t CARD_ADDRESS_MASK = (1u << 26) - 1; // 26 card address bits
constexpr uint32_t INDEX_PORT = 0;
constexpr uint32_t DATA_PORT = 1;

bool IsWindowRegister(uint8_t index) {
  return index == pcic::WINDOW_ENABLE ||
         (index >= pcic::MEM0_START_LOW && index <= pcic::MEM0_OFFSET_HIGH);
}

bool IsTimingRegister(uint8_t index) {
  return index >= pcic::SETUP_TIMING_0 && index <= pcic::RECOVERY_TIMING_1;
}

} // namespace

Pcic::Pcic(PcicConfig config) : config_(config) {
  if (config_.memoryBase % WINDOW_BYTES != 0 || config_.memoryBase >= (1u << 24)) {
    throw std::invalid_argument("the card window must be a 4 KiB page below 16 MiB");
  }
  // The window's bytes end a run of readable pages that has an unreadable
  // page on each side.
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t windowPages = (WINDOW_BYTES + page - 1) / page;
  mappingBytes_ = (windowPages + 2) * page;
  mapping_ = mmap(nullptr, mappingBytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) {
    throw std::runtime_error("cannot map the card window");
  }
  uint8_t *readable = static_cast<uint8_t *>(mapping_) + page;
  mprotect(readable, windowPages * page, PROT_READ | PROT_WRITE);
  window_ = readable + windowPages * page - WINDOW_BYTES;
  refreshWindow();
}

Pcic::~Pcic() {
  munmap(mapping_, mappingBytes_);
}

void Pcic::attach(Machine &machine) {
  clock_ = &machine.clock;
  machine.io.map(config_.ioBase, PORTS, this, "pcic");
  machine.mapMemory(MemoryRegion{config_.memoryBase, WINDOW_BYTES, window_, "pcic window"});
}

// ------------------------------------------------------------------ sockets

static size_t SocketSlot(int socket) {
  if (socket != 1 && socket != 2) {
    throw std::out_of_range("socket " + std::to_string(socket) + ": sockets are 1 and 2");
  }
  return static_cast<size_t>(socket - 1);
}

Pcic::Socket &Pcic::socketAt(int socket) {
  return sockets_[SocketSlot(socket)];
}

const Pcic::Socket &Pcic::socketAt(int socket) const {
  return sockets_[SocketSlot(socket)];
}

void Pcic::insertCard(int socket, PcCard card, uint8_t detectLines) {
  Socket &target = socketAt(socket);
  target.card = std::move(card);
  target.detectLines = detectLines & pcic::STATUS_CARD_DETECT;
  refreshWindow();
}

void Pcic::removeCard(int socket) {
  Socket &target = socketAt(socket);
  target.card.reset();
  target.detectLines = 0;
  refreshWindow();
}

// ---------------------------------------------------------------- registers

uint8_t Pcic::interfaceStatus(const Socket &socket) const {
  if (!socket.card) {
    return 0x00;
  }
  uint8_t status = socket.detectLines | pcic::STATUS_READY | pcic::STATUS_BVD1 | pcic::STATUS_BVD2;
  if (socket.registers[pcic::POWER_CONTROL] & pcic::POWER_VCC) {
    status |= pcic::STATUS_POWER_ON;
  }
  return status;
}

uint8_t Pcic::registerValue(int socket, uint8_t index) const {
  const Socket &target = socketAt(socket);
  index &= pcic::REGISTERS_PER_SOCKET - 1;
  switch (index) {
  case pcic::IDENTIFICATION:
    return pcic::IDENTIFICATION_VALUE;
  case pcic::IF_STATUS:
    return interfaceStatus(target);
  case pcic::GLOBAL_CONTROL:
    return globalControl_;
  default:
    if (IsTimingRegister(index) && !config_.timingRegisters) {
      return 0xFF;
    }
    return target.registers[index];
  }
}

// Stores a written value; false when the register takes no writes.
bool Pcic::storeRegister(Socket &socket, uint8_t index, uint8_t value) {
  switch (index) {
  case pcic::IDENTIFICATION:
  case pcic::IF_STATUS:
    return false;
  case pcic::GLOBAL_CONTROL:
    globalControl_ = value;
    return true;
  default:
    if (IsTimingRegister(index) && !config_.timingRegisters) {
      return false;
    }
    socket.registers[index] = value;
    if (IsWindowRegister(index)) {
      refreshWindow();
    }
    return true;
  }
}

void Pcic::setRegister(int socket, uint8_t index, uint8_t value) {
  storeRegister(socketAt(socket), index & (pcic::REGISTERS_PER_SOCKET - 1), value);
}

// -------------------------------------------------------------------- ports

void Pcic::record(PcicAccess::Kind kind, uint8_t value) {
  log_.push_back(PcicAccess{clock_ ? clock_->now() : 0, kind, index_, value});
}

uint8_t Pcic::readData() {
  uint8_t value = 0xFF;
  if (!(index_ & pcic::NO_CONTROLLER)) {
    value = registerValue(index_ & pcic::SECOND_SOCKET ? 2 : 1, index_);
  }
  record(PcicAccess::Kind::DataRead, value);
  return value;
}

void Pcic::writeData(uint8_t value) {
  record(PcicAccess::Kind::DataWrite, value);
  if (!(index_ & pcic::NO_CONTROLLER)) {
    Socket &target = socketAt(index_ & pcic::SECOND_SOCKET ? 2 : 1);
    storeRegister(target, index_ & (pcic::REGISTERS_PER_SOCKET - 1), value);
  }
}

uint8_t Pcic::readByte(uint32_t offset) {
  switch (offset) {
  case INDEX_PORT:
    record(PcicAccess::Kind::IndexRead, index_);
    return index_;
  case DATA_PORT:
    return readData();
  default:
    return 0xFF;
  }
}

void Pcic::writeByte(uint32_t offset, uint8_t value) {
  switch (offset) {
  case INDEX_PORT:
    index_ = value;
    record(PcicAccess::Kind::IndexWrite, value);
    break;
  case DATA_PORT:
    writeData(value);
    break;
  default:
    break;
  }
}

uint32_t Pcic::read(uint32_t offset, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    value |= static_cast<uint32_t>(readByte(offset + i)) << (8 * i);
  }
  return value;
}

void Pcic::write(uint32_t offset, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width; i++) {
    writeByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
  }
}

// ------------------------------------------------------------------- window

bool Pcic::decodesWindowPage(const Socket &socket) const {
  const auto &r = socket.registers;
  if (!(r[pcic::WINDOW_ENABLE] & pcic::ENABLE_MEM0)) {
    return false;
  }
  uint32_t start =
      (r[pcic::MEM0_START_HIGH] & pcic::WINDOW_HIGH_ADDRESS) << 8 | r[pcic::MEM0_START_LOW];
  uint32_t stop =
      (r[pcic::MEM0_STOP_HIGH] & pcic::WINDOW_HIGH_ADDRESS) << 8 | r[pcic::MEM0_STOP_LOW];
  uint32_t page = config_.memoryBase >> PAGE_SHIFT;
  return start <= page && page <= stop;
}

// The card address that a socket's window shows at the page's first byte,
// or none when the socket drives no card byte there (no card, a card not
// fully inserted, or common memory, which the cards lack): it floats.
std::optional<uint32_t> Pcic::windowCardAddress(const Socket &socket) const {
  const auto &r = socket.registers;
  if (!socket.card || socket.detectLines != pcic::STATUS_CARD_DETECT ||
      !(r[pcic::MEM0_OFFSET_HIGH] & pcic::OFFSET_ATTRIBUTE)) {
    return std::nullopt;
  }
  uint32_t start =
      (r[pcic::MEM0_START_HIGH] & pcic::WINDOW_HIGH_ADDRESS) << 8 | r[pcic::MEM0_START_LOW];
  uint32_t cardOffset =
      (r[pcic::MEM0_OFFSET_HIGH] & pcic::OFFSET_HIGH_BITS) << 8 | r[pcic::MEM0_OFFSET_LOW];
  uint32_t cardPage = (config_.memoryBase >> PAGE_SHIFT) - start + cardOffset;
  return cardPage << PAGE_SHIFT;
}

void Pcic::refreshWindow() {
  for (uint32_t offset = 0; offset < WINDOW_BYTES; offset++) {
    window_[offset] = 0xFF;
  }
  // A floating socket ANDs in all ones, which changes nothing.
  for (const Socket &socket : sockets_) {
    std::optional<uint32_t> first =
        decodesWindowPage(socket) ? windowCardAddress(socket) : std::nullopt;
    if (!first) {
      continue;
    }
    for (uint32_t offset = 0; offset < WINDOW_BYTES; offset++) {
      window_[offset] &= socket.card->readAttribute((*first + offset) & CARD_ADDRESS_MASK);
    }
  }
}

} // namespace sim
