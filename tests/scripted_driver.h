// The flavour under test, loaded by our port driver into a machine whose chip
// is a register script. Initialisation runs against the script (it sees the
// bus reset at once and reads chip identity 0x02); then the script is cleared
// and each test scripts and checks the register traffic of the routine it
// calls.
//
// Engine routines are called directly, inside a port-driver call scope, on a
// request the test owns (EngineRequest). Whole requests go through the port
// driver's start-I/O path.
#ifndef KAV_TESTS_SCRIPTED_DRIVER_H
#define KAV_TESTS_SCRIPTED_DRIVER_H

#include "fas408.h"
#include "flavour_under_test.h"
#include "guarded_buffer.h"
#include "port_driver.h"
#include "register_script.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class ScriptedDriver {
public:
  static constexpr uint32_t RANGE_START = 0x340;

  explicit ScriptedDriver(std::optional<std::string> options = std::nullopt) {
    machine.io.map(RANGE_START + drv::FLAVOUR_CHIP_OFFSET, 16, &chip, "script");
    sim::PortDriverConfig config;
    config.accessRangeStart = RANGE_START;
    config.argumentString = std::move(options);
    port = std::make_unique<sim::PortDriver>(machine, config);

    chip.queue(0, drv::REG_STATUS, {0x80});
    chip.queue(0, drv::REG_INT_STATUS, {0x80});
    chip.queue(1, drv::REG_CHIP_ID, {0x02});
    loadStatus = port->load(drv::DriverEntry);
    EXPECT_EQ(loadStatus, sim::STATUS_SUCCESS) << "initialise against the script";
    EXPECT_TRUE(chip.allConsumed()) << chip.unconsumed();
    chip.reset();
    port->clearEvents();
  }

  drv::HW_DEVICE_EXTENSION &ext() {
    return *static_cast<drv::PHW_DEVICE_EXTENSION>(port->deviceExtension());
  }
  ULONG base() { return ext().BaseIoAddress; }

  // Runs f as a call into the driver.
  template <class F> auto call(F &&f) {
    sim::PortDriver::CallScope scope(*port);
    return f();
  }

  std::vector<sim::PortEvent> errorLog() const {
    return port->eventsOf(sim::PortEvent::Kind::LogError);
  }

  sim::Machine machine;
  script::RegisterScript chip;
  std::unique_ptr<sim::PortDriver> port;
  ULONG loadStatus = 0;
};

// A request the test owns, armed on the engine as the dispatcher would arm an
// execute request: the LU record filled from the SRB, TargetId and Lun set,
// the engine's phase loop running.
struct EngineRequest {
  EngineRequest(uint8_t target, uint8_t lun, std::vector<uint8_t> cdb, uint32_t dataLength = 0)
      : data(dataLength) {
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.TargetId = target;
    srb.Lun = lun;
    srb.CdbLength = static_cast<UCHAR>(cdb.size());
    for (size_t i = 0; i < cdb.size() && i < sizeof(srb.Cdb); i++) {
      srb.Cdb[i] = cdb[i];
    }
    srb.DataTransferLength = dataLength;
    srb.DataBuffer = dataLength ? data.data() : nullptr;
    lu.Srb = &srb;
    lu.DataPointer = static_cast<PUCHAR>(srb.DataBuffer);
    lu.DataLength = dataLength;
    lu.StatusByte = &srb.ScsiStatus;
    lu.Cdb = srb.Cdb;
    lu.CdbLength = srb.CdbLength;
  }

  // Makes this the request on the bus, as the dispatcher leaves it before
  // selection.
  void arm(drv::HW_DEVICE_EXTENSION &ext) {
    ext.TargetId = srb.TargetId;
    ext.Lun = srb.Lun;
    ext.MessageOnly = 0;
    ext.ActiveLu = &lu;
    ext.CurrentPhase = drv::PHASE_SAMPLE;
    ext.PhaseLoopDone = 0;
    lu.RequestDone = 0;
  }

  // The same, right after a successful selection: the data pointer and count
  // are the engine's.
  void select(drv::HW_DEVICE_EXTENSION &ext) {
    arm(ext);
    ext.DataPointer = reinterpret_cast<ULONG_PTR>(lu.DataPointer);
    ext.DataLength = lu.DataLength;
  }

  ULONG_PTR bufferAddress() const { return reinterpret_cast<ULONG_PTR>(data.data()); }

  SCSI_REQUEST_BLOCK srb{};
  drv::HW_LU_EXTENSION lu{};
  sim::GuardedBuffer data;
};

#endif // KAV_TESTS_SCRIPTED_DRIVER_H
