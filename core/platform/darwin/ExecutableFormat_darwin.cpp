#if defined(__APPLE__)

#include "core/platform/ExecutableFormat.h"

namespace korvelin::platform {

std::optional<std::string> nativeExecutableArchitecture(std::string_view) {
  return std::nullopt;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
