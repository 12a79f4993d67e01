#pragma once

#include <optional>
#include <string>

namespace korvelin::testing {

// A real peer that scripts/bootstrap fetches or builds once into
// "${XDG_CACHE_HOME:-$HOME/.cache}/korvelin/<name>-<pinned version>/<name>".
// Absent when it is not there; `reason` then says why (the bootstrap's own
// note, "<name>-<version>.unavailable", when it could not get it), so that a
// test can skip visibly:
//   GTEST_SKIP() << "real Xray unavailable: " << reason;
std::optional<std::string> cachedPeerPath(const std::string& name,
                                          const std::string& version,
                                          std::string& reason);

// The real Xray and its pinned version (scripts/xray-version).
std::optional<std::string> realXrayPath(std::string& reason);
std::string realXrayVersion();

// The Codex CLI's native executable and its pinned version
// (scripts/codex-version).
std::optional<std::string> realCodexPath(std::string& reason);
std::string realCodexVersion();

}  // namespace korvelin::testing
