#include "pe_file.h"

#include <algorithm>

namespace pe {

namespace {

constexpr size_t DOS_HEADER_SIZE = 64;
constexpr size_t PE_OFFSET_FIELD = 0x3C;
constexpr size_t FILE_HEADER_SIZE = 20;
constexpr size_t OPTIONAL_HEADER_FIXED_SIZE = 96; // PE32, up to the data directories
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t MAX_SECTIONS = 96;
// Bounds of the walks, far above what a driver holds.
constexpr size_t MAX_IMPORT_MODULES = 64;
constexpr size_t MAX_IMPORTS_PER_MODULE = 4096;
constexpr uint32_t MAX_NAME_LENGTH = 256;
constexpr size_t MAX_RESOURCE_ENTRIES = 256;

bool Fits(uint64_t offset, uint64_t length, uint64_t size) {
  return offset + length <= size;
}

std::string Hex(uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    unsigned digit = (value >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      text += digits[digit];
      started = true;
    }
  }
  return text;
}

} // namespace

uint16_t Read16(const std::vector<uint8_t> &bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t Read32(const std::vector<uint8_t> &bytes, size_t offset) {
  return static_cast<uint32_t>(Read16(bytes, offset)) |
         static_cast<uint32_t>(Read16(bytes, offset + 2)) << 16;
}

void Write16(std::vector<uint8_t> &bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Write32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value) {
  Write16(bytes, offset, static_cast<uint16_t>(value));
  Write16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

uint32_t ComputeChecksum(const std::vector<uint8_t> &bytes, uint32_t checkSumOffset) {
  uint32_t sum = 0;
  for (size_t offset = 0; offset < bytes.size(); offset += 2) {
    if (offset == checkSumOffset || offset == checkSumOffset + 2) {
      continue; // the CheckSum field counts as zero
    }
    uint32_t word = bytes[offset];
    if (offset + 1 < bytes.size()) {
      word |= static_cast<uint32_t>(bytes[offset + 1]) << 8;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return sum + static_cast<uint32_t>(bytes.size());
}

// ------------------------------------------------------------------ headers

std::optional<File> File::parse(std::vector<uint8_t> bytes, std::string &error) {
  File file;
  file.bytes_ = std::move(bytes);
  const std::vector<uint8_t> &b = file.bytes_;
  Headers &h = file.headers_;

  if (b.size() < DOS_HEADER_SIZE || b[0] != 'M' || b[1] != 'Z') {
    error = "no MZ header";
    return std::nullopt;
  }
  h.peOffset = Read32(b, PE_OFFSET_FIELD);
  if (!Fits(h.peOffset, 4 + FILE_HEADER_SIZE, b.size())) {
    error = "the PE header offset " + Hex(h.peOffset) + " lies outside the file";
    return std::nullopt;
  }
  if (b[h.peOffset] != 'P' || b[h.peOffset + 1] != 'E' || b[h.peOffset + 2] != 0 ||
      b[h.peOffset + 3] != 0) {
    error = "no PE signature";
    return std::nullopt;
  }
  size_t fileHeader = h.peOffset + 4;
  h.machine = Read16(b, fileHeader);
  h.numberOfSections = Read16(b, fileHeader + 2);
  h.timeDateStamp = Read32(b, fileHeader + 4);
  h.sizeOfOptionalHeader = Read16(b, fileHeader + 16);
  h.characteristics = Read16(b, fileHeader + 18);

  size_t optional = fileHeader + FILE_HEADER_SIZE;
  if (h.sizeOfOptionalHeader < OPTIONAL_HEADER_FIXED_SIZE ||
      !Fits(optional, h.sizeOfOptionalHeader, b.size())) {
    error = "the optional header is missing or cut short";
    return std::nullopt;
  }
  h.magic = Read16(b, optional);
  if (h.magic != OPTIONAL_MAGIC_PE32) {
    error = "not a PE32 image (optional header magic " + Hex(h.magic) + ")";
    return std::nullopt;
  }
  h.sizeOfCode = Read32(b, optional + 4);
  h.addressOfEntryPoint = Read32(b, optional + 16);
  h.imageBase = Read32(b, optional + 28);
  h.sectionAlignment = Read32(b, optional + 32);
  h.fileAlignment = Read32(b, optional + 36);
  h.majorOsVersion = Read16(b, optional + 40);
  h.minorOsVersion = Read16(b, optional + 42);
  h.majorImageVersion = Read16(b, optional + 44);
  h.minorImageVersion = Read16(b, optional + 46);
  h.majorSubsystemVersion = Read16(b, optional + 48);
  h.minorSubsystemVersion = Read16(b, optional + 50);
  h.win32VersionValue = Read32(b, optional + 52);
  h.sizeOfImage = Read32(b, optional + 56);
  h.sizeOfHeaders = Read32(b, optional + 60);
  h.checkSum = Read32(b, optional + 64);
  h.checkSumOffset = static_cast<uint32_t>(optional + 64);
  h.subsystem = Read16(b, optional + 68);
  h.dllCharacteristics = Read16(b, optional + 70);
  h.dllCharacteristicsOffset = static_cast<uint32_t>(optional + 70);
  h.loaderFlags = Read32(b, optional + 88);
  h.numberOfRvaAndSizes = Read32(b, optional + 92);
  if (h.numberOfRvaAndSizes > DIRECTORY_COUNT ||
      OPTIONAL_HEADER_FIXED_SIZE + 8 * h.numberOfRvaAndSizes > h.sizeOfOptionalHeader) {
    error = "the data directory count " + std::to_string(h.numberOfRvaAndSizes) +
            " does not fit the optional header";
    return std::nullopt;
  }
  for (uint32_t i = 0; i < h.numberOfRvaAndSizes; i++) {
    h.directories[i].rva = Read32(b, optional + 96 + 8 * i);
    h.directories[i].size = Read32(b, optional + 100 + 8 * i);
  }

  h.sectionTableOffset = static_cast<uint32_t>(optional + h.sizeOfOptionalHeader);
  if (h.numberOfSections == 0 || h.numberOfSections > MAX_SECTIONS ||
      !Fits(h.sectionTableOffset, SECTION_HEADER_SIZE * h.numberOfSections, b.size())) {
    error = "the section table (" + std::to_string(h.numberOfSections) +
            " sections) is empty or lies outside the file";
    return std::nullopt;
  }
  for (uint16_t i = 0; i < h.numberOfSections; i++) {
    size_t at = h.sectionTableOffset + SECTION_HEADER_SIZE * i;
    Section section;
    for (size_t c = 0; c < 8 && b[at + c] != 0; c++) {
      section.name += static_cast<char>(b[at + c]);
    }
    section.virtualSize = Read32(b, at + 8);
    section.virtualAddress = Read32(b, at + 12);
    section.sizeOfRawData = Read32(b, at + 16);
    section.pointerToRawData = Read32(b, at + 20);
    section.characteristics = Read32(b, at + 36);
    section.headerOffset = static_cast<uint32_t>(at);
    if (section.sizeOfRawData != 0 &&
        !Fits(section.pointerToRawData, section.sizeOfRawData, b.size())) {
      error = "the raw data of section " + section.name + " lies outside the file";
      return std::nullopt;
    }
    file.sections_.push_back(section);
  }
  return file;
}

// ------------------------------------------------------- addresses in file

const Section *File::sectionAt(uint32_t rva) const {
  for (const Section &section : sections_) {
    uint64_t extent = std::max(section.virtualSize, section.sizeOfRawData);
    if (rva >= section.virtualAddress && rva < section.virtualAddress + extent) {
      return &section;
    }
  }
  return nullptr;
}

std::optional<uint32_t> File::offsetOf(uint32_t rva, uint32_t length) const {
  if (Fits(rva, length, headers_.sizeOfHeaders) && Fits(rva, length, bytes_.size())) {
    return rva;
  }
  for (const Section &section : sections_) {
    uint64_t inFile = section.sizeOfRawData;
    if (section.virtualSize != 0) {
      inFile = std::min<uint64_t>(inFile, section.virtualSize);
    }
    if (rva >= section.virtualAddress && Fits(rva - section.virtualAddress, length, inFile)) {
      uint64_t offset =
          static_cast<uint64_t>(section.pointerToRawData) + (rva - section.virtualAddress);
      if (Fits(offset, length, bytes_.size())) {
        return static_cast<uint32_t>(offset);
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> File::stringAt(uint32_t rva, uint32_t limit) const {
  std::string text;
  for (uint32_t i = 0; i <= limit; i++) {
    std::optional<uint32_t> offset = offsetOf(rva + i, 1);
    if (!offset) {
      return std::nullopt;
    }
    char c = static_cast<char>(bytes_[*offset]);
    if (c == 0) {
      return text;
    }
    text += c;
  }
  return std::nullopt; // no NUL within the limit
}

std::optional<uint32_t> File::read32At(uint32_t rva) const {
  std::optional<uint32_t> offset = offsetOf(rva, 4);
  if (!offset) {
    return std::nullopt;
  }
  return Read32(bytes_, *offset);
}

// ------------------------------------------------------------------ imports

bool File::imports(std::vector<Import> &out, std::string &error) const {
  out.clear();
  const DataDirectory &directory = headers_.directories[DIRECTORY_IMPORT];
  if (directory.rva == 0) {
    return true;
  }
  for (size_t m = 0;; m++) {
    if (m == MAX_IMPORT_MODULES) {
      error = "the import directory has no end";
      return false;
    }
    uint32_t descriptor = directory.rva + static_cast<uint32_t>(20 * m);
    std::optional<uint32_t> at = offsetOf(descriptor, 20);
    if (!at) {
      error = "import descriptor " + std::to_string(m) + " lies outside the image";
      return false;
    }
    uint32_t lookupRva = Read32(bytes_, *at);
    uint32_t timeDateStamp = Read32(bytes_, *at + 4);
    uint32_t nameRva = Read32(bytes_, *at + 12);
    uint32_t slotsRva = Read32(bytes_, *at + 16);
    if (lookupRva == 0 && nameRva == 0 && slotsRva == 0) {
      return true;
    }
    std::optional<std::string> module = stringAt(nameRva, MAX_NAME_LENGTH);
    if (!module || slotsRva == 0) {
      error = "import descriptor " + std::to_string(m) + " has no readable module name or slots";
      return false;
    }
    uint32_t tableRva = lookupRva != 0 ? lookupRva : slotsRva;
    for (size_t i = 0;; i++) {
      if (i == MAX_IMPORTS_PER_MODULE) {
        error = "the imports from " + *module + " have no end";
        return false;
      }
      uint32_t step = static_cast<uint32_t>(4 * i);
      std::optional<uint32_t> entry = read32At(tableRva + step);
      std::optional<uint32_t> slot = read32At(slotsRva + step);
      if (!entry || !slot) {
        error = "the import tables of " + *module + " run outside the image";
        return false;
      }
      if (*entry == 0) {
        break;
      }
      Import import;
      import.module = *module;
      import.slotRva = slotsRva + step;
      import.lookupRva = tableRva + step;
      import.lookupValue = *entry;
      import.slotValue = *slot;
      import.moduleTimeDateStamp = timeDateStamp;
      if (*entry & 0x80000000u) {
        import.byOrdinal = true;
        import.ordinal = static_cast<uint16_t>(*entry);
      } else {
        std::optional<uint32_t> hintAt = offsetOf(*entry, 2);
        std::optional<std::string> name = stringAt(*entry + 2, MAX_NAME_LENGTH);
        if (!hintAt || !name) {
          error = "an import name of " + *module + " lies outside the image";
          return false;
        }
        import.ordinal = Read16(bytes_, *hintAt);
        import.name = *name;
      }
      out.push_back(import);
    }
  }
}

// -------------------------------------------------------------- relocations

bool File::relocations(std::vector<Relocation> &out, std::string &error) const {
  out.clear();
  const DataDirectory &directory = headers_.directories[DIRECTORY_BASE_RELOCATION];
  if (directory.rva == 0 || directory.size == 0) {
    return true;
  }
  if (!offsetOf(directory.rva, directory.size)) {
    error = "the base relocations lie outside the image";
    return false;
  }
  uint32_t position = 0;
  while (position < directory.size) {
    if (directory.size - position < 8) {
      error = "a base relocation block is cut short";
      return false;
    }
    uint32_t pageRva = *read32At(directory.rva + position);
    uint32_t blockSize = *read32At(directory.rva + position + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > directory.size - position) {
      error = "a base relocation block has the bad size " + std::to_string(blockSize);
      return false;
    }
    for (uint32_t entry = 8; entry + 2 <= blockSize; entry += 2) {
      uint32_t at = *offsetOf(directory.rva + position + entry, 2);
      uint16_t value = Read16(bytes_, at);
      out.push_back(Relocation{pageRva + (value & 0x0FFFu), static_cast<uint8_t>(value >> 12)});
    }
    position += blockSize;
  }
  return true;
}

// --------------------------------------------------------- version resource

namespace {

// One node of the version resource: a length, a value and a key, followed
// by child nodes up to the length.
struct VersionNode {
  size_t start = 0, end = 0; // [start, end) in the resource data
  uint16_t valueLength = 0;
  uint16_t type = 0;
  std::string key;
  size_t valueStart = 0;
  size_t childrenStart = 0;
};

size_t AlignUp4(size_t value) {
  return (value + 3) & ~static_cast<size_t>(3);
}

// Reads UTF-16 text from [start, end) up to a NUL; returns the position
// after the NUL, or 0 when there is none.
size_t ReadUtf16(const std::vector<uint8_t> &data, size_t start, size_t end, std::string &text) {
  for (size_t at = start; at + 2 <= end; at += 2) {
    uint16_t c = Read16(data, at);
    if (c == 0) {
      return at + 2;
    }
    text += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return 0;
}

bool ReadNode(const std::vector<uint8_t> &data, size_t start, size_t limit, VersionNode &node) {
  if (start + 6 > limit) {
    return false;
  }
  uint16_t length = Read16(data, start);
  if (length < 6 || start + length > limit) {
    return false;
  }
  node.start = start;
  node.end = start + length;
  node.valueLength = Read16(data, start + 2);
  node.type = Read16(data, start + 4);
  size_t afterKey = ReadUtf16(data, start + 6, node.end, node.key);
  if (afterKey == 0) {
    return false;
  }
  node.valueStart = AlignUp4(afterKey);
  // A text value counts characters, a binary one bytes.
  size_t valueBytes = node.type == 1 ? 2u * node.valueLength : node.valueLength;
  if (node.valueStart + valueBytes > node.end) {
    if (node.type != 1) {
      return false;
    }
    valueBytes = node.end - std::min(node.end, node.valueStart);
  }
  node.childrenStart = AlignUp4(node.valueStart + valueBytes);
  return true;
}

bool ReadChildren(const std::vector<uint8_t> &data, const VersionNode &parent,
                  std::vector<VersionNode> &children) {
  size_t at = parent.childrenStart;
  while (at < parent.end) {
    VersionNode child;
    if (!ReadNode(data, at, parent.end, child)) {
      return false;
    }
    children.push_back(child);
    at = AlignUp4(child.end);
  }
  return true;
}

bool ReadStringFileInfo(const std::vector<uint8_t> &data, const VersionNode &node,
                        VersionInfo &out) {
  std::vector<VersionNode> tables;
  if (!ReadChildren(data, node, tables)) {
    return false;
  }
  if (tables.empty()) {
    return true;
  }
  out.stringTableKey = tables[0].key;
  std::vector<VersionNode> strings;
  if (!ReadChildren(data, tables[0], strings)) {
    return false;
  }
  for (const VersionNode &value : strings) {
    std::string text;
    ReadUtf16(data, value.valueStart, value.end, text);
    out.strings[value.key] = text;
  }
  return true;
}

bool ReadVarFileInfo(const std::vector<uint8_t> &data, const VersionNode &node, VersionInfo &out) {
  std::vector<VersionNode> vars;
  if (!ReadChildren(data, node, vars)) {
    return false;
  }
  for (const VersionNode &var : vars) {
    if (var.key != "Translation") {
      continue;
    }
    for (size_t at = var.valueStart;
         at + 4 <= var.valueStart + var.valueLength && at + 4 <= var.end; at += 4) {
      out.translations.push_back(Read32(data, at));
    }
  }
  return true;
}

} // namespace

bool File::versionInfo(VersionInfo &out, std::string &error) const {
  out = VersionInfo{};
  const DataDirectory &directory = headers_.directories[DIRECTORY_RESOURCE];
  if (directory.rva == 0) {
    error = "no resources";
    return false;
  }
  // Three levels of resource directory: type, name, language.
  uint32_t table = directory.rva;
  uint32_t wanted = RESOURCE_TYPE_VERSION;
  uint32_t leaf = 0;
  for (int level = 0; level < 3; level++) {
    std::optional<uint32_t> at = offsetOf(table, 16);
    if (!at) {
      error = "a resource directory lies outside the image";
      return false;
    }
    size_t count = static_cast<size_t>(Read16(bytes_, *at + 12)) + Read16(bytes_, *at + 14);
    if (count > MAX_RESOURCE_ENTRIES) {
      error = "a resource directory is too large";
      return false;
    }
    bool found = false;
    for (size_t i = 0; i < count && !found; i++) {
      std::optional<uint32_t> entry = offsetOf(table + 16 + static_cast<uint32_t>(8 * i), 8);
      if (!entry) {
        error = "a resource directory entry lies outside the image";
        return false;
      }
      uint32_t id = Read32(bytes_, *entry);
      uint32_t target = Read32(bytes_, *entry + 4);
      bool matches = level == 0 ? id == wanted : true; // first name, first language
      if (!matches) {
        continue;
      }
      found = true;
      bool subdirectory = (target & 0x80000000u) != 0;
      if (subdirectory != (level < 2)) {
        error = "the version resource's directory is malformed";
        return false;
      }
      if (level == 2) {
        out.languageId = id;
        leaf = directory.rva + target;
      } else {
        table = directory.rva + (target & 0x7FFFFFFFu);
      }
    }
    if (!found) {
      error = "no version resource";
      return false;
    }
  }
  std::optional<uint32_t> leafAt = offsetOf(leaf, 16);
  if (!leafAt) {
    error = "the version resource's data entry lies outside the image";
    return false;
  }
  uint32_t dataRva = Read32(bytes_, *leafAt);
  uint32_t dataSize = Read32(bytes_, *leafAt + 4);
  std::optional<uint32_t> dataAt = offsetOf(dataRva, dataSize);
  if (!dataAt || dataSize == 0) {
    error = "the version resource's data lies outside the image";
    return false;
  }
  std::vector<uint8_t> data(bytes_.begin() + *dataAt, bytes_.begin() + *dataAt + dataSize);

  VersionNode root;
  if (!ReadNode(data, 0, data.size(), root) || root.key != "VS_VERSION_INFO" ||
      root.valueLength < 52) {
    error = "the version resource has no VS_VERSION_INFO block with a fixed part";
    return false;
  }
  size_t fixed = root.valueStart;
  out.signature = Read32(data, fixed);
  out.fileVersionMs = Read32(data, fixed + 8);
  out.fileVersionLs = Read32(data, fixed + 12);
  out.productVersionMs = Read32(data, fixed + 16);
  out.productVersionLs = Read32(data, fixed + 20);
  out.fileFlagsMask = Read32(data, fixed + 24);
  out.fileFlags = Read32(data, fixed + 28);
  out.fileOs = Read32(data, fixed + 32);
  out.fileType = Read32(data, fixed + 36);
  out.fileSubtype = Read32(data, fixed + 40);

  std::vector<VersionNode> children;
  if (!ReadChildren(data, root, children)) {
    error = "the version resource's blocks are malformed";
    return false;
  }
  for (const VersionNode &child : children) {
    bool ok = true;
    if (child.key == "StringFileInfo") {
      ok = ReadStringFileInfo(data, child, out);
    } else if (child.key == "VarFileInfo") {
      ok = ReadVarFileInfo(data, child, out);
    }
    if (!ok) {
      error = "the version resource's " + child.key + " block is malformed";
      return false;
    }
  }
  return true;
}

} // namespace pe
