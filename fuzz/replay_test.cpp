// Replays the corpus of one harness (KAV_FUZZ_CORPUS, its folder in the
// repository) through the harness's own code: every seed and every input
// kept from an earlier finding must pass all invariants.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::vector<std::filesystem::path> CorpusFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(KAV_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Corpus, EveryInputKeepsTheInvariants) {
  std::vector<std::filesystem::path> files = CorpusFiles();
  ASSERT_FALSE(files.empty()) << "no corpus in " << KAV_FUZZ_CORPUS;
  for (const std::filesystem::path &file : files) {
    std::vector<uint8_t> input = ReadFile(file);
    fuzz::Findings findings = fuzz::RunInput(input.data(), input.size());
    for (const std::string &finding : findings) {
      ADD_FAILURE() << file.filename().string() << ": " << finding;
    }
  }
}

} // namespace
