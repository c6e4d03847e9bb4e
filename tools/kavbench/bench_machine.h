// The simulated machine of one bench run, built from a checked machine
// description, and the driver loaded into it: the flavour linked into the
// bench, or (32-bit build) a shipped image through the PE loader.
#ifndef KAV_TOOLS_KAVBENCH_BENCH_MACHINE_H
#define KAV_TOOLS_KAVBENCH_BENCH_MACHINE_H

#include "driver_view.h"
#include "machine_description.h"
#include "system.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {
class LoadedImage;
}

namespace kavbench {

class BenchMachine {
public:
  BenchMachine();
  ~BenchMachine();
  BenchMachine(const BenchMachine &) = delete;
  BenchMachine &operator=(const BenchMachine &) = delete;

  // Checks the image files, opens the disks reached by URL, loads a shipped
  // image when one is named, and builds the machine. Returns "" or a
  // one-line error; nothing runs before this succeeds.
  std::string build(const MachineDescription &description);

  // Runs DriverEntry (registration, find-adapter, initialise) and returns
  // its status.
  ULONG load();
  // After load: "" or why the loaded image is not the flavour the machine
  // was built for.
  std::string checkImageFlavour() const;

  sim::System &system() { return *system_; }
  const DriverView &view() const { return view_; }
  const MachineDescription &description() const { return description_; }
  // The shipped image's path, or "" for the linked driver.
  const std::string &imagePath() const { return description_.binary; }

private:
  std::string checkImageFiles() const;
  std::string openUrlDisks();
  std::string loadImage();

  MachineDescription description_;
  DriverView view_{};
  ULONG(NTAPI *driverEntry_)(PVOID, PVOID) = nullptr;
  std::vector<std::unique_ptr<sim::LogicalUnit>> urlUnits_;
  std::vector<DiskDescription> urlDisks_;
  std::shared_ptr<sim::LoadedImage> image_; // shared: the type is the 32-bit build's only
  std::unique_ptr<sim::System> system_;
};

} // namespace kavbench

#endif
