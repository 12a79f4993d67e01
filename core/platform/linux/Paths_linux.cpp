#if defined(__linux__)

#include "core/platform/Paths.h"

namespace korvelin::platform {

namespace {
std::string joined(std::string_view directory, std::string_view name) {
  std::string result(directory);
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  if (result != "/")
    result += '/';
  result += name;
  return result;
}
}  // namespace

std::string defaultBaseDirectory(std::string_view home,
                                 std::optional<std::string_view> xdgDataHome) {
  // A relative XDG_DATA_HOME is to be ignored, as the XDG base-directory rules say.
  if (xdgDataHome && !xdgDataHome->empty() && xdgDataHome->front() == '/')
    return joined(*xdgDataHome, "Korvelin");
  return joined(joined(home, ".local/share"), "Korvelin");
}

}  // namespace korvelin::platform

#endif  // __linux__
