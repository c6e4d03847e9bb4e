// A writable buffer whose last byte is the last byte of a page, followed by
// a page that cannot be touched: a write past its end stops the test.
#ifndef KAV_TESTS_PAGE_END_BUFFER_H
#define KAV_TESTS_PAGE_END_BUFFER_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

class PageEndBuffer {
public:
  explicit PageEndBuffer(size_t size) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > page_) {
      throw std::length_error("buffer longer than a page");
    }
    void *pages =
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
      throw std::runtime_error("mmap failed");
    }
    base_ = static_cast<uint8_t *>(pages);
    mprotect(base_ + page_, page_, PROT_NONE);
    data_ = base_ + page_ - size;
  }
  ~PageEndBuffer() { munmap(base_, 2 * page_); }
  PageEndBuffer(const PageEndBuffer &) = delete;
  PageEndBuffer &operator=(const PageEndBuffer &) = delete;

  uint8_t *data() { return data_; }

private:
  size_t page_ = 0;
  uint8_t *base_ = nullptr;
  uint8_t *data_ = nullptr;
};

#endif
