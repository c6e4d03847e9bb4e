// A progress bar for long workloads, drawn on stderr when stderr is a
// terminal and not at all otherwise, so that logs and pipes see nothing
// extra.
#ifndef KAV_TOOLS_KAVBENCH_PROGRESS_H
#define KAV_TOOLS_KAVBENCH_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kavbench {

class Progress {
public:
  // Draws on `terminal` when it is one; nullptr draws nothing.
  explicit Progress(std::FILE *terminal);
  static bool isTerminal(std::FILE *file);

  void start(const std::string &label, uint64_t total);
  // Redrawn at most ten times a second.
  void update(uint64_t done);
  // Clears the bar.
  void finish();

private:
  void draw(uint64_t done);

  std::FILE *terminal_;
  std::string label_;
  uint64_t total_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_;
};

} // namespace kavbench

#endif
