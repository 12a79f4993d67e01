// An application's Info.plist is read before anything about the bundle is
// trusted: XML or binary, any bytes must either parse to a dictionary or be
// refused, without crashing.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/apps/InfoPlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto plist = korvelin::InfoPlist::parse(bytes))
    for (const char* key : {"CFBundleIdentifier", "CFBundleShortVersionString", "CFBundleVersion",
                            "CFBundleExecutable", "CFBundleName"})
      (void)plist->string(key);
  return 0;
}
