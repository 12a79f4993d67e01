#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "demo/LoopbackEchoServer.h"
#include "tests/support/ServicesSupport.h"

namespace korvelin::testing {
namespace {

using demo::LoopbackEchoServer;

using platform::ScopedFD;

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
  using Responses = std::vector<std::pair<int, std::string>>;
  const std::pair<int, std::string> ip = {200, "127.0.0.1\n"};
  const std::pair<int, std::string> bad = {400, "bad request\n"};
  const std::pair<int, std::string> badLength = {400, "bad length\n"};
  struct Case {
    const char* name;
    std::string request;
    Responses expected;
  };
  const std::vector<Case> cases = {
      {"pipelined, kept alive", get + get + get, {ip, ip, ip}},
      {"close ends the connection", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n" + get, {ip}},
      {"HTTP/1.0 ends the connection", "GET /ip HTTP/1.0\r\n\r\n" + get, {ip}},
      {"bulk body", "GET /bytes/5 HTTP/1.1\r\n\r\n" + get, {{200, std::string(5, '\0')}, ip}},
      {"empty bulk body", "GET /bytes/0 HTTP/1.1\r\n\r\n", {{200, ""}}},
      {"bulk length too large", "GET /bytes/1073741825 HTTP/1.1\r\n\r\n" + get, {badLength}},
      {"bulk length not a number", "GET /bytes/12x HTTP/1.1\r\n\r\n", {badLength}},
      {"other method", "DELETE / HTTP/1.1\r\n\r\n" + get, {{405, "only GET is served\n"}}},
      {"request with a body", "GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", {bad}},
      {"not HTTP", "HELLO\r\n\r\n", {bad}},
      {"unknown version", "GET / HTTP/2.0\r\n\r\n", {bad}},
      {"head too large",
       "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
       {{431, "request head too large\n"}}},
      {"unfinished head", "GET / HTTP/1.1\r\n", {}},
  };
  uint64_t expectedCount = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(responses(roundTrip(server.port(), c.request, true)), c.expected);
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
    sendAll(busy.get(), "GET /bytes/1073741824 HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(readToEnd(idle.get()), "");  // closed, not timed out
}

}  // namespace
}  // namespace korvelin::testing
