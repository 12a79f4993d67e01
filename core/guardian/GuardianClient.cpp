#include "core/guardian/GuardianClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/base/CoreError.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/Paths.h"

namespace korvelin {

namespace {

using platform::retryOnEintr;
using platform::ScopedFD;

constexpr int kConnectTimeoutMilliseconds = 500;
constexpr auto kBusyRetryInterval = std::chrono::milliseconds(10);
constexpr double kStopReplyTimeout = 4.0;  // the guardian may wait 2 s before SIGKILL
constexpr int kLegacyTimeoutSeconds = 3;

struct SocketFileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const SocketFileIdentity&) const = default;
};

// The socket file as the client will trust it: this user's socket with
// permission bits exactly 0600, not reached through a final symbolic link.
std::optional<SocketFileIdentity> trustedSocketFile(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0)
    return std::nullopt;
  if (!S_ISSOCK(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0600)
    return std::nullopt;
  return SocketFileIdentity{status.st_dev, status.st_ino};
}

std::optional<SocketFileIdentity> currentFile(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0)
    return std::nullopt;
  return SocketFileIdentity{status.st_dev, status.st_ino};
}

// A non-blocking connect that may finish later: wait for it, then ask how it
// ended. A full listen queue (EAGAIN on Linux) means a guardian busy with
// another client, not a gone one: ask again within the same time.
bool connectWithin(int fd, const std::string& path) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMilliseconds);
  int result;
  while ((result = platform::connectLocal(fd, path)) != 0 && errno == EAGAIN) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(kBusyRetryInterval);
  }
  if (result == 0)
    return true;
  if (errno != EINPROGRESS && errno != EINTR)
    return false;
  pollfd entry{fd, POLLOUT, 0};
  if (retryOnEintr([&] { return ::poll(&entry, 1, kConnectTimeoutMilliseconds); }) != 1)
    return false;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool isWord(std::string_view text) {
  return !text.empty() && text.find_first_of(" \n") == std::string_view::npos;
}

}  // namespace

std::string guardianSocketPath(const Uuid& generation) {
  return std::string(platform::kTemporaryDirectory) + "/korvelin-xray-" +
         generation.lowercaseString() + ".sock";
}

std::string requestGuardian(const GuardianEndpoint& endpoint,
                            std::string_view command,
                            std::optional<std::string_view> payload) {
  const auto fail = [] { return KorvelinCoreError::proxyDisconnected(); };
  if (endpoint.protocolVersion != kGuardianProtocolVersion || !endpoint.guardianIdentity ||
      !endpoint.guardianIdentity->isCurrent() ||
      endpoint.guardianPID != endpoint.guardianIdentity->pid || !endpoint.generation ||
      !endpoint.socketPath || !endpoint.capability)
    throw fail();
  const auto& identity = *endpoint.guardianIdentity;
  const auto& path = *endpoint.socketPath;
  if (path != guardianSocketPath(*endpoint.generation) ||
      path.size() > platform::kMaxLocalSocketPathBytes ||
      !isGuardianCapability(*endpoint.capability))
    throw fail();
  // A space or line feed would let a caller smuggle in another request.
  if (!isWord(command) || (payload && !isWord(*payload)))
    throw fail();

  ScopedFD socket = platform::newLocalStreamSocket(/*nonBlocking=*/true);
  if (!socket)
    throw fail();
  const auto file = trustedSocketFile(path);
  if (!file || !connectWithin(socket.get(), path))
    throw fail();
  // Whoever listens must be the guardian we started, still the same
  // incarnation, on the very file we checked.
  if (platform::peerProcessID(socket.get()) != identity.pid || !identity.isCurrent() ||
      currentFile(path) != file)
    throw fail();

  GuardianProtocol::writeLine(
      formatGuardianRequest(command, *endpoint.capability, *endpoint.generation, payload),
      socket.get(), GuardianProtocol::kLineTimeout);
  const bool stopping = command == "STOP";
  const double replyTimeout = stopping ? kStopReplyTimeout : GuardianProtocol::kLineTimeout;
  auto reply = GuardianProtocol::readLine(socket.get(), replyTimeout, GuardianProtocol::kLineLimit);
  if (!stopping && !identity.isCurrent())
    throw fail();
  return reply;
}

void stopLegacyGuardian(const GuardianEndpoint& endpoint, const Uuid& profileID) {
  const auto fail = [&] { return KorvelinCoreError::profileRecoveryRequired(profileID); };
  if (!endpoint.socketPath || !endpoint.capability || !endpoint.guardianPID)
    throw fail();
  const auto& path = *endpoint.socketPath;

  ScopedFD socket = platform::newLocalStreamSocket(/*nonBlocking=*/false);
  if (!socket)
    throw fail();
  const timeval timeout{kLegacyTimeoutSeconds, 0};
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
    throw fail();
  if (!trustedSocketFile(path) || platform::connectLocal(socket.get(), path) != 0 ||
      platform::peerProcessID(socket.get()) != *endpoint.guardianPID)
    throw fail();

  const std::string request = "STOP " + *endpoint.capability + "\n";
  const ssize_t sent = retryOnEintr(
      [&] { return platform::sendNoSignal(socket.get(), request.data(), request.size()); });
  if (sent != static_cast<ssize_t>(request.size()))
    throw fail();
  char reply[16];
  const ssize_t received = retryOnEintr([&] { return ::read(socket.get(), reply, sizeof reply); });
  if (received < 0 || std::string_view(reply, static_cast<std::size_t>(received)) != "STOPPED\n")
    throw fail();
}

}  // namespace korvelin
