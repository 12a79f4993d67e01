// Re-adoption of runs from real leases and real processes, and the activity
// journal under concurrent appenders.

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileRuntimeObserver.h"
#include "core/base/CoreError.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/LaunchLease.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::readText;

using Case = KorvelinCoreError::Case;
using testing::exists;
using testing::expectCoreError;
using testing::makeFile;
using testing::Subprocess;
using testing::testProgramPath;

const std::string kProxyArgument = "--proxy-server=socks5://127.0.0.1:1080";

// When a process started, as a date comparable with a lease's.
double startDate(std::int32_t pid) {
  return platform::processRecord(pid).value().startDate;
}

class ProfileRuntimeObserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0700);
    ProfilePreparer(paths_.baseDirectory()).prepare(paths_);
  }

  // A stand-in application: probe-child sleeping, with `arguments` on its
  // command line.
  std::vector<std::string> application(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {probe(), dir_.child("report-" + std::to_string(reports_++)),
                                     "30"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

  std::string probe() const { return testProgramPath("probe-child"); }
  std::string userDataArgument() const { return "--user-data-dir=" + paths_.userData(); }
  std::string lease() const { return paths_.leaseFile(); }

  // Observes, expecting a refusal; returns its reason.
  std::string refusal(const std::string& executable) {
    std::string reason;
    const auto error = expectCoreError(
        [&] { ProfileRuntimeObserver().observeWithRoute(paths_, executable, &reason); });
    EXPECT_EQ(error, KorvelinCoreError::profileRecoveryRequired(id_)) << error.what();
    return reason;
  }

  testing::ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  ProfilePaths paths_{id_, dir_.path()};
  int reports_ = 0;
};

TEST_F(ProfileRuntimeObserverTest, RefusesEveryLeaseOrProcessItCannotProve) {
  Subprocess app(application({userDataArgument(), kProxyArgument}), {.newProcessGroup = true});
  Subprocess twoDirectories(application({userDataArgument(), userDataArgument()}),
                            {.newProcessGroup = true});
  Subprocess elsewhere(application({"--user-data-dir=" + dir_.child("other")}),
                       {.newProcessGroup = true});
  Subprocess sharedGroup(application({userDataArgument()}));
  const auto identity = *LiveProcessIdentity::capture(app.pid());
  const Uuid run = Uuid::random();
  const double startedAt = startDate(app.pid()) - 0.005;

  auto leaseOf = [&](std::int32_t pid, double started,
                     std::optional<LiveProcessIdentity> recorded) {
    return leaseJSON(run, started, std::nullopt, std::nullopt, "starting", std::nullopt) + "\n" +
           leaseJSON(run, started, pid, pid, "running", recorded) + "\n";
  };
  auto identityOf = [](const Subprocess& process) {
    return LiveProcessIdentity::capture(process.pid());
  };
  const std::string good = leaseOf(app.pid(), startedAt, identity);
  auto changedIdentity = identity;
  changedIdentity.startMicroseconds += 1;

  struct Row {
    const char* name;
    std::string bytes;
    std::string refusal;  // empty: accepted
    std::string executable = "";
  };
  const std::vector<Row> rows = {
      {"the run's own lease", good, ""},
      {"exactly 16384 bytes", good + std::string(16384 - good.size(), '\n'), ""},
      {"no identity, started 59 s after the lease",
       leaseOf(app.pid(), startDate(app.pid()) - 59, std::nullopt), ""},
      {"no identity, started 61 s after the lease",
       leaseOf(app.pid(), startDate(app.pid()) - 61, std::nullopt), "started 61"},
      {"no identity, started before the lease",
       leaseOf(app.pid(), startDate(app.pid()) + 0.02, std::nullopt), "started -0.02"},
      {"empty", "", "lease holds 0 bytes, not 1...16384: .launch.lock"},
      {"16385 bytes", good + std::string(16385 - good.size(), '\n'), "lease holds 16385 bytes"},
      {"starting line only",
       leaseJSON(run, startedAt, std::nullopt, std::nullopt, "starting", std::nullopt) + "\n",
       "records no verified running process"},
      {"another incarnation recorded", leaseOf(app.pid(), startedAt, changedIdentity),
       "is not the process the launch lease recorded"},
      {"two --user-data-dir= arguments",
       leaseOf(twoDirectories.pid(), startedAt, identityOf(twoDirectories)),
       "has 2 --user-data-dir= arguments"},
      {"another data directory", leaseOf(elsewhere.pid(), startedAt, identityOf(elsewhere)),
       "uses --user-data-dir=" + dir_.child("other")},
      {"root not leading its group", leaseOf(sharedGroup.pid(), startedAt, identityOf(sharedGroup)),
       "is in process group"},
      {"another executable", good, "runs " + probe() + ", not /usr/bin/env", "/usr/bin/env"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    makeFile(lease(), 0600, row.bytes);
    const std::string executable = row.executable.empty() ? probe() : row.executable;
    if (row.refusal.empty()) {
      EXPECT_EQ(ProfileRuntimeObserver().observe(paths_, executable).runID, run);
    } else {
      EXPECT_NE(refusal(executable).find(row.refusal), std::string::npos) << refusal(executable);
    }
    EXPECT_EQ(readText(lease()), row.bytes) << "observation changes nothing";
    ::unlink(lease().c_str());
  }
  EXPECT_NE(refusal(probe()).find("there is no .launch.lock"), std::string::npos);
}

TEST_F(ProfileRuntimeObserverTest, ConcurrentAppendersWriteWholeLines) {
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
}  // namespace korvelin
