// A target that plays an exact list of bus steps, for protocol cases: every
// time it is selected it answers and then plays the list from the top, with
// no command set and no message handling of its own.
//
// Chosen behaviour:
// - Send steps put their bytes on the bus in their phase; receive steps take
//   the given number of bytes from the initiator and keep them.
// - A stall step asserts its phase and never asks for a byte.
// - A list longer than the sequencer's capacity is cut; the cut is counted as
//   a script overflow.
// - A list that ends without bus free leaves the target connected, silent.
// - A reselect step, right after a bus free, tries to reselect the initiator
//   (`reselectAttempts` times, `reselectRetryNs` apart); once answered the
//   target holds MESSAGE IN and plays the rest of the list. The steps after
//   a bus free play only behind such a step: without one they are dropped,
//   and a reselect step while connected is passed over.
// - setSteps replaces the list from the next selection on, so that one
//   target can play a different list for every request.
#ifndef KAV_SIM_SCSI_SCRIPTED_TARGET_H
#define KAV_SIM_SCSI_SCRIPTED_TARGET_H

#include "target.h"

#include <vector>

namespace sim {

struct ScriptStep {
  enum class Kind : uint8_t { Send, Receive, Stall, BusFree, Reselect };
  Kind kind = Kind::Send;
  Phase phase = Phase::DataOut;
  std::vector<uint8_t> bytes; // send
  uint32_t count = 0;         // receive
  uint64_t delayNs = 1'000;

  static ScriptStep send(Phase phase, std::vector<uint8_t> bytes, uint64_t delayNs = 1'000);
  static ScriptStep receive(Phase phase, uint32_t count, uint64_t delayNs = 1'000);
  static ScriptStep stall(Phase phase, uint64_t delayNs = 1'000);
  static ScriptStep busFree(uint64_t delayNs = 500);
  static ScriptStep reselect(uint64_t delayNs = 1'000'000);
};

class ScriptedTarget : public Target {
public:
  ScriptedTarget(ScsiBus &bus, uint8_t id, std::vector<ScriptStep> steps,
                 TargetOptions options = {});

  // The list played from the next selection on.
  void setSteps(std::vector<ScriptStep> steps) { steps_ = std::move(steps); }
  // The bytes taken in one phase during the latest connection, in order.
  std::vector<uint8_t> received(Phase phase) const;
  uint64_t connections() const { return connections_; }

protected:
  void beginConnection(uint64_t time, bool atn) override;
  void stepEnded(uint64_t time, const BusStep &step) override;

private:
  struct Placed {
    Phase phase;
    uint32_t offset;
    uint32_t length;
    bool received;
  };
  std::vector<ScriptStep> steps_;
  std::vector<Placed> placed_;
  uint64_t connections_ = 0;
};

} // namespace sim

#endif // KAV_SIM_SCSI_SCRIPTED_TARGET_H
