// The traffic observer on live process trees: a profile's processes talking
// through the sidecar's port, a context naming another engine, trees at and
// over the width the kernel's listing allows, and a tree that changes while
// it is looked at.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/activity/ProfileTrafficObserver.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {
namespace {

constexpr const char* kLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
    "&fp=chrome&flow=xtls-rprx-vision";

// A profile's root process: a shell running `script`, leading its own group
// so that the whole tree can be ended at once.
class Tree {
 public:
  explicit Tree(const std::string& script)
      : process_({"/bin/sh", "-c", script}, SubprocessOptions{.newProcessGroup = true}) {
    identity_ = identityOnceRunning(process_.pid(), "/usr/bin/dash");
    if (!identity_)
      identity_ = identityOnceRunning(process_.pid(), "/bin/sh");
  }
  ~Tree() { ::kill(-process_.pid(), SIGKILL); }

  const std::optional<LiveProcessIdentity>& identity() const { return identity_; }
  pid_t pid() { return process_.pid(); }

 private:
  Subprocess process_;
  std::optional<LiveProcessIdentity> identity_;
};

// The children of `pid` that already run `sleep` (not a shell still on its
// way there).
std::size_t childCount(pid_t pid) {
  const auto table = platform::processParents(1 << 22);
  return table ? std::count_if(table->begin(), table->end(),
                               [&](const auto& entry) {
                                 const auto path = platform::executablePath(entry.first);
                                 return entry.second == pid && path && path->ends_with("/sleep");
                               })
               : 0;
}

class TrafficObserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ::chmod(dir_.path().c_str(), 0700);
  }

  // A guarded sidecar of the stand-in engine for a new profile.
  XraySidecarHandle startSidecar() {
    const Uuid id = Uuid::random();
    const ProfilePaths paths(id, dir_.path());
    ProfilePreparer(dir_.path()).prepare(paths);
    auto sidecar = std::make_unique<XraySidecarSupervisor>(
        [] { return XraySidecarSupervisor::validateBinary(testProgramPath("standin-xray")); },
        [this](std::uint16_t port, double limit) {
          return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
        },
        &XraySidecarSupervisor::lsofListenerVerifier, [] { return guardianPath(); });
    sidecar->initializeManagedProfile(paths);
    const auto handle = sidecar->start(id, Uuid::random(), VLESSRealityConfiguration(kLink), paths);
    sidecars_.push_back(std::move(sidecar));
    return handle;
  }

  ProfileTrafficObservationContext context(const LiveProcessIdentity& root,
                                           const XraySidecarHandle& engine,
                                           std::uint16_t port) {
    return {Uuid::random(), root, *engine.processIdentity,
            ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", port),
            engine.generation};
  }

  ScopedSubreaper reaper_;
  ScopedTempDir dir_;
  demo::LoopbackEchoServer echo_;
  std::vector<std::unique_ptr<XraySidecarSupervisor>> sidecars_;
};

TEST_F(TrafficObserverTest, SeesAGrandchildTalkingThroughTheSidecar) {
  const auto sidecar = startSidecar();
  const auto other = startSidecar();
  // The inner shell waits for curl, so curl is the root's grandchild; the
  // rate limit keeps its connection open while the observer looks.
  Tree tree(
      "sh -c \"/usr/bin/curl --silent --limit-rate 4k --output /dev/null --socks5-hostname "
      "127.0.0.1:" +
      std::to_string(sidecar.loopbackPort) + " " + echo_.url("/bytes/100000000") +
      "; true\" & wait");
  ASSERT_TRUE(tree.identity());
  const ProfileTrafficObserver observer;
  const auto ours = context(*tree.identity(), sidecar, sidecar.loopbackPort);
  EXPECT_TRUE(eventually([&] { return observer.observe(ours) == std::optional(true); },
                         std::chrono::seconds(10)));
  // The same connection, with the other profile's engine named as the peer.
  EXPECT_EQ(observer.observe(context(*tree.identity(), other, sidecar.loopbackPort)),
            std::optional(false));
}

TEST_F(TrafficObserverTest, TreesWiderThanTheListingAreUnavailable) {
  const auto sidecar = startSidecar();
  for (const int children : {128, 129}) {
    Tree tree("for i in $(seq " + std::to_string(children) + "); do sleep 60 & done; wait");
    ASSERT_TRUE(tree.identity());
    ASSERT_TRUE(
        eventually([&] { return childCount(tree.pid()) == static_cast<std::size_t>(children); },
                   std::chrono::seconds(20)));
    const auto observed =
        ProfileTrafficObserver().observe(context(*tree.identity(), sidecar, sidecar.loopbackPort));
    EXPECT_EQ(observed, children == 128 ? std::optional(false) : std::nullopt) << children;
  }
}

TEST_F(TrafficObserverTest, ATreeThatChangesWhileLookedAtIsUnavailable) {
  const auto sidecar = startSidecar();
  Tree tree("sleep 60 & sleep 60 & wait");
  ASSERT_TRUE(tree.identity());
  ASSERT_TRUE(eventually([&] { return childCount(tree.pid()) == 2; }));
  ProfileTrafficObserver observer;
  const auto ours = context(*tree.identity(), sidecar, sidecar.loopbackPort);
  EXPECT_EQ(observer.observe(ours), std::optional(false));
  // The second look at the root's children comes after one of them ended.
  int listings = 0;
  observer.children = [&](std::int32_t pid) {
    if (pid == tree.pid() && ++listings == 2) {
      const auto children = ProfileTrafficObserver::liveChildren(pid);
      ::kill(children->front(), SIGKILL);
      eventually([&] { return childCount(tree.pid()) == 1; });
    }
    return ProfileTrafficObserver::liveChildren(pid);
  };
  EXPECT_EQ(observer.observe(ours), std::nullopt);
}

}  // namespace
}  // namespace korvelin::testing
