#pragma once

// The host's private control socket, ".host.sock" in the base directory:
// created 0600 by the host that holds the single-instance lease (the base
// itself is 0700), refused to anyone but the effective user (the peer's
// credentials are read from the kernel), and read and written in bounded
// lines only.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "core/platform/ScopedFD.h"

namespace korvelin {

inline constexpr const char* kHostSocketName = ".host.sock";

std::string hostSocketPath(const std::string& baseDirectory);

// The listening socket. Only a host holding the single-instance lease binds
// it: a socket left by a host that died is removed first (anything else in
// its place is refused and left alone). The destructor removes the socket
// when the name still names the one bound here.
class HostControlListener {
 public:
  // Throws profilePreparationFailed (the path is too long for a socket,
  // something other than a socket is in the way, the bound file is not a
  // private socket of the user).
  explicit HostControlListener(const std::string& baseDirectory);
  ~HostControlListener();
  HostControlListener(const HostControlListener&) = delete;
  HostControlListener& operator=(const HostControlListener&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // Removes the name (no new client can connect) and keeps the socket, so
  // that connections already queued can still be accepted and answered.
  void unlinkName();

 private:
  platform::ScopedFD fd_;
  std::string path_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  bool linked_ = false;
};

// The next connection on the listener whose peer is the effective user;
// connections of other users are closed without a word. Invalid when none
// is pending.
platform::ScopedFD acceptHostClient(int listener);

// One request line from a connection (its line feed removed), or why none
// came: more than kMaxHostRequestBytes, the peer closing before the line
// feed, or nothing complete within `limit`.
struct ReadRefusal {
  std::string reason;
};
std::variant<std::string, ReadRefusal> readHostRequestLine(int fd, std::chrono::milliseconds limit);

// Writes one JSON line (at most kMaxHostReplyBytes), waiting at most `limit`
// for a slow reader. False when the peer is gone or too slow.
bool writeHostLine(int fd, const nlohmann::json& value, std::chrono::milliseconds limit);

// The client's end. Invalid when no host listens in the base. Throws
// profilePreparationFailed when the socket is not a private socket of the
// effective user or the peer is not the effective user.
platform::ScopedFD connectToHost(const std::string& baseDirectory);

// Reads the host's reply lines one at a time.
class HostReplyReader {
 public:
  explicit HostReplyReader(platform::ScopedFD fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }
  // The next line as JSON; absent when nothing came within `timeout`
  // (negative: wait as long as it takes) or when the host closed the
  // connection (`closed` is then set). A line that is not JSON or passes
  // kMaxHostReplyBytes throws profilePreparationFailed.
  std::optional<nlohmann::json> next(int timeoutMilliseconds, bool& closed);

 private:
  platform::ScopedFD fd_;
  std::string buffer_;
};

}  // namespace korvelin
