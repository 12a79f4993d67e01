#if defined(__linux__)

#include "core/platform/StatTime.h"

namespace korvelin::platform {

struct timespec modificationTime(const struct stat& info) {
  return info.st_mtim;
}
struct timespec statusChangeTime(const struct stat& info) {
  return info.st_ctim;
}

}  // namespace korvelin::platform

#endif  // __linux__
