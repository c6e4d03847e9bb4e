#include "shadow.h"

#include <cstring>

namespace kavbench {

namespace {

uint64_t Mix(uint64_t value) {
  value += 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

} // namespace

uint64_t Random::next() {
  uint64_t value = Mix(state_);
  state_ += 0x9E3779B97F4A7C15ull;
  return value;
}

uint64_t Random::below(uint64_t bound) {
  return bound == 0 ? 0 : next() % bound;
}

DiskShadow::DiskShadow(uint64_t seed, uint8_t id, uint8_t lun, uint32_t blocks, bool zeroed)
    : seed_(Mix(seed ^ (uint64_t{id} << 56) ^ (uint64_t{lun} << 48))), states_(blocks) {
  if (zeroed) {
    for (BlockState &state : states_) {
      state.kind = Kind::Generated;
      state.generation = 0;
    }
  }
}

void DiskShadow::fillBlock(uint32_t lba, uint32_t generation, uint8_t *out) const {
  if (generation == 0) {
    std::memset(out, 0, BLOCK);
    return;
  }
  uint64_t state = seed_ ^ (uint64_t{lba} << 32) ^ generation;
  for (uint32_t at = 0; at < BLOCK; at += 8) {
    uint64_t word = Mix(state + at);
    std::memcpy(out + at, &word, 8);
  }
}

void DiskShadow::fill(uint32_t lba, uint32_t count, uint32_t generation, uint8_t *out) const {
  for (uint32_t i = 0; i < count; i++) {
    fillBlock(lba + i, generation, out + static_cast<size_t>(i) * BLOCK);
  }
}

uint64_t DiskShadow::hashBytes(const uint8_t *bytes) {
  uint64_t hash = 0x6A09E667F3BCC909ull;
  for (uint32_t at = 0; at < BLOCK; at += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    hash = Mix(hash ^ word);
  }
  return hash;
}

uint64_t DiskShadow::hashOf(const BlockState &state, uint32_t lba) const {
  if (state.kind == Kind::Generated) {
    uint8_t block[BLOCK];
    fillBlock(lba, state.generation, block);
    return hashBytes(block);
  }
  return state.hash;
}

void DiskShadow::wrote(uint32_t lba, uint32_t count, uint32_t generation) {
  for (uint32_t i = 0; i < count && lba + i < states_.size(); i++) {
    BlockState &state = states_[lba + i];
    state = BlockState{};
    state.kind = Kind::Generated;
    state.generation = generation;
  }
}

void DiskShadow::mayHaveWritten(uint32_t lba, uint32_t count, uint32_t generation) {
  for (uint32_t i = 0; i < count && lba + i < states_.size(); i++) {
    BlockState &state = states_[lba + i];
    if (state.kind != Kind::Generated && state.kind != Kind::Seen) {
      state = BlockState{}; // three or more possibilities: learn it anew
      continue;
    }
    uint8_t block[BLOCK];
    fillBlock(lba + i, generation, block);
    BlockState either;
    either.kind = Kind::EitherOf;
    either.generation = generation;
    either.hash = hashOf(state, lba + i);
    either.other = hashBytes(block);
    either.oldGenerated = state.kind == Kind::Generated;
    either.oldGeneration = state.generation;
    state = either;
  }
}

std::vector<uint32_t> DiskShadow::check(uint32_t lba, uint32_t count, const uint8_t *data,
                                        uint64_t &verifiedBytes) {
  std::vector<uint32_t> differing;
  for (uint32_t i = 0; i < count && lba + i < states_.size(); i++) {
    BlockState &state = states_[lba + i];
    const uint8_t *bytes = data + static_cast<size_t>(i) * BLOCK;
    uint64_t hash = hashBytes(bytes);
    bool same = true;
    switch (state.kind) {
    case Kind::Unknown:
      break;
    case Kind::Generated: {
      uint8_t block[BLOCK];
      fillBlock(lba + i, state.generation, block);
      same = std::memcmp(block, bytes, BLOCK) == 0;
      break;
    }
    case Kind::Seen:
      same = hash == state.hash;
      break;
    case Kind::EitherOf:
      same = hash == state.hash || hash == state.other;
      break;
    }
    if (state.kind != Kind::Unknown) {
      verifiedBytes += BLOCK;
    }
    if (!same) {
      differing.push_back(lba + i);
      continue; // the shadow keeps what the disk must hold
    }
    if (state.kind == Kind::EitherOf && (hash == state.other || state.oldGenerated)) {
      // Back to a generated content: the write's, or the one before it.
      uint32_t generation = hash == state.other ? state.generation : state.oldGeneration;
      state = BlockState{};
      state.kind = Kind::Generated;
      state.generation = generation;
    } else if (state.kind != Kind::Generated) {
      state = BlockState{};
      state.kind = Kind::Seen;
      state.hash = hash;
    }
  }
  return differing;
}

bool DiskShadow::expected(uint32_t lba, uint32_t count, uint8_t *out) const {
  for (uint32_t i = 0; i < count; i++) {
    if (lba + i >= states_.size() || states_[lba + i].kind != Kind::Generated) {
      return false;
    }
  }
  for (uint32_t i = 0; i < count; i++) {
    fillBlock(lba + i, states_[lba + i].generation, out + static_cast<size_t>(i) * BLOCK);
  }
  return true;
}

} // namespace kavbench
