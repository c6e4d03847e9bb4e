// Host time of the driver's busiest loop: polling REG_STATUS through
// ScsiPortReadPortUchar on the chip model. A CheckStReg time-out is
// POLL_LIMIT (16,777,216) such reads.
#include "fas408.h"
#include "kav.h"
#include "system.h"

#include <benchmark/benchmark.h>

namespace {

constexpr uint32_t CHIP_PORT = 0x340;

// A machine whose chip is idle in bank 0, with the port driver's routines
// active as they are during a call into the driver.
struct IdleChip {
  IdleChip() : scope(system.portDriver()) { system.machine().io.write(CHIP_PORT + 0xD, 1, 0x00); }
  sim::System system;
  sim::PortDriver::CallScope scope;
};

void PolledStatusRead(benchmark::State &state) {
  IdleChip machine;
  PUCHAR status = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(CHIP_PORT + 0x4));
  for (auto _ : state) {
    benchmark::DoNotOptimize(ScsiPortReadPortUchar(status));
  }
  state.counters["ns_per_read"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(PolledStatusRead);

// The same read one layer down: the machine's I/O space, and the chip model
// alone, to see where the time goes.
void IoSpaceStatusRead(benchmark::State &state) {
  IdleChip machine;
  sim::IoSpace &io = machine.system.machine().io;
  for (auto _ : state) {
    benchmark::DoNotOptimize(io.read(CHIP_PORT + 0x4, 1));
  }
}
BENCHMARK(IoSpaceStatusRead);

void ChipModelStatusRead(benchmark::State &state) {
  IdleChip machine;
  sim::Fas408 &chip = machine.system.chip();
  sim::Clock &clock = machine.system.machine().clock;
  for (auto _ : state) {
    benchmark::DoNotOptimize(chip.read(0x4, 1));
    clock.advance(255);
  }
}
BENCHMARK(ChipModelStatusRead);

// The driver's own wait, timing out: POLL_LIMIT reads of REG_STATUS.
void CheckStRegTimeout(benchmark::State &state) {
  IdleChip machine;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kavnt::CheckStReg(CHIP_PORT, kavnt::CHECK_WAIT));
  }
  state.counters["ns_per_read"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kavnt::POLL_LIMIT,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(CheckStRegTimeout)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
