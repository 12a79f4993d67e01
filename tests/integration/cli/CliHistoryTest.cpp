// korvelin history over what real runs, recoveries and the journal leave.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileActivityReader.h"
#include "core/process/LaunchLease.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using nlohmann::json;

class CliHistoryTest : public testing::CatalogCliTest {};

TEST_F(CliHistoryTest, RunsRecoveriesAndTheJournalNewestFirstUnsafeFilesSkipped) {
  auto created = korvelin({"profile", "create", "Work", "--installation", installation_, "--json"});
  ASSERT_EQ(created.exitCode, 0) << created.errors;
  const Uuid id = *Uuid::parse(json::parse(created.output)["id"].get<std::string>());
  const ProfilePaths paths(id, base_);
  ASSERT_EQ(korvelin({"run", "Work", "--", "/bin/sh", "-c", "exit 3"}).exitCode, 3);

  // A run whose host was killed, its program ended by hand, then recovered.
  {
    testing::ScopedSubreaper reaper;
    const std::string pidFile = dir_.child("program.pid");
    testing::Subprocess host({testing::korvelinPath(), "--base", base_, "--no-host-start", "run",
                              "Work", "--", "/bin/sh", "-c",
                              "echo $$ > " + pidFile + "; exec sleep 60"});
    int program = 0;
    ASSERT_TRUE(
        testing::eventually([&] { return (std::ifstream(pidFile) >> program) && program > 0; },
                            std::chrono::seconds(20)));
    host.signal(SIGKILL);
    host.wait();
    // While the program lives, the lease blocks the profile and recovery.
    const std::string blocked =
        "korvelin: Profile " + id.uppercaseString() + " requires recovery before launch.\n";
    for (const std::vector<std::string>& command : {std::vector<std::string>{"status", "Work"},
                                                    {"run", "Work", "--", "/bin/true"},
                                                    {"recover", "Work"},
                                                    {"recover", "Work", "--dry-run"}}) {
      const auto refused = korvelin(command);
      EXPECT_EQ(refused.exitCode, 1) << command[0];
      EXPECT_EQ(refused.errors, blocked) << command[0];
    }
    ::kill(-program, SIGKILL);
    ASSERT_TRUE(testing::eventually([&] { return testing::reapIfExited(program); }));
  }
  EXPECT_EQ(korvelin({"recover", "Work", "--dry-run"}).exitCode, 0);
  auto recovered = korvelin({"recover", id.uppercaseString()});
  ASSERT_EQ(recovered.exitCode, 0) << recovered.errors;

  ProfileActivityEvent event;
  event.profileID = id;
  event.kind = ProfileActivityKind::proxyDisconnected;
  event.detail = "gone";
  ProfileActivityJournal().append(event, paths);
  const Uuid run = Uuid::random();

  // Files a reader must pass over without reading (and without blocking).
  const std::string real = paths.logs() + "/" + launchLogName(run);
  testing::makeFile(real, 0600, launchEventJSON("launch_failed", id, run, 1, {}, {}, {}) + "\n");
  std::vector<std::string> skipped;
  for (int i = 0; i < 4; ++i)
    skipped.push_back(paths.logs() + "/" + launchLogName(Uuid::random()));
  testing::makeSymlink(real, skipped[0]);
  testing::makeFile(skipped[1], 0644, launchEventJSON("launch_failed", id, run, 2, {}, {}, {}));
  testing::makeFile(skipped[2], 0600, launchEventJSON("launch_failed", id, run, 3, {}, {}, {}));
  ASSERT_EQ(::chown(skipped[2].c_str(), 65534, 65534) == 0, ::geteuid() == 0);
  ASSERT_EQ(::mkfifo(skipped[3].c_str(), 0600), 0);
  testing::makeFile(paths.logs() + "/launch-not-a-uuid.jsonl", 0600, "{}");

  auto shown = korvelin({"history", "--json"});
  ASSERT_EQ(shown.exitCode, 0) << shown.errors;
  const auto history = json::parse(shown.output);
  std::vector<std::string> summaries;
  for (const auto& e : history["events"])
    summaries.push_back(e["summary"]);
  // Each run's log names "launch_requested", then events the history does
  // not show ("launched", "managed_group_stopped", "completion_confirmed");
  // the recovery names the killed run.
  ASSERT_EQ(summaries.size(), 5u) << shown.output;
  EXPECT_EQ(summaries, (std::vector<std::string>{"Proxy disconnected; profile stopped",
                                                 "Stale launch state recovered", "Launch requested",
                                                 "Launch requested", "Launch failed" /* 1970 */}));
  EXPECT_EQ(history["events"][1]["runID"], history["events"][2]["runID"]);
  // Three unshown events of the finished run and one of the killed run; the
  // link, the 0644 file and the FIFO; the stranger's file when it could be
  // given away.
  EXPECT_EQ(history["ignoredEntryCount"].get<std::size_t>(), ::geteuid() == 0 ? 8u : 7u);

  auto text = korvelin({"history", "Work", "--limit", "2"});
  ASSERT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_NE(text.output.find("recovery  Stale launch state recovered"), std::string::npos);
  EXPECT_EQ(text.output.find("Launch requested"), std::string::npos);
  EXPECT_EQ(korvelin({"run", "Work", "--", "/bin/true"}).exitCode, 0) << "the profile runs again";
}

// One line at a time: the whole mapping of the launch log, and what gives nothing.
TEST(ProfileActivityReaderTest, ParsesLinesByTheirFile) {
  const Uuid profile = Uuid::random();
  const Uuid other = Uuid::random();
  const Uuid run = Uuid::random();
  const std::string launch = launchLogName(run);
  auto line = [&](std::string event, std::optional<int> code, std::optional<int> signal,
                  const Uuid& of) { return launchEventJSON(event, of, run, 7, 1, code, signal); };
  const struct {
    std::string file;
    std::string line;
    std::optional<std::string> summary;
  } cases[] = {
      {launch, line("process_exited", 2, 9, profile), "Application exited with code 2"},
      {launch, line("process_exited", {}, 9, profile), "Application stopped by signal 9"},
      {launch, line("process_exited", {}, {}, profile), "Application stopped"},
      {launch, line("native_termination_requested", {}, {}, profile), "Stop requested"},
      {launch, line("stop_timed_out", {}, {}, profile), "Stop timed out"},
      {launch, line("launched", {}, {}, profile), std::nullopt},
      {launch, line("completion_confirmed", {}, {}, profile), std::nullopt},
      {launch, line("launch_requested", {}, {}, other), std::nullopt},
      {launch, "not json", std::nullopt},
      {"activity.jsonl", R"({"kind":"launch_requested"})", std::nullopt},
      {"activity.jsonl",
       activityEventJSON({.profileID = profile, .kind = ProfileActivityKind::codexUsageReset}),
       "Codex limits reset"},
      {"recovery-x.jsonl", line("launch_requested", {}, {}, profile), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto event = ProfileActivityReader::parseLine(profile, c.file, 4, c.line);
    ASSERT_EQ(event.has_value(), c.summary.has_value());
    if (event) {
      EXPECT_EQ(event->summary, *c.summary);
      EXPECT_EQ(event->id, profile.uppercaseString() + ":" + c.file + ":4");
    }
  }
}

}  // namespace
}  // namespace korvelin
