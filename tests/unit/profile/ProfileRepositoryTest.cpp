#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using namespace std::chrono;
using nlohmann::json;
using testing::chromeInstallation;
using testing::errorCaseOf;
using testing::exists;
using testing::makeDirectory;
using testing::makeFile;
using testing::readText;
using testing::thrownDetail;
using Case = KorvelinCoreError::Case;
using ::testing::IsEmpty;

json profileObject(const Uuid& id) {
  json profile = json::parse(R"({"name": "Work", "color": "blue",
    "application": {"displayName": "Chrome", "bundleIdentifier": "com.google.Chrome",
      "bundlePath": "/Applications/Google Chrome.app", "marketingVersion": "131.0",
      "buildVersion": "131.0.1"},
    "adapterIdentifier": "com.korvelin.adapter.chrome", "createdAt": "2026-01-05T10:20:30Z"})");
  profile["id"] = id.uppercaseString();
  return profile;
}

// Fails the repository's operation at the fault point called `name`.
std::function<bool(const ProfileCatalogFaultPoint&)> failAt(std::string name) {
  return [name](const ProfileCatalogFaultPoint& point) { return point.name == name; };
}

class ProfileRepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override { makeDirectory(base_); }

  ProfileRepository repository() const { return ProfileRepository(base_, dir_.child("default")); }
  std::string catalog() const { return base_ + "/profiles.json"; }

  // A catalogue written by hand, with every profile's tree in place.
  void writeCatalog(const json& document) { writeCatalogBytes(document.dump(2), document); }
  void writeCatalogBytes(const std::string& bytes, const json& document) {
    std::filesystem::remove(catalog());
    makeFile(catalog(), 0600, bytes);
    for (const auto& profile : document["profiles"])
      if (auto id = Uuid::parse(profile.value("id", "")))
        ProfilePreparer(dir_.child("default")).prepare(ProfilePaths(*id, base_));
  }

  static ProfileRepository::Draft draft(const std::string& name) { return {Uuid::random(), name}; }

  AppProfile create(const std::string& name) {
    return repository().create(draft(name), chromeInstallation());
  }

  // Every name in the base except the lock, the catalogue and "Profiles".
  std::vector<std::string> strayEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(base_)) {
      const auto name = entry.path().filename().string();
      if (name != ".profiles.lock" && name != "profiles.json" && name != "Profiles")
        names.push_back(name);
    }
    return names;
  }

  testing::ScopedTempDir dir_;
  std::string base_ = dir_.child("base");
};

// Each schema version accepts exactly its keys, and a catalogue that breaks
// a rule of the model is refused with the first broken rule.
TEST_F(ProfileRepositoryTest, HandWrittenCataloguesLoadOnlyWithTheirVersionsKeysAndRules) {
  const Uuid id = Uuid::random();
  const json proxy = {{"scheme", "socks5"}, {"host", "127.0.0.1"}, {"port", 1080}};
  const json variables = json::array({{{"name", "A"}, {"value", "1"}}});
  const json arguments = json::array({"--x"});
  const std::string connection = Uuid::random().uppercaseString();
  const json none = json::object(), fallback = {{"allowSystemRouteFallback", false}};
  const auto with = [](json object, const char* key, json value) {
    object[key] = std::move(value);
    return object;
  };
  // The profile with `extra` merged in, alone in the catalogue.
  const auto one = [&](const json& extra) {
    json profile = profileObject(id);
    profile.merge_patch(extra);
    return json::array({profile});
  };
  const json twice = json::array({one(fallback)[0], one(fallback)[0]});
  const json home = json::array({{{"name", "HOME"}, {"value", "/"}}});
  const std::string fields = "unexpected profile fields";
  const std::string settings = "invalid profile environment variables or launch arguments";
  struct Row {
    int version;
    json profiles;
    std::optional<std::string> refusal;  // absent: loads
  };
  const std::vector<Row> rows = {
      {1, one(none), std::nullopt},
      {1, one(with(none, "proxy", proxy)), fields},
      {2, one(with(none, "proxy", proxy)), std::nullopt},
      {2, one(fallback), fields},
      {3, one(none), fields},  // "allowSystemRouteFallback" is required from 3 on
      {3, one(with(fallback, "proxyConnectionID", connection)), std::nullopt},
      {3, one(with(fallback, "environmentVariables", variables)), fields},
      {4, one(with(fallback, "environmentVariables", variables)), std::nullopt},
      {4, one(with(fallback, "launchArguments", arguments)), fields},
      {5, one(with(fallback, "launchArguments", arguments)), std::nullopt},
      {5, one(with(fallback, "extra", 1)), fields},
      {5, one(with(with(fallback, "proxy", proxy), "proxyConnectionID", connection)), fields},
      {5, one(with(fallback, "proxy", with(proxy, "x", 1))), "unexpected proxy fields"},
      {5, one(with(fallback, "environmentVariables", json::array({with(variables[0], "x", 1)}))),
       "unexpected environment variable fields"},
      {5, one(with(fallback, "launchArguments", {1})), "unexpected launch argument fields"},
      {5, one(with(fallback, "application", {{"extra", "x"}})), fields},
      {0, one(none), "unexpected catalog fields"},
      {6, one(fallback), "unexpected catalog fields"},
      {5, twice, "duplicate profile identifier"},
      {5, one(with(fallback, "name", " Work")), "invalid profile name"},
      {5, one(with(fallback, "launchArguments", {"--user-data-dir=/tmp"})), settings},
      {5, one(with(fallback, "environmentVariables", home)), settings},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.version) + " " + row.profiles.dump());
    writeCatalog({{"schemaVersion", row.version}, {"profiles", row.profiles}});
    EXPECT_EQ(thrownDetail(Case::invalidProfileCatalog, [&] { repository().load(); }), row.refusal);
  }
  // Every catalogued profile's tree must be whole.
  std::filesystem::remove_all(ProfilePaths(id, base_).root());
  writeCatalog({{"schemaVersion", 5}, {"profiles", one(fallback)}});
  std::filesystem::remove_all(ProfilePaths(id, base_).logs());
  EXPECT_EQ(thrownDetail(Case::invalidProfileCatalog, [&] { repository().load(); }),
            "profile hierarchy is missing or unsafe: " + id.uppercaseString());
}

TEST_F(ProfileRepositoryTest, AnOlderCatalogIsWrittenBackAsVersionFiveWithTheModelsKeys) {
  const Uuid old = Uuid::random();
  writeCatalog({{"schemaVersion", 1}, {"profiles", {profileObject(old)}}});
  create("New");
  const json written = json::parse(readText(catalog()));
  EXPECT_EQ(written["schemaVersion"], 5);
  json expected = profileObject(old);
  expected["allowSystemRouteFallback"] = false;
  EXPECT_EQ(written["profiles"][0], expected);
  EXPECT_EQ(written["profiles"].size(), 2u);
}

TEST_F(ProfileRepositoryTest, CatalogSizeLimitHoldsOnReadAndWrite) {
  // Exactly at the limit loads, one byte more does not (trailing white space
  // keeps the JSON valid).
  const json document = {{"schemaVersion", 5}, {"profiles", json::array()}};
  const auto loadAtSize = [&](std::size_t size) {
    std::string bytes = document.dump();
    bytes.resize(size, ' ');
    writeCatalogBytes(bytes, document);
    return errorCaseOf([&] { repository().load(); });
  };
  EXPECT_EQ(loadAtSize(ProfileRepository::maximumCatalogBytes), std::nullopt);
  EXPECT_EQ(loadAtSize(ProfileRepository::maximumCatalogBytes + 1), Case::profileCatalogTooLarge);
  ::unlink(catalog().c_str());

  // A change whose result would not fit is refused before any tree exists.
  create("First");
  const std::string before = readText(catalog());
  auto small = repository();
  small.maximumBytes = before.size() + 10;
  const auto draft = ProfileRepositoryTest::draft("Second");
  EXPECT_EQ(errorCaseOf([&] { small.create(draft, chromeInstallation()); }),
            Case::profileCatalogTooLarge);
  EXPECT_EQ(readText(catalog()), before);
  EXPECT_FALSE(exists(ProfilePaths(draft.id, base_).root()));
}

