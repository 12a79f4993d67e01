#pragma once

#include <string>
#include <vector>

namespace korvelin::guardian {

// Runs the guardian with its command line ("--xray" PATH "--socket" PATH) and
// returns its exit status, 0 once Xray has been stopped and reaped. A
// start-up failure does not return: it prints "guardian: " and the reason on
// standard error and exits with status 1.
int runGuardian(const std::vector<std::string>& arguments);

}  // namespace korvelin::guardian
