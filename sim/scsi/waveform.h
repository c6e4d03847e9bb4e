// The SCSI bus as a waveform: the level of every line over time, drawn from
// the bus recorder's events as they happen (BusRecorder::setObserver), for
// waveform files and logic-analyser decoders.
//
// Chosen behaviour:
// - BSY, SEL, ATN, MSG, C/D, I/O, RST, ACK held by the initiator and the
//   IDs on the data lines during selection are the bus's ORed lines, taken
//   at every change (BusEvent::Kind::Lines).
// - The bus model moves a byte at one moment without toggling REQ and ACK
//   (bus.h). The waveform draws each byte's handshake after that moment t:
//   the byte on DB0-DB7 from t, REQ asserted at t + 10 ns, ACK at t + 20 ns,
//   REQ released at t + 30 ns, ACK and the data lines at t + 40 ns. The data
//   are stable at both edges of REQ and ACK, so a decoder may clock on
//   either. The chip never moves bytes closer than 100 ns apart, so the
//   handshakes do not overlap; should a byte come sooner all the same, the
//   earlier handshake ends at once.
// - Samples leave in time order, one per moment (changes at the same moment
//   are merged), and only when the lines differ from the previous sample.
//   The first sample is at time 0 with the lines as they are then.
#ifndef KAV_SIM_SCSI_WAVEFORM_H
#define KAV_SIM_SCSI_WAVEFORM_H

#include "bus.h"

#include <cstdint>
#include <functional>

namespace sim {

struct LineSample {
  uint64_t time;
  uint32_t lines; // line:: bits
  bool operator==(const LineSample &other) const {
    return time == other.time && lines == other.lines;
  }
};

class BusWaveform {
public:
  static constexpr uint64_t HANDSHAKE_STEP_NS = 10;
  static constexpr unsigned HANDSHAKE_STEPS = 4;

  using Sink = std::function<void(const LineSample &sample)>;
  // `initialLines`: the bus's lines at time 0.
  explicit BusWaveform(Sink sink, uint32_t initialLines = 0);

  // Feeds one recorder event; events come in time order.
  void add(const BusEvent &event);
  // Draws what is left of the last handshake and hands out the last sample.
  void finish();

private:
  void drawStepsUntil(uint64_t time);
  void drawStep();
  void set(uint64_t time);
  void flush();

  Sink sink_;
  uint32_t busLines_;               // as the bus shows them
  uint32_t drawnLines_ = 0;         // the handshake: REQ, ACK and the byte
  unsigned step_ = HANDSHAKE_STEPS; // steps of the current handshake drawn
  uint64_t byteTime_ = 0;
  uint8_t byte_ = 0;

  bool pending_ = false; // a sample waits for later changes at its moment
  LineSample next_{0, 0};
  bool emitted_ = false;
  uint32_t lastLines_ = 0;
};

} // namespace sim

#endif // KAV_SIM_SCSI_WAVEFORM_H
