// A real iSCSI target for the tests: Debian's tgtd on 127.0.0.1 on a free
// port, with its own control port (so that parallel test processes do not
// meet), one target with LUN 1 backed by a temporary image file.
//
// The object owns the daemon: start() launches and configures it, the
// destructor (or stop()) kills it, waits for it and removes what it left
// (its control socket and lock file, the image, the log), also when a test
// fails. Should the test process itself be killed, the daemon is killed
// with it (parent-death signal).
#ifndef KAV_TESTS_TGT_TARGET_H
#define KAV_TESTS_TGT_TARGET_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class TgtTarget {
public:
  static constexpr uint32_t LUN = 1;

  explicit TgtTarget(uint64_t imageBytes = 8 * 1024 * 1024) : imageBytes_(imageBytes) {}
  ~TgtTarget() { stop(); }
  TgtTarget(const TgtTarget &) = delete;
  TgtTarget &operator=(const TgtTarget &) = delete;

  // Why tgt cannot run here at all (not installed, not root), or empty.
  static std::string unavailableReason();
  // Why a test of the iSCSI unit against tgt cannot run in this build on
  // this machine (no libiscsi in the build, or tgt unavailable), or empty.
  static std::string skipReason();

  // Starts the daemon and sets up the target; false with `error` set when
  // that fails.
  bool start(std::string &error);
  // Kills the daemon and removes every file.
  void stop();
  // Kills the daemon only: the image stays to be looked at.
  void stopDaemon();
  bool running() const { return pid_ > 0; }

  std::string url() const;
  std::string iqn() const;
  uint16_t port() const { return port_; }
  uint64_t imageBytes() const { return imageBytes_; }
  const std::string &imagePath() const { return imagePath_; }
  // The image file's bytes as they are on disk now.
  std::vector<uint8_t> readImage(uint64_t offset, size_t length) const;

private:
  bool launch(std::string &error);
  bool waitUntilReady(std::string &error);
  bool configure(std::string &error);
  // Runs tgtadm with this daemon's control port; true when it exits 0.
  bool admin(const std::vector<std::string> &arguments, std::string &error);
  std::string logTail() const;

  uint64_t imageBytes_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  int controlPort_ = 0;
  std::string directory_;
  std::string imagePath_;
  std::string logPath_;
};

#endif // KAV_TESTS_TGT_TARGET_H
