// The real engine as a peer, run the product's way: a pasted link of each
// supported shape, a guarded sidecar under the real guardian whose readiness
// probe asks the loopback echo endpoint behind the VLESS server, a request
// through the handed-out SOCKS5 port, and a stop that leaves nothing behind.
// Failing starts (wrong REALITY credentials, servers that answer garbage,
// reset or stall) must fail as a preflight failure and leave no engine
// running; and the engine accepts every variant of the configuration we
// generate. Each test skips, naming the reason, when scripts/bootstrap could
// not build the engine.
//
// Every engine these tests start runs under a name of the test's own (see
// programs/marked-xray.cpp), so that "no engine left" is checked against the
// process table without mistaking the peers' own engines for ours.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/MisbehavingServer.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

using Case = KorvelinCoreError::Case;

// Short, so that the failing starts stay quick; readiness on loopback takes
// well under a second.
constexpr double kShortPreflight = 3.0;

// Processes whose name (first argument) is `mark`.
std::vector<int> processesNamed(const std::string& mark) {
  std::vector<int> found;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  while (dirent* entry = proc ? ::readdir(proc.get()) : nullptr) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0)
      continue;
    std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::string name;
    if (std::getline(file, name, '\0') && name == mark)
      found.push_back(pid);
  }
  return found;
}

class RealSidecarTest : public RealXrayTest {
 protected:
  void SetUp() override {
    RealXrayTest::SetUp();
    if (IsSkipped())
      return;
    ProfilePreparer(temp_.path()).prepare(paths_);
  }

  void TearDown() override {
    for (int pid : processesNamed(mark_))
      ::kill(pid, SIGKILL);
  }

  // The engine the supervisor is handed: a script that starts the real one
  // under this test's mark, trusting `certificate` when there is one.
  std::string engine(const std::string& certificate = "-") {
    const std::string script = temp_.child("engine-" + std::to_string(++engines_));
    std::ofstream(script) << "#!/bin/sh\nexec '" << testProgramPath("marked-xray") << "' '" << mark_
                          << "' '" << certificate << "' '" << xray_ << "' \"$@\"\n";
    ::chmod(script.c_str(), 0700);
    return script;
  }

  // A guarded supervisor whose readiness probe asks the echo endpoint through
  // the sidecar's port: it answers only once the VLESS hop really works.
  std::unique_ptr<XraySidecarSupervisor> supervisor(
      const std::string& engine,
      double preflight = XraySidecarSupervisor::kPreflightTimeout) {
    auto sidecar = std::make_unique<XraySidecarSupervisor>(
        [engine] { return XraySidecarSupervisor::validateBinary(engine); },
        [url = echo_.url()](std::uint16_t port, double limit) {
          return XraySidecarSupervisor::curlEgressProbe(port, url, limit);
        },
        &XraySidecarSupervisor::lsofListenerVerifier, [] { return guardianPath(); }, nullptr,
        preflight);
    sidecar->initializeManagedProfile(paths_);
    return sidecar;
  }

  XrayDurableState record() { return XrayDurableStateStore().readOnly(paths_); }

  // A start that must fail its preflight and leave no record, handle or
  // engine of ours, and no request at the echo endpoint; returns its seconds.
  double expectFailedStart(const VLESSRealityConfiguration& endpoint) {
    auto sidecar = supervisor(engine(), kShortPreflight);
    const auto before = echo_.requestCount();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(thrownDescription(Case::proxyPreflightFailed, [&] {
      sidecar->start(id_, connection_, VLESSRealityConfiguration(shareLink(endpoint)), paths_);
    }));
    const auto seconds = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_TRUE(eventually([&] { return processesNamed(mark_).empty(); }))
        << processesNamed(mark_).size() << " engine(s) left running";
    EXPECT_FALSE(sidecar->handle(id_));
    EXPECT_EQ(echo_.requestCount(), before);
    return std::chrono::duration<double>(seconds).count();
  }

  std::string mark_ = "korvelin-test-engine-" + Uuid::random().lowercaseString();
  int engines_ = 0;
  Uuid id_ = Uuid::random();
  Uuid connection_ = Uuid::random();
  ProfilePaths paths_{id_, temp_.path()};
};

