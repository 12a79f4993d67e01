#pragma once

// What passing a descriptor over a local socket does differently on each OS;
// the passing itself is shared (LocalSocket.cpp).

namespace korvelin::platform {

// The flags of the sendmsg that carries a descriptor (Linux: MSG_NOSIGNAL;
// macOS: none, the socket carries SO_NOSIGPIPE) and of the recvmsg that
// takes one (Linux: MSG_CMSG_CLOEXEC; macOS: none).
extern const int kDescriptorSendFlags;
extern const int kDescriptorReceiveFlags;

// Makes a received descriptor close-on-exec where receiving could not;
// false when that failed.
bool finishReceivedDescriptor(int fd);

}  // namespace korvelin::platform
