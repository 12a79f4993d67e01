#include "tests/support/MisbehavingServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"

namespace korvelin::testing {

using platform::retryOnEintr;
using platform::ScopedFD;

std::string misbehaviorName(Misbehavior misbehavior) {
  switch (misbehavior) {
    case Misbehavior::garbage:
      return "garbage";
    case Misbehavior::reset:
      return "reset";
    case Misbehavior::stall:
      return "stall";
  }
  return "?";
}

LoopbackListener::LoopbackListener() : socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int fds[2];
  if (!socket || ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(socket.get(), 64) ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) ||
      ::pipe2(fds, O_CLOEXEC))
    throw std::runtime_error("cannot set up a loopback listener");
  wake[0] = ScopedFD(fds[0]);
  wake[1] = ScopedFD(fds[1]);
  port = ntohs(address.sin_port);
}

MisbehavingServer::MisbehavingServer(Misbehavior misbehavior) : misbehavior_(misbehavior) {
  thread_ = std::thread([this] { acceptLoop(); });
}

MisbehavingServer::~MisbehavingServer() {
  platform::writeFull(listener_.wake[1].get(), "x");
  thread_.join();
}

void MisbehavingServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.socket.get(), POLLIN, 0}, {listener_.wake[0].get(), POLLIN, 0}};
    if (retryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0 || fds[1].revents)
      return;
    ScopedFD connection(retryOnEintr(
        [&] { return ::accept4(listener_.socket.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
    if (!connection)
      continue;
    ++accepted_;
    switch (misbehavior_) {
      case Misbehavior::garbage:
        platform::writeFull(connection.get(),
                            std::string(4096, '\x17') + "HTTP/1.0 418 no\r\n\r\n");
        break;
      case Misbehavior::reset: {
        const linger abort{1, 0};
        ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        break;
      }
      case Misbehavior::stall:
        stalled_.push_back(std::move(connection));
        break;
    }
  }
}

}  // namespace korvelin::testing
