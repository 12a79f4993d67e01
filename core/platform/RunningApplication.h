#pragma once

// The platform's handles on running applications, through which an
// application can be asked to quit the way its own menu would.
//   Linux: none; the resolver finds nothing.
//   macOS: NSRunningApplication.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvelin {

struct RunningApplicationHandle {
  std::int32_t processIdentifier = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> bundlePath;
  std::optional<std::string> executablePath;
  std::function<bool()> requestQuit;
};

class RunningApplicationResolving {
 public:
  virtual ~RunningApplicationResolving() = default;
  virtual std::optional<RunningApplicationHandle> runningApplication(std::int32_t pid) = 0;
};

std::shared_ptr<RunningApplicationResolving> makeSystemRunningApplicationResolver();

}  // namespace korvelin
