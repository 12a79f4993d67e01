#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace korvelin::testing {

// The NUL-separated strings of /proc/PID/`file` ("cmdline", "environ");
// empty when the process is gone.
std::vector<std::string> procStrings(pid_t pid, const char* file);

// The processes other than this one whose command line `matches`.
std::vector<pid_t> processesWhere(
    const std::function<bool(const std::vector<std::string>& arguments)>& matches);

}  // namespace korvelin::testing
