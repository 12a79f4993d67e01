#include "core/codex/CodexUsageAppServerClient.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/files/FilePath.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ProcessExit.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/ScopedSigpipeBlock.h"
#include "core/process/ChildProcess.h"

namespace korvelin {

namespace {

using nlohmann::json;
using platform::retryOnEintr;
using platform::ScopedFD;
using SteadyClock = std::chrono::steady_clock;

constexpr EnumNames<CodexUsageMonitorEvent::Kind, 3> kEventKindNames{{
    {CodexUsageMonitorEvent::Kind::snapshot, "snapshot"},
    {CodexUsageMonitorEvent::Kind::unavailable, "unavailable"},
    {CodexUsageMonitorEvent::Kind::disconnected, "disconnected"},
}};

// The variables of the host's environment the backend may see, in order.
constexpr std::array<const char*, 5> kInheritedVariables = {"PATH", "TMPDIR", "LANG", "LC_ALL",
                                                            "SHELL"};

// How much of the child's output one read takes.
constexpr std::size_t kReadChunk = 64 * 1024;

constexpr std::string_view kRateLimitsUpdated = "account/rateLimits/updated";
constexpr std::string_view kTokenUsageUpdated = "thread/tokenUsage/updated";

CodexUsageDate systemNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> inheritedHostEnvironment() {
  std::vector<std::string> result;
  for (const char* name : kInheritedVariables)
    if (const char* value = std::getenv(name))
      result.push_back(std::string(name) + "=" + value);
  return result;
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    throw KorvelinCoreError::codexUsageProtocolFailed("connection is unavailable");
}

}  // namespace

struct CodexUsageEventStream::Sink {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<CodexUsageMonitorEvent> events;
  bool finished = false;

  void yield(CodexUsageMonitorEvent event) {
    {
      std::lock_guard lock(mutex);
      if (finished)
        return;
      events.push_back(std::move(event));
    }
    changed.notify_all();
  }

  void finish() {
    {
      std::lock_guard lock(mutex);
      finished = true;
    }
    changed.notify_all();
  }
};

namespace detail {

// One subscription: the child, its pipes and the conversation. Everything
// but `stop` runs on the session's own thread, one step at a time.
class CodexUsageSession {
 public:
  struct Settings {
    CodexInstallation installation;
    ProfilePaths paths;
    std::optional<ProfileProxyConfiguration> proxy;
    std::string managedBaseDirectory;
    std::string approvalBaseDirectory;
    double refreshInterval;
    CodexUsageAppServerClient::Clock now;
    CodexUsageAppServerClient::Inspector inspect;
    std::vector<std::string> hostEnvironment;
  };

  CodexUsageSession(Settings settings, std::shared_ptr<CodexUsageEventStream::Sink> sink)
      : settings_(std::move(settings)), sink_(std::move(sink)) {
    if (!platform::newPipe(wakeRead_, wakeWrite_))
      throw KorvelinCoreError::codexUsageProtocolFailed("connection is unavailable");
    setNonBlocking(wakeRead_.get());
    setNonBlocking(wakeWrite_.get());
  }

  // The session thread's body: start, converse until finished, then make
  // sure the child is gone and reaped.
  void run() {
    try {
      start();
    } catch (...) {
      sink_->yield(
          CodexUsageMonitorEvent::makeUnavailable(CodexUsageUnavailableReason::connectionFailed));
      finish(false);
    }
    while (!isFinished())
      step();
    if (child_.pid() > 0)
      child_.terminateAndReap();
  }

  // Any thread: asks the session to finish without a closing event.
  void stop() {
    stopRequested_ = true;
    const char byte = 0;
    [[maybe_unused]] const auto ignored =
        retryOnEintr([&] { return ::write(wakeWrite_.get(), &byte, 1); });
  }

 private:
  bool isFinished() {
    std::lock_guard lock(mutex_);
    return finished_;
  }

  void start() {
    ProfilePreparer(settings_.managedBaseDirectory).validatePrepared(settings_.paths);
    const CodexInstallation fresh =
        settings_.inspect(settings_.installation, settings_.approvalBaseDirectory);
    if (fresh != settings_.installation || !isLaunchApproved(fresh.compatibilityStatus))
      throw KorvelinCoreError::installationChanged();
    if (!(settings_.refreshInterval >= CodexUsageAppServerClient::kMinimumRefreshInterval))
      throw KorvelinCoreError::codexUsageProtocolFailed("refresh interval is too short");
    launch();
  }

