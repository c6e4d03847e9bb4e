// The verifier of the shipped images. It reads KAVNT.SYS or KAV95.MPD
// itself, trusting no linker option, and lists every way in which the file
// departs from what an NT 4.0 or Windows 95 host loads as a SCSI miniport:
//
// - a 32-bit i386 executable image, not a DLL, with base relocations;
// - NT-native subsystem, subsystem, image and OS version 4.0, and no
//   DllCharacteristics bit (every one of them postdates those loaders);
// - sections the driver needs only (code, data, imports, resources,
//   relocations), code not writable, the entry point in code, a consistent
//   layout; no export, exception, debug, TLS, load-config or other directory;
// - imports by name from SCSIPORT.SYS only, each one a routine of our own
//   import definitions (port/scsiport.def), ScsiPortInitialize among them,
//   none pre-bound;
// - base relocations of the 32-bit kind only, each inside the image and
//   pointing into it;
// - a correct, non-zero image checksum;
// - a version resource in US English with Unicode strings: the company name,
//   a file description, the file and product versions of the build, the
//   internal and original file names of this file, a product name and a
//   copyright; file type driver, subtype system driver, OS NT/Win32;
// - a file size within the images' limit.
#ifndef KAV_TOOLS_PEVERIFY_H
#define KAV_TOOLS_PEVERIFY_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace peverify {

struct Expectations {
  std::string version;           // "1.0.0": the file and product version strings
  uint16_t versionParts[4] = {}; // the same as numbers, the fourth one zero
  std::string companyName;
  std::set<std::string> scsiPortRoutines; // the import definitions' names
  uint32_t sizeLimit = 0;
};

struct Report {
  std::string fileName; // e.g. KAVNT.SYS
  uint32_t size = 0;
  std::string importModule;
  std::vector<std::string> imports;
  std::string fileVersion;
  uint32_t checkSum = 0;
  size_t relocations = 0;
  std::vector<std::string> errors;

  bool ok() const { return errors.empty(); }
  // One line: size, imports, version, checksum and the verdict.
  std::string summary() const;
  // True when some error contains `text`.
  bool hasError(const std::string &text) const;
};

// Checks the image `bytes` of the file named `fileName` (no directory part).
Report VerifyImage(const std::string &fileName, const std::vector<uint8_t> &bytes,
                   const Expectations &expected);

// The routine names of a .def file's EXPORTS, without their @size decoration.
bool ReadImportDefinitions(const std::string &path, std::set<std::string> &names,
                           std::string &error);

// Parses "1.2.3" into the expectations' version fields.
bool SetVersion(const std::string &text, Expectations &expected);

} // namespace peverify

#endif // KAV_TOOLS_PEVERIFY_H
