// What a link costs on its way through a Claude profile's browser bridge:
// a browser shim's whole exchange (connect, request line, answer) with a
// bridge whose decision is immediate, against the same exchange with a bare
// Unix-domain server that reads the line and answers, in the same run. The difference is the
// bridge's own work: a thread per connection, the bounded reads, the JSON and key checks.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/apps/ClaudeBrowserBridge.h"
#include "tests/support/TempDir.h"

namespace {

using namespace korvelin;

constexpr const char* kURL = "https://claude.ai/oauth/authorize?state=bench";

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// The shim's exchange against the bare server: connect, send, read the answer.
bool exchange(const std::string& path, const std::string& line) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto address = addressOf(path);
  bool answered = false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
    char buffer[64];
    answered = ::read(fd, buffer, sizeof buffer) > 0;
  }
  ::close(fd);
  return answered;
}

void baselineBareSocket(benchmark::State& state) {
  korvelin::testing::ScopedTempDir directory;
  const std::string path = directory.path() + "/bare.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto address = addressOf(path);
  ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::listen(listener, 64);
  std::atomic<bool> done{false};
  std::thread server([&] {
    while (!done) {
      pollfd entry{listener, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0)
        continue;
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0)
        continue;
      char buffer[512];
      for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;)
        if (std::memchr(buffer, '\n', static_cast<std::size_t>(n)))
          break;
      const std::string answer = "{\"result\":\"pane\"}\n";
      [[maybe_unused]] auto sent = ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(connection);
    }
  });
  const std::string line =
      nlohmann::json{{"v", 1}, {"key", std::string(64, 'a')}, {"url", kURL}}.dump() + "\n";
  for (auto _ : state)
    if (!exchange(path, line))
      state.SkipWithError("the bare server did not answer");
  done = true;
  server.join();
  ::close(listener);
}
BENCHMARK(baselineBareSocket)
    ->Name("BrowserBridge/baseline:bare socket")
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void shimThroughBridge(benchmark::State& state) {
  ClaudeBrowserBridge bridge(
      Uuid::random(), "/usr/bin/true", std::nullopt,
      [](const std::string&, const Uuid&) { return ClaudeBrowserBridgeDecision::handled; });
  const auto variable = bridge.start().environment().at("CLAUDE_BROWSER_BRIDGE");
  for (auto _ : state)
    if (ClaudeBrowserBridgeRequest::ask(variable, kURL) != ClaudeBrowserBridgeDecision::handled)
      state.SkipWithError("the bridge did not take the link");
  bridge.stop();
}
BENCHMARK(shimThroughBridge)
    ->Name("BrowserBridge/shim through the bridge")
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace
