#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/FileSystemSecurity.h"
#include "core/JsonSupport.h"
#include "core/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::exists;
using testing::expectCoreError;
using testing::makeDirectory;
using testing::modeOf;
using testing::setfacl;

const Uuid kProfile = *Uuid::parse("5C4B3A29-1807-4F6E-9D5C-4B3A29180706");

TEST(ProfilePathsTest, TreeLayoutUnderAStandardizedBase) {
  const ProfilePaths paths(kProfile, "/data//x/./y/../Korvelin/");
  const std::string root = "/data/x/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
  EXPECT_EQ(paths.baseDirectory(), "/data/x/Korvelin");
  EXPECT_EQ(paths.profilesDirectory(), "/data/x/Korvelin/Profiles");
  EXPECT_EQ(paths.root(), root);
  EXPECT_EQ(paths.home(), root + "/home");
  EXPECT_EQ(paths.config(), root + "/config");
  EXPECT_EQ(paths.cache(), root + "/cache");
  EXPECT_EQ(paths.userData(), root + "/user-data");
  EXPECT_EQ(paths.logs(), root + "/logs");
  EXPECT_EQ(paths.codexHome(), root + "/home/.codex");
  EXPECT_EQ(paths.leaseFile(), root + "/.launch.lock");
  EXPECT_EQ(paths, ProfilePaths(*Uuid::parse(kProfile.lowercaseString()), "/data/x/Korvelin"));

  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann/", std::nullopt), "/home/ann/.local/share/Korvelin");
  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann", "/xdg/data/"), "/xdg/data/Korvelin");
  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann", "relative"), "/home/ann/.local/share/Korvelin");
}