  void launch() {
    const auto backend = pathFromFileURL(settings_.installation.backendURL);
    if (!backend)
      throw KorvelinCoreError::missingBackend(settings_.installation.backendURL);
    ScopedFD inputRead, outputWrite, errorWrite;
    if (!platform::newPipe(inputRead, input_) || !platform::newPipe(output_, outputWrite) ||
        !platform::newPipe(errorOutput_, errorWrite))
      throw KorvelinCoreError::processLaunchFailed("pipe: " + platform::errorText(errno));
    // The child ends with this thread however the host ends; an orderly
    // end reaps it first.
    if (!child_.launch(*backend, {"app-server"},
                       CodexUsageAppServerClient::environment(settings_.hostEnvironment,
                                                              settings_.paths, settings_.proxy),
                       inputRead.get(), outputWrite.get(), false, true, errorWrite.get()))
      throw KorvelinCoreError::processLaunchFailed(*backend + ": " + platform::errorText(errno));
    exitWatch_ = platform::watchProcessExit(child_.pid());
    if (!exitWatch_)
      throw KorvelinCoreError::processLaunchFailed(*backend + ": " + platform::errorText(errno));
    setNonBlocking(output_.get());
    setNonBlocking(errorOutput_.get());

    send({{"method", "initialize"},
          {"id", 1},
          {"params",
           {{"clientInfo", {{"name", "korvelin"}, {"title", "Korvelin"}, {"version", "0.1.0"}}}}}});
    send({{"method", "initialized"}, {"params", json::object()}});
    requestRateLimits();
    interval_ = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(settings_.refreshInterval));
    nextPoll_ = SteadyClock::now() + interval_;
  }

  // One message, compact, as one line in one write.
  void send(const json& message) {
    if (!input_ || !message.is_object())
      throw KorvelinCoreError::codexUsageProtocolFailed("connection is unavailable");
    const std::string line = message.dump() + "\n";
    platform::ScopedSigpipeBlock noSigpipe;
    if (!platform::writeFull(input_.get(), line))
      throw KorvelinCoreError::codexUsageProtocolFailed("connection is unavailable");
  }

  // At most one read is outstanding: none is sent until the pending one is
  // answered.
  void requestRateLimits() {
    if (pendingRateLimitRequestID_)
      return;
    const std::int64_t id = nextRequestID_++;
    pendingRateLimitRequestID_ = id;
    try {
      send({{"method", "account/rateLimits/read"}, {"id", id}});
    } catch (...) {
      pendingRateLimitRequestID_.reset();
      throw;
    }
  }

  // Waits for the next thing to happen and handles it.
  void step() {
    std::array<pollfd, 4> fds = {{{wakeRead_.get(), POLLIN, 0},
                                  {output_.get(), POLLIN, 0},
                                  {errorOutput_.get(), POLLIN, 0},
                                  {exitWatch_.get(), POLLIN, 0}}};
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextPoll_ - SteadyClock::now());
    const int timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 60'000));
    if (retryOnEintr([&] { return ::poll(fds.data(), fds.size(), timeout); }) < 0)
      return finish(true);
    if (fds[0].revents != 0) {
      drain(wakeRead_.get());
      if (stopRequested_)
        return finish(false);
    }
    if (fds[1].revents != 0)
      readOutput();
    if (fds[2].revents != 0 && !drain(errorOutput_.get()))
      errorOutput_.reset();
    if (isFinished())
      return;
    if (fds[3].revents != 0) {
      // Whatever the child wrote before it went is still read.
      readOutput();
      return finish(true);
    }
    if (SteadyClock::now() >= nextPoll_) {
      while (nextPoll_ <= SteadyClock::now())
        nextPoll_ += interval_;
      try {
        requestRateLimits();
      } catch (...) {
        finish(true);
      }
    }
  }

  // Reads and discards what is available; false at end of file.
  static bool drain(int fd) {
    char discard[4096];
    for (;;) {
      const ssize_t n = retryOnEintr([&] { return ::read(fd, discard, sizeof discard); });
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        return false;
      if (n < 0)
        return true;
    }
  }

