// The PE loader of the 32-bit build: it loads a shipped driver image
// (KAVNT.SYS, KAV95.MPD) into this process the way a host's loader loads a
// kernel-mode driver, binds its SCSIPORT.SYS imports to our port driver and
// hands out its DriverEntry, so that every machine-level scenario can run on
// the shipped binary itself (PortDriver::load(image->driverEntry())).
//
// Chosen behaviour:
// - The image always lands at an address of our choosing (fresh pages),
//   never at its preferred base, so every load exercises the base
//   relocations.
// - The headers and each section are copied to their relative addresses;
//   the part of a section beyond its raw data is zero.
// - Base relocations of the 32-bit kind are applied; padding entries are
//   skipped; any other kind, or a fixup that reaches outside the image,
//   fails the load.
// - Imports are bound by name, and only those of SCSIPORT.SYS (the module
//   name compared without regard to case, as the NT loader does). An import
//   of another module, one by ordinal, or one that the export table lacks
//   fails the load with an error naming it.
// - The entry point must lie in an executable section.
// - Once bound, each section gets its own protection: code read and
//   execute, writable data read and write, everything else read-only, the
//   headers read-only. A driver that writes to its own code faults.
// - Images larger than 16 MiB, or whose sections lie outside SizeOfImage,
//   are refused before anything is mapped.
// - The image stays mapped as long as the LoadedImage lives.
#ifndef KAV_SIM_PE_LOADER_H
#define KAV_SIM_PE_LOADER_H

#include "port_driver.h"
#include "scsiport_exports.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if !defined(__i386__)
#error "the PE loader runs 32-bit images and is built in the 32-bit tree only"
#endif

namespace pe {
class File;
}

namespace sim {

class LoadedImage {
public:
  // Loads the image file at `path`. On failure returns nullptr and says why,
  // naming the file, in `error`.
  static std::unique_ptr<LoadedImage>
  load(const std::string &path, const std::vector<ScsiPortExport> &exports, std::string &error);
  // The same for an image already in memory; `name` is used in messages.
  static std::unique_ptr<LoadedImage> loadBytes(std::vector<uint8_t> bytes, const std::string &name,
                                                const std::vector<ScsiPortExport> &exports,
                                                std::string &error);
  ~LoadedImage();
  LoadedImage(const LoadedImage &) = delete;
  LoadedImage &operator=(const LoadedImage &) = delete;

  PortDriver::DriverEntryRoutine driverEntry() const;

  const std::string &name() const { return name_; }
  uint8_t *base() const { return base_; }
  uint32_t size() const { return size_; }
  uint32_t preferredBase() const { return preferredBase_; }
  // True when `address` lies in one of the image's executable sections.
  bool inCode(const void *address) const;
  // The routine each import slot was bound to, by import name.
  struct Binding {
    std::string name;
    uint32_t slotRva;
    void *address;
  };
  const std::vector<Binding> &bindings() const { return bindings_; }
  uint32_t relocationsApplied() const { return relocationsApplied_; }

private:
  LoadedImage() = default;
  bool check(const pe::File &file, std::string &error);
  bool map(const pe::File &file, std::string &error);
  bool relocate(const pe::File &file, std::string &error);
  bool bind(const pe::File &file, const std::vector<ScsiPortExport> &exports, std::string &error);
  bool protect(std::string &error);

  std::string name_;
  uint8_t *base_ = nullptr;
  uint32_t size_ = 0; // bytes mapped (SizeOfImage rounded up to pages)
  uint32_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  struct Region {
    uint32_t start, end;
    bool executable, writable;
  };
  std::vector<Region> sections_;
  uint32_t headerSize_ = 0;
  uint32_t sectionAlignment_ = 0;
  std::vector<Binding> bindings_;
  uint32_t relocationsApplied_ = 0;
};

} // namespace sim

#endif // KAV_SIM_PE_LOADER_H
