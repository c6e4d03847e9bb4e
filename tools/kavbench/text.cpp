#include "text.h"

namespace kavbench {

std::string Thousands(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      text += ',';
    }
    text += digits[i];
  }
  return text;
}

std::string BytesText(uint64_t bytes) {
  const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes == 0 || bytes % 1024 != 0) {
    return Thousands(bytes) + (bytes == 1 ? " byte" : " bytes");
  }
  unsigned unit = 0;
  bytes /= 1024;
  while (bytes % 1024 == 0 && unit < 3) {
    bytes /= 1024;
    unit++;
  }
  return Thousands(bytes) + " " + units[unit];
}

} // namespace kavbench
