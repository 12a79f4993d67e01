#pragma once

// Support for the Codex usage tests. The Codex backend's usage endpoint on loopback, for the real
// `codex app-server`: GET .../wham/usage answers the usage body the test sets; every other path
// answers 404. Each request's first line is kept, so a request that came through as a proxy's
// absolute-form line shows it. And the files that sign a Codex home in to this backend.

#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/apps/CodexInstallation.h"
#include "core/codex/CodexUsageAppServerClient.h"
#include "tests/support/LoopbackHttpsServer.h"

namespace korvelin::testing {

// The answer of the real `codex app-server` (the pinned version) to its
// first "account/rateLimits/read", backed by UsageBackendMock's default
// usage, captured byte for byte.
inline constexpr std::string_view kRealAppServerAnswer =
    R"({"id":2,"result":{"ordinaryUsageAllowed":null,"rateLimits":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":6,"windowDurationMins":300,"resetsAt":1796500000},"secondary":{"usedPercent":24,"windowDurationMins":10080,"resetsAt":1796900000},"credits":{"hasCredits":true,"unlimited":false,"balance":"5.39"},"individualLimit":null,"spendControlReached":null,"planType":"plus","rateLimitReachedType":null},"rateLimitsByLimitId":{"codex":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":6,"windowDurationMins":300,"resetsAt":1796500000},"secondary":{"usedPercent":24,"windowDurationMins":10080,"resetsAt":1796900000},"credits":{"hasCredits":true,"unlimited":false,"balance":"5.39"},"individualLimit":null,"spendControlReached":null,"planType":"plus","rateLimitReachedType":null}},"rateLimitResetCredits":null,"accountId":null,"rateLimitUpsell":null}})";

class UsageBackendMock {
 public:
  UsageBackendMock();

  std::uint16_t port() const { return server_.port(); }
  // The usage of the 5-hour and the weekly window the endpoint reports.
  void setUsedPercent(int primary, int secondary);
  std::vector<std::string> requestLines() const;

 private:
  mutable std::mutex mutex_;
  std::string body_;
  std::vector<std::string> requestLines_;
  LoopbackHttpsServer server_;  // last: stopped before the rest goes
};

// Writes auth.json (a ChatGPT sign-in whose tokens are unsigned JWTs) and
// config.toml (chatgpt_base_url = `baseURL`) into `codexHome`, which must
// exist.
void signInToUsageBackend(const std::string& codexHome, const std::string& baseURL);

// The events `stream` yields within `timeout` (or its first `count`), one
// word each, "snapshot:<remaining percent or ->", "unavailable:<reason>",
// "disconnected", then "end" when the stream ended, separated by spaces.
std::string describe(CodexUsageEventStream& stream,
                     std::chrono::milliseconds timeout,
                     std::size_t count = std::numeric_limits<std::size_t>::max());

}  // namespace korvelin::testing
