#pragma once

#include <cstdint>
#include <memory>

#include "core/platform/RunningApplication.h"
#include "core/process/ApplicationTerminationIdentity.h"

namespace korvelin {

// How the supervisor asks an application to quit natively, injected so that
// tests can stand in for the platform.
class ApplicationTerminating {
 public:
  virtual ~ApplicationTerminating() = default;
  virtual bool requestQuit(std::int32_t pid,
                           const ApplicationTerminationIdentity& expectedIdentity) = 0;
};

// Asks a running application to quit through the platform's application
// handles, after checking that the handle is the expected application. Linux
// has no such handles: its resolver finds nothing, so the request is refused.
class RunningApplicationTerminator final : public ApplicationTerminating {
 public:
  explicit RunningApplicationTerminator(std::shared_ptr<RunningApplicationResolving> resolver);
  bool requestQuit(std::int32_t pid,
                   const ApplicationTerminationIdentity& expectedIdentity) override;

 private:
  std::shared_ptr<RunningApplicationResolving> resolver_;
};

}  // namespace korvelin
