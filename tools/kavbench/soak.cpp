#include "soak.h"

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

// The knobs of a fault for a request that moves `bytes` in or out.
sim::TargetOptions Faulty(sim::TargetOptions options, Fault fault, bool dataIn, uint32_t bytes,
                          Random &random) {
  switch (fault) {
  case Fault::Stall: {
    // After the data: in STATUS or MESSAGE IN. A target stalled in MESSAGE
    // OUT, COMMAND or the phase after the command (the data) holds the bus
    // through the selection, which the driver reports as a selection
    // time-out without resetting the bus, so that no later request on any
    // target gets through (see --target ID:stall=data-in).
    (void)dataIn;
    const sim::Phase phases[] = {sim::Phase::Status, sim::Phase::MessageIn};
    options.stallIn = phases[random.below(2)];
    break;
  }
  case Fault::Disconnect:
    options.disconnects = true;
    options.disconnectAtByte = static_cast<uint32_t>(random.below(bytes));
    break;
  case Fault::Busy:
    options.busyCommands++; // one more than answered so far: see arm()
    break;
  case Fault::ShortTransfer:
    (dataIn ? options.shortReadBytes : options.shortWriteBytes) =
        static_cast<uint32_t>(random.below(bytes));
    break;
  case Fault::MessageFlood:
    options.messageFloodBytes = 1 + static_cast<uint32_t>(random.below(16));
    options.floodByte = sim::message::NO_OPERATION;
    break;
  case Fault::SurplusData:
    options.extraDataInBytes = 1 + static_cast<uint32_t>(random.below(64));
    break;
  }
  return options;
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
  classDriver_.beforeEachRequest = [this](const sim::RequestSpec &spec) {
    beforeRequest(spec);
  };
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

void FaultInjector::beforeRequest(const sim::RequestSpec &spec) {
  if (applied_) {
    disarm(); // the fault was for the first SRB only
    return;
  }
  if (armed_ && spec.targetId == target_) {
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
    if (faulted) {
      uint8_t id = disks[request.disk].id;
      injector.arm(id, Faulty(system.target(id).options(), fault, dataIn,
                              request.count * DiskShadow::BLOCK, random));
      soak.injected[static_cast<size_t>(fault)]++;
      soak.faulted++;
    }
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
