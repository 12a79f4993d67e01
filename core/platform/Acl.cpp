#include "core/platform/Acl.h"

namespace korvelin::platform {

bool aclTextIsDenyOnly(std::string_view text) {
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.substr(0, 5) == "!#acl")
      continue;
    if (line.find(":deny:") == std::string_view::npos ||
        line.find(":allow:") != std::string_view::npos)
      return false;
  }
  return true;
}

}  // namespace korvelin::platform
