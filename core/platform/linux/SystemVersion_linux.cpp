#if defined(__linux__)

#include <sys/utsname.h>

#include "core/platform/SystemVersion.h"

namespace korvelin::platform {

std::string operatingSystemVersion() {
  struct utsname names {};
  if (::uname(&names) != 0)
    return "";
  // At most three groups of digits, as long as they are separated by points.
  std::string version;
  int groups = 0;
  for (const char* c = names.release; *c; ++c) {
    if (*c >= '0' && *c <= '9') {
      version += *c;
    } else if (*c == '.' && !version.empty() && version.back() != '.' && groups < 2) {
      version += *c;
      ++groups;
    } else {
      break;
    }
  }
  if (!version.empty() && version.back() == '.')
    version.pop_back();
  return version;
}

}  // namespace korvelin::platform

#endif
