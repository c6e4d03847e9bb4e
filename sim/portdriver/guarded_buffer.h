// A zeroed allocation with guard zones on both sides. The port driver puts
// every record and buffer it hands to the driver in one, and checks the
// guards after every call into the driver: a byte written outside is caught.
#ifndef KAV_SIM_GUARDED_BUFFER_H
#define KAV_SIM_GUARDED_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class GuardedBuffer {
public:
  static constexpr size_t GUARD_BYTES = 64;
  static constexpr uint8_t GUARD_PATTERN = 0xA5;

  explicit GuardedBuffer(size_t size = 0) { resize(size); }

  void resize(size_t size) {
    storage_.assign(size + 2 * GUARD_BYTES, 0);
    for (size_t i = 0; i < GUARD_BYTES; i++) {
      storage_[i] = GUARD_PATTERN;
      storage_[GUARD_BYTES + size + i] = GUARD_PATTERN;
    }
    size_ = size;
  }

  uint8_t *data() { return storage_.data() + GUARD_BYTES; }
  const uint8_t *data() const { return storage_.data() + GUARD_BYTES; }
  size_t size() const { return size_; }

  bool intact() const {
    for (size_t i = 0; i < GUARD_BYTES; i++) {
      if (storage_[i] != GUARD_PATTERN || storage_[GUARD_BYTES + size_ + i] != GUARD_PATTERN) {
        return false;
      }
    }
    return true;
  }

private:
  std::vector<uint8_t> storage_;
  size_t size_ = 0;
};

} // namespace sim

#endif // KAV_SIM_GUARDED_BUFFER_H
