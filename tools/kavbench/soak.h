// The soak run: a long random mix of reads, writes (read back) and verifies
// across every disk, with faults injected at random, one request at a time.
//
// A faulted request has one of its target's misbehaviour knobs set for its
// first SRB only; the target is itself again for the SRBs that follow (the
// REQUEST SENSE, the class driver's retries, the read-back), so a fault the
// driver and the class driver recover from ends as a good request. The
// faults: a stall in STATUS or MESSAGE IN (the driver gives the phase up,
// the port driver's time-out resets the bus, the class driver retries), a disconnect in the data,
// BUSY, a short transfer, a flood of NO OPERATION messages, surplus data in.
//
// Every request is accounted for: it ended complete, short (a residual whose
// data are checked), or failed after every retry; and the port driver holds
// none outstanding after it. Data mismatches must be 0.
#ifndef KAV_TOOLS_KAVBENCH_SOAK_H
#define KAV_TOOLS_KAVBENCH_SOAK_H

#include "workload.h"

#include <array>
#include <cstdint>

namespace kavbench {

// In the order of FAULT_NAMES (arguments.h).
enum class Fault : uint8_t {
  Stall,
  Disconnect,
  Busy,
  ShortTransfer,
  MessageFlood,
  SurplusData,
};
const char *FaultName(Fault fault);

struct SoakStats {
  uint64_t requests = 0;
  std::array<uint64_t, FAULT_KINDS> injected{}; // by kind
  uint64_t faulted = 0;                         // requests that met a fault
  uint64_t recovered = 0;                       // faulted, and still complete
  uint64_t shortened = 0;                       // ended short (faulted or not)
  uint64_t failed = 0;                          // failed after every retry (faulted or not)
  uint64_t failedUnfaulted = 0;                 // failed without a fault of their own
  uint64_t lost = 0;                            // left outstanding in the port driver
  uint64_t commandsIssued = 0;                  // commands the soak asked for
  uint64_t commandsEnded = 0;                   // commands the class driver ended
  uint64_t totalInjected() const;
};

// Sets a fault on a target for the first SRB after arm() and takes it off
// before the next one. It watches the class driver's requests.
class FaultInjector {
public:
  FaultInjector(sim::System &system, sim::ClassDriver &classDriver);
  ~FaultInjector();
  FaultInjector(const FaultInjector &) = delete;
  FaultInjector &operator=(const FaultInjector &) = delete;

  void arm(uint8_t target, const sim::TargetOptions &faulty);
  // Gives the target back its own behaviour, if the fault is still on.
  void disarm();

private:
  void beforeRequest(const sim::RequestOrder &order);

  sim::System &system_;
  sim::ClassDriver &classDriver_;
  bool armed_ = false;
  bool applied_ = false;
  uint8_t target_ = 0;
  sim::TargetOptions healthy_;
  sim::TargetOptions faulty_;
};

struct SoakOptions {
  WorkloadOptions workload;
  uint32_t faultPercent = DEFAULT_FAULT_PERCENT;
  std::array<bool, FAULT_KINDS> faults = {true, true, true, true, true, true};
};

void RunSoak(Exerciser &exerciser, std::vector<DiskUnderTest> &disks, const SoakOptions &options,
             sim::System &system, sim::ClassDriver &classDriver, WorkloadStats &stats,
             SoakStats &soak, Progress &progress);

} // namespace kavbench

#endif
