#include "scripted_target.h"

namespace sim {

ScriptStep ScriptStep::send(Phase phase, std::vector<uint8_t> bytes, uint64_t delayNs) {
  ScriptStep step;
  step.kind = Kind::Send;
  step.phase = phase;
  step.bytes = std::move(bytes);
  step.delayNs = delayNs;
  return step;
}

ScriptStep ScriptStep::receive(Phase phase, uint32_t count, uint64_t delayNs) {
  ScriptStep step;
  step.kind = Kind::Receive;
  step.phase = phase;
  step.count = count;
  step.delayNs = delayNs;
  return step;
}

ScriptStep ScriptStep::stall(Phase phase, uint64_t delayNs) {
  ScriptStep step;
  step.kind = Kind::Stall;
  step.phase = phase;
  step.delayNs = delayNs;
  return step;
}

ScriptStep ScriptStep::busFree(uint64_t delayNs) {
  ScriptStep step;
  step.kind = Kind::BusFree;
  step.delayNs = delayNs;
  return step;
}

ScriptStep ScriptStep::reselect(uint64_t delayNs) {
  ScriptStep step;
  step.kind = Kind::Reselect;
  step.delayNs = delayNs;
  return step;
}

ScriptedTarget::ScriptedTarget(ScsiBus &bus, uint8_t id, std::vector<ScriptStep> steps,
                               TargetOptions options)
    : Target(bus, id, std::move(options)), steps_(std::move(steps)) {}

void ScriptedTarget::beginConnection(uint64_t time, bool atn) {
  (void)atn;
  connections_++;
  data_.clear();
  placed_.clear();
  bool freed = false; // the latest step freed the bus
  for (const ScriptStep &step : steps_) {
    bool reselecting = step.kind == ScriptStep::Kind::Reselect;
    if (freed && !reselecting) {
      break; // nothing plays on a bus the target has left
    }
    if (reselecting && !freed) {
      continue; // still connected: nothing to reselect
    }
    freed = step.kind == ScriptStep::Kind::BusFree;
    BusStep bus;
    switch (step.kind) {
    case ScriptStep::Kind::Send:
    case ScriptStep::Kind::Receive: {
      uint32_t offset = static_cast<uint32_t>(data_.size());
      bool receiving = step.kind == ScriptStep::Kind::Receive;
      uint32_t length = receiving ? step.count : static_cast<uint32_t>(step.bytes.size());
      if (receiving) {
        data_.resize(data_.size() + length, 0);
      } else {
        data_.insert(data_.end(), step.bytes.begin(), step.bytes.end());
      }
      placed_.push_back(Placed{step.phase, offset, length, receiving});
      bus = fromData(step.phase, offset, length, step.delayNs);
      break;
    }
    case ScriptStep::Kind::Stall:
      bus = transfer(step.phase, step.delayNs);
      bus.kind = StepKind::Stall;
      break;
    case ScriptStep::Kind::BusFree:
      bus = special(StepKind::BusFree, step.delayNs);
      break;
    case ScriptStep::Kind::Reselect:
      bus = special(StepKind::Reselect, step.delayNs);
      break;
    }
    push(bus);
  }
  scheduleNextStep(time);
}

void ScriptedTarget::stepEnded(uint64_t time, const BusStep &step) {
  (void)time;
  (void)step;
}

std::vector<uint8_t> ScriptedTarget::received(Phase phase) const {
  std::vector<uint8_t> bytes;
  for (const Placed &place : placed_) {
    if (place.received && place.phase == phase) {
      bytes.insert(bytes.end(), data_.begin() + place.offset,
                   data_.begin() + place.offset + place.length);
    }
  }
  return bytes;
}

} // namespace sim
