#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "demo/LoopbackEchoServer.h"

namespace korvelin::testing {
namespace {

using demo::LoopbackEchoServer;

using platform::ScopedFD;

ScopedFD connectTo(uint16_t port, const char* from = "127.0.0.1") {
  ScopedFD socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval timeout{10, 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &address.sin_addr);
  EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return socket;
}

// Sends `request`, ends the sending side and reads until the server closes.
std::string exchange(uint16_t port, const std::string& request, const char* from = "127.0.0.1") {
  ScopedFD socket = connectTo(port, from);
  EXPECT_TRUE(platform::writeFull(socket.get(), request));
  ::shutdown(socket.get(), SHUT_WR);
  std::string response;
  char buffer[65536];
  ssize_t got;
  while ((got = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0)
    response.append(buffer, static_cast<size_t>(got));
  return response;
}

// The status codes and bodies of consecutive responses.
std::vector<std::pair<int, std::string>> responses(std::string text) {
  std::vector<std::pair<int, std::string>> result;
  while (text.rfind("HTTP/1.1 ", 0) == 0) {
    const size_t headEnd = text.find("\r\n\r\n");
    if (headEnd == std::string::npos)
      break;
    const int status = std::stoi(text.substr(9, 3));
    const size_t lengthAt = text.find("Content-Length: ");
    const size_t length = std::stoul(text.substr(lengthAt + 16));
    result.emplace_back(status, text.substr(headEnd + 4, length));
    text.erase(0, headEnd + 4 + length);
  }
  EXPECT_TRUE(text.empty()) << "unparsed: " << text;
  return result;
}

TEST(LoopbackEchoServerTest, AnswersEachRequestOfAConnection) {
  LoopbackEchoServer server;
  const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  struct Case {
    const char* name;
    std::string request;
    std::vector<std::pair<int, std::string>> expected;
  };
  const std::vector<Case> cases = {
      {"one request", get, {{200, "127.0.0.1\n"}}},
      {"pipelined, kept alive",
       get + get + get,
       {{200, "127.0.0.1\n"}, {200, "127.0.0.1\n"}, {200, "127.0.0.1\n"}}},
      {"close ends the connection",
       "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n" + get,
       {{200, "127.0.0.1\n"}}},
      {"HTTP/1.0 ends the connection", "GET /ip HTTP/1.0\r\n\r\n" + get, {{200, "127.0.0.1\n"}}},
      {"bulk body",
       "GET /bytes/5 HTTP/1.1\r\n\r\n" + get,
       {{200, std::string(5, '\0')}, {200, "127.0.0.1\n"}}},
      {"empty bulk body", "GET /bytes/0 HTTP/1.1\r\n\r\n", {{200, ""}}},
      {"bulk length too large",
       "GET /bytes/1073741825 HTTP/1.1\r\n\r\n" + get,
       {{400, "bad length\n"}}},
      {"bulk length not a number", "GET /bytes/12x HTTP/1.1\r\n\r\n", {{400, "bad length\n"}}},
      {"other method", "DELETE / HTTP/1.1\r\n\r\n" + get, {{405, "only GET is served\n"}}},
      {"request with a body",
       "GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
       {{400, "bad request\n"}}},
      {"not HTTP", "HELLO\r\n\r\n", {{400, "bad request\n"}}},
      {"unknown version", "GET / HTTP/2.0\r\n\r\n", {{400, "bad request\n"}}},
      {"head too large",
       "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
       {{431, "request head too large\n"}}},
      {"unfinished head", "GET / HTTP/1.1\r\n", {}},
  };
  uint64_t expectedCount = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(responses(exchange(server.port(), c.request)), c.expected);
    for (const auto& [status, body] : c.expected)
      if (status != 431)
        ++expectedCount;
  }
  EXPECT_EQ(server.requestCount(), expectedCount);
}

TEST(LoopbackEchoServerTest, StopsWithoutWaitingForIdleOrBusyClients) {
  ScopedFD idle;
  ScopedFD busy;
  {
    LoopbackEchoServer server;
    idle = connectTo(server.port());
    busy = connectTo(server.port());
    // A bulk answer nobody reads fills the socket buffers and blocks its sender.
    ASSERT_TRUE(platform::writeFull(busy.get(), "GET /bytes/1073741824 HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  char byte;
  EXPECT_EQ(::recv(idle.get(), &byte, 1, 0), 0);  // closed, not timed out
}

}  // namespace
}  // namespace korvelin::testing
