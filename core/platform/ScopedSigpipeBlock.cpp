#include "core/platform/ScopedSigpipeBlock.h"

#include <pthread.h>

namespace korvelin::platform {
namespace {

sigset_t sigpipeOnly() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGPIPE);
  return set;
}

bool sigpipePending() {
  sigset_t pending;
  ::sigemptyset(&pending);
  return ::sigpending(&pending) == 0 && ::sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

ScopedSigpipeBlock::ScopedSigpipeBlock() {
  const sigset_t pipe = sigpipeOnly();
  ::pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
  // One that was pending before is not ours to swallow.
  alreadyPending_ = sigpipePending();
}

ScopedSigpipeBlock::~ScopedSigpipeBlock() {
  if (!alreadyPending_ && sigpipePending()) {
    const sigset_t pipe = sigpipeOnly();
    int signal = 0;
    ::sigwait(&pipe, &signal);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace korvelin::platform
