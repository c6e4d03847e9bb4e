// KAV95's option string: one left-to-right pass in which every keyword counts
// and a later one overrides an earlier one. A keyword starts with "/" or "-"
// and is written all in upper case or all in lower case. After a keyword the
// scan resumes at a fixed distance from its "/", which for the hexadecimal
// fields lies inside the field itself.
#include "socket.h"

namespace KAV_NS {

constexpr ULONG OPTION_SCAN_POSITIONS = 80; // keywords may start at 0 to 79
constexpr ULONG HEX_FIELD_LENGTH = 4;
constexpr ULONG DEFAULT_PCIC_BASE = 0x3E0;
constexpr ULONG DEFAULT_CARD_MEMORY_BASE = 0xC8000;

enum OPTION_EFFECT {
  OPTION_ASYNC_ONLY,  // AsyncOnly[argument AND 7] = 1
  OPTION_NO_EFFECT,   // recognised, changes nothing
  OPTION_PCIC_BASE,   // PcicBase = four hexadecimal characters
  OPTION_MEMORY_BASE, // card-search memory base = four hexadecimal characters x 16
  OPTION_TP560,       // Tp560 = 1
  OPTION_CIRRUS,      // Cirrus = 1
  OPTION_SOCKET,      // Socket = argument AND 7
};

struct OPTION_KEYWORD {
  const CHAR *Upper;
  const CHAR *Lower;
  ULONG Length; // characters of the keyword, without its "/"
  ULONG Resume; // where the scan goes on, counted from the "/"
  OPTION_EFFECT Effect;
};

// Compared in this order, each first in upper and then in lower case.
static const OPTION_KEYWORD OptionKeywords[] = {
    {"AS", "as", 2, 4, OPTION_ASYNC_ONLY},
    {"ND", "nd", 2, 4, OPTION_NO_EFFECT},
    {"PCICADR=", "pcicadr=", 8, 10, OPTION_PCIC_BASE},
    {"MEMBASE=", "membase=", 8, 10, OPTION_MEMORY_BASE},
    {"TP560", "tp560", 5, 7, OPTION_TP560},
    {"CIRRUS", "cirrus", 6, 8, OPTION_CIRRUS},
    {"SLOT=", "slot=", 5, 7, OPTION_SOCKET},
};

ULONG MatchKeyword(const CHAR *Text, const CHAR *Keyword, ULONG Count) {
  // Stops at the first difference, so a NUL in the text ends the comparison.
  for (ULONG i = 0; i < Count; i++) {
    if (Text[i] != Keyword[i]) {
      return 1;
    }
  }
  return 0;
}

LONG ParseHexField(const CHAR *Text, ULONG Count) {
  LONG value = 0;
  // The field ends early at the string's NUL.
  for (ULONG i = 0; i < Count && Text[i] != 0; i++) {
    UCHAR character = static_cast<UCHAR>(Text[i]);
    if (character >= '0' && character <= '9') {
      value = value * 16 + (character & 0xF);
    }
    UCHAR folded = character & 0x5F;
    if (folded >= 'A' && folded <= 'F') {
      value = value * 16 + (folded - 'A' + 10);
    }
  }
  return value;
}

static const OPTION_KEYWORD *FindKeyword(const CHAR *Text) {
  for (const OPTION_KEYWORD &keyword : OptionKeywords) {
    if (MatchKeyword(Text, keyword.Upper, keyword.Length) == 0 ||
        MatchKeyword(Text, keyword.Lower, keyword.Length) == 0) {
      return &keyword;
    }
  }
  return nullptr;
}

// True when a NUL lies in [From, To): the scan must not resume beyond it.
// Everything before From is known not to be the NUL.
static bool StringEndsBefore(const CHAR *Text, ULONG From, ULONG To) {
  for (ULONG i = From; i < To; i++) {
    if (Text[i] == 0) {
      return true;
    }
  }
  return false;
}

static void ApplyOption(PHW_DEVICE_EXTENSION DeviceExtension, const OPTION_KEYWORD &Keyword,
                        const CHAR *Argument, ULONG *MemoryBase) {
  switch (Keyword.Effect) {
  case OPTION_ASYNC_ONLY:
    DeviceExtension->AsyncOnly[static_cast<UCHAR>(Argument[0]) & 7] = 1;
    break;
  case OPTION_NO_EFFECT:
    break;
  case OPTION_PCIC_BASE:
    DeviceExtension->PcicBase = static_cast<ULONG>(ParseHexField(Argument, HEX_FIELD_LENGTH));
    break;
  case OPTION_MEMORY_BASE:
    *MemoryBase = static_cast<ULONG>(ParseHexField(Argument, HEX_FIELD_LENGTH)) * 16;
    break;
  case OPTION_TP560:
    DeviceExtension->Tp560 = 1;
    break;
  case OPTION_CIRRUS:
    DeviceExtension->Cirrus = 1;
    break;
  case OPTION_SOCKET:
    DeviceExtension->Socket = static_cast<UCHAR>(Argument[0]) & 7;
    break;
  }
}

void SetOptionDefaults(PHW_DEVICE_EXTENSION DeviceExtension) {
  DeviceExtension->Tp560 = 0;
  DeviceExtension->Cirrus = 0;
  DeviceExtension->PcicBase = DEFAULT_PCIC_BASE;
  DeviceExtension->Socket = 0;
}

void ReadOptions(PHW_DEVICE_EXTENSION DeviceExtension, const CHAR *ArgumentString,
                 PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
  ULONG memoryBase = DEFAULT_CARD_MEMORY_BASE;
  ULONG i = 0;
  while (i < OPTION_SCAN_POSITIONS && ArgumentString[i] != 0) {
    if (ArgumentString[i] != '/' && ArgumentString[i] != '-') {
      i++;
      continue;
    }
    const OPTION_KEYWORD *keyword = FindKeyword(ArgumentString + i + 1);
    if (keyword == nullptr) {
      i++;
      continue;
    }
    // The argument (or hexadecimal field) follows the keyword directly.
    ULONG argument = i + 1 + keyword->Length;
    ApplyOption(DeviceExtension, *keyword, ArgumentString + argument, &memoryBase);
    if (StringEndsBefore(ArgumentString, argument, i + keyword->Resume)) {
      break;
    }
    i += keyword->Resume;
  }
  // With the whole string read: find the card's socket when TP560 or CIRRUS
  // will need one and SLOT= has not named it.
  StartCardSearch(DeviceExtension, ConfigInfo, memoryBase);
}

} // namespace KAV_NS
