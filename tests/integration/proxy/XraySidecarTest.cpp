// The guarded sidecar, first with a stand-in engine (a SOCKS server without
// the VLESS hop) for its own rules: health, failed starts, crashes of the
// host, of the guardian and of the application.
//
// Then the real engine as a peer, run the product's way: a pasted link of each
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
//
// Last, a host crashes while its profile's application runs attached to a guarded
// sidecar of the real guardian and the real engine; the restarted host must
// prove, from the outside and without changing anything, whether that
// application's route still runs through its own sidecar. A sidecar recorded
// by an earlier core (no protocol version) has a guardian that cannot be
// asked: its route is proved from the processes alone.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/activity/ProfileRuntimeObserver.h"
#include "core/base/CoreError.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/process/ProcessSupervisor.h"
#include "core/profile/ProfileDiagnostics.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/GuardianHarness.h"
#include "tests/support/MisbehavingServer.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

namespace fs = std::filesystem;
using Status = RestoredProxyStatus;

using Case = KorvelinCoreError::Case;
using ::testing::AllOf;
using ::testing::AnyOfArray;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Value;

constexpr const char* kLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&security=reality"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&sni=www.example.com"
    "&fp=chrome&flow=xtls-rprx-vision#sample";
// Short, so that the failing starts stay quick; readiness on loopback takes
// well under a second.
constexpr double kShortPreflight = 3.0;

bool alive(std::int32_t pid) {
  return !processHasExited(pid);
}

class XraySidecarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ::chmod(dir_.path().c_str(), 0700);
    ProfilePreparer(dir_.path()).prepare(paths_);
  }

  // A supervisor whose engine is the stand-in and whose probe asks the
  // loopback echo server through the sidecar's port; every part can be
  // replaced.
  std::unique_ptr<XraySidecarSupervisor> supervisor(
      std::string engine = testProgramPath("standin-xray"),
      XraySidecarSupervisor::EgressProbe probe = nullptr,
      double preflight = XraySidecarSupervisor::kPreflightTimeout,
      std::string guardian = guardianPath()) {
    if (!probe)
      probe = [this](std::uint16_t port, double limit) {
        ++probes_;
        return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
      };
    auto s = std::make_unique<XraySidecarSupervisor>(
        [engine] { return XraySidecarSupervisor::validateBinary(engine); }, probe,
        &XraySidecarSupervisor::lsofListenerVerifier, [guardian] { return guardian; }, nullptr,
        preflight);
    s->initializeManagedProfile(paths_);
    return s;
  }

  XrayDurableState record() { return XrayDurableStateStore().readOnly(paths_); }

  // Starts a sidecar of `engine` for this profile (and, attached, an
  // application) in another process, then kills that host the way a crash
  // would.
  nlohmann::json crashHost(const std::string& engine, bool attach, const std::string& link = "") {
    std::vector<std::string> argv = {testProgramPath("sidecar-host"),
                                     dir_.path(),
                                     id_.uppercaseString(),
                                     engine,
                                     guardianPath(),
                                     testProgramPath("idle-app"),
                                     echo_.url(),
                                     attach ? "attach" : "plain"};
    if (!link.empty())
      argv.push_back(link);
    Subprocess host(argv);
    if (!host.waitForOutput("\n", std::chrono::seconds(30)))
      return nullptr;
    auto line = nlohmann::json::parse(host.output());
    host.signal(SIGKILL);
    host.wait();
    return line;
  }

  ScopedTempDir dir_;
  Uuid id_ = Uuid::random();
  Uuid connection_ = Uuid::random();
  ProfilePaths paths_{id_, dir_.path()};
  VLESSRealityConfiguration configuration_{kLink};
  demo::LoopbackEchoServer echo_;
  // A profile's route probe, asking the echo endpoint.
  const ProfileNetworkRouteProbe route_{.echoURL = echo_.url()};
  std::atomic<int> probes_{0};
};

TEST_F(XraySidecarTest, HealthIsProbedAtMostOncePerInterval) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const int afterStart = probes_;
  auto first = sidecar->runtimeHealth(id_, 0);
  ASSERT_TRUE(first && first->isAvailable());
  EXPECT_EQ(probes_, afterStart + 1);
  auto second = sidecar->runtimeHealth(id_, 3600);
  EXPECT_EQ(second, first);
  EXPECT_EQ(probes_, afterStart + 1);
  EXPECT_EQ(sidecar->assertHealthy(id_, 3600), first->externalIP);

  ::kill(handle.processID, SIGKILL);  // the engine dies under the guardian
  EXPECT_TRUE(eventually([&] { return sidecar->runtimeHealth(id_, 3600)->isRecoveryRequired(); }));
  EXPECT_EQ(errorCaseOf([&] { sidecar->assertHealthy(id_, 0); }), Case::proxyDisconnected);
  sidecar->stop(id_, std::nullopt);
}

