// korvelin xray-state: the durable sidecar record as a user reads it.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

const Uuid kProfile = *Uuid::parse("6F2A4C8E-1B3D-4E5F-9A7C-0B2D4F6A8C1E");

class CliXrayStateTest : public ::testing::Test {
 protected:
  CliXrayStateTest() : base(temp.child("base")), paths(kProfile, base) {
    testing::makeDirectory(base);
    ProfilePreparer(temp.child("default")).prepare(paths);
  }

  testing::RunResult xrayState(std::vector<std::string> extra = {}) const {
    std::vector<std::string> argv = {testing::korvelinPath(), "--base", base, "xray-state",
                                     kProfile.lowercaseString()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::run(argv);
  }

  testing::ScopedTempDir temp;
  std::string base;
  ProfilePaths paths;
};

TEST_F(CliXrayStateTest, ShowsTheRecordAndChangesNothing) {
  auto none = xrayState();
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.errors,
            "korvelin: profile " + kProfile.uppercaseString() +
                " has no durable sidecar record (it has never been prepared for a proxy)\n");
  EXPECT_FALSE(testing::exists(paths.root() + "/.xray-operation-lock"));
  EXPECT_FALSE(testing::exists(base + "/.instance.lock"));

  XrayDurableState active = XrayDurableState::emptyRecord(kProfile);
  active.status = XrayDurableState::Status::active;
  active.guardianPID = 4242;
  active.loopbackPort = 10808;
  active.capability = std::string(64, 'c');
  active.protocolVersion = 2;
  XrayDurableStateStore store;
  store.withLockedState(paths, true, [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
    writer.write(active);
    // While a writer holds the lock the reader fails at once and says why.
    auto locked = xrayState();
    EXPECT_EQ(locked.exitCode, 1);
    EXPECT_EQ(locked.errors,
              "korvelin: Profile " + kProfile.uppercaseString() +
                  " requires recovery before launch. (flock failed for .xray-operation-lock: "
                  "Resource temporarily unavailable)\n");
  });

  auto text = xrayState();
  ASSERT_EQ(text.exitCode, 0) << text.errors;
  EXPECT_NE(text.output.find("status         active (a sidecar may be running)\n"),
            std::string::npos)
      << text.output;
  EXPECT_NE(text.output.find("loopback port  10808\n"), std::string::npos) << text.output;
  EXPECT_EQ(text.output.find(*active.capability), std::string::npos) << text.output;

  auto json = xrayState({"--json"});
  ASSERT_EQ(json.exitCode, 0) << json.errors;
  EXPECT_EQ(nlohmann::json::parse(json.output), nlohmann::json(active));
}

}  // namespace
}  // namespace korvelin
