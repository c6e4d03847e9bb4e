// The whole machine with the flavour under test loaded: chip model, SCSI bus,
// targets and units, our port driver and a class driver on top. The
// machine-level scenarios run on it.
//
// A TestMachine checks, when it goes, that the port driver saw no write
// outside an extension or a buffer and no broken request discipline
// (violations), so that every scenario is held to it.
//
// BufferUnit is a logical unit with a byte-addressed buffer behind READ
// BUFFER and WRITE BUFFER (data mode, 24-bit lengths in bytes): the command
// pair that moves any number of bytes, for transfers that are not a whole
// number of disk blocks.
#ifndef KAV_TESTS_TEST_MACHINE_H
#define KAV_TESTS_TEST_MACHINE_H

#include "class_driver.h"
#include "driver_under_test.h"
#include "pattern.h"
#include "system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace machine {

constexpr uint8_t kInitiatorId = 7;

// A machine of the flavour under test with nothing on its bus yet.
inline sim::SystemConfig ConfigUnderTest() {
  return sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
}

// Options of a target that needs no unit attention handling: the scenario is
// about something else.
inline sim::TargetOptions Settled(sim::TargetOptions options = {}) {
  options.unitAttentionOnReset = false;
  return options;
}

// ------------------------------------------------------------- buffer unit

class BufferUnit : public sim::LogicalUnit {
public:
  static constexpr uint8_t WRITE_BUFFER = 0x3B;
  static constexpr uint8_t READ_BUFFER = 0x3C;
  static constexpr uint8_t MODE_DATA = 0x02;

  explicit BufferUnit(uint32_t size) : buffer_(size) {}

  const char *commandName(uint8_t operationCode) const override {
    switch (operationCode) {
    case READ_BUFFER:
      return "READ BUFFER";
    case WRITE_BUFFER:
      return "WRITE BUFFER";
    default:
      return nullptr;
    }
  }

  sim::Outcome execute(const uint8_t *cdb, std::vector<uint8_t> &data) override {
    uint32_t length = LengthOf(cdb);
    if ((cdb[1] & 0x07) != MODE_DATA || length > buffer_.size()) {
      return sim::Outcome::check(sim::sense::INVALID_FIELD_IN_CDB);
    }
    if (cdb[0] == WRITE_BUFFER) {
      return sim::Outcome::dataOut(length);
    }
    data.assign(buffer_.begin(), buffer_.begin() + length);
    return length != 0 ? sim::Outcome::dataIn(length) : sim::Outcome::good();
  }

  sim::Outcome finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                             uint32_t received) override {
    (void)cdb;
    received_ = received;
    std::copy(data.begin(), data.begin() + received, buffer_.begin());
    return sim::Outcome::good();
  }

  std::vector<uint8_t> &buffer() { return buffer_; }
  uint32_t lastReceived() const { return received_; }

  static uint32_t LengthOf(const uint8_t *cdb) {
    return uint32_t{cdb[6]} << 16 | uint32_t{cdb[7]} << 8 | cdb[8];
  }

private:
  std::vector<uint8_t> buffer_;
  uint32_t received_ = 0;
};

// ------------------------------------------------------------- requests

inline sim::RequestOrder Execute(uint8_t target, uint8_t lun, std::vector<uint8_t> cdb,
                                 uint32_t srbFlags = SRB_FLAGS_NO_DATA_TRANSFER) {
  sim::RequestOrder order;
  order.targetId = target;
  order.lun = lun;
  order.cdb = std::move(cdb);
  order.srbFlags = srbFlags;
  return order;
}

