#if defined(__APPLE__)

#include <stdio.h>

#include "core/platform/Rename.h"

namespace korvelin::platform {

int renameExchange(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameatx_np(fromDirectory, from, toDirectory, to, RENAME_SWAP);
}

int renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameatx_np(fromDirectory, from, toDirectory, to, RENAME_EXCL);
}

}  // namespace korvelin::platform

#endif  // __APPLE__
