// Replays every kept fuzz input (the seed corpora and the regression inputs
// of earlier findings) through the same entry functions as the fuzzers, so
// that an ordinary build catches a regression without libFuzzer.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzCard.h"

namespace fs = std::filesystem;

// Names the target in test listings instead of dumping its bytes.
void PrintTo(const FuzzTarget& target, std::ostream* os) { *os << target.name; }

namespace {

class Replay : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(Replay, EveryKeptInput) {
  const FuzzTarget& target = GetParam();
  std::vector<fs::path> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    fs::path dir = fs::path(QEL_FUZZ_DIR) / kind / target.name;
    if (!fs::is_directory(dir)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // Every target has seeds; an empty list means the folders went missing.
  ASSERT_FALSE(inputs.empty()) << "no inputs for " << target.name;
  for (const fs::path& path : inputs) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadFile(path.c_str(), &data)) << path;
    // Named first: a finding aborts the whole test.
    fprintf(stderr, "%s: %s\n", target.name, path.c_str());
    target.entry(data.data(), data.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay, ::testing::ValuesIn(kFuzzTargets, kFuzzTargets + kFuzzTargetCount),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
