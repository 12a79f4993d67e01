#pragma once

// Downloading the update feed: one HTTPS GET of at most 131072 bytes, within a
// total deadline, refusing redirects and ignoring any proxy the environment
// names. Every failure is AppUpdateError::transport.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// What the update check fetches through; tests substitute it.
class AppUpdateFetching {
 public:
  virtual ~AppUpdateFetching() = default;
  virtual std::string fetch(std::string_view url) = 0;
};

class AppUpdateHTTPClient : public AppUpdateFetching {
 public:
  struct Options {
    std::chrono::milliseconds deadline{30000};  // the whole exchange, connection included
    std::optional<std::string>
        certificateAuthorities;  // a PEM file trusted instead of the system's
  };

  AppUpdateHTTPClient() = default;
  explicit AppUpdateHTTPClient(Options options) : options_(std::move(options)) {}

  // The body of a 200 answer to exactly `url` (a safe URL, else transport).
  std::string fetch(std::string_view url) override;

 private:
  Options options_;
};

}  // namespace korvelin
