#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/profile/ProfilePaths.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

// Command-line tests on one profile in a private base directory of their own.
class ProfileCliTest : public ::testing::Test {
 protected:
  void SetUp() override { ::chmod(dir_.path().c_str(), 0700); }

  // `korvelin --base DIR --no-host-start` followed by `arguments`: without a
  // host, every command does its work in its own process.
  std::vector<std::string> korvelin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {korvelinPath(), "--base", dir_.path(), "--no-host-start"});
    return arguments;
  }

  ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  std::string profile_ = id_.uppercaseString();
  ProfilePaths paths_{id_, dir_.path()};
};

}  // namespace korvelin::testing
