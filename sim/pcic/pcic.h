// An 82365SL-compatible PC Card socket controller with two sockets, reached
// through an index port and the data port after it, and the 4 KiB page of
// host memory through which memory window 0 shows a card's memory.
//
// Chosen behaviour:
// - Ports: the index port (base + 0) holds the register index and reads it
//   back; the data port (base + 1) reads and writes the indexed register. A
//   wider access is split into byte accesses on consecutive ports, as the ISA
//   bus does for an 8-bit device; a byte beyond the data port is not decoded
//   (reads 0xFF, writes dropped).
// - Index bit 0x40 selects the second socket's registers (index 0x40-0x7F);
//   indexes 0x80-0xFF address no controller: the data port reads 0xFF there
//   and drops writes.
// - Registers are bytes that read back what was written, all 0x00 after
//   reset, except:
//     0x00 identification: 0x83, read-only;
//     0x01 interface status: computed when read, read-only. With a card in
//       the socket: its card-detect lines (0x04, 0x08; both when fully
//       inserted), ready 0x20, both battery-voltage lines 0x03, and 0x40
//       when the power control register's VCC bit 0x10 is set. Empty: 0x00;
//     0x1E global control: one register for the whole controller, reached
//       as 0x1E and 0x5E alike;
//     0x3A-0x3F (0x7A-0x7F) access timing, setup/command/recovery of timing
//       sets 0 and 1: per socket, as the Cirrus Logic family keeps them. With
//       `timingRegisters` off (a plain 82365SL) they read 0xFF and drop
//       writes.
// - The host's card services have powered the card before the driver runs:
//   the card's memory answers whatever the power control register holds.
// - Memory window 0 of a socket decodes host page P (host address bits
//   12-23) while enable bit 0x01 of register 0x06 is set and
//   start <= P <= stop, where start is register 0x10 (bits 12-19) with bits
//   0-3 of 0x11 (bits 20-23), and stop likewise 0x12 with 0x13. The card
//   offset (0x14, and bits 0-5 of 0x15) counts 4 KiB pages from the window's
//   start: with offset 0 the window's first byte is card address 0. Bit 0x40
//   of 0x15 selects attribute memory; without it the window shows common
//   memory, which the model's cards lack (0xFF). Data width and wait-state
//   bits are stored and ignored.
// - The host page at `memoryBase` is a sim::MemoryRegion registered with the
//   machine. Its bytes are recomputed whenever a window register, the enable
//   register or a socket's card changes, so the driver's plain loads always
//   see the current mapping. A byte no window decodes reads 0xFF (floating
//   bus). A card shows only while both card-detect lines are asserted. When
//   both sockets decode the page, each byte is the AND of both cards' bytes
//   (a bus conflict, deterministic).
// - The window's 4 KiB of host memory end right before an unreadable page,
//   and an unreadable page lies before them too (directly before them on
//   hosts with 4 KiB pages): a load past the window stops the program.
// - Every access to the two ports is logged with the index in effect.
#ifndef KAV_SIM_PCIC_H
#define KAV_SIM_PCIC_H

#include "machine.h"
#include "pc_card.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

namespace pcic {
// Register indexes, as for the first socket.
constexpr uint8_t IDENTIFICATION = 0x00;
constexpr uint8_t IF_STATUS = 0x01;
constexpr uint8_t POWER_CONTROL = 0x02;
constexpr uint8_t CARD_STATUS_CHANGE = 0x04;
constexpr uint8_t WINDOW_ENABLE = 0x06;
constexpr uint8_t IO_CONTROL = 0x07;
constexpr uint8_t MEM0_START_LOW = 0x10;
constexpr uint8_t MEM0_START_HIGH = 0x11;
constexpr uint8_t MEM0_STOP_LOW = 0x12;
constexpr uint8_t MEM0_STOP_HIGH = 0x13;
constexpr uint8_t MEM0_OFFSET_LOW = 0x14;
constexpr uint8_t MEM0_OFFSET_HIGH = 0x15;
constexpr uint8_t GLOBAL_CONTROL = 0x1E;
constexpr uint8_t SETUP_TIMING_0 = 0x3A;
constexpr uint8_t COMMAND_TIMING_0 = 0x3B;
constexpr uint8_t RECOVERY_TIMING_0 = 0x3C;
constexpr uint8_t SETUP_TIMING_1 = 0x3D;
constexpr uint8_t COMMAND_TIMING_1 = 0x3E;
constexpr uint8_t RECOVERY_TIMING_1 = 0x3F;

constexpr uint8_t SECOND_SOCKET = 0x40; // index bit
constexpr uint8_t NO_CONTROLLER = 0x80; // index bit
constexpr uint8_t REGISTERS_PER_SOCKET = 0x40;

constexpr uint8_t IDENTIFICATION_VALUE = 0x83;

// Interface status bits.
constexpr uint8_t STATUS_BVD1 = 0x01;
constexpr uint8_t STATUS_BVD2 = 0x02;
constexpr uint8_t STATUS_CD1 = 0x04;
constexpr uint8_t STATUS_CD2 = 0x08;
constexpr uint8_t STATUS_CARD_DETECT = STATUS_CD1 | STATUS_CD2;
constexpr uint8_t STATUS_READY = 0x20;
constexpr uint8_t STATUS_POWER_ON = 0x40;

constexpr uint8_t POWER_VCC = 0x10;           // power control bit
constexpr uint8_t ENABLE_MEM0 = 0x01;         // window enable bit
constexpr uint8_t WINDOW_HIGH_ADDRESS = 0x0F; // start/stop high: address bits 20-23
constexpr uint8_t OFFSET_HIGH_BITS = 0x3F;    // offset high: card address bits 20-25
constexpr uint8_t OFFSET_ATTRIBUTE = 0x40;    // offset high: attribute memory
} // namespace pcic

