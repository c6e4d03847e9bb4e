#include "pe_loader.h"

#include "pe_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <strings.h>

namespace sim {

namespace {

constexpr uint32_t MAX_IMAGE_SIZE = 16u << 20;
constexpr const char *IMPORT_MODULE = "SCSIPORT.SYS";

uint32_t PageSize() {
  return static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
}

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

} // namespace

std::unique_ptr<LoadedImage> LoadedImage::load(const std::string &path,
                                               const std::vector<ScsiPortExport> &exports,
                                               std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot read the file";
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return loadBytes(std::move(bytes), path, exports, error);
}

std::unique_ptr<LoadedImage> LoadedImage::loadBytes(std::vector<uint8_t> bytes,
                                                    const std::string &name,
                                                    const std::vector<ScsiPortExport> &exports,
                                                    std::string &error) {
  std::string why;
  std::optional<pe::File> file = pe::File::parse(std::move(bytes), why);
  std::unique_ptr<LoadedImage> image(new LoadedImage());
  image->name_ = name;
  bool loaded = file && image->check(*file, why) && image->map(*file, why) &&
                image->relocate(*file, why) && image->bind(*file, exports, why) &&
                image->protect(why);
  if (!loaded) {
    error = name + ": " + why;
    return nullptr;
  }
  return image;
}

LoadedImage::~LoadedImage() {
  if (base_ != nullptr) {
    munmap(base_, size_);
  }
}

PortDriver::DriverEntryRoutine LoadedImage::driverEntry() const {
  return reinterpret_cast<PortDriver::DriverEntryRoutine>(base_ + entryRva_);
}

bool LoadedImage::inCode(const void *address) const {
  const uint8_t *at = static_cast<const uint8_t *>(address);
  if (at < base_ || at >= base_ + size_) {
    return false;
  }
  uint32_t rva = static_cast<uint32_t>(at - base_);
  return std::any_of(sections_.begin(), sections_.end(), [rva](const Region &region) {
    return region.executable && rva >= region.start && rva < region.end;
  });
}

// ------------------------------------------------------------------ steps

bool LoadedImage::check(const pe::File &file, std::string &error) {
  const pe::Headers &h = file.headers();
  if (h.machine != pe::MACHINE_I386) {
    error = "not an i386 image (machine " + Hex(h.machine) + ")";
    return false;
  }
  if (h.sizeOfImage == 0 || h.sizeOfImage > MAX_IMAGE_SIZE) {
    error = "SizeOfImage " + Hex(h.sizeOfImage) + " is out of range";
    return false;
  }
  if (h.sizeOfHeaders > h.sizeOfImage || h.sizeOfHeaders > file.bytes().size() ||
      h.sectionAlignment == 0) {
    error = "the headers do not fit the image";
    return false;
  }
  for (const pe::Section &section : file.sections()) {
    uint64_t extent = std::max(section.virtualSize, section.sizeOfRawData);
    if (section.virtualAddress < h.sizeOfHeaders ||
        static_cast<uint64_t>(section.virtualAddress) + extent > h.sizeOfImage) {
      error = "section " + section.name + " lies outside the image";
      return false;
    }
    sections_.push_back(Region{section.virtualAddress,
                               static_cast<uint32_t>(section.virtualAddress + extent),
                               (section.characteristics & pe::SECTION_EXECUTE) != 0,
                               (section.characteristics & pe::SECTION_WRITE) != 0});
  }
  entryRva_ = h.addressOfEntryPoint;
  bool entryInCode = std::any_of(sections_.begin(), sections_.end(), [&](const Region &region) {
    return region.executable && entryRva_ >= region.start && entryRva_ < region.end;
  });
  if (!entryInCode) {
    error = "the entry point " + Hex(entryRva_) + " is not in an executable section";
    return false;
  }
  preferredBase_ = h.imageBase;
  headerSize_ = h.sizeOfHeaders;
  sectionAlignment_ = h.sectionAlignment;
  return true;
}

bool LoadedImage::map(const pe::File &file, std::string &error) {
  const pe::Headers &h = file.headers();
  size_ = AlignUp(h.sizeOfImage, PageSize());
  void *pages = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    size_ = 0;
    error = "no memory for the image";
    return false;
  }
  base_ = static_cast<uint8_t *>(pages);
  std::memcpy(base_, file.bytes().data(), h.sizeOfHeaders);
  for (const pe::Section &section : file.sections()) {
    uint32_t length = section.sizeOfRawData;
    if (section.virtualSize != 0) {
      length = std::min(length, section.virtualSize);
    }
    // parse() checked that the raw data lies in the file, check() that the
    // section lies in the image.
    std::memcpy(base_ + section.virtualAddress, file.bytes().data() + section.pointerToRawData,
                length);
  }
  return true;
}

