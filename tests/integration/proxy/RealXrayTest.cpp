// The real engine as a peer: a link of each supported shape, parsed and
// turned into the configuration we hand to Xray, really carries a request
// across a VLESS hop on loopback; the engine refuses to connect with the
// wrong REALITY credentials; and it accepts every variant of the
// configuration we generate. Each test skips, naming the reason, when
// scripts/bootstrap could not build the engine.

#include <algorithm>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "core/proxy/VLESSConnection.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin::testing {
namespace {

using demo::LoopbackEchoServer;

class RealXrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    auto path = realXrayPath(reason);
    if (!path) GTEST_SKIP() << "real Xray unavailable: " << reason;
    xray_ = *path;
  }

  // A fresh directory per peer set, so that logs never mix.
  std::string directory(const std::string& name) {
    const std::string path = temp_.child(name);
    std::filesystem::create_directory(path);
    return path;
  }

  // What the product does with a pasted link: parse it and build the
  // engine's configuration for a fresh loopback port. Where the server uses
  // TLS, this copy alone also trusts the server's self-signed certificate.
  std::string clientConfigurationFor(const std::string& link, const XrayServer& server) {
    const VLESSRealityConfiguration endpoint(link);
    const std::string configuration = endpoint.xrayJSON(freeLoopbackPort());
    if (endpoint.security == VLESSTransportSecurity::tls)
      return trustCertificate(configuration, server.certificatePath());
    return configuration;
  }

  std::string xray_;
  ScopedTempDir temp_;
  LoopbackEchoServer echo_;
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
        << "new complaint about " << configuration << ":\n" << complaint;
}

bool hasVlessConnection(const std::string& accessLog, uint16_t echoPort) {
  return accessLog.find("accepted tcp:127.0.0.1:" + std::to_string(echoPort)) !=
             std::string::npos &&
         accessLog.find(std::string("email: ") + XrayServer::kUserEmail) != std::string::npos;
}

TEST_F(RealXrayTest, EverySupportedShapeCarriesARequestAcrossTheHop) {
  struct Case {
    const char* name;
    VlessShape shape;
    XrayServerOptions server;
    std::optional<std::string> spiderX;
  };
  const std::vector<Case> cases = {
      {"tcp-reality", VlessShape::realityTCP, {}, std::nullopt},
      // Every REALITY optional at once: an empty short id, a spider path
      // and the post-quantum signature of the handshake.
      {"tcp-reality-optionals", VlessShape::realityTCP,
       {.shortID = "", .postQuantumSignature = true}, "/index.html?p=64"},
      {"grpc-tls", VlessShape::grpcTLS, {}, std::nullopt},
      {"grpc-reality", VlessShape::grpcReality, {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    XrayServer server(xray_, directory(c.name), c.shape, c.server);
    VLESSRealityConfiguration endpoint = server.endpoint();
    endpoint.spiderX = c.spiderX;
    const std::string link = shareLink(endpoint);
    SCOPED_TRACE(link);
    const std::string configuration = clientConfigurationFor(link, server);
    XrayClient client(xray_, configuration, temp_.child(c.name) + "/client.log");

    const auto before = echo_.requestCount();
    const auto result = fetchThroughSocks(client.socksPort(), echo_.url());
    expectOnlyKnownComplaints(client.output(), configuration);
    EXPECT_EQ(result.exitCode, 0) << result.errors << client.output() << server.output();
    // The echo endpoint saw the server's egress address, not the client's.
    EXPECT_EQ(result.output, std::string(XrayServer::kEgressAddress) + "\n");
    EXPECT_EQ(echo_.requestCount(), before + 1);
    EXPECT_TRUE(eventually([&] { return hasVlessConnection(server.accessLog(), echo_.port()); }))
        << server.accessLog();
  }
}

TEST_F(RealXrayTest, WrongRealityCredentialsNeverReachTheEndpoint) {
  struct Case {
    const char* name;
    VlessShape shape;
    bool wrongPublicKey;  // else a wrong short id
  };
  const std::vector<Case> cases = {
      {"tcp-wrong-key", VlessShape::realityTCP, true},
      {"tcp-wrong-short-id", VlessShape::realityTCP, false},
      {"grpc-wrong-key", VlessShape::grpcReality, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    XrayServer server(xray_, directory(c.name), c.shape);
    VLESSRealityConfiguration endpoint = server.endpoint();
    if (c.wrongPublicKey)
      endpoint.publicKey = generateX25519KeyPair(xray_).publicKey;
    else
      endpoint.shortID = "0123456789abcdef";
    XrayClient client(xray_, clientConfigurationFor(shareLink(endpoint), server),
                      temp_.child(c.name) + "/client.log");

    const auto before = echo_.requestCount();
    const auto result = fetchThroughSocks(client.socksPort(), echo_.url());
    EXPECT_NE(result.exitCode, 0) << result.output;
    EXPECT_EQ(echo_.requestCount(), before);
    EXPECT_EQ(server.accessLog().find("email: "), std::string::npos) << server.accessLog();
  }
}

// Every variant of the configuration we generate, as `xray run -test` judges
// it. Accepted ones must draw no complaint beyond the known ones, so that a
// new engine release that deprecates or drops a key we write shows up here.
// The refused rows are links our rules let through whose key lengths the
// engine does not take.
TEST_F(RealXrayTest, EngineJudgesEveryGeneratedConfiguration) {
  const std::string publicKey = generateX25519KeyPair(xray_).publicKey;
  const std::string verify = generateMldsa65KeyPair(xray_).verify;

  VLESSRealityConfiguration tcp;
  tcp.id = Uuid::random();
  tcp.host = "127.0.0.1";  // never dialled: -test only builds the configuration
  tcp.port = 443;
  tcp.transport = VLESSConnectionTransport::realityTCP;
  tcp.security = VLESSTransportSecurity::reality;
  tcp.serverName = "reality.korvelin.test";
  tcp.publicKey = publicKey;
  tcp.fingerprint = "chrome";
  VLESSRealityConfiguration grpcTLS = tcp;
  grpcTLS.transport = VLESSConnectionTransport::grpc;
  grpcTLS.security = VLESSTransportSecurity::tls;
  grpcTLS.publicKey.reset();
  grpcTLS.serviceName = "svc";
  VLESSRealityConfiguration grpcReality = grpcTLS;
  grpcReality.security = VLESSTransportSecurity::reality;
  grpcReality.publicKey = publicKey;

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
      {"tcp IPv6 host, ios", tcp, [](auto& l) { l.host = "::1"; l.fingerprint = "ios"; }},
      {"tcp host name, port 1, android", tcp,
       [](auto& l) { l.host = "proxy.korvelin.test"; l.port = 1; l.fingerprint = "android"; }},
      {"grpc tls minimal, port 65535", grpcTLS, [](auto& l) { l.port = 65535; }},
      {"grpc tls authority and alpn, edge", grpcTLS,
       [](auto& l) { l.authority = "cdn.korvelin.test"; l.alpn = "h2"; l.fingerprint = "edge"; }},
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
