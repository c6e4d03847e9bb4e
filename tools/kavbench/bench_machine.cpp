#include "bench_machine.h"

#include "url_disks.h"

#ifdef KAV_BENCH_PE_LOADER
#include "pe_loader.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kavbench {

BenchMachine::BenchMachine() = default;
BenchMachine::~BenchMachine() = default;

namespace {

// The largest image whose blocks a READ(10) can address.
constexpr uint64_t LARGEST_IMAGE_BLOCKS = 0xFFFFFFFFull;

std::string CheckImageFile(const DiskDescription &disk) {
  std::FILE *file = std::fopen(disk.location.c_str(), disk.readOnly ? "rb" : "r+b");
  if (file == nullptr) {
    std::string reason = std::strerror(errno);
    return "disk " + disk.text + ": cannot open " + disk.location +
           (disk.readOnly ? "" : " for reading and writing") + ": " + reason;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    size = std::ftell(file);
  }
  std::fclose(file);
  if (size < 0) {
    return "disk " + disk.text + ": cannot read the size of " + disk.location;
  }
  uint64_t blocks = static_cast<uint64_t>(size) / BLOCK_BYTES;
  if (blocks == 0) {
    return "disk " + disk.text + ": " + disk.location + " holds no whole 512-byte block";
  }
  if (blocks > LARGEST_IMAGE_BLOCKS) {
    return "disk " + disk.text + ": " + disk.location + " has more blocks than READ(10) reaches";
  }
  return "";
}

} // namespace

std::string BenchMachine::checkImageFiles() const {
  for (const DiskDescription &disk : DisksOf(description_)) {
    if (disk.source == DiskSource::Image) {
      std::string error = CheckImageFile(disk);
      if (!error.empty()) {
        return error;
      }
    }
  }
  return "";
}

std::string BenchMachine::openUrlDisks() {
  for (const DiskDescription &disk : DisksOf(description_)) {
    if (disk.source != DiskSource::Url) {
      continue;
    }
    std::string error;
    std::unique_ptr<sim::LogicalUnit> unit = OpenUrlDisk(disk.location, disk.readOnly, error);
    if (!unit) {
      return "disk " + disk.text + ": " + error;
    }
    urlUnits_.push_back(std::move(unit));
    urlDisks_.push_back(disk);
  }
  return "";
}

std::string BenchMachine::loadImage() {
#ifdef KAV_BENCH_PE_LOADER
  std::string error;
  image_ = sim::LoadedImage::load(description_.binary, sim::ScsiPortExports(), error);
  if (!image_) {
    return "--binary " + description_.binary + ": " + error;
  }
  driverEntry_ = image_->driverEntry();
  return "";
#else
  return "--binary runs a shipped image through the PE loader, which only the 32-bit build "
         "has (build/host32/tools/kavbench/kavbench)";
#endif
}

std::string BenchMachine::build(const MachineDescription &description) {
  description_ = description;
  view_ = description_.flavour == sim::Flavour::Kav95 ? kav95::MakeDriverView()
                                                      : kavnt::MakeDriverView();
  driverEntry_ = view_.driverEntry;
  std::string error = checkImageFiles();
  if (error.empty()) {
    error = openUrlDisks();
  }
  if (error.empty() && !description_.binary.empty()) {
    error = loadImage();
  }
  if (!error.empty()) {
    return error;
  }
  system_ = std::make_unique<sim::System>(SystemConfigOf(description_));
  for (size_t i = 0; i < urlDisks_.size(); i++) {
    system_->target(urlDisks_[i].id).setUnit(urlDisks_[i].lun, urlUnits_[i].get());
  }
  return "";
}

ULONG BenchMachine::load() {
  return system_->load(driverEntry_);
}

std::string BenchMachine::checkImageFlavour() const {
  if (description_.binary.empty() || !system_->portDriver().registered()) {
    return "";
  }
  INTERFACE_TYPE expected = description_.flavour == sim::Flavour::Kav95 ? PCMCIABus : Isa;
  INTERFACE_TYPE registered = system_->portDriver().registration().AdapterInterfaceType;
  if (registered == expected) {
    return "";
  }
  sim::Flavour other =
      description_.flavour == sim::Flavour::Kav95 ? sim::Flavour::KavNt : sim::Flavour::Kav95;
  return "--binary " + description_.binary + " registers as " + FlavourName(other) +
         " would, not as " + FlavourName(description_.flavour) + ": give --driver " +
         (other == sim::Flavour::Kav95 ? "95" : "nt");
}

} // namespace kavbench
