// AtomicFile::Replace on a path that is a symbolic link: operators keep a
// network file elsewhere (a shared folder, a checkout) and link it into the
// network folder; the edit must reach that file and the link must stay.
// ReplaceUnlessChanged against an operator's edit at each moment of it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "config/AtomicFile.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

// Names of the entries in `folder`, so a stray temporary file shows.
std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct LinkCase {
  const char* label;
  // How the link in "net/" reaches "shared/main.conf".
  enum Kind { kRelative, kAbsolute, kChain } kind;
};

class AtomicFileLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(AtomicFileLinkTest, WritesThroughTheLinkAndKeepsIt) {
  TempFolder temp;
  fs::path real = temp.WriteFile("shared/main.conf", "old");
  fs::create_directory(temp.Path() / "net");
  fs::path link = temp.Path() / "net" / "main.conf";
  switch (GetParam().kind) {
    case LinkCase::kRelative:
      fs::create_symlink("../shared/main.conf", link);
      break;
    case LinkCase::kAbsolute:
      fs::create_symlink(real, link);
      break;
    case LinkCase::kChain:
      fs::create_symlink("main.conf", temp.Path() / "shared" / "alias.conf");
      fs::create_symlink("../shared/alias.conf", link);
      break;
  }

  std::string error;
  ASSERT_TRUE(AtomicFile::Replace(link, "new", &error)) << error;

  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(temp.ReadFile("shared/main.conf"), "new");
  EXPECT_EQ(temp.ReadFile("net/main.conf"), "new");
  EXPECT_EQ(Entries(temp.Path() / "net"), std::vector<std::string>{"main.conf"});
  auto shared = Entries(temp.Path() / "shared");
  EXPECT_EQ(shared.size(), GetParam().kind == LinkCase::kChain ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, AtomicFileLinkTest,
                         ::testing::Values(LinkCase{"relative", LinkCase::kRelative},
                                           LinkCase{"absolute", LinkCase::kAbsolute},
                                           LinkCase{"chain", LinkCase::kChain}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.label);
                         });

TEST(AtomicFileTest, LinkToAMissingFileCreatesTheFileItNames) {
  TempFolder temp;
  fs::create_directory(temp.Path() / "shared");
  fs::path link = temp.Path() / "main.conf";
  fs::create_symlink("shared/main.conf", link);
  std::string error;
  ASSERT_TRUE(AtomicFile::Replace(link, "new", &error)) << error;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(temp.ReadFile("shared/main.conf"), "new");
}