bool LoadedImage::relocate(const pe::File &file, std::string &error) {
  std::vector<pe::Relocation> relocations;
  if (!file.relocations(relocations, error)) {
    return false;
  }
  uint32_t delta =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_)) - file.headers().imageBase;
  for (const pe::Relocation &relocation : relocations) {
    if (relocation.type == pe::RELOCATION_ABSOLUTE) {
      continue;
    }
    if (relocation.type != pe::RELOCATION_HIGHLOW) {
      error = "base relocation at " + Hex(relocation.rva) + " has the unknown type " +
              std::to_string(relocation.type);
      return false;
    }
    if (static_cast<uint64_t>(relocation.rva) + 4 > file.headers().sizeOfImage) {
      error = "base relocation at " + Hex(relocation.rva) + " lies outside the image";
      return false;
    }
    uint32_t value;
    std::memcpy(&value, base_ + relocation.rva, 4);
    value += delta;
    std::memcpy(base_ + relocation.rva, &value, 4);
    relocationsApplied_++;
  }
  return true;
}

bool LoadedImage::bind(const pe::File &file, const std::vector<ScsiPortExport> &exports,
                       std::string &error) {
  std::vector<pe::Import> imports;
  if (!file.imports(imports, error)) {
    return false;
  }
  for (const pe::Import &import : imports) {
    if (strcasecmp(import.module.c_str(), IMPORT_MODULE) != 0) {
      error = "imports from " + import.module + ", which is not our port driver";
      return false;
    }
    if (import.byOrdinal) {
      error = "imports ordinal " + std::to_string(import.ordinal) + " of " + import.module +
              "; the port driver binds by name only";
      return false;
    }
    auto found = std::find_if(exports.begin(), exports.end(),
                              [&](const ScsiPortExport &e) { return import.name == e.name; });
    if (found == exports.end()) {
      error = "imports " + import.name + " from " + import.module +
              ", which our port driver does not provide";
      return false;
    }
    if (static_cast<uint64_t>(import.slotRva) + 4 > file.headers().sizeOfImage) {
      error = "the import slot of " + import.name + " lies outside the image";
      return false;
    }
    uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(found->address));
    std::memcpy(base_ + import.slotRva, &address, 4);
    bindings_.push_back(Binding{import.name, import.slotRva, found->address});
  }
  return true;
}

bool LoadedImage::protect(std::string &error) {
  if (sectionAlignment_ % PageSize() != 0) {
    return true; // sections share pages: they keep read and write access
  }
  if (mprotect(base_, AlignUp(headerSize_, PageSize()), PROT_READ) != 0) {
    error = "cannot protect the headers";
    return false;
  }
  for (const Region &region : sections_) {
    int protection = PROT_READ;
    protection |= region.executable ? PROT_EXEC : 0;
    protection |= region.writable ? PROT_WRITE : 0;
    uint32_t length = AlignUp(region.end - region.start, PageSize());
    if (length != 0 && mprotect(base_ + region.start, length, protection) != 0) {
      error = "cannot protect a section";
      return false;
    }
  }
  return true;
}

} // namespace sim
