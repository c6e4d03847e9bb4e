// Drives the chip model through its ports the way the driver's phase
// handlers do (register offsets and values written as literals), so that the
// chip, the bus and the targets can be tested without the driver.
#ifndef KAV_TESTS_CHIP_SESSION_H
#define KAV_TESTS_CHIP_SESSION_H

#include "system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

struct ChipSession {
  explicit ChipSession(sim::SystemConfig config = {}) : system(std::move(config)) {}

  uint32_t port(uint32_t offset) const { return system.chipPort() + offset; }
  uint8_t read(uint32_t offset) {
    return static_cast<uint8_t>(system.machine().io.read(port(offset), 1));
  }
  void write(uint32_t offset, uint8_t value) { system.machine().io.write(port(offset), 1, value); }
  void bank0() { write(0xD, 0x00); }
  void bank1() { write(0xD, 0x80); }
  void command(uint8_t code) { write(0x3, code); }
  void loadCount(uint32_t count) {
    write(0x0, static_cast<uint8_t>(count));
    write(0x1, static_cast<uint8_t>(count >> 8));
    write(0xE, static_cast<uint8_t>(count >> 16));
  }
  uint32_t count() { return read(0x0) | read(0x1) << 8 | read(0xE) << 16; }
  uint8_t phase() { return read(0x4) & 7; }
  uint64_t now() { return system.machine().clock.now(); }

  // Polls REG_STATUS (bank 0) until an interrupt is latched; returns the
  // status value, or 0xFF after `limit` reads.
  uint8_t waitInterrupt(uint32_t limit = 4'000'000) {
    for (uint32_t i = 0; i < limit; i++) {
      uint8_t status = read(0x4);
      if (status & 0x80) {
        return status;
      }
    }
    return 0xFF;
  }
  // Polls the phase until it differs from `from`; returns it, or 0xFF.
  uint8_t waitPhaseChange(uint8_t from, uint32_t limit = 4'000'000) {
    for (uint32_t i = 0; i < limit; i++) {
      uint8_t now = phase();
      if (now != from) {
        return now;
      }
    }
    return 0xFF;
  }

  // The reset sequence and the chip programming of initialisation.
  bool resetAndProgram() {
    write(0xD, 0x30);
    command(0x03);
    if (waitInterrupt() == 0xFF || !(read(0x5) & 0x80)) {
      return false;
    }
    command(0x02);
    command(0x00);
    write(0xD, 0x30);
    write(0x9, 0x00);
    write(0x8, 0x97);
    write(0xB, 0x48);
    write(0xC, 0x10);
    write(0x7, 0x00);
    write(0x6, 0x08);
    write(0x5, 0x99);
    write(0xD, 0x80);
    write(0x8, 0x01);
    return true;
  }

  struct Selection {
    uint8_t status = 0;    // REG_STATUS when the interrupt came
    uint8_t interrupt = 0; // REG_INT_STATUS
    uint8_t step = 0;      // REG_SEQ_STEP bits 0-2
  };
  // Selection with the message bytes and, for a one-byte message, the CDB.
  Selection select(uint8_t target, const std::vector<uint8_t> &messages,
                   const std::vector<uint8_t> &cdb, uint8_t period = 10, uint8_t offset = 0) {
    bank1();
    bank0();
    read(0x5);
    write(0x4, target);
    write(0x5, 0x99);
    command(0x01);
    write(0x6, period);
    write(0x7, offset);
    for (uint8_t byte : messages) {
      write(0x2, byte);
    }
    loadCount(static_cast<uint32_t>(messages.size()));
    if (messages.size() == 1) {
      for (uint8_t byte : cdb) {
        write(0x2, byte);
      }
      loadCount(static_cast<uint32_t>(cdb.size() + 1));
      command(0x42);
    } else {
      command(0x43);
    }
    Selection result;
    result.status = waitInterrupt();
    result.interrupt = read(0x5);
    result.step = read(0x6) & 7;
    if (result.interrupt == 0x18 && result.step == 0) {
      command(0x1B);
    }
    return result;
  }

  // Sends the bytes left in the FIFO; returns the interrupt that ended it.
  uint8_t messageOut() {
    bank0();
    command(0x10);
    uint8_t interrupt = 0;
    for (int i = 0; i < 16; i++) {
      if (waitInterrupt() == 0xFF) {
        return 0xFF;
      }
      interrupt = read(0x5);
      if (interrupt == 0x10 || interrupt == 0x20) {
        break;
      }
    }
    command(0x01);
    command(0x1B);
    return interrupt;
  }

  struct MessageIn {
    std::vector<uint8_t> bytes;
    bool disconnected = false;
    uint8_t nextPhase = 0xFF;
  };
  // Collects MESSAGE IN bytes as the driver does, up to `limit` bytes.
  MessageIn messageIn(size_t limit = 1024) {
    MessageIn result;
    bank0();
    command(0x01);
    command(0x10);
    for (uint32_t polls = 0; polls < 4'000'000; polls++) {
      uint8_t status = read(0x4);
      if ((status & 7) != 7) {
        result.nextPhase = status & 7;
        if (!result.bytes.empty() && (result.bytes[0] == 0x02 || result.bytes[0] == 0x04)) {
          awaitDisconnect(result);
        }
        return result;
      }
      if (!(status & 0x80)) {
        continue;
      }
      polls = 0;
      uint8_t interrupt = read(0x5);
      if (interrupt & 0x08) {
        uint8_t byte = read(0x2);
        if (result.bytes.size() < limit) {
          result.bytes.push_back(byte);
        }
        command(0x12);
      } else if (interrupt & 0x10) {
        command(0x01);
        command(0x10);
      } else if (interrupt & 0x20) {
        noteDisconnect(result);
        return result;
      }
    }
    return result;
  }

