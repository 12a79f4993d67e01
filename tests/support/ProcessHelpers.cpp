#include "tests/support/ProcessHelpers.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>

namespace korvelin::testing {

void becomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

bool reapIfExited(pid_t pid) {
  int status;
  pid_t done = ::waitpid(pid, &status, WNOHANG);
  return done == pid || (done < 0 && errno == ECHILD);
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace korvelin::testing
