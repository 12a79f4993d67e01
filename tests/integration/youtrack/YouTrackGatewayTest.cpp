// The gateway over real sockets against a TLS upstream of the test's own:
// the status of every refused request as a client reads it, the headers that
// cross each way, the connection limit, and upstreams that reset, fall
// silent, redirect or stream.

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/youtrack/YouTrackGatewayRequest.h"
#include "core/youtrack/YouTrackMCPGateway.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/MisbehavingServer.h"
#include "tests/support/ServicesSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using platform::ScopedFD;
using testing::readToEnd;
using testing::roundTrip;
using Reply = testing::LoopbackHttpsServer::Reply;
using namespace std::chrono_literals;

const std::string kCapability(64, 'c');
const std::string kToken = "perm:secret-token";

std::string post(const std::string& headers, const std::string& body = "{}") {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Korvelin-Capability: " + kCapability +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
}

Reply answer(const std::string& status, const std::string& headers, const std::string& body = "") {
  return {testing::httpResponse(status, headers, body)};
}

// The TLS upstream: it answers `reply` and keeps every request's head.
struct Upstream {
  explicit Upstream(Reply first) : reply(std::move(first)) {}
  std::vector<std::string> received() {
    std::lock_guard guard(lock);
    return heads;
  }
  YouTrackGatewayUpstream endpoint() const {
    return {server.url("/mcp"), server.certificatePath()};
  }

  testing::ScopedTempDir directory;
  std::mutex lock;
  std::vector<std::string> heads;
  Reply reply;
  testing::LoopbackHttpsServer server{directory.path(), [this](const std::string& head) {
                                        std::lock_guard guard(lock);
                                        heads.push_back(head);
                                        return reply;
                                      }};
};

GatewayServer gatewayTo(const YouTrackGatewayUpstream& upstream,
                        YouTrackGatewayTiming timing = {}) {
  return GatewayServer(kCapability, upstream, kToken, std::nullopt, timing);
}

