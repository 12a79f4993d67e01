#include "core/apps/ClaudeBrowserBridge.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/ParsedURL.h"
#include "core/base/SameSecret.h"
#include "core/files/FilePath.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/Paths.h"

namespace korvelin {

struct ClaudeBrowserBridge::Shared {
  Uuid profileID;
  std::string key;
  Handler handler;
  Limits limits;
  std::mutex lock;
  std::condition_variable ended;
  std::size_t active = 0;
};

namespace {

constexpr int kBacklog = 8;
constexpr double kOverCapWriteSeconds = 0.1;

// The hexadecimal digits of a UUID, lower case, without hyphens.
std::string compactHex(const Uuid& uuid) {
  auto text = uuid.lowercaseString();
  std::erase(text, '-');
  return text;
}

double seconds(std::chrono::milliseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

void answer(int fd, ClaudeBrowserBridgeDecision decision, double timeout) {
  try {
    auto line = ClaudeBrowserBridgeRequest::responseLine(decision);
    line.remove_suffix(1);  // writeLine adds the line feed
    GuardianProtocol::writeLine(line, fd, timeout);
  } catch (const KorvelinCoreError&) {
    // The peer went away or stopped reading: nothing more to tell it.
  }
}

void serve(ClaudeBrowserBridge::Shared& shared, int fd) {
  const double eachRead = seconds(shared.limits.eachRead);
  std::optional<std::string> url;
  try {
    if (platform::peerUserID(fd) == ::geteuid()) {
      const auto line = GuardianProtocol::readLine(
          fd, seconds(shared.limits.wholeRequest),
          static_cast<int>(ClaudeBrowserBridgeRequest::kMaximumBytes), eachRead);
      url = ClaudeBrowserBridgeRequest::acceptedURL(line, shared.key);
    }
  } catch (const KorvelinCoreError&) {
    // Silent, slow, oversized, cut short or not UTF-8.
  }
  auto decision = ClaudeBrowserBridgeDecision::declined;
  if (url) {
    try {
      decision = shared.handler(*url, shared.profileID);
    } catch (...) {
      decision = ClaudeBrowserBridgeDecision::declined;
    }
  }
  answer(fd, decision, eachRead);
}

}  // namespace

namespace ClaudeBrowserBridgeRequest {

std::optional<std::string> acceptedURL(std::string_view line, std::string_view key) {
  const auto request = nlohmann::json::parse(line, nullptr, false);
  if (!request.is_object())
    return std::nullopt;
  for (const auto& [name, value] : request.items())
    if (name != "v" && name != "key" && name != "url")
      return std::nullopt;
  const auto version = request.find("v");
  const auto sentKey = request.find("key");
  const auto sentURL = request.find("url");
  if (version == request.end() || !version->is_number_integer() || *version != 1 ||
      sentKey == request.end() || !sentKey->is_string() || sentURL == request.end() ||
      !sentURL->is_string() || !sameSecret(sentKey->get_ref<const std::string&>(), key))
    return std::nullopt;
  const auto& url = sentURL->get_ref<const std::string&>();
  const auto parsed = ParsedURL::parse(url);
  if (!parsed)
    return std::nullopt;
  const auto scheme = parsed->part(ParsedURL::Part::scheme);
  if ((scheme != "http" && scheme != "https") || parsed->carries(ParsedURL::Part::user) ||
      parsed->carries(ParsedURL::Part::password))
    return std::nullopt;
  return url;
}

std::string_view responseLine(ClaudeBrowserBridgeDecision decision) {
  return decision == ClaudeBrowserBridgeDecision::handled ? "{\"result\":\"pane\"}\n"
                                                          : "{\"result\":\"declined\"}\n";
}

std::optional<ClaudeBrowserBridgeDecision> ask(std::string_view bridgeVariable,
                                               std::string_view url) {
  const auto bridge = nlohmann::json::parse(bridgeVariable, nullptr, false);
  if (!bridge.is_object() || !bridge.contains("socket") || !bridge["socket"].is_string() ||
      !bridge.contains("key") || !bridge["key"].is_string())
    return std::nullopt;
  const nlohmann::json request = {{"v", 1}, {"key", bridge["key"]}, {"url", url}};
  auto socket = platform::newLocalStreamSocket(true);
  if (!socket ||
      platform::connectLocal(socket.get(), bridge["socket"].get_ref<const std::string&>()) != 0)
    return std::nullopt;
  const double timeout = seconds(ClaudeBrowserBridgeLimits{}.eachRead);
  try {
    GuardianProtocol::writeLine(request.dump(), socket.get(), timeout);
    const auto answer = GuardianProtocol::readLine(socket.get(), timeout, 64);
    for (const auto decision :
         {ClaudeBrowserBridgeDecision::handled, ClaudeBrowserBridgeDecision::declined})
      if (answer + "\n" == responseLine(decision))
        return decision;
  } catch (const KorvelinCoreError&) {
  }
  return std::nullopt;
}

}  // namespace ClaudeBrowserBridgeRequest

std::map<std::string, std::string> ClaudeBrowserBridgeConfiguration::environment() const {
  const nlohmann::json bridge = {{"socket", socketPath}, {"key", key}};
  return {{"BROWSER", pathFromFileURL(shimURL).value_or("")},
          {"CLAUDE_BROWSER_BRIDGE", bridge.dump()}};
}

ClaudeBrowserBridge::ClaudeBrowserBridge(const Uuid& profileID,
                                         std::string_view shimPath,
                                         std::optional<std::string> key,
                                         Handler handler,
                                         Limits limits)
    : shared_(std::make_shared<Shared>()),
      shimURL_(fileURLString(standardizedPath(shimPath), false)) {
  shared_->profileID = profileID;
  shared_->key = key ? std::move(*key) : compactHex(Uuid::random()) + compactHex(Uuid::random());
  shared_->handler = std::move(handler);
  shared_->limits = limits;
}

ClaudeBrowserBridge::~ClaudeBrowserBridge() {
  stop();
  std::unique_lock guard(shared_->lock);
  shared_->ended.wait(guard, [&] { return shared_->active == 0; });
}

ClaudeBrowserBridgeConfiguration ClaudeBrowserBridge::start() {
  std::lock_guard guard(lock_);
  if (listener_) {
    if (!socketPath_)
      throw KorvelinCoreError::profilePreparationFailed("browser bridge is already running");
    return {*socketPath_, shared_->key, shimURL_};
  }
  const std::string path = std::string(platform::kTemporaryDirectory) + "/korvelin-" +
                           compactHex(shared_->profileID).substr(0, 12) + "-" +
                           compactHex(Uuid::random()).substr(0, 12) + ".sock";
  if (path.size() > platform::kMaxLocalSocketPathBytes)
    throw KorvelinCoreError::profilePreparationFailed("browser bridge socket path is too long");

  auto listener = platform::newLocalStreamSocket(true);
  platform::ScopedFD wakeRead, wakeWrite;
  if (!listener || !platform::newPipe(wakeRead, wakeWrite))
    throw KorvelinCoreError::profilePreparationFailed("browser bridge socket could not be created");
  if (platform::bindLocal(listener.get(), path) != 0)
    // Never unlink here: whatever holds that name is not ours.
    throw KorvelinCoreError::profilePreparationFailed("browser bridge socket could not be started");
  struct stat bound {};
  if (::lstat(path.c_str(), &bound) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
      ::listen(listener.get(), kBacklog) != 0) {
    ::unlink(path.c_str());
    throw KorvelinCoreError::profilePreparationFailed("browser bridge socket could not be started");
  }
  socketFile_ = {static_cast<unsigned long long>(bound.st_dev),
                 static_cast<unsigned long long>(bound.st_ino)};
  acceptThread_ = std::thread([this, listenerFD = listener.get(),
                               wake = std::make_shared<platform::ScopedFD>(std::move(wakeRead))] {
    acceptLoop(listenerFD, wake->get());
  });
  listener_ = std::move(listener);
  wakeWrite_ = std::move(wakeWrite);
  socketPath_ = path;
  return {path, shared_->key, shimURL_};
}

void ClaudeBrowserBridge::stop() {
  std::thread acceptThread;
  platform::ScopedFD listener, wake;
  std::optional<std::string> path;
  {
    std::lock_guard guard(lock_);
    acceptThread = std::move(acceptThread_);
    listener = std::move(listener_);
    wake = std::move(wakeWrite_);
    path = std::exchange(socketPath_, std::nullopt);
  }
  if (wake) {
    const char byte = 0;
    platform::retryOnEintr([&] { return ::write(wake.get(), &byte, 1); });
  }
  if (acceptThread.joinable())
    acceptThread.join();
  struct stat current {};
  if (listener && path && ::lstat(path->c_str(), &current) == 0 &&
      static_cast<unsigned long long>(current.st_dev) == socketFile_.first &&
      static_cast<unsigned long long>(current.st_ino) == socketFile_.second)
    ::unlink(path->c_str());
}

const std::string& ClaudeBrowserBridge::key() const {
  return shared_->key;
}

std::size_t ClaudeBrowserBridge::activeConnections() const {
  std::lock_guard guard(shared_->lock);
  return shared_->active;
}

void ClaudeBrowserBridge::acceptLoop(int listener, int wake) {
  for (;;) {
    pollfd events[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    if (platform::retryOnEintr([&] { return ::poll(events, 2, -1); }) < 0 || events[1].revents != 0)
      return;
    // The listener does not block: accept until the backlog is drained.
    for (;;) {
      auto connection = platform::acceptConnection(listener, true);
      if (!connection) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINVAL || errno == EBADF)
          break;
        continue;  // a connection that died in the backlog
      }
      bool admitted = false;
      {
        std::lock_guard guard(shared_->lock);
        if (shared_->active < shared_->limits.connections) {
          ++shared_->active;
          admitted = true;
        }
      }
      if (!admitted) {
        // A fresh connection's buffer has room for the line at once.
        answer(connection.get(), ClaudeBrowserBridgeDecision::declined, kOverCapWriteSeconds);
        continue;
      }
      std::thread([shared = shared_,
                   fd = std::make_shared<platform::ScopedFD>(std::move(connection))]() mutable {
        serve(*shared, fd->get());
        fd->reset();
        std::lock_guard guard(shared->lock);
        --shared->active;
        shared->ended.notify_all();
      }).detach();
    }
  }
}

}  // namespace korvelin
