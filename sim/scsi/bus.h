// The SCSI bus: the control and data lines that every participant drives,
// ORed together, the hub through which the initiator (the chip) and the
// targets meet, the one scheduler of simulated time for all of them, and a
// recorder of what happened on the bus.
//
// Chosen behaviour:
// - Each participant drives its own set of lines; the bus shows the OR of
//   all of them. A free bus has every line deasserted, so its phase lines
//   (MSG, C/D, I/O) read as 0, the code of DATA OUT.
// - The phase of the bus is MSG, C/D and I/O as bits 2, 1 and 0, the same
//   encoding as the chip's status register.
// - The REQ/ACK handshake of each byte is not toggled line by line: a target
//   shows REQ as a request time (Target::requestAt), the initiator takes or
//   gives the byte and releases ACK by calling the target. REQ is therefore
//   never seen on the lines; ACK is, while the initiator holds a message
//   byte it has not yet accepted.
// - Time: every participant may ask to be woken at one moment. The bus wakes
//   them in time order (ties in the order they were attached) whenever the
//   chip catches up with the machine's clock, that is, at every register
//   access. Nothing happens between accesses, and the same inputs always
//   give the same sequence of events.
// - Runs: with the recorder off, a participant may move the bytes of a data
//   phase that fall before the moment the bus runs to (and before anyone
//   else's wake-up) in one step, with the same bytes, times and end state
//   as one by one. The statistics count them all.
// - The recorder is off by default; then it costs one test per event. It
//   keeps the events in a list, hands them to an observer as they happen, or
//   both. Changes of the ORed lines (Kind::Lines) go to the observer only:
//   the list holds what happened, the observer may also draw the lines
//   (waveform.h).
#ifndef KAV_SIM_SCSI_BUS_H
#define KAV_SIM_SCSI_BUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

constexpr uint64_t NEVER = ~0ull;

// SCSI bus lines, one bit each; bits 0-7 are the data lines.
namespace line {
constexpr uint32_t DATA = 0x00FF;
constexpr uint32_t IO = 1u << 8;
constexpr uint32_t CD = 1u << 9;
constexpr uint32_t MSG = 1u << 10;
constexpr uint32_t REQ = 1u << 11;
constexpr uint32_t ACK = 1u << 12;
constexpr uint32_t ATN = 1u << 13;
constexpr uint32_t SEL = 1u << 14;
constexpr uint32_t BSY = 1u << 15;
constexpr uint32_t RST = 1u << 16;
constexpr uint32_t PHASE = MSG | CD | IO;
constexpr unsigned PHASE_SHIFT = 8;
} // namespace line

// Information transfer phases by their MSG, C/D, I/O code.
enum class Phase : uint8_t {
  DataOut = 0,
  DataIn = 1,
  Command = 2,
  Status = 3,
  Reserved4 = 4,
  Reserved5 = 5,
  MessageOut = 6,
  MessageIn = 7,
};

inline uint32_t phaseLines(Phase phase) {
  return static_cast<uint32_t>(phase) << line::PHASE_SHIFT;
}
// Target to initiator (I/O asserted).
inline bool isInput(Phase phase) {
  return (static_cast<uint8_t>(phase) & 1) != 0;
}
inline bool isDataPhase(Phase phase) {
  return phase == Phase::DataOut || phase == Phase::DataIn;
}
const char *phaseName(Phase phase);

// One thing that happened on the bus, for the recorder.
struct BusEvent {
  enum class Kind : uint8_t {
    Arbitration, // the initiator won the bus
    Selection,   // a target answered selection (byte: 1 with ATN)
    SelectionTimeout,
    Phase,       // a target entered a phase (phase)
    Byte,        // one byte moved (phase, byte)
    BusFree,     // the target released the bus
    Reselection, // a target reselected the initiator (byte: 1 accepted)
    ResetAsserted,
    ResetReleased,
    Lines, // the ORed lines changed (lines); for the observer only
  };
  uint64_t time;
  Kind kind;
  uint8_t target; // 0xFF when no target is concerned
  Phase phase;
  uint8_t byte;
  uint32_t lines = 0;
};

class BusRecorder {
public:
  void setEnabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  // Every event as it happens, line changes included; an empty function
  // ends the observation.
  void setObserver(std::function<void(const BusEvent &)> observer) {
    observer_ = std::move(observer);
    observing_ = static_cast<bool>(observer_);
  }
  bool observing() const { return observing_; }
  void record(const BusEvent &event) {
    if (enabled_) {
      events_.push_back(event);
    }
    if (observing_) {
      observer_(event);
    }
  }
  void recordLines(uint64_t time, uint32_t lines) {
    if (observing_) {
      observer_({time, BusEvent::Kind::Lines, 0xFF, Phase::DataOut, 0, lines});
    }
  }
  const std::vector<BusEvent> &events() const { return events_; }
  void clear() { events_.clear(); }
  // The bytes moved in one phase, in order.
  std::vector<uint8_t> bytes(Phase phase) const;
  // The phases entered, in order.
  std::vector<Phase> phases() const;
  std::string describe(const BusEvent &event) const;

private:
  bool enabled_ = false;
  bool observing_ = false;
  std::vector<BusEvent> events_;
  std::function<void(const BusEvent &)> observer_;
};