// One gateway to one upstream, step by step: which request gets which status
// is the parser's; here, that a refusal reaches the client whole and nothing
// reaches the upstream; then the headers that cross each way, the token only
// upstream; a redirect relayed; and upstreams that fail before their head.
TEST(YouTrackGatewayTest, RefusalsHeadersRedirectsAndFailingUpstreams) {
  Upstream upstream(answer("200 OK", "Content-Type: application/json\r\n", "{\"ok\":1}"));
  GatewayServer gateway = gatewayTo(upstream.endpoint());
  const std::uint16_t port = gateway.start();
  EXPECT_EQ(roundTrip(port, "POST /mcp HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
            gatewayErrorResponse(401));
  EXPECT_EQ(roundTrip(port, "POST /mcp HTTP/1.1\r\nX: " + std::string(40000, 'x')),
            gatewayErrorResponse(431));
  // The client stops short of the length it announced.
  EXPECT_EQ(roundTrip(port, "POST /mcp HTTP/1.1\r\nContent-Length: 5\r\n\r\n{}", true),
            gatewayErrorResponse(400));
  EXPECT_EQ(upstream.server.requests(), 0);
  EXPECT_EQ(roundTrip(port, post("")),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
            "{\"ok\":1}");

  SCOPED_TRACE("only the listed headers cross, and the token only upstream");
  upstream.reply = answer("200 OK",
                          "Content-Type: text/plain\r\nMcp-Session-Id: s-7\r\nSet-Cookie: a=b\r\n"
                          "X-Internal: 1\r\nRetry-After: 3\r\nCache-Control: no-store\r\n"
                          "Location: /x\r\n",
                          "body");
  const std::string relayed = roundTrip(
      port, post("Accept: application/json, text/event-stream\r\nContent-Type: application/json\r\n"
                 "MCP-Protocol-Version: 2025-06-18\r\nMcp-Session-Id: s-7\r\nLast-Event-ID: 4\r\n"
                 "Cookie: c=d\r\nUser-Agent: probe\r\nAuthorization: Bearer client\r\n"
                 "X-Odd: a\rb\r\n"));
  EXPECT_EQ(relayed,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nMcp-Session-Id: s-7\r\n"
            "Retry-After: 3\r\nCache-Control: no-store\r\nConnection: close\r\n\r\nbody");
  const auto heads = upstream.received();
  ASSERT_EQ(heads.size(), 2u);
  for (const char* sent :
       {"accept: application/json, text/event-stream\r\n", "content-type: application/json\r\n",
        "mcp-protocol-version: 2025-06-18\r\n", "mcp-session-id: s-7\r\n", "last-event-id: 4\r\n",
        "Authorization: Bearer perm:secret-token\r\n"})
    EXPECT_THAT(heads.back(), ::testing::HasSubstr(sent));
  for (const char* withheld :
       {"Cookie", "User-Agent", "Bearer client", "X-Odd", "Korvelin", "cccccccc", "Expect"})
    EXPECT_THAT(heads.back(), ::testing::Not(::testing::HasSubstr(withheld)));
  EXPECT_THAT(relayed, ::testing::Not(::testing::HasSubstr(kToken)));

  SCOPED_TRACE("a redirect is relayed, not followed");
  upstream.reply = answer("302 Found", "Location: https://127.0.0.1:1/mcp\r\n");
  EXPECT_EQ(roundTrip(port, post("")), "HTTP/1.1 302 Found\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(upstream.server.requests(), 3);

  YouTrackGatewayTiming quick;
  quick.responseHeader = 0.5;
  for (auto misbehavior : {testing::Misbehavior::reset, testing::Misbehavior::stall}) {
    SCOPED_TRACE(testing::misbehaviorName(misbehavior));
    testing::MisbehavingServer server(misbehavior);
    GatewayServer failing = gatewayTo(
        {"https://127.0.0.1:" + std::to_string(server.port()) + "/mcp", std::nullopt}, quick);
    EXPECT_EQ(roundTrip(failing.start(), post("")), gatewayErrorResponse(502));
  }
}

// With the idle limits scaled down: an event stream that pauses longer than
// the ordinary limit stays open, an ordinary response is cut; either way a
// client that goes away ends the upstream exchange.
TEST(YouTrackGatewayTest, IdleLimitsDependOnTheStreamAndAClientThatLeavesEndsTheUpstream) {
  YouTrackGatewayTiming scaled;
  scaled.ordinaryIdle = 0.3;
  scaled.sseIdle = 30;
  for (const std::string type : {"text/event-stream", "application/json"}) {
    Upstream upstream(answer("200 OK", "Content-Type: " + type + "\r\n", "data: 1\n\n"));
    upstream.reply.holdOpen = true;
    GatewayServer gateway = gatewayTo(upstream.endpoint(), scaled);
    ScopedFD client = testing::connectTo(gateway.start());
    testing::sendAll(client.get(), post(""));
    const std::string seen = readToEnd(client.get(), 2s);
    if (type == "text/event-stream") {
      EXPECT_TRUE(seen.ends_with("data: 1\n\n<open>")) << seen;
      client.reset();
    } else {
      EXPECT_TRUE(seen.ends_with("\r\n\r\ndata: 1\n\n")) << seen;
    }
    EXPECT_TRUE(testing::eventually([&] { return upstream.server.closedByPeer() == 1; }, 3s))
        << type;
  }
}

// One exchange streaming and the rest of the places held by clients still
// sending their head: the next client is closed without an answer, a place
// frees up when a held client goes, and stopping ends every connection and
// the exchange upstream.
TEST(YouTrackGatewayTest, ConnectionsAreLimitedAndStoppingEndsEveryOne) {
  Upstream upstream(answer("200 OK", "Content-Type: text/event-stream\r\n"));
  upstream.reply.holdOpen = true;
  GatewayServer gateway = gatewayTo(upstream.endpoint());
  const std::uint16_t port = gateway.start();
  ScopedFD streaming = testing::connectTo(port);
  testing::sendAll(streaming.get(), post(""));
  ASSERT_TRUE(testing::eventually([&] { return upstream.server.requests() == 1; }));
  std::vector<ScopedFD> held;
  for (int i = 1; i < GatewayServer::kMaximumConnections; ++i) {
    held.push_back(testing::connectTo(port));
    testing::sendAll(held.back().get(), "POST");
  }
  ScopedFD extra = testing::connectTo(port);
  EXPECT_EQ(readToEnd(extra.get(), 5s), "");
  held.pop_back();
  EXPECT_TRUE(testing::eventually(
      [&] { return roundTrip(port, "PUT /mcp HTTP/1.1\r\n\r\n") == gatewayErrorResponse(405); }));

  ScopedFD waiting = testing::connectTo(port);
  gateway.stop();
  EXPECT_FALSE(readToEnd(streaming.get(), 5s).ends_with("<open>"));
  EXPECT_EQ(readToEnd(waiting.get(), 5s), "");
  EXPECT_EQ(readToEnd(held.front().get(), 5s), "");
  EXPECT_TRUE(testing::eventually([&] { return upstream.server.closedByPeer() == 1; }));
}

}  // namespace
}  // namespace korvelin
