#include "disk.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

uint32_t BigEndian32(const uint8_t *bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

uint16_t BigEndian16(const uint8_t *bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void PutBigEndian32(uint8_t *bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

// A text field of an INQUIRY answer, padded with spaces.
void PutText(uint8_t *field, size_t length, const char *text) {
  std::memset(field, ' ', length);
  std::memcpy(field, text, std::min(length, std::strlen(text)));
}

} // namespace

const DiskUnit::CommandEntry DiskUnit::COMMANDS[] = {
    {opcode::TEST_UNIT_READY, "TEST UNIT READY", &DiskUnit::testUnitReady},
    {opcode::FORMAT_UNIT, "FORMAT UNIT", &DiskUnit::formatUnit},
    {opcode::READ6, "READ(6)", &DiskUnit::read},
    {opcode::WRITE6, "WRITE(6)", &DiskUnit::write},
    {opcode::INQUIRY, "INQUIRY", &DiskUnit::inquiry},
    {opcode::MODE_SENSE6, "MODE SENSE(6)", &DiskUnit::modeSense},
    {opcode::START_STOP_UNIT, "START STOP UNIT", &DiskUnit::startStopUnit},
    {opcode::READ_CAPACITY, "READ CAPACITY", &DiskUnit::readCapacity},
    {opcode::READ10, "READ(10)", &DiskUnit::read},
    {opcode::WRITE10, "WRITE(10)", &DiskUnit::write},
    {opcode::VERIFY10, "VERIFY(10)", &DiskUnit::verify},
};

DiskUnit::DiskUnit(DiskOptions options) : options_(std::move(options)) {
  if (options_.imagePath.empty()) {
    blocks_ = options_.blocks;
    memory_.assign(static_cast<size_t>(blocks_) * BLOCK_BYTES, 0);
    return;
  }
  image_ = std::fopen(options_.imagePath.c_str(), options_.readOnly ? "rb" : "r+b");
  if (image_ == nullptr || std::fseek(image_, 0, SEEK_END) != 0) {
    present_ = false;
    return;
  }
  long size = std::ftell(image_);
  blocks_ = size > 0 ? static_cast<uint32_t>(size / BLOCK_BYTES) : 0;
  present_ = blocks_ > 0;
}

DiskUnit::~DiskUnit() {
  if (image_ != nullptr) {
    std::fclose(image_);
  }
}

void DiskUnit::readBlocks(uint32_t lba, uint32_t count, uint8_t *out) {
  if (count == 0) {
    return; // `out` may be the null data of an empty buffer
  }
  size_t bytes = static_cast<size_t>(count) * BLOCK_BYTES;
  size_t offset = static_cast<size_t>(lba) * BLOCK_BYTES;
  if (image_ == nullptr) {
    std::memcpy(out, memory_.data() + offset, bytes);
    return;
  }
  size_t got = 0;
  if (std::fseek(image_, static_cast<long>(offset), SEEK_SET) == 0) {
    got = std::fread(out, 1, bytes, image_);
  }
  std::memset(out + got, 0, bytes - got);
}

void DiskUnit::writeBlocks(uint32_t lba, uint32_t count, const uint8_t *in) {
  if (count == 0) {
    return;
  }
  size_t bytes = static_cast<size_t>(count) * BLOCK_BYTES;
  size_t offset = static_cast<size_t>(lba) * BLOCK_BYTES;
  if (image_ == nullptr) {
    std::memcpy(memory_.data() + offset, in, bytes);
    return;
  }
  if (std::fseek(image_, static_cast<long>(offset), SEEK_SET) == 0) {
    std::fwrite(in, 1, bytes, image_);
    std::fflush(image_);
  }
}

const DiskUnit::CommandEntry *DiskUnit::find(uint8_t operationCode) const {
  for (const CommandEntry &entry : COMMANDS) {
    if (entry.operationCode == operationCode) {
      return &entry;
    }
  }
  return nullptr;
}

const char *DiskUnit::commandName(uint8_t operationCode) const {
  const CommandEntry *entry = find(operationCode);
  return entry != nullptr ? entry->name : nullptr;
}

Outcome DiskUnit::execute(const uint8_t *cdb, std::vector<uint8_t> &data) {
  const CommandEntry *entry = find(cdb[0]);
  if (entry == nullptr) {
    return Outcome::check(sense::INVALID_COMMAND_OPERATION_CODE);
  }
  return (this->*entry->handler)(cdb, data);
}

DiskUnit::Range DiskUnit::rangeOf(const uint8_t *cdb) {
  if (cdb[0] == opcode::READ6 || cdb[0] == opcode::WRITE6) {
    uint32_t lba = uint32_t{cdb[1] & 0x1Fu} << 16 | uint32_t{cdb[2]} << 8 | cdb[3];
    return Range{lba, cdb[4] != 0 ? cdb[4] : 256u};
  }
  return Range{BigEndian32(cdb + 2), BigEndian16(cdb + 7)};
}

bool DiskUnit::inRange(Range range) const {
  return uint64_t{range.lba} + range.count <= blocks_;
}

bool DiskUnit::notReady(Outcome &outcome) const {
  if (!present_) {
    outcome = Outcome::check(sense::MEDIUM_NOT_PRESENT);
    return true;
  }
  if (!started_) {
    outcome = Outcome::check(sense::NOT_READY_START_REQUIRED);
    return true;
  }
  return false;
}

bool DiskUnit::blocksReachable(const uint8_t *cdb, Range &range, Outcome &outcome) const {
  if (notReady(outcome)) {
    return false;
  }
  range = rangeOf(cdb);
  if (!inRange(range)) {
    outcome = Outcome::check(sense::LBA_OUT_OF_RANGE);
    return false;
  }
  return true;
}

Outcome DiskUnit::testUnitReady(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)cdb;
  (void)data;
  Outcome outcome;
  notReady(outcome);
  return outcome;
}

Outcome DiskUnit::inquiry(const uint8_t *cdb, std::vector<uint8_t> &data) {
  if (cdb[1] & 0x01) {
    return Outcome::check(sense::INVALID_FIELD_IN_CDB); // no vital product data pages
  }
  data.assign(36, 0);
  data[0] = 0x00; // direct access, connected
  data[2] = 0x02; // SCSI-2
  data[3] = 0x02; // response data format
  data[4] = 31;
  data[7] = 0x10; // synchronous transfer supported
  PutText(&data[8], 8, options_.vendor);
  PutText(&data[16], 16, options_.product);
  PutText(&data[32], 4, options_.revision);
  return Outcome::dataIn(std::min<uint32_t>(cdb[4], 36));
}

Outcome DiskUnit::readCapacity(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)cdb;
  Outcome outcome;
  if (notReady(outcome)) {
    return outcome;
  }
  data.assign(8, 0);
  PutBigEndian32(&data[0], blocks_ - 1);
  PutBigEndian32(&data[4], BLOCK_BYTES);
  return Outcome::dataIn(8);
}

