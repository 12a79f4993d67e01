// The secure primitives on real directories in a private temp dir. Every
// refusal is checked for its case, its exact detail text, that it left no
// descriptor open and that nothing on disk changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/FileSystemSecurity.h"
#include "core/JsonSupport.h"
#include "core/ProfilePaths.h"
#include "core/platform/Acl.h"
#include "core/platform/Rename.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using platform::ScopedFD;
using testing::exists;
using testing::expectCoreError;
using testing::makeDirectory;
using testing::makeFile;
using testing::makeSymlink;
using testing::modeOf;
using testing::openDescriptorCount;
using testing::setfacl;

const Uuid kProfile = *Uuid::parse("5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
constexpr ErrorFactory kPath = &KorvelinCoreError::unsafeProfilePath;

class SecureFileSystemTest : public ::testing::Test {
 protected:
  SecureFileSystemTest() : base(temp.child("base")), paths(kProfile, base) {
    makeDirectory(base);
  }

  void makeCompleteTree() { SecureFileSystem::prepareManagedHierarchy(paths); }

  ScopedFD openBase() { return ScopedFD(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

  testing::ScopedTempDir temp;
  std::string base;
  ProfilePaths paths;
};

void expectDetail(const KorvelinCoreError& error, Case expectedCase, const std::string& detail) {
  EXPECT_EQ(error.errorCase(), expectedCase) << error.what();
  EXPECT_EQ(error.detail(), detail);
}

TEST_F(SecureFileSystemTest, SymbolicLinkAnywhereInThePathIsRefusedEvenWhenItPointsSomewhereSafe) {
  makeCompleteTree();
  const std::string link = temp.child("link");
  makeSymlink(base, link);
  const ProfilePaths linked(kProfile, link);
  const std::string deep = link + "/Profiles";

  struct Operation {
    const char* name;
    std::function<void()> run;
    std::string path;
  };
  const std::vector<Operation> operations = {
      {"requireNoSymlinkComponents", [&] { SecureFileSystem::requireNoSymlinkComponents(deep, kPath); }, deep},
      {"requireDirectory", [&] { SecureFileSystem::requireDirectory(link, std::nullopt, false, false, kPath); }, link},
      {"createDirectoryIfNeeded", [&] { SecureFileSystem::createDirectoryIfNeeded(deep, kPath); }, deep},
      {"openDirectoryFD", [&] { SecureFileSystem::openDirectoryFD(link, std::nullopt, false, true, kPath); }, link},
      {"openManagedRootFD", [&] { SecureFileSystem::openManagedRootFD(linked); }, link},
      {"prepareManagedHierarchy", [&] { SecureFileSystem::prepareManagedHierarchy(linked); }, link},
      {"validateManagedHierarchy", [&] { SecureFileSystem::validateManagedHierarchy(linked); }, link},
  };
  for (const auto& operation : operations) {
    SCOPED_TRACE(operation.name);
    expectDetail(expectCoreError(operation.run), Case::unsafeProfilePath,
                 "path contains a symbolic link: " + operation.path);
  }
  // The same tree reached without the link is fine.
  SecureFileSystem::validateManagedHierarchy(paths);
}

TEST_F(SecureFileSystemTest, LinkedChildIsNeverFollowedOrCreatedThrough) {
  const std::string elsewhere = temp.child("elsewhere");
  makeDirectory(elsewhere);
  makeSymlink(elsewhere, paths.profilesDirectory());
  auto error = expectCoreError([&] { SecureFileSystem::prepareManagedHierarchy(paths); });
  EXPECT_EQ(error.detail().rfind("openat failed for " + paths.profilesDirectory() + ": ", 0), 0u)
      << error.detail();
  EXPECT_FALSE(exists(elsewhere + "/" + kProfile.lowercaseString()));
}

TEST_F(SecureFileSystemTest, ExistingDirectoriesWithWrongProtectionAreReportedNotRepaired) {
  makeCompleteTree();
  const std::string cache = paths.cache();
  struct Damage {
    const char* name;
    std::function<void()> apply;
    std::string detail;
  };
  const std::vector<Damage> damages = {
      {"child 0755", [&] { ::chmod(cache.c_str(), 0755); },
       "managed directory failed owner/type/mode validation: " + cache},
      {"child 0750", [&] { ::chmod(cache.c_str(), 0750); },
       "managed directory failed owner/type/mode validation: " + cache},
      {"child of another user", [&] { ASSERT_EQ(::chown(cache.c_str(), 65534, 65534), 0); },
       "managed directory failed owner/type/mode validation: " + cache},
      {"child is a file", [&] { ::rmdir(cache.c_str()); makeFile(cache); },
       "openat failed for " + cache + ": Not a directory"},
      // A named entry widens the ACL mask, which shows in the group bits...
      {"child with an ACL entry", [&] { setfacl({"-m", "u:65534:rx", cache}); },
       "managed directory failed owner/type/mode validation: " + cache},
      // ...unless the mask is empty: then only the ACL check sees it.
      {"child with an ACL entry under an empty mask", [&] { setfacl({"-m", "u:65534:rx,m::---", cache}); },
       "extended ACL is not allowed: " + cache},
      {"child with only a default ACL", [&] { setfacl({"-d", "-m", "u:65534:rx", cache}); },
       "extended ACL is not allowed: " + cache},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    ::rmdir(cache.c_str());
    ::unlink(cache.c_str());
    makeDirectory(cache);
    damage.apply();
    struct stat before {};
    ASSERT_EQ(::lstat(cache.c_str(), &before), 0);
    expectDetail(expectCoreError([&] { SecureFileSystem::prepareManagedHierarchy(paths); }),
                 Case::unsafeProfilePath, damage.detail);
    expectDetail(expectCoreError([&] { SecureFileSystem::validateManagedHierarchy(paths); }),
                 Case::unsafeProfilePath, damage.detail);
    struct stat after {};
    ASSERT_EQ(::lstat(cache.c_str(), &after), 0);
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_uid, after.st_uid);
  }
}

TEST_F(SecureFileSystemTest, WhatIsCreatedEndsExactlyPrivateWhateverUmaskAndInheritedACL) {
  // A default ACL on the parent would hand its entries to every new child,
  // and umask 0 would leave group and others bits: both are undone.
  setfacl({"-d", "-m", "u:65534:rwx", base});
  const mode_t previous = ::umask(0);
  SecureFileSystem::createDirectoryIfNeeded(base + "/created", kPath);
  const ProfilePaths prepared(Uuid::random(), base + "/created");
  SecureFileSystem::prepareManagedHierarchy(prepared);
  ::umask(022);
  ScopedFD baseFD = SecureFileSystem::openDirectoryFD(base, std::nullopt, true, true, kPath);
  const ProfilePaths fresh(Uuid::random(), base);
  SecureFileSystem::prepareNewManagedHierarchy(fresh, baseFD.get(), [](auto) {}, [](int, auto) {});
  ::umask(previous);

  std::vector<std::string> created = {base + "/created"};
  for (const auto& p : {prepared, fresh})
    for (const auto& path : {p.profilesDirectory(), p.root(), p.home(), p.config(), p.cache(),
                             p.userData(), p.logs()})
      created.push_back(path);
  for (const auto& path : created) {
    EXPECT_EQ(modeOf(path), 0700u) << path;
    EXPECT_NO_THROW(SecureFileSystem::requireNoExtendedACL(path, kPath)) << path;
  }
  SecureFileSystem::validateManagedHierarchy(prepared);
}

TEST_F(SecureFileSystemTest, BaseMayBeSharedReadableButNeverWritableByOthers) {
  makeCompleteTree();
  struct Mode {
    mode_t mode;
    bool accepted;
  };
  for (auto [mode, accepted] : {Mode{0700, true}, Mode{0755, true}, Mode{0750, true},
                                Mode{0775, false}, Mode{0757, false}, Mode{0777, false}}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(base.c_str(), mode), 0);
    if (accepted) {
      EXPECT_TRUE(SecureFileSystem::openManagedRootFD(paths).valid());
    } else {
      expectDetail(expectCoreError([&] { SecureFileSystem::openManagedRootFD(paths); }),
                   Case::unsafeProfilePath, "directory is writable by group or others: " + base);
    }
  }
}

TEST_F(SecureFileSystemTest, PathChecksReportEachFaultWithItsOwnText) {
  const std::string dir = temp.child("dir");
  const std::string file = temp.child("file");
  const std::string foreign = temp.child("foreign");
  const std::string withAcl = temp.child("acl");
  makeDirectory(dir, 0755);
  makeFile(file);
  makeDirectory(foreign);
  ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  makeDirectory(withAcl);
  setfacl({"-m", "u:65534:rx", withAcl});
  const std::string missing = temp.child("missing");

  struct Check {
    std::string path;
    std::optional<std::uint16_t> exact;
    bool allowWrite;
    bool allowDenyOnly;
    std::string detail;  // empty: accepted
  };
  const std::vector<Check> checks = {
      {dir, std::nullopt, false, false, ""},
      {dir, 0755, false, false, ""},
      {dir, 0700, false, false, "expected mode 700, got 755: " + dir},
      {missing, std::nullopt, false, false, "directory does not exist: " + missing},
      {file, std::nullopt, false, false, "not a directory: " + file},
      {foreign, std::nullopt, false, false, "directory is owned by uid 65534: " + foreign},
      {withAcl, std::nullopt, false, false, "extended ACL is not allowed: " + withAcl},
      // POSIX ACLs cannot deny, so the lenient check refuses them as well.
      {withAcl, std::nullopt, false, true, "access-granting extended ACL is not allowed: " + withAcl},
  };
  for (const auto& check : checks) {
    SCOPED_TRACE(check.detail);
    auto operation = [&] {
      SecureFileSystem::requireDirectory(check.path, check.exact, check.allowWrite,
                                         check.allowDenyOnly, &KorvelinCoreError::unsafeProfileBase);
    };
    if (check.detail.empty()) {
      EXPECT_NO_THROW(operation());
    } else {
      expectDetail(expectCoreError(operation), Case::unsafeProfileBase, check.detail);
    }
  }

  ::chmod(dir.c_str(), 0775);
  expectDetail(expectCoreError([&] { SecureFileSystem::requireDirectory(dir, std::nullopt, false, false, kPath); }),
               Case::unsafeProfilePath, "directory is writable by group or others: " + dir);
  EXPECT_NO_THROW(SecureFileSystem::requireDirectory(dir, std::nullopt, true, false, kPath));
  // The cleanup open looks past the ACL; the ordinary open does not.
  EXPECT_TRUE(SecureFileSystem::openDirectoryFD(withAcl, std::nullopt, true, true, kPath).valid());
  expectDetail(expectCoreError([&] { SecureFileSystem::openDirectoryFD(withAcl, std::nullopt, false, true, kPath); }),
               Case::unsafeProfilePath, "extended ACL is not allowed: " + withAcl);
  expectDetail(expectCoreError([&] { SecureFileSystem::openDirectoryFD(foreign, std::nullopt, false, true, kPath); }),
               Case::unsafeProfilePath, "opened directory failed owner/type validation: " + foreign);
  // An existing directory with the wrong mode is refused and keeps its mode.
  expectDetail(expectCoreError([&] { SecureFileSystem::createDirectoryIfNeeded(dir, kPath); }),
               Case::unsafeProfilePath, "expected mode 700, got 775: " + dir);
  EXPECT_EQ(modeOf(dir), 0775u);
}

TEST_F(SecureFileSystemTest, ACLChecksOnFilesAndTheDenyOnlyTextRule) {
  const std::string plain = temp.child("plain");
  const std::string granted = temp.child("granted");
  makeFile(plain);
  makeFile(granted);
  setfacl({"-m", "u:65534:r", granted});
  ScopedFD fd(::open(granted.c_str(), O_RDONLY | O_CLOEXEC));

  EXPECT_NO_THROW(SecureFileSystem::requireNoExtendedACL(plain, kPath));
  EXPECT_NO_THROW(SecureFileSystem::requireNoAccessGrantingACL(plain, kPath));
  expectDetail(expectCoreError([&] { SecureFileSystem::requireNoExtendedACL(fd.get(), granted, kPath); }),
               Case::unsafeProfilePath, "extended ACL is not allowed: " + granted);
  expectDetail(expectCoreError([&] { SecureFileSystem::requireNoAccessGrantingACL(fd.get(), granted, kPath); }),
               Case::unsafeProfilePath, "access-granting extended ACL is not allowed: " + granted);

  // Clearing removes the entries; the mode bits it leaves are the caller's.
  SecureFileSystem::clearExtendedACL(fd.get(), granted, kPath);
  EXPECT_NO_THROW(SecureFileSystem::requireNoExtendedACL(granted, kPath));

  // A link to a file with an ACL is judged by the link itself.
  const std::string link = temp.child("link");
  setfacl({"-m", "u:65534:r", plain});
  makeSymlink(plain, link);
  EXPECT_NO_THROW(SecureFileSystem::requireNoExtendedACL(link, kPath));

  // The macOS text form, where deny entries exist.
  struct Text {
    const char* text;
    bool denyOnly;
  };
  for (auto [text, denyOnly] : {
           Text{"", true},
           Text{"!#acl 1\n", true},
           Text{"!#acl 1\nuser:ABC:someone:501:deny:write\n", true},
           Text{"!#acl 1\nuser:ABC:someone:501:deny:write\ngroup:DEF:staff:20:deny:read\n", true},
           Text{"!#acl 1\nuser:ABC:someone:501:allow:read\n", false},
           Text{"!#acl 1\nuser:ABC:someone:501:deny:write\nuser:ABC:other:502:allow:read\n", false},
           Text{"!#acl 1\nuser:ABC:someone:501:deny:allow:read\n", false},
           Text{"!#acl 1\nuser:ABC:someone:501:read\n", false},
       }) {
    EXPECT_EQ(platform::aclTextIsDenyOnly(text), denyOnly) << text;
  }
}

TEST_F(SecureFileSystemTest, BadChildNamesAreRefusedBeforeAnySystemCall) {
  // An invalid descriptor: any system call would fail with EBADF and a
  // different text.
  for (const std::string& name : std::vector<std::string>{"", "a/b", "/", ".", "..", std::string("a\0b", 3)}) {
    SCOPED_TRACE(name);
    expectDetail(expectCoreError([&] { SecureFileSystem::openChildDirectoryFD(-1, name, "shown", true, kPath); }),
                 Case::unsafeProfilePath, "invalid managed directory name: " + name);
    expectDetail(expectCoreError([&] { SecureFileSystem::createExclusiveChildDirectoryFD(-1, name, "shown", kPath); }),
                 Case::unsafeProfilePath, "invalid managed directory name: " + name);
  }
  expectDetail(expectCoreError([&] { SecureFileSystem::openChildDirectoryFD(-1, "ok", "shown", false, kPath); }),
               Case::unsafeProfilePath, "openat failed for shown: Bad file descriptor");
}

TEST_F(SecureFileSystemTest, ChildOpenCreatesOnlyWhenAskedAndExclusiveCreateRefusesExisting) {
  ScopedFD baseFD = openBase();
  const std::string shown = temp.child("base/child");
  expectDetail(expectCoreError([&] { SecureFileSystem::openChildDirectoryFD(baseFD.get(), "child", shown, false, kPath); }),
               Case::unsafeProfilePath, "openat failed for " + shown + ": No such file or directory");
  EXPECT_FALSE(exists(shown));
  EXPECT_TRUE(SecureFileSystem::openChildDirectoryFD(baseFD.get(), "child", shown, true, kPath).valid());
  EXPECT_EQ(modeOf(shown), 0700u);
  expectDetail(expectCoreError([&] { SecureFileSystem::createExclusiveChildDirectoryFD(baseFD.get(), "child", shown, kPath); }),
               Case::unsafeProfilePath, "exclusive mkdirat failed for " + shown + ": File exists");
}

TEST_F(SecureFileSystemTest, NewHierarchyOverAnExistingRootIsProfileAlreadyExists) {
  makeDirectory(paths.profilesDirectory());
  makeDirectory(paths.root());
  ScopedFD baseFD = openBase();
  for (bool injectAtRoot : {false, true}) {
    auto error = expectCoreError([&] {
      SecureFileSystem::prepareNewManagedHierarchy(
          paths, baseFD.get(),
          [&](std::string_view point) {
            if (injectAtRoot) throw KorvelinCoreError::profileCatalogWriteFailed(std::string(point));
          },
          [](int, auto) {});
    });
    EXPECT_EQ(error, KorvelinCoreError::profileAlreadyExists(kProfile));
  }
  EXPECT_FALSE(exists(paths.home()));
}

// Every fault point of a new hierarchy, in the order one creation passes them.
const std::vector<std::string> kCreatePoints = {
    "hierarchy.root", "hierarchy.child.home", "hierarchy.child.config", "hierarchy.child.cache",
    "hierarchy.child.user-data", "hierarchy.child.logs"};
const std::vector<std::string> kSyncPoints = {
    "hierarchy.child.home", "hierarchy.child.config", "hierarchy.child.cache",
    "hierarchy.child.user-data", "hierarchy.child.logs", "hierarchy.root", "hierarchy.profiles",
    "hierarchy.base"};

TEST_F(SecureFileSystemTest, NewHierarchyVisitsEveryPointInOrderAndSyncsTheRightDirectories) {
  ScopedFD baseFD = openBase();
  struct stat baseInfo {};
  ::fstat(baseFD.get(), &baseInfo);
  std::vector<std::string> created, synced;
  SecureFileSystem::prepareNewManagedHierarchy(
      paths, baseFD.get(), [&](std::string_view point) { created.emplace_back(point); },
      [&](int fd, std::string_view point) {
        synced.emplace_back(point);
        struct stat info {};
        ASSERT_EQ(::fstat(fd, &info), 0);
        const std::string expectedPath = point == "hierarchy.base"       ? base
                                         : point == "hierarchy.profiles" ? paths.profilesDirectory()
                                         : point == "hierarchy.root"
                                             ? paths.root()
                                             : paths.child(point.substr(std::string_view("hierarchy.child.").size()));
        struct stat expected {};
        ASSERT_EQ(::stat(expectedPath.c_str(), &expected), 0);
        EXPECT_EQ(info.st_ino, expected.st_ino) << point;
        EXPECT_EQ(::fsync(fd), 0);
      });
  EXPECT_EQ(created, kCreatePoints);
  EXPECT_EQ(synced, kSyncPoints);
  SecureFileSystem::validateManagedHierarchy(paths);
}

TEST_F(SecureFileSystemTest, FailureAtEveryPointLeavesNoDescriptorAndReportsTheInjectedError) {
  struct Point {
    std::string name;
    bool atSync;
  };
  std::vector<Point> points;
  for (const auto& p : kCreatePoints) points.push_back({p, false});
  for (const auto& p : kSyncPoints) points.push_back({p, true});

  for (const auto& point : points) {
    SCOPED_TRACE(point.name + (point.atSync ? " (sync)" : " (create)"));
    testing::ScopedTempDir dir;
    const std::string pointBase = dir.child("base");
    makeDirectory(pointBase);
    const ProfilePaths pointPaths(kProfile, pointBase);
    ScopedFD baseFD(::open(pointBase.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto injected = KorvelinCoreError::profileCatalogWriteFailed(
        "injected hierarchy creation failure at " + point.name);
    auto error = expectCoreError([&] {
      SecureFileSystem::prepareNewManagedHierarchy(
          pointPaths, baseFD.get(),
          [&](std::string_view name) {
            if (!point.atSync && name == point.name) throw injected;
          },
          [&](int, std::string_view name) {
            if (point.atSync && name == point.name) throw injected;
          });
    });
    EXPECT_EQ(error, injected);

    // A failed creation stops at its point: the root exists from the first
    // child on, and exactly the children before the point exist.
    const bool rootCreated = point.atSync || point.name != "hierarchy.root";
    EXPECT_EQ(exists(pointPaths.root()), rootCreated);
    bool beforePoint = true;
    for (auto child : ProfilePaths::kChildDirectoryNames) {
      if (!point.atSync && point.name == "hierarchy.child." + std::string(child)) beforePoint = false;
      EXPECT_EQ(exists(pointPaths.child(child)), rootCreated && (point.atSync || beforePoint)) << child;
    }
  }
}

TEST_F(SecureFileSystemTest, BundleMembersMustLieInsideWithoutLinksAndBeExecutable) {
  const std::string bundle = temp.child("Tool.app");
  const std::string sibling = temp.child("Tool.appendix");
  makeDirectory(bundle, 0755);
  makeDirectory(bundle + "/Contents", 0755);
  makeDirectory(sibling, 0755);
  makeFile(bundle + "/Contents/tool", 0755, "#!/bin/sh\n");
  makeFile(bundle + "/Contents/data", 0644);
  makeFile(sibling + "/tool", 0755);
  makeSymlink(bundle + "/Contents/tool", bundle + "/Contents/alias");
  makeSymlink(bundle + "/Contents", temp.child("LinkedContents"));
  makeFile(temp.child("outside"), 0755);

  struct Member {
    std::string path;
    Case expected;
  };
  const std::vector<Member> refused = {
      {sibling + "/tool", Case::unsafeBundleMember},
      {bundle + "/Contents/alias", Case::unsafeBundleMember},
      {bundle + "/../outside", Case::unsafeBundleMember},
      {bundle, Case::unsafeBundleMember},
      {bundle + "/Contents/missing", Case::unsafeBundleMember},
      {bundle + "/Contents/data", Case::bundleMemberNotExecutable},
      {bundle + "/Contents", Case::bundleMemberNotExecutable},
  };
  for (const auto& member : refused) {
    SCOPED_TRACE(member.path);
    auto error = expectCoreError([&] { SecureFileSystem::requireRegularExecutable(member.path, bundle); });
    EXPECT_EQ(error.errorCase(), member.expected) << error.what();
    EXPECT_EQ(error.detail(), member.path);
  }
  expectCoreError([&] {
    SecureFileSystem::requireRegularExecutable(temp.child("LinkedContents/tool"), temp.child("LinkedContents"));
  });

  auto identity = SecureFileSystem::requireRegularExecutable(bundle + "/./Contents/tool", bundle);
  struct stat info {};
  ASSERT_EQ(::stat((bundle + "/Contents/tool").c_str(), &info), 0);
  EXPECT_EQ(identity, FileIdentity::of(info));
  EXPECT_EQ(identity.size, 10);
}

TEST(FileIdentityTest, JsonRoundTripAndStrictShape) {
  const FileIdentity identity{UINT64_MAX, 42, -1, 1767608430};
  nlohmann::json json = identity;
  EXPECT_EQ(json.dump(), R"({"device":18446744073709551615,"inode":42,"modifiedAtSeconds":1767608430,"size":-1})");
  EXPECT_EQ(json.get<FileIdentity>(), identity);
  for (const char* bad : {R"({"device":1,"inode":2,"size":3})",
                          R"({"device":1,"inode":2,"size":3,"modifiedAtSeconds":4,"extra":0})",
                          R"({"device":-1,"inode":2,"size":3,"modifiedAtSeconds":4})",
                          R"({"device":1,"inode":2.5,"size":3,"modifiedAtSeconds":4})"}) {
    EXPECT_THROW(jsonio::decode(bad, &KorvelinCoreError::unsafeProfilePath, "identity",
                                [](const nlohmann::json& j) { return j.get<FileIdentity>(); }),
                 KorvelinCoreError)
        << bad;
  }
}

TEST(MetadataTest, LinksAreDescribedNotFollowed) {
  testing::ScopedTempDir temp;
  makeSymlink("/nonexistent", temp.child("dangling"));
  auto link = SecureFileSystem::metadata(temp.child("dangling"));
  ASSERT_TRUE(link);
  EXPECT_EQ(link->kind(), FileMetadata::Kind::symbolicLink);
  EXPECT_FALSE(SecureFileSystem::metadata(temp.child("missing")));
  EXPECT_FALSE(SecureFileSystem::metadata(temp.child("dangling/below")));
  makeFile(temp.child("file"));
  auto error = expectCoreError([&] { SecureFileSystem::metadata(temp.child("file/below")); });
  EXPECT_EQ(error.detail(), "lstat failed for " + temp.child("file/below") + ": Not a directory");
}

TEST(RenameTest, ExchangeSwapsAndNoReplaceRefusesAnExistingTarget) {
  testing::ScopedTempDir temp;
  makeFile(temp.child("a"), 0600, "first");
  makeFile(temp.child("b"), 0600, "second");
  ScopedFD dir(::open(temp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(platform::renameExchange(dir.get(), "a", dir.get(), "b"), 0);
  struct stat a {}, b {};
  ::stat(temp.child("a").c_str(), &a);
  ::stat(temp.child("b").c_str(), &b);
  EXPECT_EQ(a.st_size, 6);
  EXPECT_EQ(b.st_size, 5);
  EXPECT_EQ(platform::renameNoReplace(dir.get(), "a", dir.get(), "b"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(platform::renameNoReplace(dir.get(), "a", dir.get(), "c"), 0);
  EXPECT_FALSE(exists(temp.child("a")));
  EXPECT_EQ(platform::renameExchange(dir.get(), "c", dir.get(), "missing"), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace korvelin
