#include "machine.h"

#include <cstring>

namespace sim {

static uint32_t loadUnit(const uint8_t *bytes, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  }
  return value;
}

static void storeUnit(uint8_t *bytes, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width; i++) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void IoDevice::readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    storeUnit(buffer + i * width, width, read(offset, width));
  }
}

void IoDevice::writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    write(offset, width, loadUnit(buffer + i * width, width));
  }
}

uint64_t AccessCounts::total() const {
  uint64_t sum = 0;
  for (unsigned width : {1u, 2u, 4u}) {
    sum += reads[width] + writes[width];
  }
  return sum;
}

void IoSpace::map(uint32_t first, uint32_t length, IoDevice *device, std::string name) {
  ranges_.push_back(Range{first, length, device, std::move(name)});
  last_ = nullptr; // the vector may have moved
}

const IoSpace::Range *IoSpace::decode(uint32_t port) const {
  uint32_t decoded = port & decodeMask_;
  for (const Range &range : ranges_) {
    if (decoded - range.first < range.length) {
      last_ = &range;
      return &range;
    }
  }
  return nullptr;
}

std::string IoSpace::deviceName(uint32_t port) const {
  const Range *range = decode(port);
  return range ? range->name : std::string();
}

void IoSpace::trace(uint32_t port, unsigned width, bool write, uint32_t value, uint32_t count) {
  IoAccess access{clock_.now(), port, static_cast<uint8_t>(width), write, value, count};
  if (recording_) {
    accesses_.push_back(access);
  }
  if (observer) {
    observer(access);
  }
}

void IoSpace::account(uint32_t port, unsigned width, bool write, uint32_t value, uint32_t count) {
  (write ? counts_.writes : counts_.reads)[width] += count;
  if (recording_ || observer) {
    trace(port, width, write, value, count);
  }
  clock_.advance(cost_.of(width) * count);
}

// The polled path: the last range, the count and the cost, then the device,
// which sees the access at its end, as it does a write.
uint32_t IoSpace::read(uint32_t port, unsigned width) {
  const Range *range = last_;
  uint32_t decoded = port & decodeMask_;
  if (range == nullptr || decoded - range->first >= range->length || recording_ || observer) {
    return readTraced(port, width);
  }
  counts_.reads[width]++;
  clock_.advance(costByWidth_[width]);
  return range->device->read(decoded - range->first, width);
}

uint32_t IoSpace::readTraced(uint32_t port, unsigned width) {
  const Range *range = decode(port);
  uint64_t start = clock_.now();
  clock_.advance(cost_.of(width));
  uint32_t value = floatingValue(width);
  if (range != nullptr) {
    value = range->device->read((port & decodeMask_) - range->first, width);
  }
  counts_.reads[width]++;
  if (recording_ || observer) {
    IoAccess access{start, port, static_cast<uint8_t>(width), false, value, 1};
    if (recording_) {
      accesses_.push_back(access);
    }
    if (observer) {
      observer(access);
    }
  }
  return value;
}

void IoSpace::write(uint32_t port, unsigned width, uint32_t value) {
  account(port, width, true, value, 1);
  if (const Range *range = decode(port)) {
    range->device->write((port & decodeMask_) - range->first, width, value);
  }
}

void IoSpace::readBlock(uint32_t port, unsigned width, uint8_t *buffer, uint32_t count) {
  if (count == 0) {
    return;
  }
  const Range *range = decode(port);
  if (range) {
    uint32_t decoded = isaAlias_ ? (port & 0x3FF) : (port & 0xFFFF);
    range->device->readBlock(decoded - range->first, width, buffer, count);
  } else {
    std::memset(buffer, 0xFF, static_cast<size_t>(width) * count);
  }
  account(port, width, false, loadUnit(buffer, width), count);
}

void IoSpace::writeBlock(uint32_t port, unsigned width, const uint8_t *buffer, uint32_t count) {
  if (count == 0) {
    return;
  }
  account(port, width, true, loadUnit(buffer, width), count);
  if (const Range *range = decode(port)) {
    uint32_t decoded = isaAlias_ ? (port & 0x3FF) : (port & 0xFFFF);
    range->device->writeBlock(decoded - range->first, width, buffer, count);
  }
}

uint8_t *Machine::memory(uint32_t physical, uint32_t length) const {
  for (const MemoryRegion &region : memory_) {
    if (physical >= region.first && length <= region.length &&
        physical - region.first <= region.length - length) {
      return region.bytes + (physical - region.first);
    }
  }
  return nullptr;
}

} // namespace sim
