// A pasted share link is the most hostile text the system reads from a user.
// Besides never crashing, every accepted link must give a configuration that
// is already canonical: writing it back as a link and parsing that again gives
// the same value, and its Xray configuration is one JSON object with exactly
// the three top-level keys.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/CoreError.h"
#include "core/VLESSConnection.h"

namespace {

using korvelin::VLESSConnectionTransport;
using korvelin::VLESSRealityConfiguration;
using korvelin::VLESSTransportSecurity;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string escaped(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string result;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      result += static_cast<char>(c);
    } else {
      result += '%';
      result += hex[c >> 4];
      result += hex[c & 15];
    }
  }
  return result;
}

// The configuration written back as a link with every value escaped.
std::string link(const VLESSRealityConfiguration& c) {
  const bool ipv6 = c.host.find(':') != std::string::npos;
  std::string text = "vless://" + c.id.lowercaseString() + "@" +
                     (ipv6 ? "[" + c.host + "]" : c.host) + ":" + std::to_string(c.port) + "?";
  const bool tcp = c.transport == VLESSConnectionTransport::realityTCP;
  text += tcp ? "type=tcp&flow=xtls-rprx-vision" : "type=grpc";
  text += std::string("&security=") + std::string(korvelin::rawValue(c.security));
  text += "&sni=" + escaped(c.serverName) + "&fp=" + escaped(c.fingerprint);
  auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (value) text += std::string("&") + name + "=" + escaped(*value);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<VLESSRealityConfiguration> configuration;
  try {
    configuration.emplace(text);
  } catch (const korvelin::KorvelinCoreError& e) {
    check(e.errorCase() == korvelin::KorvelinCoreError::Case::invalidVLESSConfiguration);
    return 0;
  }
  const auto& c = *configuration;
  check(c.port != 0);
  check(VLESSRealityConfiguration::validatedEndpointHost(c.host) == c.host);
  check(c.publicKey.has_value() == (c.security == VLESSTransportSecurity::reality));
  check(c.serviceName.has_value() == (c.transport == VLESSConnectionTransport::grpc));
  check(VLESSRealityConfiguration(link(c)) == c);

  const auto xray = nlohmann::json::parse(c.xrayJSON(1080));
  check(xray.is_object() && xray.size() == 3 && xray.contains("log") && xray.contains("inbounds") &&
        xray.contains("outbounds"));
  check(xray["outbounds"][0]["settings"]["vnext"][0]["address"] == c.host);
  return 0;
}
