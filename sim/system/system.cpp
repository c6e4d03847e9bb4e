#include "system.h"

namespace sim {

namespace {

PortDriverConfig PortDriverConfigOf(const SystemConfig &config) {
  PortDriverConfig portDriver = config.portDriver;
  portDriver.accessRangeStart =
      config.accessRangeStart.value_or(config.flavour == Flavour::Kav95 ? 0x330u : 0x340u);
  if (config.options) {
    portDriver.argumentString = config.options;
  }
  return portDriver;
}

std::unique_ptr<Pcic> SocketControllerOf(const SocketControllerSetup &setup, Machine &machine) {
  auto pcic = std::make_unique<Pcic>(setup.controller);
  pcic->attach(machine);
  if (setup.cardSocket != 0) {
    pcic->insertCard(setup.cardSocket, setup.card ? *setup.card : PcCard::AdapterCard());
  }
  return pcic;
}

} // namespace

System::System(SystemConfig config)
    : config_(std::move(config)), chip_(machine_.clock, bus_, config_.chip) {
  machine_.io.setIsaAlias(config_.isaAlias);
  machine_.io.map(config_.chipPort, 16, &chip_, "FAS408");
  if (config_.socketController) {
    pcic_ = SocketControllerOf(*config_.socketController, machine_);
  }
  for (const TargetPlacement &order : config_.targets) {
    target(order.id, order.options);
  }
  for (const DiskPlacement &order : config_.disks) {
    addDisk(order.target, order.lun, order.disk);
  }
  portDriver_ = std::make_unique<PortDriver>(machine_, PortDriverConfigOf(config_));
}

ULONG System::load(PortDriver::DriverEntryRoutine driverEntry) {
  return portDriver_->load(driverEntry);
}

Target &System::target(uint8_t id, TargetOptions options) {
  if (Target *existing = bus_.target(id)) {
    return *existing;
  }
  targets_.push_back(std::make_unique<Target>(bus_, id, std::move(options)));
  return *targets_.back();
}

DiskUnit &System::addDisk(uint8_t target, uint8_t lun, DiskOptions options) {
  auto disk = std::make_unique<DiskUnit>(std::move(options));
  DiskUnit &result = *disk;
  addUnit(target, lun, std::move(disk));
  return result;
}

LogicalUnit &System::addUnit(uint8_t target, uint8_t lun, std::unique_ptr<LogicalUnit> unit) {
  units_.push_back(std::move(unit));
  this->target(target).setUnit(lun, units_.back().get());
  return *units_.back();
}

DiskUnit *System::disk(uint8_t target, uint8_t lun) {
  Target *holder = bus_.target(target);
  return holder != nullptr ? dynamic_cast<DiskUnit *>(holder->unit(lun)) : nullptr;
}

ScriptedTarget &System::addScriptedTarget(uint8_t id, std::vector<ScriptStep> steps,
                                          TargetOptions options) {
  if (Target *existing = bus_.target(id)) {
    bus_.detachTarget(existing);
  }
  auto scripted = std::make_unique<ScriptedTarget>(bus_, id, std::move(steps), std::move(options));
  ScriptedTarget &result = *scripted;
  targets_.push_back(std::move(scripted));
  return result;
}

} // namespace sim
