#pragma once

// The "vless://" share link that carries a configuration, every value
// percent-encoded: what a user would paste to get it back. Header-only so
// that the fuzz targets, which link nothing but the library, use it too.

#include <optional>
#include <string>
#include <string_view>

#include "core/base/HexCoding.h"
#include "core/proxy/VLESSConnection.h"

namespace korvelin::testing {

// Only the unreserved characters stay as they are.
inline std::string percentEncoded(std::string_view text) {
  return korvelin::percentEncoded(text, [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
  });
}

inline std::string shareLink(const VLESSRealityConfiguration& c) {
  const bool ipv6 = c.host.find(':') != std::string::npos;
  std::string text = "vless://" + c.id.lowercaseString() + "@" +
                     (ipv6 ? "[" + c.host + "]" : c.host) + ":" + std::to_string(c.port) + "?";
  const bool tcp = c.transport == VLESSConnectionTransport::realityTCP;
  text += tcp ? "type=tcp&flow=xtls-rprx-vision" : "type=grpc";
  text += "&security=" + std::string(rawValue(c.security));
  text += "&sni=" + percentEncoded(c.serverName) + "&fp=" + percentEncoded(c.fingerprint);
  auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (value)
      text += std::string("&") + name + "=" + percentEncoded(*value);
  };
  add("pbk", c.publicKey);
  add("sid", c.shortID);
  add("spx", c.spiderX);
  add("pqv", c.mldsa65Verify);
  add("serviceName", c.serviceName);
  add("authority", c.authority);
  add("alpn", c.alpn);
  return text;
}

}  // namespace korvelin::testing
