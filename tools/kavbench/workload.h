// Workloads: reads, writes and verifies through the class driver, every
// byte checked against what the disk must hold (shadow.h), and the time and
// data of each kind of command counted for the summary.
//
// - read: READ(10); the blocks read are compared with what the disk holds.
// - write: WRITE(10) of fresh data, then READ(10) of the same blocks and a
//   comparison: data written is always read back.
// - verify: VERIFY(10) with BYTCHK and the bytes the disk must hold (read
//   first where the bench does not know them); the disk compares, and a
//   MISCOMPARE is found again block by block.
// A command that fails after the class driver's retries is an error; a
// block that differs is an error naming its block. A command that moves
// less than asked (a residual) is checked for what it moved.
#ifndef KAV_TOOLS_KAVBENCH_WORKLOAD_H
#define KAV_TOOLS_KAVBENCH_WORKLOAD_H

#include "arguments.h"
#include "class_driver.h"
#include "progress.h"
#include "scan.h"
#include "shadow.h"
#include "system.h"
#include "timing_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavbench {

// One kind of command: how many, the bytes they moved, the simulated time
// they took and the least time the timing model allows them.
struct CommandStats {
  uint64_t commands = 0;
  uint64_t bytes = 0;
  uint64_t ns = 0;
  uint64_t limitNs = 0;
};

struct WorkloadStats {
  static constexpr size_t PROBLEMS_KEPT = 10;

  uint64_t operations = 0;
  CommandStats read, write, verify;  // READ(10) (read-backs too), WRITE(10), VERIFY(10)
  uint64_t failedCommands = 0;       // failed after every retry
  uint64_t mismatches = 0;           // blocks that differed
  uint64_t bytesVerified = 0;        // bytes compared with known contents
  std::vector<std::string> problems; // the first few, one line each
  uint64_t problemsDropped = 0;

  void problem(const std::string &line);
};

// A disk the workload runs on.
struct DiskUnderTest {
  uint8_t id = 0;
  uint8_t lun = 0;
  uint32_t blocks = 0;
  bool readOnly = false;
  DiskShadow shadow;
};

// The disks of a scan that a workload may use; memory disks (the machine
// says which) start as zeros.
std::vector<DiskUnderTest> DisksUnderTest(const std::vector<ScanRow> &rows, sim::System &system,
                                          uint64_t seed);

// How an operation ended.
enum class OperationEnd : uint8_t {
  Complete, // every command succeeded and moved all its data
  Short,    // every command succeeded, one moved less than asked
  Failed,   // a command failed after the class driver's retries
};

class Exerciser {
public:
  Exerciser(sim::ClassDriver &classDriver, sim::System &system, const TimingModel &timing,
            WorkloadStats &stats);

  // Words that every problem found from now on begins with (the request
  // and what was done to it).
  void setContext(std::string context) { context_ = std::move(context); }

  OperationEnd read(DiskUnderTest &disk, uint32_t lba, uint32_t count);
  OperationEnd write(DiskUnderTest &disk, uint32_t lba, uint32_t count);
  OperationEnd verify(DiskUnderTest &disk, uint32_t lba, uint32_t count);

private:
  sim::CommandResult run(DiskUnderTest &disk, CommandStats &kind, const std::vector<uint8_t> &cdb,
                         uint32_t dataIn, const std::vector<uint8_t> &dataOut);
  OperationEnd readInto(DiskUnderTest &disk, uint32_t lba, uint32_t count,
                        std::vector<uint8_t> &data);
  void failed(const DiskUnderTest &disk, const char *what, uint32_t lba, uint32_t count,
              const sim::CommandResult &result);
  void checkRead(DiskUnderTest &disk, uint32_t lba, uint32_t count, const uint8_t *data);
  void problem(const std::string &line);

  sim::ClassDriver &classDriver_;
  sim::System &system_;
  TimingModel timing_;
  WorkloadStats &stats_;
  std::string context_;
};

// "" when the workload can run on these disks, else why not.
std::string CheckWorkload(const WorkloadOptions &workload, const std::vector<DiskUnderTest> &disks);

// A workload's requests one by one: which disk, where, how many blocks, and
// what to do.
class WorkloadPlan {
public:
  struct Request {
    size_t disk;
    uint32_t lba;
    uint32_t count;
    WorkloadKind kind; // read, write or verify
  };

  WorkloadPlan(const WorkloadOptions &workload, const std::vector<DiskUnderTest> &disks);
  Request next();

private:
  WorkloadKind kindFor(const DiskUnderTest &disk);

  WorkloadOptions workload_;
  const std::vector<DiskUnderTest> &disks_;
  Random random_;
  std::vector<uint32_t> cursors_; // sequential: the next block of each disk
  uint64_t made_ = 0;
};

// Runs the workload to its count or bytes.
void RunWorkload(Exerciser &exerciser, std::vector<DiskUnderTest> &disks,
                 const WorkloadOptions &workload, WorkloadStats &stats, Progress &progress);

OperationEnd RunRequest(Exerciser &exerciser, std::vector<DiskUnderTest> &disks,
                        const WorkloadPlan::Request &request);

} // namespace kavbench

#endif