struct PcicConfig {
  uint32_t ioBase = 0x3E0;       // index port; the data port follows
  uint32_t memoryBase = 0xC8000; // host page of the card window (4 KiB aligned, below 16 MiB)
  bool timingRegisters = true;   // the Cirrus-style timing registers 0x3A-0x3F
};

struct PcicAccess {
  enum class Kind { IndexWrite, IndexRead, DataWrite, DataRead };
  uint64_t time; // simulated ns (0 before the controller is attached)
  Kind kind;
  uint8_t index; // the register index in effect (socket bit included)
  uint8_t value; // value written or read
};

class Pcic : public IoDevice {
public:
  static constexpr uint32_t PORTS = 2;
  static constexpr uint32_t WINDOW_BYTES = 4096;

  // A base that is not 4 KiB aligned or lies above 16 MiB is refused with
  // std::invalid_argument.
  explicit Pcic(PcicConfig config = {});
  ~Pcic() override;
  Pcic(const Pcic &) = delete;
  Pcic &operator=(const Pcic &) = delete;

  // Decodes the two ports and registers the host window with the machine.
  // The controller must outlive the machine's use of them.
  void attach(Machine &machine);

  // Sockets are numbered 1 and 2; any other number is refused with
  // std::out_of_range.
  void insertCard(int socket, PcCard card, uint8_t detectLines = pcic::STATUS_CARD_DETECT);
  void removeCard(int socket);

  // A register as the data port would read it, and a register set from
  // outside (the host's earlier settings); neither is logged.
  uint8_t registerValue(int socket, uint8_t index) const;
  void setRegister(int socket, uint8_t index, uint8_t value);

  const uint8_t *window() const { return window_; }
  const PcicConfig &config() const { return config_; }
  const std::vector<PcicAccess> &log() const { return log_; }
  void clearLog() { log_.clear(); }

  uint32_t read(uint32_t offset, unsigned width) override;
  void write(uint32_t offset, unsigned width, uint32_t value) override;

private:
  struct Socket {
    std::array<uint8_t, pcic::REGISTERS_PER_SOCKET> registers{};
    std::optional<PcCard> card;
    uint8_t detectLines = 0;
  };

  Socket &socketAt(int socket);
  const Socket &socketAt(int socket) const;

  uint8_t readByte(uint32_t offset);
  void writeByte(uint32_t offset, uint8_t value);
  uint8_t readData();
  void writeData(uint8_t value);
  uint8_t interfaceStatus(const Socket &socket) const;
  bool storeRegister(Socket &socket, uint8_t index, uint8_t value);

  bool decodesWindowPage(const Socket &socket) const;
  std::optional<uint32_t> windowCardAddress(const Socket &socket) const;
  void refreshWindow();
  void record(PcicAccess::Kind kind, uint8_t value);

  PcicConfig config_;
  std::array<Socket, 2> sockets_;
  uint8_t index_ = 0;
  uint8_t globalControl_ = 0;
  const Clock *clock_ = nullptr;
  std::vector<PcicAccess> log_;

  void *mapping_ = nullptr; // guard page, window pages, guard page
  size_t mappingBytes_ = 0;
  uint8_t *window_ = nullptr;
};

} // namespace sim

#endif // KAV_SIM_PCIC_H