TEST_F(XraySidecarTest, FailedStartsStopTheGuardianAndClearTheRecord) {
  const auto answering = [](std::string text) {
    return [text](std::uint16_t, double) { return text; };
  };
  // A guardian whose ready line is not what the engine's pid should be.
  const auto saying = [&](const std::string& name, const std::string& line) {
    makeFile(dir_.child(name), 0700, "#!/bin/sh\necho '" + line + "'\nexec /bin/cat >/dev/null\n");
    return dir_.child(name);
  };
  const std::string standin = testProgramPath("standin-xray");
  const std::string silent = testProgramPath("engine-probe");
  const std::vector<
      std::tuple<const char*, std::string, XraySidecarSupervisor::EgressProbe, std::string>>
      rows = {
          {"ready line names pid 1", standin, nullptr, saying("ready-1", "READY 1")},
          {"ready line is not a number", standin, nullptr, saying("ready-text", "READY engine")},
          {"engine never listens", silent, nullptr, guardianPath()},
          {"probe answers a host name", standin, answering("example.com"), guardianPath()},
          {"probe answers a page", standin, answering("<html>hi</html>"), guardianPath()},
      };
  for (const auto& [name, engine, probe, guardian] : rows) {
    SCOPED_TRACE(name);
    auto sidecar = supervisor(engine, probe, 1.5, guardian);
    EXPECT_EQ(errorCaseOf([&] { sidecar->start(id_, connection_, configuration_, paths_); }),
              Case::proxyPreflightFailed);
    EXPECT_EQ(record().status, XrayDurableState::Status::empty);
    EXPECT_FALSE(sidecar->handle(id_));
  }
}

// After a host crash: an unattached sidecar ends with its host, an attached
// one keeps serving the application until the application ends, or until
// recovery stops it; the record outlives them all until recovery clears it.
TEST_F(XraySidecarTest, AfterTheHostCrashedTheSidecarLivesAsLongAsItsApplication) {
  enum class End { withHost, withApplication, byRecovery };
  for (const End end : {End::withHost, End::withApplication, End::byRecovery}) {
    SCOPED_TRACE(static_cast<int>(end));
    const bool attached = end != End::withHost;
    id_ = Uuid::random();  // a profile of its own: a killed application leaves its launch lease
    paths_ = ProfilePaths(id_, dir_.path());
    const auto host = crashHost(testProgramPath("standin-xray"), attached);
    ASSERT_FALSE(host.is_null());
    const std::int32_t engine = host["engine"];
    const auto guardian = record().guardianPID;
    ASSERT_TRUE(guardian);
    const auto ended = [&] { return !alive(engine) && !alive(*guardian); };
    if (attached) {
      ::usleep(300'000);
      EXPECT_TRUE(alive(engine) && alive(*guardian));
      EXPECT_EQ(route_.probe(ProfileProxyConfiguration::fromURI(
                    "socks5://127.0.0.1:" + std::to_string(host["port"].get<int>()))),
                "127.0.0.1")
          << "the engine keeps serving the application";
    }
    if (end == End::withApplication)
      ::kill(-host["app"].get<int>(), SIGKILL);
    if (end != End::byRecovery) {
      EXPECT_TRUE(eventually(ended));
    }
    auto restarted = supervisor();
    EXPECT_TRUE(restarted->hasDurableSidecar(id_, paths_)) << "the record outlived its host";
    restarted->recover(id_, paths_);
    EXPECT_FALSE(restarted->hasDurableSidecar(id_, paths_));
    EXPECT_TRUE(eventually(ended));
    if (attached)
      ::kill(-host["app"].get<int>(), SIGKILL);
  }
}

// The application's end also ends an attached guardian, often before the
// host gets round to stopping the sidecar: that stop finds no one to answer
// and must still leave the record empty.
TEST_F(XraySidecarTest, StopAfterTheAttachedApplicationEndedClearsTheRecord) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const auto guardian = record().guardianPID;
  ASSERT_TRUE(guardian);
  ProcessSupervisor applications;
  const auto run = applications.start(
      id_,
      {"/bin/sh",
       {"-c", "while :; do sleep 1; done", "application", "--user-data-dir=" + paths_.userData()},
       {},
       paths_,
       std::nullopt},
      nullptr, nullptr);
  sidecar->attach(id_, run);
  applications.stop(id_, paths_, 10);
  ASSERT_TRUE(eventually([&] { return !alive(*guardian) && !alive(handle.processID); }));

  sidecar->stopAndWait(id_, handle.generation, paths_);
  EXPECT_EQ(record().status, XrayDurableState::Status::empty);
}

