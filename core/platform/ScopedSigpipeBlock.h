#pragma once

#include <signal.h>

namespace korvelin::platform {

// Keeps SIGPIPE from ending the process while this thread writes to a peer
// that may have gone (a library such as libcurl writing through TLS): the
// signal is blocked for this thread while the object lives, and one raised
// meanwhile is consumed before the previous mask returns, so the write just
// fails with EPIPE.
class ScopedSigpipeBlock {
 public:
  ScopedSigpipeBlock();
  ~ScopedSigpipeBlock();
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;

 private:
  sigset_t previous_;
  bool alreadyPending_ = false;
};

}  // namespace korvelin::platform
