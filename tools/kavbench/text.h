// Numbers as the bench writes them for people.
#ifndef KAV_TOOLS_KAVBENCH_TEXT_H
#define KAV_TOOLS_KAVBENCH_TEXT_H

#include <cstdint>
#include <string>

namespace kavbench {

// 1234567 as "1,234,567".
std::string Thousands(uint64_t value);
// A size in the largest binary unit that divides it: "512 bytes", "64 KiB",
// "4 MiB"; sizes that none divides in bytes.
std::string BytesText(uint64_t bytes);

} // namespace kavbench

#endif
