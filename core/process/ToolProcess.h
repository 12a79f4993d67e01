#pragma once

// Running a system tool (lsof, curl) to completion with a bounded reading of
// what it prints.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvelin {

struct ToolResult {
  std::optional<int> exitCode;   // absent when killed by a signal or on time-out
  std::string output;            // standard output, at most the limit given
  bool outputOverLimit = false;  // it printed more than the limit
};

// Starts `path` with `arguments` and exactly `environment`; standard input
// and error on the null device, no other descriptor inherited. Standard
// output is read up to `maxOutput` bytes (anything beyond is read and
// dropped, so the tool never blocks on a full pipe). A tool still running at
// `timeout` is killed. Throws nothing; a tool that cannot start gives an
// absent exit code.
ToolResult runTool(const std::string& path,
                   const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment,
                   std::size_t maxOutput,
                   std::chrono::milliseconds timeout);

}  // namespace korvelin
