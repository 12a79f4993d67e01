#include <signal.h>

#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileActivityJournal.h"
#include "core/activity/ProfileUsageRoute.h"
#include "core/process/LaunchLease.h"
#include "core/process/LiveProcessIdentity.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/Subprocess.h"

namespace korvelin {
namespace {

using testing::korvelinPath;
using testing::run;

class CliObserveTest : public testing::ProfileCliTest {};

TEST_F(CliObserveTest, ObserveReadoptsWhatAKilledRunLeftRunning) {
  EXPECT_NE(run(korvelin({"observe", profile_})).errors.find("has no launch lease"),
            std::string::npos);

  const std::string probe = testing::testProgramPath("probe-child");
  testing::Subprocess host(
      korvelin({"run", "--json", profile_, "--", probe, dir_.child("report"), "30",
                "--user-data-dir=" + paths_.userData(), "--proxy-server=socks5://127.0.0.1:1080"}));
  ASSERT_TRUE(host.waitForOutput("\n", std::chrono::seconds(10)));
  const auto started = nlohmann::json::parse(host.output());
  host.signal(SIGKILL);
  host.wait();

  auto text = run(korvelin({"observe", profile_}));
  EXPECT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_NE(text.output.find("run          " + started["runID"].get<std::string>()),
            std::string::npos);
  EXPECT_NE(text.output.find("route        socks5://127.0.0.1:1080"), std::string::npos)
      << text.output;

  // The run the lease recorded, as the killed host knew it, and beside it the
  // identity the lease recorded, proven again.
  const auto observation =
      nlohmann::json::parse(run(korvelin({"observe", profile_, "--json"})).output);
  auto snapshot = started;
  snapshot.erase("event");
  EXPECT_EQ(
      observation["rootIdentity"],
      nlohmann::json(*parseDurableProcessLease(testing::readText(paths_.leaseFile()))->identity));
  EXPECT_EQ(observation["snapshot"], snapshot);
  EXPECT_EQ(observation["usageRoute"],
            nlohmann::json(ProfileUsageRoute::proxy(
                ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", 1080))));

  auto refused = run(korvelin({"observe", profile_, "--executable", "/usr/bin/env"}));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.errors, "korvelin: Profile " + profile_ +
                                " requires recovery before launch. Re-adoption refused: process " +
                                std::to_string(started["rootPID"].get<int>()) + " runs " + probe +
                                ", not /usr/bin/env.\n");

  const pid_t pid = started["rootPID"];
  ::kill(-pid, SIGKILL);
  // Whoever inherits the orphan may leave it a zombie; that is not live either.
  EXPECT_TRUE(testing::eventually([&] { return !LiveProcessIdentity::capture(pid); }));
  EXPECT_NE(run(korvelin({"observe", profile_})).errors.find("is not a live process"),
            std::string::npos);
  EXPECT_TRUE(testing::exists(paths_.leaseFile())) << "observation never removes the lease";
}

TEST_F(CliObserveTest, JournalShowsTheNewestEvents) {
  ProfilePreparer(dir_.path()).prepare(paths_);
  EXPECT_EQ(run(korvelin({"journal", profile_})).output, "no activity recorded for this profile\n");
  std::vector<ProfileActivityEvent> events;
  for (auto kind : kAllProfileActivityKinds) {
    events.push_back(
        {.profileID = id_, .kind = kind, .proxyName = "Office", .detail = "line\nbreak"});
    ProfileActivityJournal().append(events.back(), paths_);
  }

  auto json = run(korvelin({"journal", profile_, "--json", "--limit", "2"}));
  const std::size_t n = events.size();
  EXPECT_EQ(json.output,
            activityEventJSON(events[n - 2]) + "\n" + activityEventJSON(events[n - 1]) + "\n");

  auto text = run(korvelin({"journal", profile_}));
  std::istringstream lines(text.output);
  std::vector<std::string> shown;
  for (std::string line; std::getline(lines, line);)
    shown.push_back(line);
  ASSERT_EQ(shown.size(), n) << text.output;
  EXPECT_NE(shown[3].find("  proxyUnavailableWhileRunning  Office: line?break"), std::string::npos)
      << shown[3];
}

}  // namespace
}  // namespace korvelin
