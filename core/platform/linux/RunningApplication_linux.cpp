#if defined(__linux__)

// Linux has no running-application handles to ask for a native quit: the
// resolver finds nothing, so a quit request is refused and the supervisor
// relies on SIGTERM to the group alone.

#include "core/platform/RunningApplication.h"

namespace korvelin {

namespace {
class NoRunningApplications final : public RunningApplicationResolving {
 public:
  std::optional<RunningApplicationHandle> runningApplication(std::int32_t) override {
    return std::nullopt;
  }
};
}  // namespace

std::shared_ptr<RunningApplicationResolving> makeSystemRunningApplicationResolver() {
  return std::make_shared<NoRunningApplications>();
}

}  // namespace korvelin

#endif  // __linux__