// A guardian killed outright answers no STOP and leaves its engine behind:
// the stop ends that engine, and the record stays for recovery to clear.
TEST_F(XraySidecarTest, StopAfterTheGuardianWasKilledEndsTheEngineAndKeepsTheRecord) {
  auto sidecar = supervisor();
  const auto handle = sidecar->start(id_, connection_, configuration_, paths_);
  const auto guardian = record().guardianPID;
  ASSERT_TRUE(guardian);
  EXPECT_EQ(::getsid(*guardian), *guardian) << "out of reach of the host's terminal";
  ::kill(*guardian, SIGKILL);
  EXPECT_EQ(errorCaseOf([&] { sidecar->stopAndWait(id_, handle.generation, paths_); }),
            Case::profileRecoveryRequired);
  EXPECT_EQ(record().status, XrayDurableState::Status::active);
  EXPECT_TRUE(eventually([&] { return !alive(handle.processID); }));
  sidecar->recover(id_, paths_);
  EXPECT_FALSE(sidecar->hasDurableSidecar(id_, paths_));
}

TEST_F(XraySidecarTest, DirectModeKeepsNoRecordAndWarnsOfNothing) {
  auto direct = std::make_unique<XraySidecarSupervisor>(
      [] { return testProgramPath("standin-xray"); },
      [this](std::uint16_t port, double limit) {
        return XraySidecarSupervisor::curlEgressProbe(port, echo_.url(), limit);
      },
      &XraySidecarSupervisor::lsofListenerVerifier, nullptr);
  const auto handle = direct->start(id_, connection_, configuration_);
  EXPECT_FALSE(direct->continuityWarning(id_));
  EXPECT_TRUE(alive(handle.processID));
  direct->stop(id_, std::nullopt);
  EXPECT_FALSE(alive(handle.processID));
  EXPECT_FALSE(exists(paths_.root() + "/.xray-state"));
}

TEST_F(XraySidecarTest, BinaryChecksAndPathsOfAnotherProfile) {
  makeFile(dir_.child("engine"), 0777);
  makeSymlink("/bin/true", dir_.child("link"));
  for (const std::string& path :
       {dir_.child("engine"), dir_.child("link"), dir_.child("missing"), dir_.path()})
    EXPECT_EQ(errorCaseOf([&] { XraySidecarSupervisor::validateBinary(path); }),
              Case::xrayUnavailable)
        << path;
  auto sidecar = supervisor();
  EXPECT_EQ(
      errorCaseOf([&] { sidecar->start(Uuid::random(), connection_, configuration_, paths_); }),
      Case::profileIdentifierMismatch);
  EXPECT_TRUE(sidecar->hasDurableSidecar(Uuid::random(), paths_));
}

// The real engine, skipped, naming the reason, when scripts/bootstrap could
// not build it.
class RealSidecarTest : public XraySidecarTest {
 protected:
  void SetUp() override {
    std::string reason;
    const auto path = realXrayPath(reason);
    if (!path)
      GTEST_SKIP() << "real Xray unavailable: " << reason;
    xray_ = *path;
    XraySidecarTest::SetUp();
  }

  void TearDown() override {
    for (int pid : engines())
      ::kill(pid, SIGKILL);
  }

  // A new directory of that name in the temporary one.
  std::string directory(const std::string& name) {
    fs::create_directory(dir_.child(name));
    return dir_.child(name);
  }

