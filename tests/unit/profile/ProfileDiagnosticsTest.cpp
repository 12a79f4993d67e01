#include "core/profile/ProfileDiagnostics.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/LocalSocket.h"
#include "core/profile/ProfileConfigurationFile.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using S = DiagnosticStatus;

// A real listening AF_UNIX socket at `path`, open for the test's life.
platform::ScopedFD listenAt(const std::string& path) {
  platform::ScopedFD fd = platform::newLocalStreamSocket(false);
  EXPECT_EQ(platform::bindLocal(fd.get(), path), 0) << path;
  EXPECT_EQ(::listen(fd.get(), 1), 0);
  return fd;
}

TEST(ProfileDiagnosticsTest, ChecksInTheirOrder) {
  struct Case {
    std::string name;
    std::function<void(const ProfilePaths&)> setup;
    std::vector<std::pair<S, std::string>> expected;
  };
  std::vector<platform::ScopedFD> sockets;
  const std::vector<Case> cases = {
      {"not prepared",
       [](const ProfilePaths&) {},
       {{S::pending, "Profile is not prepared"},
        {S::pending, "Not created yet"},
        {S::pending, "No Chromium singleton artifacts yet"},
        {S::pending, "Not created yet"}}},
      {"fresh",
       [](const ProfilePaths& p) { SecureFileSystem::prepareManagedHierarchy(p); },
       {{S::pass, "All managed directories are private"},
        {S::pending, "Not created yet"},
        {S::pending, "No Chromium singleton artifacts yet"},
        {S::pending, "Not created yet"}}},
      {"what the applications leave",
       [&](const ProfilePaths& p) {
         SecureFileSystem::prepareManagedHierarchy(p);
         testing::makeDirectory(p.home() + "/.codex");
         testing::makeDirectory(p.home() + "/.codex/ipc");
         sockets.push_back(listenAt(p.home() + "/.codex/ipc/ipc.sock"));
         // Chromium's own shapes: a dangling link "host-pid", links into /tmp.
         testing::makeSymlink("korvelin-host-4242", p.userData() + "/SingletonLock");
         testing::makeSymlink("/tmp/.org.chromium.Chromium.x/SingletonSocket",
                              p.userData() + "/SingletonSocket");
       },
       {{S::pass, "All managed directories are private"},
        {S::pass, "Codex home present"},
        {S::pass, "Present: SingletonLock, SingletonSocket"},
        {S::pass, "Unix socket present"}}},
      {"wrong kinds",
       [](const ProfilePaths& p) {
         SecureFileSystem::prepareManagedHierarchy(p);
         testing::makeDirectory(p.home() + "/.codex");
         testing::makeDirectory(p.home() + "/.codex/ipc");
         testing::makeFile(p.home() + "/.codex/ipc/ipc.sock");
         ::chmod(p.cache().c_str(), 0755);
       },
       {{S::fail, "A managed path is missing or unsafe"},
        {S::pass, "Codex home present"},
        {S::pending, "No Chromium singleton artifacts yet"},
        {S::fail, "Path exists but is not a Unix socket"}}},
      {"codex home is a file",
       [](const ProfilePaths& p) {
         SecureFileSystem::prepareManagedHierarchy(p);
         testing::makeFile(p.home() + "/.codex");
       },
       {{S::pass, "All managed directories are private"},
        {S::fail, "Path is not a directory"},
        {S::pending, "No Chromium singleton artifacts yet"},
        {S::pending, "Not created yet"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const ProfilePaths paths(Uuid::random(), dir.path());
    c.setup(paths);
    const auto report = ProfileDiagnostics::inspect(paths, ProfilePreparer(dir.path()));
    ASSERT_EQ(report.checks.size(), 4u);
    std::vector<std::pair<S, std::string>> got;
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
  auto codexConfig = [](mode_t mode) {
    return [mode](const ProfilePaths& p) {
      testing::makeDirectory(p.codexHome());
      testing::makeFile(p.codexHome() + "/config.toml", mode);
    };
  };
  const std::vector<Case> cases = {
      {"codex 0644", apps::codexAdapterIdentifier, codexConfig(0644), {}, ""},
      {"codex 0664", apps::codexAdapterIdentifier, codexConfig(0664), C::unsafeProfilePath,
       "writable by group or others"},
      {"codex home missing", apps::codexAdapterIdentifier, [](const ProfilePaths&) {},
       C::unsafeProfilePath, "does not exist"},
      {"codex home 0777", apps::codexAdapterIdentifier,
       [](const ProfilePaths& p) { testing::makeDirectory(p.codexHome(), 0777); },
       C::unsafeProfilePath, "writable by group or others"},
      {"codex file missing", apps::codexAdapterIdentifier,
       [](const ProfilePaths& p) { testing::makeDirectory(p.codexHome()); },
       C::profileConfigurationNotFound, "config.toml"},
      {"codex file is a link", apps::codexAdapterIdentifier,
       [](const ProfilePaths& p) {
         testing::makeDirectory(p.codexHome());
         testing::makeFile(p.home() + "/elsewhere.toml");
         testing::makeSymlink(p.home() + "/elsewhere.toml", p.codexHome() + "/config.toml");
       },
       C::unsafeProfilePath, "symbolic link"},
      {"codex home is a link", apps::codexAdapterIdentifier,
       [](const ProfilePaths& p) {
         testing::makeDirectory(p.home() + "/real");
         testing::makeFile(p.home() + "/real/config.toml");
         testing::makeSymlink(p.home() + "/real", p.codexHome());
       },
       C::unsafeProfilePath, "symbolic link"},
      {"codex file is a directory", apps::codexAdapterIdentifier,
       [](const ProfilePaths& p) {
         testing::makeDirectory(p.codexHome());
         testing::makeDirectory(p.codexHome() + "/config.toml");
       },
       C::unsafeProfilePath, "not a regular file"},
      {"claude",
       apps::claudeAdapterIdentifier,
       [](const ProfilePaths& p) {
         testing::makeFile(p.userData() + "/claude_desktop_config.json");
       },
       {},
       ""},
      {"chrome", apps::chromeAdapterIdentifier, [](const ProfilePaths&) {},
       C::profileConfigurationUnavailable, "unsupported adapter"},
      {"zcode", apps::zcodeAdapterIdentifier, [](const ProfilePaths&) {},
       C::profileConfigurationUnavailable, "unsupported adapter"},
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
      ASSERT_TRUE(description.has_value());
      EXPECT_NE(description->find(c.detail), std::string::npos) << *description;
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
