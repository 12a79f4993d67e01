#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/Uuid.h"

namespace korvelin::testing {

// What a supported VLESS share link carries, field for field as the parsed
// link configuration will hold it, so that the tests written against this
// stand-in move to the real parser by replacing the type.
struct VlessLinkFields {
  Uuid id;
  std::string host;
  uint16_t port = 0;
  std::string transport;  // "realityTCP" or "grpc"
  std::string security;   // "reality" or "tls"
  std::string serverName;
  std::optional<std::string> publicKey;
  std::optional<std::string> shortID;
  std::string fingerprint = "chrome";
  std::optional<std::string> spiderX;
  std::optional<std::string> mldsa65Verify;
  std::optional<std::string> serviceName;
  std::optional<std::string> authority;
  std::optional<std::string> alpn;
};

// The client configuration the product hands to Xray for such a link: a
// SOCKS5 listener without authentication on 127.0.0.1:`loopbackPort` and the
// one VLESS outbound, with exactly the product's key set. `dump()` of the
// result is the product's byte form (sorted keys, no pretty printing).
nlohmann::json clientConfiguration(const VlessLinkFields& link, uint16_t loopbackPort);

// The "vless://" share link that carries `link`.
std::string shareLink(const VlessLinkFields& link);

}  // namespace korvelin::testing
