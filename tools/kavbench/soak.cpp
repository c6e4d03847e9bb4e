#include "soak.h"

#include <string>

namespace kavbench {

namespace {

// How often each fault is chosen, relative to the others. A stall and
// surplus data cost the most host time (the driver polls its full limit
// before it gives the phase up), so they come less often.
struct FaultWeight {
  Fault fault;
  uint32_t weight;
};
const FaultWeight FAULT_WEIGHTS[] = {
    {Fault::Stall, 1},         {Fault::Disconnect, 4},   {Fault::Busy, 4},
    {Fault::ShortTransfer, 4}, {Fault::MessageFlood, 4}, {Fault::SurplusData, 1},
};

// One of the kinds in use, by their weights. Surplus data only come in: a
// request that sends data gets another kind, or none when surplus data are
// all that was asked for (returned as SurplusData).
Fault ChooseFault(Random &random, const std::array<bool, FAULT_KINDS> &use, bool dataIn) {
  auto usable = [&](Fault fault) {
    return use[static_cast<size_t>(fault)] && (dataIn || fault != Fault::SurplusData);
  };
  uint32_t total = 0;
  for (const FaultWeight &entry : FAULT_WEIGHTS) {
    total += usable(entry.fault) ? entry.weight : 0;
  }
  uint64_t roll = random.below(total);
  for (const FaultWeight &entry : FAULT_WEIGHTS) {
    if (!usable(entry.fault)) {
      continue;
    }
    if (roll < entry.weight) {
      return entry.fault;
    }
    roll -= entry.weight;
  }
  return Fault::SurplusData;
}

// A fault's knobs for a request that moves `bytes` in or out, and the
// fault in words.
struct FaultSetting {
  sim::TargetOptions options;
  std::string words;
};

FaultSetting Faulty(sim::TargetOptions options, Fault fault, bool dataIn, uint32_t bytes,
                    Random &random) {
  std::string words;
  switch (fault) {
  case Fault::Stall: {
    // After the data: in STATUS or MESSAGE IN. A target stalled in MESSAGE
    // OUT, COMMAND or the phase after the command (the data) holds the bus
    // through the selection, which the driver reports as a selection
    // time-out without resetting the bus, so that no later request on any
    // target gets through.
    const sim::Phase phases[] = {sim::Phase::Status, sim::Phase::MessageIn};
    options.stallIn = phases[random.below(2)];
    words = std::string("a stall in ") + sim::phaseName(*options.stallIn);
    break;
  }
  case Fault::Disconnect:
    options.disconnects = true;
    options.disconnectAtByte = static_cast<uint32_t>(random.below(bytes));
    words = "a disconnect at byte " + std::to_string(options.disconnectAtByte);
    break;
  case Fault::Busy:
    options.busyCommands++; // one more than answered so far: see arm()
    words = "BUSY";
    break;
  case Fault::ShortTransfer: {
    uint32_t &limit = dataIn ? options.shortReadBytes : options.shortWriteBytes;
    limit = static_cast<uint32_t>(random.below(bytes));
    words = std::string("a short ") + (dataIn ? "read" : "write") + " of " + std::to_string(limit) +
            " bytes";
    break;
  }
  case Fault::MessageFlood:
    options.messageFloodBytes = 1 + static_cast<uint32_t>(random.below(16));
    options.floodByte = sim::message::NO_OPERATION;
    words = std::to_string(options.messageFloodBytes) + " NO OPERATION messages";
    break;
  case Fault::SurplusData:
    options.extraDataInBytes = 1 + static_cast<uint32_t>(random.below(64));
    words = std::to_string(options.extraDataInBytes) + " surplus bytes";
    break;
  }
  return FaultSetting{options, words};
}

} // namespace

const char *FaultName(Fault fault) {
  return FAULT_NAMES[static_cast<size_t>(fault)];
}

uint64_t SoakStats::totalInjected() const {
  uint64_t total = 0;
  for (uint64_t count : injected) {
    total += count;
  }
  return total;
}

// ------------------------------------------------------------ the injector

FaultInjector::FaultInjector(sim::System &system, sim::ClassDriver &classDriver)
    : system_(system), classDriver_(classDriver) {
  classDriver_.beforeEachRequest = [this](const sim::RequestOrder &order) { beforeRequest(order); };
}

FaultInjector::~FaultInjector() {
  disarm();
  classDriver_.beforeEachRequest = nullptr;
}

void FaultInjector::arm(uint8_t target, const sim::TargetOptions &faulty) {
  disarm();
  armed_ = true;
  target_ = target;
  healthy_ = system_.target(target).options();
  faulty_ = faulty;
  // A BUSY answered stays answered: the target's count of BUSY answers to
  // give is a total, kept when the fault comes off.
  healthy_.busyCommands = faulty_.busyCommands;
}

void FaultInjector::disarm() {
  if (applied_) {
    system_.target(target_).options() = healthy_;
  }
  armed_ = false;
  applied_ = false;
}

void FaultInjector::beforeRequest(const sim::RequestOrder &order) {
  if (applied_) {
    disarm(); // the fault was for the first SRB only
    return;
  }
  if (armed_ && order.targetId == target_) {
    system_.target(target_).options() = faulty_;
    applied_ = true;
  }
}

// ------------------------------------------------------------------ the run

void RunSoak(Exerciser &exerciser, std::vector<DiskUnderTest> &disks,
             const SoakOptions &soakOptions, sim::System &system, sim::ClassDriver &classDriver,
             WorkloadStats &stats, SoakStats &soak, Progress &progress) {
  const WorkloadOptions &workload = soakOptions.workload;
  WorkloadOptions mix = workload;
  mix.kind = WorkloadKind::Mix;
  mix.pattern = Pattern::Random;
  WorkloadPlan plan(mix, disks);
  Random random(workload.seed ^ 0x50A4);
  FaultInjector injector(system, classDriver);
  uint64_t commandsBefore = classDriver.counters().commands;
  auto issued = [&stats] {
    return stats.read.commands + stats.write.commands + stats.verify.commands;
  };
  uint64_t issuedBefore = issued();

  uint64_t total = workload.bytes ? *workload.bytes : workload.count;
  progress.start("soak", total);
  uint64_t bytes = 0;
  while (workload.bytes ? bytes < *workload.bytes : soak.requests < workload.count) {
    WorkloadPlan::Request request = plan.next();
    bool dataIn = request.kind == WorkloadKind::Read;
    bool faulted = random.chance(soakOptions.faultPercent);
    Fault fault = faulted ? ChooseFault(random, soakOptions.faults, dataIn) : Fault::Busy;
    if (fault == Fault::SurplusData && !dataIn) {
      faulted = false; // surplus data were all that was asked for
    }
    std::string context = "request " + std::to_string(soak.requests + 1);
    if (faulted) {
      uint8_t id = disks[request.disk].id;
      FaultSetting setting = Faulty(system.target(id).options(), fault, dataIn,
                                    request.count * DiskShadow::BLOCK, random);
      injector.arm(id, setting.options);
      context += " (" + setting.words + ")";
      soak.injected[static_cast<size_t>(fault)]++;
      soak.faulted++;
    }
    exerciser.setContext(context);
    OperationEnd end = RunRequest(exerciser, disks, request);
    injector.disarm();
    soak.requests++;
    stats.operations++;
    switch (end) {
    case OperationEnd::Complete:
      soak.recovered += faulted ? 1 : 0;
      break;
    case OperationEnd::Short:
      soak.shortened++;
      break;
    case OperationEnd::Failed:
      soak.failed++;
      soak.failedUnfaulted += faulted ? 0 : 1;
      break;
    }
    soak.lost += system.portDriver().outstanding().size();
    bytes += uint64_t{request.count} * DiskShadow::BLOCK;
    progress.update(workload.bytes ? bytes : soak.requests);
  }
  progress.finish();
  soak.commandsIssued = issued() - issuedBefore;
  soak.commandsEnded = classDriver.counters().commands - commandsBefore;
}

} // namespace kavbench
