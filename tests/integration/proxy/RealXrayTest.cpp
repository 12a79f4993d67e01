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
// Every engine these tests start runs under a name of the test's own, so that
// "no engine left" is checked against the process table without mistaking the
// peers' own engines for ours.

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base/CoreError.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/MisbehavingServer.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

using Case = KorvelinCoreError::Case;
using ::testing::AllOf;
using ::testing::AnyOfArray;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Value;

// Short, so that the failing starts stay quick; readiness on loopback takes
// well under a second.
constexpr double kShortPreflight = 3.0;

class RealSidecarTest : public RealXrayTest {
 protected:
  void SetUp() override {
    RealXrayTest::SetUp();
    if (IsSkipped())
      return;
    ProfilePreparer(temp_.path()).prepare(paths_);
  }

  void TearDown() override {
    for (int pid : engines())
      ::kill(pid, SIGKILL);
  }

  // The engine the supervisor is handed: a script that starts the real one
  // under this test's mark, trusting `certificate` when there is one (a test
  // server's certificate is self-signed) by adding it to the outbound's TLS
  // settings of this copy of the configuration alone.
  std::string engine(const std::string& certificate = "") {
    const std::string script = temp_.child("engine-" + std::to_string(++engines_));
    const std::string trust = R"(s|"tlsSettings":{|&"certificates":[{"certificateFile":")" +
                              certificate + R"(","usage":"verify"}],|)";
    std::ofstream(script) << "#!/bin/bash\nexec -a " << mark_ << " '" << xray_ << "' \"$@\""
                          << (certificate.empty() ? "" : " < <(/bin/sed '" + trust + "')") << "\n";
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
  std::vector<pid_t> engines() const { return processesMentioning(mark_); }

  // A start that must fail its preflight and leave no record, handle or
  // engine of ours, and no request at the echo endpoint; returns its seconds.
  double expectFailedStart(const std::string& link) {
    auto sidecar = supervisor(engine(), kShortPreflight);
    const auto before = echo_.requestCount();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(thrownDescription(Case::proxyPreflightFailed, [&] {
      sidecar->start(id_, connection_, VLESSRealityConfiguration(link), paths_);
    }));
    const auto seconds = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_TRUE(eventually([&] { return engines().empty(); }))
        << engines().size() << " engine(s) left running";
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
const std::vector<std::string> kKnownComplaints = {
    "[Warning] common/errors: The feature gRPC transport (with unnecessary costs, etc.) is "
    "deprecated, not recommended for using and might be removed. Please migrate to XHTTP "
    "stream-up H2 as soon as possible.",
};

// Links of each shape to 127.0.0.1 unless told otherwise, for servers that are
// not what they claim and for configurations that are only checked, never
// dialled. The fingerprint and optionals follow.
struct Links {
  std::string id = Uuid::random().lowercaseString();
  std::string key;
  std::string tcp = "type=tcp&flow=xtls-rprx-vision&security=reality&sni=reality.korvelin.test";
  std::string grpcTLS =
      "type=grpc&security=tls&sni=reality.korvelin.test&serviceName=korvelin.Tunnel";
  std::string grpcReality =
      "type=grpc&security=reality&sni=reality.korvelin.test&serviceName=korvelin.Tunnel&pbk=" + key;
  std::string operator()(const std::string& query,
                         const std::string& address = "127.0.0.1:443") const {
    return "vless://" + id + "@" + address + "?" + query;
  }
};

// Against the REALITY servers, starts with a wrong public key and a wrong
// short id come first: they must fail and leave no trace of the user at the
// server.
TEST_F(RealSidecarTest, EveryShapeServesAProfileAndRefusesWrongCredentials) {
  struct Row {
    const char* name;
    VlessShape shape;
    XrayServerOptions server;
    std::optional<std::string> spiderX;
    bool wrongCredentials = false;
  };
  const std::vector<Row> rows = {
      {"tcp-reality", VlessShape::realityTCP, {}, std::nullopt, true},
      // Every REALITY optional at once: an empty short id, a spider path
      // and the post-quantum signature of the handshake.
      {"tcp-reality-optionals",
       VlessShape::realityTCP,
       {.shortID = "", .postQuantumSignature = true},
       "/index.html?p=64"},
      {"grpc-tls", VlessShape::grpcTLS, {}, std::nullopt},
      {"grpc-reality", VlessShape::grpcReality, {}, std::nullopt, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    XrayServer server(xray_, directory(row.name), row.shape, row.server);
    VLESSRealityConfiguration endpoint = server.endpoint();
    endpoint.spiderX = row.spiderX;
    if (row.wrongCredentials) {
      VLESSRealityConfiguration wrongKey = endpoint, wrongShortID = endpoint;
      wrongKey.publicKey = generateX25519KeyPair(xray_).publicKey;
      wrongShortID.shortID = "0123456789abcdef";
      for (const auto& wrong : {wrongKey, wrongShortID}) {
        SCOPED_TRACE(shareLink(wrong));
        expectFailedStart(shareLink(wrong));
      }
      EXPECT_THAT(server.accessLog(), Not(HasSubstr("email: ")));
    }
    SCOPED_TRACE(shareLink(endpoint));
    const VLESSRealityConfiguration configuration(shareLink(endpoint));
    // The sidecar builds the engine's configuration itself; only the copy
    // the engine of this test reads trusts the server's own certificate.
    auto sidecar =
        supervisor(engine(row.shape == VlessShape::grpcTLS ? server.certificatePath() : ""));

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
    EXPECT_EQ(engines(), std::vector<int>{handle.processID});
    // The probe already crossed the hop: the echo endpoint saw the server's
    // egress address.
    const auto health = sidecar->runtimeHealth(id_, 3600);
    ASSERT_TRUE(health && health->isAvailable());
    EXPECT_EQ(health->externalIP, XrayServer::kEgressAddress);

    // A profile's route probe through the handed-out port sees the same.
    const auto before = echo_.requestCount();
    ProfileNetworkRouteProbe probe;
    probe.echoURL = echo_.url();
    EXPECT_EQ(probe.probe(ProfileProxyConfiguration::fromURI(handle.localProxy().uri())),
              XrayServer::kEgressAddress)
        << server.output();
    EXPECT_EQ(echo_.requestCount(), before + 1);
    const auto accepted = AllOf(HasSubstr("accepted tcp:127.0.0.1:" + std::to_string(echo_.port())),
                                HasSubstr(std::string("email: ") + XrayServer::kUserEmail));
    EXPECT_TRUE(eventually([&] { return Value(server.accessLog(), accepted); }))
        << server.accessLog();

    sidecar->stop(id_, handle.generation);
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_TRUE(processHasExited(*active.guardianPID));
    EXPECT_TRUE(eventually([&] { return engines().empty(); }));
    EXPECT_FALSE(exists(*active.socketPath));
    EXPECT_FALSE(sidecar->hasDurableSidecar(id_, paths_));
  }
  // Without a proxy the same probe takes the system route.
  ProfileNetworkRouteProbe direct;
  direct.echoURL = echo_.url();
  EXPECT_EQ(direct.probeDirect(), "127.0.0.1");
}

TEST_F(RealSidecarTest, MisbehavingServersFailThePreflight) {
  const Links links{.key = generateX25519KeyPair(xray_).publicKey};
  for (const Misbehavior misbehavior :
       {Misbehavior::garbage, Misbehavior::reset, Misbehavior::stall}) {
    for (const auto& [shape, query] :
         {std::pair{"tcp", links.tcp + "&fp=chrome&sid=6ba85179e30d4fc2&pbk=" + links.key},
          std::pair{"grpc", links.grpcTLS + "&fp=chrome"}}) {
      MisbehavingServer server(misbehavior);
      const std::string link = links(query, "127.0.0.1:" + std::to_string(server.port()));
      SCOPED_TRACE(misbehaviorName(misbehavior) + ": " + link);
      const double seconds = expectFailedStart(link);
      // Not a measure of speed: a start that hangs on such a server is the
      // fault, and a minute is far beyond any honest end of the preflight
      // and its last probe.
      EXPECT_LT(seconds, 60.0);
      RecordProperty(misbehaviorName(misbehavior) + "-" + shape + "-seconds",
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
  const std::string verify = generateMldsa65KeyPair(xray_).verify;
  // -test only builds the configuration: the host is never dialled.
  const Links links{.key = generateX25519KeyPair(xray_).publicKey};
  const std::string tcp = links.tcp + "&pbk=" + links.key;
  const std::string invalidKey = "invalid \"password\"";
  const std::vector<std::tuple<const char*, std::string, const char*>> cases = {
      {"tcp minimal", links(tcp + "&fp=chrome"), nullptr},
      {"tcp empty short id, firefox", links(tcp + "&fp=firefox&sid="), nullptr},
      {"tcp all optionals, safari",
       links(tcp +
             "&fp=safari&sid=0123456789abcdef&spx=%2Fsearch%3Fq%3D%2520%26p%3D1-2&pqv=" + verify),
       nullptr},
      {"tcp IPv6 host, ios", links(tcp + "&fp=ios", "[::1]:443"), nullptr},
      {"tcp host name, port 1, android", links(tcp + "&fp=android", "proxy.korvelin.test:1"),
       nullptr},
      {"grpc tls minimal, port 65535", links(links.grpcTLS + "&fp=chrome", "127.0.0.1:65535"),
       nullptr},
      {"grpc tls authority and alpn, edge",
       links(links.grpcTLS + "&fp=edge&authority=cdn.korvelin.test&alpn=h2"), nullptr},
      {"grpc reality minimal, random", links(links.grpcReality + "&fp=random"), nullptr},
      {"grpc reality all optionals, randomized",
       links(links.grpcReality +
             "&fp=randomized&sid=ab&spx=%2F&alpn=h2&authority=cdn.korvelin.test&pqv=" + verify),
       nullptr},
      {"public key of 32 characters", links(links.tcp + "&fp=chrome&pbk=" + std::string(32, 'A')),
       invalidKey.c_str()},
      {"public key of 64 characters", links(links.tcp + "&fp=chrome&pbk=" + std::string(64, 'A')),
       invalidKey.c_str()},
      {"post-quantum key of 64 characters", links(tcp + "&fp=chrome&pqv=" + std::string(64, 'A')),
       "invalid \"mldsa65Verify\""},
  };
  for (const auto& [name, link, refusal] : cases) {
    SCOPED_TRACE(std::string(name) + ": " + link);
    const std::string configuration = VLESSRealityConfiguration(link).xrayJSON(10808);
    const auto result = testConfiguration(xray_, configuration);
    if (refusal) {
      EXPECT_NE(result.exitCode, 0);
      EXPECT_THAT(result.output + result.errors, HasSubstr(refusal));
      continue;
    }
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    // Anything beyond the known complaints is a change to look at: a key
    // deprecated, renamed or about to be dropped.
    EXPECT_THAT(engineComplaints(result.output + result.errors), Each(AnyOfArray(kKnownComplaints)))
        << configuration;
  }
}

}  // namespace
}  // namespace korvelin::testing
