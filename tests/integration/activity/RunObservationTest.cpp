// What is learnt of a live run from real processes: its re-adoption from a
// real lease, and its activity journal under concurrent appenders. Its
// traffic through a sidecar is seen in ProfileLauncherTest.

#include <sys/stat.h>

#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileRuntimeObserver.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {
namespace {

class RunObservationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0700);
    ProfilePreparer(paths_.baseDirectory()).prepare(paths_);
  }

  ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, dir_.path()};
};

TEST_F(RunObservationTest, RefusesEveryLeaseOrProcessItCannotProve) {
  const std::string probe = testProgramPath("probe-child");
  const std::string lease = paths_.leaseFile();
  const std::string userData = "--user-data-dir=" + paths_.userData();
  // A stand-in application, sleeping, with `arguments` on its command line.
  int reports = 0;
  const auto application = [&](std::vector<std::string> arguments, bool ownGroup = true) {
    arguments.insert(arguments.begin(),
                     {probe, dir_.child("report" + std::to_string(++reports)), "30"});
    return std::make_unique<Subprocess>(arguments, SubprocessOptions{.newProcessGroup = ownGroup});
  };
  const auto app = application({userData, "--proxy-server=socks5://127.0.0.1:1080"});
  const auto twoDirectories = application({userData, userData});
  const auto elsewhere = application({"--user-data-dir=" + dir_.child("other")});
  const auto sharedGroup = application({userData}, false);
  const auto identity = *LiveProcessIdentity::capture(app->pid());
  const Uuid run = Uuid::random();
  const double appStart = platform::processRecord(app->pid()).value().startDate;
  const double startedAt = appStart - 0.005;

  const std::string starting = leaseJSON(run, startedAt, {}, {}, "starting", {}) + "\n";
  const auto leaseOf = [&](std::int32_t pid, double started,
                           std::optional<LiveProcessIdentity> recorded) {
    return leaseJSON(run, started, {}, {}, "starting", {}) + "\n" +
           leaseJSON(run, started, pid, pid, "running", recorded) + "\n";
  };
  // The lease of `process` with its identity; of the app started `seconds`
  // after the lease, with none.
  const auto leaseFor = [&](const Subprocess& process) {
    return leaseOf(process.pid(), startedAt, LiveProcessIdentity::capture(process.pid()));
  };
  const auto unidentified = [&](double seconds) {
    return leaseOf(app->pid(), appStart - seconds, std::nullopt);
  };
  const std::string good = leaseOf(app->pid(), startedAt, identity);
  auto changedIdentity = identity;
  changedIdentity.startMicroseconds += 1;

  // Observes, expecting a refusal; returns its reason.
  const auto refusal = [&](const std::string& executable) {
    std::string reason;
    const auto error = expectCoreError(
        [&] { ProfileRuntimeObserver().observeWithRoute(paths_, executable, &reason); });
    EXPECT_EQ(error, KorvelinCoreError::profileRecoveryRequired(id_)) << error.what();
    return reason;
  };
  const struct {
    const char* name;
    std::string bytes;
    std::string refusal;  // empty: accepted
    std::string executable = "";
  } rows[] = {
      {"the run's own lease", good, ""},
      {"exactly 16384 bytes", good + std::string(16384 - good.size(), '\n'), ""},
      {"no identity, started 59 s after the lease", unidentified(59), ""},
      {"no identity, started 61 s after the lease", unidentified(61), "started 61"},
      {"no identity, started before the lease", unidentified(-0.02), "started -0.02"},
      {"empty", "", "lease holds 0 bytes, not 1...16384: .launch.lock"},
      {"16385 bytes", good + std::string(16385 - good.size(), '\n'), "lease holds 16385 bytes"},
      {"starting line only", starting, "records no verified running process"},
      {"another incarnation recorded", leaseOf(app->pid(), startedAt, changedIdentity),
       "is not the process the launch lease recorded"},
      {"two --user-data-dir= arguments", leaseFor(*twoDirectories),
       "has 2 --user-data-dir= arguments"},
      {"another data directory", leaseFor(*elsewhere),
       "uses --user-data-dir=" + dir_.child("other")},
      {"root not leading its group", leaseFor(*sharedGroup), "is in process group"},
      {"another executable", good, "runs " + probe + ", not /usr/bin/env", "/usr/bin/env"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    makeFile(lease, 0600, row.bytes);
    const std::string executable = row.executable.empty() ? probe : row.executable;
    if (row.refusal.empty()) {
      EXPECT_EQ(ProfileRuntimeObserver().observe(paths_, executable).runID, run);
    } else {
      EXPECT_THAT(refusal(executable), ::testing::HasSubstr(row.refusal));
    }
    EXPECT_EQ(readText(lease), row.bytes) << "observation changes nothing";
    ::unlink(lease.c_str());
  }
  EXPECT_THAT(refusal(probe), ::testing::HasSubstr("there is no .launch.lock"));
}

TEST_F(RunObservationTest, ConcurrentAppendersWriteWholeLines) {
  constexpr int kEventsPerWriter = 150;
  std::vector<std::unique_ptr<Subprocess>> writers;
  for (const char* tag : {"a", "b"})
    writers.push_back(std::make_unique<Subprocess>(
        std::vector<std::string>{testProgramPath("activity-appender"), dir_.path(),
                                 id_.uppercaseString(), std::to_string(kEventsPerWriter), tag}));
  for (auto& writer : writers) {
    auto status = writer->wait();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << writer->errors();
  }

  const auto contents = readProfileActivityJournal(paths_, 16 << 20);
  EXPECT_EQ(contents.ignoredLineCount, 0u) << "every line is a whole event";
  std::map<std::string, int> next;  // each writer's events arrive in its own order
  for (const auto& event : contents.events) {
    std::istringstream words(event.detail);
    std::string tag;
    int index = -1;
    words >> tag >> index;
    EXPECT_EQ(index, next[tag]++) << tag;
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"a", kEventsPerWriter}, {"b", kEventsPerWriter}}));
}

}  // namespace
}  // namespace korvelin::testing
