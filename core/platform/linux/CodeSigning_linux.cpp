#if defined(__linux__)

#include "core/platform/CodeSigning.h"

namespace korvelin::platform {

bool systemSignsCode() {
  return false;
}

SignatureCheck checkCodeSignature(const std::string&, const std::string&) {
  return {std::nullopt, "code signatures are not supported"};
}

SignatureCheck checkRunningCodeSignature(std::int32_t, const std::string&) {
  return {std::nullopt, "code signatures are not supported"};
}

}  // namespace korvelin::platform

#endif  // __linux__
