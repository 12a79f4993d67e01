#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfilePaths.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
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

// Command-line tests on a catalogue: a private base directory of their own
// ("base" in the temporary one) and Chrome's installation record in a file.
class CatalogCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0700);
    makeDirectory(base_);
    makeFile(installation_, 0600, nlohmann::json(chromeInstallation()).dump());
  }

  // `korvelin --base BASE --no-host-start` followed by `arguments`: the
  // commands do their work in their own process.
  std::vector<std::string> command(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {korvelinPath(), "--base", base_, "--no-host-start"});
    return arguments;
  }
  RunResult korvelin(std::vector<std::string> arguments, std::string input = "") {
    return run(command(std::move(arguments)), {.standardInput = std::move(input)});
  }

  ScopedTempDir dir_;
  std::string base_ = dir_.child("base");
  std::string installation_ = dir_.child("chrome.json");
};

}  // namespace korvelin::testing
