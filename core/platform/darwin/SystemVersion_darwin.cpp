#if defined(__APPLE__)

#include <sys/sysctl.h>

#include <string>

#include "core/platform/SystemVersion.h"

namespace korvelin::platform {

std::string operatingSystemVersion() {
  char text[64] = {};
  size_t size = sizeof text - 1;
  if (::sysctlbyname("kern.osproductversion", text, &size, nullptr, 0) != 0)
    return "";
  std::string version(text);
  // Major, minor and patch: "14.6" becomes "14.6.0".
  int points = 0;
  for (char c : version)
    points += c == '.';
  for (; points < 2; ++points)
    version += ".0";
  return version;
}

}  // namespace korvelin::platform

#endif
