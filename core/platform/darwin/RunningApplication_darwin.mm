#if defined(__APPLE__)

// Running-application handles from AppKit, for quitting an application the
// way the user would before any signal is sent.

#import <AppKit/AppKit.h>

#include "core/platform/RunningApplication.h"

namespace korvelin {

namespace {

std::optional<std::string> pathOf(NSURL* url) {
  if (url == nil || !url.isFileURL)
    return std::nullopt;
  return std::string(url.path.fileSystemRepresentation);
}

class AppKitRunningApplicationResolver final : public RunningApplicationResolving {
 public:
  std::optional<RunningApplicationHandle> runningApplication(std::int32_t pid) override {
    NSRunningApplication* application =
        [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
    if (application == nil)
      return std::nullopt;
    RunningApplicationHandle handle;
    handle.processIdentifier = application.processIdentifier;
    if (application.bundleIdentifier != nil)
      handle.bundleIdentifier = std::string(application.bundleIdentifier.UTF8String);
    handle.bundlePath = pathOf(application.bundleURL);
    handle.executablePath = pathOf(application.executableURL);
    handle.requestQuit = [application] { return static_cast<bool>([application terminate]); };
    return handle;
  }
};

}  // namespace

std::shared_ptr<RunningApplicationResolving> makeSystemRunningApplicationResolver() {
  return std::make_shared<AppKitRunningApplicationResolver>();
}

}  // namespace korvelin

#endif  // __APPLE__
