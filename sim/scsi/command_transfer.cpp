#include "command_transfer.h"

namespace sim {

namespace {

enum class Length : uint8_t {
  None,    // no data phase
  Fixed,   // always `fixedBytes`
  Bytes,   // a byte count of `width` bytes at `at`
  Blocks,  // a block count of `width` bytes at `at`
  Blocks6, // the block count of READ(6) and WRITE(6): byte 4, 0 means 256
};

struct Row {
  uint8_t operationCode;
  const char *name;
  TransferDirection direction;
  Length length;
  uint8_t at;
  uint8_t width;
  uint32_t fixedBytes;
  bool onlyWithBytchk; // VERIFY: data out only when BYTCHK is set
};

constexpr TransferDirection NONE = TransferDirection::None;
constexpr TransferDirection IN = TransferDirection::In;
constexpr TransferDirection OUT = TransferDirection::Out;

const Row ROWS[] = {
    {0x00, "TEST UNIT READY", NONE, Length::None, 0, 0, 0, false},
    {0x08, "READ(6)", IN, Length::Blocks6, 4, 1, 0, false},
    {0x0A, "WRITE(6)", OUT, Length::Blocks6, 4, 1, 0, false},
    {0x12, "INQUIRY", IN, Length::Bytes, 3, 2, 0, false},
    {0x15, "MODE SELECT(6)", OUT, Length::Bytes, 4, 1, 0, false},
    {0x16, "RESERVE(6)", NONE, Length::None, 0, 0, 0, false},
    {0x17, "RELEASE(6)", NONE, Length::None, 0, 0, 0, false},
    {0x1A, "MODE SENSE(6)", IN, Length::Bytes, 4, 1, 0, false},
    {0x1B, "START STOP UNIT", NONE, Length::None, 0, 0, 0, false},
    {0x1C, "RECEIVE DIAGNOSTIC RESULTS", IN, Length::Bytes, 3, 2, 0, false},
    {0x1D, "SEND DIAGNOSTIC", OUT, Length::Bytes, 3, 2, 0, false},
    {0x1E, "PREVENT ALLOW MEDIUM REMOVAL", NONE, Length::None, 0, 0, 0, false},
    {0x25, "READ CAPACITY(10)", IN, Length::Fixed, 0, 0, 8, false},
    {0x28, "READ(10)", IN, Length::Blocks, 7, 2, 0, false},
    {0x2A, "WRITE(10)", OUT, Length::Blocks, 7, 2, 0, false},
    {0x2E, "WRITE AND VERIFY(10)", OUT, Length::Blocks, 7, 2, 0, false},
    {0x2F, "VERIFY(10)", OUT, Length::Blocks, 7, 2, 0, true},
    {0x35, "SYNCHRONIZE CACHE(10)", NONE, Length::None, 0, 0, 0, false},
    {0x4D, "LOG SENSE", IN, Length::Bytes, 7, 2, 0, false},
    {0x55, "MODE SELECT(10)", OUT, Length::Bytes, 7, 2, 0, false},
    {0x5A, "MODE SENSE(10)", IN, Length::Bytes, 7, 2, 0, false},
    {0x88, "READ(16)", IN, Length::Blocks, 10, 4, 0, false},
    {0x8A, "WRITE(16)", OUT, Length::Blocks, 10, 4, 0, false},
    {0x8E, "WRITE AND VERIFY(16)", OUT, Length::Blocks, 10, 4, 0, false},
    {0x8F, "VERIFY(16)", OUT, Length::Blocks, 10, 4, 0, true},
    {0x91, "SYNCHRONIZE CACHE(16)", NONE, Length::None, 0, 0, 0, false},
    {0x9E, "SERVICE ACTION IN(16)", IN, Length::Bytes, 10, 4, 0, false},
    {0xA0, "REPORT LUNS", IN, Length::Bytes, 6, 4, 0, false},
    {0xA8, "READ(12)", IN, Length::Blocks, 6, 4, 0, false},
    {0xAA, "WRITE(12)", OUT, Length::Blocks, 6, 4, 0, false},
    {0xAE, "WRITE AND VERIFY(12)", OUT, Length::Blocks, 6, 4, 0, false},
    {0xAF, "VERIFY(12)", OUT, Length::Blocks, 6, 4, 0, true},
};

constexpr uint8_t BYTCHK = 0x02;

const Row *Find(uint8_t operationCode) {
  for (const Row &row : ROWS) {
    if (row.operationCode == operationCode) {
      return &row;
    }
  }
  return nullptr;
}

uint64_t BigEndian(const uint8_t *bytes, uint8_t width) {
  uint64_t value = 0;
  for (uint8_t i = 0; i < width; i++) {
    value = value << 8 | bytes[i];
  }
  return value;
}

} // namespace

const char *TransferCommandName(uint8_t operationCode) {
  const Row *row = Find(operationCode);
  return row != nullptr ? row->name : nullptr;
}

CommandTransfer TransferOf(const uint8_t *cdb, uint32_t blockSize) {
  const Row *row = Find(cdb[0]);
  if (row == nullptr) {
    return CommandTransfer{};
  }
  CommandTransfer transfer;
  transfer.name = row->name;
  transfer.direction = row->direction;
  if (row->onlyWithBytchk && (cdb[1] & BYTCHK) == 0) {
    transfer.direction = TransferDirection::None;
    return transfer;
  }
  switch (row->length) {
  case Length::None:
    break;
  case Length::Fixed:
    transfer.bytes = row->fixedBytes;
    break;
  case Length::Bytes:
    transfer.bytes = BigEndian(cdb + row->at, row->width);
    break;
  case Length::Blocks:
    transfer.bytes = BigEndian(cdb + row->at, row->width) * blockSize;
    break;
  case Length::Blocks6:
    transfer.bytes = uint64_t{cdb[4] != 0 ? cdb[4] : 256u} * blockSize;
    break;
  }
  return transfer;
}

} // namespace sim
