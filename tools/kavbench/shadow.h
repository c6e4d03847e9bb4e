// What the bench knows a disk holds, block by block, so that every byte
// read can be checked; and the random numbers and data of the workloads.
//
// A block is known to hold:
// - its generated content: zeros (generation 0, a memory disk as it
//   starts) or the data of one write (generation g: bytes that depend on
//   the seed, the unit, the block and g, so that a block written to the
//   wrong place or an old block read back never passes);
// - content first seen in a read (an image file's own bytes), by its hash;
// - one of two contents, old or new, after a write that failed: the disk
//   may have stored it or not;
// - or nothing yet (an image file not read so far): the first read learns it.
#ifndef KAV_TOOLS_KAVBENCH_SHADOW_H
#define KAV_TOOLS_KAVBENCH_SHADOW_H

#include <cstdint>
#include <vector>

namespace kavbench {

// splitmix64: small, fast and the same on every host.
class Random {
public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next();
  // Uniform in [0, bound); 0 when bound is 0.
  uint64_t below(uint64_t bound);
  // True with this chance in percent.
  bool chance(uint32_t percent) { return below(100) < percent; }

private:
  uint64_t state_;
};

class DiskShadow {
public:
  static constexpr uint32_t BLOCK = 512;

  // `zeroed`: the disk starts as zeros (memory); else unknown (an image).
  DiskShadow(uint64_t seed, uint8_t id, uint8_t lun, uint32_t blocks, bool zeroed);

  uint32_t blocks() const { return static_cast<uint32_t>(states_.size()); }
  // A generation no write of this disk has used.
  uint32_t newGeneration() { return ++generations_; }
  // The bytes a write of `generation` puts into blocks [lba, lba + count).
  void fill(uint32_t lba, uint32_t count, uint32_t generation, uint8_t *out) const;

  // Blocks that now hold what a write of `generation` sent.
  void wrote(uint32_t lba, uint32_t count, uint32_t generation);
  // Blocks that hold either what they held or what the write sent.
  void mayHaveWritten(uint32_t lba, uint32_t count, uint32_t generation);

  // Checks `count` blocks read from `lba`. Blocks known so far are compared
  // (and counted in `verifiedBytes`); unknown ones are learned. Returns the
  // blocks that differ from what the disk must hold.
  std::vector<uint32_t> check(uint32_t lba, uint32_t count, const uint8_t *data,
                              uint64_t &verifiedBytes);

  // The exact bytes of [lba, lba + count), when every block's content is
  // generated; false otherwise.
  bool expected(uint32_t lba, uint32_t count, uint8_t *out) const;

private:
  enum class Kind : uint8_t { Unknown, Generated, Seen, EitherOf };
  struct BlockState {
    Kind kind = Kind::Unknown;
    uint32_t generation = 0; // Generated; EitherOf: the write's
    uint64_t hash = 0;       // Seen; EitherOf: the old content's
    uint64_t other = 0;      // EitherOf: the write's content
    // EitherOf: the old content was generated, and by this generation.
    bool oldGenerated = false;
    uint32_t oldGeneration = 0;
  };

  void fillBlock(uint32_t lba, uint32_t generation, uint8_t *out) const;
  uint64_t hashOf(const BlockState &state, uint32_t lba) const;
  static uint64_t hashBytes(const uint8_t *bytes);

  uint64_t seed_;
  std::vector<BlockState> states_;
  uint32_t generations_ = 0;
};

} // namespace kavbench

#endif
