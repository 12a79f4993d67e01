#pragma once

// Internal to the platform layer: the one step of spawnWithInput that differs
// by OS.

#include <spawn.h>

namespace korvelin::platform::detail {

// Arranges that the child inherits only descriptors 0, 1 and 2. Returns 0 or
// an errno value.
int inheritOnlyStandardStreams(posix_spawnattr_t& attributes, posix_spawn_file_actions_t& actions);

}  // namespace korvelin::platform::detail
