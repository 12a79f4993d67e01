#pragma once

// Codex usage limits of one profile, read from the Codex installation's own
// backend running as "app-server" with the profile's private home: a child
// process spoken to in JSON-RPC lines over its standard input and output,
// polled every refresh interval. Each subscription is a stream of events:
// a snapshot after every answer or pushed update, a reason when usage is
// unavailable, and a disconnection when the child goes.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/apps/CodexInstallation.h"
#include "core/codex/CodexUsage.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileProxyConfiguration.h"

namespace korvelin {

struct CodexUsageMonitorEvent {
  enum class Kind { snapshot, unavailable, disconnected };

  static CodexUsageMonitorEvent makeSnapshot(CodexUsageSnapshot snapshot);
  static CodexUsageMonitorEvent makeUnavailable(CodexUsageUnavailableReason reason);
  static CodexUsageMonitorEvent makeDisconnected();

  Kind kind = Kind::disconnected;
  std::optional<CodexUsageSnapshot> snapshot;         // for `snapshot`
  std::optional<CodexUsageUnavailableReason> reason;  // for `unavailable`

  bool operator==(const CodexUsageMonitorEvent&) const = default;
};

// "snapshot", "unavailable" or "disconnected".
std::string_view rawValue(CodexUsageMonitorEvent::Kind kind);

namespace detail {
class CodexUsageSession;
}

// The events of one subscription, in order, buffered without bound until
// read. Ending the stream (`stop`, or destroying it) stops its session: the
// child is asked to terminate and is reaped; nothing is left running.
class CodexUsageEventStream {
 public:
  // A stream that yields `events` and ends.
  explicit CodexUsageEventStream(std::vector<CodexUsageMonitorEvent> events);
  ~CodexUsageEventStream();
  CodexUsageEventStream(const CodexUsageEventStream&) = delete;
  CodexUsageEventStream& operator=(const CodexUsageEventStream&) = delete;

  // The next event, waiting as long as it takes; absent once the stream has
  // ended and every event was read.
  std::optional<CodexUsageMonitorEvent> next();
  // The same, waiting at most `timeout`; absent on time-out too (`ended`
  // tells the two apart).
  std::optional<CodexUsageMonitorEvent> next(std::chrono::milliseconds timeout);
  // True once the stream has ended and every event was read.
  bool ended() const;

  // Ends the subscription from any thread; the session tears down on its
  // own thread. Events already yielded can still be read.
  void stop();

  // The session's side: appends an event, or ends the stream.
  struct Sink;

 private:
  friend class CodexUsageAppServerClient;
  CodexUsageEventStream();

  std::shared_ptr<Sink> sink_;
  std::shared_ptr<detail::CodexUsageSession> session_;
  std::thread thread_;
};

// A source of usage event streams for a Codex profile.
class CodexUsageStreaming {
 public:
  virtual ~CodexUsageStreaming() = default;
  virtual std::unique_ptr<CodexUsageEventStream> events(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy) const = 0;
};

// Stands in where usage cannot be monitored: every stream yields
// `unavailable(unsupportedProtocol)` and ends.
class UnavailableCodexUsageClient : public CodexUsageStreaming {
 public:
  std::unique_ptr<CodexUsageEventStream> events(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy) const override;
};

class CodexUsageAppServerClient : public CodexUsageStreaming {
 public:
  using Clock = std::function<CodexUsageDate()>;
  // Inspects the installation at its bundle again, with the compatibility
  // approvals kept in the given directory, and returns the fresh record.
  using Inspector = std::function<CodexInstallation(const CodexInstallation& installation,
                                                    const std::string& approvalBaseDirectory)>;

  // The shortest refresh interval a session accepts, in seconds.
  static constexpr double kMinimumRefreshInterval = 5.0;

  // `managedBaseDirectory` is the base every profile must live in (the
  // host's default base); `approvalBaseDirectory` is standardized.
  CodexUsageAppServerClient(std::string managedBaseDirectory,
                            std::string approvalBaseDirectory,
                            double refreshInterval,
                            Inspector inspect);

  // Starts a session on a thread of its own and returns at once. The session
  // checks the profile's tree, inspects the installation again (it must be
  // the same record and approved for launching), refuses an interval below
  // kMinimumRefreshInterval, then starts the backend; any of these failing
  // yields `unavailable(connectionFailed)` and ends the stream.
  std::unique_ptr<CodexUsageEventStream> events(
      const CodexInstallation& installation,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy) const override;

  // The child's environment as "NAME=value" strings: PATH, TMPDIR, LANG,
  // LC_ALL and SHELL from `host` where present and nothing else of it; HOME
  // and USERPROFILE the profile's home, XDG_CONFIG_HOME and XDG_CACHE_HOME
  // its config and cache, CODEX_HOME the home's ".codex"; with a proxy,
  // HTTP_PROXY, HTTPS_PROXY and ALL_PROXY its URL and NO_PROXY the loopback
  // names.
  static std::vector<std::string> environment(
      const std::vector<std::string>& host,
      const ProfilePaths& paths,
      const std::optional<ProfileProxyConfiguration>& proxy);

  const std::string& managedBaseDirectory() const { return managedBaseDirectory_; }
  const std::string& approvalBaseDirectory() const { return approvalBaseDirectory_; }
  double refreshInterval() const { return refreshInterval_; }

  // The clock that stamps snapshots (default: the system clock).
  Clock now;
  // The process environment the child's few inherited variables come from
  // (default: this process's, read when a session starts).
  std::optional<std::vector<std::string>> hostEnvironment;

 private:
  std::string managedBaseDirectory_;
  std::string approvalBaseDirectory_;
  double refreshInterval_;
  Inspector inspect_;
};

}  // namespace korvelin
