#pragma once

// The system's own check of code signatures, where there is one.
//   macOS: the Security framework checks a Developer ID signature against a
//          requirement, on disk (every architecture, nested code, strict) or
//          for the running guest the kernel knows by its pid.
//   Linux: nothing is signed; `systemSignsCode` is false and the checks
//          always fail. The shared code stands in with ownership rules and a
//          hash of the executable's bytes instead.

#include <cstdint>
#include <optional>
#include <string>

namespace korvelin::platform {

bool systemSignsCode();

struct SignedCode {
  std::string team;
  std::string codeDirectoryHash;  // raw bytes
};

// The signer of the code, once the system has found its signature valid and
// meeting `requirement`. `code` is absent when it did not, and `failure`
// names the failing call and the system's status for it.
struct SignatureCheck {
  std::optional<SignedCode> code;
  std::string failure;
};

SignatureCheck checkCodeSignature(const std::string& path, const std::string& requirement);
SignatureCheck checkRunningCodeSignature(std::int32_t pid, const std::string& requirement);

}  // namespace korvelin::platform
