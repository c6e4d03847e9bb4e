// Hostile targets. The fuzzer's bytes choose what a scripted target at ID 1
// does on the bus while our port driver keeps submitting requests to it.
//
//   byte 0     setup: bit 0 holds the target to asynchronous transfer (option
//              "/AS1": every selection carries the command); bit 7 lets the
//              input have its one slow step; the other bits are not used
//   then, for each request (at most MAX_REQUESTS):
//   byte       bits 0-2 the request (RequestKind); bit 3 the SRB disables
//              synchronous transfer; bits 4-6 the LUN; bit 7 the SRB disables
//              disconnection
//   2 bytes    the data buffer's size (little-endian, modulo MAX_BUFFER + 1)
//   byte       the number of bus steps that follow (modulo MAX_STEPS + 1)
//   steps      each one op byte, bits 0-2 the phase (the reserved codes 4
//              and 5 too), bits 3-5 the step (StepOp), bits 6-7 the delay
//              before it (DELAYS), then the step's own bytes
// Missing bytes read 0. The target plays the request's steps from the top
// at each selection, and frees the bus after the last (steps past its
// sequencer's capacity are dropped). A stall or a long delay is a slow step:
// see below. So is a reserved phase, which the driver waits out; without
// the slow step left it plays as the phase with bit 2 clear.
//
// A wait the driver polls out to POLL_LIMIT costs a tenth of a second of host
// time, a hundred times an ordinary request. The fuzz tree therefore builds
// the driver with a bound of 16,384 reads (the harness scales its own times
// with drv::POLL_LIMIT), and an input still gets at most one stall or long
// delay, only with bit 7 of its setup byte (others play as a short delay, or
// not at all); no further request is started once a start-I/O call has
// polled that long; buffers and runs of bytes are kept short. The machine
// starts with a bus reset in place of initialise, whose five-second settle
// would cost as much.
//
// Invariants, after every call into the driver: no write outside the
// driver's records and the request buffers (the port driver's guard zones),
// no broken request discipline (double or pending completion); every start-I/O
// call returns within CALL_LIMIT_NS of simulated time; a selection time-out
// is reported only with the bus free (else the bus would stay held, every
// later request a selection time-out); a completed request has a status the
// driver may report for its function and a DataTransferLength no larger than
// asked; a data-out buffer (which a target's DATA IN must not fill) and the
// SRB's request fields are as the port driver set them. At the end: every request
// has been completed, by the driver or by its bus reset after the port
// driver's time-out (never by the port driver itself), and after one more
// bus reset a well-behaved target is served again: TEST UNIT READY, a read
// and a write succeed with their bytes exact.
#include "fas408.h"
#include "flavour_under_test.h"
#include "harness.h"
#include "system.h"

#include <algorithm>

