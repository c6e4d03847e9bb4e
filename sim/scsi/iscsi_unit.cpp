// The iSCSI unit on libiscsi. Commands use libiscsi's asynchronous calls
// with one small wait loop of our own: the completion a callback writes to
// is a member of the unit, so a callback that comes late (when a failed
// session is torn down) still finds it alive, and every wait is bounded.
#include "iscsi_unit.h"

#include "command_transfer.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

constexpr Sense COMMUNICATION_FAILURE{0x04, 0x08, 0x00};
constexpr uint32_t DEFAULT_BLOCK_SIZE = 512;
constexpr uint8_t SERVICE_ACTION_READ_CAPACITY16 = 0x10;
constexpr int POLL_SLICE_MS = 100;
constexpr uint32_t LOGOUT_LIMIT_MS = 2'000; // a polite goodbye, not worth a long wait

// What a libiscsi callback reports.
struct Completion {
  bool finished = false;
  int status = 0;
};

void Complete(iscsi_context *context, int status, void *commandData, void *privateData) {
  (void)context;
  (void)commandData;
  auto *completion = static_cast<Completion *>(privateData);
  completion->finished = true;
  completion->status = status;
}

// libiscsi's messages may span lines; ours are one line.
std::string OneLine(const char *text) {
  std::string line = text != nullptr ? text : "";
  std::replace(line.begin(), line.end(), '\n', ' ');
  while (!line.empty() && line.back() == ' ') {
    line.pop_back();
  }
  return line;
}

// What a socket's poll events tell of its end: its error, a close by the
// peer, or nothing.
std::string SocketState(int fd, short events) {
  if ((events & (POLLERR | POLLHUP)) != 0) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
      return std::strerror(error);
    }
  }
  if ((events & (POLLRDHUP | POLLHUP)) != 0) {
    return "the connection was closed by the other end";
  }
  return "";
}

uint32_t BigEndian32(const uint8_t *bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Key, ASC and ASCQ of fixed-format (0x70, 0x71) or descriptor-format
// (0x72, 0x73) sense data; NO SENSE for anything else.
Sense SenseOf(const std::vector<uint8_t> &bytes) {
  if (bytes.empty()) {
    return sense::NO_SENSE;
  }
  uint8_t code = bytes[0] & 0x7F;
  if ((code == 0x70 || code == 0x71) && bytes.size() >= 14) {
    return Sense{static_cast<uint8_t>(bytes[2] & 0x0F), bytes[12], bytes[13]};
  }
  if ((code == 0x72 || code == 0x73) && bytes.size() >= 4) {
    return Sense{static_cast<uint8_t>(bytes[1] & 0x0F), bytes[2], bytes[3]};
  }
  return sense::NO_SENSE;
}

// The sense bytes of a CHECK CONDITION answer: libiscsi keeps the response's
// data segment, a two-byte length followed by the sense data.
std::vector<uint8_t> SenseBytesOf(const scsi_task &task) {
  if (task.datain.data == nullptr || task.datain.size < 2) {
    return {};
  }
  size_t length = static_cast<size_t>(task.datain.data[0]) << 8 | task.datain.data[1];
  length = std::min({length, static_cast<size_t>(task.datain.size) - 2, size_t{255}});
  return std::vector<uint8_t>(task.datain.data + 2, task.datain.data + 2 + length);
}

class LibiscsiUnit final : public IscsiUnit {
public:
  explicit LibiscsiUnit(const IscsiOptions &options) : options_(options) {}
  ~LibiscsiUnit() override { close(); }
  LibiscsiUnit(const LibiscsiUnit &) = delete;
  LibiscsiUnit &operator=(const LibiscsiUnit &) = delete;

  // Logs in; on failure `error` says why.
  bool connect(const std::string &url, std::string &error);

  const char *commandName(uint8_t operationCode) const override {
    return TransferCommandName(operationCode);
  }
  Outcome execute(const uint8_t *cdb, std::vector<uint8_t> &data) override;
  Outcome finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                        uint32_t received) override;

  uint32_t blockSize() const override { return blockSize_; }
  bool online() const override { return context_ != nullptr && lastError_.empty(); }
  const std::string &lastError() const override { return lastError_; }
  uint64_t forwardedCommands() const override { return forwarded_; }

private:
  Outcome forward(const uint8_t *cdb, int direction, uint8_t *buffer, uint32_t bytes);
  Outcome answerOf(const scsi_task &task, int direction, uint32_t bytes);
  void learnBlockSize(const uint8_t *cdb, const uint8_t *data, uint32_t received);
  bool waitFor(const Completion &completion, uint32_t timeoutMs, std::string &why);
  Outcome goOffline(const std::string &why);
  void close();

  IscsiOptions options_;
  iscsi_context *context_ = nullptr;
  int lun_ = 0;
  uint32_t blockSize_ = DEFAULT_BLOCK_SIZE;
  uint64_t forwarded_ = 0;
  std::string lastError_;
  Completion connected_; // the login's callback may come again at teardown
  Completion command_;
  Completion loggedOut_;
};

