#include "tests/support/GuardianHarness.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"

namespace korvelin::testing {

using platform::retryOnEintr;
using platform::ScopedFD;

std::string engineConfiguration(std::uint16_t port) {
  const nlohmann::json configuration = {
      {"log", {{"loglevel", "warning"}}},
      {"inbounds",
       {{{"listen", "127.0.0.1"},
         {"port", port},
         {"protocol", "socks"},
         {"settings", {{"auth", "noauth"}, {"udp", false}}}}}},
      {"outbounds", {{{"protocol", "freedom"}}}},
  };
  return configuration.dump();
}

std::string randomCapability() {
  std::string hex = Uuid::random().lowercaseString() + Uuid::random().lowercaseString();
  std::erase(hex, '-');
  return hex;
}

std::optional<LiveProcessIdentity> identityOnceRunning(pid_t pid, const std::string& program) {
  const auto executable = std::filesystem::canonical(program).string();
  std::optional<LiveProcessIdentity> identity;
  eventually([&] {
    identity = LiveProcessIdentity::capture(pid);
    return identity && identity->executable == executable;
  });
  return identity;
}

GuardianProcess::GuardianProcess(Options options)
    : capability_(randomCapability()),
      generation_(Uuid::random()),
      socketPath_(guardianSocketPath(generation_)) {
  std::vector<std::string> argv = options.prefix;
  argv.insert(argv.end(), {guardianPath(), "--xray", options.engine, "--socket", socketPath_});
  const Activation activation{capability_, options.configuration, generation_};
  SubprocessOptions processOptions;
  processOptions.keepStdinOpen = true;
  processOptions.standardInput = activation.encode() + "\n";
  process_ = std::make_unique<Subprocess>(argv, processOptions);
}

GuardianProcess::~GuardianProcess() {
  // Let the guardian stop its engine itself; killing it outright would leave
  // the engine running as an orphan.
  process_->closeStdin();
  if (!process_->wait(std::chrono::seconds(5)) && enginePid_ > 0)
    ::kill(enginePid_, SIGKILL);
  process_.reset();
  ::unlink(socketPath_.c_str());
}

bool GuardianProcess::waitUntilReady(std::chrono::milliseconds timeout) {
  if (!process_->waitForOutput("\n", timeout))
    return false;
  auto line = process_->output();
  line.pop_back();
  auto engine = parseReadyLine(line);
  if (!engine)
    return false;
  enginePid_ = *engine;
  // Absent for a guardian of another user; requests then fail as they should.
  identity_ = LiveProcessIdentity::capture(pid());
  return true;
}

GuardianEndpoint GuardianProcess::endpoint() const {
  return {kGuardianProtocolVersion, identity_, pid(), generation_, socketPath_, capability_};
}

std::string GuardianProcess::request(std::string_view command,
                                     std::optional<std::string_view> payload) const {
  return requestGuardian(endpoint(), command, payload);
}

std::string GuardianProcess::requestLine(std::string_view command,
                                         std::optional<std::string_view> payload) const {
  return formatGuardianRequest(command, capability_, generation_, payload);
}

std::optional<std::string> rawExchange(const std::string& socketPath,
                                       const std::string& bytes,
                                       std::chrono::milliseconds timeout) {
  ScopedFD socket = platform::newLocalStreamSocket(/*nonBlocking=*/false);
  if (!socket || platform::connectLocal(socket.get(), socketPath) != 0)
    return std::nullopt;
  // A peer that refuses early may close before the request is sent: that
  // shows as EPIPE or a reset here, and as end-of-file below.
  if (!bytes.empty() && platform::sendNoSignal(socket.get(), bytes.data(), bytes.size()) < 0 &&
      errno != EPIPE && errno != ECONNRESET)
    return std::nullopt;
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return std::nullopt;
    pollfd entry{socket.get(), POLLIN, 0};
    if (retryOnEintr([&] { return ::poll(&entry, 1, static_cast<int>(left.count())); }) <= 0)
      continue;
    char buffer[4096];
    const ssize_t count = retryOnEintr([&] { return ::read(socket.get(), buffer, sizeof buffer); });
    if (count <= 0)
      return received;  // closed (a reset counts as closed too)
    received.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace korvelin::testing
