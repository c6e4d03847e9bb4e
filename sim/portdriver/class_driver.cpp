#include "class_driver.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_READ_CAPACITY = 0x25;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;

constexpr uint8_t SCSI_STATUS_CHECK_CONDITION = 0x02;
constexpr uint8_t SCSI_STATUS_BUSY = 0x08;

constexpr uint8_t SENSE_NOT_READY = 0x02;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x06;
constexpr uint8_t SENSE_ABORTED_COMMAND = 0x0B;

constexpr uint32_t SENSE_LENGTH = 18;
constexpr uint32_t INQUIRY_LENGTH = 36;

std::string Field(const std::vector<uint8_t> &data, size_t first, size_t length) {
  std::string text;
  for (size_t i = first; i < first + length && i < data.size(); i++) {
    char c = static_cast<char>(data[i]);
    text += (c >= 0x20 && c < 0x7F) ? c : ' ';
  }
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

uint32_t BigEndian32(const std::vector<uint8_t> &data, size_t at) {
  return static_cast<uint32_t>(data[at]) << 24 | static_cast<uint32_t>(data[at + 1]) << 16 |
         static_cast<uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

} // namespace

std::vector<uint8_t> Cdb10(uint8_t operationCode, uint8_t flags, uint32_t lba, uint16_t blocks) {
  return {operationCode,
          flags,
          static_cast<uint8_t>(lba >> 24),
          static_cast<uint8_t>(lba >> 16),
          static_cast<uint8_t>(lba >> 8),
          static_cast<uint8_t>(lba),
          0x00,
          static_cast<uint8_t>(blocks >> 8),
          static_cast<uint8_t>(blocks),
          0x00};
}

CommandResult ClassDriver::sendOnce(uint8_t target, uint8_t lun, const std::vector<uint8_t> &cdb,
                                    uint32_t dataInLength, const std::vector<uint8_t> &dataOut,
                                    uint32_t extraFlags) {
  RequestOrder order;
  order.targetId = target;
  order.lun = lun;
  order.cdb = cdb;
  order.srbFlags = extraFlags | (dataInLength       ? SRB_FLAGS_DATA_IN
                                 : !dataOut.empty() ? SRB_FLAGS_DATA_OUT
                                                    : SRB_FLAGS_NO_DATA_TRANSFER);
  order.dataLength = dataInLength ? dataInLength : static_cast<uint32_t>(dataOut.size());
  order.dataOut = dataOut;

  counters_.requests++;
  if (beforeEachRequest) {
    beforeEachRequest(order);
  }
  Request &request = port_.execute(order);
  CommandResult result;
  result.srbStatus = request.status;
  result.scsiStatus = request.srb.ScsiStatus;
  result.requested = request.requestedLength;
  result.transferred = request.srb.DataTransferLength;
  if (dataInLength) {
    result.data.assign(request.data.data(), request.data.data() + request.data.size());
  }
  port_.forget(request);
  return result;
}

std::optional<SenseData> ClassDriver::requestSense(uint8_t target, uint8_t lun) {
  counters_.senseRequests++;
  CommandResult result =
      sendOnce(target, lun, {OP_REQUEST_SENSE, 0, 0, 0, SENSE_LENGTH, 0}, SENSE_LENGTH, {}, 0);
  if (!result.ok() || result.transferred < 14) {
    return std::nullopt;
  }
  SenseData sense;
  sense.bytes.assign(result.data.begin(), result.data.begin() + result.transferred);
  sense.key = sense.bytes[2] & 0x0F;
  sense.asc = sense.bytes[12];
  sense.ascq = sense.bytes[13];
  return sense;
}

bool ClassDriver::worthRetrying(const CommandResult &result) {
  switch (result.srbStatus) {
  case SRB_STATUS_BUS_RESET:
  case SRB_STATUS_TIMEOUT:
  case SRB_STATUS_BUSY:
    return true;
  case SRB_STATUS_ERROR:
    if (result.scsiStatus == SCSI_STATUS_BUSY) {
      return true;
    }
    if (result.sense) {
      const SenseData &sense = *result.sense;
      return sense.key == SENSE_UNIT_ATTENTION || sense.key == SENSE_ABORTED_COMMAND ||
             (sense.key == SENSE_NOT_READY && sense.asc == 0x04 && sense.ascq == 0x01);
    }
    return false;
  default:
    return false;
  }
}

CommandResult ClassDriver::command(uint8_t target, uint8_t lun, const std::vector<uint8_t> &cdb,
                                   uint32_t dataInLength, const std::vector<uint8_t> &dataOut,
                                   uint32_t extraFlags) {
  counters_.commands++;
  CommandResult result;
  for (unsigned attempt = 0;; attempt++) {
    result = sendOnce(target, lun, cdb, dataInLength, dataOut, extraFlags);
    result.retries = attempt;
    if (result.srbStatus == SRB_STATUS_ERROR && result.scsiStatus == SCSI_STATUS_CHECK_CONDITION) {
      result.sense = requestSense(target, lun);
    }
    if (result.ok() || attempt == MAX_RETRIES || !worthRetrying(result)) {
      break;
    }
    counters_.retries++;
  }
  if (!result.ok()) {
    counters_.errors++;
  } else if (result.transferred < result.requested) {
    counters_.residuals++;
  }
  return result;
}

std::optional<InquiryData> ClassDriver::inquiry(uint8_t target, uint8_t lun,
                                                CommandResult *resultOut) {
  CommandResult result =
      command(target, lun, {OP_INQUIRY, 0, 0, 0, INQUIRY_LENGTH, 0}, INQUIRY_LENGTH);
  if (resultOut) {
    *resultOut = result;
  }
  if (!result.ok() || result.transferred < 5) {
    return std::nullopt;
  }
  InquiryData data;
  data.peripheral = result.data[0];
  data.vendor = Field(result.data, 8, std::min<uint32_t>(8, result.transferred - 8));
  if (result.transferred > 16) {
    data.product = Field(result.data, 16, std::min<uint32_t>(16, result.transferred - 16));
  }
  if (result.transferred > 32) {
    data.revision = Field(result.data, 32, std::min<uint32_t>(4, result.transferred - 32));
  }
  return data;
}

CommandResult ClassDriver::testUnitReady(uint8_t target, uint8_t lun) {
  return command(target, lun, {OP_TEST_UNIT_READY, 0, 0, 0, 0, 0});
}

std::optional<Capacity> ClassDriver::readCapacity(uint8_t target, uint8_t lun) {
  CommandResult result = command(target, lun, {OP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  if (!result.ok() || result.transferred < 8) {
    return std::nullopt;
  }
  return Capacity{BigEndian32(result.data, 0), BigEndian32(result.data, 4)};
}

CommandResult ClassDriver::readBlocks(uint8_t target, uint8_t lun, uint32_t lba, uint16_t blocks,
                                      uint32_t blockSize) {
  return command(target, lun, Cdb10(OP_READ_10, 0, lba, blocks), blocks * blockSize);
}

CommandResult ClassDriver::writeBlocks(uint8_t target, uint8_t lun, uint32_t lba,
                                       const std::vector<uint8_t> &data, uint32_t blockSize) {
  uint16_t blocks = static_cast<uint16_t>(data.size() / blockSize);
  return command(target, lun, Cdb10(OP_WRITE_10, 0, lba, blocks), 0, data);
}

std::vector<ScanEntry> ClassDriver::scanBus() {
  std::vector<ScanEntry> found;
  for (uint8_t target = 0; target < 8; target++) {
    if (target == INITIATOR_ID) {
      continue;
    }
    for (uint8_t lun = 0; lun < 8; lun++) {
      CommandResult result;
      std::optional<InquiryData> data = inquiry(target, lun, &result);
      if (!data) {
        if (lun == 0) {
          break; // no answer from LUN 0: nothing at this ID
        }
        continue;
      }
      if ((data->peripheral >> 5) == 3) {
        if (lun == 0) {
          break;
        }
        continue;
      }
      ScanEntry entry;
      entry.target = target;
      entry.lun = lun;
      entry.inquiry = *data;
      entry.ready = testUnitReady(target, lun).ok();
      if (entry.ready && data->deviceType() == 0x00) {
        entry.capacity = readCapacity(target, lun);
      }
      found.push_back(entry);
    }
  }
  return found;
}

} // namespace sim
