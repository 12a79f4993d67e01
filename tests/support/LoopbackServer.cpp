#include "tests/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ScopedSigpipeBlock.h"

namespace korvelin::testing {

using platform::retryOnEintr;
using platform::ScopedFD;

bool readableUnlessWoken(int fd, int wake) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  if (retryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0)
    return false;
  return !(fds[1].revents & POLLIN);
}

LoopbackServer::LoopbackServer(Handler handler)
    : handler_(std::move(handler)), socket_(platform::newInternetStreamSocket()) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(socket_.get(), 64) ||
      ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length))
    throw std::runtime_error("cannot set up a loopback listener");
  port_ = ntohs(address.sin_port);
  start({});
}

LoopbackServer::LoopbackServer(ScopedFD listening,
                               Handler handler,
                               std::chrono::milliseconds busyFor)
    : handler_(std::move(handler)), socket_(std::move(listening)) {
  start(busyFor);
}

void LoopbackServer::start(std::chrono::milliseconds busyFor) {
  if (!platform::newPipe(wakeRead_, wakeWrite_))
    throw std::runtime_error("cannot set up a wake pipe");
  thread_ = std::thread([this, busyFor] {
    pollfd wake{wakeRead_.get(), POLLIN, 0};
    if (retryOnEintr([&] { return ::poll(&wake, 1, static_cast<int>(busyFor.count())); }) == 0)
      acceptLoop();
  });
}

LoopbackServer::~LoopbackServer() {
  platform::writeFull(wakeWrite_.get(), "x");
  thread_.join();
}

void LoopbackServer::acceptLoop() {
  const platform::ScopedSigpipeBlock noSigpipe;
  while (readableUnlessWoken(socket_.get(), wakeRead_.get())) {
    ScopedFD connection = platform::acceptConnection(socket_.get(), false);
    if (connection)
      handler_(std::move(connection), wakeRead_.get());
  }
}

}  // namespace korvelin::testing
