#include "waveform.h"

namespace sim {

BusWaveform::BusWaveform(Sink sink, uint32_t initialLines)
    : sink_(std::move(sink)), busLines_(initialLines) {
  set(0);
}

void BusWaveform::add(const BusEvent &event) {
  switch (event.kind) {
  case BusEvent::Kind::Lines:
    drawStepsUntil(event.time);
    busLines_ = event.lines;
    set(event.time);
    break;
  case BusEvent::Kind::Byte:
    drawStepsUntil(event.time);
    while (step_ < HANDSHAKE_STEPS) {
      drawStep(); // a byte sooner than the handshake takes: it ends now
    }
    byteTime_ = event.time;
    byte_ = event.byte;
    step_ = 0;
    drawnLines_ = byte_;
    set(event.time);
    break;
  default:
    break; // the lines show everything else
  }
}

void BusWaveform::finish() {
  while (step_ < HANDSHAKE_STEPS) {
    drawStep();
    set(byteTime_ + step_ * HANDSHAKE_STEP_NS);
  }
  flush();
}

// Draws the handshake steps that fall at or before `time`, each at its own
// moment.
void BusWaveform::drawStepsUntil(uint64_t time) {
  while (step_ < HANDSHAKE_STEPS && byteTime_ + (step_ + 1) * HANDSHAKE_STEP_NS <= time) {
    drawStep();
    set(byteTime_ + step_ * HANDSHAKE_STEP_NS);
  }
}

void BusWaveform::drawStep() {
  step_++;
  switch (step_) {
  case 1:
    drawnLines_ |= line::REQ;
    break;
  case 2:
    drawnLines_ |= line::ACK;
    break;
  case 3:
    drawnLines_ &= ~line::REQ;
    break;
  default:
    drawnLines_ = 0;
    break;
  }
}

void BusWaveform::set(uint64_t time) {
  uint32_t lines = busLines_ | drawnLines_;
  if (pending_ && next_.time != time) {
    flush();
  }
  pending_ = true;
  next_ = LineSample{time, lines};
}

void BusWaveform::flush() {
  if (!pending_) {
    return;
  }
  pending_ = false;
  if (emitted_ && next_.lines == lastLines_) {
    return;
  }
  emitted_ = true;
  lastLines_ = next_.lines;
  sink_(next_);
}

} // namespace sim
