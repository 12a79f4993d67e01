// The managed block's transactions on real files in a prepared profile:
// round trips that must give back the user's bytes exactly, the refusals that
// must change nothing, and a crash at every fault point rolled back.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/codex/CodexMCPConfigBlock.h"
#include "core/codex/CodexMCPConfigProvisioner.h"
#include "tests/support/CodexProfile.h"
#include "tests/support/FileTreeHelpers.h"

namespace korvelin {
namespace {

using testing::CodexProfile;
using testing::expectCoreError;

const Uuid kFirst = *Uuid::parse("0B9D3E4A-5C6F-4A8B-9C0D-1E2F3A4B5C6D");
const Uuid kSecond = *Uuid::parse("7E8F9A0B-1C2D-4E3F-8A5B-6C7D8E9F0A1B");
constexpr std::uint16_t kPort = 47123;
constexpr std::string_view kCapability = "cap-0123456789abcdef";

std::string installed(const std::string& stripped, const Uuid& generation = kFirst) {
  return codexmcp::addingManagedBlock(stripped,
                                      codexmcp::managedBlock(generation, kPort, kCapability));
}

KorvelinCoreError configurationError(const std::string& detail) {
  return KorvelinCoreError::youTrackMCPConfigurationFailed(detail);
}

class CodexMCPConfigProvisionerTest : public ::testing::Test {
 protected:
  CodexProfile profile;
  CodexMCPConfigProvisioner provisioner;

