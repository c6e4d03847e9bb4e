// The bus scan as the bench shows it: each logical unit that answered, its
// INQUIRY data, capacity, write protection, and the transfer agreement its
// target holds after the scan's first commands.
#ifndef KAV_TOOLS_KAVBENCH_SCAN_H
#define KAV_TOOLS_KAVBENCH_SCAN_H

#include "class_driver.h"
#include "json.h"
#include "system.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kavbench {

struct ScanRow {
  sim::ScanEntry entry;
  bool writeProtected = false;
  sim::TransferAgreement agreement;
  // A ready direct-access unit with a capacity: a disk the workload may use.
  bool isDisk() const;
};

std::vector<ScanRow> ScanBus(sim::ClassDriver &classDriver, sim::System &system);

const char *DeviceTypeName(uint8_t type);
std::string CapacityText(const sim::ScanEntry &entry);
std::string AgreementText(const sim::TransferAgreement &agreement);

void PrintScanTable(std::FILE *out, const std::vector<ScanRow> &rows);
void WriteScanJson(JsonWriter &json, const std::vector<ScanRow> &rows);

} // namespace kavbench

#endif
