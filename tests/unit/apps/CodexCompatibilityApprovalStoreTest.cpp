#include "core/apps/CodexCompatibilityApprovalStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::expectCoreError;
using testing::makeFile;
using testing::readText;
using testing::ScopedTempDir;

CodexInstallation codex(std::string build = "8379", std::string hash = "ab12") {
  auto installation = testing::codexInstallation("/nonexistent/codex");
  installation.buildVersion = std::move(build);
  installation.codeDirectoryHash = std::move(hash);
  installation.compatibilityStatus = CodexCompatibilityStatus::unverifiedVersion;
  return installation;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

struct ApprovalStoreTest : ::testing::Test {
  ScopedTempDir temp;
  std::chrono::system_clock::time_point now = std::chrono::sys_days{2026y / 12 / 6} + 10h;
  CodexCompatibilityApprovalStore store{temp.path(), ProfilePreparer(temp.child("default")),
                                        [this] { return now; }};
  std::string file() const { return temp.child("codex-compatibility.json"); }
};

TEST_F(ApprovalStoreTest, ApprovesExactlyTheInstallationAndRenewsItsDate) {
  EXPECT_TRUE(store.load().empty());
  store.approve(codex());
  now += 1h;
  store.approve(codex());
  store.approve(codex("8380"));

  const auto approvals = store.load();
  ASSERT_EQ(approvals.size(), 2u);
  EXPECT_EQ(approvals[0].buildVersion, "8379");
  EXPECT_EQ(approvals[0].approvedAt, std::chrono::sys_days{2026y / 12 / 6} + 11h);
  EXPECT_TRUE(store.isApproved(codex()));
  EXPECT_FALSE(store.isApproved(codex("8379", "cd34")));  // same versions, other code
  EXPECT_EQ(testing::modeOf(file()), 0600u);
  EXPECT_NE(readText(file()).find("\"approvedAt\": \"2026-12-06T11:00:00Z\""), std::string::npos);

  auto other = codex();
  other.signingTeamIdentifier = "EQHXZ8M8AV";
  EXPECT_EQ(expectCoreError([&] { store.approve(other); }).errorCase(),
            KorvelinCoreError::Case::untrustedCodeSignature);
}

// Every file the store did not write as it writes them is refused, by load
// and by approve alike, and left exactly as it was.
TEST_F(ApprovalStoreTest, RefusesEveryUnsafeOrForeignFile) {
  const std::string valid =
      R"({"approvals": [{"approvedAt": "2026-12-06T10:00:00Z", "buildVersion": "8379",
          "bundleIdentifier": "com.openai.codex", "codeDirectoryHash": "ab12",
          "marketingVersion": "26.903.61454", "signingTeamIdentifier": "2DC432GLL2"}],
          "schemaVersion": 1})";
  const std::string validation = "failed owner, type, mode, or size validation";
  const auto file = [](std::string text) { return [=](auto& p) { makeFile(p, 0600, text); }; };
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"mode 0644", [&](auto& p) { makeFile(p, 0644, valid); }, validation},
      {"symbolic link",
       [&](auto& p) {
         makeFile(p + ".target", 0600, valid);
         testing::makeSymlink(p + ".target", p);
       },
       "could not open approval file"},
      {"262145 bytes", file(std::string(262145, ' ')), validation},
      {"schema 2", file(R"({"approvals": [], "schemaVersion": 2})"), "unsupported approval schema"},
      {"extra key", file(R"({"approvals": [], "more": 1, "schemaVersion": 1})"),
       "invalid approval file"},
      {"date with a fraction", file(replaced(valid, "10:00:00Z", "10:00:00.5Z")),
       "invalid approval file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir base;
    CodexCompatibilityApprovalStore refusing(base.path(), ProfilePreparer(base.child("d")));
    const std::string path = base.child("codex-compatibility.json");
    c.make(path);
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    for (const auto& operation : std::vector<std::function<void()>>{
             [&] { refusing.load(); }, [&] { refusing.isApproved(codex()); },
             [&] { refusing.approve(codex()); }}) {
      const auto error = expectCoreError(operation);
      EXPECT_EQ(error.errorCase(), KorvelinCoreError::Case::compatibilityApprovalFailed);
      EXPECT_NE(error.detail().find(c.detail), std::string::npos) << error.detail();
    }
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
  }
}

}  // namespace
}  // namespace korvelin