// What the pinned engine says about configurations of ours that it accepts.
// Anything else it says is a change to look at: a key deprecated, renamed or
// about to be dropped.
const std::vector<std::string> kKnownComplaints = {
    "[Warning] common/errors: The feature gRPC transport (with unnecessary costs, etc.) is "
    "deprecated, not recommended for using and might be removed. Please migrate to XHTTP "
    "stream-up H2 as soon as possible.",
};

void expectOnlyKnownComplaints(const std::string& output, const std::string& configuration) {
  for (const auto& complaint : engineComplaints(output))
    EXPECT_TRUE(std::find(kKnownComplaints.begin(), kKnownComplaints.end(), complaint) !=
                kKnownComplaints.end())
        << "new complaint about " << configuration << ":\n"
        << complaint;
}

// Hand-built endpoints of each shape, for servers that are not what they
// claim and for configurations that are only checked, never dialled.
struct HandBuilt {
  VLESSRealityConfiguration tcp, grpcTLS, grpcReality;
};
HandBuilt handBuilt(const std::string& publicKey) {
  HandBuilt built;
  auto& tcp = built.tcp;
  tcp.id = Uuid::random();
  tcp.host = "127.0.0.1";
  tcp.port = 443;
  tcp.transport = VLESSConnectionTransport::realityTCP;
  tcp.security = VLESSTransportSecurity::reality;
  tcp.serverName = "reality.korvelin.test";
  tcp.publicKey = publicKey;
  tcp.fingerprint = "chrome";
  built.grpcTLS = tcp;
  built.grpcTLS.transport = VLESSConnectionTransport::grpc;
  built.grpcTLS.security = VLESSTransportSecurity::tls;
  built.grpcTLS.publicKey.reset();
  built.grpcTLS.serviceName = "korvelin.Tunnel";
  built.grpcReality = built.grpcTLS;
  built.grpcReality.security = VLESSTransportSecurity::reality;
  built.grpcReality.publicKey = publicKey;
  return built;
}

