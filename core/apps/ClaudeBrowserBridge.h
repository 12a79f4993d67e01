#pragma once

// The private browser of a running Claude profile. Claude is told to use a
// small shim program as its browser ("BROWSER"); the shim sends each link it
// is asked to open over a Unix-domain socket that only this run knows
// ("CLAUDE_BROWSER_BRIDGE": the socket and a per-run key), and the bridge
// hands acceptable links to the host's decision handler, which normally
// opens them in the Chrome profile paired with the Claude profile, so that
// a sign-in never leaves the profile's route through the user's default
// browser.
//
// The wire: one request line per connection, the JSON object
// {"v": 1, "key": KEY, "url": URL} and a line feed, at most 8192 bytes in
// all; one answer line, {"result":"pane"} when the handler took the link,
// {"result":"declined"} for anything else.
//
// Every read of a connection waits at most 3 s, and the whole request must
// arrive within `ClaudeBrowserBridgeLimits::wholeRequest` (10 s), so a peer that trickles bytes
// cannot hold a connection; at most `connections` (16) connections
// are served at once, and one beyond that is answered "declined" and closed
// unread. Each connection runs on a thread of its own, so a slow decision
// holds neither the accepting loop nor `stop()`.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/base/Uuid.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

struct ClaudeBrowserBridgeConfiguration {
  std::string socketPath;
  std::string key;
  std::string shimURL;  // standardized file URL of the shim program

  // "BROWSER" (the shim's path) and "CLAUDE_BROWSER_BRIDGE" (compact JSON
  // {"key", "socket"}), the pair a Claude launch adds to its environment.
  std::map<std::string, std::string> environment() const;

  bool operator==(const ClaudeBrowserBridgeConfiguration&) const = default;
};

enum class ClaudeBrowserBridgeDecision { handled, declined };

namespace ClaudeBrowserBridgeRequest {

inline constexpr std::size_t kMaximumBytes = 8192;  // line feed included

// The link of one request (the bytes before its line feed) when the request
// is acceptable: a JSON object with at most the members "v" (the integer 1),
// "key" (exactly `key`) and "url" (an http or https URL without a user name
// or password), all three present. Absent otherwise.
std::optional<std::string> acceptedURL(std::string_view line, std::string_view key);

// The answer line for a decision.
std::string_view responseLine(ClaudeBrowserBridgeDecision decision);

// What a browser shim does with one link: reads the CLAUDE_BROWSER_BRIDGE
// value, sends the request and reads the answer, each within 3 s. Absent
// when the value is not the bridge's JSON, the socket cannot be reached or
// the answer is neither line.
std::optional<ClaudeBrowserBridgeDecision> ask(std::string_view bridgeVariable,
                                               std::string_view url);

}  // namespace ClaudeBrowserBridgeRequest

struct ClaudeBrowserBridgeLimits {
  std::chrono::milliseconds eachRead{3000};
  std::chrono::milliseconds wholeRequest{10000};
  std::size_t connections = 16;
};

class ClaudeBrowserBridge {
 public:
  // Called on the connection's own thread with the link exactly as sent.
  using Handler =
      std::function<ClaudeBrowserBridgeDecision(const std::string& url, const Uuid& profileID)>;

  using Limits = ClaudeBrowserBridgeLimits;

  // Without `key`, a fresh one of 64 lower-case hexadecimal digits is made.
  // `shimPath` is standardized.
  ClaudeBrowserBridge(const Uuid& profileID,
                      std::string_view shimPath,
                      std::optional<std::string> key,
                      Handler handler,
                      Limits limits = {});
  // Stops listening, then waits for the connections in flight to end.
  ~ClaudeBrowserBridge();
  ClaudeBrowserBridge(const ClaudeBrowserBridge&) = delete;
  ClaudeBrowserBridge& operator=(const ClaudeBrowserBridge&) = delete;

  // Listens on a new socket in the temporary directory (0600, a fresh
  // random name each time) and returns the configuration; while listening,
  // returns the same configuration again. Throws profilePreparationFailed
  // ("browser bridge socket could not be created", "... could not be
  // started", "browser bridge socket path is too long").
  ClaudeBrowserBridgeConfiguration start();

  // Stops accepting and removes the socket file (only while it is still the
  // one this bridge bound). Connections already accepted finish on their own.
  void stop();

  const std::string& key() const;

  // Connections being served now.
  std::size_t activeConnections() const;

  struct Shared;

 private:
  void acceptLoop(int listener, int wake);

  std::shared_ptr<Shared> shared_;
  std::string shimURL_;
  mutable std::mutex lock_;
  platform::ScopedFD listener_;
  platform::ScopedFD wakeWrite_;
  std::thread acceptThread_;
  std::optional<std::string> socketPath_;
  std::pair<unsigned long long, unsigned long long> socketFile_{};  // device, inode
};

}  // namespace korvelin