namespace fuzz::KAV_NS {

namespace {

using sim::Phase;
using sim::ScriptStep;

constexpr uint8_t TARGET_ID = 1;
constexpr size_t MAX_REQUESTS = 6;
constexpr size_t MAX_STEPS = 28;
constexpr uint32_t MAX_BUFFER = 1024;
constexpr uint32_t MAX_RUN = 2048; // bytes of one run or receive step
// One wait that runs out: POLL_LIMIT reads of 255 ns.
constexpr uint64_t POLL_LIMIT_NS = uint64_t{drv::POLL_LIMIT} * 255;
constexpr uint64_t SLOW_CALL_NS = POLL_LIMIT_NS / 2;      // a call that polled to a limit
constexpr uint64_t CALL_LIMIT_NS = POLL_LIMIT_NS * 70;    // five minutes at the real bound
constexpr uint64_t LONG_DELAY_NS = POLL_LIMIT_NS * 6 / 5; // past a wait
constexpr uint64_t DELAYS[4] = {1'000, 0, 200'000, LONG_DELAY_NS};
constexpr uint8_t SETUP_ASYNC_ONLY = 0x01;
constexpr uint8_t SETUP_SLOW_STEP = 0x80;

enum class RequestKind : uint8_t {
  TestUnitReady,
  Inquiry,
  Read10,
  Write10,
  Abort,
  DeviceReset,
  BusReset,
  Flush, // a function the driver refuses
};

enum class StepOp : uint8_t {
  SendBytes, // a length byte, then that many bytes from the input
  SendRun,   // 2 bytes length, 1 byte value: that many copies
  Receive,   // 2 bytes count
  BusFree,   //
  Reselect,  // after a bus free: come back
  Stall,     // the phase's lines, never a REQ
  Ending,    // 1 byte status: STATUS, COMMAND COMPLETE, bus free
  Opening,   // the message-out and command bytes this request sends
};

class Input {
public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t word() {
    uint32_t low = byte();
    return low | uint32_t{byte()} << 8;
  }

private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// What the driver sends at the selection of the next request.
struct Opening {
  uint32_t messageBytes = 1;
  uint32_t commandBytes = 0;
};

// The one slow step an input may have.
struct SlowBudget {
  bool left;
  bool take() {
    bool had = left;
    left = false;
    return had;
  }
};

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed * 2654435761u + 7;
  for (uint8_t &byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

void AddOpening(std::vector<ScriptStep> &steps, const Opening &opening, uint64_t delayNs) {
  steps.push_back(ScriptStep::receive(Phase::MessageOut, opening.messageBytes, delayNs));
  if (opening.commandBytes != 0) {
    steps.push_back(ScriptStep::receive(Phase::Command, opening.commandBytes));
  }
}

void AddEnding(std::vector<ScriptStep> &steps, uint8_t status, uint64_t delayNs) {
  steps.push_back(ScriptStep::send(Phase::Status, {status}, delayNs));
  steps.push_back(ScriptStep::send(Phase::MessageIn, {0x00})); // COMMAND COMPLETE
  steps.push_back(ScriptStep::busFree());
}

void ReadStep(Input &in, std::vector<ScriptStep> &steps, const Opening &opening, SlowBudget &slow) {
  uint8_t op = in.byte();
  StepOp kind = static_cast<StepOp>((op >> 3) & 7);
  Phase phase = static_cast<Phase>(op & 7);
  bool reserved = phase == Phase::Reserved4 || phase == Phase::Reserved5;
  if (reserved && kind <= StepOp::Receive && !slow.take()) {
    phase = static_cast<Phase>(op & 3); // the driver waits out a reserved phase
  }
  uint64_t delay = DELAYS[op >> 6];
  if (delay == LONG_DELAY_NS && !slow.take()) {
    delay = DELAYS[2];
  }
  switch (kind) {
  case StepOp::SendBytes: {
    std::vector<uint8_t> bytes(in.byte());
    for (uint8_t &byte : bytes) {
      byte = in.byte();
    }
    steps.push_back(ScriptStep::send(phase, std::move(bytes), delay));
    break;
  }
  case StepOp::SendRun: {
    uint32_t length = in.word() % (MAX_RUN + 1);
    steps.push_back(ScriptStep::send(phase, std::vector<uint8_t>(length, in.byte()), delay));
    break;
  }
  case StepOp::Receive:
    steps.push_back(ScriptStep::receive(phase, in.word() % (MAX_RUN + 1), delay));
    break;
  case StepOp::BusFree:
    steps.push_back(ScriptStep::busFree(delay));
    break;
  case StepOp::Reselect:
    steps.push_back(ScriptStep::reselect(delay));
    break;
  case StepOp::Stall:
    if (slow.take()) {
      steps.push_back(ScriptStep::stall(phase, delay));
    }
    break;
  case StepOp::Ending:
    AddEnding(steps, in.byte(), delay);
    break;
  case StepOp::Opening:
    AddOpening(steps, opening, delay);
    break;
  }
}

// ------------------------------------------------------------- requests

struct Submitted {
  RequestKind kind;
  sim::Request *request;
  sim::RequestOrder order;
};

sim::RequestOrder OrderFor(RequestKind kind, uint8_t lun, uint32_t srbFlags, uint32_t size,
                           PSCSI_REQUEST_BLOCK previous) {
  sim::RequestOrder order;
  order.targetId = TARGET_ID;
  order.lun = lun;
  order.srbFlags = srbFlags;
  uint8_t blocks = static_cast<uint8_t>((size + 511) / 512);
  switch (kind) {
  case RequestKind::TestUnitReady:
    order.cdb = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    order.srbFlags |= SRB_FLAGS_NO_DATA_TRANSFER;
    break;
  case RequestKind::Inquiry:
    order.cdb = {0x12, 0x00, 0x00, 0x00, static_cast<uint8_t>(std::min<uint32_t>(size, 255)), 0};
    order.srbFlags |= SRB_FLAGS_DATA_IN;
    order.dataLength = size;
    break;
  case RequestKind::Read10:
    order.cdb = {0x28, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, blocks, 0x00};
    order.srbFlags |= SRB_FLAGS_DATA_IN;
    order.dataLength = size;
    break;
  case RequestKind::Write10:
    order.cdb = {0x2A, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, blocks, 0x00};
    order.srbFlags |= SRB_FLAGS_DATA_OUT;
    order.dataLength = size;
    order.dataOut = Pattern(size, size);
    break;
  case RequestKind::Abort:
    order.function = SRB_FUNCTION_ABORT_COMMAND;
    order.nextSrb = previous;
    break;
  case RequestKind::DeviceReset:
    order.function = SRB_FUNCTION_RESET_DEVICE;
    break;
  case RequestKind::BusReset:
    order.function = SRB_FUNCTION_RESET_BUS;
    break;
  case RequestKind::Flush:
    order.function = 0x08; // SRB_FUNCTION_FLUSH
    break;
  }
  return order;
}

// The message-out and command bytes the driver will send for the request.
Opening OpeningFor(const drv::HW_DEVICE_EXTENSION &ext, const sim::RequestOrder &order) {
  Opening opening;
  switch (order.function) {
  case SRB_FUNCTION_EXECUTE_SCSI: {
    bool offer = ext.AsyncOnly[TARGET_ID] != 1 && ext.SdtrSent[TARGET_ID][order.lun & 7] == 0 &&
                 (order.srbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER) == 0;
    opening.messageBytes = offer ? 6 : 1;
    opening.commandBytes = static_cast<uint32_t>(order.cdb.size());
    break;
  }
  case SRB_FUNCTION_ABORT_COMMAND:
    opening.messageBytes = 2; // IDENTIFY, ABORT
    break;
  default:
    opening.messageBytes = 1; // BUS DEVICE RESET
    break;
  }
  return opening;
}

bool StatusAllowed(RequestKind kind, uint8_t status) {
  switch (kind) {
  case RequestKind::BusReset:
    return status == SRB_STATUS_SUCCESS;
  case RequestKind::Flush:
    return status == SRB_STATUS_INVALID_REQUEST;
  case RequestKind::Abort:
    return status == SRB_STATUS_ABORT_FAILED || status == SRB_STATUS_BUS_RESET;
  default:
    return status == SRB_STATUS_SUCCESS || status == SRB_STATUS_ERROR ||
           status == SRB_STATUS_BUSY || status == SRB_STATUS_SELECTION_TIMEOUT ||
           status == SRB_STATUS_BUS_RESET;
  }
}

std::string Named(const Submitted &s) {
  static const char *const NAMES[] = {"TEST UNIT READY", "INQUIRY",      "READ(10)",  "WRITE(10)",
                                      "abort",           "device reset", "bus reset", "flush"};
  return std::string("request ") + std::to_string(s.request->id) + " (" +
         NAMES[static_cast<int>(s.kind)] + ")";
}

// What may be checked of a request at any time.
void CheckRequest(Findings &findings, const Submitted &s) {
  const sim::Request &r = *s.request;
  const SCSI_REQUEST_BLOCK &srb = r.srb;
  std::string name = Named(s);
  Check(findings, srb.DataTransferLength <= r.requestedLength,
        name + ": DataTransferLength grew to " + std::to_string(srb.DataTransferLength));
  if (r.completed) {
    Check(findings, StatusAllowed(s.kind, r.status),
          name + ": completed with SRB status " + std::to_string(r.status));
    Check(findings, !r.completedByPortDriver,
          name + ": neither the driver nor its bus reset completed it");
  }
  if (s.kind == RequestKind::Write10) {
    Check(findings, std::equal(s.order.dataOut.begin(), s.order.dataOut.end(), r.data.data()),
          name + ": the data-out buffer changed");
  }
  bool same = srb.Function == s.order.function && srb.TargetId == s.order.targetId &&
              srb.Lun == s.order.lun && srb.SrbFlags == s.order.srbFlags &&
              srb.CdbLength == s.order.cdb.size() &&
              std::equal(s.order.cdb.begin(), s.order.cdb.end(), srb.Cdb) &&
              srb.DataBuffer == (s.order.dataLength ? r.data.data() : nullptr);
  Check(findings, same, name + ": the SRB's request fields changed");
}

class Run {
public:
  explicit Run(bool asyncOnly) : system_(Config(asyncOnly)) {
    target_ = &system_.addScriptedTarget(TARGET_ID, {});
    system_.load(drv::DriverEntry);
    // The bus reset stands in for initialise: the same reset sequence and
    // chip programming, without the five-second settle.
    port().expireOldestRequest();
  }

  sim::PortDriver &port() { return system_.portDriver(); }
  drv::HW_DEVICE_EXTENSION &ext() {
    return *static_cast<drv::PHW_DEVICE_EXTENSION>(port().deviceExtension());
  }
  sim::ScriptedTarget &target() { return *target_; }
  bool busHeld() { return (system_.bus().lines() & sim::line::BSY) != 0; }
  uint64_t now() { return system_.machine().clock.now(); }

  void checkPortDriver(Findings &findings, const std::string &when) {
    const std::vector<std::string> &violations = port().violations();
    for (; reported_ < violations.size(); reported_++) {
      findings.push_back(when + ": port driver: " + violations[reported_]);
    }
  }

private:
  static sim::SystemConfig Config(bool asyncOnly) {
    sim::SystemConfig config =
        sim::SystemConfig::forFlavour(kIs95 ? sim::Flavour::Kav95 : sim::Flavour::KavNt);
    config.portDriver.skipInitialize = true;
    if (asyncOnly) {
      config.options = "/AS1";
    }
    return config;
  }

  sim::System system_;
  sim::ScriptedTarget *target_ = nullptr;
  size_t reported_ = 0;
};

// Starts one request; returns the simulated time its start-I/O call took.
uint64_t Submit(Findings &findings, Run &run, std::vector<Submitted> &submitted,
                const Submitted &order) {
  sim::Request &request = run.port().start(order.order);
  uint64_t took = run.now() - request.startTime;
  submitted.push_back(order);
  submitted.back().request = &request;
  const std::string name = Named(submitted.back());
  run.checkPortDriver(findings, name);
  Check(findings, took <= CALL_LIMIT_NS,
        name + ": start-I/O held the processor for " + std::to_string(took / 1'000'000) + " ms");
  // A selection time-out says no target answered. Said of a bus a target
  // holds, it would be said of every later request too, with no bus reset
  // to end it.
  Check(findings,
        !(request.completed && request.status == SRB_STATUS_SELECTION_TIMEOUT) || !run.busHeld(),
        name + ": a selection time-out on a bus the target holds");
  for (const Submitted &s : submitted) {
    CheckRequest(findings, s);
  }
  return took;
}

// After a bus reset, a target that behaves is served again, bytes exact.
void CheckServedAgain(Findings &findings, Run &run) {
  struct Good {
    RequestKind kind;
    uint32_t size;
  };
  // A block and a tail each way.
  const Good goods[] = {
      {RequestKind::TestUnitReady, 0}, {RequestKind::Read10, 130}, {RequestKind::Write10, 70}};
  for (const Good &good : goods) {
    sim::RequestOrder order = OrderFor(good.kind, 0, 0, good.size, nullptr);
    std::vector<ScriptStep> steps;
    AddOpening(steps, OpeningFor(run.ext(), order), 1'000);
    std::vector<uint8_t> in = Pattern(good.size, 99);
    if (good.kind == RequestKind::Read10) {
      steps.push_back(ScriptStep::send(Phase::DataIn, in));
    } else if (good.kind == RequestKind::Write10) {
      steps.push_back(ScriptStep::receive(Phase::DataOut, good.size));
    }
    AddEnding(steps, 0x00, 1'000);
    run.target().setSteps(steps);
    sim::Request &request = run.port().start(order);
    std::string name = std::string("after the bus reset, ") +
                       (good.kind == RequestKind::TestUnitReady ? "TEST UNIT READY"
                        : good.kind == RequestKind::Read10      ? "READ(10)"
                                                                : "WRITE(10)");
    run.checkPortDriver(findings, name);
    bool served = request.completed && request.status == SRB_STATUS_SUCCESS &&
                  request.srb.DataTransferLength == good.size;
    Check(findings, served,
          name + ": " +
              (request.completed ? "status " + std::to_string(request.status)
                                 : std::string("not completed")));
    if (!served) {
      return;
    }
    if (good.kind == RequestKind::Read10) {
      Check(findings, std::equal(in.begin(), in.end(), request.data.data()),
            name + ": the bytes read differ");
    } else if (good.kind == RequestKind::Write10) {
      Check(findings, run.target().received(Phase::DataOut) == order.dataOut,
            name + ": the bytes written differ");
    }
  }
}

} // namespace

Findings RunInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  uint8_t setup = in.byte();
  Run run((setup & SETUP_ASYNC_ONLY) != 0);
  Findings findings;
  run.checkPortDriver(findings, "start-up");

  std::vector<Submitted> submitted;
  SlowBudget slow{(setup & SETUP_SLOW_STEP) != 0};
  for (size_t n = 0; n < MAX_REQUESTS && !in.empty(); n++) {
    uint8_t choice = in.byte();
    Submitted next;
    next.kind = static_cast<RequestKind>(choice & 7);
    uint32_t srbFlags = (choice & 0x08 ? SRB_FLAGS_DISABLE_SYNCH_TRANSFER : 0) |
                        (choice & 0x80 ? SRB_FLAGS_DISABLE_DISCONNECT : 0);
    uint8_t lun = (choice >> 4) & 7;
    uint32_t bufferSize = in.word() % (MAX_BUFFER + 1);
    PSCSI_REQUEST_BLOCK previous = submitted.empty() ? nullptr : &submitted.back().request->srb;
    next.order = OrderFor(next.kind, lun, srbFlags, bufferSize, previous);

    Opening opening = OpeningFor(run.ext(), next.order);
    std::vector<ScriptStep> steps;
    size_t count = in.byte() % (MAX_STEPS + 1);
    for (size_t i = 0; i < count; i++) {
      ReadStep(in, steps, opening, slow);
    }
    // The list ends with a bus free (a target that stays silent is a stall
    // step), which the target's sequencer must have room for.
    if (steps.size() >= sim::StepScript::CAPACITY) {
      steps.resize(sim::StepScript::CAPACITY - 1);
    }
    steps.push_back(ScriptStep::busFree());
    run.target().setSteps(std::move(steps));
    if (Submit(findings, run, submitted, next) > SLOW_CALL_NS) {
      break; // one long wait per input
    }
  }

  // Whatever is left outstanding times out; the bus reset returns it.
  run.port().expireOldestRequest();
  run.checkPortDriver(findings, "the final bus reset");
  for (const Submitted &s : submitted) {
    CheckRequest(findings, s);
    Check(findings, s.request->completed, Named(s) + ": never completed");
  }
  CheckServedAgain(findings, run);
  return findings;
}

} // namespace fuzz::KAV_NS
