// A profile's tree: where it lies, how it is prepared and checked, what the
// diagnostics say of it and which configuration file it hands out.

#include <sys/socket.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/JsonSupport.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/LocalSocket.h"
#include "core/profile/ProfileConfigurationFile.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using S = DiagnosticStatus;
using testing::exists;
using testing::expectCoreError;
using ::testing::HasSubstr;
using testing::makeDirectory;
using testing::modeOf;
using ::testing::Optional;
using testing::setfacl;

const Uuid kProfile = *Uuid::parse("5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
const ErrorFactory kPath = &KorvelinCoreError::unsafeProfilePath;
const ErrorFactory kBase = &KorvelinCoreError::unsafeProfileBase;

TEST(ProfilePathsTest, TreeLayoutUnderAStandardizedBaseAndItsJson) {
  const ProfilePaths paths(kProfile, "/data//x/./y/../Korvelin/");
  const std::string root = "/data/x/Korvelin/Profiles/5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
  EXPECT_EQ(paths.baseDirectory(), "/data/x/Korvelin");
  EXPECT_EQ(paths.root(), root);
  EXPECT_EQ(paths.userData(), root + "/user-data");
  EXPECT_EQ(paths.codexHome(), root + "/home/.codex");
  EXPECT_EQ(paths.leaseFile(), root + "/.launch.lock");
  const auto defaultBase = &ProfilePaths::defaultBaseDirectory;
  EXPECT_EQ(defaultBase("/home/ann/", std::nullopt), "/home/ann/.local/share/Korvelin");
  EXPECT_EQ(defaultBase("/home/ann", "/xdg/data/"), "/xdg/data/Korvelin");
  EXPECT_EQ(defaultBase("/home/ann", "relative"), "/home/ann/.local/share/Korvelin");

  // JSON gives file URLs and refuses locations of another tree.
  const ProfilePaths spaced(kProfile, "/Users/ann/Application Support/Korvelin");
  const std::string url =
      "file:///Users/ann/Application%20Support/Korvelin/Profiles/"
      "5c4b3a29-1807-4f6e-9d5c-4b3a29180706";
  nlohmann::json json = spaced;
  EXPECT_EQ(json["profileID"], "5C4B3A29-1807-4F6E-9D5C-4B3A29180706");
  EXPECT_EQ(json["userData"], url + "/user-data/");
  auto decode = [](const nlohmann::json& document) {
    return jsonio::decode(document.dump(), &KorvelinCoreError::unsafeProfilePath, "paths",
                          [](const nlohmann::json& j) { return profilePathsFromJSON(j); });
  };
  EXPECT_EQ(decode(json), spaced);
  const std::vector<std::pair<const char*, nlohmann::json>> tampered = {
      {"root", "file:///tmp/elsewhere/"},
      {"home", url + "/home%2F..%2F..%2Fx/"},
      {"baseDirectory", "/Users/ann/Application Support/Korvelin"},
      {"extra", "x"},
  };
  for (const auto& [key, value] : tampered) {
    auto document = json;
    document[key] = value;
    EXPECT_THROW(decode(document), KorvelinCoreError) << key;
  }
}

// The default base is made only under a safe parent, a custom one never; a
// tree is made private, left alone when whole and restored when a child is
// missing; Codex's home only inside a verified tree.
TEST(ProfilePreparerTest, MakesOnlyWhatIsMissingAndOnlyUnderWhatIsSafe) {
  testing::ScopedTempDir temp;
  const std::string parent = temp.child("share"), defaultBase = parent + "/Korvelin";
  const ProfilePreparer preparer(defaultBase);
  const ProfilePaths paths(kProfile, defaultBase);
  makeDirectory(parent, 0755);
  const std::string custom = temp.child("custom");
  EXPECT_EQ(expectCoreError([&] { preparer.prepare(ProfilePaths(kProfile, custom)); }),
            kBase("custom base must already exist: " + custom));
  EXPECT_FALSE(exists(custom));
  EXPECT_EQ(expectCoreError([&] { preparer.prepareCodexHome(paths); }).errorCase(),
            KorvelinCoreError::Case::unsafeProfileBase);

  const std::string writable = "directory is writable by group or others: ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> parents = {
      {{"-m", "u:65534:rx,m::---", parent}, "access-granting extended ACL is not allowed: "},
      {{"-m", "g::rwx", parent}, writable},
  };
  for (const auto& [acl, detail] : parents) {
    setfacl(acl);
    EXPECT_EQ(expectCoreError([&] { preparer.prepareBase(defaultBase); }), kBase(detail + parent));
    EXPECT_FALSE(exists(defaultBase));
    ::rmdir(parent.c_str());
    makeDirectory(parent, 0755);
  }

  preparer.prepare(paths);
  EXPECT_EQ(modeOf(defaultBase), 0700u);
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

  preparer.prepareCodexHome(paths);
  EXPECT_EQ(modeOf(paths.codexHome()), 0700u);
  ::chmod(paths.codexHome().c_str(), 0755);
  EXPECT_EQ(expectCoreError([&] { preparer.prepareCodexHome(paths); }),
            kPath("managed directory failed owner/type/mode validation: " + paths.codexHome()));

  // An existing base may be readable by others, never writable by them or
  // by the group.
  for (mode_t mode : {0755, 0750, 0757, 0775}) {
    ::chmod(defaultBase.c_str(), mode);
    if ((mode & 022) == 0)
      EXPECT_NO_THROW(preparer.validatePrepared(paths)) << mode;
    else
      EXPECT_EQ(expectCoreError([&] { preparer.prepare(paths); }), kBase(writable + defaultBase));
  }
  ::chmod(defaultBase.c_str(), 0700);
  ASSERT_EQ(::rmdir(paths.logs().c_str()), 0);
  EXPECT_EQ(expectCoreError([&] { preparer.validatePrepared(paths); }),
            kPath("openat failed for " + paths.logs() + ": No such file or directory"));
  EXPECT_FALSE(exists(paths.logs()));
}

