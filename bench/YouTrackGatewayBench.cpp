// What the YouTrack gateway adds to a profile's MCP traffic, each as a ratio
// to the same traffic sent straight to the upstream in the same run:
// - 1,000 tool calls of one real MCP client session (the MCP SDK) against a
//   real MCP server, with a plain and a TLS upstream: the median and the 95th
//   percentile of the calls' latencies (each call is one client connection
//   and one upstream request through the gateway);
// - one 64 MiB event-stream body relayed from a TLS upstream.
// Skipped, with the reason, when the MCP SDK was not installed.

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "core/youtrack/YouTrackMCPGateway.h"
#include "tests/support/LoopbackHttpsServer.h"
#include "tests/support/McpPeers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;
using namespace korvelin::testing;

const std::string kToken = "perm:bench.token";
const std::string kCapability(64, 'b');
constexpr int kToolCalls = 1000;
constexpr std::size_t kStreamBytes = std::size_t{64} << 20;

// Latencies of one session of 1,000 calls, sorted, per route and upstream.
std::map<std::string, std::vector<double>>& sessions() {
  static std::map<std::string, std::vector<double>> measured;
  return measured;
}

std::vector<double> toolCallLatencies(benchmark::State& state, bool tls, bool throughGateway) {
  const std::string key = std::string(tls ? "tls" : "plain") + (throughGateway ? "/gw" : "/direct");
  auto& cached = sessions()[key];
  if (!cached.empty())
    return cached;
  std::string reason;
  const auto python = realMcpPythonPath(reason);
  if (!python) {
    state.SkipWithError(("MCP SDK unavailable: " + reason).c_str());
    return {};
  }
  McpUpstream upstream(*python, kToken, tls);
  McpSessionOptions options{.calls = kToolCalls};
  std::string url = upstream.url();
  std::unique_ptr<GatewayServer> gateway;
  if (throughGateway) {
    gateway = std::make_unique<GatewayServer>(
        kCapability,
        YouTrackGatewayUpstream{
            upstream.url(), tls ? std::optional(upstream.certificateAuthority()) : std::nullopt},
        kToken, std::nullopt);
    url = "http://127.0.0.1:" + std::to_string(gateway->start()) + "/mcp";
    options.headers = {"X-Korvelin-Capability=" + kCapability};
  } else {
    options.headers = {"Authorization=Bearer " + kToken};
    if (tls)
      options.certificateAuthority = upstream.certificateAuthority();
  }
  const auto session = runMcpSession(*python, url, options);
  for (const auto& latency : session.at("latencies"))
    cached.push_back(latency.get<double>());
  std::sort(cached.begin(), cached.end());
  return cached;
}

double percentile(const std::vector<double>& sorted, double fraction) {
  return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * sorted.size()))];
}

void toolCalls(benchmark::State& state, bool tls, bool throughGateway, double fraction) {
  for (auto _ : state) {
    const auto latencies = toolCallLatencies(state, tls, throughGateway);
    if (latencies.empty())
      break;
    state.SetIterationTime(percentile(latencies, fraction));
    state.counters["calls"] = static_cast<double>(latencies.size());
  }
}

// The 64 MiB stream: a TLS upstream answering every request with it.
struct StreamUpstream {
  ScopedTempDir directory;
  std::string body = std::string(kStreamBytes, 'x');
  LoopbackHttpsServer server{directory.path(), [this](const std::string&) {
                               return LoopbackHttpsServer::Reply{httpResponse(
                                   "200 OK", "Content-Type: text/event-stream\r\n", body)};
                             }};
};

size_t countBytes(char*, size_t size, size_t count, void* total) {
  *static_cast<std::size_t*>(total) += size * count;
  return size * count;
}

void stream(benchmark::State& state, bool throughGateway) {
  static StreamUpstream upstream;
  std::unique_ptr<GatewayServer> gateway;
  std::string url = upstream.server.url("/mcp");
  curl_slist* headers = nullptr;
  if (throughGateway) {
    gateway = std::make_unique<GatewayServer>(
        kCapability,
        YouTrackGatewayUpstream{upstream.server.url("/mcp"), upstream.server.certificatePath()},
        kToken, std::nullopt);
    url = "http://127.0.0.1:" + std::to_string(gateway->start()) + "/mcp";
    headers = curl_slist_append(headers, ("X-Korvelin-Capability: " + kCapability).c_str());
  }
  for (auto _ : state) {
    CURL* easy = curl_easy_init();
    std::size_t received = 0;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_CAINFO, upstream.server.certificatePath().c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, countBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    const bool ok = curl_easy_perform(easy) == CURLE_OK && received == kStreamBytes;
    curl_easy_cleanup(easy);
    if (!ok) {
      state.SkipWithError("the stream was not relayed whole");
      break;
    }
  }
  curl_slist_free_all(headers);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kStreamBytes));
}

#define TOOL_CALLS(label, name, ...)               \
  BENCHMARK_CAPTURE(toolCalls, label, __VA_ARGS__) \
      ->Name(name)                                 \
      ->UseManualTime()                            \
      ->Unit(benchmark::kMillisecond)              \
      ->Iterations(1)

TOOL_CALLS(plainDirect, "YouTrackToolCallMedianPlain/baseline:direct", false, false, 0.5);
TOOL_CALLS(plainGateway, "YouTrackToolCallMedianPlain/gateway", false, true, 0.5);
TOOL_CALLS(plainDirect95, "YouTrackToolCallP95Plain/baseline:direct", false, false, 0.95);
TOOL_CALLS(plainGateway95, "YouTrackToolCallP95Plain/gateway", false, true, 0.95);
TOOL_CALLS(tlsDirect, "YouTrackToolCallMedianTLS/baseline:direct", true, false, 0.5);
TOOL_CALLS(tlsGateway, "YouTrackToolCallMedianTLS/gateway", true, true, 0.5);
TOOL_CALLS(tlsDirect95, "YouTrackToolCallP95TLS/baseline:direct", true, false, 0.95);
TOOL_CALLS(tlsGateway95, "YouTrackToolCallP95TLS/gateway", true, true, 0.95);

BENCHMARK_CAPTURE(stream, direct, false)
    ->Name("YouTrackStream64MiB/baseline:direct")
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(stream, gateway, true)
    ->Name("YouTrackStream64MiB/gateway")
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