inline sim::RequestOrder TestUnitReady(uint8_t target, uint8_t lun = 0) {
  return Execute(target, lun, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

inline sim::RequestOrder RequestSense(uint8_t target, uint8_t lun = 0) {
  sim::RequestOrder order =
      Execute(target, lun, {0x03, 0x00, 0x00, 0x00, 18, 0x00}, SRB_FLAGS_DATA_IN);
  order.dataLength = 18;
  return order;
}

// READ BUFFER, data mode, buffer 0, offset 0, `length` bytes into a buffer
// of `bufferLength` (the same unless given).
inline sim::RequestOrder ReadBuffer(uint8_t target, uint32_t length, uint32_t bufferLength = 0) {
  sim::RequestOrder order =
      Execute(target, 0,
              {BufferUnit::READ_BUFFER, BufferUnit::MODE_DATA, 0x00, 0x00, 0x00, 0x00,
               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(length), 0x00},
              SRB_FLAGS_DATA_IN);
  order.dataLength = bufferLength != 0 ? bufferLength : length;
  return order;
}

// WRITE BUFFER, data mode, buffer 0, offset 0, the given bytes.
inline sim::RequestOrder WriteBuffer(uint8_t target, const std::vector<uint8_t> &bytes) {
  uint32_t length = static_cast<uint32_t>(bytes.size());
  sim::RequestOrder order =
      Execute(target, 0,
              {BufferUnit::WRITE_BUFFER, BufferUnit::MODE_DATA, 0x00, 0x00, 0x00, 0x00,
               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(length), 0x00},
              SRB_FLAGS_DATA_OUT);
  order.dataLength = length;
  order.dataOut = bytes;
  return order;
}

// READ(10) or WRITE(10) of whole 512-byte blocks.

inline sim::RequestOrder Read10(uint8_t target, uint32_t lba, uint16_t blocks) {
  sim::RequestOrder order = Execute(target, 0, sim::Cdb10(0x28, 0, lba, blocks), SRB_FLAGS_DATA_IN);
  order.dataLength = blocks * 512u;
  return order;
}

inline sim::RequestOrder Write10(uint8_t target, uint32_t lba, const std::vector<uint8_t> &bytes) {
  uint16_t blocks = static_cast<uint16_t>(bytes.size() / 512);
  sim::RequestOrder order =
      Execute(target, 0, sim::Cdb10(0x2A, 0, lba, blocks), SRB_FLAGS_DATA_OUT);
  order.dataLength = static_cast<uint32_t>(bytes.size());
  order.dataOut = bytes;
  return order;
}

inline sim::RequestOrder Function(uint8_t function, uint8_t target, uint8_t lun = 0) {
  sim::RequestOrder order;
  order.function = function;
  order.targetId = target;
  order.lun = lun;
  return order;
}

using testdata::Pattern;

inline std::vector<uint8_t> DataOf(const sim::Request &request) {
  return std::vector<uint8_t>(request.data.data(), request.data.data() + request.data.size());
}

// --------------------------------------------------------------- machine

class TestMachine {
public:
  explicit TestMachine(sim::SystemConfig config = ConfigUnderTest())
      : system_(std::make_unique<sim::System>(std::move(config))), classDriver_(port()) {
    EXPECT_EQ(system_->load(DriverEntryUnderTest()), sim::STATUS_SUCCESS);
    EXPECT_EQ(port().initializeResult(), TRUE);
    port().clearEvents();
  }

  ~TestMachine() {
    EXPECT_TRUE(port().violations().empty()) << Violations();
    EXPECT_EQ(system_->bus().statistics.transferModeMismatches, 0u)
        << "a data phase ran in a transfer mode its target had not agreed";
  }

  TestMachine(const TestMachine &) = delete;
  TestMachine &operator=(const TestMachine &) = delete;

  sim::System &system() { return *system_; }
  sim::PortDriver &port() { return system_->portDriver(); }
  sim::ClassDriver &classDriver() { return classDriver_; }
  sim::Fas408 &chip() { return system_->chip(); }
  sim::ScsiBus &bus() { return system_->bus(); }
  sim::Target &target(uint8_t id) { return system_->target(id); }

  sim::Request &execute(const sim::RequestOrder &order) { return port().execute(order); }
  sim::Request &start(const sim::RequestOrder &order) { return port().start(order); }

  // The device extension's address as the driver reports it in its error
  // log entries.
  uint32_t extensionId() {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port().deviceExtension()));
  }

  std::vector<sim::PortEvent> errorLog() const {
    return system_->portDriver().eventsOf(sim::PortEvent::Kind::LogError);
  }

  size_t notifications(SCSI_NOTIFICATION_TYPE type) const {
    size_t count = 0;
    for (const sim::PortEvent &event :
         system_->portDriver().eventsOf(sim::PortEvent::Kind::Notification)) {
      count += event.notification == type;
    }
    return count;
  }

  std::string Violations() const {
    std::string text;
    for (const std::string &violation : system_->portDriver().violations()) {
      text += violation + "\n";
    }
    return text;
  }

private:
  std::unique_ptr<sim::System> system_;
  sim::ClassDriver classDriver_;
};

} // namespace machine

#endif // KAV_TESTS_TEST_MACHINE_H