TEST(ProfilePathsTest, JsonUsesFileURLsAndRefusesLocationsOfAnotherTree) {
  const ProfilePaths paths(kProfile, "/Users/ann/Application Support/Korvelin");
  nlohmann::json json = paths;
  EXPECT_EQ(json["profileID"], "5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
  EXPECT_EQ(json["baseDirectory"], "file:///Users/ann/Application%20Support/Korvelin/");
  EXPECT_EQ(json["userData"],
            "file:///Users/ann/Application%20Support/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706/user-data/");
  auto decode = [](const nlohmann::json& document) {
    return jsonio::decode(document.dump(), &KorvelinCoreError::unsafeProfilePath, "paths",
                          [](const nlohmann::json& j) { return profilePathsFromJSON(j); });
  };
  EXPECT_EQ(decode(json), paths);
  auto withoutSlash = json;
  withoutSlash["logs"] = "file:///Users/ann/Application%20Support/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706/logs";
  EXPECT_EQ(decode(withoutSlash), paths);

  const std::vector<std::pair<const char*, nlohmann::json>> tampered = {
      {"root", "file:///tmp/elsewhere/"},
      {"home", "file:///Users/ann/Application%20Support/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706/home%2F..%2F..%2Fx/"},
      {"baseDirectory", "/Users/ann/Application Support/Korvelin"},
      {"cache", "http://host/cache"},
      {"profileID", "not-a-uuid"},
      {"extra", "x"},
  };
  for (const auto& [key, value] : tampered) {
    auto document = json;
    document[key] = value;
    EXPECT_THROW(decode(document), KorvelinCoreError) << key;
  }
}

class ProfilePreparerTest : public ::testing::Test {
 protected:
  ProfilePreparerTest()
      : parent(temp.child("share")), defaultBase(parent + "/Korvelin"), preparer(defaultBase),
        paths(kProfile, defaultBase) {
    makeDirectory(parent, 0755);
  }

  testing::ScopedTempDir temp;
  std::string parent;
  std::string defaultBase;
  ProfilePreparer preparer;
  ProfilePaths paths;
};

TEST_F(ProfilePreparerTest, OnlyTheDefaultBaseIsCreatedAndOnlyUnderASafeParent) {
  const std::string custom = temp.child("custom");
  auto error = expectCoreError([&] { preparer.prepare(ProfilePaths(kProfile, custom)); });
  EXPECT_EQ(error, KorvelinCoreError::unsafeProfileBase("custom base must already exist: " + custom));
  EXPECT_FALSE(exists(custom));

  struct Parent {
    const char* name;
    std::function<void()> damage;
    std::string detail;
  };
  const std::vector<Parent> parents = {
      {"grants access through an ACL", [&] { setfacl({"-m", "u:65534:rx,m::---", parent}); },
       "access-granting extended ACL is not allowed: " + parent},
      {"group-writable", [&] { ::chmod(parent.c_str(), 0775); },
       "directory is writable by group or others: " + parent},
      {"another user's", [&] { ASSERT_EQ(::chown(parent.c_str(), 65534, 65534), 0); },
       "directory is owned by uid 65534: " + parent},
  };
  for (const auto& p : parents) {
    SCOPED_TRACE(p.name);
    p.damage();
    auto refused = expectCoreError([&] { preparer.prepareBase(defaultBase); });
    EXPECT_EQ(refused, KorvelinCoreError::unsafeProfileBase(p.detail));
    EXPECT_FALSE(exists(defaultBase));
    ::rmdir(parent.c_str());
    makeDirectory(parent, 0755);
  }

  const mode_t previous = ::umask(0);
  preparer.prepare(paths);
  ::umask(previous);
  EXPECT_EQ(modeOf(defaultBase), 0700u);
  preparer.validatePrepared(paths);
}

TEST_F(ProfilePreparerTest, BaseMayBe0755ButNotGroupWritable) {
  makeDirectory(defaultBase, 0755);
  EXPECT_NO_THROW(preparer.validateBase(defaultBase));
  EXPECT_NO_THROW(preparer.prepare(paths));
  ::chmod(defaultBase.c_str(), 0775);
  EXPECT_EQ(expectCoreError([&] { preparer.validateBase(defaultBase); }),
            KorvelinCoreError::unsafeProfileBase("directory is writable by group or others: " + defaultBase));
  EXPECT_EQ(expectCoreError([&] { preparer.prepare(paths); }),
            KorvelinCoreError::unsafeProfileBase("directory is writable by group or others: " + defaultBase));
}

TEST_F(ProfilePreparerTest, PrepareLeavesACompleteTreeAloneAndRestoresAMissingChild) {
  preparer.prepare(paths);
  std::vector<std::string> all = {defaultBase, paths.profilesDirectory(), paths.root()};
  for (auto name : ProfilePaths::kChildDirectoryNames) all.push_back(paths.child(name));
  auto snapshot = [&] {
    std::vector<FileMetadata> result;
    for (const auto& path : all) result.push_back(*SecureFileSystem::metadata(path));
    return result;
  };
  const auto before = snapshot();
  preparer.prepare(paths);
  EXPECT_EQ(snapshot(), before);

  ASSERT_EQ(::rmdir(paths.cache().c_str()), 0);
  expectCoreError([&] { preparer.validatePrepared(paths); });
  EXPECT_FALSE(exists(paths.cache()));
  const mode_t previous = ::umask(022);
  preparer.prepare(paths);
  ::umask(previous);
  EXPECT_EQ(modeOf(paths.cache()), 0700u);

  ASSERT_EQ(::rmdir(paths.logs().c_str()), 0);
  auto error = expectCoreError([&] { preparer.validatePrepared(paths); });
  EXPECT_EQ(error, KorvelinCoreError::unsafeProfilePath("openat failed for " + paths.logs() +
                                                         ": No such file or directory"));
  EXPECT_FALSE(exists(paths.logs()));
}

TEST_F(ProfilePreparerTest, CodexHomeIsCreatedPrivateInsideAVerifiedTree) {
  auto error = expectCoreError([&] { preparer.prepareCodexHome(paths); });
  EXPECT_EQ(error.errorCase(), Case::unsafeProfileBase);
  preparer.prepare(paths);
  preparer.prepareCodexHome(paths);
  EXPECT_EQ(modeOf(paths.codexHome()), 0700u);
  ::chmod(paths.codexHome().c_str(), 0755);
  EXPECT_EQ(expectCoreError([&] { preparer.prepareCodexHome(paths); }),
            KorvelinCoreError::unsafeProfilePath("managed directory failed owner/type/mode validation: " +
                                                 paths.codexHome()));
}

}  // namespace
}  // namespace korvelin
