#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/ThrownError.h"

namespace korvelin::testing {

// A directory with exactly `mode`, whatever the umask.
void makeDirectory(const std::string& path, mode_t mode = 0700);
// A regular file with exactly `mode`.
void makeFile(const std::string& path, mode_t mode = 0600, const std::string& content = "");
void makeSymlink(const std::string& target, const std::string& path);
mode_t modeOf(const std::string& path);         // permission bits, links not followed
bool exists(const std::string& path);           // links not followed
std::string readText(const std::string& path);  // the whole file; empty when unreadable

// Runs /usr/bin/setfacl with `arguments`; fails the test if it does not succeed.
void setfacl(const std::vector<std::string>& arguments);

// Runs `operation`, which must throw a KorvelinCoreError, and returns it.
// Also checks that the operation left no descriptor open.
KorvelinCoreError expectCoreError(const std::function<void()>& operation);

}  // namespace korvelin::testing
