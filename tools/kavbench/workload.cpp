#include "workload.h"

#include "disk.h"
#include "text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kavbench {

namespace {

constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;
constexpr uint8_t OP_VERIFY_10 = 0x2F;
constexpr uint8_t VERIFY_BYTE_CHECK = 0x02;
constexpr uint8_t SENSE_MISCOMPARE = 0x0E;

std::string Unit(const DiskUnderTest &disk) {
  return "ID " + std::to_string(disk.id) + " LUN " + std::to_string(disk.lun);
}

OperationEnd Worse(OperationEnd a, OperationEnd b) {
  return static_cast<uint8_t>(a) > static_cast<uint8_t>(b) ? a : b;
}

} // namespace

void WorkloadStats::problem(const std::string &line) {
  if (problems.size() < PROBLEMS_KEPT) {
    problems.push_back(line);
  } else {
    problemsDropped++;
  }
}

std::vector<DiskUnderTest> DisksUnderTest(const std::vector<ScanRow> &rows, sim::System &system,
                                          uint64_t seed) {
  std::vector<DiskUnderTest> disks;
  for (const ScanRow &row : rows) {
    if (!row.isDisk()) {
      continue;
    }
    const sim::ScanEntry &entry = row.entry;
    sim::DiskUnit *unit = system.disk(entry.target, entry.lun);
    bool zeroed = unit != nullptr && unit->options().imagePath.empty();
    uint32_t blocks = entry.capacity->lastBlock + 1;
    disks.push_back(DiskUnderTest{entry.target, entry.lun, blocks, row.writeProtected,
                                  DiskShadow(seed, entry.target, entry.lun, blocks, zeroed)});
  }
  return disks;
}

// ------------------------------------------------------------------ exerciser

Exerciser::Exerciser(sim::ClassDriver &classDriver, sim::System &system, const TimingModel &timing,
                     WorkloadStats &stats)
    : classDriver_(classDriver), system_(system), timing_(timing), stats_(stats) {}

sim::CommandResult Exerciser::run(DiskUnderTest &disk, CommandStats &kind,
                                  const std::vector<uint8_t> &cdb, uint32_t dataIn,
                                  const std::vector<uint8_t> &dataOut) {
  uint64_t start = system_.machine().clock.now();
  sim::CommandResult result = classDriver_.command(disk.id, disk.lun, cdb, dataIn, dataOut);
  kind.commands++;
  kind.ns += system_.machine().clock.now() - start;
  if (result.ok()) {
    kind.bytes += result.transferred;
    sim::TransferAgreement agreement;
    if (const sim::Target *target = system_.bus().target(disk.id)) {
      agreement = target->agreement();
    }
    kind.limitNs += timing_.limitNs(result.transferred, agreement);
  }
  return result;
}

void Exerciser::failed(const DiskUnderTest &disk, const char *what, uint32_t lba, uint32_t count,
                       const sim::CommandResult &result) {
  stats_.failedCommands++;
  char text[160];
  std::snprintf(
      text, sizeof(text), "%s: %s of blocks %u-%u failed: SRB status 0x%02X, SCSI status 0x%02X",
      Unit(disk).c_str(), what, lba, lba + count - 1, result.srbStatus, result.scsiStatus);
  std::string line = text;
  if (result.sense) {
    std::snprintf(text, sizeof(text), ", sense %X/%02X/%02X", result.sense->key, result.sense->asc,
                  result.sense->ascq);
    line += text;
  }
  problem(line);
}

void Exerciser::problem(const std::string &line) {
  stats_.problem(context_.empty() ? line : context_ + ": " + line);
}

void Exerciser::checkRead(DiskUnderTest &disk, uint32_t lba, uint32_t count, const uint8_t *data) {
  for (uint32_t bad : disk.shadow.check(lba, count, data, stats_.bytesVerified)) {
    stats_.mismatches++;
    problem(Unit(disk) + " block " + std::to_string(bad) +
            ": the data read differ from the data the disk must hold");
  }
}

