#include "core/platform/LocalSocket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace korvelin::platform {

namespace {

bool fillAddress(std::string_view path, sockaddr_un& address) {
  static_assert(sizeof address.sun_path > kMaxLocalSocketPathBytes);
  if (path.size() > kMaxLocalSocketPathBytes) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

int bindLocal(int fd, std::string_view path) {
  sockaddr_un address;
  if (!fillAddress(path, address))
    return -1;
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int connectLocal(int fd, std::string_view path) {
  sockaddr_un address;
  if (!fillAddress(path, address))
    return -1;
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace korvelin::platform