TEST_F(ProfileRepositoryTest, ProfilesComeBackByDateThenIdentifier) {
  auto repo = repository();
  const auto date = sys_seconds{seconds{1767608430}};
  std::vector<std::string> expected;
  for (auto offset : {milliseconds(700), milliseconds(0), milliseconds(999), milliseconds(-1000)}) {
    repo.now = [&] { return system_clock::time_point(date) + offset; };
    expected.push_back(repo.create(draft("P"), chromeInstallation()).id.uppercaseString());
  }
  // The one created a second earlier first, then the rest of that second by
  // identifier: the fraction is not kept.
  std::rotate(expected.begin(), expected.end() - 1, expected.end());
  std::sort(expected.begin() + 1, expected.end());
  std::vector<std::string> loaded;
  for (const auto& profile : repo.load().profiles)
    loaded.push_back(profile.id.uppercaseString());
  EXPECT_EQ(loaded, expected);
}

// Faults before the rename, and a writer that bypassed the lock, leave the
// old catalogue and no temporary file.
TEST_F(ProfileRepositoryTest, FaultsBeforeTheRenameLeaveTheOldCatalogAndNoTemporaryFile) {
  create("Existing");
  const std::string before = readText(catalog());
  using Point = ProfileCatalogFaultPoint;
  struct Row {
    Point point;
    bool treeRemains;  // the draft's root was created before the fault
  };
  const std::vector<Row> rows = {
      {Point::createHierarchy("hierarchy.root"), false},
      {Point::createHierarchy("hierarchy.child.cache"), true},
      {Point::sync("hierarchy.base"), true},
      {Point::sync("default-parent"), false},
      {Point::writeTemporary(), true},
      {Point::sync("catalog.temporary"), true},
      {Point::renameCatalog(), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.point.name.empty() ? std::to_string(static_cast<int>(row.point.kind))
                                        : row.point.name);
    // The default base reaches the parent's sync; the others use a custom one.
    const bool atDefault = row.point.name == "default-parent";
    ProfileRepository repo(base_, atDefault ? base_ : dir_.child("default"));
    repo.shouldFail = [&](const ProfileCatalogFaultPoint& point) { return point == row.point; };
    const auto draft = ProfileRepositoryTest::draft("Draft");
    EXPECT_EQ(errorCaseOf([&] { repo.create(draft, chromeInstallation()); }),
              Case::profileCatalogWriteFailed);
    EXPECT_EQ(readText(catalog()), before);
    EXPECT_THAT(strayEntries(), IsEmpty());
    EXPECT_EQ(exists(ProfilePaths(draft.id, base_).root()), row.treeRemains);
    if (row.treeRemains) {  // an abandoned tree is never adopted
      EXPECT_EQ(errorCaseOf([&] { repository().create(draft, chromeInstallation()); }),
                Case::profileAlreadyExists);
    }
    EXPECT_EQ(repository().load().profiles.size(), 1u);
  }

  // Another process replaces the file with the same bytes (a new inode)
  // without taking the lock: detected, and nothing is left behind.
  auto repo = repository();
  repo.shouldFail = [&](const ProfileCatalogFaultPoint& point) {
    if (point.kind == ProfileCatalogFaultPoint::Kind::writeTemporary) {
      makeFile(dir_.child("other"), 0600, readText(catalog()));
      std::filesystem::rename(dir_.child("other"), catalog());
    }
    return false;
  };
  EXPECT_EQ(thrownDetail(Case::unsafeProfileCatalog,
                         [&] { repo.create(draft("Late"), chromeInstallation()); }),
            "profiles.json changed during update");
  EXPECT_THAT(strayEntries(), IsEmpty());
}

TEST_F(ProfileRepositoryTest, AnUnconfirmedCommitIsVisibleAndReportedAsSuch) {
  auto repo = repository();
  repo.shouldFail = failAt("catalog.commit-base");
  const auto draft = ProfileRepositoryTest::draft("Uncertain");
  EXPECT_EQ(testing::thrownError([&] { repo.create(draft, chromeInstallation()); }),
            KorvelinCoreError::profileCatalogCommitUncertain(draft.id));
  repo.shouldFail = failAt("recovery.base");
  auto snapshot = repo.load();
  ASSERT_EQ(snapshot.profiles.size(), 1u);
  EXPECT_EQ(snapshot.profiles[0].id, draft.id);
  EXPECT_EQ(snapshot.durability, ProfileCatalogDurability::unconfirmed);
  EXPECT_EQ(repository().load().durability, ProfileCatalogDurability::confirmed);
  // As the default base, its parent is synced too.
  ProfileRepository asDefault(base_, base_);
  asDefault.shouldFail = failAt("recovery.default-parent");
  EXPECT_EQ(asDefault.load().durability, ProfileCatalogDurability::unconfirmed);
}

