#include "tgt_target.h"

#include "iscsi_unit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

constexpr int START_ATTEMPTS = 3;
constexpr auto READY_LIMIT = std::chrono::seconds(10);
constexpr auto ADMIN_LIMIT = std::chrono::seconds(10);
constexpr auto POLL_PAUSE = std::chrono::milliseconds(10);
constexpr uint32_t TARGET_ID = 1;

// An executable by name, looked up in PATH and the sbin directories (tgtd
// lives in /usr/sbin, which a user's PATH may lack).
std::string FindProgram(const std::string &name) {
  std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) {
      end = path.size();
    }
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

// A TCP port on 127.0.0.1 that nobody listens on right now; 0 if none.
uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Listening(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

// Starts `program` with `arguments`, stdout and stderr appended to
// `logPath`. The child dies with this process.
pid_t Spawn(const std::string &program, const std::vector<std::string> &arguments,
            const std::string &logPath) {
  std::vector<char *> argv;
  for (const std::string &argument : arguments) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t child = fork();
  if (child != 0) {
    return child;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) {
    _exit(127);
  }
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  int none = open("/dev/null", O_RDONLY);
  if (log >= 0 && none >= 0) {
    dup2(none, STDIN_FILENO);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Waits for a child at most `limit`; kills it when it overstays. Returns
// its exit status, or -1 when it did not exit on its own.
int WaitBounded(pid_t child, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(POLL_PAUSE);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ControlSocket(int controlPort) {
  return "/var/run/tgtd/socket." + std::to_string(controlPort);
}

} // namespace

std::string TgtTarget::unavailableReason() {
  if (FindProgram("tgtd").empty() || FindProgram("tgtadm").empty()) {
    return "tgt is not installed (apt-get install tgt)";
  }
  if (geteuid() != 0) {
    return "tgtd needs root";
  }
  return "";
}

std::string TgtTarget::skipReason() {
  if (!sim::IscsiSupported()) {
    return sizeof(void *) == 4
               ? "the 32-bit tree has no libiscsi (install libiscsi-dev:i386 to run this)"
               : "this build has no libiscsi (apt-get install libiscsi-dev)";
  }
  return unavailableReason();
}

std::string TgtTarget::iqn() const {
  return "iqn.2024-01.sim.kav:tgt-" + std::to_string(port_);
}

std::string TgtTarget::url() const {
  return "iscsi://127.0.0.1:" + std::to_string(port_) + "/" + iqn() + "/" + std::to_string(LUN);
}

bool TgtTarget::start(std::string &error) {
  std::string reason = unavailableReason();
  if (!reason.empty()) {
    error = reason;
    return false;
  }
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kav-tgt-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    error = "cannot create a directory for the image: " + std::string(std::strerror(errno));
    return false;
  }
  directory_ = buffer.data();
  imagePath_ = directory_ + "/lun.img";
  logPath_ = directory_ + "/tgtd.log";
  int image = open(imagePath_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  bool sized = image >= 0 && ftruncate(image, static_cast<off_t>(imageBytes_)) == 0;
  if (image >= 0) {
    close(image);
  }
  if (!sized) {
    error = "cannot create the image file " + imagePath_;
    stop();
    return false;
  }
  // A port taken between our look and tgtd's bind: try another.
  for (int attempt = 0; attempt < START_ATTEMPTS; attempt++) {
    if (launch(error) && waitUntilReady(error)) {
      if (configure(error)) {
        return true;
      }
      break;
    }
    stopDaemon();
  }
  stop();
  return false;
}

bool TgtTarget::launch(std::string &error) {
  port_ = FreePort();
  if (port_ == 0) {
    error = "no free TCP port on 127.0.0.1";
    return false;
  }
  // tgtd takes control ports 1 to 32767 (0 is the system's own daemon).
  controlPort_ = 1 + port_ % 32767;
  pid_ = Spawn(FindProgram("tgtd"),
               {"tgtd", "-f", "-C", std::to_string(controlPort_), "--iscsi",
                "portal=127.0.0.1:" + std::to_string(port_)},
               logPath_);
  if (pid_ < 0) {
    error = "cannot start tgtd: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

bool TgtTarget::waitUntilReady(std::string &error) {
  const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "tgtd ended at start: " + logTail();
      return false;
    }
    std::string ignored;
    if (admin({"--mode", "sys", "--op", "show"}, ignored)) {
      if (Listening(port_)) {
        return true;
      }
      error = "tgtd does not listen on 127.0.0.1:" + std::to_string(port_);
      return false;
    }
    std::this_thread::sleep_for(POLL_PAUSE);
  }
  error = "tgtd did not answer on its control port: " + logTail();
  return false;
}

bool TgtTarget::configure(std::string &error) {
  const std::string tid = std::to_string(TARGET_ID);
  return admin({"--lld", "iscsi", "--mode", "target", "--op", "new", "--tid", tid, "--targetname",
                iqn()},
               error) &&
         admin({"--lld", "iscsi", "--mode", "logicalunit", "--op", "new", "--tid", tid, "--lun",
                std::to_string(LUN), "--backing-store", imagePath_},
               error) &&
         admin({"--lld", "iscsi", "--mode", "target", "--op", "bind", "--tid", tid,
                "--initiator-address", "ALL"},
               error);
}

bool TgtTarget::admin(const std::vector<std::string> &arguments, std::string &error) {
  std::vector<std::string> command = {"tgtadm", "-C", std::to_string(controlPort_)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  pid_t child = Spawn(FindProgram("tgtadm"), command, logPath_);
  if (child < 0) {
    error = "cannot start tgtadm: " + std::string(std::strerror(errno));
    return false;
  }
  int status = WaitBounded(child, ADMIN_LIMIT);
  if (status != 0) {
    std::string line;
    for (const std::string &argument : arguments) {
      line += " " + argument;
    }
    error = "tgtadm" + line + " failed: " + logTail();
    return false;
  }
  return true;
}

std::string TgtTarget::logTail() const {
  std::ifstream log(logPath_);
  std::string line, last;
  while (std::getline(log, line)) {
    if (!line.empty()) {
      last = line;
    }
  }
  return last.empty() ? "(no output)" : last;
}

void TgtTarget::stopDaemon() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (controlPort_ != 0) {
    unlink(ControlSocket(controlPort_).c_str());
    unlink((ControlSocket(controlPort_) + ".lock").c_str());
    controlPort_ = 0;
  }
}

void TgtTarget::stop() {
  stopDaemon();
  if (!directory_.empty()) {
    unlink(imagePath_.c_str());
    unlink(logPath_.c_str());
    rmdir(directory_.c_str());
    directory_.clear();
  }
}

std::vector<uint8_t> TgtTarget::readImage(uint64_t offset, size_t length) const {
  std::vector<uint8_t> bytes(length, 0);
  std::ifstream image(imagePath_, std::ios::binary);
  image.seekg(static_cast<std::streamoff>(offset));
  image.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(image.gcount()));
  return bytes;
}
