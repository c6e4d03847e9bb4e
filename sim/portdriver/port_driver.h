// Our stand-in for the host's SCSI port driver (ScsiPort). It loads a
// miniport by calling its DriverEntry, checks the registration data, builds
// the port configuration, calls find-adapter and initialise, and then feeds
// the driver requests one at a time, the way the NT 4.0 port driver does.
//
// Chosen behaviour:
// - Registration data is rejected as a real port driver would: a wrong
//   HwInitializationDataSize gives STATUS_REVISION_MISMATCH; a missing
//   find-adapter, initialise, start-I/O or reset routine, or an interface
//   type out of range, gives STATUS_INVALID_PARAMETER. The reason is logged.
// - The device extension, the LU extensions, the port configuration, the
//   access ranges, the argument string and every request's data buffer are
//   zeroed allocations with guard zones; the guards are checked after every
//   call into the driver, and a damaged guard is recorded as a violation.
// - The argument string is copied so that its terminating NUL is the last
//   byte before a guard zone: a read past it is caught by the sanitizers.
// - LU extensions are allocated zeroed on first lookup for targets and LUNs
//   0 to 7 of path 0; any other address gives NULL.
// - I/O-space mappings return the port number itself as the address. Memory
//   mappings return the host pointer of the machine's memory region, or a
//   page of floating bus (all 0xFF) owned by the port driver.
// - Notifications are recorded during a call and acted on after it returns.
//   An SRB's status is read only when the start-I/O call has returned.
//   Completing a request that is not outstanding, or completing it twice, is
//   a violation.
// - A new request reaches the driver only after NextRequest. When the driver
//   gives none, the port driver waits (in simulated time) until the oldest
//   outstanding request's time-out expires and calls the reset-bus routine,
//   which is expected to complete everything with SRB_STATUS_BUS_RESET. A
//   request still outstanding after that reset is completed by the port
//   driver with SRB_STATUS_TIMEOUT, and the driver is taken to be ready
//   again, so that no request is ever lost.
#ifndef KAV_SIM_PORT_DRIVER_H
#define KAV_SIM_PORT_DRIVER_H

#include "guarded_buffer.h"
#include "machine.h"
#include "scsiport.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr ULONG STATUS_SUCCESS = 0x00000000;
constexpr ULONG STATUS_INVALID_PARAMETER = 0xC000000D;
constexpr ULONG STATUS_REVISION_MISMATCH = 0xC0000059;
constexpr ULONG STATUS_NO_SUCH_DEVICE = 0xC000000E;
constexpr ULONG STATUS_ADAPTER_INIT_FAILED = 0xC0000001; // the driver's initialise failed

struct PortDriverConfig {
  // The option string passed to find-adapter; absent when not set.
  std::optional<std::string> argumentString;
  // The adapter's first access range as the host's configuration gives it.
  uint32_t accessRangeStart = 0x340;
  uint32_t accessRangeLength = 0x10;
  uint32_t systemIoBusNumber = 0;
  // What the port driver reports before find-adapter: no interrupt, no DMA.
  uint32_t busInterruptLevel = 0;
  uint32_t busInterruptVector = 0;
  // Make ScsiPortGetDeviceBase fail (return NULL) for one kind of space.
  bool failIoMapping = false;
  bool failMemoryMapping = false;
  // Stop after find-adapter without calling initialise.
  bool skipInitialize = false;
};

// One thing the driver told the port driver, in the order it happened.
struct PortEvent {
  enum class Kind { Notification, CompleteRequest, LogError, Mapping };
  Kind kind;
  uint64_t time;
  SCSI_NOTIFICATION_TYPE notification = RequestComplete;
  PSCSI_REQUEST_BLOCK srb = nullptr;
  uint8_t pathId = 0, targetId = 0, lun = 0, srbStatus = 0;
  uint32_t errorCode = 0, uniqueId = 0;
  // Mapping: address asked for, length, I/O space, result.
  uint32_t address = 0, length = 0;
  bool ioSpace = false;
  void *mapped = nullptr;
};

struct RequestOrder {
  uint8_t function = SRB_FUNCTION_EXECUTE_SCSI;
  uint8_t pathId = 0, targetId = 0, lun = 0;
  std::vector<uint8_t> cdb;
  uint32_t srbFlags = 0;
  uint32_t dataLength = 0;      // size of the data buffer
  std::vector<uint8_t> dataOut; // initial buffer contents (for writes)
  uint32_t timeoutSeconds = 10;
  PSCSI_REQUEST_BLOCK nextSrb = nullptr; // the request an abort names
};

struct Request {
  uint64_t id = 0;
  SCSI_REQUEST_BLOCK srb{};
  GuardedBuffer data;
  uint32_t requestedLength = 0;
  bool started = false;
  bool completed = false;
  bool completedByPortDriver = false; // time-out not resolved by the driver
  uint8_t status = 0;                 // SrbStatus as read after the call
  uint64_t startTime = 0, completionTime = 0;
  uint64_t deadline = 0;
};

class PortDriver {
public:
  using DriverEntryRoutine = ULONG(NTAPI *)(PVOID, PVOID);

  PortDriver(Machine &machine, PortDriverConfig config);
  ~PortDriver();
  PortDriver(const PortDriver &) = delete;
  PortDriver &operator=(const PortDriver &) = delete;

  // Calls the driver's DriverEntry and returns its status.
  ULONG load(DriverEntryRoutine driverEntry);