  void readOutput() {
    std::string chunk(kReadChunk, '\0');
    while (output_ && !isFinished()) {
      const ssize_t n =
          retryOnEintr([&] { return ::read(output_.get(), chunk.data(), chunk.size()); });
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
      if (n <= 0) {
        output_.reset();  // end of output: nothing more to read, nothing to do
        return;
      }
      consume(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
    }
  }

  void consume(std::string_view data) {
    if (isFinished())
      return;
    buffer_.append(data);
    std::size_t start = 0;
    for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
      if (end > start)
        consumeLine(std::string_view(buffer_).substr(start, end - start));
      if (isFinished())
        return;
    }
    buffer_.erase(0, start);
    if (buffer_.size() > CodexUsageMessageParser::kMaximumLineBytes) {
      sink_->yield(
          CodexUsageMonitorEvent::makeUnavailable(CodexUsageUnavailableReason::invalidResponse));
      finish(false);
    }
  }

  void consumeLine(std::string_view line) {
    const json message = json::parse(line.begin(), line.end(), nullptr, false);
    if (message.is_discarded() || !message.is_object())
      return unavailable(CodexUsageUnavailableReason::invalidResponse);
    const auto idMember = message.find("id");
    const auto id = jsonInteger(idMember == message.end() ? nullptr : &*idMember);
    if (id && pendingRateLimitRequestID_ && *id == *pendingRateLimitRequestID_) {
      pendingRateLimitRequestID_.reset();
      if (const auto error = message.find("error"); error != message.end() && error->is_object()) {
        const auto text = error->find("message");
        const bool authentication = text != error->end() && text->is_string() &&
                                    text->get_ref<const std::string&>().find(
                                        "authentication required") != std::string::npos;
        return unavailable(authentication ? CodexUsageUnavailableReason::authenticationRequired
                                          : CodexUsageUnavailableReason::unsupportedProtocol);
      }
      try {
        current_ = CodexUsageMessageParser::parseRateLimitsResponse(line, settings_.now());
        sink_->yield(CodexUsageMonitorEvent::makeSnapshot(*current_));
      } catch (const KorvelinCoreError&) {
        unavailable(CodexUsageUnavailableReason::invalidResponse);
      }
      return;
    }
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string() ||
        (*method != kRateLimitsUpdated && *method != kTokenUsageUpdated) || !current_)
      return;
    try {
      current_ = CodexUsageMessageParser::mergeNotification(line, *current_, settings_.now());
      sink_->yield(CodexUsageMonitorEvent::makeSnapshot(*current_));
    } catch (const KorvelinCoreError&) {
      unavailable(CodexUsageUnavailableReason::invalidResponse);
    }
  }

  void unavailable(CodexUsageUnavailableReason reason) {
    sink_->yield(CodexUsageMonitorEvent::makeUnavailable(reason));
  }

  // Tears the session down once: no more polls or reads, standard input
  // closed, the child asked to terminate, the closing event, the stream's
  // end. The child is reaped when the thread leaves `run`.
  void finish(bool sendDisconnected) {
    {
      std::lock_guard lock(mutex_);
      if (finished_)
        return;
      finished_ = true;
    }
    input_.reset();
    output_.reset();
    errorOutput_.reset();
    exitWatch_.reset();
    if (child_.pid() > 0)
      child_.terminate();
    if (sendDisconnected)
      sink_->yield(CodexUsageMonitorEvent::makeDisconnected());
    sink_->finish();
  }

  const Settings settings_;
  const std::shared_ptr<CodexUsageEventStream::Sink> sink_;

  std::mutex mutex_;  // guards finished_
  bool finished_ = false;
  std::atomic<bool> stopRequested_ = false;
  ScopedFD wakeRead_, wakeWrite_;

  ChildProcess child_;
  ScopedFD input_, output_, errorOutput_, exitWatch_;
  SteadyClock::duration interval_{};
  SteadyClock::time_point nextPoll_ = SteadyClock::time_point::max();

  std::string buffer_;
  std::optional<CodexUsageSnapshot> current_;
  std::int64_t nextRequestID_ = 2;  // 1 is the "initialize" request
  std::optional<std::int64_t> pendingRateLimitRequestID_;
};

}  // namespace detail

CodexUsageMonitorEvent CodexUsageMonitorEvent::makeSnapshot(CodexUsageSnapshot snapshot) {
  return {Kind::snapshot, std::move(snapshot), std::nullopt};
}

CodexUsageMonitorEvent CodexUsageMonitorEvent::makeUnavailable(CodexUsageUnavailableReason reason) {
  return {Kind::unavailable, std::nullopt, reason};
}

CodexUsageMonitorEvent CodexUsageMonitorEvent::makeDisconnected() {
  return {Kind::disconnected, std::nullopt, std::nullopt};
}

std::string_view rawValue(CodexUsageMonitorEvent::Kind kind) {
  return kEventKindNames.name(kind);
}

