#if defined(__linux__)

#include "core/platform/SpawnSupport.h"

namespace korvelin::platform {

int inheritOnlyStandardStreams(SpawnAttributes&, SpawnFileActions& actions) {
  return posix_spawn_file_actions_addclosefrom_np(&actions.value, 3);
}

}  // namespace korvelin::platform

#endif  // __linux__