Outcome DiskUnit::read(const uint8_t *cdb, std::vector<uint8_t> &data) {
  Outcome outcome;
  Range range;
  if (!blocksReachable(cdb, range, outcome)) {
    return outcome;
  }
  uint32_t bytes = range.count * BLOCK_BYTES;
  if (data.size() < bytes) {
    data.resize(bytes);
  }
  readBlocks(range.lba, range.count, data.data());
  return bytes != 0 ? Outcome::dataIn(bytes) : Outcome::good();
}

Outcome DiskUnit::write(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)data;
  Outcome outcome;
  Range range;
  if (!blocksReachable(cdb, range, outcome)) {
    return outcome;
  }
  if (options_.readOnly) {
    return Outcome::check(sense::WRITE_PROTECTED);
  }
  uint32_t bytes = range.count * BLOCK_BYTES;
  return bytes != 0 ? Outcome::dataOut(bytes) : Outcome::good();
}

Outcome DiskUnit::verify(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)data;
  Outcome outcome;
  Range range;
  if (!blocksReachable(cdb, range, outcome)) {
    return outcome;
  }
  bool compare = (cdb[1] & 0x02) != 0;
  uint32_t bytes = range.count * BLOCK_BYTES;
  return compare && bytes != 0 ? Outcome::dataOut(bytes) : Outcome::good();
}

