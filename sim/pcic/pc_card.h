// A PC Card as the socket controller sees it: its attribute memory, which
// holds the card information structure (CIS).
//
// Chosen behaviour:
// - A card built from tuples holds them in the given order, each as its code,
//   its link byte (the body's length unless the tuple names another) and its
//   body, followed by the end-of-chain tuple 0xFF. CIS byte k lies at
//   attribute address 2k; the odd attribute addresses between them read 0xFF.
// - A card built from raw attribute bytes holds exactly those bytes at
//   attribute addresses 0 on, CIS layout or not (hostile cards).
// - Attribute memory beyond what the card holds reads 0xFF, up to the
//   26 address bits a socket decodes.
// - The model has no common memory; the socket controller shows 0xFF for it.
#ifndef KAV_SIM_PC_CARD_H
#define KAV_SIM_PC_CARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

namespace cis {
constexpr uint8_t TUPLE_DEVICE = 0x01;
constexpr uint8_t TUPLE_VERSION_1 = 0x15; // level-1 version and product information
constexpr uint8_t TUPLE_CONFIG = 0x1A;
constexpr uint8_t TUPLE_MANUFACTURER_ID = 0x20;
constexpr uint8_t TUPLE_END = 0xFF;
} // namespace cis

struct CisTuple {
  CisTuple() = default;
  CisTuple(uint8_t code, std::vector<uint8_t> body, std::optional<uint8_t> link = std::nullopt)
      : code(code), body(std::move(body)), link(link) {}

  uint8_t code = 0;
  std::vector<uint8_t> body;
  // The link byte, when it is not to be the body's length (a hostile CIS).
  std::optional<uint8_t> link;
};

// A level-1 version tuple: the two version bytes, each string with its
// terminating 0x00, and the 0xFF that ends the list of strings.
CisTuple VersionTuple(uint8_t major, uint8_t minor, const std::vector<std::string> &strings);

// The adapter card's strings.
constexpr const char *ADAPTER_MANUFACTURER = "VELMO System Inc.";
constexpr const char *ADAPTER_PRODUCT = "MEDIA/SCSI2 CARD 41";

class PcCard {
public:
  // A card whose CIS is these tuples, then the end-of-chain tuple. A body of
  // more than 255 bytes cannot be written as a tuple and is refused with
  // std::invalid_argument.
  static PcCard FromTuples(const std::vector<CisTuple> &tuples);
  // A card whose attribute memory starts with exactly these bytes.
  static PcCard FromAttributeBytes(std::vector<uint8_t> bytes);
  // The SCSI adapter card: a device tuple, the version tuple 4.1 with the
  // adapter's manufacturer and product strings, a manufacturer-ID tuple.
  static PcCard AdapterCard();

  // The byte at an attribute address.
  uint8_t readAttribute(uint32_t address) const;
  const std::vector<uint8_t> &attributeBytes() const { return attribute_; }

private:
  std::vector<uint8_t> attribute_;
};

} // namespace sim

#endif // KAV_SIM_PC_CARD_H
