#pragma once

#include <optional>
#include <string>

namespace korvelin::testing {

// The real Xray executable that scripts/bootstrap builds once into
// "${XDG_CACHE_HOME:-$HOME/.cache}/korvelin/xray-<pinned version>/xray".
// Absent when it is not there; `reason` then says why (the bootstrap's own
// note when it could not build it), so that a test can skip visibly:
//   GTEST_SKIP() << "real Xray unavailable: " << reason;
std::optional<std::string> realXrayPath(std::string& reason);

// The pinned version, as scripts/xray-version names it.
std::string realXrayVersion();

}  // namespace korvelin::testing
