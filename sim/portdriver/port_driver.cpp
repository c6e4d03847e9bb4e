#include "port_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
constexpr uint64_t NANOSECONDS_PER_SECOND = 1000000000ull;
} // namespace

PortDriver::PortDriver(Machine &machine, PortDriverConfig config)
    : machine_(machine), config_(std::move(config)) {}

PortDriver::~PortDriver() = default;

void PortDriver::noActiveDriver() {
  std::fprintf(stderr, "ScsiPort routine called outside a call into the driver\n");
  std::abort();
}

PortDriver::CallScope::CallScope(PortDriver &portDriver)
    : portDriver_(portDriver), previous_(activeDriver_) {
  activeDriver_ = &portDriver;
}

PortDriver::CallScope::~CallScope() {
  portDriver_.checkGuards();
  activeDriver_ = previous_;
}

void PortDriver::violation(std::string what) {
  log_.push_back("violation: " + what);
  violations_.push_back(std::move(what));
}

void PortDriver::checkGuards() {
  if (!deviceExtension_.intact()) {
    violation("write outside the device extension");
  }
  if (!configuration_.intact()) {
    violation("write outside the port configuration");
  }
  if (!accessRangeBuffer_.intact()) {
    violation("write outside the access ranges");
  }
  if (!argumentString_.intact()) {
    violation("write outside the argument string");
  }
  for (auto &[key, extension] : luExtensions_) {
    if (!extension->intact()) {
      violation("write outside the LU extension of target " + std::to_string(key / 8) + " LUN " +
                std::to_string(key % 8));
    }
  }
  for (auto &request : requests_) {
    if (request->started && !request->data.intact()) {
      violation("write outside the data buffer of request " + std::to_string(request->id));
    }
  }
}

// ------------------------------------------------------------------- loading

ULONG PortDriver::load(DriverEntryRoutine driverEntry) {
  CallScope scope(*this);
  return driverEntry(driverObject_, registryPath_);
}

bool PortDriver::checkRegistration(const HW_INITIALIZATION_DATA &data) {
  if (data.HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) {
    log_.push_back("registration rejected: HwInitializationDataSize is " +
                   std::to_string(data.HwInitializationDataSize) + ", expected " +
                   std::to_string(sizeof(HW_INITIALIZATION_DATA)));
    return false;
  }
  struct Required {
    bool present;
    const char *name;
  };
  const Required required[] = {
      {data.HwInitialize != nullptr, "HwInitialize"},
      {data.HwStartIo != nullptr, "HwStartIo"},
      {data.HwFindAdapter != nullptr, "HwFindAdapter"},
      {data.HwResetBus != nullptr, "HwResetBus"},
  };
  for (const Required &routine : required) {
    if (!routine.present) {
      log_.push_back(std::string("registration rejected: no ") + routine.name + " routine");
      return false;
    }
  }
  if (data.AdapterInterfaceType < Internal || data.AdapterInterfaceType >= MaximumInterfaceType) {
    log_.push_back("registration rejected: interface type " +
                   std::to_string(static_cast<int>(data.AdapterInterfaceType)) +
                   " is out of range");
    return false;
  }
  return true;
}

