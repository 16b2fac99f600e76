// Where the core looks for Tavoper.ini (and, after the loader's own search,
// for the vendor libraries): beside libholvanter.so when the program has it
// loaded, as tavocard has, else beside the program that carries the core in
// itself. Built twice, once each way; EXPECTED_FOLDER says which folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/env.h"

TEST(ComponentFolder, IsTheFolderOfTheComponentInThisProgram) {
  const std::string folder = holvanter::Env::Default()->ComponentFolder();
  ASSERT_TRUE(std::filesystem::path(folder).is_absolute()) << folder;
  EXPECT_TRUE(std::filesystem::equivalent(folder, EXPECTED_FOLDER))
      << folder << " is not " << EXPECTED_FOLDER;
}
