#pragma once

// Constants that differ between macOS and Linux. This is the one header in the
// shared tree that branches on the operating system.

#include <optional>
#include <string>
#include <string_view>

namespace korvelin::platform {

#if defined(__APPLE__)
inline constexpr std::string_view kLsofPath = "/usr/sbin/lsof";
inline constexpr std::string_view kTemporaryDirectory = "/private/tmp";
inline constexpr std::string_view kApplicationSupportDirectory = "Library/Application Support";
#elif defined(__linux__)
inline constexpr std::string_view kLsofPath = "/usr/bin/lsof";
inline constexpr std::string_view kTemporaryDirectory = "/tmp";
inline constexpr std::string_view kApplicationSupportDirectory = ".local/share";
#else
#error "unsupported operating system"
#endif

inline constexpr std::string_view kCurlPath = "/usr/bin/curl";
inline constexpr std::string_view kNullDevice = "/dev/null";

// The default profile base directory. The host reads its environment and
// passes the values in; the library itself never reads environment variables.
//   macOS: home + "/Library/Application Support/Korvelin"
//   Linux: $XDG_DATA_HOME/Korvelin when set and absolute, else home + "/.local/share/Korvelin"
std::string defaultBaseDirectory(std::string_view home,
                                 std::optional<std::string_view> xdgDataHome);

}  // namespace korvelin::platform
