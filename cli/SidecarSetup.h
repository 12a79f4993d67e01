#pragma once

// Where the host finds the guardian and the engine, and the sidecar
// supervisor it builds from them, shared by `korvelin demo` and
// `korvelin proxy`.

#include <memory>
#include <string>

#include "core/proxy/XraySidecarSupervisor.h"

namespace korvelin::cli {

struct SidecarTools {
  std::string guardian;  // --guardian, default: next to this build's korvelin
  std::string engine;    // --xray, default: the stand-in engine of this build
  std::string probeURL;  // --probe-url, default: the public IP echo
};

// The defaults for a build tree: <build>/guardian/korvelin-xray-guardian and
// <build>/tests/programs/standin-xray, <build> being the directory above the
// one this executable lives in. Empty strings when they cannot be found.
SidecarTools defaultSidecarTools();

// A guarded supervisor using lsof, curl (towards `tools.probeURL`) and the
// two executables, both checked like a bundled engine.
std::unique_ptr<XraySidecarSupervisor> makeSidecarSupervisor(const SidecarTools& tools);

}  // namespace korvelin::cli
