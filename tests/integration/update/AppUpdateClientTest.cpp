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

class AppUpdateClientTest : public ::testing::Test {
 protected:
  testing::ScopedTempDir directory_;
};

TEST_F(AppUpdateClientTest, LoopbackFeedAnswers) {
  const std::string fits(kLimit, 'a');
  const std::string over(kLimit + 1, 'b');
  struct Row {
    const char* name;
    std::string reply;
    std::optional<std::string> body;  // absent: a transport failure
  };
  const std::vector<Row> rows = {
      {"200", httpResponse("200 OK", "Content-Length: 5\r\n", "hello"), "hello"},
      {"302 is not followed",
       httpResponse("302 Found", "Location: /elsewhere\r\nContent-Length: 0\r\n", ""),
       std::nullopt},
      {"404", httpResponse("404 Not Found", "Content-Length: 0\r\n", ""), std::nullopt},
      {"131072 bytes, announced", httpResponse("200 OK", "Content-Length: 131072\r\n", fits), fits},
      {"131073 bytes, announced", httpResponse("200 OK", "Content-Length: 131073\r\n", over),
       std::nullopt},
      {"131072 bytes, close-delimited", httpResponse("200 OK", "", fits), fits},
      {"131073 bytes, close-delimited", httpResponse("200 OK", "", over), std::nullopt},
      {"131072 bytes, chunked",
       httpResponse("200 OK", "Transfer-Encoding: chunked\r\n", chunked(fits, 5000)), fits},
      {"131073 bytes, chunked",
       httpResponse("200 OK", "Transfer-Encoding: chunked\r\n", chunked(over, 5000)), std::nullopt},
      {"a short body", httpResponse("200 OK", "Content-Length: 10\r\n", "short"), std::nullopt},
  };
  for (const auto& row : rows) {
    LoopbackHttpsServer server(directory_.path(), [&](const std::string&) {
      return LoopbackHttpsServer::Reply{row.reply};
    });
    AppUpdateHTTPClient client({std::chrono::seconds(10), server.certificatePath()});
    const auto body = fetched(client, server.url("/feed.json"));
    EXPECT_TRUE(body == row.body) << row.name << ": "
                                  << (body ? std::to_string(body->size()) + " bytes" : "refused");
    EXPECT_EQ(server.requests(), 1) << row.name;  // a redirect is never followed
  }
}

TEST_F(AppUpdateClientTest, RefusesBeforeOrWithoutTrust) {
  LoopbackHttpsServer server(directory_.path(), [](const std::string&) {
    return LoopbackHttpsServer::Reply{httpResponse("200 OK", "Content-Length: 2\r\n", "ok")};
  });
  AppUpdateHTTPClient trusting({std::chrono::seconds(10), server.certificatePath()});
  AppUpdateHTTPClient system({std::chrono::seconds(10), std::nullopt});
  const std::string port = std::to_string(server.port());
  EXPECT_EQ(fetched(system, server.url("/feed")), std::nullopt);  // self-signed: not trusted
  EXPECT_EQ(fetched(trusting, "http://127.0.0.1:" + port + "/feed"), std::nullopt);
  EXPECT_EQ(fetched(trusting, server.url("/feed?x=1")), std::nullopt);
  EXPECT_EQ(server.requests(), 0);
  EXPECT_EQ(fetched(trusting, server.url("/feed")), "ok");
}

TEST_F(AppUpdateClientTest, AStalledFeedEndsAtTheDeadline) {
  LoopbackHttpsServer server(directory_.path(), [](const std::string&) {
    return LoopbackHttpsServer::Reply{"", true};
  });
  AppUpdateHTTPClient client({std::chrono::milliseconds(300), server.certificatePath()});
  EXPECT_EQ(fetched(client, server.url("/feed")), std::nullopt);
  EXPECT_EQ(server.requests(), 1);
}

// libcurl honours https_proxy unless told not to; the feed must be reached
// directly whatever the environment says.
TEST_F(AppUpdateClientTest, ProxyVariablesAreIgnored) {
  LoopbackHttpsServer server(directory_.path(), [](const std::string&) {
    return LoopbackHttpsServer::Reply{httpResponse("200 OK", "Content-Length: 2\r\n", "ok")};
  });
  const std::vector<const char*> names = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  for (const char* name : names)
    ::setenv(name, "http://127.0.0.1:9", 1);  // nothing listens on port 9
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  AppUpdateHTTPClient client({std::chrono::seconds(10), server.certificatePath()});
  const auto body = fetched(client, server.url("/feed"));
  for (const char* name : names)
    ::unsetenv(name);
  EXPECT_EQ(body, "ok");
}

}  // namespace
}  // namespace korvelin
