#include "summary.h"

#include "text.h"

namespace kavbench {

namespace {

double PerKiB(uint64_t accesses, uint64_t bytes) {
  return bytes == 0 ? 0.0 : static_cast<double>(accesses) * 1024.0 / static_cast<double>(bytes);
}

struct KindRow {
  const char *name;
  const CommandStats *stats;
};

std::vector<KindRow> Kinds(const WorkloadStats &stats) {
  return {{"READ(10)", &stats.read}, {"WRITE(10)", &stats.write}, {"VERIFY(10)", &stats.verify}};
}

void PrintThroughput(std::FILE *out, const KindRow &kind) {
  const CommandStats &stats = *kind.stats;
  if (stats.commands == 0) {
    return;
  }
  double achieved = TimingModel::megabytesPerSecond(stats.bytes, stats.ns);
  double limit = TimingModel::megabytesPerSecond(stats.bytes, stats.limitNs);
  uint64_t average = stats.bytes / stats.commands;
  std::string size = BytesText(average);
  std::fprintf(out, "  %-16s %.2f MB/s modelled, limit %.2f MB/s for %s (%.0f%%)\n", kind.name,
               achieved, limit, size.c_str(), limit > 0 ? 100.0 * achieved / limit : 0.0);
}

} // namespace

uint64_t Summary::bytesMoved() const {
  return stats.read.bytes + stats.write.bytes + stats.verify.bytes;
}

double Summary::floorPerKiB8() const {
  double accesses = static_cast<double>(stats.read.bytes) / 128.0 +
                    static_cast<double>(stats.write.bytes + stats.verify.bytes) / 64.0;
  uint64_t moved = bytesMoved();
  return moved == 0 ? 0.0 : accesses * 1024.0 / static_cast<double>(moved);
}

double Summary::floorPerKiB32() const {
  return bytesMoved() == 0 ? 0.0 : 256.0;
}

uint64_t Summary::errors() const {
  uint64_t failed = soak ? soak->failedUnfaulted : stats.failedCommands;
  uint64_t unaccounted = 0;
  if (soak) {
    unaccounted = soak->lost + (soak->commandsIssued != soak->commandsEnded ? 1 : 0);
  }
  return failed + stats.mismatches + violations.size() + unaccounted;
}

void PrintSummary(std::FILE *out, const Summary &summary) {
  const WorkloadStats &stats = summary.stats;
  std::fprintf(out, "%s\n", summary.workload.c_str());
  std::fprintf(out, "Summary\n");
  std::fprintf(out, "  %-16s %s\n", "requests", Thousands(stats.operations).c_str());
  std::fprintf(out, "  %-16s %s READ(10), %s WRITE(10), %s VERIFY(10); %s SRBs\n", "commands",
               Thousands(stats.read.commands).c_str(), Thousands(stats.write.commands).c_str(),
               Thousands(stats.verify.commands).c_str(), Thousands(summary.srbs).c_str());
  std::fprintf(out, "  %-16s %s (%s failed commands, %s data mismatches)\n", "errors",
               Thousands(summary.errors()).c_str(), Thousands(stats.failedCommands).c_str(),
               Thousands(stats.mismatches).c_str());
  std::fprintf(out, "  %-16s %s\n", "retries", Thousands(summary.retries).c_str());
  std::fprintf(out, "  %-16s %s\n", "residuals", Thousands(summary.residuals).c_str());
  std::fprintf(out, "  %-16s %s\n", "time-outs", Thousands(summary.timeouts).c_str());
  std::fprintf(out, "  %-16s %s\n", "bus resets", Thousands(summary.busResets).c_str());
  std::fprintf(out, "  %-16s %s moved, %s verified\n", "bytes",
               Thousands(summary.bytesMoved()).c_str(), Thousands(stats.bytesVerified).c_str());
  const sim::AccessCounts &a = summary.accesses;
  uint64_t moved = summary.bytesMoved();
  std::fprintf(out, "  %-16s per KiB moved: 8-bit %.2f, 16-bit %.2f, 32-bit %.2f\n",
               "port accesses", PerKiB(a.reads[1] + a.writes[1], moved),
               PerKiB(a.reads[2] + a.writes[2], moved), PerKiB(a.reads[4] + a.writes[4], moved));
  const uint64_t *d = summary.dataPhaseAccesses;
  std::fprintf(out, "  %-16s per KiB moved: 8-bit %.2f (floor %.2f), 32-bit %.2f (floor %.2f)\n",
               "in data phases", PerKiB(d[1], moved), summary.floorPerKiB8(), PerKiB(d[4], moved),
               summary.floorPerKiB32());
  for (const KindRow &kind : Kinds(stats)) {
    PrintThroughput(out, kind);
  }
  std::fprintf(out, "  %-16s %.3f s\n", "simulated time",
               static_cast<double>(summary.simulatedNs) / 1e9);
  std::fprintf(out, "  %-16s %.3f s\n", "host time", summary.hostSeconds);
  std::fprintf(out, "  %-16s %s\n", "timing model", summary.timingModel.c_str());
  if (summary.soak) {
    const SoakStats &soak = *summary.soak;
    std::fprintf(out, "Soak\n");
    std::fprintf(out, "  %-16s %s:", "faults injected", Thousands(soak.totalInjected()).c_str());
    for (size_t i = 0; i < FAULT_KINDS; i++) {
      std::fprintf(out, "%s %s %s", i ? "," : "", Thousands(soak.injected[i]).c_str(),
                   FaultName(static_cast<Fault>(i)));
    }
    std::fprintf(out, "\n");
    std::fprintf(out, "  %-16s %s of %s faulted requests ended complete\n", "recoveries",
                 Thousands(soak.recovered).c_str(), Thousands(soak.faulted).c_str());
    std::fprintf(out,
                 "  %-16s %s requests: %s complete, %s short, %s failed (%s without a fault); "
                 "%s left outstanding\n",
                 "accounted for", Thousands(soak.requests).c_str(),
                 Thousands(soak.requests - soak.shortened - soak.failed).c_str(),
                 Thousands(soak.shortened).c_str(), Thousands(soak.failed).c_str(),
                 Thousands(soak.failedUnfaulted).c_str(), Thousands(soak.lost).c_str());
    std::fprintf(out, "  %-16s %s issued, %s ended\n", "commands",
                 Thousands(soak.commandsIssued).c_str(), Thousands(soak.commandsEnded).c_str());
    std::fprintf(out, "  %-16s %s\n", "data mismatches", Thousands(stats.mismatches).c_str());
  }
  for (const std::string &problem : stats.problems) {
    std::fprintf(out, "error: %s\n", problem.c_str());
  }
  if (stats.problemsDropped > 0) {
    std::fprintf(out, "error: ... and %s more\n", Thousands(stats.problemsDropped).c_str());
  }
  for (const std::string &violation : summary.violations) {
    std::fprintf(out, "violation: %s\n", violation.c_str());
  }
}

void WriteSummaryJson(JsonWriter &json, const Summary &summary) {
  const WorkloadStats &stats = summary.stats;
  json.beginObject("summary");
  json.string("workload", summary.workload);
  json.number("requests", stats.operations);
  json.number("srbs", summary.srbs);
  json.number("errors", summary.errors());
  json.number("failedCommands", stats.failedCommands);
  json.number("mismatches", stats.mismatches);
  json.number("retries", summary.retries);
  json.number("residuals", summary.residuals);
  json.number("timeouts", summary.timeouts);
  json.number("busResets", summary.busResets);
  json.number("bytesMoved", summary.bytesMoved());
  json.number("bytesVerified", stats.bytesVerified);
  json.beginObject("portAccessesPerKiB");
  const sim::AccessCounts &a = summary.accesses;
  json.number("8", PerKiB(a.reads[1] + a.writes[1], summary.bytesMoved()));
  json.number("16", PerKiB(a.reads[2] + a.writes[2], summary.bytesMoved()));
  json.number("32", PerKiB(a.reads[4] + a.writes[4], summary.bytesMoved()));
  json.endObject();
  json.beginObject("dataPhaseAccessesPerKiB");
  json.number("8", PerKiB(summary.dataPhaseAccesses[1], summary.bytesMoved()));
  json.number("16", PerKiB(summary.dataPhaseAccesses[2], summary.bytesMoved()));
  json.number("32", PerKiB(summary.dataPhaseAccesses[4], summary.bytesMoved()));
  json.number("floor8", summary.floorPerKiB8());
  json.number("floor32", summary.floorPerKiB32());
  json.endObject();
  json.beginArray("commands");
  for (const KindRow &kind : Kinds(stats)) {
    json.beginObject();
    json.string("command", kind.name);
    json.number("count", kind.stats->commands);
    json.number("bytes", kind.stats->bytes);
    json.number("simulatedNs", kind.stats->ns);
    json.number("modelledMBps", TimingModel::megabytesPerSecond(kind.stats->bytes, kind.stats->ns));
    json.number("limitMBps",
                TimingModel::megabytesPerSecond(kind.stats->bytes, kind.stats->limitNs));
    json.endObject();
  }
  json.endArray();
  json.number("simulatedNs", summary.simulatedNs);
  json.number("hostSeconds", summary.hostSeconds);
  json.string("timingModel", summary.timingModel);
  json.beginArray("problems");
  for (const std::string &problem : stats.problems) {
    json.string(nullptr, problem);
  }
  json.endArray();
  json.beginArray("violations");
  for (const std::string &violation : summary.violations) {
    json.string(nullptr, violation);
  }
  json.endArray();
  if (summary.soak) {
    const SoakStats &soak = *summary.soak;
    json.beginObject("soak");
    json.number("faultsInjected", soak.totalInjected());
    json.beginObject("faults");
    for (size_t i = 0; i < FAULT_KINDS; i++) {
      json.number(FaultName(static_cast<Fault>(i)), soak.injected[i]);
    }
    json.endObject();
    json.number("faulted", soak.faulted);
    json.number("recovered", soak.recovered);
    json.number("short", soak.shortened);
    json.number("failed", soak.failed);
    json.number("failedWithoutFault", soak.failedUnfaulted);
    json.number("lost", soak.lost);
    json.number("commandsIssued", soak.commandsIssued);
    json.number("commandsEnded", soak.commandsEnded);
    json.endObject();
  }
  json.endObject();
}

} // namespace kavbench
