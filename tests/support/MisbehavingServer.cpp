#include "tests/support/MisbehavingServer.h"

#include <sys/socket.h>

#include "core/platform/FileUtil.h"

namespace korvelin::testing {

using platform::ScopedFD;

std::string misbehaviorName(Misbehavior misbehavior) {
  static const char* const names[] = {"garbage", "reset", "stall"};  // in declaration order
  return names[static_cast<int>(misbehavior)];
}

MisbehavingServer::MisbehavingServer(Misbehavior misbehavior)
    : misbehavior_(misbehavior),
      server_([this](ScopedFD connection, int) { misbehave(std::move(connection)); }) {}

MisbehavingServer::~MisbehavingServer() = default;

void MisbehavingServer::misbehave(ScopedFD connection) {
  ++accepted_;
  switch (misbehavior_) {
    case Misbehavior::garbage:
      platform::writeFull(connection.get(), std::string(4096, '\x17') + "HTTP/1.0 418 no\r\n\r\n");
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

}  // namespace korvelin::testing
