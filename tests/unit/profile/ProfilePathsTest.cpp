#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/JsonSupport.h"
#include "core/files/FileSystemSecurity.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::exists;
using testing::expectCoreError;
using testing::makeDirectory;
using testing::modeOf;
using testing::setfacl;

const Uuid kProfile = *Uuid::parse("5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
const ErrorFactory kPath = &KorvelinCoreError::unsafeProfilePath;
const ErrorFactory kBase = &KorvelinCoreError::unsafeProfileBase;

TEST(ProfilePathsTest, TreeLayoutUnderAStandardizedBase) {
  const ProfilePaths paths(kProfile, "/data//x/./y/../Korvelin/");
  const std::string root = "/data/x/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
  EXPECT_EQ(paths.baseDirectory(), "/data/x/Korvelin");
  EXPECT_EQ(paths.root(), root);
  EXPECT_EQ(paths.userData(), root + "/user-data");
  EXPECT_EQ(paths.codexHome(), root + "/home/.codex");
  EXPECT_EQ(paths.leaseFile(), root + "/.launch.lock");
  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann/", std::nullopt),
            "/home/ann/.local/share/Korvelin");
  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann", "/xdg/data/"), "/xdg/data/Korvelin");
  EXPECT_EQ(ProfilePaths::defaultBaseDirectory("/home/ann", "relative"),
            "/home/ann/.local/share/Korvelin");
}

TEST(ProfilePathsTest, JsonUsesFileURLsAndRefusesLocationsOfAnotherTree) {
  const ProfilePaths paths(kProfile, "/Users/ann/Application Support/Korvelin");
  const std::string root =
      "file:///Users/ann/Application%20Support/Korvelin/Profiles/"
      "5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
  nlohmann::json json = paths;
  EXPECT_EQ(json["profileID"], "5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
  EXPECT_EQ(json["userData"], root + "/user-data/");
  auto decode = [](const nlohmann::json& document) {
    return jsonio::decode(document.dump(), &KorvelinCoreError::unsafeProfilePath, "paths",
                          [](const nlohmann::json& j) { return profilePathsFromJSON(j); });
  };
  EXPECT_EQ(decode(json), paths);
  const std::vector<std::pair<const char*, nlohmann::json>> tampered = {
      {"root", "file:///tmp/elsewhere/"},
      {"home", root + "/home%2F..%2F..%2Fx/"},
      {"baseDirectory", "/Users/ann/Application Support/Korvelin"},
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
      : parent(temp.child("share")),
        defaultBase(parent + "/Korvelin"),
        preparer(defaultBase),
        paths(kProfile, defaultBase) {
    makeDirectory(parent, 0755);
  }

  testing::ScopedTempDir temp;
  std::string parent, defaultBase;
  ProfilePreparer preparer;
  ProfilePaths paths;
};

TEST_F(ProfilePreparerTest, OnlyTheDefaultBaseIsCreatedAndOnlyUnderASafeParent) {
  const std::string custom = temp.child("custom");
  EXPECT_EQ(expectCoreError([&] { preparer.prepare(ProfilePaths(kProfile, custom)); }),
            kBase("custom base must already exist: " + custom));
  EXPECT_FALSE(exists(custom));

  const std::vector<std::pair<std::function<void()>, std::string>> parents = {
      {[&] {
         setfacl({"-m", "u:65534:rx,m::---", parent});
       },
       "access-granting extended ACL is not allowed: " + parent},
      {[&] { ::chmod(parent.c_str(), 0775); },
       "directory is writable by group or others: " + parent},
  };
  for (const auto& [damage, detail] : parents) {
    damage();
    EXPECT_EQ(expectCoreError([&] { preparer.prepareBase(defaultBase); }), kBase(detail));
    EXPECT_FALSE(exists(defaultBase));
    ::rmdir(parent.c_str());
    makeDirectory(parent, 0755);
  }

  preparer.prepare(paths);
  EXPECT_EQ(modeOf(defaultBase), 0700u);

  // An existing base may be readable by others, never writable by them or
  // by the group.
  for (mode_t mode : {0755, 0750, 0757, 0775}) {
    ::chmod(defaultBase.c_str(), mode);
    if ((mode & 022) == 0)
      EXPECT_NO_THROW(preparer.validatePrepared(paths)) << mode;
    else
      EXPECT_EQ(expectCoreError([&] { preparer.prepare(paths); }),
                kBase("directory is writable by group or others: " + defaultBase));
  }
}

TEST_F(ProfilePreparerTest, PrepareLeavesACompleteTreeAloneAndRestoresAMissingChild) {
  preparer.prepare(paths);
  std::vector<std::string> all = {defaultBase, paths.profilesDirectory(), paths.root()};
  for (auto name : ProfilePaths::kChildDirectoryNames)
    all.push_back(paths.child(name));
  auto snapshot = [&] {
    std::vector<std::optional<FileMetadata>> result;
    for (const auto& path : all)
      result.push_back(SecureFileSystem::metadata(path));
    return result;
  };
  const auto before = snapshot();
  preparer.prepare(paths);
  EXPECT_EQ(snapshot(), before);  // not even a change time moved

  ASSERT_EQ(::rmdir(paths.cache().c_str()), 0);
  preparer.prepare(paths);
  EXPECT_EQ(modeOf(paths.cache()), 0700u);

  ASSERT_EQ(::rmdir(paths.logs().c_str()), 0);
  EXPECT_EQ(expectCoreError([&] { preparer.validatePrepared(paths); }),
            kPath("openat failed for " + paths.logs() + ": No such file or directory"));
  EXPECT_FALSE(exists(paths.logs()));
}

TEST_F(ProfilePreparerTest, CodexHomeIsCreatedPrivateInsideAVerifiedTree) {
  EXPECT_EQ(expectCoreError([&] { preparer.prepareCodexHome(paths); }).errorCase(),
            KorvelinCoreError::Case::unsafeProfileBase);
  preparer.prepare(paths);
  preparer.prepareCodexHome(paths);
  EXPECT_EQ(modeOf(paths.codexHome()), 0700u);
  ::chmod(paths.codexHome().c_str(), 0755);
  EXPECT_EQ(expectCoreError([&] { preparer.prepareCodexHome(paths); }),
            kPath("managed directory failed owner/type/mode validation: " + paths.codexHome()));
}

}  // namespace
}  // namespace korvelin