  CodexMCPConfigReceipt install(const Uuid& generation = kFirst) {
    return provisioner.install(profile.paths, generation, kPort, kCapability);
  }
};

// Install then remove gives back the user's bytes, whatever their shape.
TEST_F(CodexMCPConfigProvisionerTest, RoundTripsAreByteExact) {
  const struct {
    const char* name;
    std::optional<std::string> prior;
  } cases[] = {
      {"absent file (an empty one remains)", std::nullopt},
      {"empty file", ""},
      {"no final line feed", "model = \"o3\""},
      {"CRLF lines", "model = \"o3\"\r\n[tui]\r\nnotifications = true\r\n"},
      {"byte-order mark", "\xEF\xBB\xBFmodel = \"o3\"\n"},
      {"blank lines at the end", "a = 1\n\n\n"},
      {"only line feeds", "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CodexProfile fresh;
    if (c.prior)
      fresh.writeConfig(*c.prior);
    const auto receipt = provisioner.install(fresh.paths, kFirst, kPort, kCapability);
    EXPECT_EQ(fresh.configBytes(), installed(c.prior.value_or("")));
    EXPECT_EQ(receipt.installedBytes, fresh.configBytes());
    provisioner.remove(fresh.paths, receipt);
    EXPECT_EQ(fresh.configBytes(), c.prior.value_or(""));
    EXPECT_EQ(testing::modeOf(fresh.config()), 0600u);
    EXPECT_EQ(fresh.codexEntries(), std::vector<std::string>{"config.toml"});
  }
}

// One profile: .codex created private and a 0755 one repaired, then a
// reinstall that keeps one block and a reconcile that removes it.
TEST_F(CodexMCPConfigProvisionerTest, PrivateDirectoryThenReinstallAndReconcile) {
  provisioner.reconcile(profile.paths);
  provisioner.reconcile(ProfilePaths(Uuid::random(), profile.paths.baseDirectory()));
  EXPECT_FALSE(testing::exists(profile.codexHome()));
  install();
  EXPECT_EQ(testing::modeOf(profile.codexHome()), 0700u);
  ASSERT_EQ(::chmod(profile.codexHome().c_str(), 0755), 0);
  EXPECT_TRUE(provisioner.status(profile.paths).block);  // a look changes nothing
  EXPECT_EQ(testing::modeOf(profile.codexHome()), 0755u);
  provisioner.reconcile(profile.paths);
  EXPECT_EQ(testing::modeOf(profile.codexHome()), 0700u);

  const std::string user = "model = \"o3\"\n";
  const auto changed = configurationError("managed config changed while the run was active");
  profile.writeConfig(user);
  install(kFirst);
  const auto receipt = install(kSecond);
  EXPECT_EQ(profile.configBytes(), installed(user, kSecond));
  // The first receipt no longer describes the file.
  EXPECT_EQ(expectCoreError([&] {
              provisioner.remove(profile.paths, {kFirst, installed(user)});
            }),
            changed);
  provisioner.reconcile(profile.paths);
  EXPECT_EQ(profile.configBytes(), user);
  EXPECT_EQ(expectCoreError([&] { provisioner.remove(profile.paths, receipt); }), changed);
  EXPECT_EQ(profile.configBytes(), user);
}

// Every refusal leaves every byte where it was.
TEST_F(CodexMCPConfigProvisionerTest, RefusalsChangeNothing) {
  const std::string user = "model = \"o3\"\n";
  const std::string block = codexmcp::managedBlock(kFirst, kPort, kCapability);
  const std::string begin(codexmcp::kBeginMarker), end(codexmcp::kEndMarker);
  const std::string unsafe = "unsafe private file", collision = "server name collision";
  using SetUp = std::function<void(CodexProfile&)>;
  const auto writes = [](const std::string& bytes) -> SetUp {
    return [bytes](CodexProfile& p) { p.writeConfig(bytes); };
  };
  // .codex, or config.toml in it, a symbolic link to a directory or file elsewhere.
  const auto linked = [&](bool directory) -> SetUp {
    return [directory, user](CodexProfile& p) {
      const std::string target = p.temp.child("elsewhere");
      directory ? testing::makeDirectory(target) : testing::makeFile(target, 0600, user);
      if (!directory)
        testing::makeDirectory(p.codexHome());
      testing::makeSymlink(target, directory ? p.codexHome() : p.config());
    };
  };
  // The user's file, then `change`.
  const auto changed = [&](SetUp change) -> SetUp {
    return [user, change](CodexProfile& p) {
      p.writeConfig(user);
      change(p);
    };
  };
  const auto acl = [](auto& p) { testing::setfacl({"-m", "u:65534:r", p.config()}); };
  const struct {
    const char* name;
    SetUp setUp;
    std::string detail;
    std::string_view capability = kCapability;
  } cases[] = {
      {".codex 0750", [](auto& p) { testing::makeDirectory(p.codexHome(), 0750); },
       "unsafe private .codex directory"},
      {".codex a symbolic link", linked(true), "could not open private .codex directory"},
      {".codex with an ACL entry",
       [](auto& p) {
         testing::makeDirectory(p.codexHome());
         testing::setfacl({"-m", "u:65534:r,m::---", p.codexHome()});
       },
       "extended ACL is not allowed: .codex"},
      {"config.toml a symbolic link", linked(false), unsafe},
      {"config.toml hard-linked", changed([](auto& p) {
         ASSERT_EQ(::link(p.config().c_str(), p.temp.child("2").c_str()), 0);
       }),
       unsafe},
      {"config.toml group-writable", changed([](auto& p) { ::chmod(p.config().c_str(), 0620); }),
       unsafe},
      {"config.toml 1 MiB + 1", writes(std::string(1024 * 1024 + 1, '#')), unsafe},
      {"config.toml with an ACL entry", changed(acl), "extended ACL is not allowed: config.toml"},
      {"server as a table", writes("[mcp_servers.korvelin_youtrack]\nurl = \"x\"\n"), collision},
      {"server inline", writes("mcp_servers = { korvelin_youtrack = { url = \"x\" } }\n"),
       collision},
      {"server dotted", writes("mcp_servers.korvelin_youtrack.url = \"x\"\n"), collision},
      {"server quoted", writes("[mcp_servers.\"korvelin_youtrack\"]\nurl = \"x\"\n"), collision},
      {"server quoted with an escape",
       writes("[mcp_servers.\"korvelin\\u005Fyoutrack\"]\nurl = \"x\"\n"), collision},
      {"server spaced", writes("[ mcp_servers . korvelin_youtrack ]\nurl = \"x\"\n"), collision},
      {"begin without end", writes(user + begin + "\n"), "invalid managed markers"},
      {"two blocks", writes(block + "\n" + block + "\n"), "invalid managed markers"},
      {"end before begin", writes(end + "\n" + begin + "\n"), "invalid managed marker order"},
      {"not UTF-8", writes("model = \"\xff\"\n"), "config is not UTF-8"},
      {"capability that would end the string", writes(user), "invalid capability", "a\" }\n[x]"},
      {"oversized result", writes(std::string(1024 * 1024 - 100, '#')),
       "managed config would exceed 1 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CodexProfile fresh;
    c.setUp(fresh);
    const auto before = fresh.codexEntries();
    const auto bytes = fresh.configBytes();
    EXPECT_EQ(
        expectCoreError([&] { provisioner.install(fresh.paths, kFirst, kPort, c.capability); }),
        configurationError(c.detail));
    EXPECT_EQ(fresh.codexEntries(), before);
    EXPECT_EQ(fresh.configBytes(), bytes);
  }
}

// A crash at any step, rolled back by the next operation, leaves the bytes
// the interrupted operation started from; a final reconcile then leaves the
// user's bytes and nothing of ours. Create mode only happens to an install
// into a profile without config.toml: remove and reconcile always find one.
TEST_F(CodexMCPConfigProvisionerTest, CrashAtEveryFaultPointRollsBack) {
  struct Crash {};
  const std::vector<std::string> points = {"afterJournalStage", "afterJournalPublish",
                                           "afterJournal",      "beforeSwap",
                                           "afterCreateLink",   "afterPublish"};
  const std::string user = "model = \"o3\"\r\n# no final line feed";
  const struct {
    const char* name;
    std::optional<std::string> prior;  // config.toml before the interrupted operation
    std::function<void(CodexMCPConfigProvisioner&, const ProfilePaths&)> operation;
  } cases[] = {
      {"install, create", std::nullopt,
       [](auto& p, const auto& paths) { p.install(paths, kSecond, kPort, kCapability); }},
      {"install, swap", user,
       [](auto& p, const auto& paths) { p.install(paths, kSecond, kPort, kCapability); }},
      {"remove, swap", installed(user),
       [&](auto& p, const auto& paths) {
         p.remove(paths, {kFirst, installed(user)});
       }},
      {"reconcile, swap", installed(user), [](auto& p, const auto& paths) { p.reconcile(paths); }},
  };
  int quarantines = 0;  // rollbacks of a published file, crashed there or not
  // Runs `operation` with a provisioner that crashes at the first of `stops`
  // it reaches; true when it reached one.
  const auto crashingAt = [&](std::vector<std::string_view> stops, auto operation) {
    bool reached = false;
    CodexMCPConfigProvisioner crashing([&](std::string_view at) {
      quarantines += at == "afterRecoveryQuarantine";
      reached = std::find(stops.begin(), stops.end(), at) != stops.end();
      if (reached)
        throw Crash{};
    });
    try {
      operation(crashing);
    } catch (const Crash&) {
    }
    return reached;
  };
  for (const auto& c : cases) {
    for (const auto& point : points) {
      for (bool crashInRecovery : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + " at " + point +
                     (crashInRecovery ? ", recovery crashed too" : ""));
        CodexProfile fresh;
        if (c.prior)
          fresh.writeConfig(*c.prior);
        const auto reconcile = [&](auto& p) { p.reconcile(fresh.paths); };
        const bool reached = crashingAt({point}, [&](auto& p) { c.operation(p, fresh.paths); });
        // Only the mode's own points: a swap passes no link, a create no swap.
        const bool create = !c.prior;
        EXPECT_EQ(reached, point != (create ? "beforeSwap" : "afterCreateLink"));
        if (!reached)
          continue;
        // Rolled back (once with a crash in the middle of the rollback), and
        // stopped before reconcile would write anything of its own.
        if (crashInRecovery)
          crashingAt({"afterRecoveryQuarantine", "afterJournalStage"}, reconcile);
        crashingAt({"afterJournalStage"}, reconcile);
        EXPECT_EQ(fresh.configBytes(), c.prior);
        provisioner.reconcile(fresh.paths);
        EXPECT_EQ(fresh.configBytes(), c.prior ? std::optional(user) : std::nullopt);
        EXPECT_EQ(fresh.codexEntries(),
                  c.prior ? std::vector<std::string>{"config.toml"} : std::vector<std::string>{});
      }
    }
  }
  EXPECT_GT(quarantines, 0);
}

TEST_F(CodexMCPConfigProvisionerTest, UnreadableJournalStopsEverythingForManualRecovery) {
  profile.writeConfig("model = \"o3\"\n");
  testing::makeFile(
      profile.codexHome() + "/" + std::string(CodexMCPConfigProvisioner::kJournalName), 0600,
      "{\"mode\":\"swap\"}");
  EXPECT_EQ(expectCoreError([&] { provisioner.reconcile(profile.paths); }),
            configurationError("invalid config transaction journal"));
  EXPECT_EQ(profile.configBytes(), "model = \"o3\"\n");
}

// Another writer's edit made while our transaction ran is never lost: the
// operation fails, and recovery refuses rather than roll back over it.
TEST_F(CodexMCPConfigProvisionerTest, ConcurrentEditDuringTheTransactionIsKept) {
  profile.writeConfig("model = \"o3\"\n");
  const std::string edit = "model = \"edited meanwhile\"\n";
  CodexMCPConfigProvisioner racing([&](std::string_view at) {
    if (at == "afterJournal") {
      const std::string temp = profile.temp.child("edit");
      testing::makeFile(temp, 0600, edit);
      ASSERT_EQ(::rename(temp.c_str(), profile.config().c_str()), 0);
    }
  });
  EXPECT_EQ(expectCoreError([&] { racing.install(profile.paths, kFirst, kPort, kCapability); }),
            configurationError("config changed concurrently"));
  EXPECT_EQ(expectCoreError([&] { provisioner.reconcile(profile.paths); }),
            configurationError("invalid displaced config recovery file"));
  bool kept = false;
  for (const auto& name : profile.codexEntries())
    kept = kept || testing::readText(profile.codexHome() + "/" + name) == edit;
  EXPECT_TRUE(kept);
}

}  // namespace
}  // namespace korvelin
