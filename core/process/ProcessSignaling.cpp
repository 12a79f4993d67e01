#include "core/process/ProcessSignaling.h"

#include <signal.h>

#include <cerrno>

namespace korvelin {

int SystemProcessSignaler::signalProcess(std::int32_t pid, int signal) {
  errno = 0;
  return ::kill(pid, signal) == 0 ? 0 : errno;
}

int SystemProcessSignaler::signalGroup(std::int32_t processGroupID, int signal) {
  errno = 0;
  return ::kill(-processGroupID, signal) == 0 ? 0 : errno;
}

}  // namespace korvelin