// A real listening AF_UNIX socket at `path`, open for the test's life.
platform::ScopedFD listenAt(const std::string& path) {
  platform::ScopedFD fd = platform::newLocalStreamSocket(false);
  EXPECT_EQ(platform::bindLocal(fd.get(), path), 0) << path;
  EXPECT_EQ(::listen(fd.get(), 1), 0);
  return fd;
}

TEST(ProfileDiagnosticsTest, ChecksInTheirOrder) {
  using Check = std::pair<S, std::string>;
  using Setup = std::function<void(const ProfilePaths&)>;
  struct Case {
    std::string name;
    Setup setup;
    std::vector<Check> expected;
  };
  const Check notPrepared = {S::pending, "Profile is not prepared"};
  const Check privateTree = {S::pass, "All managed directories are private"};
  const Check unsafe = {S::fail, "A managed path is missing or unsafe"};
  const Check notCreated = {S::pending, "Not created yet"};
  const Check codexHome = {S::pass, "Codex home present"};
  const Check notDirectory = {S::fail, "Path is not a directory"};
  const Check noSingleton = {S::pending, "No Chromium singleton artifacts yet"};
  const Check lock = {S::pass, "Present: SingletonLock, SingletonSocket"};
  const Check socket = {S::pass, "Unix socket present"};
  const Check notSocket = {S::fail, "Path exists but is not a Unix socket"};

  const Setup nothing = [](const ProfilePaths&) {};
  const Setup prepared = [](const ProfilePaths& p) {
    SecureFileSystem::prepareManagedHierarchy(p);
  };
  // A prepared tree with Codex's IPC directory, then `finish`.
  const auto withIPC = [](Setup finish) -> Setup {
    return [finish](const ProfilePaths& p) {
      SecureFileSystem::prepareManagedHierarchy(p);
      testing::makeDirectory(p.home() + "/.codex");
      testing::makeDirectory(p.home() + "/.codex/ipc");
      finish(p);
    };
  };
  std::vector<platform::ScopedFD> sockets;
  const Setup appsLeft = withIPC([&](const ProfilePaths& p) {
    sockets.push_back(listenAt(p.home() + "/.codex/ipc/ipc.sock"));
    // Chromium's own shapes: a dangling link "host-pid", links into /tmp.
    testing::makeSymlink("korvelin-host-4242", p.userData() + "/SingletonLock");
    testing::makeSymlink("/tmp/.org.chromium.Chromium.x/SingletonSocket",
                         p.userData() + "/SingletonSocket");
  });
  const Setup wrongKinds = withIPC([](const ProfilePaths& p) {
    testing::makeFile(p.home() + "/.codex/ipc/ipc.sock");
    ::chmod(p.cache().c_str(), 0755);
  });
  const Setup codexHomeFile = [&](const ProfilePaths& p) {
    prepared(p), testing::makeFile(p.home() + "/.codex");
  };
  const std::vector<Case> cases = {
      {"not prepared", nothing, {notPrepared, notCreated, noSingleton, notCreated}},
      {"fresh", prepared, {privateTree, notCreated, noSingleton, notCreated}},
      {"what the applications leave", appsLeft, {privateTree, codexHome, lock, socket}},
      {"wrong kinds", wrongKinds, {unsafe, codexHome, noSingleton, notSocket}},
      {"codex home is a file", codexHomeFile, {privateTree, notDirectory, noSingleton, notCreated}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const ProfilePaths paths(Uuid::random(), dir.path());
    c.setup(paths);
    const auto report = ProfileDiagnostics::inspect(paths, ProfilePreparer(dir.path()));
    ASSERT_EQ(report.checks.size(), 4u);
    std::vector<Check> got;
    for (const auto& check : report.checks)
      got.emplace_back(check.status, check.detail);
    EXPECT_EQ(got, c.expected);
  }
}

// Which file each application keeps, and every reason it is not handed out.
TEST(ProfileConfigurationFileTest, HandsOutOnlyASafeFileOfItsApplication) {
  namespace apps = ManagedApplicationSupport;
  using C = KorvelinCoreError::Case;
  struct Case {
    std::string name;
    std::string_view adapter;
    std::function<void(const ProfilePaths&)> setup;
    std::optional<C> refusal;  // none: the URL of the expected file
    std::string detail;        // part of the refusal's text
  };
  using Setup = std::function<void(const ProfilePaths&)>;
  const Setup nothing = [](const ProfilePaths&) {};
  // Codex's home with `mode`, then `finish`.
  const auto home = [](mode_t mode, Setup finish) -> Setup {
    return [=](const ProfilePaths& p) { testing::makeDirectory(p.codexHome(), mode), finish(p); };
  };
  const auto config = [&](mode_t mode) {
    return home(0700, [=](auto& p) { testing::makeFile(p.codexHome() + "/config.toml", mode); });
  };
  const Setup fileLink = home(0700, [](const ProfilePaths& p) {
    testing::makeFile(p.home() + "/elsewhere.toml");
    testing::makeSymlink(p.home() + "/elsewhere.toml", p.codexHome() + "/config.toml");
  });
  const Setup homeLink = [](const ProfilePaths& p) {
    testing::makeDirectory(p.home() + "/real");
    testing::makeFile(p.home() + "/real/config.toml");
    testing::makeSymlink(p.home() + "/real", p.codexHome());
  };
  const Setup fileDirectory =
      home(0700, [](auto& p) { testing::makeDirectory(p.codexHome() + "/config.toml"); });
  const Setup claudeFile = [](const ProfilePaths& p) {
    testing::makeFile(p.userData() + "/claude_desktop_config.json");
  };
  const auto codex = apps::codexAdapterIdentifier;
  const auto unsafe = C::unsafeProfilePath, unavailable = C::profileConfigurationUnavailable;
  const std::string writable = "writable by group or others", link = "symbolic link";
  const std::vector<Case> cases = {
      {"codex 0644", codex, config(0644), {}, ""},
      {"codex 0664", codex, config(0664), unsafe, writable},
      {"codex home missing", codex, nothing, unsafe, "does not exist"},
      {"codex home 0777", codex, home(0777, nothing), unsafe, writable},
      {"codex file missing", codex, home(0700, nothing), C::profileConfigurationNotFound,
       "config.toml"},
      {"codex file is a link", codex, fileLink, unsafe, link},
      {"codex home is a link", codex, homeLink, unsafe, link},
      {"codex file is a directory", codex, fileDirectory, unsafe, "not a regular file"},
      {"claude", apps::claudeAdapterIdentifier, claudeFile, {}, ""},
      {"chrome", apps::chromeAdapterIdentifier, nothing, unavailable, "unsupported adapter"},
      {"zcode", apps::zcodeAdapterIdentifier, nothing, unavailable, "unsupported adapter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const ProfilePaths paths(Uuid::random(), dir.path());
    SecureFileSystem::prepareManagedHierarchy(paths);
    c.setup(paths);
    AppProfile profile;
    profile.adapterIdentifier = std::string(c.adapter);
    for (const auto& app : apps::applications)
      if (app.adapterIdentifier == c.adapter)
        profile.application.bundleIdentifier = std::string(app.bundleIdentifier);
    const auto file = c.adapter == apps::codexAdapterIdentifier
                          ? paths.codexHome() + "/config.toml"
                          : paths.userData() + "/claude_desktop_config.json";
    std::string url;
    const auto description =
        testing::thrownDescription(c.refusal.value_or(C::unsafeProfileBase), [&] {
          url = ProfileConfigurationFile::validatedURL(profile, paths, ProfilePreparer(dir.path()));
        });
    if (c.refusal) {
      EXPECT_THAT(description, Optional(HasSubstr(c.detail)));
    } else {
      EXPECT_FALSE(description.has_value()) << *description;
      EXPECT_EQ(url, fileURLString(file, false));
    }
  }
}

TEST(ProfileNetworkRouteProbeTest, AcceptsOnlyAnAddress) {
  const auto proxy = ProfileProxyConfiguration::fromURI("socks5://127.0.0.1:1080");
  const std::vector<std::pair<std::string, std::optional<std::string>>> outputs = {
      {"203.0.113.9\n", "203.0.113.9"},
      {" 2001:db8::1 \r\n", "2001:db8::1"},
      {"<html><body>203.0.113.9</body></html>", std::nullopt},
      {std::string(60, ' ') + "1.2.3.4", std::nullopt},
      {"\xff\xfe", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [output, address] : outputs) {
    ProfileNetworkRouteProbe probe;
    std::vector<std::string> seen;
    probe.run = [&](const std::vector<std::string>& arguments) {
      seen = arguments;
      return output;
    };
    const auto description =
        testing::thrownDescription(KorvelinCoreError::Case::proxyPreflightFailed,
                                   [&] { EXPECT_EQ(probe.probe(proxy), address); });
    EXPECT_EQ(description.has_value(), !address.has_value()) << output;
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "--fail", "--silent", "--show-error", "--connect-timeout", "5",
                        "--max-time", "10", "--proxy", "socks5://127.0.0.1:1080",
                        std::string(ProfileNetworkRouteProbe::kDefaultEchoURL)}));
  }
}

}  // namespace
}  // namespace korvelin
