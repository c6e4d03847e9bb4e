#include "peverify.h"

#include "pe_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace peverify {

namespace {

constexpr const char *IMPORT_MODULE = "SCSIPORT.SYS";
constexpr const char *REQUIRED_IMPORT = "ScsiPortInitialize";
constexpr uint16_t LOADER_VERSION_MAJOR = 4;
constexpr uint16_t LOADER_VERSION_MINOR = 0;
constexpr uint32_t FILE_ALIGNMENT_MIN = 0x200;
constexpr uint32_t PAGE_SIZE = 0x1000;
constexpr uint32_t IMAGE_BASE_GRANULE = 0x10000;
constexpr uint32_t VERSION_LANGUAGE = 0x0409;
constexpr uint32_t VERSION_TRANSLATION = 0x04B00409; // 0x409, code page 1200
constexpr uint32_t VERSION_FILE_OS = 0x00040004;     // VOS_NT_WINDOWS32
constexpr uint32_t VERSION_FILE_TYPE = 3;            // VFT_DRV
constexpr uint32_t VERSION_FILE_SUBTYPE = 7;         // VFT2_DRV_SYSTEM

std::string Hex(uint32_t value, int digits = 8) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The sections a miniport needs; anything else (unwind tables, exports,
// debug data, thread-local storage) has no business in the image.
const char *const ALLOWED_SECTIONS[] = {".text",  ".rdata", ".data", ".bss",
                                        ".idata", ".rsrc",  ".reloc"};

struct DirectoryRule {
  unsigned index;
  const char *name;
  bool allowed;
};

const DirectoryRule DIRECTORY_RULES[] = {
    {pe::DIRECTORY_EXPORT, "an export directory", false},
    {pe::DIRECTORY_IMPORT, "", true},
    {pe::DIRECTORY_RESOURCE, "", true},
    {pe::DIRECTORY_EXCEPTION, "an exception (unwind) directory", false},
    {pe::DIRECTORY_SECURITY, "a certificate directory", false},
    {pe::DIRECTORY_BASE_RELOCATION, "", true},
    {pe::DIRECTORY_DEBUG, "a debug directory", false},
    {pe::DIRECTORY_ARCHITECTURE, "an architecture directory", false},
    {pe::DIRECTORY_GLOBAL_POINTER, "a global pointer directory", false},
    {pe::DIRECTORY_TLS, "a thread-local storage directory", false},
    {pe::DIRECTORY_LOAD_CONFIG, "a load configuration directory", false},
    {pe::DIRECTORY_BOUND_IMPORT, "a bound import directory", false},
    {pe::DIRECTORY_IAT, "", true},
    {pe::DIRECTORY_DELAY_IMPORT, "a delay import directory", false},
    {pe::DIRECTORY_CLR, "a CLR runtime header", false},
    {15, "a reserved directory", false},
};

struct FlagName {
  uint16_t bit;
  const char *name;
};

const FlagName DLL_CHARACTERISTICS[] = {
    {0x0020, "high-entropy VA"}, {0x0040, "dynamic base"},          {0x0080, "force integrity"},
    {0x0100, "NX compatible"},   {0x0200, "no isolation"},          {0x0400, "no SEH"},
    {0x0800, "no bind"},         {0x1000, "app container"},         {0x2000, "WDM driver"},
    {0x4000, "guard CF"},        {0x8000, "terminal server aware"},
};

bool IsPowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

class Checker {
public:
  Checker(const pe::File &file, const std::string &fileName, const Expectations &expected,
          Report &report)
      : file_(file), h_(file.headers()), fileName_(fileName), expected_(expected), report_(report) {
  }

  void run() {
    checkHeaders();
    checkLayout();
    checkDirectories();
    checkImports();
    checkRelocations();
    checkChecksum();
    checkVersion();
  }

private:
  void fail(std::string text) { report_.errors.push_back(std::move(text)); }

  void checkVersionPair(const char *what, uint16_t major, uint16_t minor) {
    if (major != LOADER_VERSION_MAJOR || minor != LOADER_VERSION_MINOR) {
      fail(std::string(what) + " version is " + std::to_string(major) + "." +
           std::to_string(minor) + ", not 4.0");
    }
  }

  void checkHeaders() {
    if (h_.machine != pe::MACHINE_I386) {
      fail("machine is " + Hex(h_.machine, 4) + ", not i386 (0x014C)");
    }
    if (!(h_.characteristics & pe::FILE_EXECUTABLE_IMAGE)) {
      fail("not marked as an executable image");
    }
    if (!(h_.characteristics & pe::FILE_32BIT_MACHINE)) {
      fail("not marked as a 32-bit image");
    }
    if (h_.characteristics & pe::FILE_RELOCS_STRIPPED) {
      fail("marked as having its relocations stripped");
    }
    if (h_.characteristics & pe::FILE_DLL) {
      fail("marked as a DLL");
    }
    if (h_.subsystem != pe::SUBSYSTEM_NATIVE) {
      fail("subsystem is " + std::to_string(h_.subsystem) + ", not native (1)");
    }
    checkVersionPair("subsystem", h_.majorSubsystemVersion, h_.minorSubsystemVersion);
    checkVersionPair("image", h_.majorImageVersion, h_.minorImageVersion);
    checkVersionPair("OS", h_.majorOsVersion, h_.minorOsVersion);
    if (h_.win32VersionValue != 0 || h_.loaderFlags != 0) {
      fail("reserved header fields (Win32VersionValue, LoaderFlags) are not zero");
    }
    for (const FlagName &flag : DLL_CHARACTERISTICS) {
      if (h_.dllCharacteristics & flag.bit) {
        fail("DllCharacteristics has " + Hex(flag.bit, 4) + " (" + flag.name +
             "), unknown to the NT 4.0 and Windows 95 loaders");
      }
    }
    if (h_.dllCharacteristics & 0x001F) {
      fail("DllCharacteristics has reserved bits " + Hex(h_.dllCharacteristics & 0x1F, 4));
    }
  }

  void checkLayout() {
    if (!IsPowerOfTwo(h_.fileAlignment) || h_.fileAlignment < FILE_ALIGNMENT_MIN ||
        h_.fileAlignment > PAGE_SIZE) {
      fail("file alignment " + Hex(h_.fileAlignment) +
           " is not a power of two from 0x200 to 0x1000");
      return;
    }
    if (!IsPowerOfTwo(h_.sectionAlignment) || h_.sectionAlignment < h_.fileAlignment) {
      fail("section alignment " + Hex(h_.sectionAlignment) +
           " is not a power of two above the file alignment");
      return;
    }
    if (h_.imageBase % IMAGE_BASE_GRANULE != 0) {
      fail("image base " + Hex(h_.imageBase) + " is not a multiple of 64 KiB");
    }
    uint64_t nextVirtual = AlignUp(h_.sizeOfHeaders, h_.sectionAlignment);
    uint64_t fileEnd = h_.sizeOfHeaders;
    for (const pe::Section &section : file_.sections()) {
      bool known = std::find_if(std::begin(ALLOWED_SECTIONS), std::end(ALLOWED_SECTIONS),
                                [&](const char *name) { return section.name == name; }) !=
                   std::end(ALLOWED_SECTIONS);
      if (!known) {
        fail("section " + section.name + " is not one a miniport needs");
      }
      if ((section.characteristics & pe::SECTION_EXECUTE) &&
          (section.characteristics & pe::SECTION_WRITE)) {
        fail("section " + section.name + " is both executable and writable");
      }
      if (section.virtualAddress != nextVirtual) {
        fail("section " + section.name + " starts at " + Hex(section.virtualAddress) +
             " instead of " + Hex(static_cast<uint32_t>(nextVirtual)));
      }
      if (section.sizeOfRawData != 0) {
        if (section.pointerToRawData % h_.fileAlignment != 0 ||
            section.sizeOfRawData % h_.fileAlignment != 0 || section.pointerToRawData < fileEnd) {
          fail("section " + section.name + "'s raw data is misplaced");
        }
        fileEnd = static_cast<uint64_t>(section.pointerToRawData) + section.sizeOfRawData;
      }
      uint32_t extent = std::max(section.virtualSize, section.sizeOfRawData);
      nextVirtual =
          AlignUp(static_cast<uint64_t>(section.virtualAddress) + extent, h_.sectionAlignment);
    }
    if (h_.sizeOfImage != nextVirtual) {
      fail("SizeOfImage is " + Hex(h_.sizeOfImage) + ", the sections end at " +
           Hex(static_cast<uint32_t>(nextVirtual)));
    }
    if (fileEnd != file_.bytes().size()) {
      fail("the file has " +
           std::to_string(static_cast<int64_t>(file_.bytes().size()) -
                          static_cast<int64_t>(fileEnd)) +
           " bytes beyond its last section");
    }
    const pe::Section *entry = file_.sectionAt(h_.addressOfEntryPoint);
    if (h_.addressOfEntryPoint == 0 || entry == nullptr ||
        !(entry->characteristics & pe::SECTION_EXECUTE)) {
      fail("the entry point " + Hex(h_.addressOfEntryPoint) + " is not in code");
    }
  }

  void checkDirectories() {
    for (const DirectoryRule &rule : DIRECTORY_RULES) {
      const pe::DataDirectory &directory = h_.directories[rule.index];
      if (!rule.allowed && (directory.rva != 0 || directory.size != 0)) {
        fail(std::string("has ") + rule.name);
      }
    }
    if (h_.directories[pe::DIRECTORY_RESOURCE].rva == 0) {
      fail("has no resources (the version resource is required)");
    }
  }

  void checkImports() {
    std::vector<pe::Import> imports;
    std::string error;
    if (!file_.imports(imports, error)) {
      fail("imports: " + error);
      return;
    }
    if (imports.empty()) {
      fail("imports nothing; a miniport imports ScsiPortInitialize at least");
      return;
    }
    std::set<std::string> seen;
    for (const pe::Import &import : imports) {
      if (import.module != IMPORT_MODULE) {
        fail("imports from " + import.module + "; only SCSIPORT.SYS is allowed");
        continue;
      }
      report_.importModule = import.module;
      if (import.byOrdinal) {
        fail("imports ordinal " + std::to_string(import.ordinal) + " of " + import.module +
             "; imports are by name");
        continue;
      }
      if (expected_.scsiPortRoutines.count(import.name) == 0) {
        fail("imports " + import.name +
             ", which is not among SCSIPORT.SYS's routines in the import definitions");
      }
      if (!seen.insert(import.name).second) {
        fail("imports " + import.name + " twice");
      }
      if (import.moduleTimeDateStamp != 0 || import.slotValue != import.lookupValue) {
        fail("the import of " + import.name + " is pre-bound");
      }
      report_.imports.push_back(import.name);
    }
    if (seen.count(REQUIRED_IMPORT) == 0) {
      fail("does not import ScsiPortInitialize");
    }
  }

  void checkRelocations() {
    std::vector<pe::Relocation> relocations;
    std::string error;
    if (!file_.relocations(relocations, error)) {
      fail("base relocations: " + error);
      return;
    }
    for (const pe::Relocation &relocation : relocations) {
      if (relocation.type == pe::RELOCATION_ABSOLUTE) {
        continue;
      }
      report_.relocations++;
      if (relocation.type != pe::RELOCATION_HIGHLOW) {
        fail("base relocation at " + Hex(relocation.rva) + " has type " +
             std::to_string(relocation.type) + "; only 32-bit (3) ones belong in an i386 image");
        continue;
      }
      std::optional<uint32_t> value = file_.read32At(relocation.rva);
      if (!value) {
        fail("base relocation at " + Hex(relocation.rva) + " lies outside the image's data");
      } else if (*value - h_.imageBase >= h_.sizeOfImage) {
        fail("base relocation at " + Hex(relocation.rva) + " holds " + Hex(*value) +
             ", outside the image");
      }
    }
    if (report_.relocations == 0) {
      fail("has no base relocations");
    }
  }

  void checkChecksum() {
    uint32_t computed = pe::ComputeChecksum(file_.bytes(), h_.checkSumOffset);
    report_.checkSum = h_.checkSum;
    if (h_.checkSum != computed) {
      fail("checksum is " + Hex(h_.checkSum) + ", the file sums to " + Hex(computed));
    }
  }

  void expectString(const pe::VersionInfo &info, const char *key, const std::string &value) {
    auto found = info.strings.find(key);
    if (found == info.strings.end()) {
      fail(std::string("version resource has no ") + key);
    } else if (found->second != value) {
      fail(std::string("version resource's ") + key + " is \"" + found->second + "\", expected \"" +
           value + "\"");
    }
  }

  void expectText(const pe::VersionInfo &info, const char *key) {
    auto found = info.strings.find(key);
    if (found == info.strings.end() || found->second.empty()) {
      fail(std::string("version resource has no ") + key);
    }
  }

  void expectNumber(const char *what, uint32_t value, uint32_t expected) {
    if (value != expected) {
      fail(std::string("version resource's ") + what + " is " + Hex(value) + ", expected " +
           Hex(expected));
    }
  }

  void checkVersion() {
    pe::VersionInfo info;
    std::string error;
    if (!file_.versionInfo(info, error)) {
      fail("version resource: " + error);
      return;
    }
    auto found = info.strings.find("FileVersion");
    report_.fileVersion = found == info.strings.end() ? "" : found->second;

    const uint16_t *parts = expected_.versionParts;
    uint32_t versionMs = static_cast<uint32_t>(parts[0]) << 16 | parts[1];
    uint32_t versionLs = static_cast<uint32_t>(parts[2]) << 16 | parts[3];
    expectNumber("language", info.languageId, VERSION_LANGUAGE);
    expectNumber("signature", info.signature, pe::FIXED_FILE_INFO_SIGNATURE);
    expectNumber("FILEOS", info.fileOs, VERSION_FILE_OS);
    expectNumber("FILETYPE", info.fileType, VERSION_FILE_TYPE);
    expectNumber("FILESUBTYPE", info.fileSubtype, VERSION_FILE_SUBTYPE);
    expectNumber("FILEVERSION (high)", info.fileVersionMs, versionMs);
    expectNumber("FILEVERSION (low)", info.fileVersionLs, versionLs);
    expectNumber("PRODUCTVERSION (high)", info.productVersionMs, versionMs);
    expectNumber("PRODUCTVERSION (low)", info.productVersionLs, versionLs);
    expectNumber("FILEFLAGS", info.fileFlags & info.fileFlagsMask, 0);
    if (Upper(info.stringTableKey) != "040904B0") {
      fail("version resource's string table is \"" + info.stringTableKey +
           "\", expected \"040904B0\"");
    }
    if (std::find(info.translations.begin(), info.translations.end(), VERSION_TRANSLATION) ==
        info.translations.end()) {
      fail("version resource has no Translation 0x409/1200");
    }
    std::string stem = fileName_.substr(0, fileName_.find('.'));
    expectString(info, "CompanyName", expected_.companyName);
    expectString(info, "FileVersion", expected_.version);
    expectString(info, "ProductVersion", expected_.version);
    expectString(info, "InternalName", stem);
    expectString(info, "OriginalFilename", fileName_);
    expectText(info, "FileDescription");
    expectText(info, "ProductName");
    expectText(info, "LegalCopyright");
  }

  const pe::File &file_;
  const pe::Headers &h_;
  const std::string &fileName_;
  const Expectations &expected_;
  Report &report_;
};

} // namespace

std::string Report::summary() const {
  std::ostringstream line;
  line << fileName << ": " << size << " bytes, version "
       << (fileVersion.empty() ? "?" : fileVersion) << ", imports " << imports.size()
       << " routines of " << (importModule.empty() ? "?" : importModule) << ", checksum "
       << Hex(checkSum) << ": " << (ok() ? "ok" : std::to_string(errors.size()) + " errors");
  return line.str();
}

bool Report::hasError(const std::string &text) const {
  return std::any_of(errors.begin(), errors.end(), [&](const std::string &error) {
    return error.find(text) != std::string::npos;
  });
}

Report VerifyImage(const std::string &fileName, const std::vector<uint8_t> &bytes,
                   const Expectations &expected) {
  Report report;
  report.fileName = fileName;
  report.size = static_cast<uint32_t>(bytes.size());
  if (bytes.size() > expected.sizeLimit) {
    report.errors.push_back("is " + std::to_string(bytes.size()) + " bytes, above the limit of " +
                            std::to_string(expected.sizeLimit));
  }
  std::string error;
  std::optional<pe::File> file = pe::File::parse(bytes, error);
  if (!file) {
    report.errors.push_back("not a PE image: " + error);
    return report;
  }
  Checker(*file, fileName, expected, report).run();
  return report;
}

bool ReadImportDefinitions(const std::string &path, std::set<std::string> &names,
                           std::string &error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  bool inExports = false;
  std::string line;
  while (std::getline(in, line)) {
    std::string word;
    std::istringstream(line.substr(0, line.find(';'))) >> word;
    if (word.empty()) {
      continue;
    }
    if (word == "EXPORTS") {
      inExports = true;
    } else if (inExports) {
      names.insert(word.substr(0, word.find('@')));
    }
  }
  if (names.empty()) {
    error = path + " defines no routines";
    return false;
  }
  return true;
}

bool SetVersion(const std::string &text, Expectations &expected) {
  unsigned parts[3];
  char end;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &end) != 3) {
    return false;
  }
  for (int i = 0; i < 3; i++) {
    if (parts[i] > 0xFFFF) {
      return false;
    }
    expected.versionParts[i] = static_cast<uint16_t>(parts[i]);
  }
  expected.versionParts[3] = 0;
  expected.version = text;
  return true;
}

} // namespace peverify
