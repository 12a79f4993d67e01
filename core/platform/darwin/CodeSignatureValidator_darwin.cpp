#if defined(__APPLE__)

// Developer ID signatures checked by the Security framework: the static form
// checks every architecture and nested code strictly, the running form the
// guest the kernel knows by its pid.

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <string>

#include "core/apps/CodeSignatureValidating.h"
#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"

namespace korvelin {

namespace {

// Releases a Core Foundation object at the end of its scope.
template <typename T>
class CFOwned {
 public:
  CFOwned() = default;
  explicit CFOwned(T value) : value_(value) {}
  ~CFOwned() {
    if (value_)
      CFRelease(value_);
  }
  CFOwned(const CFOwned&) = delete;
  CFOwned& operator=(const CFOwned&) = delete;
  T get() const { return value_; }
  T* out() { return &value_; }

 private:
  T value_ = nullptr;
};

[[noreturn]] void failed(const char* call, OSStatus status) {
  throw KorvelinCoreError::untrustedCodeSignature(std::string(call) + ": " +
                                                  std::to_string(status));
}

void makeRequirement(const std::string& text, CFOwned<SecRequirementRef>& requirement) {
  CFOwned<CFStringRef> string(
      CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
  if (!string.get())
    failed("SecRequirementCreateWithString", errSecParam);
  const OSStatus status =
      SecRequirementCreateWithString(string.get(), kSecCSDefaultFlags, requirement.out());
  if (status != errSecSuccess)
    failed("SecRequirementCreateWithString", status);
}

CodeSignatureIdentity signingIdentity(SecStaticCodeRef code) {
  CFOwned<CFDictionaryRef> information;
  const OSStatus status =
      SecCodeCopySigningInformation(code, kSecCSSigningInformation, information.out());
  if (status != errSecSuccess || !information.get())
    failed("SecCodeCopySigningInformation", status);
  const auto team =
      static_cast<CFTypeRef>(CFDictionaryGetValue(information.get(), kSecCodeInfoTeamIdentifier));
  const auto unique =
      static_cast<CFTypeRef>(CFDictionaryGetValue(information.get(), kSecCodeInfoUnique));
  if (!team || CFGetTypeID(team) != CFStringGetTypeID() || !unique ||
      CFGetTypeID(unique) != CFDataGetTypeID())
    failed("SecCodeCopySigningInformation", 0);
  char buffer[256] = {};
  if (!CFStringGetCString(static_cast<CFStringRef>(team), buffer, sizeof buffer,
                          kCFStringEncodingUTF8))
    failed("SecCodeCopySigningInformation", 0);
  const auto data = static_cast<CFDataRef>(unique);
  const std::string bytes(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                          static_cast<std::size_t>(CFDataGetLength(data)));
  return {buffer, hexEncoded(bytes)};
}

}  // namespace

CodeSignatureIdentity SecurityCodeSignatureValidator::validateCode(
    const std::string& path,
    const std::string& requirementText) const {
  CFOwned<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.c_str()),
      static_cast<CFIndex>(path.size()), false));
  CFOwned<SecStaticCodeRef> code;
  OSStatus status = url.get()
                        ? SecStaticCodeCreateWithPath(url.get(), kSecCSDefaultFlags, code.out())
                        : errSecParam;
  if (status != errSecSuccess)
    failed("SecStaticCodeCreateWithPath", status);
  CFOwned<SecRequirementRef> requirement;
  makeRequirement(requirementText, requirement);
  status = SecStaticCodeCheckValidity(
      code.get(), kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate,
      requirement.get());
  if (status != errSecSuccess)
    failed("SecStaticCodeCheckValidity", status);
  return signingIdentity(code.get());
}

CodeSignatureIdentity SecurityCodeSignatureValidator::validateRunningCode(
    std::int32_t pid,
    const std::string& requirementText) const {
  CFOwned<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &pid));
  const void* keys[] = {kSecGuestAttributePid};
  const void* values[] = {number.get()};
  CFOwned<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                         &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks));
  CFOwned<SecCodeRef> code;
  OSStatus status =
      SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.out());
  if (status != errSecSuccess)
    failed("SecCodeCopyGuestWithAttributes", status);
  CFOwned<SecRequirementRef> requirement;
  makeRequirement(requirementText, requirement);
  status = SecCodeCheckValidity(code.get(), kSecCSStrictValidate, requirement.get());
  if (status != errSecSuccess)
    failed("SecCodeCheckValidity", status);
  CFOwned<SecStaticCodeRef> staticCode;
  status = SecCodeCopyStaticCode(code.get(), kSecCSDefaultFlags, staticCode.out());
  if (status != errSecSuccess)
    failed("SecCodeCopyStaticCode", status);
  return signingIdentity(staticCode.get());
}

}  // namespace korvelin

#endif  // __APPLE__
