#pragma once

// A TCP server on 127.0.0.1 that accepts every connection and then does one
// wrong thing with it, for proving that a proxy start facing such a server
// gives up in time and leaves nothing behind.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/ScopedFD.h"

namespace korvelin::testing {

// A socket listening on 127.0.0.1 at a port of the system's choice, and a
// pipe whose write end wakes the thread that serves it. Throws
// std::runtime_error when either cannot be set up.
struct LoopbackListener {
  platform::ScopedFD socket;
  platform::ScopedFD wake[2];
  uint16_t port = 0;
  LoopbackListener();
};

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

  uint16_t port() const { return listener_.port; }
  int acceptedCount() const { return accepted_.load(); }

 private:
  void acceptLoop();

  Misbehavior misbehavior_;
  LoopbackListener listener_;  // writing to its wake pipe ends the loop
  std::atomic<int> accepted_{0};
  std::vector<platform::ScopedFD> stalled_;  // touched by the loop only
  std::thread thread_;
};

}  // namespace korvelin::testing
