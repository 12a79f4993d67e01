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

  uint16_t port() const { return port_; }
  int acceptedCount() const { return accepted_.load(); }

 private:
  void acceptLoop();

  Misbehavior misbehavior_;
  platform::ScopedFD listener_;
  platform::ScopedFD wake_[2];  // a pipe: writing to it ends the loop
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::vector<platform::ScopedFD> stalled_;  // touched by the loop only
  std::thread thread_;
};

}  // namespace korvelin::testing
