// What the proxy engine costs a profile's traffic: a 64 MiB download and
// 1,000 small requests through the SOCKS5 port of a real Xray client that
// talks VLESS over TCP+REALITY to a server on loopback, each as a ratio to
// the same transfer made straight to the endpoint in the same run. This is
// the engine's cost, not ours: the floor for everything we later put on the
// same path. Skipped, with the reason, when the engine was not built.

#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "core/proxy/VLESSConnection.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/RealXray.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace {

using namespace korvelin::testing;
using korvelin::demo::LoopbackEchoServer;

constexpr long kBulkBytes = 64L << 20;
constexpr int kSmallRequests = 1000;

// One set of peers for every benchmark of the run.
struct Loopback {
  std::string unavailable;
  ScopedTempDir directory;
  LoopbackEchoServer echo;
  std::unique_ptr<XrayServer> server;
  std::unique_ptr<XrayClient> client;

  Loopback() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const auto xray = realXrayPath(unavailable);
    if (!xray)
      return;
    server = std::make_unique<XrayServer>(*xray, directory.path(), VlessShape::realityTCP);
    client = std::make_unique<XrayClient>(
        *xray, korvelin::VLESSRealityConfiguration(server->link()).xrayJSON(freeLoopbackPort()),
        directory.child("client.log"));
  }
};

Loopback& loopback() {
  static Loopback peers;
  return peers;
}

size_t countBytes(char*, size_t size, size_t count, void* total) {
  *static_cast<long*>(total) += static_cast<long>(size * count);
  return size * count;
}

// A curl handle that goes straight to the endpoint, or through the client's
// SOCKS5 port; `fresh` makes every request open its own connection.
class Fetcher {
 public:
  Fetcher(bool proxied, bool fresh) : easy_(curl_easy_init()) {
    const std::string proxy =
        proxied ? "socks5h://127.0.0.1:" + std::to_string(loopback().client->socksPort()) : "";
    curl_easy_setopt(easy_, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, countBytes);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &received_);
    curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    if (fresh) {
      curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
    }
  }
  ~Fetcher() { curl_easy_cleanup(easy_); }

  // The body's length, or -1 when the request failed.
  long get(const std::string& url) {
    received_ = 0;
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    return curl_easy_perform(easy_) == CURLE_OK ? received_ : -1;
  }

 private:
  CURL* easy_;
  long received_ = 0;
};

bool ready(benchmark::State& state) {
  if (!loopback().unavailable.empty()) {
    state.SkipWithError(("real Xray unavailable: " + loopback().unavailable).c_str());
    return false;
  }
  return true;
}

void bulk(benchmark::State& state, bool proxied) {
  if (!ready(state))
    return;
  Fetcher fetcher(proxied, false);
  const std::string url = loopback().echo.url("/bytes/" + std::to_string(kBulkBytes));
  for (auto _ : state) {
    if (fetcher.get(url) != kBulkBytes) {
      state.SkipWithError("the transfer failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBulkBytes);
}

void smallRequests(benchmark::State& state, bool proxied, bool fresh) {
  if (!ready(state))
    return;
  Fetcher fetcher(proxied, fresh);
  const std::string url = loopback().echo.url();
  for (auto _ : state) {
    for (int i = 0; i < kSmallRequests; ++i) {
      if (fetcher.get(url) <= 0) {
        state.SkipWithError("a request failed");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kSmallRequests);
}

// Fixed iteration counts keep the run short: one proxied pass of 1,000 new
// connections takes seconds.
#define XRAY_BENCHMARK(function, label, name, iterations, ...) \
  BENCHMARK_CAPTURE(function, label, __VA_ARGS__)              \
      ->Name(name)                                             \
      ->MeasureProcessCPUTime()                                \
      ->Unit(benchmark::kMillisecond)                          \
      ->Iterations(iterations)                                 \
      ->UseRealTime()

XRAY_BENCHMARK(bulk, direct, "XrayTransfer64MiB/baseline:direct", 10, false);
XRAY_BENCHMARK(bulk, reality, "XrayTransfer64MiB/realityTCP", 10, true);
XRAY_BENCHMARK(smallRequests, direct, "Xray1000RequestsKeepAlive/baseline:direct", 3, false, false);
XRAY_BENCHMARK(smallRequests, reality, "Xray1000RequestsKeepAlive/realityTCP", 3, true, false);
// Last, and once: every proxied request opens four loopback connections
// (curl, client, server to decoy, server to endpoint), and their TIME_WAIT
// remains hold ephemeral ports for a minute. More rounds, or a second run
// within that minute, make connect itself slower and the figures meaningless.
XRAY_BENCHMARK(smallRequests,
               direct,
               "Xray1000RequestsNewConnection/baseline:direct",
               1,
               false,
               true);
XRAY_BENCHMARK(smallRequests, reality, "Xray1000RequestsNewConnection/realityTCP", 1, true, true);

}  // namespace
