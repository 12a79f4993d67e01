#include "core/platform/LocalSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "core/platform/Eintr.h"

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

// A message of one byte with room for one descriptor.
struct DescriptorMessage {
  char byte = 'L';
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};

  DescriptorMessage() {
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  DescriptorMessage(const DescriptorMessage&) = delete;
  DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

}  // namespace

bool sendDescriptor(int socket, int fd) {
  DescriptorMessage sent;
  cmsghdr* header = CMSG_FIRSTHDR(&sent.message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
  return sendMessageNoSignal(socket, &sent.message) == 1;
}

ScopedFD receiveDescriptor(int socket, int timeoutMilliseconds) {
  pollfd entry{socket, POLLIN, 0};
  if (retryOnEintr([&] { return ::poll(&entry, 1, timeoutMilliseconds); }) <= 0)
    return {};
  DescriptorMessage received;
  if (receiveMessage(socket, &received.message) != 1)
    return {};
  const cmsghdr* header = CMSG_FIRSTHDR(&received.message);
  if (!header || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
      header->cmsg_len != CMSG_LEN(sizeof(int)) || (received.message.msg_flags & MSG_CTRUNC))
    return {};
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
  ScopedFD descriptor(fd);
  if (::fcntl(descriptor.get(), F_SETFD, FD_CLOEXEC) != 0)
    return {};
  return descriptor;
}

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