// A new file (a settings file made at first start) follows the umask, so
// the service unit's UMask=0027 keeps it from other accounts; a replaced
// file keeps its own mode whatever the umask.
TEST(AtomicFileTest, NewFileFollowsTheUmaskAndAReplacedFileKeepsItsMode) {
  TempFolder temp;
  mode_t previous = ::umask(027);
  std::string error;
  bool made = AtomicFile::Replace(temp.Path() / "new.conf", "a", &error);
  ::umask(previous);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(fs::status(temp.Path() / "new.conf").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  fs::path kept = temp.Path() / "kept.conf";
  ASSERT_TRUE(AtomicFile::Replace(kept, "a", &error)) << error;
  fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(AtomicFile::Replace(kept, "b", &error)) << error;
  EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(AtomicFileTest, LinkLoopFailsAndLeavesTheLinks) {
  TempFolder temp;
  fs::create_symlink("b.conf", temp.Path() / "a.conf");
  fs::create_symlink("a.conf", temp.Path() / "b.conf");
  std::string error;
  EXPECT_FALSE(AtomicFile::Replace(temp.Path() / "a.conf", "new", &error));
  EXPECT_NE(error.find("a.conf"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_symlink(temp.Path() / "a.conf"));
  EXPECT_EQ(Entries(temp.Path()), (std::vector<std::string>{"a.conf", "b.conf"}));
}

// ReplaceUnlessChanged against an operator who saves the file at the worst
// moments. The check stands in for the network file's own ("still the bytes
// the new contents were made from"); it is asked before the swap and, about
// the displaced file, after it. An edit landing between the two must
// survive, whether it replaced the file or rewrote it in place.
struct OperatorEdit {
  const char* label;
  enum When {
    kNone,
    kBeforeTheCheck,
    kRenamedAfterTheCheck,
    kInPlaceAfterTheCheck,
    kRemovedAfterTheCheck
  } when;
  AtomicFile::Outcome outcome;
  std::vector<std::string> entries;  // the folder afterwards
  const char* left;                  // main.conf afterwards
};

void PrintTo(const OperatorEdit& edit, std::ostream* out) { *out << edit.label; }

class AtomicFileEditTest : public ::testing::TestWithParam<OperatorEdit> {};

TEST_P(AtomicFileEditTest, NeverReplacesBytesItHasNotRead) {
  const OperatorEdit& edit = GetParam();
  TempFolder temp;
  const fs::path file = temp.WriteFile("main.conf", "old");
  if (edit.when == OperatorEdit::kBeforeTheCheck) temp.WriteFile("main.conf", "odd");
  int checks = 0;
  auto still_as_read = [&](const fs::path& checked, bool displaced) {
    EXPECT_EQ(displaced, checks == 1);
    bool same = temp.ReadFile(checked.filename()) == "old";
    if (++checks > 1) return same;
    switch (edit.when) {
      case OperatorEdit::kRenamedAfterTheCheck:
        temp.WriteFile("edit.tmp", "odd");
        fs::rename(temp.Path() / "edit.tmp", file);
        break;
      case OperatorEdit::kInPlaceAfterTheCheck:
        std::ofstream(file, std::ios::binary | std::ios::trunc) << "odd";
        break;
      case OperatorEdit::kRemovedAfterTheCheck:
        fs::remove(file);
        break;
      default:
        break;
    }
    return same;
  };
  std::string error;
  struct stat written {};
  EXPECT_EQ(AtomicFile::ReplaceUnlessChanged(file, "new", still_as_read, &error, &written),
            edit.outcome)
      << error;
  EXPECT_EQ(Entries(temp.Path()), edit.entries);
  if (edit.left != nullptr) {
    EXPECT_EQ(temp.ReadFile("main.conf"), edit.left);
  }
  if (edit.outcome == AtomicFile::Outcome::kReplaced) {
    struct stat now {};
    ASSERT_EQ(::stat(file.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, written.st_ino);
  }
}

INSTANTIATE_TEST_SUITE_P(Edits, AtomicFileEditTest,
                         ::testing::Values(OperatorEdit{"None",
                                                        OperatorEdit::kNone,
                                                        AtomicFile::Outcome::kReplaced,
                                                        {"main.conf"},
                                                        "new"},
                                           OperatorEdit{"BeforeTheCheck",
                                                        OperatorEdit::kBeforeTheCheck,
                                                        AtomicFile::Outcome::kChanged,
                                                        {"main.conf"},
                                                        "odd"},
                                           OperatorEdit{"RenamedAfterTheCheck",
                                                        OperatorEdit::kRenamedAfterTheCheck,
                                                        AtomicFile::Outcome::kChanged,
                                                        {"main.conf"},
                                                        "odd"},
                                           OperatorEdit{"InPlaceAfterTheCheck",
                                                        OperatorEdit::kInPlaceAfterTheCheck,
                                                        AtomicFile::Outcome::kChanged,
                                                        {"main.conf"},
                                                        "odd"},
                                           OperatorEdit{"RemovedAfterTheCheck",
                                                        OperatorEdit::kRemovedAfterTheCheck,
                                                        AtomicFile::Outcome::kChanged,
                                                        {},
                                                        nullptr}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.label);
                         });

}  // namespace
}  // namespace brelvint
