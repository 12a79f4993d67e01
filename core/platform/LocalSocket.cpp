#include "core/platform/LocalSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "core/platform/Eintr.h"
#include "core/platform/LocalSocketSupport.h"

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

// One byte of data with room for one descriptor in its control message.
struct DescriptorMessage {
  char byte;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};

  explicit DescriptorMessage(char value) : byte(value) {
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
  DescriptorMessage sent('L');
  cmsghdr* header = CMSG_FIRSTHDR(&sent.message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
  return retryOnEintr([&] { return ::sendmsg(socket, &sent.message, kDescriptorSendFlags); }) == 1;
}

ScopedFD receiveDescriptor(int socket, int timeoutMilliseconds) {
  pollfd entry{socket, POLLIN, 0};
  if (retryOnEintr([&] { return ::poll(&entry, 1, timeoutMilliseconds); }) <= 0)
    return {};
  DescriptorMessage received(0);
  if (retryOnEintr([&] { return ::recvmsg(socket, &received.message, kDescriptorReceiveFlags); }) !=
      1)
    return {};
  cmsghdr* header = CMSG_FIRSTHDR(&received.message);
  if (!header || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
      header->cmsg_len != CMSG_LEN(sizeof(int)) || (received.message.msg_flags & MSG_CTRUNC))
    return {};
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
  ScopedFD descriptor(fd);
  if (!finishReceivedDescriptor(descriptor.get()))
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
