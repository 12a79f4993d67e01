#if defined(__APPLE__)

#include "core/platform/Paths.h"

namespace korvelin::platform {

std::string defaultBaseDirectory(std::string_view home, std::optional<std::string_view>) {
  std::string result(home);
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result + "/Library/Application Support/Korvelin";
}

}  // namespace korvelin::platform

#endif  // __APPLE__