OperationEnd Exerciser::readInto(DiskUnderTest &disk, uint32_t lba, uint32_t count,
                                 std::vector<uint8_t> &data) {
  sim::CommandResult result =
      run(disk, stats_.read, sim::Cdb10(OP_READ_10, 0, lba, count), count * DiskShadow::BLOCK, {});
  if (!result.ok()) {
    failed(disk, "READ(10)", lba, count, result);
    return OperationEnd::Failed;
  }
  uint32_t whole = std::min(result.transferred / DiskShadow::BLOCK, count);
  checkRead(disk, lba, whole, result.data.data());
  data = std::move(result.data);
  return result.transferred < result.requested ? OperationEnd::Short : OperationEnd::Complete;
}

OperationEnd Exerciser::read(DiskUnderTest &disk, uint32_t lba, uint32_t count) {
  std::vector<uint8_t> data;
  return readInto(disk, lba, count, data);
}

OperationEnd Exerciser::write(DiskUnderTest &disk, uint32_t lba, uint32_t count) {
  uint32_t generation = disk.shadow.newGeneration();
  std::vector<uint8_t> data(static_cast<size_t>(count) * DiskShadow::BLOCK);
  disk.shadow.fill(lba, count, generation, data.data());
  sim::CommandResult result =
      run(disk, stats_.write, sim::Cdb10(OP_WRITE_10, 0, lba, count), 0, data);
  OperationEnd end = OperationEnd::Complete;
  if (!result.ok()) {
    failed(disk, "WRITE(10)", lba, count, result);
    disk.shadow.mayHaveWritten(lba, count, generation);
    end = OperationEnd::Failed;
  } else {
    uint32_t whole = std::min(result.transferred / DiskShadow::BLOCK, count);
    disk.shadow.wrote(lba, whole, generation);
    if (whole < count) {
      // The disk may have kept a part of a block it did not receive whole.
      disk.shadow.mayHaveWritten(lba + whole, count - whole, generation);
      end = OperationEnd::Short;
    }
  }
  // Whatever the write did, what the disk holds now is read back.
  std::vector<uint8_t> readBack;
  return Worse(end, readInto(disk, lba, count, readBack));
}

OperationEnd Exerciser::verify(DiskUnderTest &disk, uint32_t lba, uint32_t count) {
  std::vector<uint8_t> expected(static_cast<size_t>(count) * DiskShadow::BLOCK);
  OperationEnd end = OperationEnd::Complete;
  if (!disk.shadow.expected(lba, count, expected.data())) {
    // Not every block is known: what a read finds (and checks) is what the
    // disk must compare equal.
    end = readInto(disk, lba, count, expected);
    if (end != OperationEnd::Complete) {
      return end;
    }
  }
  sim::CommandResult result = run(
      disk, stats_.verify, sim::Cdb10(OP_VERIFY_10, VERIFY_BYTE_CHECK, lba, count), 0, expected);
  if (result.ok()) {
    stats_.bytesVerified += result.transferred;
    return result.transferred < result.requested ? OperationEnd::Short : end;
  }
  if (result.sense && result.sense->key == SENSE_MISCOMPARE) {
    // The disk holds something else: find the block.
    uint64_t before = stats_.mismatches;
    std::vector<uint8_t> found;
    readInto(disk, lba, count, found);
    if (stats_.mismatches == before) {
      stats_.mismatches++;
      problem(Unit(disk) + " blocks " + std::to_string(lba) + "-" +
              std::to_string(lba + count - 1) +
              ": VERIFY(10) found a difference that a read does not show");
    }
    return OperationEnd::Complete;
  }
  failed(disk, "VERIFY(10)", lba, count, result);
  return OperationEnd::Failed;
}

// ------------------------------------------------------------------ the plan

