#if defined(__APPLE__)

#include "core/platform/LocalSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/platform/Eintr.h"

namespace korvelin::platform {

namespace {

// macOS has neither SOCK_CLOEXEC nor accept4: the flags follow at once.
ScopedFD prepared(int fd, bool nonBlocking) {
  ScopedFD owned(fd);
  if (!owned)
    return owned;
  int one = 1;
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
      (nonBlocking && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) ||
      ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) != 0)
    return ScopedFD();
  return owned;
}

}  // namespace

ScopedFD newLocalStreamSocket(bool nonBlocking) {
  return prepared(::socket(AF_UNIX, SOCK_STREAM, 0), nonBlocking);
}

ScopedFD acceptLocalConnection(int server) {
  return acceptConnection(server, true);
}

ScopedFD newInternetStreamSocket() {
  return prepared(::socket(AF_INET, SOCK_STREAM, 0), false);
}

ScopedFD acceptConnection(int server, bool nonBlocking) {
  return prepared(retryOnEintr([&] { return ::accept(server, nullptr, nullptr); }), nonBlocking);
}

bool hasLoopbackListener(std::uint16_t port) {
  // No socket table to read: a listener is one that accepts a connection.
  ScopedFD socket = newInternetStreamSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return socket && retryOnEintr([&] {
                     return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address),
                                      sizeof address);
                   }) == 0;
}

std::optional<std::uint32_t> peerUserID(int fd) {
  xucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, &credentials, &size) != 0 ||
      credentials.cr_version != XUCRED_VERSION)
    return std::nullopt;
  return credentials.cr_uid;
}

std::optional<std::int32_t> peerProcessID(int fd) {
  pid_t pid = 0;
  socklen_t size = sizeof pid;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &size) != 0 || pid <= 0)
    return std::nullopt;
  return pid;
}

ssize_t sendNoSignal(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);  // sockets carry SO_NOSIGPIPE
}

ssize_t sendMessageNoSignal(int socket, const msghdr* message) {
  return retryOnEintr([&] { return ::sendmsg(socket, message, 0); });  // SO_NOSIGPIPE
}

ssize_t receiveMessage(int socket, msghdr* message) {
  // No MSG_CMSG_CLOEXEC: receiveDescriptor sets the flag at once.
  return retryOnEintr([&] { return ::recvmsg(socket, message, 0); });
}

bool newPipe(ScopedFD& readEnd, ScopedFD& writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0)
    return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return ::fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
