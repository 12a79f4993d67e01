#include "cli/HostClient.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ProcessInfo.h"
#include "core/process/ChildProcess.h"

extern char** environ;

namespace korvelin::cli {
namespace {

using namespace std::chrono_literals;

constexpr int kStartAttempts = 3;
// Re-adopting what a crashed host left may take a while (a guardian that
// does not answer is waited for): the new host says "ready" only after it.
constexpr auto kReadyTimeLimit = 60s;

bool sendLine(int fd, const std::string& line) {
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = platform::sendNoSignal(fd, line.data() + sent, line.size() - sent);
    if (n <= 0)
      return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int failWithHostReply(const nlohmann::json& reply) {
  const auto message = reply.value("message", std::string("the host refused the request"));
  return failComposed(message);
}

int startHost(const GlobalOptions& global,
              bool exitWhenIdle,
              const std::vector<std::string>& options) {
  const auto self = platform::executablePath(static_cast<std::int32_t>(::getpid()));
  if (!self)
    throw KorvelinCoreError::processLaunchFailed("could not find this program's own path");
  std::vector<std::string> arguments{"--base", standardizedPath(global.baseDirectory), "host",
                                     "--foreground", "--notify-ready"};
  if (exitWhenIdle)
    arguments.push_back("--exit-when-idle");
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable)
    environment.emplace_back(*variable);
  platform::ScopedFD readEnd, writeEnd;
  if (!platform::newPipe(readEnd, writeEnd))
    throw KorvelinCoreError::processLaunchFailed("could not create a pipe");
  ChildProcess host;
  if (!host.launch(*self, arguments, environment, -1, writeEnd.get(), /*newSession=*/true))
    throw KorvelinCoreError::processLaunchFailed("could not start the host");
  writeEnd.reset();
  // One line: "ready", or the host's reason for not starting.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeLimit;
  while (line.find('\n') == std::string::npos && line.size() < 4096) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{readEnd.get(), POLLIN, 0};
    if (left.count() <= 0 || platform::retryOnEintr([&] {
                               return ::poll(&entry, 1, static_cast<int>(left.count()));
                             }) <= 0)
      throw KorvelinCoreError::processLaunchFailed("the host did not start in time");
    char chunk[512];
    const ssize_t got = platform::retryOnEintr([&] { return ::read(readEnd.get(), chunk, 512); });
    if (got <= 0)
      break;
    line.append(chunk, static_cast<std::size_t>(got));
  }
  line = line.substr(0, line.find('\n'));
  if (line != "ready") {
    host.waitForExit(2s, 10ms);
    throw KorvelinCoreError::processLaunchFailed(
        line.starts_with("error: ") ? line.substr(7) : "the host ended while starting");
  }
  return host.pid();
}

std::unique_ptr<ApplicationInstanceLease> borrowHostLease(const GlobalOptions& global) {
  auto connection = connectToHost(global.baseDirectory);
  HostRequest request;
  request.operation = HostOperation::lease;
  if (!connection || !sendLine(connection.get(), encodeHostRequest(request).dump() + "\n"))
    return nullptr;
  auto lock = platform::receiveDescriptor(connection.get(), 5000);
  if (!lock)
    return nullptr;
  // Only the base's own lock file, still holding its lock, is a lease.
  const std::string path = appendingPathComponent(standardizedPath(global.baseDirectory),
                                                  ApplicationInstanceLease::fileName);
  struct stat opened, named;
  if (::fstat(lock.get(), &opened) != 0 || ::lstat(path.c_str(), &named) != 0 ||
      !S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
      opened.st_uid != ::geteuid() || (opened.st_mode & 07777) != 0600 ||
      platform::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0)
    return nullptr;
  return ApplicationInstanceLease::borrowed(std::move(lock));
}

namespace {

// The exchange; otherwise `status` is set after a one-line failure, or
// `noHost` when none runs and none may be started.
std::optional<HostExchange> sendToHost(const GlobalOptions& global,
                                       const HostRequest& request,
                                       int& status,
                                       bool& noHost) {
  status = kExitFailure;
  noHost = false;
  const std::string line = encodeHostRequest(request).dump() + "\n";
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    auto connection = connectToHost(global.baseDirectory);
    if (!connection) {
      if (global.noHostStart) {
        noHost = true;
        return std::nullopt;
      }
      startHost(global, /*exitWhenIdle=*/true);
      connection = connectToHost(global.baseDirectory);
      if (!connection)
        continue;
    }
    if (!sendLine(connection.get(), line))
      continue;
    HostReplyReader reader(std::move(connection));
    bool closed = false;
    auto first = reader.next(-1, closed);
    if (!first)
      continue;  // a host that was exiting: nothing was done, try a new one
    if (first->value("event", "") == "error") {
      if (first->value("code", "") == "hostExiting") {
        std::this_thread::sleep_for(50ms);
        continue;
      }
      status = failWithHostReply(*first);
      return std::nullopt;
    }
    return HostExchange{std::move(reader), std::move(*first)};
  }
  status = fail("the host did not answer; try again");
  return std::nullopt;
}

// Asks the host to stop the run, without waiting for it; absent once the
// host is gone.
std::optional<HostReplyReader> requestStop(const GlobalOptions& global,
                                           const Uuid& profileID,
                                           double stopTimeout) {
  HostRequest request;
  request.operation = HostOperation::stop;
  request.profileID = profileID;
  request.timeout = stopTimeout;
  auto connection = connectToHost(global.baseDirectory);
  if (!connection || !sendLine(connection.get(), encodeHostRequest(request).dump() + "\n"))
    return std::nullopt;
  return HostReplyReader(std::move(connection));
}

// The outcome of a stop asked for, once the host gave it; true when it is
// still to come. Its steps are skipped: they also reach the client on the
// run's own connection.
bool stopPending(HostReplyReader& stop, const Uuid& profileID, double stopTimeout, bool json) {
  bool closed = false;
  auto reply = stop.next(0, closed);
  while (reply && hostStep(*reply))
    reply = stop.next(0, closed);
  if (!reply)
    return !closed;
  if (reply->value("code", "") == "stopTimedOut") {
    std::ostringstream seconds;
    seconds << stopTimeout;
    if (json)
      std::cout << nlohmann::json{{"event", "stop_timed_out"},
                                  {"profileID", profileID.uppercaseString()}}
                       .dump()
                << std::endl;
    else
      say(
          {"the program did not stop within {0} s; still supervising it (send the signal "
           "again to ask "
           "again)",
           {seconds.str()}});
  } else if (reply->value("event", "") == "error") {
    failWithHostReply(*reply);
  }
  return false;
}

}  // namespace