  // SAVE DATA POINTER or DISCONNECT: wait for the bus free that follows.
  void awaitDisconnect(MessageIn &result) {
    for (int passes = 0; passes < 4 && !result.disconnected; passes++) {
      if (waitInterrupt() == 0xFF) {
        return;
      }
      if (read(0x5) & 0x20) {
        noteDisconnect(result);
      }
    }
  }

  void noteDisconnect(MessageIn &result) {
    result.disconnected = true;
    write(0xD, 0x84);
    write(0xD, 0x00);
    command(0x44);
    result.nextPhase = phase();
  }

  // Sends the CDB through the PIO FIFO; returns the interrupt that the
  // driver accepts as its end (0x08 or 0x18; 0x10 with a listed status; 0x20),
  // or 0 when none comes.
  uint8_t commandPhase(const std::vector<uint8_t> &cdb, uint8_t *status = nullptr) {
    bank0();
    command(0x01);
    bank1();
    write(0x8, 0x00);
    write(0xB, 0x01);
    bank0();
    loadCount(static_cast<uint32_t>(cdb.size()));
    bank1();
    for (uint8_t byte : cdb) {
      write(0x4, byte);
    }
    bank0();
    command(0x90);
    bank1();
    write(0x8, 0x01);
    bank0();
    for (int passes = 0; passes < 8; passes++) {
      uint8_t seen = waitInterrupt();
      if (seen == 0xFF) {
        return 0;
      }
      uint8_t interrupt = read(0x5);
      bool listed = seen == 0x81 || seen == 0x90 || seen == 0x91 || seen == 0x93 || seen == 0x97;
      if (interrupt == 0x08 || interrupt == 0x18 || interrupt == 0x20 ||
          (interrupt == 0x10 && listed)) {
        if (status != nullptr) {
          *status = seen;
        }
        return interrupt;
      }
    }
    return 0;
  }

  // Data in as the driver moves it: 128-byte blocks of 32-bit reads while a
  // block is ready, single bytes after the end. Returns the bytes received.
  std::vector<uint8_t> dataIn(uint32_t length, uint8_t *endStatus = nullptr,
                              uint8_t *endInterrupt = nullptr) {
    std::vector<uint8_t> received;
    bank0();
    loadCount(length);
    command(0x90);
    bank1();
    for (uint32_t polls = 0; polls < 4'000'000; polls++) {
      uint8_t pio = read(0x8);
      if (pio & 0x02) {
        uint8_t block[128];
        system.machine().io.readBlock(port(0x4), 4, block, 32);
        received.insert(received.end(), block, block + 128);
        polls = 0;
      } else if (pio & 0x40) {
        while (!(read(0x8) & 0x10)) {
          received.push_back(read(0x4));
        }
        break;
      }
    }
    bank0();
    uint8_t status = waitInterrupt();
    uint8_t interrupt = read(0x5);
    if (endStatus != nullptr) {
      *endStatus = status;
    }
    if (endInterrupt != nullptr) {
      *endInterrupt = interrupt;
    }
    return received;
  }

  // Data out as the driver moves it: 64-byte blocks while the FIFO reports
  // 0x0D or 0x1D, a tail of ULONGs, one USHORT and one byte. Returns the
  // bytes the target did not take (count plus chip FIFO, also when the count
  // is zero), after the phase has changed.
  uint32_t dataOut(const std::vector<uint8_t> &bytes) {
    bank0();
    loadCount(static_cast<uint32_t>(bytes.size()));
    command(0x01);
    command(0x90);
    bank1();
    write(0xB, 0x01);
    write(0x8, 0x01);
    size_t at = 0;
    auto &io = system.machine().io;
    for (uint32_t polls = 0; polls < 4'000'000; polls++) {
      uint8_t pio = read(0x8);
      if (pio == 0x0D || pio == 0x1D) {
        size_t left = bytes.size() - at;
        if (left >= 64) {
          io.writeBlock(port(0x4), 4, bytes.data() + at, 16);
          at += 64;
        } else if (left > 0) {
          size_t words = left / 4;
          io.writeBlock(port(0x4), 4, bytes.data() + at, static_cast<uint32_t>(words));
          at += words * 4;
          if (bytes.size() - at >= 2) {
            io.writeBlock(port(0x4), 2, bytes.data() + at, 1);
            at += 2;
          }
          if (bytes.size() - at == 1) {
            write(0x4, bytes[at]);
            at += 1;
          }
        }
      } else if (pio & 0x40) {
        break;
      }
    }
    bank0();
    waitPhaseChange(0);
    uint32_t remaining = read(0xE) << 16 | read(0x1) << 8 | read(0x0);
    remaining += read(0x7) & 0x1F;
    if (remaining != 0) {
      command(0x01);
    }
    return remaining;
  }

  struct Status {
    uint8_t status = 0xFF;
    uint8_t message = 0xFF;
    uint8_t completeInterrupt = 0;
  };
  // The status phase: the status byte by DMA, then initiator complete.
  Status statusPhase() {
    Status result;
    bank0();
    loadCount(1);
    read(0x5);
    if (phase() != 7) {
      command(0x90);
      waitInterrupt();
      read(0x5);
    }
    bank1();
    result.status = read(0x4);
    bank0();
    command(0x11);
    waitInterrupt();
    result.completeInterrupt = read(0x5);
    result.message = read(0x2);
    return result;
  }

  sim::System system;
};

#endif // KAV_TESTS_CHIP_SESSION_H