TEST_F(RealSidecarTest, EveryShapeServesAProfileThroughTheGuardedSidecar) {
  struct Row {
    const char* name;
    VlessShape shape;
    XrayServerOptions server;
    std::optional<std::string> spiderX;
  };
  const std::vector<Row> rows = {
      {"tcp-reality", VlessShape::realityTCP, {}, std::nullopt},
      // Every REALITY optional at once: an empty short id, a spider path
      // and the post-quantum signature of the handshake.
      {"tcp-reality-optionals",
       VlessShape::realityTCP,
       {.shortID = "", .postQuantumSignature = true},
       "/index.html?p=64"},
      {"grpc-tls", VlessShape::grpcTLS, {}, std::nullopt},
      {"grpc-reality", VlessShape::grpcReality, {}, std::nullopt},
  };
  for (const auto& row : rows) {
    const VlessShape shape = row.shape;
    SCOPED_TRACE(row.name);
    XrayServer server(xray_, directory(row.name), shape, row.server);
    VLESSRealityConfiguration endpoint = server.endpoint();
    endpoint.spiderX = row.spiderX;
    SCOPED_TRACE(shareLink(endpoint));
    const VLESSRealityConfiguration configuration(shareLink(endpoint));
    // The sidecar builds the engine's configuration itself; only the copy
    // the engine of this test reads trusts the server's own certificate.
    auto sidecar =
        supervisor(engine(shape == VlessShape::grpcTLS ? server.certificatePath() : "-"));

    const auto handle = sidecar->start(id_, connection_, configuration, paths_);
    ASSERT_TRUE(handle.processIdentity);
    EXPECT_EQ(handle.localProxy().uri(),
              "socks5://127.0.0.1:" + std::to_string(handle.loopbackPort));
    const auto active = record();
    ASSERT_EQ(active.status, XrayDurableState::Status::active);
    ASSERT_TRUE(active.guardianPID && active.socketPath && active.capability &&
                active.guardianIdentity);
    EXPECT_EQ(active.generation, handle.generation);
    EXPECT_EQ(active.loopbackPort, handle.loopbackPort);
    EXPECT_EQ(active.protocolVersion, 2);
    EXPECT_FALSE(active.childPID);
    EXPECT_TRUE(exists(*active.socketPath));
    EXPECT_EQ(sidecar->continuityWarning(id_), XraySidecarSupervisor::kContinuityWarning);
    EXPECT_EQ(errorCaseOf([&] { sidecar->start(id_, connection_, configuration, paths_); }),
              Case::alreadyRunning);
    sidecar->stop(id_, Uuid::random());  // a stale generation changes nothing
    EXPECT_EQ(sidecar->handle(id_), handle);
    EXPECT_EQ(processesNamed(mark_), std::vector<int>{handle.processID});
    // The probe already crossed the hop: the echo endpoint saw the server's
    // egress address.
    const auto health = sidecar->runtimeHealth(id_, 3600);
    ASSERT_TRUE(health && health->isAvailable());
    EXPECT_EQ(health->externalIP, XrayServer::kEgressAddress);

    // A profile's route probe through the handed-out port sees the same.
    const auto before = echo_.requestCount();
    ProfileNetworkRouteProbe probe;
    probe.echoURL = echo_.url();
    EXPECT_EQ(probe.probe(ProfileProxyConfiguration::fromURI("socks5://127.0.0.1:" +
                                                             std::to_string(handle.loopbackPort))),
              XrayServer::kEgressAddress)
        << server.output();
    EXPECT_EQ(echo_.requestCount(), before + 1);
    EXPECT_TRUE(eventually([&] {
      const auto log = server.accessLog();
      return log.find("accepted tcp:127.0.0.1:" + std::to_string(echo_.port())) !=
                 std::string::npos &&
             log.find(std::string("email: ") + XrayServer::kUserEmail) != std::string::npos;
    })) << server.accessLog();

    sidecar->stop(id_, handle.generation);
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_TRUE(processHasExited(*active.guardianPID));
    EXPECT_TRUE(eventually([&] { return processesNamed(mark_).empty(); }));
    EXPECT_FALSE(exists(*active.socketPath));
    EXPECT_FALSE(sidecar->hasDurableSidecar(id_, paths_));
  }
  // Without a proxy the same probe takes the system route.
  ProfileNetworkRouteProbe direct;
  direct.echoURL = echo_.url();
  EXPECT_EQ(direct.probeDirect(), "127.0.0.1");
}

TEST_F(RealSidecarTest, WrongCredentialsAndMisbehavingServersFailThePreflight) {
  for (const VlessShape shape : {VlessShape::realityTCP, VlessShape::grpcReality}) {
    for (const bool wrongPublicKey : {true, false}) {  // else a wrong short id
      XrayServer server(
          xray_, directory(std::to_string(int(shape)) + "-" + (wrongPublicKey ? "pbk" : "sid")),
          shape);
      VLESSRealityConfiguration endpoint = server.endpoint();
      if (wrongPublicKey)
        endpoint.publicKey = generateX25519KeyPair(xray_).publicKey;
      else
        endpoint.shortID = "0123456789abcdef";
      SCOPED_TRACE(shareLink(endpoint));
      expectFailedStart(endpoint);
      EXPECT_EQ(server.accessLog().find("email: "), std::string::npos) << server.accessLog();
    }
  }
  const HandBuilt built = handBuilt(generateX25519KeyPair(xray_).publicKey);
  VLESSRealityConfiguration reality = built.tcp;
  reality.shortID = "6ba85179e30d4fc2";
  for (const Misbehavior misbehavior :
       {Misbehavior::garbage, Misbehavior::reset, Misbehavior::stall}) {
    for (const auto& shape : {reality, built.grpcTLS}) {
      MisbehavingServer server(misbehavior);
      VLESSRealityConfiguration endpoint = shape;
      endpoint.port = server.port();
      SCOPED_TRACE(misbehaviorName(misbehavior) + ": " + shareLink(endpoint));
      const double seconds = expectFailedStart(endpoint);
      // Not a measure of speed: a start that hangs on such a server is the
      // fault, and a minute is far beyond any honest end of the preflight
      // and its last probe.
      EXPECT_LT(seconds, 60.0);
      RecordProperty(
          misbehaviorName(misbehavior) + "-" + std::string(rawValue(shape.transport)) + "-seconds",
          std::to_string(seconds));
      EXPECT_GT(server.acceptedCount(), 0) << "the engine never dialled the server";
    }
  }
}