void PortDriver::prepareConfiguration() {
  configuration_.resize(sizeof(PORT_CONFIGURATION_INFORMATION));
  allocatedRanges_ = registration_.NumberOfAccessRanges;
  accessRangeBuffer_.resize(sizeof(ACCESS_RANGE) * allocatedRanges_);

  auto *ranges = reinterpret_cast<ACCESS_RANGE *>(accessRangeBuffer_.data());
  if (allocatedRanges_ > 0) {
    ranges[0].RangeStart.QuadPart = config_.accessRangeStart;
    ranges[0].RangeLength = config_.accessRangeLength;
    ranges[0].RangeInMemory = FALSE;
  }

  auto *info = reinterpret_cast<PORT_CONFIGURATION_INFORMATION *>(configuration_.data());
  info->Length = sizeof(PORT_CONFIGURATION_INFORMATION);
  info->SystemIoBusNumber = config_.systemIoBusNumber;
  info->AdapterInterfaceType = registration_.AdapterInterfaceType;
  info->BusInterruptLevel = config_.busInterruptLevel;
  info->BusInterruptVector = config_.busInterruptVector;
  info->InterruptMode = Latched;
  info->MaximumTransferLength = SP_UNINITIALIZED_VALUE;
  info->NumberOfPhysicalBreaks = SP_UNINITIALIZED_VALUE;
  info->DmaChannel = SP_UNINITIALIZED_VALUE;
  info->DmaPort = SP_UNINITIALIZED_VALUE;
  info->DmaWidth = Width8Bits;
  info->DmaSpeed = Compatible;
  info->AlignmentMask = 0;
  info->NumberOfAccessRanges = registration_.NumberOfAccessRanges;
  info->AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(ranges);
  info->NumberOfBuses = 0;
  for (CCHAR &id : info->InitiatorBusId) {
    id = static_cast<CCHAR>(SP_UNINITIALIZED_VALUE);
  }
  info->MapBuffers = registration_.MapBuffers;
  info->NeedPhysicalAddresses = registration_.NeedPhysicalAddresses;
  info->TaggedQueuing = registration_.TaggedQueuing;
  info->AutoRequestSense = registration_.AutoRequestSense;
  info->MultipleRequestPerLu = registration_.MultipleRequestPerLu;
  info->ReceiveEvent = registration_.ReceiveEvent;
  info->MaximumNumberOfTargets = 8;
  info->DeviceExtensionSize = registration_.DeviceExtensionSize;
  info->SpecificLuExtensionSize = registration_.SpecificLuExtensionSize;
  info->SrbExtensionSize = registration_.SrbExtensionSize;
}

ULONG PortDriver::initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data,
                             PVOID hwContext) {
  (void)argument1;
  (void)argument2;
  if (data == nullptr || !checkRegistration(*data)) {
    return data != nullptr && data->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)
               ? STATUS_REVISION_MISMATCH
               : STATUS_INVALID_PARAMETER;
  }
  if (registered_) {
    log_.push_back("a second ScsiPortInitialize: this machine has one adapter");
    return STATUS_NO_SUCH_DEVICE;
  }
  registration_ = *data;
  hwContext_ = hwContext;
  registered_ = true;
  deviceExtension_.resize(registration_.DeviceExtensionSize);
  prepareConfiguration();

  PCHAR argumentString = nullptr;
  if (config_.argumentString) {
    const std::string &text = *config_.argumentString;
    argumentString_.resize(text.size() + 1);
    std::memcpy(argumentString_.data(), text.c_str(), text.size() + 1);
    argumentString = reinterpret_cast<PCHAR>(argumentString_.data());
  }

  BOOLEAN again = TRUE; // the driver must say whether to call it again
  {
    CallScope scope(*this);
    findAdapterResult_ = registration_.HwFindAdapter(
        deviceExtension_.data(), hwContext_, nullptr, argumentString,
        reinterpret_cast<PPORT_CONFIGURATION_INFORMATION>(configuration_.data()), &again);
  }
  again_ = again;
  if (findAdapterResult_ != SP_RETURN_FOUND) {
    log_.push_back("find-adapter returned " + std::to_string(findAdapterResult_) + ": no adapter");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (again_) {
    log_.push_back("find-adapter asked to be called again: this machine has one adapter");
  }
  if (config_.skipInitialize) {
    return STATUS_SUCCESS;
  }

  initializeCalled_ = true;
  {
    CallScope scope(*this);
    initializeResult_ = registration_.HwInitialize(deviceExtension_.data());
  }
  settleCompletions();
  if (!initializeResult_) {
    log_.push_back("initialise failed: the adapter is not used");
    return STATUS_ADAPTER_INIT_FAILED;
  }
  ready_ = true;
  return STATUS_SUCCESS;
}

const PORT_CONFIGURATION_INFORMATION &PortDriver::configuration() const {
  return *reinterpret_cast<const PORT_CONFIGURATION_INFORMATION *>(configuration_.data());
}

const ACCESS_RANGE *PortDriver::accessRanges() const {
  return reinterpret_cast<const ACCESS_RANGE *>(accessRangeBuffer_.data());
}

// ------------------------------------------------------------ ScsiPort calls

