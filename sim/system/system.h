// A whole simulated machine built from a small description: the PC's I/O
// space, the SCSI bus with the FAS408 chip as initiator, targets with their
// units, and our port driver, into which a driver is loaded by its
// DriverEntry.
//
// Chosen behaviour:
// - The chip sits at `chipPort` (0x340) with the 10-bit ISA alias on, so
//   KAVNT, whose chip is 0x400 above its first access range 0x340, reaches it
//   at 0x740, and KAV95 at 0x330 + 0x10.
// - The first access range the port driver reports follows the flavour:
//   0x340 for KAVNT, 0x330 for KAV95, unless the description names one.
// - Disks and knob-carrying targets are created before the driver is
//   loaded; targets without units answer selection and report every LUN as
//   not supported.
// - A PC Card host's socket controller sits in the same I/O space beside the
//   chip, at `socketController->controller.ioBase` (0x3E0), with its 4 KiB
//   card window at `memoryBase` (0xC8000). A KAV95 machine from forFlavour
//   has one, with the adapter card in socket 1; a KAVNT machine has one only
//   when the description names it. A card socket other than 1, 2 or 0 (both
//   sockets empty) is refused with std::out_of_range, as the controller
//   refuses it.
#ifndef KAV_SIM_SYSTEM_H
#define KAV_SIM_SYSTEM_H

#include "bus.h"
#include "disk.h"
#include "fas408_model.h"
#include "machine.h"
#include "pcic.h"
#include "port_driver.h"
#include "scripted_target.h"
#include "target.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Flavour : uint8_t { KavNt, Kav95 };

struct DiskPlacement {
  uint8_t target = 0;
  uint8_t lun = 0;
  DiskOptions disk;
};

struct TargetPlacement {
  uint8_t id = 0;
  TargetOptions options;
};

// The socket controller of a PC Card host and the card it holds.
struct SocketControllerSetup {
  PcicConfig controller;      // ports, window page, timing registers
  int cardSocket = 1;         // 1 or 2; 0: no card in either socket
  std::optional<PcCard> card; // the adapter card unless another is named
};

struct SystemConfig {
  Flavour flavour = Flavour::KavNt;
  uint32_t chipPort = 0x340;
  bool isaAlias = true;
  std::optional<uint32_t> accessRangeStart; // default by flavour
  Fas408Options chip;
  std::vector<TargetPlacement> targets;
  std::vector<DiskPlacement> disks;
  std::optional<std::string> options; // the driver's option string
  PortDriverConfig portDriver;        // the rest of the port driver's setup

  // The PC Card host's socket controller; none on other machines.
  std::optional<SocketControllerSetup> socketController;

  // KAV95 runs on a PC Card host: its machine has the socket controller,
  // with the adapter card in socket 1.
  static SystemConfig forFlavour(Flavour flavour) {
    SystemConfig config;
    config.flavour = flavour;
    if (flavour == Flavour::Kav95) {
      config.socketController = SocketControllerSetup{};
    }
    return config;
  }
};

class System {
public:
  explicit System(SystemConfig config = {});
  System(const System &) = delete;
  System &operator=(const System &) = delete;

  // Loads a driver: DriverEntry, find-adapter, initialise. Returns
  // DriverEntry's status.
  ULONG load(PortDriver::DriverEntryRoutine driverEntry);

  Machine &machine() { return machine_; }
  ScsiBus &bus() { return bus_; }
  Fas408 &chip() { return chip_; }
  // The socket controller, or nullptr on a machine without one.
  Pcic *pcic() { return pcic_.get(); }
  PortDriver &portDriver() { return *portDriver_; }
  const SystemConfig &config() const { return config_; }
  uint32_t chipPort() const { return config_.chipPort; }

  // The target at an ID, created with default knobs when there is none.
  Target &target(uint8_t id, TargetOptions options = {});
  bool hasTarget(uint8_t id) const { return bus_.target(id) != nullptr; }
  DiskUnit &addDisk(uint8_t target, uint8_t lun, DiskOptions options = {});
  DiskUnit *disk(uint8_t target, uint8_t lun);
  // Puts a unit made elsewhere (an iSCSI unit, say) at a target's LUN; the
  // machine keeps it.
  LogicalUnit &addUnit(uint8_t target, uint8_t lun, std::unique_ptr<LogicalUnit> unit);
  // Puts a scripted target at an ID, replacing whatever was there.
  ScriptedTarget &addScriptedTarget(uint8_t id, std::vector<ScriptStep> steps,
                                    TargetOptions options = {});

private:
  SystemConfig config_;
  Machine machine_;
  ScsiBus bus_;
  Fas408 chip_;
  std::unique_ptr<Pcic> pcic_;
  std::vector<std::unique_ptr<Target>> targets_;
  std::vector<std::unique_ptr<LogicalUnit>> units_;
  std::unique_ptr<PortDriver> portDriver_;
};

} // namespace sim

#endif // KAV_SIM_SYSTEM_H
