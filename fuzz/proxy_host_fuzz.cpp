// Proxy hosts come from the user and from the catalogue file. Whatever the
// normaliser accepts must be printable ASCII and already canonical: feeding
// its output back in must give the same text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/profile/ProfileProxyConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string host;
  try {
    host = korvelin::ProfileProxyConfiguration::normalizedHost(text);
  } catch (const korvelin::KorvelinCoreError&) {
    return 0;
  }
  if (host.empty() || host.size() > 253)
    __builtin_trap();
  for (char c : host)
    if (c < 33 || c > 126 || (c >= 'A' && c <= 'Z'))
      __builtin_trap();
  if (korvelin::ProfileProxyConfiguration::normalizedHost(host) != host)
    __builtin_trap();
  korvelin::ProfileProxyConfiguration proxy(korvelin::ProfileProxyScheme::socks5, host, 1080);
  if (proxy.validated() != proxy)
    __builtin_trap();
  return 0;
}
