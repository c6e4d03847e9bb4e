// The simulated PC the drivers run in: an I/O port space whose ranges are
// dispatched to device models, a physical memory map for the windows that
// ScsiPortGetDeviceBase hands out, and the simulated clock.
//
// Chosen behaviour:
// - Time is simulated and deterministic. It advances with every port access
//   (a cost per access width, modelling the PC Card I/O cycle) and with every
//   stall; nothing sleeps.
// - A port that no device decodes reads as a floating bus: all ones. Writes
//   to it are dropped (and still logged).
// - With the 10-bit ISA alias on, only address bits 0-9 of a port are decoded,
//   so 0x740 reaches the device at 0x340.
// - Buffer transfers move all their units in one step through the device's
//   block routines; they cost one access per unit.
// - A device sees a single read or write at the moment the access ends, that
//   is, after its cost has been added to the clock; the access log keeps the
//   moment it began.
#ifndef KAV_SIM_MACHINE_H
#define KAV_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class Clock {
public:
  uint64_t now() const { return nanoseconds_; }
  void advance(uint64_t nanoseconds) { nanoseconds_ += nanoseconds; }

private:
  uint64_t nanoseconds_ = 0;
};

// A device on the I/O bus. `offset` is the port's offset in the device's range.
class IoDevice {
public:
  virtual ~IoDevice() = default;
  virtual uint32_t read(uint32_t offset, unsigned width) = 0;
  virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
  // `count` units of `width` bytes from or to one port; by default one access
  // per unit, little-endian in memory.
  virtual void readBlock(uint32_t offset, unsigned width, uint8_t *buffer, uint32_t count);
  virtual void writeBlock(uint32_t offset, unsigned width, const uint8_t *buffer, uint32_t count);
};

struct IoAccess {
  uint64_t time; // simulated ns when the access began
  uint32_t port; // port as the driver addressed it
  uint8_t width; // 1, 2 or 4
  bool write;
  uint32_t value; // value read or written (first unit of a block)
  uint32_t count; // units: 1, or the block length
};

// Cost of one access of each width in simulated nanoseconds. The defaults
// model the 16-bit PC Card bus: one I/O cycle of 255 ns for an 8- or 16-bit
// access, two for a 32-bit access.
struct AccessCost {
  uint64_t byte = 255;
  uint64_t word = 255;
  uint64_t dword = 510;
  uint64_t of(unsigned width) const { return width == 4 ? dword : width == 2 ? word : byte; }
};

struct AccessCounts {
  uint64_t reads[5] = {}; // by width 1, 2, 4
  uint64_t writes[5] = {};
  uint64_t total() const;
};

class IoSpace {
public:
  explicit IoSpace(Clock &clock) : clock_(clock) {}

  void map(uint32_t first, uint32_t length, IoDevice *device, std::string name);
  void setIsaAlias(bool on) {
    isaAlias_ = on;
    decodeMask_ = on ? 0x3FFu : 0xFFFFu;
    last_ = nullptr;
  }
  void setCost(const AccessCost &cost) {
    cost_ = cost;
    costByWidth_[1] = cost.byte;
    costByWidth_[2] = cost.word;
    costByWidth_[4] = cost.dword;
  }
  const AccessCost &cost() const { return cost_; }

  uint32_t read(uint32_t port, unsigned width);
  void write(uint32_t port, unsigned width, uint32_t value);
  void readBlock(uint32_t port, unsigned width, uint8_t *buffer, uint32_t count);
  void writeBlock(uint32_t port, unsigned width, const uint8_t *buffer, uint32_t count);

  // Name of the device decoding `port`, or "" when none does.
  std::string deviceName(uint32_t port) const;

  // Recording is off by default and then costs nothing but a test.
  void setRecording(bool on) { recording_ = on; }
  const std::vector<IoAccess> &accesses() const { return accesses_; }
  void clearAccesses() { accesses_.clear(); }
  // Called for every access when set (the bench's live trace).
  std::function<void(const IoAccess &)> observer;

  const AccessCounts &counts() const { return counts_; }
  void resetCounts() { counts_ = AccessCounts{}; }

private:
  struct Range {
    uint32_t first;
    uint32_t length;
    IoDevice *device;
    std::string name;
  };
  const Range *decode(uint32_t port) const;
  static uint32_t floatingValue(unsigned width) {
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  }
  void trace(uint32_t port, unsigned width, bool write, uint32_t value, uint32_t count);
  uint32_t readTraced(uint32_t port, unsigned width);
  void account(uint32_t port, unsigned width, bool write, uint32_t value, uint32_t count);

  Clock &clock_;
  std::vector<Range> ranges_;
  mutable const Range *last_ = nullptr; // the range decoded last
  uint32_t decodeMask_ = 0xFFFF;
  bool isaAlias_ = false;
  AccessCost cost_;
  uint64_t costByWidth_[5] = {0, AccessCost{}.byte, AccessCost{}.word, 0, AccessCost{}.dword};
  bool recording_ = false;
  std::vector<IoAccess> accesses_;
  AccessCounts counts_;
};

// A region of physical memory that a device shows to the host (a PC Card
// window). The port driver hands its host pointer to the driver, which reads
// it with plain loads; the device keeps the bytes current.
struct MemoryRegion {
  uint32_t first;
  uint32_t length;
  uint8_t *bytes;
  std::string name;
};

class Machine {
public:
  Machine() : io(clock) {}
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The host pointer for [physical, physical + length) when one region holds
  // all of it, else nullptr.
  uint8_t *memory(uint32_t physical, uint32_t length) const;
  void mapMemory(MemoryRegion region) { memory_.push_back(std::move(region)); }

  Clock clock;
  IoSpace io;

private:
  std::vector<MemoryRegion> memory_;
};

} // namespace sim

#endif // KAV_SIM_MACHINE_H
