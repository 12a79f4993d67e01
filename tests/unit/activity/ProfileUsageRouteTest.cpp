#include <gtest/gtest.h>

#include "core/activity/ProfileUsageRoute.h"
#include "core/profile/AppProfile.h"

namespace korvelin {

void PrintTo(const ProfileUsageRoute& route, std::ostream* out) {
  *out << route.description();
}

namespace {

using Route = ProfileUsageRoute;

ProfileProxyConfiguration socks(std::string_view host, int port) {
  return ProfileProxyConfiguration(ProfileProxyScheme::socks5, host, port);
}

TEST(ProfileUsageRouteTest, RouteFromArguments) {
  const std::string app = "/opt/app/app";
  const std::string server = "--proxy-server=socks5://127.0.0.1:1080";
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    Route expected;
  };
  const std::vector<Row> rows = {
      {"no proxy options", {app, "--user-data-dir=/p/user-data", "--lang=en"}, Route::system()},
      {"proxy only inside another switch's value",
       {app, "--enable-features=proxy-x", "--user-data-dir=/proxy-1"},
       Route::system()},
      {"canonical socks5 on loopback",
       {app, "--user-data-dir=/p", server},
       Route::proxy(socks("127.0.0.1", 1080))},
      {"http proxy by host name",
       {app, "--proxy-server=http://proxy.example.com:3128"},
       Route::proxy(
           ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy.example.com", 3128))},
      {"https proxy on IPv6 loopback",
       {app, "--proxy-server=https://[::1]:8443"},
       Route::proxy(ProfileProxyConfiguration(ProfileProxyScheme::https, "::1", 8443))},
      {"bypass list beside the server",
       {app, server, "--proxy-bypass-list=localhost"},
       Route::unavailable()},
      {"server given twice", {app, server, server}, Route::unavailable()},
      {"trailing slash", {app, server + "/"}, Route::unavailable()},
      {"upper-case scheme", {app, "--proxy-server=SOCKS5://127.0.0.1:1080"}, Route::unavailable()},
      {"unsupported scheme", {app, "--proxy-server=socks4://127.0.0.1:1080"}, Route::unavailable()},
      {"no port", {app, "--proxy-server=socks5://127.0.0.1"}, Route::unavailable()},
      {"padded port", {app, "--proxy-server=socks5://127.0.0.1:01080"}, Route::unavailable()},
      {"user and password",
       {app, "--proxy-server=socks5://u:p@127.0.0.1:1080"},
       Route::unavailable()},
      {"query", {app, server + "?x=1"}, Route::unavailable()},
      {"shortened IPv4", {app, "--proxy-server=socks5://127.1:1080"}, Route::unavailable()},
      {"IPv6 without brackets", {app, "--proxy-server=socks5://::1:1080"}, Route::unavailable()},
      {"value as the next argument",
       {app, "--proxy-server", "socks5://127.0.0.1:1080"},
       Route::unavailable()},
      {"single dash", {app, "-proxy-server=socks5://127.0.0.1:1080"}, Route::unavailable()},
      {"mixed case switch", {app, "--Proxy-Server=socks5://127.0.0.1:1080"}, Route::unavailable()},
      {"no proxy server", {app, "--no-proxy-server"}, Route::unavailable()},
      {"PAC script behind white space",
       {app, "\u00a0 --proxy-pac-url=http://x/p.pac"},
       Route::unavailable()},
      {"resolver rules", {app, "--host-resolver-rules=MAP * 10.0.0.1"}, Route::unavailable()},
      {"end of switches", {app, "--", "file"}, Route::unavailable()},
  };
  for (const auto& row : rows)
    EXPECT_EQ(Route::observed(row.arguments), row.expected) << row.name;
}

TEST(ProfileUsageRouteTest, ReconcilesTheObservedRouteWithTheProfile) {
  const Uuid generation = *Uuid::parse("0C7E3A52-2D4B-4E8E-9A61-5B0F3C2D1E4F");
  const auto sidecar = socks("127.0.0.1", 41000);
  AppProfile direct;
  AppProfile manual;
  manual.proxy = ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy.example.com", 3128);
  AppProfile vless;
  vless.proxyConnectionID = *Uuid::parse("5A1B2C3D-4E5F-4061-8172-93A4B5C6D7E8");
  struct Row {
    const char* name;
    const AppProfile& profile;
    Route observed;
    Route verified;
    Route expected;
  };
  const std::vector<Row> rows = {
      {"direct profile on the system route", direct, Route::system(), Route::unavailable(),
       Route::system()},
      {"direct profile found behind a proxy", direct, Route::proxy(sidecar), Route::unavailable(),
       Route::unavailable()},
      {"manual proxy as configured", manual, Route::proxy(*manual.proxy), Route::unavailable(),
       Route::proxy(*manual.proxy)},
      {"manual proxy found on another port", manual,
       Route::proxy(ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy.example.com", 3129)),
       Route::unavailable(), Route::unavailable()},
      {"manual proxy found on the system route", manual, Route::system(), Route::unavailable(),
       Route::unavailable()},
      {"VLESS sidecar verified with a generation", vless, Route::proxy(sidecar),
       Route::proxy(sidecar, generation), Route::proxy(sidecar, generation)},
      {"VLESS sidecar verified without a generation", vless, Route::proxy(sidecar),
       Route::proxy(sidecar), Route::unavailable()},
      {"VLESS sidecar on another port", vless, Route::proxy(socks("127.0.0.1", 41001)),
       Route::proxy(sidecar, generation), Route::unavailable()},
      {"VLESS host spelled differently", vless, Route::proxy(socks("localhost", 41000)),
       Route::proxy(sidecar, generation), Route::unavailable()},
      {"VLESS profile found on the system route", vless, Route::system(),
       Route::proxy(sidecar, generation), Route::unavailable()},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.observed.matchingRestored(row.profile, row.verified), row.expected) << row.name;
}

}  // namespace
}  // namespace korvelin