bool LibiscsiUnit::connect(const std::string &url, std::string &error) {
  context_ = iscsi_create_context(options_.initiatorName.c_str());
  if (context_ == nullptr) {
    error = "cannot create an iSCSI context for " + options_.initiatorName;
    return false;
  }
  iscsi_url *parsed = iscsi_parse_full_url(context_, url.c_str());
  if (parsed == nullptr) {
    error = "not an iSCSI URL (iscsi://HOST[:PORT]/IQN/LUN): " + OneLine(iscsi_get_error(context_));
    return false;
  }
  lun_ = parsed->lun;
  iscsi_set_targetname(context_, parsed->target);
  if (parsed->user[0] != '\0') {
    iscsi_set_initiator_username_pwd(context_, parsed->user, parsed->passwd);
  }
  iscsi_set_session_type(context_, ISCSI_SESSION_NORMAL);
  iscsi_set_header_digest(context_, ISCSI_HEADER_DIGEST_NONE_CRC32C);
  iscsi_set_noautoreconnect(context_, 1);
  std::string portal = parsed->portal;
  iscsi_destroy_url(parsed);

  std::string why;
  if (iscsi_full_connect_async(context_, portal.c_str(), lun_, Complete, &connected_) != 0) {
    why = OneLine(iscsi_get_error(context_));
  } else if (!waitFor(connected_, options_.timeoutMs, why)) {
    // why says it
  } else if (connected_.status != SCSI_STATUS_GOOD) {
    why = OneLine(iscsi_get_error(context_));
  }
  if (!why.empty()) {
    error = "cannot connect to " + url + ": " + why;
    return false;
  }
  // The block size, from the LUN's own READ CAPACITY.
  const uint8_t readCapacity[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> answer;
  execute(readCapacity, answer);
  if (!online()) {
    error = "cannot connect to " + url + ": " + lastError_;
    return false;
  }
  return true;
}

Outcome LibiscsiUnit::execute(const uint8_t *cdb, std::vector<uint8_t> &data) {
  CommandTransfer transfer = TransferOf(cdb, blockSize_);
  if (!transfer.known()) {
    return Outcome::check(sense::INVALID_COMMAND_OPERATION_CODE);
  }
  if (transfer.bytes > MAX_TRANSFER_BYTES) {
    return Outcome::check(sense::INVALID_FIELD_IN_CDB);
  }
  uint32_t bytes = static_cast<uint32_t>(transfer.bytes);
  switch (transfer.direction) {
  case TransferDirection::None:
    return forward(cdb, SCSI_XFER_NONE, nullptr, 0);
  case TransferDirection::Out:
    return Outcome::dataOut(bytes); // sent in finishDataOut
  case TransferDirection::In:
    data.assign(bytes, 0);
    return forward(cdb, SCSI_XFER_READ, data.data(), bytes);
  }
  return Outcome::check(sense::INVALID_COMMAND_OPERATION_CODE);
}

Outcome LibiscsiUnit::finishDataOut(const uint8_t *cdb, const std::vector<uint8_t> &data,
                                    uint32_t received) {
  received = std::min(received, static_cast<uint32_t>(data.size()));
  // libiscsi only reads a data-out buffer.
  return forward(cdb, SCSI_XFER_WRITE, const_cast<uint8_t *>(data.data()), received);
}

Outcome LibiscsiUnit::forward(const uint8_t *cdb, int direction, uint8_t *buffer, uint32_t bytes) {
  if (!online()) {
    return Outcome::check(COMMUNICATION_FAILURE);
  }
  uint8_t command[16] = {};
  uint8_t length = CdbLengthOf(cdb[0]);
  std::memcpy(command, cdb, length);
  scsi_task *task = scsi_create_task(length, command, direction, static_cast<int>(bytes));
  if (task == nullptr) {
    return goOffline("cannot create a SCSI task");
  }
  if (direction == SCSI_XFER_READ && bytes > 0) {
    scsi_task_add_data_in_buffer(task, static_cast<int>(bytes), buffer);
  }
  iscsi_data out{bytes, buffer};
  command_ = Completion{};
  forwarded_++;
  std::string why;
  if (iscsi_scsi_command_async(context_, lun_, task, Complete,
                               direction == SCSI_XFER_WRITE && bytes > 0 ? &out : nullptr,
                               &command_) != 0) {
    why = OneLine(iscsi_get_error(context_));
  } else if (!waitFor(command_, options_.timeoutMs, why)) {
    // why says it
  } else if (command_.status < 0 || command_.status > 0xFF) {
    why = "the command ended without a status: " + OneLine(iscsi_get_error(context_));
  }
  if (!why.empty()) {
    // The session goes first: it may still hold the task.
    Outcome offline = goOffline(why);
    scsi_free_scsi_task(task);
    return offline;
  }
  Outcome outcome = answerOf(*task, direction, bytes);
  scsi_free_scsi_task(task);
  if (outcome.kind == Outcome::Kind::DataIn) {
    learnBlockSize(cdb, buffer, outcome.length);
  }
  return outcome;
}

Outcome LibiscsiUnit::answerOf(const scsi_task &task, int direction, uint32_t bytes) {
  Outcome outcome;
  outcome.status = static_cast<uint8_t>(command_.status);
  if (direction == SCSI_XFER_READ) {
    uint32_t missing = 0;
    if (task.residual_status == SCSI_RESIDUAL_UNDERFLOW) {
      missing = static_cast<uint32_t>(std::min<size_t>(task.residual, bytes));
    }
    outcome.kind = Outcome::Kind::DataIn;
    outcome.length = bytes - missing;
  }
  if (outcome.status == scsi_status::CHECK_CONDITION) {
    outcome.senseData = SenseBytesOf(task);
    outcome.sense = SenseOf(outcome.senseData);
  }
  return outcome;
}

// READ CAPACITY(10) and (16) answers carry the block size.
void LibiscsiUnit::learnBlockSize(const uint8_t *cdb, const uint8_t *data, uint32_t received) {
  uint32_t size = 0;
  if (cdb[0] == 0x25 && received >= 8) {
    size = BigEndian32(data + 4);
  } else if (cdb[0] == 0x9E && (cdb[1] & 0x1F) == SERVICE_ACTION_READ_CAPACITY16 &&
             received >= 12) {
    size = BigEndian32(data + 8);
  }
  if (size != 0) {
    blockSize_ = size;
  }
}

bool LibiscsiUnit::waitFor(const Completion &completion, uint32_t timeoutMs, std::string &why) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!completion.finished) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      why = "no answer within " + std::to_string(timeoutMs) + " ms";
      return false;
    }
    // POLLRDHUP as well: a peer that closes says so, which libiscsi's own
    // words after a failure do not.
    pollfd descriptor{iscsi_get_fd(context_),
                      static_cast<short>(iscsi_which_events(context_) | POLLRDHUP), 0};
    int ready = poll(&descriptor, 1, static_cast<int>(std::min<long long>(left, POLL_SLICE_MS)));
    if (ready < 0 && errno != EINTR) {
      why = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    short events = ready > 0 ? descriptor.revents : 0;
    std::string socketState = SocketState(descriptor.fd, events);
    if (iscsi_service(context_, events & ~POLLRDHUP) < 0) {
      why = !socketState.empty() ? socketState : OneLine(iscsi_get_error(context_));
      return false;
    }
  }
  return true;
}

Outcome LibiscsiUnit::goOffline(const std::string &why) {
  lastError_ = why.empty() ? "the connection failed" : why;
  if (context_ != nullptr) {
    iscsi_destroy_context(context_); // cancels what is outstanding
    context_ = nullptr;
  }
  return Outcome::check(COMMUNICATION_FAILURE);
}

void LibiscsiUnit::close() {
  if (context_ == nullptr) {
    return;
  }
  if (online() && iscsi_is_logged_in(context_) &&
      iscsi_logout_async(context_, Complete, &loggedOut_) == 0) {
    std::string why;
    waitFor(loggedOut_, std::min(options_.timeoutMs, LOGOUT_LIMIT_MS), why);
  }
  iscsi_destroy_context(context_);
  context_ = nullptr;
}

} // namespace

bool IscsiSupported() {
  return true;
}

IscsiConnection ConnectIscsiUnit(const std::string &url, const IscsiOptions &options) {
  auto unit = std::make_unique<LibiscsiUnit>(options);
  IscsiConnection connection;
  if (unit->connect(url, connection.error)) {
    connection.unit = std::move(unit);
  }
  return connection;
}

} // namespace sim