// Something that acts on the bus in simulated time.
class BusParticipant {
public:
  virtual ~BusParticipant() = default;
  // Called at the moment asked for with ScsiBus::wakeAt.
  virtual void wake(uint64_t time) = 0;

private:
  friend class ScsiBus;
  uint64_t wakeAt_ = NEVER;
  uint32_t lines_ = 0;
  int slot_ = -1;
};

class Target;
class Initiator;

// Counters the bus keeps whether or not the recorder runs.
struct BusStatistics {
  uint64_t bytes = 0;      // bytes moved in all phases
  uint64_t selections = 0; // selections answered by a target
  uint64_t selectionTimeouts = 0;
  uint64_t resets = 0;
  uint64_t reselections = 0; // reselections the initiator answered
  // Data phases run with a transfer mode the target had not agreed
  // (synchronous against asynchronous, or a period shorter than agreed).
  uint64_t transferModeMismatches = 0;
};

class ScsiBus {
public:
  ScsiBus() = default;
  ScsiBus(const ScsiBus &) = delete;
  ScsiBus &operator=(const ScsiBus &) = delete;

  // ------------------------------------------------------------ participants
  void attachInitiator(Initiator *initiator);
  // A target answers selection for its ID; one target per ID.
  void attachTarget(Target *target);
  // Takes a target off the bus (its lines and its wake-up go with it).
  void detachTarget(Target *target);
  Target *target(uint8_t id) const { return id < 8 ? targets_[id] : nullptr; }
  Initiator *initiator() const { return initiator_; }

  // ------------------------------------------------------------------ lines
  // A participant drives its lines from `time` on.
  void drive(BusParticipant &who, uint32_t lines, uint64_t time);
  uint32_t lines() const { return lines_; }
  bool free() const { return (lines_ & (line::BSY | line::SEL)) == 0; }
  uint8_t phaseCode() const { return (lines_ >> line::PHASE_SHIFT) & 7; }
  bool atn() const { return (lines_ & line::ATN) != 0; }
  bool reset() const { return (lines_ & line::RST) != 0; }

  // ------------------------------------------------------------------- time
  void wakeAt(BusParticipant &who, uint64_t time);
  uint64_t nextEvent() const { return nextEvent_; }
  // Wakes every participant whose time has come, in time order, up to and
  // including `now`.
  void runUntil(uint64_t now);
  // For a participant woken by runUntil: the last moment up to which it may
  // act on its own without calls in between, that is, up to the moment
  // runUntil runs to and before any other participant's wake-up.
  uint64_t runLimit(const BusParticipant &who) const;
  // Whether every byte must be seen one by one (the recorder keeps events
  // or an observer watches), so that no run of bytes may be moved at once.
  bool bytesWatched() const { return recorder.enabled() || recorder.observing(); }

  // -------------------------------------------------- initiator to targets
  // Selection of `targetId` (SEL asserted, ATN as given). Returns false when
  // no target has that ID.
  bool select(uint64_t time, uint8_t targetId, bool atn);
  // The initiator gave up a selection (time-out).
  void abandonSelection(uint8_t targetId);
  // A participant has just asserted or released RST on its lines: every
  // target resets while RST is asserted; the initiator hears of another's RST.
  void resetChanged(uint64_t time, BusParticipant &who);

  // -------------------------------------------------- targets to initiator
  void targetResponded(uint64_t time, Target &target);
  void targetRequest(uint64_t time, Target &target);
  void targetReleased(uint64_t time, Target &target);
  // Returns true when the initiator answers the reselection.
  bool reselect(uint64_t time, Target &target);

  BusRecorder recorder;
  BusStatistics statistics;

private:
  void attach(BusParticipant &who);
  void recomputeNextEvent();

  std::vector<BusParticipant *> participants_;
  Target *targets_[8] = {};
  Initiator *initiator_ = nullptr;
  uint32_t lines_ = 0;
  uint64_t nextEvent_ = NEVER;
  uint64_t runningUntil_ = 0;
};

// What the bus asks of the initiator. The chip implements it.
class Initiator : public BusParticipant {
public:
  virtual uint8_t ownId() const = 0;
  // The selected target asserted BSY.
  virtual void targetResponded(uint64_t time, Target &target) = 0;
  // The connected target changed its request (REQ asserted in a phase).
  virtual void targetRequest(uint64_t time) = 0;
  // The connected target released the bus.
  virtual void targetReleased(uint64_t time) = 0;
  // A target reselects; return true to answer it.
  virtual bool reselected(uint64_t time, Target &target) = 0;
  // Another participant asserted or released RST.
  virtual void busReset(uint64_t time, bool asserted) = 0;
};

} // namespace sim

#endif // KAV_SIM_SCSI_BUS_H
