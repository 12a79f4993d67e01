#pragma once

// A VLESS share link as the user pastes it, the small set of shapes the
// system supports, and the Xray configuration that serves one of them as a
// local SOCKS proxy. A pasted link is the most hostile text the system takes
// from a user: everything outside the supported shapes is refused with one
// error that never repeats the link.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/base/Uuid.h"

namespace korvelin {

enum class VLESSConnectionTransport { realityTCP, grpc };
enum class VLESSTransportSecurity { tls, reality };

// Raw values: "realityTCP", "grpc"; "tls", "reality".
std::string_view rawValue(VLESSConnectionTransport transport);
std::string_view rawValue(VLESSTransportSecurity security);
// "VLESS (TCP + REALITY)" or "VLESS (gRPC)".
std::string_view displayName(VLESSConnectionTransport transport);

// One validated proxy endpoint. Built from a link, every field is canonical:
// the host is a lower-case hostname, a dotted IPv4 address or a compressed
// lower-case IPv6 address (no brackets); `serverName` and `shortID` are lower
// case. `publicKey` is present exactly for REALITY, `serviceName` exactly for
// gRPC.
struct VLESSRealityConfiguration {
  Uuid id;
  std::string host;
  std::uint16_t port = 0;
  VLESSConnectionTransport transport = VLESSConnectionTransport::realityTCP;
  VLESSTransportSecurity security = VLESSTransportSecurity::reality;
  std::string serverName;
  std::optional<std::string> publicKey;
  std::optional<std::string> shortID;
  std::string fingerprint;
  std::optional<std::string> spiderX;
  std::optional<std::string> mldsa65Verify;
  std::optional<std::string> serviceName;
  std::optional<std::string> authority;
  std::optional<std::string> alpn;

  VLESSRealityConfiguration() = default;

  // Parses and validates a share link ("vless://UUID@HOST:PORT?QUERY#remark").
  // Throws invalidVLESSConfiguration for every rejection.
  explicit VLESSRealityConfiguration(std::string_view uri);

  // The complete configuration of one Xray process that offers this endpoint
  // as a SOCKS proxy without authentication on 127.0.0.1:`loopbackPort`:
  // compact UTF-8 JSON with sorted keys. Throws invalidVLESSConfiguration when
  // a REALITY configuration lacks `publicKey`, a gRPC one lacks `serviceName`,
  // or a field is not valid UTF-8.
  std::string xrayJSON(std::uint16_t loopbackPort) const;

  // The stored form of an endpoint host: IPv6 and IPv4 addresses in their
  // canonical text, hostnames lower-cased. Throws invalidVLESSConfiguration.
  static std::string validatedEndpointHost(std::string_view host);

  bool operator==(const VLESSRealityConfiguration&) const = default;
};

// The configuration's fields by name (absent optionals omitted, the id in
// upper case, enumerations as raw values). Carries the user id: for machines,
// never for logs.
void to_json(nlohmann::json& json, const VLESSRealityConfiguration& configuration);

// A saved connection: the name and dates under which a link is kept. The link
// itself lives apart, in a private file; `transport` is derived from it by the
// owner and is not part of the JSON form.
struct VLESSConnection {
  using Date = std::chrono::sys_seconds;  // stored in whole seconds

  Uuid id;
  std::string name;
  Date createdAt;
  Date updatedAt;
  VLESSConnectionTransport transport = VLESSConnectionTransport::realityTCP;

  VLESSConnection() = default;
  // Stores the validated, trimmed name; throws invalidProxyConnectionName.
  VLESSConnection(Uuid id,
                  std::string_view name,
                  Date createdAt,
                  Date updatedAt,
                  VLESSConnectionTransport transport);

  // The name trimmed of white space and line breaks: 1 to 60 user-perceived
  // characters without control or format characters. Throws
  // invalidProxyConnectionName.
  static std::string validatedName(std::string_view name);

  bool operator==(const VLESSConnection&) const = default;
};

// Exactly the keys "id", "name", "createdAt", "updatedAt"; dates in ISO 8601
// whole seconds (UTC, "Z"). Decoding requires exactly the four keys and keeps
// the validated name; an invalid name, like any other shape failure, is a
// nlohmann or jsonio::ShapeError exception that `jsonio::decode` turns into
// the caller's error. The decoded transport is realityTCP until the owner
// reads the link.
void to_json(nlohmann::json& json, const VLESSConnection& connection);
void from_json(const nlohmann::json& json, VLESSConnection& connection);

}  // namespace korvelin
