#if defined(__linux__)

#include "core/platform/LocalSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/platform/Eintr.h"

namespace korvelin::platform {

namespace {

std::optional<ucred> peerCredentials(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials)
    return std::nullopt;
  return credentials;
}

}  // namespace

ScopedFD newLocalStreamSocket(bool nonBlocking) {
  // Linux has no SO_NOSIGPIPE; sendNoSignal passes MSG_NOSIGNAL instead.
  return ScopedFD(
      ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
}

ScopedFD acceptLocalConnection(int server) {
  return acceptConnection(server, true);
}

ScopedFD newInternetStreamSocket() {
  return ScopedFD(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

ScopedFD acceptConnection(int server, bool nonBlocking) {
  return ScopedFD(retryOnEintr([&] {
    return ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
  }));
}

bool hasLoopbackListener(std::uint16_t port) {
  // The kernel prints the address as the 32-bit word it stores, in network
  // order read in host order, then the port in hex; state 0A is LISTEN.
  const in_addr_t loopback = htonl(INADDR_LOOPBACK);
  std::uint32_t word;
  std::memcpy(&word, &loopback, sizeof word);
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "%08X:%04X", word, port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column headings
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A")
      return true;
  }
  return false;
}

std::optional<std::uint32_t> peerUserID(int fd) {
  auto credentials = peerCredentials(fd);
  if (!credentials)
    return std::nullopt;
  return credentials->uid;
}

std::optional<std::int32_t> peerProcessID(int fd) {
  auto credentials = peerCredentials(fd);
  if (!credentials || credentials->pid <= 0)
    return std::nullopt;
  return credentials->pid;
}

ssize_t sendNoSignal(int fd, const void* data, std::size_t size) {
  ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
  // Not a socket (a pipe in a test): both executables ignore SIGPIPE anyway.
  if (n < 0 && errno == ENOTSOCK)
    n = ::write(fd, data, size);
  return n;
}

ssize_t sendMessageNoSignal(int socket, const msghdr* message) {
  return retryOnEintr([&] { return ::sendmsg(socket, message, MSG_NOSIGNAL); });
}

ssize_t receiveMessage(int socket, msghdr* message) {
  return retryOnEintr([&] { return ::recvmsg(socket, message, MSG_CMSG_CLOEXEC); });
}

bool newPipe(ScopedFD& readEnd, ScopedFD& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

}  // namespace korvelin::platform

#endif  // __linux__
