#include "run.h"

#include "bench_machine.h"
#include "class_driver.h"
#include "json.h"
#include "progress.h"
#include "soak.h"
#include "startup.h"
#include "text.h"
#include "timing_model.h"
#include "trace.h"
#include "vcd.h"
#include "workload.h"

#include <algorithm>
#include <chrono>

namespace kavbench {

namespace {

std::string SizesText(const std::vector<uint32_t> &sizes) {
  std::string text;
  for (uint32_t size : sizes) {
    text += text.empty() ? "" : " or ";
    text += BytesText(size);
  }
  return text;
}

std::string Describe(const BenchOptions &options, size_t disks) {
  const WorkloadOptions &workload = options.workload;
  std::string amount =
      workload.bytes ? "requests for " + BytesText(*workload.bytes)
                     : Thousands(workload.count) + (workload.count == 1 ? " request" : " requests");
  std::string text;
  if (options.soak) {
    text = "Soak: random mix of read, write (read back) and verify; " + amount + " of " +
           SizesText(workload.sizes) + "; faults in " + std::to_string(options.faultPercent) +
           "% of them";
  } else {
    const char *kinds[] = {"read", "write, each read back and compared",
                           "verify (VERIFY(10) with the expected data)",
                           "mix of read, write (read back) and verify"};
    text = std::string("Workload: ") + kinds[static_cast<int>(workload.kind)] + "; " +
           (workload.pattern == Pattern::Random ? "random" : "sequential") + "; " + amount +
           " of " + SizesText(workload.sizes);
  }
  return text + "; seed " + std::to_string(workload.seed) + "; on " + std::to_string(disks) +
         (disks == 1 ? " disk" : " disks");
}

// Counters at the start of the workload, for the summary's differences.
struct Baseline {
  explicit Baseline(sim::System &system, const sim::ClassDriver &classDriver)
      : accesses(system.machine().io.counts()), clock(system.machine().clock.now()),
        counters(classDriver.counters()), timeouts(system.portDriver().timeouts()),
        busResets(system.bus().statistics.resets), host(std::chrono::steady_clock::now()) {
    std::copy_n(system.chip().counters().dataPhaseAccesses, 5, dataPhaseAccesses);
  }

  sim::AccessCounts accesses;
  uint64_t clock;
  sim::ClassCounters counters;
  uint64_t timeouts;
  uint64_t busResets;
  std::chrono::steady_clock::time_point host;
  uint64_t dataPhaseAccesses[5] = {};
};

void Differences(Summary &summary, sim::System &system, const sim::ClassDriver &classDriver,
                 const Baseline &start) {
  const sim::AccessCounts &now = system.machine().io.counts();
  for (unsigned width : {1u, 2u, 4u}) {
    summary.accesses.reads[width] = now.reads[width] - start.accesses.reads[width];
    summary.accesses.writes[width] = now.writes[width] - start.accesses.writes[width];
    summary.dataPhaseAccesses[width] =
        system.chip().counters().dataPhaseAccesses[width] - start.dataPhaseAccesses[width];
  }
  summary.simulatedNs = system.machine().clock.now() - start.clock;
  const sim::ClassCounters &counters = classDriver.counters();
  summary.srbs = counters.requests - start.counters.requests;
  summary.retries = counters.retries - start.counters.retries;
  summary.residuals = counters.residuals - start.counters.residuals;
  summary.senseRequests = counters.senseRequests - start.counters.senseRequests;
  summary.timeouts = system.portDriver().timeouts() - start.timeouts;
  summary.busResets = system.bus().statistics.resets - start.busResets;
  summary.hostSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start.host).count();
  summary.violations = system.portDriver().violations();
}

TraceLayout LayoutOf(sim::System &system) {
  TraceLayout layout;
  layout.chipPort = system.chipPort();
  layout.decodeMask = system.config().isaAlias ? 0x3FF : 0xFFFF;
  if (sim::Pcic *pcic = system.pcic()) {
    layout.hasPcic = true;
    layout.pcicPort = pcic->config().ioBase;
  }
  return layout;
}

} // namespace

RunResult Run(const BenchOptions &options, const Console &console) {
  RunResult result;
  BenchMachine machine;
  result.error = machine.build(options.machine);
  if (!result.error.empty()) {
    result.exitCode = EXIT_BAD_ARGUMENTS;
    return result;
  }
  sim::System &system = machine.system();

  std::FILE *traceOut = options.json ? console.err : console.out;
  RegisterTrace trace(traceOut, LayoutOf(system));
  if (options.trace) {
    trace.header();
    system.machine().io.observer = [&trace](const sim::IoAccess &access) { trace.access(access); };
  }
  VcdWriter vcd;
  if (!options.vcdPath.empty()) {
    result.error = vcd.open(options.vcdPath);
    if (!result.error.empty()) {
      result.exitCode = EXIT_BAD_ARGUMENTS;
      return result;
    }
    vcd.attach(system.bus());
  }

  ULONG status = machine.load();
  result.error = machine.checkImageFlavour();
  if (!result.error.empty()) {
    result.exitCode = EXIT_BAD_ARGUMENTS;
    return result;
  }
  if (!options.json) {
    PrintStartup(console.out, machine, status);
  }
  sim::PortDriver &port = system.portDriver();
  if (status != sim::STATUS_SUCCESS || !port.driverReady()) {
    char text[96];
    std::snprintf(text, sizeof(text), "the driver did not start: DriverEntry returned 0x%08X",
                  status);
    result.error = text;
    result.exitCode = EXIT_RUN_FAILED;
    return result;
  }

  sim::ClassDriver classDriver(port);
  result.scan = ScanBus(classDriver, system);
  if (!options.json) {
    PrintScanTable(console.out, result.scan);
  }
  std::vector<DiskUnderTest> disks = DisksUnderTest(result.scan, system, options.workload.seed);
  result.error = CheckWorkload(options.workload, disks);
  if (!result.error.empty()) {
    result.exitCode = disks.empty() ? EXIT_RUN_FAILED : EXIT_BAD_ARGUMENTS;
    return result;
  }

  Summary summary;
  summary.workload = Describe(options, disks.size());
  TimingModel timing;
  timing.cost = system.machine().io.cost();
  summary.timingModel = timing.describe();
  Progress progress(console.progress);
  Baseline start(system, classDriver);
  Exerciser exerciser(classDriver, system, timing, summary.stats);
  if (options.soak) {
    SoakStats soak;
    SoakOptions workload{options.workload, options.faultPercent, options.faults};
    RunSoak(exerciser, disks, workload, system, classDriver, summary.stats, soak, progress);
    summary.soak = soak;
  } else {
    RunWorkload(exerciser, disks, options.workload, summary.stats, progress);
  }
  Differences(summary, system, classDriver, start);
  system.machine().io.observer = nullptr;
  if (options.trace) {
    trace.finish();
  }

  std::string vcdError = vcd.close();
  if (options.json) {
    JsonWriter json;
    json.beginObject();
    WriteStartupJson(json, machine, status);
    WriteScanJson(json, result.scan);
    WriteSummaryJson(json, summary);
    json.endObject();
    std::fputs(json.text().c_str(), console.out);
  } else {
    PrintSummary(console.out, summary);
  }
  result.exitCode = summary.errors() == 0 ? EXIT_CLEAN : EXIT_RUN_FAILED;
  if (!vcdError.empty()) {
    result.error = vcdError;
    result.exitCode = EXIT_RUN_FAILED;
  }
  result.summary = summary;
  return result;
}

} // namespace kavbench
