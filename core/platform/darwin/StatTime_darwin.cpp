#if defined(__APPLE__)

#include "core/platform/StatTime.h"

namespace korvelin::platform {

struct timespec modificationTime(const struct stat& info) {
  return info.st_mtimespec;
}
struct timespec statusChangeTime(const struct stat& info) {
  return info.st_ctimespec;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
