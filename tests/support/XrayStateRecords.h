#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/files/FilePath.h"
#include "core/platform/ScopedFD.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"

namespace korvelin::testing {

// An "active" record whose every field tells which sequence number it was
// written as, spread over the whole page so that a torn write mixes the
// bytes of two records.
inline XrayDurableState recordForSequence(const Uuid& profileID, std::uint64_t sequence) {
  XrayDurableState state = XrayDurableState::emptyRecord(profileID);
  state.status = XrayDurableState::Status::active;
  state.guardianPID = static_cast<std::int32_t>(sequence % 2000000000);
  state.loopbackPort = static_cast<std::uint16_t>(10000 + sequence % 50000);
  state.socketPath = "/tmp/korvelin-" + std::to_string(sequence) + "/" +
                     std::string(12000, static_cast<char>('a' + sequence % 26));
  state.protocolVersion = 2;
  return state;
}

// Overwrites the state file of `paths` with `bytes` at `offset`, in place, as
// damage or a power loss would; false when that was not possible.
inline bool overwriteState(const ProfilePaths& paths, off_t offset, const std::string& bytes) {
  const std::string file =
      appendingPathComponent(paths.root(), XrayDurableStateStore::kStateFileName);
  platform::ScopedFD fd(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
  return fd && ::pwrite(fd.get(), bytes.data(), bytes.size(), offset) ==
                   static_cast<ssize_t>(bytes.size());
}

}  // namespace korvelin::testing
