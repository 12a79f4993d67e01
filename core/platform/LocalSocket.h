#pragma once

// Unix-domain stream sockets (the guardian's control channel) and the pipe
// that feeds the guardian's child. Descriptors are close-on-exec from birth
// where the OS allows it, and writes never raise SIGPIPE.
// The loopback TCP sockets of the sidecar and the demo's peers follow the
// same rules.
//   Linux: SOCK_CLOEXEC/SOCK_NONBLOCK, accept4, pipe2, SO_PEERCRED, send(MSG_NOSIGNAL),
//          /proc/net/tcp.
//   macOS: fcntl after creation, SO_NOSIGPIPE, LOCAL_PEERCRED and LOCAL_PEERPID, a
//          connect to the port.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/platform/ScopedFD.h"

struct msghdr;

namespace korvelin::platform {

// The longest socket path either OS can bind: macOS's `sun_path` holds 104
// bytes with the terminating zero.
inline constexpr std::size_t kMaxLocalSocketPathBytes = 99;

// A new AF_UNIX stream socket, close-on-exec, non-blocking when asked, whose
// writes through `sendNoSignal` fail with EPIPE instead of raising SIGPIPE.
// Invalid (errno set) on failure.
ScopedFD newLocalStreamSocket(bool nonBlocking);

// One pending connection of `server`, close-on-exec and non-blocking, set up
// like a socket from `newLocalStreamSocket`. Invalid (errno set) on failure.
ScopedFD acceptLocalConnection(int server);

// `bind` and `connect` to a filesystem path, with a zeroed `sockaddr_un` of
// full size. A path longer than kMaxLocalSocketPathBytes fails with
// ENAMETOOLONG. Both return the system call's result with errno set.
int bindLocal(int fd, std::string_view path);
int connectLocal(int fd, std::string_view path);

// The effective user and the process of the peer of a connected local socket.
std::optional<std::uint32_t> peerUserID(int fd);
std::optional<std::int32_t> peerProcessID(int fd);

// `write` for sockets that never raises SIGPIPE; same result convention.
ssize_t sendNoSignal(int fd, const void* data, std::size_t size);

// Passes an open descriptor to the peer of a connected local socket, with
// one byte of data; and receives one (close-on-exec), waiting at most
// `timeoutMilliseconds`. Invalid when the peer sent data without one.
bool sendDescriptor(int socket, int fd);
ScopedFD receiveDescriptor(int socket, int timeoutMilliseconds);
// What differs by OS in passing one: `sendmsg` that never raises SIGPIPE,
// and `recvmsg` that makes the descriptors received close-on-exec where the
// OS does it atomically (receiveDescriptor sets the flag anyway).
ssize_t sendMessageNoSignal(int socket, const msghdr* message);
ssize_t receiveMessage(int socket, msghdr* message);

// A new IPv4 stream socket, close-on-exec, set up like a socket from
// `newLocalStreamSocket` for `sendNoSignal`. Invalid (errno set) on failure.
ScopedFD newInternetStreamSocket();

// One pending connection of a listening socket of either family,
// close-on-exec, blocking unless asked, set up for `sendNoSignal`.
ScopedFD acceptConnection(int server, bool nonBlocking);

// True while some socket listens on 127.0.0.1:`port` (read from the
// kernel's socket table, so that nothing connects to find out).
bool hasLoopbackListener(std::uint16_t port);

// A pipe whose two ends are close-on-exec. False (errno set) on failure.
bool newPipe(ScopedFD& readEnd, ScopedFD& writeEnd);

}  // namespace korvelin::platform