CodexUsageEventStream::CodexUsageEventStream() : sink_(std::make_shared<Sink>()) {}

CodexUsageEventStream::CodexUsageEventStream(std::vector<CodexUsageMonitorEvent> events)
    : CodexUsageEventStream() {
  for (auto& event : events)
    sink_->events.push_back(std::move(event));
  sink_->finished = true;
}

CodexUsageEventStream::~CodexUsageEventStream() {
  stop();
  if (thread_.joinable())
    thread_.join();
}

std::optional<CodexUsageMonitorEvent> CodexUsageEventStream::next() {
  std::unique_lock lock(sink_->mutex);
  sink_->changed.wait(lock, [&] { return !sink_->events.empty() || sink_->finished; });
  if (sink_->events.empty())
    return std::nullopt;
  auto event = std::move(sink_->events.front());
  sink_->events.pop_front();
  return event;
}

std::optional<CodexUsageMonitorEvent> CodexUsageEventStream::next(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(sink_->mutex);
  sink_->changed.wait_for(lock, timeout, [&] { return !sink_->events.empty() || sink_->finished; });
  if (sink_->events.empty())
    return std::nullopt;
  auto event = std::move(sink_->events.front());
  sink_->events.pop_front();
  return event;
}

bool CodexUsageEventStream::ended() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->finished && sink_->events.empty();
}

void CodexUsageEventStream::stop() {
  if (session_)
    session_->stop();
}

std::unique_ptr<CodexUsageEventStream> UnavailableCodexUsageClient::events(
    const CodexInstallation&,
    const ProfilePaths&,
    const std::optional<ProfileProxyConfiguration>&) const {
  return std::make_unique<CodexUsageEventStream>(std::vector<CodexUsageMonitorEvent>{
      CodexUsageMonitorEvent::makeUnavailable(CodexUsageUnavailableReason::unsupportedProtocol)});
}

CodexUsageAppServerClient::CodexUsageAppServerClient(std::string managedBaseDirectory,
                                                     std::string approvalBaseDirectory,
                                                     double refreshInterval,
                                                     Inspector inspect)
    : now(systemNow),
      managedBaseDirectory_(standardizedPath(managedBaseDirectory)),
      approvalBaseDirectory_(standardizedPath(approvalBaseDirectory)),
      refreshInterval_(refreshInterval),
      inspect_(std::move(inspect)) {}

std::unique_ptr<CodexUsageEventStream> CodexUsageAppServerClient::events(
    const CodexInstallation& installation,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy) const {
  std::unique_ptr<CodexUsageEventStream> stream(new CodexUsageEventStream());
  detail::CodexUsageSession::Settings settings{
      installation,
      paths,
      proxy,
      managedBaseDirectory_,
      approvalBaseDirectory_,
      refreshInterval_,
      now ? now : Clock(systemNow),
      inspect_,
      hostEnvironment ? *hostEnvironment : inheritedHostEnvironment()};
  try {
    stream->session_ =
        std::make_shared<detail::CodexUsageSession>(std::move(settings), stream->sink_);
  } catch (const KorvelinCoreError&) {
    return std::make_unique<CodexUsageEventStream>(std::vector<CodexUsageMonitorEvent>{
        CodexUsageMonitorEvent::makeUnavailable(CodexUsageUnavailableReason::connectionFailed)});
  }
  stream->thread_ = std::thread([session = stream->session_] { session->run(); });
  return stream;
}

std::vector<std::string> CodexUsageAppServerClient::environment(
    const std::vector<std::string>& host,
    const ProfilePaths& paths,
    const std::optional<ProfileProxyConfiguration>& proxy) {
  std::vector<std::string> result;
  for (const char* name : kInheritedVariables) {
    const std::string prefix = std::string(name) + "=";
    for (const auto& entry : host)
      if (entry.starts_with(prefix)) {
        result.push_back(entry);
        break;
      }
  }
  result.push_back("HOME=" + paths.home());
  result.push_back("USERPROFILE=" + paths.home());
  result.push_back("XDG_CONFIG_HOME=" + paths.config());
  result.push_back("XDG_CACHE_HOME=" + paths.cache());
  result.push_back("CODEX_HOME=" + paths.codexHome());
  if (proxy) {
    const std::string url = proxy->uri();
    for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
      result.push_back(std::string(name) + "=" + url);
    result.push_back("NO_PROXY=localhost,127.0.0.1,::1");
  }
  return result;
}

}  // namespace korvelin