PVOID PortDriver::getDeviceBase(INTERFACE_TYPE busType, ULONG busNumber,
                                SCSI_PHYSICAL_ADDRESS address, ULONG length, BOOLEAN inIoSpace) {
  (void)busType;
  (void)busNumber;
  uint32_t physical = address.u.LowPart;
  void *mapped = nullptr;
  if (inIoSpace) {
    if (!config_.failIoMapping) {
      // On the PC an I/O "mapping" is the port number itself.
      mapped = reinterpret_cast<void *>(static_cast<uintptr_t>(physical));
    }
  } else if (!config_.failMemoryMapping) {
    mapped = machine_.memory(physical, length);
    if (mapped == nullptr) {
      floatingPages_.push_back(std::make_unique<std::vector<uint8_t>>(length, 0xFF));
      mapped = floatingPages_.back()->data();
    }
  }
  PortEvent event{PortEvent::Kind::Mapping, machine_.clock.now()};
  event.address = physical;
  event.length = length;
  event.ioSpace = inIoSpace != FALSE;
  event.mapped = mapped;
  events_.push_back(event);
  return mapped;
}

PVOID PortDriver::getLogicalUnit(UCHAR pathId, UCHAR targetId, UCHAR lun) {
  if (pathId != 0 || targetId >= 8 || lun >= 8) {
    return nullptr;
  }
  int key = targetId * 8 + lun;
  auto &extension = luExtensions_[key];
  if (!extension) {
    extension = std::make_unique<GuardedBuffer>(registration_.SpecificLuExtensionSize);
  }
  return extension->data();
}

void *PortDriver::existingLuExtension(uint8_t target, uint8_t lun) {
  auto found = luExtensions_.find(target * 8 + lun);
  return found == luExtensions_.end() ? nullptr : found->second->data();
}

void PortDriver::notify(SCSI_NOTIFICATION_TYPE type, PSCSI_REQUEST_BLOCK srb) {
  PortEvent event{PortEvent::Kind::Notification, machine_.clock.now()};
  event.notification = type;
  event.srb = srb;
  events_.push_back(event);
  switch (type) {
  case RequestComplete: {
    Request *request = findOutstanding(srb);
    if (request == nullptr) {
      violation("RequestComplete for an SRB that is not outstanding");
      return;
    }
    markCompleted(*request, false);
    break;
  }
  case NextRequest:
    ready_ = true;
    break;
  default:
    break;
  }
}

void PortDriver::completeRequest(UCHAR pathId, UCHAR targetId, UCHAR lun, UCHAR srbStatus) {
  PortEvent event{PortEvent::Kind::CompleteRequest, machine_.clock.now()};
  event.pathId = pathId;
  event.targetId = targetId;
  event.lun = lun;
  event.srbStatus = srbStatus;
  events_.push_back(event);
  for (auto &request : requests_) {
    const SCSI_REQUEST_BLOCK &srb = request->srb;
    bool matches = srb.PathId == pathId && (targetId == 0xFF || srb.TargetId == targetId) &&
                   (lun == 0xFF || srb.Lun == lun);
    if (request->started && !request->completed && matches) {
      request->srb.SrbStatus = srbStatus;
      markCompleted(*request, false);
    }
  }
}

void PortDriver::logError(PSCSI_REQUEST_BLOCK srb, UCHAR pathId, UCHAR targetId, UCHAR lun,
                          ULONG errorCode, ULONG uniqueId) {
  PortEvent event{PortEvent::Kind::LogError, machine_.clock.now()};
  event.srb = srb;
  event.pathId = pathId;
  event.targetId = targetId;
  event.lun = lun;
  event.errorCode = errorCode;
  event.uniqueId = uniqueId;
  events_.push_back(event);
  log_.push_back("error log: code " + std::to_string(errorCode) + " target " +
                 std::to_string(targetId) + " LUN " + std::to_string(lun));
}

void PortDriver::stall(ULONG microseconds) {
  machine_.clock.advance(microseconds * 1000ull);
}

std::vector<PortEvent> PortDriver::eventsOf(PortEvent::Kind kind) const {
  std::vector<PortEvent> matching;
  for (const PortEvent &event : events_) {
    if (event.kind == kind) {
      matching.push_back(event);
    }
  }
  return matching;
}

// ------------------------------------------------------------------ requests

Request *PortDriver::findOutstanding(PSCSI_REQUEST_BLOCK srb) {
  for (auto &request : requests_) {
    if (&request->srb == srb) {
      if (request->completed) {
        violation("request " + std::to_string(request->id) + " completed twice");
        return nullptr;
      }
      return request->started ? request.get() : nullptr;
    }
  }
  return nullptr;
}

