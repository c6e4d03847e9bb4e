// A machine with our port driver, into which the flavour under test is
// loaded: linked in, or as its shipped image (driver_under_test.h).
#ifndef KAV_TESTS_DRIVER_FIXTURE_H
#define KAV_TESTS_DRIVER_FIXTURE_H

#include "driver_under_test.h"
#include "port_driver.h"

#include <gtest/gtest.h>

#include <memory>

struct LoadedDriver {
  explicit LoadedDriver(sim::PortDriverConfig config = {})
      : portDriver(std::make_unique<sim::PortDriver>(machine, std::move(config))) {}

  ULONG load() { return portDriver->load(DriverEntryUnderTest()); }

  drv::HW_DEVICE_EXTENSION &extension() {
    return *static_cast<drv::PHW_DEVICE_EXTENSION>(portDriver->deviceExtension());
  }

  sim::Machine machine;
  std::unique_ptr<sim::PortDriver> portDriver;
};

#endif
