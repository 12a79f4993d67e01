// A real MCP client session (the MCP SDK) through the gateway to a real MCP
// server that stands in for YouTrack, through a SOCKS proxy (microsocks, and
// the real Xray over REALITY; the direct way is the host's gateway test):
// the server sees the bearer token on every request and never the
// capability, the client never sees the token.

#include <string>

#include <gtest/gtest.h>

#include "core/proxy/VLESSConnection.h"
#include "core/youtrack/YouTrackMCPGateway.h"
#include "tests/support/McpPeers.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

const std::string kCapability(64, 'e');
const std::string kToken = "perm:root.c2VjcmV0.token";

// A session of 200 tool calls through a gateway going through the SOCKS
// proxy at `port`; returns the address the upstream saw the requests come from.
std::string sessionThrough(const std::string& python, std::uint16_t port) {
  testing::McpUpstream upstream(python, kToken);
  GatewayServer gateway(kCapability, {upstream.url(), upstream.certificateAuthority()}, kToken,
                        ProfileProxyConfiguration(ProfileProxyScheme::socks5, "127.0.0.1", port));
  const std::string url = "http://127.0.0.1:" + std::to_string(gateway.start()) + "/mcp";
  const auto session = testing::runMcpSession(
      python, url, {.headers = {"X-Korvelin-Capability=" + kCapability}, .calls = 200});
  EXPECT_EQ(session.at("tools"), nlohmann::json({"echo", "find_issues"}));
  EXPECT_EQ(session.at("calls"), 200);
  EXPECT_EQ(session.at("responseHeaders").dump().find("c2VjcmV0"), std::string::npos);

  const auto requests = upstream.requests();
  std::set<std::string> methods;
  std::set<std::string> clients;
  for (const auto& request : requests) {
    methods.insert(request.at("method"));
    clients.insert(request.at("client"));
    EXPECT_EQ(request.at("headers").value("authorization", ""), "Bearer " + kToken);
    EXPECT_EQ(request.dump().find(kCapability), std::string::npos);
  }
  EXPECT_EQ(methods, (std::set<std::string>{"DELETE", "GET", "POST"}));
  EXPECT_GE(requests.size(), 203u);
  EXPECT_EQ(clients.size(), 1u);
  return clients.empty() ? "" : *clients.begin();
}

// microsocks sends its connections from 127.0.0.2: the upstream seeing that
// address proves the gateway went through it. Then the real engine as the
// profile's proxy: a VLESS client over TCP+REALITY to a server on loopback
// whose only way out is from its egress address.
TEST(RealMcpGatewayTest, SessionsThroughASocksProxyAndThroughTheRealXray) {
  std::string reason;
  const auto python = testing::realMcpPythonPath(reason);
  if (!python)
    GTEST_SKIP() << "MCP SDK unavailable: " << reason;
  const std::uint16_t port = testing::freeLoopbackPort();
  testing::Subprocess proxy(
      {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-b", "127.0.0.2"});
  ASSERT_TRUE(testing::eventually([&] { return testing::listensOnLoopback(port); }));
  EXPECT_EQ(sessionThrough(*python, port), "127.0.0.2");

  const auto xray = testing::realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  testing::ScopedTempDir directory;
  testing::XrayServer server(*xray, directory.path(), testing::VlessShape::realityTCP);
  testing::XrayClient client(
      *xray, VLESSRealityConfiguration(server.link()).xrayJSON(testing::freeLoopbackPort()),
      directory.child("client.log"));
  EXPECT_EQ(sessionThrough(*python, client.socksPort()), testing::XrayServer::kEgressAddress);
}

}  // namespace
}  // namespace korvelin
