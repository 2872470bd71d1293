#include <gtest/gtest.h>

#include "base/Paths.h"

namespace brelvint {
namespace {

TEST(PathsTest, SystemFoldersAreKnownWhateverTheSpelling) {
  struct Case {
    const char* folder;
    bool system;
  };
  const Case cases[] = {
      {"/usr/bin", true},           {"/usr/bin/", true},
      {"/usr/./sbin", true},        {"/bin", true},
      {"/usr/local/bin", true},     {"/usr/lib/../bin", true},
      {"/usr/local/lib", false},    {"/usr/bin/brelvint", false},
      {"/var/lib/brelvint", false}, {"/home/op/brelvint/build", false},
      {"/usr/binaries", false},
  };
  for (const Case& c : cases) EXPECT_EQ(Paths::IsSystemFolder(c.folder), c.system) << c.folder;
}

}  // namespace
}  // namespace brelvint