Outcome DiskUnit::modeSense(const uint8_t *cdb, std::vector<uint8_t> &data) {
  bool withDescriptor = (cdb[1] & 0x08) == 0;
  uint8_t pageControl = cdb[2] >> 6;
  uint8_t page = cdb[2] & 0x3F;
  if (pageControl == 3) {
    return Outcome::check(sense::SAVING_PARAMETERS_NOT_SUPPORTED);
  }
  if (page != 0x00 && page != 0x08 && page != 0x3F) {
    return Outcome::check(sense::INVALID_FIELD_IN_CDB);
  }
  data.assign(4, 0);
  data[2] = options_.readOnly ? 0x80 : 0x00;
  if (withDescriptor) {
    data[3] = 8;
    uint8_t descriptor[8] = {};
    uint32_t shown = std::min<uint32_t>(blocks_, 0xFFFFFF);
    descriptor[1] = static_cast<uint8_t>(shown >> 16);
    descriptor[2] = static_cast<uint8_t>(shown >> 8);
    descriptor[3] = static_cast<uint8_t>(shown);
    descriptor[6] = static_cast<uint8_t>(BLOCK_BYTES >> 8);
    data.insert(data.end(), descriptor, descriptor + 8);
  }
  if (page == 0x08 || page == 0x3F) {
    // Caching page: no write cache, read cache enabled; nothing changeable.
    uint8_t caching[12] = {0x08, 0x0A};
    data.insert(data.end(), caching, caching + 12);
  }
  data[0] = static_cast<uint8_t>(data.size() - 1);
  return Outcome::dataIn(std::min<uint32_t>(cdb[4], static_cast<uint32_t>(data.size())));
}

Outcome DiskUnit::startStopUnit(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)data;
  if (!present_) {
    return Outcome::check(sense::MEDIUM_NOT_PRESENT);
  }
  started_ = (cdb[4] & 0x01) != 0;
  return Outcome::good();
}

Outcome DiskUnit::formatUnit(const uint8_t *cdb, std::vector<uint8_t> &data) {
  (void)data;
  if (!present_) {
    return Outcome::check(sense::MEDIUM_NOT_PRESENT);
  }
  if (options_.readOnly) {
    return Outcome::check(sense::WRITE_PROTECTED);
  }
  if (cdb[1] & 0x10) {
    return Outcome::dataOut(4); // the parameter list header
  }
  std::vector<uint8_t> zeros(BLOCK_BYTES, 0);
  for (uint32_t lba = 0; lba < blocks_; lba++) {
    writeBlocks(lba, 1, zeros.data());
  }
  Outcome outcome;
  outcome.busyNs = options_.formatNs;
  return outcome;
}

Outcome DiskUnit::finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                                uint32_t received) {
  if (cdb[0] == opcode::FORMAT_UNIT) {
    uint8_t plain[6] = {opcode::FORMAT_UNIT};
    std::vector<uint8_t> unused;
    return formatUnit(plain, unused);
  }
  Range range = rangeOf(cdb);
  uint32_t whole = std::min(received / BLOCK_BYTES, range.count);
  if (cdb[0] == opcode::VERIFY10) {
    std::vector<uint8_t> stored(static_cast<size_t>(whole) * BLOCK_BYTES);
    readBlocks(range.lba, whole, stored.data());
    bool same = std::equal(stored.begin(), stored.end(), data.begin());
    return same ? Outcome::good() : Outcome::check(sense::MISCOMPARE);
  }
  writeBlocks(range.lba, whole, data.data());
  return Outcome::good();
}

} // namespace sim
