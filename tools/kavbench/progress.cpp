#include "progress.h"

#include <unistd.h>

namespace kavbench {

namespace {
constexpr int BAR_WIDTH = 40;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
} // namespace

Progress::Progress(std::FILE *terminal)
    : terminal_(terminal != nullptr && isTerminal(terminal) ? terminal : nullptr) {}

bool Progress::isTerminal(std::FILE *file) {
  return isatty(fileno(file)) != 0;
}

void Progress::start(const std::string &label, uint64_t total) {
  label_ = label;
  total_ = total;
  last_ = std::chrono::steady_clock::now() - REDRAW_INTERVAL;
  update(0);
}

void Progress::update(uint64_t done) {
  if (terminal_ == nullptr) {
    return;
  }
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < REDRAW_INTERVAL) {
    return;
  }
  last_ = now;
  draw(done);
}

void Progress::draw(uint64_t done) {
  uint64_t shown = done < total_ ? done : total_;
  int filled = total_ == 0 ? BAR_WIDTH : static_cast<int>(shown * BAR_WIDTH / total_);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
  unsigned percent = total_ == 0 ? 100u : static_cast<unsigned>(shown * 100 / total_);
  std::fprintf(terminal_, "\r%s [%s] %3u%%", label_.c_str(), bar.c_str(), percent);
  std::fflush(terminal_);
  drawn_ = true;
}

void Progress::finish() {
  if (terminal_ != nullptr && drawn_) {
    std::fprintf(terminal_, "\r%*s\r", static_cast<int>(label_.size()) + BAR_WIDTH + 8, "");
    std::fflush(terminal_);
  }
  drawn_ = false;
}

} // namespace kavbench
