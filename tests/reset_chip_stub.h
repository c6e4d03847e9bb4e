// A scripted register file standing in for the chip during initialise: it
// answers the reset sequence (the bus-reset interrupt after CMD_RESET_BUS,
// the chip identity in bank 1) and reads 0x00 everywhere else. Enough for
// tests of what initialise does around the chip, not of the chip itself.
#ifndef KAV_TESTS_RESET_CHIP_STUB_H
#define KAV_TESTS_RESET_CHIP_STUB_H

#include "machine.h"

#include <cstdint>

class ResetChipStub : public sim::IoDevice {
public:
  uint8_t chipId = 0x02;    // identity read in bank 1 at offset 0xE
  bool reportsReset = true; // false: the bus reset is never reported
  bool floating = false;    // reads all ones, as ports no device decodes

  uint32_t read(uint32_t offset, unsigned) override {
    if (floating) {
      return 0xFF;
    }
    bool bank1 = (control_ & 0x80) != 0;
    if (!bank1 && offset == 0x4) { // status: interrupt bit while the reset is pending
      return resetPending_ ? 0x80 : 0x00;
    }
    if (!bank1 && offset == 0x5) { // interrupt status: reading acknowledges
      uint8_t value = resetPending_ ? 0x80 : 0x00;
      resetPending_ = false;
      return value;
    }
    if (bank1 && offset == 0xE) {
      return chipId;
    }
    return 0x00;
  }

  void write(uint32_t offset, unsigned, uint32_t value) override {
    if (offset == 0xD) {
      control_ = static_cast<uint8_t>(value);
    } else if (offset == 0x3 && (control_ & 0x80) == 0 && value == 0x03 && reportsReset) {
      resetPending_ = true; // reset SCSI bus
    }
  }

private:
  uint8_t control_ = 0;
  bool resetPending_ = false;
};

#endif
