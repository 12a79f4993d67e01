#pragma once

#include <string>

namespace korvelin::platform {

// The running operating system's version as dot-separated numbers, for
// comparing with a release's minimum. macOS: the product version's major,
// minor and patch ("14.6.1"). Linux has no system version of that kind: the
// kernel release's leading numbers stand for it ("6.1.0" of "6.1.0-18-amd64").
std::string operatingSystemVersion();

}  // namespace korvelin::platform
