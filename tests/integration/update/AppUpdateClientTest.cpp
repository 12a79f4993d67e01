#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/update/AppUpdateClient.h"
#include "core/update/AppUpdateManifest.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

using testing::chunked;
using testing::httpResponse;
using testing::LoopbackHttpsServer;

constexpr std::size_t kLimit = 131072;

std::optional<std::string> fetched(AppUpdateHTTPClient& client, const std::string& url) {
  try {
    return client.fetch(url);
  } catch (const AppUpdateError& e) {
    EXPECT_EQ(e.errorCase(), AppUpdateError::Case::transport);
    return std::nullopt;
  }
}

// One feed server through every step: the answers the client takes or
// refuses, refusals before any request, proxy variables, and one that never
// comes.
TEST(AppUpdateClientTest, OneFeedServerThroughEveryAnswer) {
  testing::ScopedTempDir directory;
  LoopbackHttpsServer::Reply reply;
  LoopbackHttpsServer server(directory.path(), [&](const std::string&) { return reply; });
  AppUpdateHTTPClient client({std::chrono::seconds(10), server.certificatePath()});
  int requests = 0;  // those the server has seen so far

  const std::string fits(kLimit, 'a');
  const std::string over(kLimit + 1, 'b');
  const auto ok = [](const std::string& headers, const std::string& body) {
    return httpResponse("200 OK", headers, body);
  };
  const std::string chunkedHeader = "Transfer-Encoding: chunked\r\n";
  struct Row {
    const char* name;
    std::string reply;
    std::optional<std::string> body;  // absent: a transport failure
  };
  const std::vector<Row> rows = {
      {"200", ok("Content-Length: 5\r\n", "hello"), "hello"},
      {"302 is not followed",
       httpResponse("302 Found", "Location: /elsewhere\r\nContent-Length: 0\r\n", ""),
       std::nullopt},
      {"404", httpResponse("404 Not Found", "Content-Length: 0\r\n", ""), std::nullopt},
      {"131072 bytes, announced", ok("Content-Length: 131072\r\n", fits), fits},
      {"131073 bytes, announced", ok("Content-Length: 131073\r\n", over), std::nullopt},
      {"131072 bytes, close-delimited", ok("", fits), fits},
      {"131073 bytes, close-delimited", ok("", over), std::nullopt},
      {"131072 bytes, chunked", ok(chunkedHeader, chunked(fits, 5000)), fits},
      {"131073 bytes, chunked", ok(chunkedHeader, chunked(over, 5000)), std::nullopt},
      {"a short body", ok("Content-Length: 10\r\n", "short"), std::nullopt},
  };
  for (const auto& row : rows) {
    reply = {row.reply};
    const auto body = fetched(client, server.url("/feed.json"));
    EXPECT_TRUE(body == row.body) << row.name << ": "
                                  << (body ? std::to_string(body->size()) + " bytes" : "refused");
    EXPECT_EQ(server.requests(), ++requests) << row.name;  // a redirect is never followed
  }

  // Refused before a request: no trust in a self-signed certificate without
  // its file, plain http, a query.
  reply = {ok("Content-Length: 2\r\n", "ok")};
  AppUpdateHTTPClient system({std::chrono::seconds(10), std::nullopt});
  EXPECT_EQ(fetched(system, server.url("/feed")), std::nullopt);
  EXPECT_EQ(fetched(client, "http://127.0.0.1:" + std::to_string(server.port()) + "/feed"),
            std::nullopt);
  EXPECT_EQ(fetched(client, server.url("/feed?x=1")), std::nullopt);
  EXPECT_EQ(server.requests(), requests);

  // libcurl honours https_proxy unless told not to; the feed must be reached
  // directly whatever the environment says.
  const std::vector<const char*> names = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  for (const char* name : names)
    ::setenv(name, "http://127.0.0.1:9", 1);  // nothing listens on port 9
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  AppUpdateHTTPClient proxied({std::chrono::seconds(10), server.certificatePath()});
  const auto body = fetched(proxied, server.url("/feed"));
  for (const char* name : names)
    ::unsetenv(name);
  EXPECT_EQ(body, "ok");

  reply = {.holdOpen = true};  // no answer
  AppUpdateHTTPClient impatient({std::chrono::milliseconds(300), server.certificatePath()});
  EXPECT_EQ(fetched(impatient, server.url("/feed")), std::nullopt);
  EXPECT_EQ(server.requests(), requests + 2);
}

}  // namespace
}  // namespace korvelin
