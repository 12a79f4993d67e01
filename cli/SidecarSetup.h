#pragma once

// Where the host finds the guardian and the engine, and the sidecar
// supervisor it builds from them, shared by `korvelin demo` and
// `korvelin proxy`.

#include <memory>
#include <string>

#include "cli/Text.h"
#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin::cli {

struct SidecarTools {
  std::string guardian;  // --guardian, default: next to this build's korvelin
  std::string engine;    // --xray, default: the real engine scripts/bootstrap builds
  std::string probeURL;  // --probe-url, default: the public IP echo
};

// The defaults for a build tree: <build>/guardian/korvelin-xray-guardian,
// <build> being the directory above the one this executable lives in, and
// the real engine in "${XDG_CACHE_HOME:-$HOME/.cache}/korvelin/xray-<pinned
// version>/xray". Empty strings for what cannot be found.
SidecarTools defaultSidecarTools();

// This build's stand-in engine (<build>/tests/programs/standin-xray): test
// support that honours the engine's interface but forwards directly, so it
// must never serve a real link. Empty when it cannot be found.
std::string standinEngine();

// The one-line refusal when no real engine was found for a real link.
Message noRealEngineMessage();

// A guarded supervisor using lsof, curl (towards `tools.probeURL`) and the
// two executables, both checked like a bundled engine.
std::unique_ptr<XraySidecarSupervisor> makeSidecarSupervisor(const SidecarTools& tools);

// korvelin-browser-shim beside this korvelin executable.
std::string defaultBrowserShim();

}  // namespace korvelin::cli
