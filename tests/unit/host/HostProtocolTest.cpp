#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/host/HostProtocol.h"

namespace korvelin {
namespace {

HostRequest requestOf(HostOperation operation) {
  HostRequest request;
  request.operation = operation;
  request.profileID = *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
  return request;
}

// What a client writes is read back as the same request, every operation.
TEST(HostProtocolTest, EveryRequestSurvivesTheWire) {
  auto run = requestOf(HostOperation::run);
  run.program = "/bin/sh";
  run.arguments = {"-c", "echo \"$A\"", ""};
  run.environment = {{"A", "b c"}, {"EMPTY", ""}};
  run.wait = true;
  auto stop = requestOf(HostOperation::stop);
  stop.timeout = 0.25;
  auto proxy = requestOf(HostOperation::proxyStart);
  proxy.link = "vless://x";
  proxy.connectionID = Uuid::random();
  proxy.engine = "/x/xray";
  proxy.guardian = "/x/guardian";
  proxy.probeURL = "http://127.0.0.1:1/";
  auto launch = requestOf(HostOperation::launch);
  launch.probeURL = "https://api.ipify.org";
  launch.browserShim = "/x/korvelin-browser-shim";
  launch.wait = true;
  HostRequest ps;
  for (const auto& request : {run, stop, proxy, launch, ps, requestOf(HostOperation::proxyStop)}) {
    const auto parsed = parseHostRequest(encodeHostRequest(request).dump());
    ASSERT_TRUE(std::holds_alternative<HostRequest>(parsed)) << std::get<std::string>(parsed);
    EXPECT_EQ(std::get<HostRequest>(parsed), request);
  }
}

// Anything but exactly one request's shape is refused, with its reason.
TEST(HostProtocolTest, RefusesEveryOtherShape) {
  auto valid = encodeHostRequest(requestOf(HostOperation::run));
  valid["program"] = "/bin/true";
  auto with = [&](const std::string& key, nlohmann::json value) {
    auto copy = valid;
    copy[key] = std::move(value);
    return copy.dump();
  };
  auto without = [&](const std::string& key) {
    auto copy = valid;
    copy.erase(key);
    return copy.dump();
  };
  const std::string stop =
      R"({"operation":"stop","profile":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","timeout":)";
  const std::string arguments = "arguments must be a list of at most 1024 strings";
  const std::string environment = "environment must map names without '=' to strings";
  const std::string timeout = "timeout must be a number of seconds above 0 and at most 3600";
  const struct {
    std::string line;
    std::string reason;
  } cases[] = {
      {"", "request is not JSON"},
      {"{\"operation\":\"ps\"} trailing", "request is not JSON"},
      {"\"ps\"", "a request is one JSON object"},
      {"{}", "operation is missing"},
      {"{\"operation\":\"ps\",\"profile\":\"x\"}", "unexpected key profile"},
      {without("wait"), "wait is missing"},
      {with("extra", 1), "unexpected key extra"},
      {with("program", "bin/true"), "program must be an absolute path"},
      {with("program", 7), "program must be a string"},
      {with("arguments", {"a", std::string("b\0c", 3)}), arguments},
      {with("arguments", std::vector<std::string>(1025, "a")), arguments},
      {with("environment", {{"A=B", "c"}}), environment},
      {with("environment", {{"A", 1}}), environment},
      {with("wait", "yes"), "wait must be true or false"},
      {with("profile", "not-a-uuid"), "profile must be a UUID"},
      {stop + "0}", timeout},
      {stop + "1e9}", timeout},
      {std::string(kMaxHostRequestBytes, ' '), "request too large"},
  };
  for (const auto& c : cases) {
    const auto parsed = parseHostRequest(c.line);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.line.substr(0, 80);
    EXPECT_EQ(std::get<std::string>(parsed), c.reason) << c.line.substr(0, 80);
  }
}

}  // namespace
}  // namespace korvelin
