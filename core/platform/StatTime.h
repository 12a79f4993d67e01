#pragma once

// Full-precision times of a stat record, whose field names differ:
//   Linux: st_mtim / st_ctim;  macOS: st_mtimespec / st_ctimespec.

#include <sys/stat.h>
#include <time.h>

namespace korvelin::platform {

struct timespec modificationTime(const struct stat& info);
struct timespec statusChangeTime(const struct stat& info);

}  // namespace korvelin::platform
