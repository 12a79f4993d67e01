// Real processes at a profile: writers of the profile catalogue killed with
// SIGKILL at random moments, and writers in two processes at once; real
// Chromium, whose leavings in the user-data directory are what the
// diagnostics call its lock: three symbolic links, one of them dangling by
// design, none of which may be followed.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/files/FileSystemSecurity.h"
#include "core/platform/FileUtil.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/profile/ProfileRepository.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::optional<std::string> readFile(const std::string& path) {
  return korvelin::platform::readSmallFile(path,
                                           2 * korvelin::ProfileRepository::maximumCatalogBytes);
}

// Identifier and name of each profile, in file order.
std::vector<std::pair<std::string, std::string>> summary(const std::optional<std::string>& bytes) {
  std::vector<std::pair<std::string, std::string>> result;
  if (!bytes)
    return result;
  for (const auto& profile : decodeProfileCatalog(*bytes).profiles)
    result.emplace_back(profile.id.uppercaseString(), profile.name);
  return result;
}

class ProfileRepositoryCrashTest : public testing::CatalogCliTest {
 protected:
  std::string writer() const { return testing::testProgramPath("catalogue-writer"); }

  ProfileRepository repository_{base_, base_ + "/not-the-default"};
};

TEST_F(ProfileRepositoryCrashTest, AKilledWriterLeavesTheCatalogueBeforeOrAfterItsChange) {
  const std::string inflight = dir_.child("inflight.json");
  const std::string catalog = base_ + "/profiles.json";
  std::mt19937 random(20261206);
  std::set<std::string> abandonedRoots;  // trees of creations that never committed
  int rounds = 0, before = 0, after = 0, interruptedDeletions = 0, temporaries = 0;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (rounds < 200 && std::chrono::steady_clock::now() < deadline) {
    ++rounds;
    {
      testing::Subprocess child({writer(), "loop", base_, installation_, inflight});
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
      child.signal(SIGKILL);
      ASSERT_TRUE(child.wait()) << "the writer did not die";
      ASSERT_EQ(child.errors(), "");
    }
    const auto announced = readFile(inflight);
    if (!announced)
      continue;  // killed before its first change
    const json change = json::parse(*announced);
    const std::string op = change["op"], id = change["id"], name = change["name"];
    SCOPED_TRACE("round " + std::to_string(rounds) + ": " + op + " " + id);
    const std::optional<std::string> was =
        change["before"].is_null() ? std::nullopt : std::optional<std::string>(change["before"]);
    const auto now = readFile(catalog);

    // The file is the catalogue before the change, or after it, in the
    // form the repository writes.
    if (now == was) {
      ++before;
    } else {
      ++after;
      ASSERT_TRUE(now);
      auto expected = summary(was);
      if (op == "create")
        expected.emplace_back(id, name);
      for (auto it = expected.begin(); it != expected.end(); ++it)
        if (it->first == id && op == "update")
          it->second = name;
      std::erase_if(expected, [&](const auto& p) { return op == "delete" && p.first == id; });
      EXPECT_EQ(summary(now), expected);
      auto decoded = decodeProfileCatalog(*now).profiles;
      EXPECT_EQ(*now, encodeProfileCatalog(decoded));
    }

    // Loading works, or shows the one documented state of a deletion killed
    // before its commit, which the recovery step repairs.
    try {
      repository_.load();
    } catch (const KorvelinCoreError& e) {
      ASSERT_EQ(e.detail(), "profile hierarchy is missing or unsafe: " + id) << e.what();
      ASSERT_EQ(op, "delete");
      ASSERT_EQ(now, was);
      ++interruptedDeletions;
    }
    const auto recovery = repository_.recoverInterruptedDeletions();
    EXPECT_EQ(recovery.retained, std::vector<std::string>{});
    const auto profiles = repository_.load().profiles;

    // Nothing else remains: the catalogue, its lock, a temporary catalogue
    // (left by a kill between its creation and the rename: removed here, as
    // a person would), and under "Profiles" the catalogued trees and those
    // of creations that never committed.
    for (const auto& entry : std::filesystem::directory_iterator(base_)) {
      const std::string entryName = entry.path().filename();
      if (entryName.starts_with(".profiles.") && entryName.ends_with(".tmp")) {
        ++temporaries;
        std::filesystem::remove(entry.path());
        continue;
      }
      EXPECT_TRUE(entryName == "profiles.json" || entryName == ".profiles.lock" ||
                  entryName == "Profiles")
          << entryName;
    }
    std::set<std::string> roots;
    for (const auto& profile : profiles)
      roots.insert(profile.id.lowercaseString());
    if (op == "create" && !roots.count(Uuid::parse(id)->lowercaseString()))
      abandonedRoots.insert(Uuid::parse(id)->lowercaseString());
    for (const auto& entry : std::filesystem::directory_iterator(base_ + "/Profiles")) {
      const std::string entryName = entry.path().filename();
      EXPECT_TRUE(roots.count(entryName) || abandonedRoots.count(entryName)) << entryName;
    }
  }
  std::printf(
      "%d kills: %d before the change, %d after, %d interrupted deletions repaired, %d temporary "
      "files\n",
      rounds, before, after, interruptedDeletions, temporaries);
  EXPECT_GT(after, 0);
}

