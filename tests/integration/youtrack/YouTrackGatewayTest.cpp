// The gateway over real sockets against a TLS upstream of the test's own:
// the status of every refused request as a client reads it, the headers that
// cross each way, the connection limit, and upstreams that reset, fall
// silent, redirect or stream.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/platform/ScopedFD.h"
#include "core/youtrack/YouTrackGatewayRequest.h"
#include "core/youtrack/YouTrackMCPGateway.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/MisbehavingServer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using platform::ScopedFD;
using namespace std::chrono_literals;

const std::string kCapability(64, 'c');
const std::string kToken = "perm:secret-token";

ScopedFD connectTo(std::uint16_t port) {
  ScopedFD fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Everything the gateway writes until it closes (or `limit` passes).
std::string readToEnd(int fd, std::chrono::milliseconds limit = 10s) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
      return text + "<open>";
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string roundTrip(std::uint16_t port, const std::string& bytes) {
  ScopedFD fd = connectTo(port);
  EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  return readToEnd(fd.get());
}

std::string post(const std::string& headers, const std::string& body = "{}") {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Korvelin-Capability: " + kCapability +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
}

struct Upstream {
  testing::ScopedTempDir directory;
  std::mutex lock;
  std::vector<std::string> heads;
  testing::LoopbackHttpsServer::Responder responder;
  std::unique_ptr<testing::LoopbackHttpsServer> server;

  explicit Upstream(testing::LoopbackHttpsServer::Responder answer) : responder(std::move(answer)) {
    server = std::make_unique<testing::LoopbackHttpsServer>(directory.path(),
                                                            [this](const std::string& head) {
                                                              std::lock_guard guard(lock);
                                                              heads.push_back(head);
                                                              return responder(head);
                                                            });
  }
  std::vector<std::string> received() {
    std::lock_guard guard(lock);
    return heads;
  }
  YouTrackGatewayUpstream endpoint() const {
    return {server->url("/mcp"), server->certificatePath()};
  }
};

GatewayServer gatewayTo(const YouTrackGatewayUpstream& upstream,
                        YouTrackGatewayTiming timing = {}) {
  return GatewayServer(kCapability, upstream, kToken, std::nullopt, timing);
}

// Which request gets which status is the parser's; here, that a refusal
// reaches the client whole, and nothing reaches the upstream.
TEST(YouTrackGatewayTest, ClientsReadTheRefusalAndTheUpstreamHearsNothing) {
  Upstream upstream([](const std::string&) {
    return testing::LoopbackHttpsServer::Reply{
        testing::httpResponse("200 OK", "Content-Type: application/json\r\n", "{\"ok\":1}")};
  });
  GatewayServer gateway = gatewayTo(upstream.endpoint());
  const std::uint16_t port = gateway.start();
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {"POST /mcp HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 401},
      {"POST /mcp HTTP/1.1\r\nX: " + std::string(40000, 'x'), 431},
      {"POST /mcp HTTP/1.1\r\nContent-Length: 5\r\n\r\n{}", 400},  // the client stops short
  };
  for (const auto& c : cases) {
    ScopedFD fd = connectTo(port);
    ::send(fd.get(), c.request.data(), c.request.size(), MSG_NOSIGNAL);
    if (c.status == 400 && c.request.ends_with("{}"))
      ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ(readToEnd(fd.get()), gatewayErrorResponse(c.status)) << c.request.substr(0, 40);
  }
  EXPECT_EQ(upstream.server->requests(), 0);
  EXPECT_EQ(roundTrip(port, post("")),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
            "{\"ok\":1}");
}

TEST(YouTrackGatewayTest, OnlyTheListedHeadersCrossAndTheTokenOnlyUpstream) {
  Upstream upstream([](const std::string&) {
    return testing::LoopbackHttpsServer::Reply{testing::httpResponse(
        "200 OK",
        "Content-Type: text/plain\r\nMcp-Session-Id: s-7\r\nSet-Cookie: a=b\r\n"
        "X-Internal: 1\r\nRetry-After: 3\r\nCache-Control: no-store\r\nLocation: /x\r\n",
        "body")};
  });
  GatewayServer gateway = gatewayTo(upstream.endpoint());
  const std::string answer = roundTrip(
      gateway.start(),
      post("Accept: application/json, text/event-stream\r\nContent-Type: application/json\r\n"
           "MCP-Protocol-Version: 2025-06-18\r\nMcp-Session-Id: s-7\r\nLast-Event-ID: 4\r\n"
           "Cookie: c=d\r\nUser-Agent: probe\r\nAuthorization: Bearer client\r\n"
           "X-Odd: a\rb\r\n"));
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nMcp-Session-Id: s-7\r\n"
            "Retry-After: 3\r\nCache-Control: no-store\r\nConnection: close\r\n\r\nbody");
  const auto heads = upstream.received();
  ASSERT_EQ(heads.size(), 1u);
  const std::string& head = heads.front();
  for (const char* sent :
       {"accept: application/json, text/event-stream\r\n", "content-type: application/json\r\n",
        "mcp-protocol-version: 2025-06-18\r\n", "mcp-session-id: s-7\r\n", "last-event-id: 4\r\n",
        "Authorization: Bearer perm:secret-token\r\n"})
    EXPECT_NE(head.find(sent), std::string::npos) << sent;
  for (const char* withheld :
       {"Cookie", "User-Agent", "Bearer client", "X-Odd", "Korvelin", "cccccccc", "Expect"})
    EXPECT_EQ(head.find(withheld), std::string::npos) << withheld;
  EXPECT_EQ(answer.find(kToken), std::string::npos);
}

