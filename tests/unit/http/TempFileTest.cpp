#include "http/TempFile.h"

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace brelvint {
namespace {

namespace fs = std::filesystem;

constexpr char kPrefix[] = "brelvint-tempfile-test-";

TEST(TempFileTest, CreatesAPrivateEmptyFileAndRemovesIt) {
  fs::path path;
  {
    std::optional<TempFile> file = TempFile::Create(kPrefix);
    ASSERT_TRUE(file);
    path = file->Path();
    EXPECT_EQ(path.parent_path(), fs::temp_directory_path());
    EXPECT_EQ(path.filename().string().rfind(kPrefix, 0), 0u);
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    std::optional<TempFile> other = TempFile::Create(kPrefix);
    ASSERT_TRUE(other);
    EXPECT_NE(other->Path(), path);
  }
  EXPECT_FALSE(fs::exists(path));
}

TEST(TempFileTest, OnlyTheLastOwnerRemovesTheFile) {
  std::optional<TempFile> file = TempFile::Create(kPrefix);
  ASSERT_TRUE(file);
  fs::path path = file->Path();

  std::optional<TempFile> moved(std::move(*file));
  file.reset();
  EXPECT_TRUE(fs::exists(path));

  std::optional<TempFile> replaced = TempFile::Create(kPrefix);
  ASSERT_TRUE(replaced);
  fs::path replaced_path = replaced->Path();
  *replaced = std::move(*moved);  // drops the file it held before
  moved.reset();
  EXPECT_FALSE(fs::exists(replaced_path));
  EXPECT_TRUE(fs::exists(path));

  replaced.reset();
  EXPECT_FALSE(fs::exists(path));
}

TEST(TempFileTest, MissingTemporaryFolderIsReported) {
  const char* saved = std::getenv("TMPDIR");
  std::optional<std::string> saved_value;
  if (saved != nullptr) saved_value = saved;
  ::setenv("TMPDIR", "/nonexistent/brelvint-tempfile-test", 1);

  std::string error;
  std::optional<TempFile> file = TempFile::Create(kPrefix, &error);

  if (saved_value) {
    ::setenv("TMPDIR", saved_value->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_FALSE(file);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace brelvint