std::optional<int> throughHost(const GlobalOptions& global,
                               const HostRequest& request,
                               const std::function<int(HostExchange&)>& served) {
  int status = kExitFailure;
  bool noHost = false;
  auto exchange = sendToHost(global, request, status, noHost);
  if (noHost)
    return std::nullopt;
  if (!exchange)
    return status;
  return served(*exchange);
}

std::optional<ProfileLaunchProgress> hostStep(const nlohmann::json& line) {
  if (line.value("event", "") != "step")
    return std::nullopt;
  const auto step = profileLaunchStepNamed(line.value("step", ""));
  if (!step)
    return std::nullopt;
  return ProfileLaunchProgress{*step, line.value("detail", "")};
}

std::optional<ProcessSnapshot> followHostedRun(
    HostExchange& exchange,
    const GlobalOptions& global,
    const Uuid& profileID,
    double stopTimeout,
    const sigset_t& stopSignals,
    bool json,
    const std::function<void(const nlohmann::json&)>& line) {
  std::vector<HostReplyReader> stops;
  for (;;) {
    bool closed = false;
    auto reply = exchange.reader.next(100, closed);
    if (reply) {
      if (reply->value("event", "") == "completed")
        return reply->at("run").get<ProcessSnapshot>();
      if (line)
        line(*reply);
    }
    if (closed)
      break;
    std::erase_if(stops, [&](HostReplyReader& stop) {
      return !stopPending(stop, profileID, stopTimeout, json);
    });
    timespec none{0, 0};
    const int signal = ::sigtimedwait(&stopSignals, nullptr, &none);
    if (signal > 0) {
      if (!json)
        say({"stopping ({0})...", {::strsignal(signal)}});
      auto stop = requestStop(global, profileID, stopTimeout);
      if (!stop)
        break;
      stops.push_back(std::move(*stop));
    }
  }
  fail("the host ended before the run did; `korvelin ps` shows whether it still runs");
  return std::nullopt;
}

}  // namespace korvelin::cli