  // --------------------------------------------------------- requests
  // Starts a request as soon as the driver is ready for one (waiting for
  // time-outs as the port driver does). It may be left outstanding.
  Request &start(const RequestOrder &order);
  // Starts a request and waits until it has been completed.
  Request &execute(const RequestOrder &order);
  // Lets the oldest outstanding request time out and resets the bus.
  void expireOldestRequest();
  // Frees the records of completed requests (long workloads); references to
  // them become invalid.
  void forgetCompleted();
  // Frees the record of one completed request.
  void forget(const Request &request);
  bool driverReady() const { return ready_; }
  std::vector<Request *> outstanding();
  uint64_t busResets() const { return busResets_; }
  uint64_t timeouts() const { return timeouts_; }

  // --------------------------------------------------------- what is seen
  bool registered() const { return registered_; }
  ULONG findAdapterResult() const { return findAdapterResult_; }
  bool initializeCalled() const { return initializeCalled_; }
  BOOLEAN initializeResult() const { return initializeResult_; }
  BOOLEAN again() const { return again_; }
  const HW_INITIALIZATION_DATA &registration() const { return registration_; }
  const PORT_CONFIGURATION_INFORMATION &configuration() const;
  // The access ranges as the port driver allocated them (the registered count).
  const ACCESS_RANGE *accessRanges() const;
  uint32_t allocatedAccessRanges() const { return allocatedRanges_; }
  const PortDriverConfig &config() const { return config_; }

  void *deviceExtension() { return deviceExtension_.data(); }
  size_t deviceExtensionSize() const { return deviceExtension_.size(); }
  // The LU extension of a unit, or nullptr when none was allocated yet.
  void *existingLuExtension(uint8_t target, uint8_t lun);

  const std::vector<PortEvent> &events() const { return events_; }
  void clearEvents() { events_.clear(); }
  std::vector<PortEvent> eventsOf(PortEvent::Kind kind) const;
  const std::vector<std::string> &log() const { return log_; }
  const std::vector<std::string> &violations() const { return violations_; }

  Machine &machine() { return machine_; }

  // --------------------------------------------------------- ScsiPort
  // The routines behind the ScsiPort* entry points.
  static PortDriver &active() {
    if (activeDriver_ == nullptr) {
      noActiveDriver();
    }
    return *activeDriver_;
  }
  ULONG initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data, PVOID hwContext);
  PVOID getDeviceBase(INTERFACE_TYPE busType, ULONG busNumber, SCSI_PHYSICAL_ADDRESS address,
                      ULONG length, BOOLEAN inIoSpace);
  PVOID getLogicalUnit(UCHAR pathId, UCHAR targetId, UCHAR lun);
  void notify(SCSI_NOTIFICATION_TYPE type, PSCSI_REQUEST_BLOCK srb);
  void completeRequest(UCHAR pathId, UCHAR targetId, UCHAR lun, UCHAR srbStatus);
  void logError(PSCSI_REQUEST_BLOCK srb, UCHAR pathId, UCHAR targetId, UCHAR lun, ULONG errorCode,
                ULONG uniqueId);
  void stall(ULONG microseconds);

  // Makes this port driver the one the ScsiPort* entry points reach for as
  // long as it lives, and checks the guards when it ends. Every call into
  // the driver is made inside one.
  class CallScope {
  public:
    explicit CallScope(PortDriver &portDriver);
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

  private:
    PortDriver &portDriver_;
    PortDriver *previous_;
  };

private:
  // The port driver whose call into the driver is running (inline: every
  // port access of the driver goes through it).
  static inline thread_local PortDriver *activeDriver_ = nullptr;
  [[noreturn]] static void noActiveDriver();

  bool checkRegistration(const HW_INITIALIZATION_DATA &data);
  void prepareConfiguration();
  void callStartIo(Request &request);
  void resetBusAfterTimeout();
  void settleCompletions();
  void markCompleted(Request &request, bool byPortDriver);
  Request *findOutstanding(PSCSI_REQUEST_BLOCK srb);
  void checkGuards();
  void violation(std::string what);

  Machine &machine_;
  PortDriverConfig config_;

  bool registered_ = false;
  HW_INITIALIZATION_DATA registration_{};
  PVOID hwContext_ = nullptr;
  ULONG findAdapterResult_ = SP_RETURN_NOT_FOUND;
  BOOLEAN again_ = FALSE;
  bool initializeCalled_ = false;
  BOOLEAN initializeResult_ = FALSE;

  GuardedBuffer deviceExtension_;
  GuardedBuffer configuration_;
  GuardedBuffer accessRangeBuffer_;
  uint32_t allocatedRanges_ = 0;
  GuardedBuffer argumentString_;
  std::map<int, std::unique_ptr<GuardedBuffer>> luExtensions_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> floatingPages_;
  uint8_t driverObject_[64] = {};
  uint8_t registryPath_[64] = {};

  std::deque<std::unique_ptr<Request>> requests_;
  std::vector<Request *> completedThisCall_;
  uint64_t nextRequestId_ = 1;
  bool ready_ = false;
  uint64_t busResets_ = 0;
  uint64_t timeouts_ = 0;

  std::vector<PortEvent> events_;
  std::vector<std::string> log_;
  std::vector<std::string> violations_;
};

} // namespace sim

#endif // KAV_SIM_PORT_DRIVER_H
