// What the driver did at start-up, as the bench shows it: the registration
// data, find-adapter and the port configuration it left, the adapter
// record, initialisation and the chip's state after it, and for KAV95 the
// card search and the socket controller's tuning.
#ifndef KAV_TOOLS_KAVBENCH_STARTUP_H
#define KAV_TOOLS_KAVBENCH_STARTUP_H

#include "bench_machine.h"
#include "json.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kavbench {

// KAV95's socket work at start-up, read from the controller's port log.
struct SocketReport {
  bool present = false;            // the machine has a socket controller
  int cardSocket = 0;              // where the card sits
  bool searched = false;           // the driver mapped the card window
  int recordSocket = 0;            // the socket the adapter record names afterwards
  std::vector<std::string> tuning; // registers written at initialisation
};

SocketReport ReadSocketReport(BenchMachine &machine);

void PrintStartup(std::FILE *out, BenchMachine &machine, ULONG status);
void WriteStartupJson(JsonWriter &json, BenchMachine &machine, ULONG status);

} // namespace kavbench

#endif
