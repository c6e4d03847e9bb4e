// A zeroed allocation with guard zones on both sides. The port driver puts
// every record and buffer it hands to the driver in one, and checks the
// guards after every call into the driver: a byte written outside is caught.
// Under AddressSanitizer the guard zones are also poisoned, so that a read
// of a guard byte (a string scan past its NUL, a buffer read past its end)
// stops the program at the access itself.
#ifndef KAV_SIM_GUARDED_BUFFER_H
#define KAV_SIM_GUARDED_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAV_GUARDS_POISONED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KAV_GUARDS_POISONED 1
#endif
#ifdef KAV_GUARDS_POISONED
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

class GuardedBuffer {
public:
  static constexpr size_t GUARD_BYTES = 64;
  static constexpr uint8_t GUARD_PATTERN = 0xA5;

  explicit GuardedBuffer(size_t size = 0) { resize(size); }
  ~GuardedBuffer() { unpoisonGuards(); }
  // The guards are poisoned memory: the buffer moves but is never copied.
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;
  GuardedBuffer(GuardedBuffer &&other) noexcept
      : storage_(std::move(other.storage_)), size_(other.size_) {
    other.storage_.clear();
    other.size_ = 0;
  }
  GuardedBuffer &operator=(GuardedBuffer &&other) noexcept {
    if (this != &other) {
      unpoisonGuards();
      storage_ = std::move(other.storage_);
      size_ = other.size_;
      other.storage_.clear();
      other.size_ = 0;
    }
    return *this;
  }

  void resize(size_t size) {
    unpoisonGuards();
    storage_.assign(size + 2 * GUARD_BYTES, 0);
    for (size_t i = 0; i < GUARD_BYTES; i++) {
      storage_[i] = GUARD_PATTERN;
      storage_[GUARD_BYTES + size + i] = GUARD_PATTERN;
    }
    size_ = size;
    poisonGuards();
  }

  uint8_t *data() { return storage_.data() + GUARD_BYTES; }
  const uint8_t *data() const { return storage_.data() + GUARD_BYTES; }
  size_t size() const { return size_; }

  bool intact() const {
    if (storage_.empty()) {
      return true; // moved from
    }
    unpoisonGuards();
    bool intact = true;
    for (size_t i = 0; i < GUARD_BYTES; i++) {
      if (storage_[i] != GUARD_PATTERN || storage_[GUARD_BYTES + size_ + i] != GUARD_PATTERN) {
        intact = false;
      }
    }
    poisonGuards();
    return intact;
  }

private:
  void poisonGuards() const {
#ifdef KAV_GUARDS_POISONED
    if (!storage_.empty()) {
      ASAN_POISON_MEMORY_REGION(storage_.data(), GUARD_BYTES);
      ASAN_POISON_MEMORY_REGION(storage_.data() + GUARD_BYTES + size_, GUARD_BYTES);
    }
#endif
  }

  void unpoisonGuards() const {
#ifdef KAV_GUARDS_POISONED
    if (!storage_.empty()) {
      ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size());
    }
#endif
  }

  std::vector<uint8_t> storage_;
  size_t size_ = 0;
};

} // namespace sim

#endif // KAV_SIM_GUARDED_BUFFER_H