void PortDriver::markCompleted(Request &request, bool byPortDriver) {
  request.completed = true;
  request.completedByPortDriver = byPortDriver;
  request.completionTime = machine_.clock.now();
  completedThisCall_.push_back(&request);
}

void PortDriver::settleCompletions() {
  for (Request *request : completedThisCall_) {
    request->status = request->srb.SrbStatus;
    if (request->status == SRB_STATUS_PENDING) {
      violation("request " + std::to_string(request->id) + " completed with status pending");
    }
  }
  completedThisCall_.clear();
}

std::vector<Request *> PortDriver::outstanding() {
  std::vector<Request *> list;
  for (auto &request : requests_) {
    if (request->started && !request->completed) {
      list.push_back(request.get());
    }
  }
  return list;
}

void PortDriver::callStartIo(Request &request) {
  request.started = true;
  request.startTime = machine_.clock.now();
  request.deadline = request.startTime + request.srb.TimeOutValue * NANOSECONDS_PER_SECOND;
  ready_ = false;
  {
    CallScope scope(*this);
    registration_.HwStartIo(deviceExtension_.data(), &request.srb);
  }
  settleCompletions();
}

void PortDriver::resetBusAfterTimeout() {
  std::vector<Request *> waiting = outstanding();
  if (!waiting.empty()) {
    uint64_t deadline = waiting.front()->deadline;
    if (machine_.clock.now() < deadline) {
      machine_.clock.advance(deadline - machine_.clock.now());
    }
    timeouts_++;
    log_.push_back("request " + std::to_string(waiting.front()->id) +
                   " timed out: resetting the bus");
  }
  busResets_++;
  {
    CallScope scope(*this);
    registration_.HwResetBus(deviceExtension_.data(), 0);
  }
  settleCompletions();
  for (Request *request : outstanding()) {
    log_.push_back("request " + std::to_string(request->id) +
                   " still outstanding after the bus reset: completed as timed out");
    request->srb.SrbStatus = SRB_STATUS_TIMEOUT;
    markCompleted(*request, true);
  }
  settleCompletions();
  ready_ = true;
}

void PortDriver::expireOldestRequest() {
  resetBusAfterTimeout();
}

Request &PortDriver::start(const RequestOrder &order) {
  auto request = std::make_unique<Request>();
  request->id = nextRequestId_++;
  request->requestedLength = order.dataLength;
  request->data.resize(order.dataLength);
  std::copy_n(order.dataOut.begin(), std::min<size_t>(order.dataOut.size(), order.dataLength),
              request->data.data());

  SCSI_REQUEST_BLOCK &srb = request->srb;
  srb.Length = sizeof(SCSI_REQUEST_BLOCK);
  srb.Function = order.function;
  srb.PathId = order.pathId;
  srb.TargetId = order.targetId;
  srb.Lun = order.lun;
  srb.CdbLength = static_cast<UCHAR>(std::min<size_t>(order.cdb.size(), sizeof(srb.Cdb)));
  std::copy_n(order.cdb.begin(), srb.CdbLength, srb.Cdb);
  srb.SrbFlags = order.srbFlags;
  srb.DataTransferLength = order.dataLength;
  srb.TimeOutValue = order.timeoutSeconds;
  srb.DataBuffer = order.dataLength ? request->data.data() : nullptr;
  srb.NextSrb = order.nextSrb;
  srb.QueueTag = SP_UNTAGGED;

  Request &started = *request;
  requests_.push_back(std::move(request));
  if (!ready_) {
    // No NextRequest yet: the port driver holds the request until the
    // outstanding one times out and the bus has been reset.
    resetBusAfterTimeout();
  }
  callStartIo(started);
  return started;
}

Request &PortDriver::execute(const RequestOrder &order) {
  Request &request = start(order);
  while (!request.completed) {
    resetBusAfterTimeout();
  }
  return request;
}

void PortDriver::forgetCompleted() {
  requests_.erase(
      std::remove_if(requests_.begin(), requests_.end(),
                     [](const std::unique_ptr<Request> &request) { return request->completed; }),
      requests_.end());
}

void PortDriver::forget(const Request &request) {
  requests_.erase(std::remove_if(requests_.begin(), requests_.end(),
                                 [&](const std::unique_ptr<Request> &held) {
                                   return held.get() == &request && held->completed;
                                 }),
                  requests_.end());
}

} // namespace sim
