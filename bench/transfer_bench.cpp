// Host cost of the simulation moving data: 64 KiB READ(10) and WRITE(10)
// through our port driver, the KAVNT driver, the chip model and a disk,
// as the bench's workloads make them.
//
// Counters:
//   MiB_per_host_s   simulated MiB moved per host second
//   ns_per_access    host nanoseconds per simulated port access (a unit of
//                    a block transfer counts as one access, as on the bus)
//   sim_MBps         the modelled throughput, MB per simulated second
#include "class_driver.h"
#include "kav.h"
#include "system.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr uint8_t DISK_ID = 0;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint16_t BLOCKS = 128; // 64 KiB
constexpr uint32_t DISK_BLOCKS = 8192;

// KAVNT loaded into the default machine with one disk, its unit attention
// taken and synchronous transfer agreed.
struct LoadedMachine {
  LoadedMachine() : system(Config()), classDriver(system.portDriver()) {
    if (system.load(kavnt::DriverEntry) != sim::STATUS_SUCCESS) {
      std::abort();
    }
    classDriver.testUnitReady(DISK_ID, 0);
    classDriver.testUnitReady(DISK_ID, 0);
  }
  static sim::SystemConfig Config() {
    sim::SystemConfig config;
    sim::DiskPlacement disk;
    disk.target = DISK_ID;
    disk.disk.blocks = DISK_BLOCKS;
    config.disks.push_back(disk);
    return config;
  }
  sim::System system;
  sim::ClassDriver classDriver;
};

// Runs `command` (a 64 KiB transfer at the block given) once per iteration
// and sets the counters.
template <typename Command> void Transfers(benchmark::State &state, Command command) {
  LoadedMachine machine;
  sim::Machine &simulated = machine.system.machine();
  uint64_t accessesBefore = simulated.io.counts().total();
  uint64_t clockBefore = simulated.clock.now();
  uint32_t lba = 0;
  for (auto _ : state) {
    sim::CommandResult result = command(machine.classDriver, lba);
    if (!result.ok() || result.transferred != BLOCKS * BLOCK_BYTES) {
      state.SkipWithError("the transfer failed");
      break;
    }
    lba = (lba + BLOCKS) % DISK_BLOCKS;
  }
  double bytes = static_cast<double>(state.iterations()) * BLOCKS * BLOCK_BYTES;
  double accesses = static_cast<double>(simulated.io.counts().total() - accessesBefore);
  double simulatedNs = static_cast<double>(simulated.clock.now() - clockBefore);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MiB_per_host_s"] =
      benchmark::Counter(bytes / (1024.0 * 1024.0), benchmark::Counter::kIsRate);
  state.counters["ns_per_access"] =
      benchmark::Counter(accesses, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["sim_MBps"] = simulatedNs > 0 ? bytes * 1e3 / simulatedNs : 0.0;
}

void Read10_64KiB(benchmark::State &state) {
  Transfers(state, [](sim::ClassDriver &classDriver, uint32_t lba) {
    return classDriver.readBlocks(DISK_ID, 0, lba, BLOCKS, BLOCK_BYTES);
  });
}
BENCHMARK(Read10_64KiB)->Unit(benchmark::kMicrosecond);

void Write10_64KiB(benchmark::State &state) {
  std::vector<uint8_t> data(BLOCKS * BLOCK_BYTES);
  for (size_t i = 0; i < data.size(); i++) {
    data[i] = static_cast<uint8_t>(i * 13 + 7);
  }
  Transfers(state, [&data](sim::ClassDriver &classDriver, uint32_t lba) {
    return classDriver.writeBlocks(DISK_ID, 0, lba, data, BLOCK_BYTES);
  });
}
BENCHMARK(Write10_64KiB)->Unit(benchmark::kMicrosecond);

} // namespace