std::string CheckWorkload(const WorkloadOptions &workload,
                          const std::vector<DiskUnderTest> &disks) {
  if (disks.empty()) {
    return "no disk answered the scan: there is nothing to run the workload on";
  }
  uint32_t largest = *std::max_element(workload.sizes.begin(), workload.sizes.end());
  for (const DiskUnderTest &disk : disks) {
    if (uint64_t{largest} > uint64_t{disk.blocks} * DiskShadow::BLOCK) {
      return "request size " + BytesText(largest) + " is larger than the disk at " + Unit(disk) +
             " (" + BytesText(uint64_t{disk.blocks} * DiskShadow::BLOCK) + ")";
    }
  }
  bool writable = std::any_of(disks.begin(), disks.end(),
                              [](const DiskUnderTest &disk) { return !disk.readOnly; });
  if (workload.kind == WorkloadKind::Write && !writable) {
    return "every disk is read-only: a write workload has nothing to write to";
  }
  return "";
}

WorkloadPlan::WorkloadPlan(const WorkloadOptions &workload, const std::vector<DiskUnderTest> &disks)
    : workload_(workload), disks_(disks), random_(workload.seed), cursors_(disks.size(), 0) {}

WorkloadKind WorkloadPlan::kindFor(const DiskUnderTest &disk) {
  WorkloadKind kind = workload_.kind;
  if (kind == WorkloadKind::Mix) {
    uint64_t roll = random_.below(100);
    kind = roll < 40 ? WorkloadKind::Read : roll < 80 ? WorkloadKind::Write : WorkloadKind::Verify;
  }
  if (kind == WorkloadKind::Write && disk.readOnly) {
    kind = WorkloadKind::Read;
  }
  return kind;
}

WorkloadPlan::Request WorkloadPlan::next() {
  // A write workload uses only the disks it may write.
  std::vector<size_t> usable;
  for (size_t i = 0; i < disks_.size(); i++) {
    if (workload_.kind != WorkloadKind::Write || !disks_[i].readOnly) {
      usable.push_back(i);
    }
  }
  Request request{};
  bool sequential = workload_.pattern == Pattern::Sequential;
  request.disk = usable[sequential ? made_ % usable.size() : random_.below(usable.size())];
  uint32_t size = workload_.sizes[sequential ? made_ % workload_.sizes.size()
                                             : random_.below(workload_.sizes.size())];
  const DiskUnderTest &disk = disks_[request.disk];
  request.count = size / DiskShadow::BLOCK;
  if (sequential) {
    uint32_t &cursor = cursors_[request.disk];
    if (uint64_t{cursor} + request.count > disk.blocks) {
      cursor = 0;
    }
    request.lba = cursor;
    cursor += request.count;
  } else {
    request.lba = static_cast<uint32_t>(random_.below(disk.blocks - request.count + 1));
  }
  request.kind = kindFor(disk);
  made_++;
  return request;
}

OperationEnd RunRequest(Exerciser &exerciser, std::vector<DiskUnderTest> &disks,
                        const WorkloadPlan::Request &request) {
  DiskUnderTest &disk = disks[request.disk];
  switch (request.kind) {
  case WorkloadKind::Write:
    return exerciser.write(disk, request.lba, request.count);
  case WorkloadKind::Verify:
    return exerciser.verify(disk, request.lba, request.count);
  default:
    return exerciser.read(disk, request.lba, request.count);
  }
}

void RunWorkload(Exerciser &exerciser, std::vector<DiskUnderTest> &disks,
                 const WorkloadOptions &workload, WorkloadStats &stats, Progress &progress) {
  WorkloadPlan plan(workload, disks);
  uint64_t total = workload.bytes ? *workload.bytes : workload.count;
  progress.start("workload", total);
  uint64_t bytes = 0;
  for (uint64_t done = 0;;) {
    if (workload.bytes ? bytes >= *workload.bytes : done >= workload.count) {
      break;
    }
    WorkloadPlan::Request request = plan.next();
    exerciser.setContext("request " + std::to_string(done + 1));
    RunRequest(exerciser, disks, request);
    stats.operations++;
    done++;
    bytes += uint64_t{request.count} * DiskShadow::BLOCK;
    progress.update(workload.bytes ? bytes : done);
  }
  progress.finish();
}

} // namespace kavbench
