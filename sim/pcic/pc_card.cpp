#include "pc_card.h"

#include <stdexcept>

namespace sim {

CisTuple VersionTuple(uint8_t major, uint8_t minor, const std::vector<std::string> &strings) {
  CisTuple tuple;
  tuple.code = cis::TUPLE_VERSION_1;
  tuple.body = {major, minor};
  for (const std::string &text : strings) {
    tuple.body.insert(tuple.body.end(), text.begin(), text.end());
    tuple.body.push_back(0x00);
  }
  tuple.body.push_back(0xFF);
  return tuple;
}

PcCard PcCard::FromTuples(const std::vector<CisTuple> &tuples) {
  std::vector<uint8_t> cisBytes;
  for (const CisTuple &tuple : tuples) {
    if (tuple.body.size() > 255) {
      throw std::invalid_argument("a CIS tuple body holds at most 255 bytes");
    }
    cisBytes.push_back(tuple.code);
    cisBytes.push_back(tuple.link ? *tuple.link : static_cast<uint8_t>(tuple.body.size()));
    cisBytes.insert(cisBytes.end(), tuple.body.begin(), tuple.body.end());
  }
  cisBytes.push_back(cis::TUPLE_END);

  std::vector<uint8_t> attribute(2 * cisBytes.size(), 0xFF);
  for (size_t k = 0; k < cisBytes.size(); k++) {
    attribute[2 * k] = cisBytes[k];
  }
  return FromAttributeBytes(std::move(attribute));
}

PcCard PcCard::FromAttributeBytes(std::vector<uint8_t> bytes) {
  PcCard card;
  card.attribute_ = std::move(bytes);
  return card;
}

PcCard PcCard::AdapterCard() {
  CisTuple device{cis::TUPLE_DEVICE, {0x00, 0x00, 0xFF}};
  CisTuple manufacturerId{cis::TUPLE_MANUFACTURER_ID, {0x61, 0x01, 0x41, 0x00}};
  return FromTuples(
      {device, VersionTuple(4, 1, {ADAPTER_MANUFACTURER, ADAPTER_PRODUCT}), manufacturerId});
}

uint8_t PcCard::readAttribute(uint32_t address) const {
  return address < attribute_.size() ? attribute_[address] : 0xFF;
}

} // namespace sim
