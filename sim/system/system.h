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
// - A PC Card host's socket controller is part of the machine when the
//   description asks for one: it is mapped into the same I/O space beside
//   the chip, its card window into the memory map, and the adapter card
//   sits in the socket the description names (none: both sockets empty).
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

struct DiskSpec {
  uint8_t target = 0;
  uint8_t lun = 0;
  DiskOptions disk;
};

struct TargetSpec {
  uint8_t id = 0;
  TargetOptions options;
};

struct SocketControllerConfig {
  PcicConfig pcic;
  int cardSocket = 1; // 1 or 2; 0: no card inserted
};

struct SystemConfig {
  Flavour flavour = Flavour::KavNt;
  uint32_t chipPort = 0x340;
  bool isaAlias = true;
  std::optional<uint32_t> accessRangeStart; // default by flavour
  Fas408Options chip;
  std::vector<TargetSpec> targets;
  std::vector<DiskSpec> disks;
  std::optional<SocketControllerConfig> socketController;
  std::optional<std::string> options; // the driver's option string
  PortDriverConfig portDriver;        // the rest of the port driver's setup

  static SystemConfig forFlavour(Flavour flavour) {
    SystemConfig config;
    config.flavour = flavour;
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
  PortDriver &portDriver() { return *portDriver_; }
  // The socket controller, or nullptr when the machine has none.
  Pcic *socketController() { return pcic_.get(); }
  const SystemConfig &config() const { return config_; }
  uint32_t chipPort() const { return config_.chipPort; }

  // The target at an ID, created with default knobs when there is none.
  Target &target(uint8_t id, TargetOptions options = {});
  bool hasTarget(uint8_t id) const { return bus_.target(id) != nullptr; }
  DiskUnit &addDisk(uint8_t target, uint8_t lun, DiskOptions options = {});
  DiskUnit *disk(uint8_t target, uint8_t lun);
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
  std::vector<std::unique_ptr<DiskUnit>> disks_;
  std::unique_ptr<PortDriver> portDriver_;
};

} // namespace sim

#endif // KAV_SIM_SYSTEM_H
