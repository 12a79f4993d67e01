#pragma once

#include <cstdint>
#include <string>

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

}  // namespace korvelin::testing
