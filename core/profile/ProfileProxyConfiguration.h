#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace korvelin {

enum class ProfileProxyScheme { http, https, socks5 };

inline constexpr std::array<ProfileProxyScheme, 3> kAllProfileProxySchemes = {
    ProfileProxyScheme::http, ProfileProxyScheme::https, ProfileProxyScheme::socks5};

std::string_view rawValue(ProfileProxyScheme scheme);
std::optional<ProfileProxyScheme> profileProxySchemeFromRawValue(std::string_view text);

// A fixed upstream proxy of a profile. The host is always kept in canonical
// form, so two configurations naming the same endpoint compare equal.
struct ProfileProxyConfiguration {
  ProfileProxyScheme scheme = ProfileProxyScheme::http;
  std::string host;
  std::uint16_t port = 0;

  // Throws `invalidProxyConfiguration` for a port outside 1...65535 or a host
  // that `normalizedHost` refuses; stores the normalized host.
  ProfileProxyConfiguration(ProfileProxyScheme scheme, std::string_view host, std::int64_t port);

  // Re-checks a stored value (port not 0, host normalizes) and returns it
  // with the host normalized. Throws like the initializer.
  ProfileProxyConfiguration validated() const;

  // Reads "scheme://host:port" of an http, https or socks5 proxy, the host
  // of an IPv6 address in brackets, the port in decimal; nothing before or
  // after. Throws `invalidProxyConfiguration` with the initializer's texts,
  // or "Proxy must be written as scheme://host:port." for another shape.
  static ProfileProxyConfiguration fromURI(std::string_view uri);

  // host:port, with the host in brackets when it is an IPv6 address.
  std::string endpoint() const;
  // scheme://endpoint, for example socks5://[::1]:1080.
  std::string uri() const;

  // The canonical form of a proxy host: a lower-case ASCII host name, the
  // dotted-quad IPv4 address exactly as the system formats it, or the
  // compressed lower-case IPv6 text (no brackets, no zone). Throws
  // `invalidProxyConfiguration` for anything else.
  static std::string normalizedHost(std::string_view host);

  bool operator==(const ProfileProxyConfiguration&) const = default;
};

// JSON object {"scheme", "host", "port"}. Decoding runs the initializer; every
// failure (missing key, wrong type, invalid value) throws jsonio::ShapeError
// "Invalid proxy configuration.".
void to_json(nlohmann::json& json, const ProfileProxyConfiguration& proxy);
ProfileProxyConfiguration profileProxyConfigurationFromJSON(const nlohmann::json& json);

}  // namespace korvelin
