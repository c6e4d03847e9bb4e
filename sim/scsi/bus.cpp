#include "bus.h"

#include "target.h"

#include <cstdio>

namespace sim {

const char *phaseName(Phase phase) {
  static const char *const names[8] = {"DATA OUT",   "DATA IN",    "COMMAND",     "STATUS",
                                       "reserved 4", "reserved 5", "MESSAGE OUT", "MESSAGE IN"};
  return names[static_cast<uint8_t>(phase) & 7];
}

// ------------------------------------------------------------------ recorder

std::vector<uint8_t> BusRecorder::bytes(Phase phase) const {
  std::vector<uint8_t> result;
  for (const BusEvent &event : events_) {
    if (event.kind == BusEvent::Kind::Byte && event.phase == phase) {
      result.push_back(event.byte);
    }
  }
  return result;
}

std::vector<Phase> BusRecorder::phases() const {
  std::vector<Phase> result;
  for (const BusEvent &event : events_) {
    if (event.kind == BusEvent::Kind::Phase) {
      result.push_back(event.phase);
    }
  }
  return result;
}

std::string BusRecorder::describe(const BusEvent &event) const {
  char text[96];
  const char *what = "";
  switch (event.kind) {
  case BusEvent::Kind::Arbitration:
    what = "arbitration won";
    break;
  case BusEvent::Kind::Selection:
    what = event.byte ? "selected with ATN" : "selected";
    break;
  case BusEvent::Kind::SelectionTimeout:
    what = "selection time-out";
    break;
  case BusEvent::Kind::Phase:
    what = phaseName(event.phase);
    break;
  case BusEvent::Kind::Byte:
    std::snprintf(text, sizeof(text), "%12llu ns  target %u  %-11s byte 0x%02X",
                  static_cast<unsigned long long>(event.time), event.target, phaseName(event.phase),
                  event.byte);
    return text;
  case BusEvent::Kind::BusFree:
    what = "bus free";
    break;
  case BusEvent::Kind::Reselection:
    what = event.byte ? "reselection answered" : "reselection unanswered";
    break;
  case BusEvent::Kind::ResetAsserted:
    what = "RST asserted";
    break;
  case BusEvent::Kind::ResetReleased:
    what = "RST released";
    break;
  case BusEvent::Kind::Lines:
    std::snprintf(text, sizeof(text), "%12llu ns  lines 0x%05X",
                  static_cast<unsigned long long>(event.time), event.lines);
    return text;
  }
  if (event.target == 0xFF) {
    std::snprintf(text, sizeof(text), "%12llu ns  %s", static_cast<unsigned long long>(event.time),
                  what);
  } else {
    std::snprintf(text, sizeof(text), "%12llu ns  target %u  %s",
                  static_cast<unsigned long long>(event.time), event.target, what);
  }
  return text;
}

// ---------------------------------------------------------------- the bus

void ScsiBus::attach(BusParticipant &who) {
  who.slot_ = static_cast<int>(participants_.size());
  participants_.push_back(&who);
}

void ScsiBus::attachInitiator(Initiator *initiator) {
  initiator_ = initiator;
  attach(*initiator);
}

void ScsiBus::attachTarget(Target *target) {
  targets_[target->id() & 7] = target;
  attach(*target);
}

void ScsiBus::detachTarget(Target *target) {
  if (targets_[target->id() & 7] == target) {
    targets_[target->id() & 7] = nullptr;
  }
  for (size_t i = 0; i < participants_.size(); i++) {
    if (participants_[i] == target) {
      participants_.erase(participants_.begin() + static_cast<long>(i));
      break;
    }
  }
  for (size_t i = 0; i < participants_.size(); i++) {
    participants_[i]->slot_ = static_cast<int>(i);
  }
  uint32_t all = 0;
  for (const BusParticipant *participant : participants_) {
    all |= participant->lines_;
  }
  lines_ = all;
  recomputeNextEvent();
}

void ScsiBus::drive(BusParticipant &who, uint32_t lines, uint64_t time) {
  who.lines_ = lines;
  uint32_t all = 0;
  for (const BusParticipant *participant : participants_) {
    all |= participant->lines_;
  }
  if (all != lines_) {
    lines_ = all;
    recorder.recordLines(time, all);
  }
}

void ScsiBus::recomputeNextEvent() {
  uint64_t earliest = NEVER;
  for (const BusParticipant *participant : participants_) {
    if (participant->wakeAt_ < earliest) {
      earliest = participant->wakeAt_;
    }
  }
  nextEvent_ = earliest;
}

void ScsiBus::wakeAt(BusParticipant &who, uint64_t time) {
  who.wakeAt_ = time;
  recomputeNextEvent();
}

uint64_t ScsiBus::runLimit(const BusParticipant &who) const {
  uint64_t limit = runningUntil_;
  for (const BusParticipant *participant : participants_) {
    if (participant != &who && participant->wakeAt_ <= limit) {
      limit = participant->wakeAt_ == 0 ? 0 : participant->wakeAt_ - 1;
    }
  }
  return limit;
}

void ScsiBus::runUntil(uint64_t now) {
  runningUntil_ = now;
  while (nextEvent_ <= now) {
    BusParticipant *due = nullptr;
    for (BusParticipant *participant : participants_) {
      if (participant->wakeAt_ == nextEvent_) {
        due = participant;
        break;
      }
    }
    uint64_t time = due->wakeAt_;
    due->wakeAt_ = NEVER;
    due->wake(time);
    recomputeNextEvent();
  }
}

bool ScsiBus::select(uint64_t time, uint8_t targetId, bool atn) {
  Target *chosen = target(targetId);
  if (chosen == nullptr) {
    return false;
  }
  chosen->selected(time, atn);
  return true;
}

void ScsiBus::abandonSelection(uint8_t targetId) {
  if (Target *chosen = target(targetId)) {
    chosen->selectionAbandoned();
  }
}

void ScsiBus::resetChanged(uint64_t time, BusParticipant &who) {
  bool asserted = reset();
  recorder.record({time, asserted ? BusEvent::Kind::ResetAsserted : BusEvent::Kind::ResetReleased,
                   0xFF, Phase::DataOut, 0});
  if (asserted) {
    statistics.resets++;
    for (Target *each : targets_) {
      if (each != nullptr) {
        each->busReset(time);
      }
    }
  }
  if (initiator_ != nullptr && &who != initiator_) {
    initiator_->busReset(time, asserted);
  }
}

void ScsiBus::targetResponded(uint64_t time, Target &target) {
  statistics.selections++;
  if (initiator_ != nullptr) {
    initiator_->targetResponded(time, target);
  }
}

void ScsiBus::targetRequest(uint64_t time, Target &target) {
  (void)target;
  if (initiator_ != nullptr) {
    initiator_->targetRequest(time);
  }
}

void ScsiBus::targetReleased(uint64_t time, Target &target) {
  recorder.record({time, BusEvent::Kind::BusFree, target.id(), Phase::DataOut, 0});
  if (initiator_ != nullptr) {
    initiator_->targetReleased(time);
  }
}

bool ScsiBus::reselect(uint64_t time, Target &target) {
  bool answered = initiator_ != nullptr && free() && initiator_->reselected(time, target);
  recorder.record({time, BusEvent::Kind::Reselection, target.id(), Phase::MessageIn,
                   static_cast<uint8_t>(answered)});
  if (answered) {
    statistics.reselections++;
  }
  return answered;
}

} // namespace sim
