#pragma once

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfilePaths.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ServicesSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

// A link's secrets, and a link that holds them (to a documentation address).
inline const std::string kSampleUser = "b831381d-6324-4d53-ad4f-8cda48b30811";
inline const std::string kSampleShortID = "6ba85179e30d4fc2";
inline const std::string kSampleLink =
    "vless://" + kSampleUser +
    "@[2001:db8::7]:443?type=tcp&security=reality&sni=www.example.com&fp=chrome"
    "&flow=xtls-rprx-vision&sid=" +
    kSampleShortID + "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc#Home";

// `korvelin` followed by `arguments`, run to the end.
inline RunResult runKorvelin(std::vector<std::string> arguments, SubprocessOptions options = {}) {
  arguments.insert(arguments.begin(), korvelinPath());
  return run(std::move(arguments), std::move(options));
}

// The standard output of a command that must succeed.
inline std::string outputOf(const RunResult& result) {
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  return result.output;
}

// A refusal as people see it: `exitCode`, nothing on standard output and
// exactly one line on standard error, "korvelin: " then `message`.
inline void expectOneLineError(const RunResult& result, int exitCode, const std::string& message) {
  EXPECT_EQ(result.exitCode, exitCode) << result.errors;
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "korvelin: " + message + "\n");
}

// Collects `pids` as they exit, from a thread of its own, while it lives:
// processes a killed host left behind become this process's orphans (see
// ScopedSubreaper), and a stop waits for them to be gone, zombies included.
class OrphanCollector {
 public:
  explicit OrphanCollector(std::vector<pid_t> pids)
      : thread_([this, pids = std::move(pids)] {
          while (running_) {
            for (pid_t pid : pids)
              reapIfExited(pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        }) {}
  ~OrphanCollector() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

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
