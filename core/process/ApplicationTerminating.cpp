#include "core/process/ApplicationTerminating.h"

#include "core/files/FilePath.h"

namespace korvelin {

RunningApplicationTerminator::RunningApplicationTerminator(
    std::shared_ptr<RunningApplicationResolving> resolver)
    : resolver_(std::move(resolver)) {}

bool RunningApplicationTerminator::requestQuit(std::int32_t pid,
                                               const ApplicationTerminationIdentity& expected) {
  if (!resolver_)
    return false;
  auto application = resolver_->runningApplication(pid);
  if (!application || application->processIdentifier != pid)
    return false;
  if (application->bundleIdentifier != expected.bundleIdentifier)
    return false;
  if (!application->bundlePath ||
      standardizedPath(*application->bundlePath) != standardizedPath(expected.bundlePath))
    return false;
  if (!application->executablePath ||
      standardizedPath(*application->executablePath) != standardizedPath(expected.executablePath))
    return false;
  return application->requestQuit && application->requestQuit();
}

}  // namespace korvelin
