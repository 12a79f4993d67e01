#if defined(__linux__)

#include <fcntl.h>
#include <stdio.h>

#include "core/platform/Rename.h"

namespace korvelin::platform {

int renameExchange(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameat2(fromDirectory, from, toDirectory, to, RENAME_EXCHANGE);
}

int renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameat2(fromDirectory, from, toDirectory, to, RENAME_NOREPLACE);
}

}  // namespace korvelin::platform

#endif  // __linux__