// Every variant of the configuration we generate, as `xray run -test` judges
// it. Accepted ones must draw no complaint beyond the known ones, so that a
// new engine release that deprecates or drops a key we write shows up here.
// The refused rows are links our rules let through whose key lengths the
// engine does not take.
TEST_F(RealSidecarTest, EngineJudgesEveryGeneratedConfiguration) {
  const std::string publicKey = generateX25519KeyPair(xray_).publicKey;
  const std::string verify = generateMldsa65KeyPair(xray_).verify;

  // -test only builds the configuration: the host is never dialled.
  const auto [tcp, grpcTLS, grpcReality] = handBuilt(publicKey);
  struct Case {
    const char* name;
    VLESSRealityConfiguration endpoint;
    std::function<void(VLESSRealityConfiguration&)> change;
    const char* refusal = nullptr;  // what the engine says, when it refuses
  };
  const std::vector<Case> cases = {
      {"tcp minimal", tcp, [](auto&) {}},
      {"tcp empty short id, firefox", tcp,
       [](auto& l) {
         l.shortID = "";
         l.fingerprint = "firefox";
       }},
      {"tcp all optionals, safari", tcp,
       [&](auto& l) {
         l.shortID = "0123456789abcdef";
         l.spiderX = "/search?q=%20&p=1-2";
         l.mldsa65Verify = verify;
         l.fingerprint = "safari";
       }},
      {"tcp IPv6 host, ios", tcp,
       [](auto& l) {
         l.host = "::1";
         l.fingerprint = "ios";
       }},
      {"tcp host name, port 1, android", tcp,
       [](auto& l) {
         l.host = "proxy.korvelin.test";
         l.port = 1;
         l.fingerprint = "android";
       }},
      {"grpc tls minimal, port 65535", grpcTLS, [](auto& l) { l.port = 65535; }},
      {"grpc tls authority and alpn, edge", grpcTLS,
       [](auto& l) {
         l.authority = "cdn.korvelin.test";
         l.alpn = "h2";
         l.fingerprint = "edge";
       }},
      {"grpc reality minimal, random", grpcReality, [](auto& l) { l.fingerprint = "random"; }},
      {"grpc reality all optionals, randomized", grpcReality,
       [&](auto& l) {
         l.shortID = "ab";
         l.spiderX = "/";
         l.mldsa65Verify = verify;
         l.alpn = "h2";
         l.authority = "cdn.korvelin.test";
         l.fingerprint = "randomized";
       }},
      {"public key of 32 characters", tcp, [](auto& l) { l.publicKey = std::string(32, 'A'); },
       "invalid \"password\""},
      {"public key of 64 characters", tcp, [](auto& l) { l.publicKey = std::string(64, 'A'); },
       "invalid \"password\""},
      {"post-quantum key of 64 characters", tcp,
       [](auto& l) { l.mldsa65Verify = std::string(64, 'A'); }, "invalid \"mldsa65Verify\""},
  };
  for (const auto& c : cases) {
    VLESSRealityConfiguration endpoint = c.endpoint;
    c.change(endpoint);
    const std::string link = shareLink(endpoint);
    SCOPED_TRACE(std::string(c.name) + ": " + link);
    const std::string configuration = VLESSRealityConfiguration(link).xrayJSON(10808);
    const auto result = testConfiguration(xray_, configuration);
    if (c.refusal) {
      EXPECT_NE(result.exitCode, 0);
      EXPECT_NE((result.output + result.errors).find(c.refusal), std::string::npos)
          << result.output << result.errors;
      continue;
    }
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    expectOnlyKnownComplaints(result.output + result.errors, configuration);
  }
}

}  // namespace
}  // namespace korvelin::testing
