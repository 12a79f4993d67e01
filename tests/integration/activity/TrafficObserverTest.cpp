// The traffic observer on a live process tree: a profile's processes talking
// through the sidecar's port, and a context naming another engine. The rules
// for wide and changing trees are checked on tables of their own.

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

}  // namespace
}  // namespace korvelin::testing
