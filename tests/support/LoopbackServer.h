#pragma once

// The one listener the test servers share: a TCP socket on 127.0.0.1 at a
// port of the system's choice (or a listening socket of the owner's), served
// by a thread of its own that hands each accepted connection to the owner's
// handler, one at a time, until the server is destroyed. SIGPIPE is blocked in that thread, so a
// client that stops reading makes a write fail instead of ending the test.

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "core/platform/ScopedFD.h"

namespace korvelin::testing {

class LoopbackServer {
 public:
  // `wake` turns readable once the server is stopping: a handler that waits
  // on its connection polls it too.
  using Handler = std::function<void(platform::ScopedFD connection, int wake)>;

  // Throws std::runtime_error when the socket cannot be set up.
  explicit LoopbackServer(Handler handler);
  // Serves `listening`, accepting nothing during the first `busyFor`.
  LoopbackServer(platform::ScopedFD listening,
                 Handler handler,
                 std::chrono::milliseconds busyFor = {});
  ~LoopbackServer();  // wakes the thread and waits for it
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void start(std::chrono::milliseconds busyFor);
  void acceptLoop();

  Handler handler_;
  platform::ScopedFD socket_;
  platform::ScopedFD wakeRead_, wakeWrite_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// Waits until `fd` is readable or `wake` is; false when woken.
bool readableUnlessWoken(int fd, int wake);

}  // namespace korvelin::testing
