#if defined(__APPLE__)

// Developer ID signatures checked by the Security framework: the static form
// checks every architecture and nested code strictly, the running form the
// guest the kernel knows by its pid.

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <string>

#include "core/platform/CodeSigning.h"

namespace korvelin::platform {

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

SignatureCheck failed(const char* call, OSStatus status) {
  return {std::nullopt, std::string(call) + ": " + std::to_string(status)};
}

OSStatus makeRequirement(const std::string& text, CFOwned<SecRequirementRef>& requirement) {
  CFOwned<CFStringRef> string(
      CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
  if (!string.get())
    return errSecParam;
  return SecRequirementCreateWithString(string.get(), kSecCSDefaultFlags, requirement.out());
}

SignatureCheck signingIdentity(SecStaticCodeRef code) {
  CFOwned<CFDictionaryRef> information;
  const OSStatus status =
      SecCodeCopySigningInformation(code, kSecCSSigningInformation, information.out());
  if (status != errSecSuccess || !information.get())
    return failed("SecCodeCopySigningInformation", status);
  const auto team =
      static_cast<CFTypeRef>(CFDictionaryGetValue(information.get(), kSecCodeInfoTeamIdentifier));
  const auto unique =
      static_cast<CFTypeRef>(CFDictionaryGetValue(information.get(), kSecCodeInfoUnique));
  if (!team || CFGetTypeID(team) != CFStringGetTypeID() || !unique ||
      CFGetTypeID(unique) != CFDataGetTypeID())
    return failed("SecCodeCopySigningInformation", 0);
  char buffer[256] = {};
  if (!CFStringGetCString(static_cast<CFStringRef>(team), buffer, sizeof buffer,
                          kCFStringEncodingUTF8))
    return failed("SecCodeCopySigningInformation", 0);
  const auto data = static_cast<CFDataRef>(unique);
  const std::string bytes(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                          static_cast<std::size_t>(CFDataGetLength(data)));
  return {SignedCode{buffer, bytes}, {}};
}

}  // namespace

bool systemSignsCode() {
  return true;
}

SignatureCheck checkCodeSignature(const std::string& path, const std::string& requirementText) {
  CFOwned<SecRequirementRef> requirement;
  if (const OSStatus status = makeRequirement(requirementText, requirement);
      status != errSecSuccess)
    return failed("SecRequirementCreateWithString", status);
  CFOwned<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.c_str()),
      static_cast<CFIndex>(path.size()), false));
  CFOwned<SecStaticCodeRef> code;
  OSStatus status = url.get()
                        ? SecStaticCodeCreateWithPath(url.get(), kSecCSDefaultFlags, code.out())
                        : errSecParam;
  if (status != errSecSuccess)
    return failed("SecStaticCodeCreateWithPath", status);
  status = SecStaticCodeCheckValidity(
      code.get(), kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate,
      requirement.get());
  if (status != errSecSuccess)
    return failed("SecStaticCodeCheckValidity", status);
  return signingIdentity(code.get());
}

SignatureCheck checkRunningCodeSignature(std::int32_t pid, const std::string& requirementText) {
  CFOwned<SecRequirementRef> requirement;
  if (const OSStatus status = makeRequirement(requirementText, requirement);
      status != errSecSuccess)
    return failed("SecRequirementCreateWithString", status);
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
    return failed("SecCodeCopyGuestWithAttributes", status);
  status = SecCodeCheckValidity(code.get(), kSecCSStrictValidate, requirement.get());
  if (status != errSecSuccess)
    return failed("SecCodeCheckValidity", status);
  CFOwned<SecStaticCodeRef> staticCode;
  status = SecCodeCopyStaticCode(code.get(), kSecCSDefaultFlags, staticCode.out());
  if (status != errSecSuccess)
    return failed("SecCodeCopyStaticCode", status);
  return signingIdentity(staticCode.get());
}

}  // namespace korvelin::platform

#endif  // __APPLE__
