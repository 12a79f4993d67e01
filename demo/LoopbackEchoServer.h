#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/platform/ScopedFD.h"

namespace korvelin::demo {

// A tiny HTTP/1.1 server on 127.0.0.1 that plays the public IP-echo endpoint
// for traffic that must never leave the machine. `GET` of any path answers
// with the connecting peer's address as plain text ("127.0.0.2\n"), which
// tells a caller which address its request finally came from: through a
// proxy hop, that is the hop's outgoing address, not the caller's.
// `GET /bytes/N` answers with N zero bytes (at most 1 GiB), for measuring
// bulk transfer through the same path.
//
// Connections are kept alive as HTTP/1.1 allows and served one thread each.
// The destructor closes the listener and every open connection and joins
// their threads, so it never waits for an idle client. It depends on nothing
// but the platform layer, so hosts other than the tests can serve it too.
class LoopbackEchoServer {
 public:
  // Listens on 127.0.0.1 at `port` (0: a free port the system chooses).
  // Throws std::system_error when the socket cannot be set up.
  explicit LoopbackEchoServer(uint16_t port = 0);
  ~LoopbackEchoServer();
  LoopbackEchoServer(const LoopbackEchoServer&) = delete;
  LoopbackEchoServer& operator=(const LoopbackEchoServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path = "/") const;
  // Requests answered so far (any status).
  uint64_t requestCount() const { return requests_.load(); }
  // The address of the first caller that asked for `target` (a path such as
  // "/page"), among the first 256 targets asked for; absent before that.
  std::optional<std::string> callerOf(const std::string& target) const;

  // The largest body `/bytes/N` serves.
  static constexpr uint64_t kMaximumBulkBytes = uint64_t{1} << 30;

 private:
  struct Connection {
    platform::ScopedFD socket;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void acceptLoop();
  void serve(Connection& connection);
  void reapFinished();  // joins connection threads that have ended; needs mutex_

  platform::ScopedFD listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> requests_{0};
  std::mutex mutex_;  // guards connections_
  std::list<std::unique_ptr<Connection>> connections_;
  mutable std::mutex callersMutex_;  // guards callers_; never held while joining
  std::map<std::string, std::string> callers_;
  std::thread acceptThread_;
};

}  // namespace korvelin::demo
