#include "tests/support/XrayClientConfiguration.h"

#include <cctype>
#include <cstdio>

namespace korvelin::testing {

using nlohmann::json;

json clientConfiguration(const VlessLinkFields& link, uint16_t loopbackPort) {
  const bool tcp = link.transport == "realityTCP";
  json user = {{"id", link.id.lowercaseString()}, {"encryption", "none"}};
  if (tcp) user["flow"] = "xtls-rprx-vision";

  json stream = {{"network", tcp ? "tcp" : "grpc"}, {"security", link.security}};
  if (!tcp) {
    stream["grpcSettings"] = {{"serviceName", link.serviceName.value_or("")}, {"multiMode", false}};
    if (link.authority) stream["grpcSettings"]["authority"] = *link.authority;
  }
  if (link.security == "tls") {
    stream["tlsSettings"] = {{"fingerprint", link.fingerprint}, {"serverName", link.serverName}};
    if (link.alpn) stream["tlsSettings"]["alpn"] = json::array({*link.alpn});
  } else {
    json& reality = stream["realitySettings"];
    reality = {{"fingerprint", link.fingerprint},
               {"serverName", link.serverName},
               {"publicKey", link.publicKey.value_or("")}};
    if (link.shortID) reality["shortId"] = *link.shortID;
    if (link.spiderX) reality["spiderX"] = *link.spiderX;
    if (link.mldsa65Verify) reality["mldsa65Verify"] = *link.mldsa65Verify;
    if (link.alpn) reality["alpn"] = json::array({*link.alpn});
  }

  return {
      {"log", {{"loglevel", "warning"}}},
      {"inbounds",
       json::array({{{"listen", "127.0.0.1"},
                     {"port", loopbackPort},
                     {"protocol", "socks"},
                     {"settings", {{"auth", "noauth"}, {"udp", false}}}}})},
      {"outbounds",
       json::array({{{"protocol", "vless"},
                     {"settings",
                      {{"vnext", json::array({{{"address", link.host},
                                               {"port", link.port},
                                               {"users", json::array({user})}}})}}},
                     {"streamSettings", stream}}})},
  };
}

namespace {

std::string percentEncoded(const std::string& text) {
  std::string result;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      result += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      result += escape;
    }
  }
  return result;
}

}  // namespace

std::string shareLink(const VlessLinkFields& link) {
  const bool tcp = link.transport == "realityTCP";
  const bool ipv6 = link.host.find(':') != std::string::npos;
  std::string text = "vless://" + link.id.lowercaseString() + "@" +
                     (ipv6 ? "[" + link.host + "]" : link.host) + ":" +
                     std::to_string(link.port) + "?encryption=none&type=" +
                     (tcp ? "tcp" : "grpc") + "&security=" + link.security +
                     "&sni=" + link.serverName + "&fp=" + link.fingerprint;
  auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (value) text += std::string("&") + name + "=" + percentEncoded(*value);
  };
  if (tcp) text += "&flow=xtls-rprx-vision";
  add("pbk", link.publicKey);
  add("sid", link.shortID);
  add("spx", link.spiderX);
  add("pqv", link.mldsa65Verify);
  add("serviceName", link.serviceName);
  add("authority", link.authority);
  add("alpn", link.alpn);
  return text + "#loopback";
}

}  // namespace korvelin::testing
