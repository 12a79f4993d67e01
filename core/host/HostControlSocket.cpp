#include "core/host/HostControlSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/files/FilePath.h"
#include "core/host/HostProtocol.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"

namespace korvelin {
namespace {

using Clock = std::chrono::steady_clock;

KorvelinCoreError socketFailure(const std::string& detail) {
  return KorvelinCoreError::profilePreparationFailed(detail);
}

// A private socket of the effective user: its type, owner and mode.
bool isPrivateSocket(const struct stat& st) {
  return S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0600;
}

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A client may be written to from two threads through duplicates of its
// descriptor (a run's steps and the report of a link its application
// opened). A send to a slow reader can be partial, so each line is written
// under a lock of its socket: locks striped by the socket's inode, which
// every duplicate shares.
std::mutex& lineLockOf(int fd) {
  static std::array<std::mutex, 64> locks;
  struct stat st {};
  const auto key = ::fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_ino) : 0;
  return locks[key % locks.size()];
}

bool waitFor(int fd, short events, int timeoutMilliseconds) {
  pollfd entry{fd, events, 0};
  return platform::retryOnEintr([&] { return ::poll(&entry, 1, timeoutMilliseconds); }) > 0;
}

}  // namespace

std::string hostSocketPath(const std::string& baseDirectory) {
  return appendingPathComponent(standardizedPath(baseDirectory), kHostSocketName);
}

HostControlListener::HostControlListener(const std::string& baseDirectory)
    : path_(hostSocketPath(baseDirectory)) {
  if (path_.size() > platform::kMaxLocalSocketPathBytes)
    throw socketFailure("the control socket path is longer than " +
                        std::to_string(platform::kMaxLocalSocketPathBytes) + " bytes: " + path_);
  // Only the lease holder gets here, so a socket in the way is a dead host's.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid())
      throw socketFailure("something other than the user's socket is at " + path_);
    if (::unlink(path_.c_str()) != 0)
      throw socketFailure("could not remove the stale control socket " + path_ + ": " +
                          std::strerror(errno));
  }
  fd_ = platform::newLocalStreamSocket(/*nonBlocking=*/true);
  if (!fd_)
    throw socketFailure(std::string("could not create the control socket: ") +
                        std::strerror(errno));
  // The socket is created 0600 from the start: never readable by others, even
  // for a moment (the process's mask is restored at once; the host binds
  // before it starts any thread).
  const mode_t previous = ::umask(0177);
  const int bound = platform::bindLocal(fd_.get(), path_);
  const int bindError = errno;
  ::umask(previous);
  if (bound != 0)
    throw socketFailure("could not bind the control socket " + path_ + ": " +
                        std::strerror(bindError));
  linked_ = true;
  if (::lstat(path_.c_str(), &st) != 0 || !isPrivateSocket(st))
    throw socketFailure("the control socket is not a private socket of the user: " + path_);
  device_ = st.st_dev;
  inode_ = st.st_ino;
  if (::listen(fd_.get(), 64) != 0)
    throw socketFailure("could not listen on the control socket " + path_ + ": " +
                        std::strerror(errno));
}

HostControlListener::~HostControlListener() {
  unlinkName();
}

void HostControlListener::unlinkName() {
  if (!linked_)
    return;
  linked_ = false;
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
    ::unlink(path_.c_str());
}

platform::ScopedFD acceptHostClient(int listener) {
  for (;;) {
    auto connection = platform::acceptLocalConnection(listener);
    if (!connection)
      return {};
    const auto peer = platform::peerUserID(connection.get());
    if (peer && *peer == ::geteuid())
      return connection;
    // Another user (or one whose credentials cannot be read) learns nothing:
    // the connection closes without a byte.
  }
}

std::variant<std::string, ReadRefusal> readHostRequestLine(int fd,
                                                           std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string line;
  char chunk[4096];
  for (;;) {
    if (!waitFor(fd, POLLIN, remainingMilliseconds(deadline)))
      return ReadRefusal{"the request was not complete in time"};
    const ssize_t got = platform::retryOnEintr([&] { return ::recv(fd, chunk, sizeof chunk, 0); });
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        continue;
      return ReadRefusal{"the request could not be read"};
    }
    if (got == 0)
      return ReadRefusal{"the request ended before its line feed"};
    const auto end = std::find(chunk, chunk + got, '\n');
    line.append(chunk, end);
    if (line.size() >= kMaxHostRequestBytes)
      return ReadRefusal{"request too large"};
    if (end != chunk + got)
      return line;
  }
}

bool writeHostLine(int fd, const nlohmann::json& value, std::chrono::milliseconds limit) {
  std::string line = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (line.size() + 1 > kMaxHostReplyBytes)
    line = hostErrorReply("the reply is too large").dump();
  line.push_back('\n');
  const auto deadline = Clock::now() + limit;
  const std::lock_guard whole(lineLockOf(fd));
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = platform::sendNoSignal(fd, line.data() + sent, line.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, remainingMilliseconds(deadline)))
        return false;
    } else {
      return false;
    }
  }
  return true;
}

platform::ScopedFD connectToHost(const std::string& baseDirectory) {
  const std::string path = hostSocketPath(baseDirectory);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    return {};
  if (!isPrivateSocket(st))
    throw socketFailure("the control socket is not a private socket of the user: " + path);
  auto fd = platform::newLocalStreamSocket(/*nonBlocking=*/false);
  if (!fd)
    throw socketFailure(std::string("could not create a socket: ") + std::strerror(errno));
  if (platform::connectLocal(fd.get(), path) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT)
      return {};
    throw socketFailure("could not connect to the control socket " + path + ": " +
                        std::strerror(errno));
  }
  const auto peer = platform::peerUserID(fd.get());
  if (!peer || *peer != ::geteuid())
    throw socketFailure("the control socket is served by another user: " + path);
  return fd;
}

std::optional<nlohmann::json> HostReplyReader::next(int timeoutMilliseconds, bool& closed) {
  closed = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (;;) {
    const auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      auto value = nlohmann::json::parse(buffer_.substr(0, newline), nullptr, false);
      buffer_.erase(0, newline + 1);
      if (value.is_discarded() || !value.is_object())
        throw socketFailure("the host sent a reply that is not a JSON object");
      return value;
    }
    if (buffer_.size() >= kMaxHostReplyBytes)
      throw socketFailure("the host sent a reply line that is too long");
    const int wait = timeoutMilliseconds < 0 ? -1 : remainingMilliseconds(deadline);
    if (!waitFor(fd_.get(), POLLIN, wait))
      return std::nullopt;
    char chunk[8192];
    const ssize_t got =
        platform::retryOnEintr([&] { return ::recv(fd_.get(), chunk, sizeof chunk, 0); });
    if (got <= 0) {
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        continue;
      closed = true;
      return std::nullopt;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace korvelin
