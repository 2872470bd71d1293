#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "FuzzTargets.h"

namespace brelvint {
namespace {

// Every input the fuzzers kept (and every crash they found, once fixed)
// runs again here on each build.
TEST(FuzzCorpusTest, EveryTargetSurvivesItsCorpus) {
  for (const FuzzTarget& target : kFuzzTargets) {
    auto folder = std::filesystem::path(BRELVINT_FUZZ_CORPUS) / target.name;
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
    EXPECT_GT(inputs, 0u) << "no seed inputs for " << target.name;
  }
}

}  // namespace
}  // namespace brelvint