  // The engine the supervisor is handed: a script that starts the real one
  // under this test's mark, trusting `certificate` when there is one (a test
  // server's certificate is self-signed) by adding it to the outbound's TLS
  // settings of this copy of the configuration alone.
  std::string engine(const std::string& certificate = "") {
    const std::string script = dir_.child("engine-" + std::to_string(++engines_));
    const std::string trust = R"(s|"tlsSettings":{|&"certificates":[{"certificateFile":")" +
                              certificate + R"(","usage":"verify"}],|)";
    std::ofstream(script) << "#!/bin/bash\nexec -a " << mark_ << " '" << xray_ << "' \"$@\""
                          << (certificate.empty() ? "" : " < <(/bin/sed '" + trust + "')") << "\n";
    ::chmod(script.c_str(), 0700);
    return script;
  }

  std::vector<pid_t> engines() const { return processesMentioning(mark_); }

  // A start that must fail its preflight and leave no record, handle or
  // engine of ours, and no request at the echo endpoint; returns its seconds.
  double expectFailedStart(const std::string& link) {
    auto sidecar = supervisor(engine(), nullptr, kShortPreflight);
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

  std::string xray_;
  std::string mark_ = "korvelin-test-engine-" + Uuid::random().lowercaseString();
  int engines_ = 0;
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
    EXPECT_EQ(route_.probe(ProfileProxyConfiguration::fromURI(handle.localProxy().uri())),
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
  EXPECT_EQ(route_.probeDirect(), "127.0.0.1");
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

class RestoredProxyTest : public RealSidecarTest {
 protected:
  void TearDown() override {
    if (app_ > 0)
      ::kill(-app_, SIGKILL);
    if (engine_ > 0)
      ::kill(engine_, SIGKILL);
    RealSidecarTest::TearDown();
  }

  // A crashed host whose sidecar of the real engine serves an attached
  // application.
  nlohmann::json crashHost(const std::string& link) {
    auto line = XraySidecarTest::crashHost(xray_, true, link);
    if (!line.is_null()) {
      app_ = line["app"];
      engine_ = line["engine"];
    }
    return line;
  }

  // What a restarted host sees: the run re-adopted from its lease, observed
  // by a supervisor that never started anything.
  ProfileRuntimeObservation run() const {
    return ProfileRuntimeObserver().observeWithRoute(
        paths_, fs::canonical(testProgramPath("idle-app")).string());
  }
  RestoredProxyObservation observe(const Uuid& connection) const {
    const auto found = run();
    return restarted_.observeRestoredProxyRoute(paths_, connection, found.snapshot,
                                                found.rootIdentity);
  }

  void rewrite(const std::function<void(XrayDurableState&)>& change) {
    XrayDurableStateStore().withLockedState(paths_, true,
                                            [&](const XrayDurableState& current, auto& writer) {
                                              XrayDurableState next = current;
                                              change(next);
                                              writer.write(next);
                                            });
  }

  pid_t app_ = -1, engine_ = -1;
  const XraySidecarSupervisor restarted_{nullptr, nullptr,
                                         &XraySidecarSupervisor::lsofListenerVerifier, nullptr};
};

TEST_F(RestoredProxyTest, AnswersForTheGuardianAsItIsFound) {
  XrayServer server(xray_, directory("server"), VlessShape::realityTCP);
  const auto host = crashHost(server.link());
  ASSERT_FALSE(host.is_null()) << server.output();
  const Uuid connection = host["connection"];
  const std::uint16_t port = host["port"];
  const auto record = XrayDurableStateStore().readOnly(paths_);
  ASSERT_TRUE(record.guardianPID && record.generation);
  const pid_t guardian = *record.guardianPID;

  const auto available = observe(connection);
  EXPECT_EQ(available.status, Status::available);
  EXPECT_EQ(available.usageRoute,
            ProfileUsageRoute::proxy({ProfileProxyScheme::socks5, "127.0.0.1", port},
                                     *record.generation));
  ASSERT_TRUE(available.xrayIdentity);
  EXPECT_EQ(available.xrayIdentity->pid, engine_);
  EXPECT_FALSE(available.legacyIdentity);
  EXPECT_EQ(observe(Uuid::random()), (RestoredProxyObservation{Status::unavailable, {}, {}, {}}))
      << "another connection";

  // A stopped guardian still takes connections into its socket's backlog,
  // but answers nothing: the request runs out of time.
  ::kill(guardian, SIGSTOP);
  EXPECT_EQ(observe(connection).status, Status::unverified);
  ::kill(guardian, SIGCONT);
  EXPECT_EQ(observe(connection).status, Status::available);

  const std::vector<std::tuple<const char*, std::function<void(XrayDurableState&)>, Status>> rows =
      {
          {"the record rewritten for another connection",
           [](auto& r) { r.connectionID = Uuid::random(); }, Status::unavailable},
          {"an emptied record", [](auto& r) { r = XrayDurableState::emptyRecord(r.profileID); },
           Status::unavailable},
          {"a protocol this core does not know", [](auto& r) { r.protocolVersion = 3; },
           Status::unverified},
          {"a port the engine does not listen on", [](auto& r) { ++*r.loopbackPort; },
           Status::unverified},
          {"an older sidecar, and no verified root here",
           [](auto& r) { r.protocolVersion.reset(); }, Status::unverified},
      };
  for (const auto& [name, change, expected] : rows) {
    rewrite(change);
    EXPECT_EQ(restarted_.observeRestoredProxy(paths_, connection, run().snapshot), expected)
        << name;
    rewrite([&](auto& r) { r = record; });
  }
  EXPECT_EQ(observe(connection).status, Status::available);

  ::kill(guardian, SIGKILL);
  ASSERT_TRUE(eventually([&] { return processHasExited(guardian); }));
  EXPECT_EQ(observe(connection).status, Status::unavailable);
}

// The guardian and the real engine run from an application bundle laid out as
// installed, in a private directory in the home directory (unlike /tmp,
// nothing above it is writable by others), serving an application started
// under supervision.
TEST_F(RestoredProxyTest, AnOlderSidecarIsProvedFromTheOutside) {
  ScopedTempDir installed(std::string(std::getenv("HOME")) + "/.cache");
  const fs::path base = installed.path();
  const fs::path resources = base / "Korvelin.app" / "Contents" / "Resources";
  fs::create_directories(resources);
  for (fs::path at = resources; at != base; at = at.parent_path())
    ::chmod(at.c_str(), 0755);
  fs::copy_file(guardianPath(), resources / "korvelin-xray-guardian");
  fs::copy_file(xray_, resources / "xray");
  const std::string bundle = fs::canonical(resources).string();
  const Uuid connection = Uuid::random(), generation = Uuid::random();

  const std::uint16_t port = unusedLoopbackPort();
  const std::string socketPath = guardianSocketPath(generation), capability = randomCapability();
  Subprocess guardian(
      {bundle + "/korvelin-xray-guardian", "--xray", bundle + "/xray", "--socket", socketPath},
      {.keepStdinOpen = true});
  guardian.writeStdin(Activation{capability, engineConfiguration(port), generation}.encode() +
                      "\n");
  ASSERT_TRUE(guardian.waitForOutput("\n", std::chrono::seconds(10))) << guardian.errors();
  ASSERT_TRUE(eventually([&] {
    return XraySidecarSupervisor::lsofListenerVerifier(
        *parseReadyLine(guardian.output().substr(0, guardian.output().find('\n'))), port);
  }));

  XrayDurableState record;
  record.status = XrayDurableState::Status::active;
  record.profileID = id_;
  record.connectionID = connection;
  record.generation = generation;
  record.guardianPID = guardian.pid();
  record.loopbackPort = port;
  record.socketPath = socketPath;
  record.capability = capability;
  rewrite([&](auto& r) { r = record; });

  ProcessSupervisor applications;
  applications.start(id_,
                     {testProgramPath("idle-app"),
                      {"--user-data-dir=" + paths_.userData(),
                       "--proxy-server=socks5://127.0.0.1:" + std::to_string(port)},
                      {},
                      paths_,
                      std::nullopt},
                     nullptr, nullptr);
  const auto observed = observe(connection);
  EXPECT_EQ(observed.status, Status::available);
  EXPECT_EQ(observed.usageRoute,
            ProfileUsageRoute::proxy({ProfileProxyScheme::socks5, "127.0.0.1", port}, generation));
  ASSERT_TRUE(observed.legacyIdentity);
  EXPECT_EQ(observed.legacyIdentity->guardian.pid, guardian.pid());
  EXPECT_EQ(observed.legacyIdentity->child.executable, bundle + "/xray");
  EXPECT_EQ(observed.xrayIdentity, observed.legacyIdentity->child);

  // Executables a group may replace are not the installed ones.
  ::chmod(bundle.c_str(), 0775);
  EXPECT_EQ(observe(connection).status, Status::unverified);
  ::chmod(bundle.c_str(), 0755);

  applications.stop(id_, paths_, 10);
  guardian.closeStdin();
}

}  // namespace
}  // namespace korvelin::testing
