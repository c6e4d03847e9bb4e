// A string placed so that its terminating NUL is the last byte of a readable
// page, followed by a page that cannot be read: any read past the NUL stops
// the test with a fault, with or without sanitizers.
#ifndef KAV_TESTS_PAGE_END_STRING_H
#define KAV_TESTS_PAGE_END_STRING_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

class PageEndString {
public:
  explicit PageEndString(const std::string &text) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (text.size() + 1 > page_) {
      throw std::length_error("string longer than a page");
    }
    void *pages = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (pages == MAP_FAILED) {
      throw std::runtime_error("mmap failed");
    }
    base_ = static_cast<char *>(pages);
    mprotect(base_ + page_, page_, PROT_NONE);
    text_ = base_ + page_ - (text.size() + 1);
    std::memcpy(text_, text.c_str(), text.size() + 1);
  }
  ~PageEndString() { munmap(base_, 2 * page_); }
  PageEndString(const PageEndString &) = delete;
  PageEndString &operator=(const PageEndString &) = delete;

  char *get() { return text_; }

private:
  size_t page_ = 0;
  char *base_ = nullptr;
  char *text_ = nullptr;
};

#endif
