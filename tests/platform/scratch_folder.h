// A folder of the test's own under the system's temporary folder, removed
// after it, and what the state file tests look at in it.
#ifndef HOLVANTER_TESTS_PLATFORM_SCRATCH_FOLDER_H_
#define HOLVANTER_TESTS_PLATFORM_SCRATCH_FOLDER_H_

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

class ScratchFolder : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "state-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // The permission bits of what is at `path` itself (a link's own), 0 when
  // nothing is there.
  static unsigned Mode(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  static std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void Write(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
  }
  std::filesystem::path dir_;
};

#endif  // HOLVANTER_TESTS_PLATFORM_SCRATCH_FOLDER_H_