TEST(YouTrackGatewayTest, UpstreamsThatFailBeforeTheirHeadGet502AndRedirectsAreRelayed) {
  YouTrackGatewayTiming quick;
  quick.responseHeader = 0.5;
  for (auto misbehavior : {testing::Misbehavior::reset, testing::Misbehavior::stall}) {
    testing::MisbehavingServer server(misbehavior);
    GatewayServer gateway = gatewayTo(
        {"https://127.0.0.1:" + std::to_string(server.port()) + "/mcp", std::nullopt}, quick);
    EXPECT_EQ(roundTrip(gateway.start(), post("")), gatewayErrorResponse(502))
        << testing::misbehaviorName(misbehavior);
  }
  Upstream redirecting([](const std::string&) {
    return testing::LoopbackHttpsServer::Reply{
        testing::httpResponse("302 Found", "Location: https://127.0.0.1:1/mcp\r\n", "")};
  });
  GatewayServer gateway = gatewayTo(redirecting.endpoint());
  EXPECT_EQ(roundTrip(gateway.start(), post("")),
            "HTTP/1.1 302 Found\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(redirecting.server->requests(), 1);
}

// With the idle limits scaled down: an event stream that pauses longer than
// the ordinary limit stays open, an ordinary response is cut; either way a
// client that goes away ends the upstream exchange.
TEST(YouTrackGatewayTest, IdleLimitsDependOnTheStreamAndAClientThatLeavesEndsTheUpstream) {
  YouTrackGatewayTiming scaled;
  scaled.ordinaryIdle = 0.3;
  scaled.sseIdle = 30;
  for (const std::string type : {"text/event-stream", "application/json"}) {
    Upstream upstream([&](const std::string&) {
      return testing::LoopbackHttpsServer::Reply{
          .bytes = testing::httpResponse("200 OK", "Content-Type: " + type + "\r\n", "data: 1\n\n"),
          .holdOpen = true};
    });
    GatewayServer gateway = gatewayTo(upstream.endpoint(), scaled);
    ScopedFD client = connectTo(gateway.start());
    const std::string request = post("");
    ::send(client.get(), request.data(), request.size(), MSG_NOSIGNAL);
    const std::string seen = readToEnd(client.get(), 2s);
    if (type == "text/event-stream") {
      EXPECT_TRUE(seen.ends_with("data: 1\n\n<open>")) << seen;
      client.reset();
    } else {
      EXPECT_TRUE(seen.ends_with("\r\n\r\ndata: 1\n\n")) << seen;
    }
    EXPECT_TRUE(testing::eventually([&] { return upstream.server->closedByPeer() == 1; }, 3s))
        << type;
  }
}

// One exchange streaming and the rest of the places held by clients still
// sending their head: the next client is closed without an answer, a place
// frees up when a held client goes, and stopping ends every connection and
// the exchange upstream.
TEST(YouTrackGatewayTest, ConnectionsAreLimitedAndStoppingEndsEveryOne) {
  Upstream upstream([](const std::string&) {
    return testing::LoopbackHttpsServer::Reply{
        .bytes = testing::httpResponse("200 OK", "Content-Type: text/event-stream\r\n", ""),
        .holdOpen = true};
  });
  GatewayServer gateway = gatewayTo(upstream.endpoint());
  const std::uint16_t port = gateway.start();
  ScopedFD streaming = connectTo(port);
  const std::string request = post("");
  ::send(streaming.get(), request.data(), request.size(), MSG_NOSIGNAL);
  ASSERT_TRUE(testing::eventually([&] { return upstream.server->requests() == 1; }));
  std::vector<ScopedFD> held;
  for (int i = 1; i < GatewayServer::kMaximumConnections; ++i) {
    held.push_back(connectTo(port));
    ::send(held.back().get(), "POST", 4, MSG_NOSIGNAL);
  }
  ScopedFD extra = connectTo(port);
  EXPECT_EQ(readToEnd(extra.get(), 5s), "");
  held.pop_back();
  EXPECT_TRUE(testing::eventually(
      [&] { return roundTrip(port, "PUT /mcp HTTP/1.1\r\n\r\n") == gatewayErrorResponse(405); }));

  ScopedFD waiting = connectTo(port);
  gateway.stop();
  EXPECT_FALSE(readToEnd(streaming.get(), 5s).ends_with("<open>"));
  EXPECT_EQ(readToEnd(waiting.get(), 5s), "");
  EXPECT_EQ(readToEnd(held.front().get(), 5s), "");
  EXPECT_TRUE(testing::eventually([&] { return upstream.server->closedByPeer() == 1; }));
}

}  // namespace
}  // namespace korvelin
