// A reader for 32-bit PE images (the shipped KAVNT.SYS and KAV95.MPD): the
// headers, the section table, the import directory, the base relocations,
// the version resource and the image checksum. It only reads bytes held in
// memory, and every read is checked against the file's size, so a damaged
// or hostile file gives an error text, never a read outside the buffer.
//
// The reader decides nothing about what a good driver image is; that is the
// verifier's job (tools/peverify). The loader (pe_loader.h) uses the same
// reader for the parts it needs.
#ifndef KAV_SIM_PE_FILE_H
#define KAV_SIM_PE_FILE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pe {

// Header values the code tests, by their numbers.
constexpr uint16_t MACHINE_I386 = 0x014C;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x010B;
constexpr uint16_t SUBSYSTEM_NATIVE = 1;
constexpr uint16_t FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t FILE_32BIT_MACHINE = 0x0100;
constexpr uint16_t FILE_DLL = 0x2000;
constexpr uint32_t SECTION_CODE = 0x00000020;
constexpr uint32_t SECTION_UNINITIALIZED_DATA = 0x00000080;
constexpr uint32_t SECTION_EXECUTE = 0x20000000;
constexpr uint32_t SECTION_READ = 0x40000000;
constexpr uint32_t SECTION_WRITE = 0x80000000;
constexpr uint8_t RELOCATION_ABSOLUTE = 0; // padding entry
constexpr uint8_t RELOCATION_HIGHLOW = 3;  // a 32-bit address
constexpr uint32_t RESOURCE_TYPE_VERSION = 16;
constexpr uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;

// Data directory slots.
enum Directory : unsigned {
  DIRECTORY_EXPORT = 0,
  DIRECTORY_IMPORT = 1,
  DIRECTORY_RESOURCE = 2,
  DIRECTORY_EXCEPTION = 3,
  DIRECTORY_SECURITY = 4,
  DIRECTORY_BASE_RELOCATION = 5,
  DIRECTORY_DEBUG = 6,
  DIRECTORY_ARCHITECTURE = 7,
  DIRECTORY_GLOBAL_POINTER = 8,
  DIRECTORY_TLS = 9,
  DIRECTORY_LOAD_CONFIG = 10,
  DIRECTORY_BOUND_IMPORT = 11,
  DIRECTORY_IAT = 12,
  DIRECTORY_DELAY_IMPORT = 13,
  DIRECTORY_CLR = 14,
  DIRECTORY_COUNT = 16
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// The fields of the file header and the PE32 optional header.
struct Headers {
  uint32_t peOffset = 0; // e_lfanew: where "PE\0\0" stands
  uint16_t machine = 0;
  uint16_t numberOfSections = 0;
  uint32_t timeDateStamp = 0;
  uint16_t sizeOfOptionalHeader = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint32_t sizeOfCode = 0;
  uint32_t addressOfEntryPoint = 0;
  uint32_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint16_t majorOsVersion = 0, minorOsVersion = 0;
  uint16_t majorImageVersion = 0, minorImageVersion = 0;
  uint16_t majorSubsystemVersion = 0, minorSubsystemVersion = 0;
  uint32_t win32VersionValue = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t checkSum = 0;
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  uint32_t loaderFlags = 0;
  uint32_t numberOfRvaAndSizes = 0;
  DataDirectory directories[DIRECTORY_COUNT];
  uint32_t checkSumOffset = 0; // file offset of the CheckSum field
  uint32_t dllCharacteristicsOffset = 0;
  uint32_t sectionTableOffset = 0;
};

struct Section {
  std::string name; // up to 8 characters, as stored
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t characteristics = 0;
  uint32_t headerOffset = 0; // file offset of this section's table entry
};

struct Import {
  std::string module; // the DLL name as stored
  std::string name;   // empty for an import by ordinal
  bool byOrdinal = false;
  uint16_t ordinal = 0;     // by ordinal: the ordinal; by name: the hint
  uint32_t slotRva = 0;     // the import address table slot to fill
  uint32_t lookupRva = 0;   // the lookup table entry that names it
  uint32_t lookupValue = 0; // the lookup table entry
  uint32_t slotValue = 0;   // what the slot holds in the file
  uint32_t moduleTimeDateStamp = 0;
};

struct Relocation {
  uint32_t rva = 0;
  uint8_t type = 0;
};

// The fixed part and the strings of a version resource.
struct VersionInfo {
  uint32_t languageId = 0; // of the resource entry
  uint32_t signature = 0;
  uint32_t fileVersionMs = 0, fileVersionLs = 0;
  uint32_t productVersionMs = 0, productVersionLs = 0;
  uint32_t fileFlagsMask = 0, fileFlags = 0;
  uint32_t fileOs = 0, fileType = 0, fileSubtype = 0;
  std::string stringTableKey;                 // e.g. "040904B0"
  std::map<std::string, std::string> strings; // the first string table's values
  std::vector<uint32_t> translations;         // language | code page << 16
};

class File {
public:
  // Reads the headers and the section table. On failure returns nothing and
  // says why in `error`.
  static std::optional<File> parse(std::vector<uint8_t> bytes, std::string &error);

  const std::vector<uint8_t> &bytes() const { return bytes_; }
  const Headers &headers() const { return headers_; }
  const std::vector<Section> &sections() const { return sections_; }

  // The section that holds `rva`, or nullptr.
  const Section *sectionAt(uint32_t rva) const;
  // The file offset of `length` bytes at `rva`, when they all lie in one
  // section's raw data (or in the headers).
  std::optional<uint32_t> offsetOf(uint32_t rva, uint32_t length) const;
  // A NUL-terminated string at `rva`, at most `limit` characters.
  std::optional<std::string> stringAt(uint32_t rva, uint32_t limit) const;
  std::optional<uint32_t> read32At(uint32_t rva) const;

  // The import directory, module by module in file order.
  bool imports(std::vector<Import> &out, std::string &error) const;
  // Every base relocation entry, padding entries included.
  bool relocations(std::vector<Relocation> &out, std::string &error) const;
  // The version resource (type 16), its first name and language.
  bool versionInfo(VersionInfo &out, std::string &error) const;

private:
  std::vector<uint8_t> bytes_;
  Headers headers_;
  std::vector<Section> sections_;
};

// The image checksum of a PE file as the NT loader checks it: the 16-bit
// one's-complement style sum of the file with the CheckSum field taken as
// zero, plus the file's length.
uint32_t ComputeChecksum(const std::vector<uint8_t> &bytes, uint32_t checkSumOffset);

// Little-endian field access on a byte buffer; the caller checks the bounds.
uint16_t Read16(const std::vector<uint8_t> &bytes, size_t offset);
uint32_t Read32(const std::vector<uint8_t> &bytes, size_t offset);
void Write16(std::vector<uint8_t> &bytes, size_t offset, uint16_t value);
void Write32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value);

} // namespace pe

#endif // KAV_SIM_PE_FILE_H
