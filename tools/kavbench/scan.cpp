#include "scan.h"

#include "text.h"

namespace kavbench {

namespace {

constexpr uint8_t DIRECT_ACCESS = 0x00;
constexpr uint8_t MODE_SENSE6 = 0x1A;
constexpr uint8_t MODE_HEADER_BYTES = 4;
constexpr uint8_t WRITE_PROTECT = 0x80; // device-specific byte of the mode header

// MODE SENSE(6), header only: its device-specific byte tells write
// protection. A unit that does not answer it is taken to be writable.
bool WriteProtected(sim::ClassDriver &classDriver, uint8_t target, uint8_t lun) {
  sim::CommandResult result = classDriver.command(
      target, lun, {MODE_SENSE6, 0x08, 0x00, 0x00, MODE_HEADER_BYTES, 0x00}, MODE_HEADER_BYTES);
  return result.ok() && result.transferred >= 3 && (result.data[2] & WRITE_PROTECT) != 0;
}

} // namespace

bool ScanRow::isDisk() const {
  return entry.inquiry.deviceType() == DIRECT_ACCESS && entry.ready && entry.capacity &&
         entry.capacity->blockSize == 512;
}

std::vector<ScanRow> ScanBus(sim::ClassDriver &classDriver, sim::System &system) {
  std::vector<ScanRow> rows;
  for (const sim::ScanEntry &entry : classDriver.scanBus()) {
    ScanRow row;
    row.entry = entry;
    if (entry.inquiry.deviceType() == DIRECT_ACCESS && entry.ready) {
      row.writeProtected = WriteProtected(classDriver, entry.target, entry.lun);
    }
    if (const sim::Target *target = system.bus().target(entry.target)) {
      row.agreement = target->agreement();
    }
    rows.push_back(row);
  }
  return rows;
}

const char *DeviceTypeName(uint8_t type) {
  static const char *const names[] = {"disk",   "tape",    "printer", "processor", "WORM",
                                      "CD-ROM", "scanner", "optical", "changer",   "comms"};
  if (type < sizeof(names) / sizeof(names[0])) {
    return names[type];
  }
  return type == 0x1F ? "unknown" : "other";
}

std::string CapacityText(const sim::ScanEntry &entry) {
  if (!entry.ready) {
    return "not ready";
  }
  if (!entry.capacity) {
    return "-";
  }
  const sim::Capacity &capacity = *entry.capacity;
  return BytesText(capacity.bytes()) + " (" + std::to_string(uint64_t{capacity.lastBlock} + 1) +
         " x " + std::to_string(capacity.blockSize) + ")";
}

std::string AgreementText(const sim::TransferAgreement &agreement) {
  if (!agreement.synchronous()) {
    return "asynchronous";
  }
  return "synchronous " + std::to_string(agreement.periodNs()) + " ns, offset " +
         std::to_string(agreement.offset);
}

void PrintScanTable(std::FILE *out, const std::vector<ScanRow> &rows) {
  std::fprintf(out, "Bus scan\n");
  if (rows.empty()) {
    std::fprintf(out, "  no device answered\n\n");
    return;
  }
  std::fprintf(out, "  %-2s %-3s %-7s %-8s %-16s %-4s %-24s %s\n", "ID", "LUN", "Type", "Vendor",
               "Product", "Rev", "Capacity", "Transfer");
  for (const ScanRow &row : rows) {
    const sim::ScanEntry &entry = row.entry;
    std::string capacity = CapacityText(entry) + (row.writeProtected ? " ro" : "");
    std::fprintf(out, "  %2u %3u %-7s %-8s %-16s %-4s %-24s %s\n", entry.target, entry.lun,
                 DeviceTypeName(entry.inquiry.deviceType()), entry.inquiry.vendor.c_str(),
                 entry.inquiry.product.c_str(), entry.inquiry.revision.c_str(), capacity.c_str(),
                 AgreementText(row.agreement).c_str());
  }
  std::fprintf(out, "\n");
}

void WriteScanJson(JsonWriter &json, const std::vector<ScanRow> &rows) {
  json.beginArray("scan");
  for (const ScanRow &row : rows) {
    const sim::ScanEntry &entry = row.entry;
    json.beginObject();
    json.number("id", uint64_t{entry.target});
    json.number("lun", uint64_t{entry.lun});
    json.string("type", DeviceTypeName(entry.inquiry.deviceType()));
    json.string("vendor", entry.inquiry.vendor);
    json.string("product", entry.inquiry.product);
    json.string("revision", entry.inquiry.revision);
    json.boolean("ready", entry.ready);
    if (entry.capacity) {
      json.number("blocks", uint64_t{entry.capacity->lastBlock} + 1);
      json.number("blockSize", uint64_t{entry.capacity->blockSize});
    } else {
      json.null("blocks");
    }
    json.boolean("writeProtected", row.writeProtected);
    json.boolean("synchronous", row.agreement.synchronous());
    json.number("periodNs", uint64_t{row.agreement.periodNs()});
    json.number("offset", uint64_t{row.agreement.offset});
    json.endObject();
  }
  json.endArray();
}

} // namespace kavbench
