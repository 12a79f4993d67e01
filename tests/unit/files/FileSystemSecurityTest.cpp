// The secure primitives on real directories in a private temp dir. Every
// refusal is checked for its case, its exact detail text and that it left no
// descriptor open (expectCoreError); on-disk state is checked where a refusal
// could have changed it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/files/FileSystemSecurity.h"
#include "core/platform/Acl.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using FS = SecureFileSystem;
using platform::ScopedFD;
using testing::exists;
using testing::expectCoreError;
using testing::makeDirectory;
using testing::makeFile;
using testing::makeSymlink;
using testing::modeOf;
using testing::setfacl;

const Uuid kProfile = *Uuid::parse("5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
const ErrorFactory kPath = &KorvelinCoreError::unsafeProfilePath;
const ErrorFactory kBase = &KorvelinCoreError::unsafeProfileBase;

ScopedFD openDirectory(const std::string& path) {
  return ScopedFD(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

class SecureFileSystemTest : public ::testing::Test {
 protected:
  SecureFileSystemTest() : base(temp.child("base")), paths(kProfile, base) { makeDirectory(base); }

  testing::ScopedTempDir temp;
  std::string base;
  ProfilePaths paths;
};

TEST_F(SecureFileSystemTest, SymbolicLinkAnywhereInThePathIsRefusedEvenWhenItPointsSomewhereSafe) {
  FS::prepareManagedHierarchy(paths);
  const std::string link = temp.child("link");
  makeSymlink(base, link);
  const ProfilePaths linked(kProfile, link);
  const std::vector<std::function<void()>> operations = {
      [&] { FS::requireDirectory(link, {}, kPath); },
      [&] { FS::openDirectoryFD(link, {}, kPath); },
      [&] { FS::openManagedRootFD(linked); },
      [&] { FS::prepareManagedHierarchy(linked); },
  };
  for (const auto& operation : operations)
    EXPECT_EQ(expectCoreError(operation), kPath("path contains a symbolic link: " + link));
  EXPECT_EQ(expectCoreError([&] { FS::createDirectoryIfNeeded(link + "/new", kBase); }),
            kBase("path contains a symbolic link: " + link + "/new"));
  EXPECT_FALSE(exists(base + "/new"));

  // A linked child is neither followed nor created through.
  const std::string elsewhere = temp.child("elsewhere");
  makeDirectory(elsewhere);
  const ProfilePaths other(kProfile, elsewhere);
  makeDirectory(temp.child("target"));
  makeSymlink(temp.child("target"), elsewhere + "/Profiles");
  auto error = expectCoreError([&] { FS::prepareManagedHierarchy(other); });
  EXPECT_EQ(error.detail(), "openat failed for " + other.profilesDirectory() + ": Not a directory");
  EXPECT_FALSE(exists(temp.child("target/") + kProfile.lowercaseString()));
}

TEST_F(SecureFileSystemTest, ExistingDirectoriesWithWrongProtectionAreReportedNotRepaired) {
  FS::prepareManagedHierarchy(paths);
  const std::string cache = paths.cache();
  const std::string invalid = "managed directory failed owner/type/mode validation: " + cache;
  const std::string acl = "extended ACL is not allowed: " + cache;
  const auto grant = [&](std::vector<std::string> arguments) {
    arguments.push_back(cache);
    return [arguments] { setfacl(arguments); };
  };
  const std::vector<std::pair<std::function<void()>, std::string>> damages = {
      {[&] { ::chmod(cache.c_str(), 0755); }, invalid},
      {[&] { ASSERT_EQ(::chown(cache.c_str(), 65534, 65534), 0); }, invalid},
      // A named ACL entry widens the mask, which shows in the group bits...
      {grant({"-m", "u:65534:rx"}), invalid},
      // ...unless the mask is empty; a default ACL alone leaves the mode too.
      {grant({"-m", "u:65534:rx,m::---"}), acl},
      {grant({"-d", "-m", "u:65534:rx"}), acl},
      {[&] { ::rmdir(cache.c_str()), makeFile(cache); },
       "openat failed for " + cache + ": Not a directory"},
  };
  for (const auto& [damage, detail] : damages) {
    SCOPED_TRACE(detail);
    ::rmdir(cache.c_str());
    ::unlink(cache.c_str());
    makeDirectory(cache);
    damage();
    auto before = FS::metadata(cache);
    EXPECT_EQ(expectCoreError([&] { FS::prepareManagedHierarchy(paths); }), kPath(detail));
    EXPECT_EQ(expectCoreError([&] { FS::validateManagedHierarchy(paths); }), kPath(detail));
    EXPECT_EQ(FS::metadata(cache), before);
  }
}

TEST_F(SecureFileSystemTest, WhatIsCreatedEndsExactlyPrivateWhateverUmaskAndInheritedACL) {
  // A default ACL on the parent hands its entries to every new child, and
  // umask 0 leaves group and other bits: both are undone on creation.
  setfacl({"-d", "-m", "u:65534:rwx", base});
  const mode_t previous = ::umask(0);
  FS::createDirectoryIfNeeded(base + "/created", kPath);
  const ProfilePaths prepared(Uuid::random(), base + "/created");
  FS::prepareManagedHierarchy(prepared);
  ::umask(022);
  const ProfilePaths fresh(Uuid::random(), base);
  FS::prepareNewManagedHierarchy(
      fresh, openDirectory(base).get(), [](auto) {}, [](int, auto) {});
  ::umask(previous);

  std::vector<std::string> created = {base + "/created"};
  for (const auto& p : {prepared, fresh})
    for (const auto& path :
         {p.profilesDirectory(), p.root(), p.home(), p.config(), p.cache(), p.userData(), p.logs()})
      created.push_back(path);
  for (const auto& path : created) {
    EXPECT_EQ(modeOf(path), 0700u) << path;
    EXPECT_NO_THROW(FS::requireNoExtendedACL(path, kPath)) << path;
  }
}

TEST_F(SecureFileSystemTest, AnExistingDirectoryIsCheckedForItsModeAndNeverChanged) {
  const std::string dir = temp.child("dir");
  makeDirectory(dir, 0755);
  const std::string wrongMode = "expected mode 700, got 755: " + dir;
  const std::vector<std::pair<std::optional<std::uint16_t>, std::string>> checks = {
      {std::nullopt, ""}, {0755, ""}, {0700, wrongMode}};  // empty: accepted
  for (const auto& [exact, detail] : checks) {
    auto operation = [&] { FS::requireDirectory(dir, {exact, false}, kBase); };
    if (detail.empty())
      EXPECT_NO_THROW(operation()) << *exact;
    else
      EXPECT_EQ(expectCoreError(operation), kBase(detail));
  }
  EXPECT_EQ(expectCoreError([&] { FS::createDirectoryIfNeeded(dir, kPath); }), kPath(wrongMode));
  EXPECT_EQ(modeOf(dir), 0755u);
}

// The one walk that hands on a verified tree refuses a base exactly as the
// path check of the base does, each fault with its own text, and checks the
// tree below it.
TEST_F(SecureFileSystemTest, TheOneWalkRefusesABaseAsThePathCheckDoes) {
  using Spoil = std::function<void(const std::string& base)>;
  const Spoil moveAway = [](const std::string& b) { ::rename(b.c_str(), (b + ".gone").c_str()); };
  const struct {
    const char* name;
    Spoil spoil;
    std::string detail;  // of the refusal, before the base's path
  } faults[] = {
      {"missing", moveAway, "directory does not exist: "},
      {"a file", [&](const std::string& b) { moveAway(b), makeFile(b); }, "not a directory: "},
      {"a link to a safe directory",
       [&](const std::string& b) { moveAway(b), makeSymlink(temp.child("elsewhere"), b); },
       "path contains a symbolic link: "},
      {"another user's", [](const std::string& b) { ::chown(b.c_str(), 65534, 65534); },
       "directory is owned by uid 65534: "},
      {"group-writable", [](const std::string& b) { ::chmod(b.c_str(), 0775); },
       "directory is writable by group or others: "},
      {"with an ACL entry",
       [](const std::string& b) {
         setfacl({"-m", "u:65534:r", b});
       },
       "extended ACL is not allowed: "},
  };
  makeDirectory(temp.child("elsewhere"));
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    const std::string spoiled = temp.child(std::string("base-") + fault.name);
    makeDirectory(spoiled);
    const ProfilePaths tree(kProfile, spoiled);
    FS::prepareManagedHierarchy(tree);
    EXPECT_TRUE(FS::openVerifiedHierarchy(tree, FS::MissingDirectories::fail).logs.valid());
    fault.spoil(spoiled);
    const KorvelinCoreError expected = kBase(fault.detail + spoiled);
    EXPECT_EQ(expectCoreError([&] { FS::requireDirectory(spoiled, {}, kBase); }), expected);
    for (auto missing : {FS::MissingDirectories::fail, FS::MissingDirectories::create})
      EXPECT_EQ(expectCoreError([&] { FS::openVerifiedHierarchy(tree, missing); }), expected);
  }
}

TEST_F(SecureFileSystemTest, FileACLsAreReadFromTheEntryAndCleared) {
  const std::string granted = temp.child("granted"), link = temp.child("link");
  makeFile(granted);
  setfacl({"-m", "u:65534:r", granted});
  makeSymlink(granted, link);
  ScopedFD fd(::open(granted.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(expectCoreError([&] { FS::requireNoAccessGrantingACL(fd.get(), granted, kPath); }),
            kPath("access-granting extended ACL is not allowed: " + granted));
  // The path form judges a link by itself, never by its target.
  EXPECT_NO_THROW(FS::requireNoExtendedACL(link, kPath));
  FS::clearExtendedACL(fd.get(), granted, kPath);
  EXPECT_NO_THROW(FS::requireNoExtendedACL(granted, kPath));
  EXPECT_NO_THROW(FS::requireNoAccessGrantingACL(granted, kPath));
  // The macOS text form, where deny entries exist.
  EXPECT_TRUE(platform::aclTextIsDenyOnly(
      "!#acl 1\nuser:A:ann:501:deny:write\ngroup:B:staff:20:deny:read\n"));
  EXPECT_FALSE(platform::aclTextIsDenyOnly(
      "!#acl 1\nuser:A:ann:501:deny:write\nuser:A:bob:502:allow:read\n"));
}

TEST_F(SecureFileSystemTest, BadChildNamesAreRefusedBeforeAnySystemCall) {
  // With an invalid descriptor any system call would fail with EBADF instead.
  const auto open = [](const std::string& name, MissingDirectories missing) {
    return expectCoreError([&] { FS::openChildDirectoryFD(-1, name, "x", missing, kPath); });
  };
  for (const std::string& name :
       std::vector<std::string>{"", "a/b", ".", "..", std::string("a\0b", 3)}) {
    const auto refused = kPath("invalid managed directory name: " + name);
    EXPECT_EQ(open(name, MissingDirectories::create), refused);
    EXPECT_EQ(expectCoreError([&] { FS::createExclusiveChildDirectoryFD(-1, name, "x", kPath); }),
              refused);
  }
  EXPECT_EQ(open("ok", MissingDirectories::fail),
            kPath("openat failed for x: Bad file descriptor"));
}

TEST_F(SecureFileSystemTest, NewHierarchyOverAnExistingRootIsProfileAlreadyExists) {
  makeDirectory(paths.profilesDirectory());
  makeDirectory(paths.root());
  for (bool injectAtRoot : {false, true}) {
    auto error = expectCoreError([&] {
      FS::prepareNewManagedHierarchy(
          paths, openDirectory(base).get(),
          [&](std::string_view point) {
            if (injectAtRoot)
              throw KorvelinCoreError::profileCatalogWriteFailed(std::string(point));
          },
          [](int, auto) {});
    });
    EXPECT_EQ(error, KorvelinCoreError::profileAlreadyExists(kProfile));
  }
  EXPECT_FALSE(exists(paths.home()));
}

// A new tree syncs each directory innermost first, each with its own
// descriptor; a failure at any point stops it there, reports the injected
// error and leaves no descriptor open.
TEST_F(SecureFileSystemTest, NewHierarchySyncsInnermostFirstAndStopsAtAnyFailure) {
  std::vector<std::string> created, synced;
  FS::prepareNewManagedHierarchy(
      paths, openDirectory(base).get(),
      [&](std::string_view point) { created.emplace_back(point); },
      [&](int fd, std::string_view point) {
        synced.emplace_back(point);
        const std::string_view child =
            point.substr(std::min(point.size(), std::string_view("hierarchy.child.").size()));
        const std::string path = point == "hierarchy.base"       ? base
                                 : point == "hierarchy.profiles" ? paths.profilesDirectory()
                                 : point == "hierarchy.root"     ? paths.root()
                                                                 : paths.child(child);
        struct stat given {
        }, expected{};
        ASSERT_EQ(::fstat(fd, &given), 0);
        ASSERT_EQ(::stat(path.c_str(), &expected), 0);
        EXPECT_EQ(given.st_ino, expected.st_ino) << point;
      });
  const std::vector<std::string> createPoints = {
      "hierarchy.root",        "hierarchy.child.home",      "hierarchy.child.config",
      "hierarchy.child.cache", "hierarchy.child.user-data", "hierarchy.child.logs"};
  const std::vector<std::string> syncPoints = {"hierarchy.child.home",  "hierarchy.child.config",
                                               "hierarchy.child.cache", "hierarchy.child.user-data",
                                               "hierarchy.child.logs",  "hierarchy.root",
                                               "hierarchy.profiles",    "hierarchy.base"};
  EXPECT_EQ(created, createPoints);
  EXPECT_EQ(synced, syncPoints);
  FS::validateManagedHierarchy(paths);

  for (const bool atSync : {false, true}) {
    for (const auto& point : atSync ? syncPoints : createPoints) {
      SCOPED_TRACE(point + (atSync ? " (sync)" : " (create)"));
      testing::ScopedTempDir dir;
      makeDirectory(dir.child("base"));
      const ProfilePaths fresh(kProfile, dir.child("base"));
      ScopedFD baseFD = openDirectory(dir.child("base"));
      const auto injected = KorvelinCoreError::profileCatalogWriteFailed("injected at " + point);
      auto error = expectCoreError([&] {
        FS::prepareNewManagedHierarchy(
            fresh, baseFD.get(),
            [&](std::string_view name) {
              if (!atSync && name == point)
                throw injected;
            },
            [&](int, std::string_view name) {
              if (atSync && name == point)
                throw injected;
            });
      });
      EXPECT_EQ(error, injected);
      // Creation stops at its point: exactly the directories before it exist.
      bool beforePoint = point != "hierarchy.root" || atSync;
      EXPECT_EQ(exists(fresh.root()), beforePoint);
      for (auto child : ProfilePaths::kChildDirectoryNames) {
        if (!atSync && point == "hierarchy.child." + std::string(child))
          beforePoint = false;
        EXPECT_EQ(exists(fresh.child(child)), beforePoint) << child;
      }
    }
  }
}

TEST_F(SecureFileSystemTest, BundleMembersMustLieInsideWithoutLinksAndBeExecutable) {
  const std::string bundle = temp.child("Tool.app"), sibling = temp.child("Tool.appendix");
  makeDirectory(bundle, 0755);
  makeDirectory(bundle + "/Contents", 0755);
  makeDirectory(sibling, 0755);
  makeFile(bundle + "/Contents/tool", 0755, "#!/bin/sh\n");
  makeFile(bundle + "/Contents/data", 0644);
  makeFile(sibling + "/tool", 0755);
  makeFile(temp.child("outside"), 0755);
  makeSymlink(bundle + "/Contents/tool", bundle + "/Contents/alias");

  const std::vector<std::pair<std::string, KorvelinCoreError (*)(std::string)>> refused = {
      {sibling + "/tool", &KorvelinCoreError::unsafeBundleMember},
      {bundle + "/Contents/alias", &KorvelinCoreError::unsafeBundleMember},
      {bundle + "/../outside", &KorvelinCoreError::unsafeBundleMember},
      {bundle + "/Contents/missing", &KorvelinCoreError::bundleMemberNotExecutable},
      {bundle + "/Missing/tool", &KorvelinCoreError::bundleMemberNotExecutable},
      {bundle + "/Contents/data", &KorvelinCoreError::bundleMemberNotExecutable},
  };
  for (const auto& [member, expected] : refused)
    EXPECT_EQ(expectCoreError([&] { FS::requireRegularExecutable(member, bundle); }),
              expected(member));

  struct stat info {};
  ASSERT_EQ(::stat((bundle + "/Contents/tool").c_str(), &info), 0);
  const FileIdentity identity = FS::requireRegularExecutable(bundle + "/./Contents/tool", bundle);
  EXPECT_EQ(identity, (FileIdentity{info.st_dev, info.st_ino, 10, info.st_mtime}));
  EXPECT_EQ(nlohmann::json(identity).get<FileIdentity>(), identity);
}

}  // namespace
}  // namespace korvelin
