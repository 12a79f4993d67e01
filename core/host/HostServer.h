#pragma once

// Serves the control socket for a ProfileHost: accepts connections of the
// effective user only, reads one bounded request from each within a time
// limit, and answers it on a thread of its own, so that a slow or silent
// client never holds up another. A monitor thread lets the host notice runs
// that ended on their own.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "core/host/HostControlSocket.h"
#include "core/host/ProfileHost.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

class HostServer {
 public:
  static constexpr std::size_t kMaxConnections = 64;
  static constexpr std::chrono::milliseconds kRequestTimeLimit{5000};
  static constexpr std::chrono::milliseconds kMonitorInterval{100};

  // `leaseFD` is the host's open single-instance lock file, lent on request.
  HostServer(ProfileHost& host, HostControlListener& listener, int leaseFD);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Serves until `requestStop` is called or, with a linger, until the host
  // has been idle with no client connected for that long. Then removes the
  // socket's name, answers connections already queued with a refusal that
  // tells their clients to try again, and returns once no request is being
  // answered any more. Returns true when it ended because it was idle.
  bool serve(std::optional<std::chrono::milliseconds> idleLinger);
  // Safe from any thread.
  void requestStop();

 private:
  void handleConnection(platform::ScopedFD connection);
  void answer(const HostRequest& request, platform::ScopedFD& connection);
  void monitor();

  ProfileHost& host_;
  HostControlListener& listener_;
  int leaseFD_;
  platform::ScopedFD wakeRead_;
  platform::ScopedFD wakeWrite_;
  std::atomic<bool> stopRequested_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  std::size_t active_ = 0;
};

}  // namespace korvelin