TEST_F(ProfileRepositoryCrashTest, TwoProcessesCreatingAtOnceLoseNothing) {
  constexpr int kEach = 15;
  testing::Subprocess first({writer(), "create", base_, installation_, std::to_string(kEach), "A"});
  testing::Subprocess second(
      {writer(), "create", base_, installation_, std::to_string(kEach), "B"});
  for (auto* child : {&first, &second}) {
    auto status = child->wait(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << child->errors();
  }
  std::set<std::string> names;
  for (const auto& profile : repository_.load().profiles)
    names.insert(profile.name);
  EXPECT_EQ(names.size(), 2u * kEach);
  EXPECT_TRUE(names.count("A-14") && names.count("B-14"));
}

constexpr const char* kChromium = "/usr/bin/chromium";

TEST(ChromiumDiagnosticsTest, TheLinksOfARunningBrowserCountAsItsLock) {
  if (::access(kChromium, X_OK) != 0)
    GTEST_SKIP() << "real Chromium unavailable: no " << kChromium
                 << " (scripts/bootstrap installs Debian's chromium)";
  testing::ScopedSubreaper reaper;
  testing::ScopedTempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  const ProfilePaths paths(Uuid::random(), dir.path());
  SecureFileSystem::prepareManagedHierarchy(paths);

  // The sandbox needs a user namespace that tests running as root do not
  // get; only tests ever pass --no-sandbox.
  testing::SubprocessOptions options;
  options.newProcessGroup = true;
  options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "HOME=" + paths.home(),
                                                 "XDG_CONFIG_HOME=" + paths.config(),
                                                 "XDG_CACHE_HOME=" + paths.cache()};
  options.outputFile = dir.child("chromium.log");
  testing::Subprocess browser({kChromium, "--no-sandbox", "--headless=new", "--no-first-run",
                               "--user-data-dir=" + paths.userData(), "about:blank"},
                              options);

  const ProfilePreparer preparer(dir.path());
  std::string detail;
  const bool locked = testing::eventually(
      [&] {
        detail = ProfileDiagnostics::inspect(paths, preparer).checks.at(2).detail;
        return detail == "Present: SingletonCookie, SingletonLock, SingletonSocket";
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(locked) << detail;
  const auto lock = SecureFileSystem::metadata(paths.userData() + "/SingletonLock");
  ASSERT_TRUE(lock);
  EXPECT_EQ(lock->kind(), FileMetadata::Kind::symbolicLink);
  // The rest of the profile is still what the diagnostics call private.
  EXPECT_EQ(ProfileDiagnostics::inspect(paths, preparer).checks.at(0).status,
            DiagnosticStatus::pass);

  ::kill(-browser.pid(), SIGKILL);
  EXPECT_TRUE(browser.wait().has_value());
}

}  // namespace
}  // namespace korvelin