TEST_F(ProfileRepositoryTest, RefusedCreationsAndMissingBasesLeaveNothingBehind) {
  CodexInstallation unverified = chromeInstallation(), otherTeam = unverified, unnamed = unverified;
  unverified.bundleIdentifier = "com.openai.codex";
  unverified.signingTeamIdentifier = "2DC432GLL2";
  unverified.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  otherTeam.signingTeamIdentifier = "AAAAAAAAAA";
  unnamed.displayName = "";
  const struct {
    const char* name;
    CodexInstallation installation;
    Case expected;
  } rows[] = {
      {"unverified Codex", unverified, Case::unverifiedVersion},
      {"another team", otherTeam, Case::invalidProfileCatalog},
      {"empty display name", unnamed, Case::invalidProfileCatalog},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto draft = ProfileRepositoryTest::draft("Refused");
    EXPECT_EQ(errorCaseOf([&] { repository().create(draft, row.installation); }), row.expected);
    EXPECT_FALSE(exists(catalog()));
    EXPECT_FALSE(exists(ProfilePaths(draft.id, base_).root()));
  }

  // A custom base must exist; a missing default one is an empty catalogue,
  // and reading it creates nothing.
  ProfileRepository missingCustom(dir_.child("nope"), dir_.child("default"));
  EXPECT_EQ(thrownDetail(Case::unsafeProfileBase, [&] { missingCustom.load(); }),
            "custom base must already exist: " + dir_.child("nope"));
  ProfileRepository missingDefault(dir_.child("default"), dir_.child("default"));
  EXPECT_EQ(missingDefault.load(), ProfileCatalogSnapshot{});
  EXPECT_FALSE(exists(dir_.child("default")));
}

TEST_F(ProfileRepositoryTest, DeletionIsRefusedRolledBackOrCompleteAndNeverFollowsALink) {
  const AppProfile keep = create("Keep");
  const AppProfile profile = create("Doomed");
  const ProfilePaths paths(profile.id, base_);
  const std::string before = readText(catalog());

  // A launch lease blocks the deletion of the data.
  makeFile(paths.leaseFile(), 0600, "{}");
  EXPECT_EQ(errorCaseOf([&] { repository().remove(profile.id, true); }),
            Case::profileDeletionBlocked);
  EXPECT_EQ(readText(catalog()), before);
  ::unlink(paths.leaseFile().c_str());

  // A commit that fails puts the tree back where it was.
  auto failing = repository();
  failing.shouldFail = [](const ProfileCatalogFaultPoint& p) {
    return p.kind == ProfileCatalogFaultPoint::Kind::renameCatalog;
  };
  EXPECT_EQ(errorCaseOf([&] { failing.remove(profile.id, true); }),
            Case::profileCatalogWriteFailed);
  EXPECT_EQ(readText(catalog()), before);
  EXPECT_EQ(repository().load().profiles.size(), 2u);

  // The data goes, read-only directories included, and no link is followed.
  const std::string outside = dir_.child("outside.txt");
  makeFile(outside, 0600, "keep me");
  testing::makeSymlink(outside, paths.userData() + "/link-to-outside");
  testing::makeSymlink(base_, paths.userData() + "/link-to-base");
  makeDirectory(paths.userData() + "/sealed");
  makeFile(paths.userData() + "/sealed/file", 0400, "x");
  ::chmod((paths.userData() + "/sealed").c_str(), 0500);
  makeDirectory(paths.cache() + "/closed");
  ::chmod((paths.cache() + "/closed").c_str(), 0000);
  repository().remove(profile.id, true);
  EXPECT_FALSE(exists(paths.root()));
  EXPECT_EQ(readText(outside), "keep me");
  const std::filesystem::directory_iterator left(paths.profilesDirectory());
  EXPECT_EQ(std::distance(left, std::filesystem::directory_iterator()), 1) << "only Keep's tree";
  EXPECT_EQ(repository().load().profiles, std::vector<AppProfile>{keep});

  // Without its data the tree stays, no longer catalogued.
  repository().remove(keep.id, false);
  EXPECT_TRUE(exists(ProfilePaths(keep.id, base_).root()));
  EXPECT_THAT(repository().load().profiles, IsEmpty());
  EXPECT_EQ(errorCaseOf([&] { repository().remove(keep.id, false); }), Case::profileNotFound);
}

}  // namespace
}  // namespace korvelin
