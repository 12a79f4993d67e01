#pragma once

// A TCP server on 127.0.0.1 that accepts every connection and then does one
// wrong thing with it, for proving that a proxy start facing such a server
// gives up in time and leaves nothing behind.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/LoopbackServer.h"

namespace korvelin::testing {

enum class Misbehavior {
  garbage,  // answers with bytes no protocol expects, then closes
  reset,    // closes at once with a reset
  stall,    // reads nothing, says nothing, keeps the connection open
};
std::string misbehaviorName(Misbehavior misbehavior);

class MisbehavingServer {
 public:
  explicit MisbehavingServer(Misbehavior misbehavior);
  ~MisbehavingServer();  // closes every connection it holds
  MisbehavingServer(const MisbehavingServer&) = delete;
  MisbehavingServer& operator=(const MisbehavingServer&) = delete;

  uint16_t port() const { return server_.port(); }
  int acceptedCount() const { return accepted_.load(); }

 private:
  void misbehave(platform::ScopedFD connection);

  Misbehavior misbehavior_;
  std::atomic<int> accepted_{0};
  std::vector<platform::ScopedFD> stalled_;  // touched by the server's thread only
  LoopbackServer server_;                    // last: stopped before the rest goes
};

}  // namespace korvelin::testing
