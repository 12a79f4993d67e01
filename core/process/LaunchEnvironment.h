#pragma once

#include <map>
#include <string>

namespace korvelin {

// The environment a launched application gets: only a few harmless host
// variables survive, PATH is defaulted when the host has none, and the plan's
// overrides win. Sorted by key, as "KEY=VALUE" strings are emitted.
std::map<std::string, std::string> sanitizedEnvironment(
    const std::map<std::string, std::string>& host,
    const std::map<std::string, std::string>& overrides);

}  // namespace korvelin
