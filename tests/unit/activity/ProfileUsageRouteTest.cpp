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
  const auto proxy = [](ProfileProxyScheme scheme, std::string_view host, int port) {
    return Route::proxy(ProfileProxyConfiguration(scheme, host, port));
  };
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    Route expected;
  } rows[] = {
      {"no proxy options", {app, "--user-data-dir=/p/user-data", "--lang=en"}, Route::system()},
      {"proxy only inside another switch's value",
       {app, "--enable-features=proxy-x", "--user-data-dir=/proxy-1"},
       Route::system()},
      {"canonical socks5 on loopback",
       {app, "--user-data-dir=/p", server},
       Route::proxy(socks("127.0.0.1", 1080))},
      {"http proxy by host name",
       {app, "--proxy-server=http://proxy.example.com:3128"},
       proxy(ProfileProxyScheme::http, "proxy.example.com", 3128)},
      {"https proxy on IPv6 loopback",
       {app, "--proxy-server=https://[::1]:8443"},
       proxy(ProfileProxyScheme::https, "::1", 8443)},
  };
  for (const auto& row : rows)
    EXPECT_EQ(Route::observed(row.arguments), row.expected) << row.name;
  // Whatever the route cannot be told from, or could be other than it looks.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {server, "--proxy-bypass-list=localhost"},
           {server, server},
           {server + "/"},
           {"--proxy-server=SOCKS5://127.0.0.1:1080"},
           {"--proxy-server=socks4://127.0.0.1:1080"},
           {"--proxy-server=socks5://127.0.0.1"},
           {"--proxy-server=socks5://127.0.0.1:01080"},
           {"--proxy-server=socks5://u:p@127.0.0.1:1080"},
           {server + "?x=1"},
           {"--proxy-server=socks5://127.1:1080"},
           {"--proxy-server=socks5://::1:1080"},
           {"--proxy-server", "socks5://127.0.0.1:1080"},
           {"-proxy-server=socks5://127.0.0.1:1080"},
           {"--Proxy-Server=socks5://127.0.0.1:1080"},
           {"--no-proxy-server"},
           {"\u00a0 --proxy-pac-url=http://x/p.pac"},
           {"--host-resolver-rules=MAP * 10.0.0.1"},
           {"--", "file"},
       }) {
    std::vector<std::string> command{app};
    command.insert(command.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(Route::observed(command), Route::unavailable()) << arguments.back();
  }
}

TEST(ProfileUsageRouteTest, ReconcilesTheObservedRouteWithTheProfile) {
  const Uuid generation = *Uuid::parse("0C7E3A52-2D4B-4E8E-9A61-5B0F3C2D1E4F");
  const auto sidecar = socks("127.0.0.1", 41000);
  AppProfile direct;
  AppProfile manual;
  manual.proxy = ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy.example.com", 3128);
  AppProfile vless;
  vless.proxyConnectionID = *Uuid::parse("5A1B2C3D-4E5F-4061-8172-93A4B5C6D7E8");
  const Route none = Route::unavailable(), system = Route::system(),
              sidecarRoute = Route::proxy(sidecar);
  const Route verified = Route::proxy(sidecar, generation),
              manualRoute = Route::proxy(*manual.proxy);
  const Route otherPort =
      Route::proxy(ProfileProxyConfiguration(ProfileProxyScheme::http, "proxy.example.com", 3129));
  const struct {
    const char* name;
    const AppProfile& profile;
    Route observed, verified, expected;
  } rows[] = {
      {"direct profile on the system route", direct, system, none, system},
      {"direct profile found behind a proxy", direct, sidecarRoute, none, none},
      {"manual proxy as configured", manual, manualRoute, none, manualRoute},
      {"manual proxy found on another port", manual, otherPort, none, none},
      {"manual proxy found on the system route", manual, system, none, none},
      {"VLESS sidecar verified with a generation", vless, sidecarRoute, verified, verified},
      {"VLESS sidecar verified without a generation", vless, sidecarRoute, sidecarRoute, none},
      {"VLESS sidecar on another port", vless, Route::proxy(socks("127.0.0.1", 41001)), verified,
       none},
      {"VLESS host spelled differently", vless, Route::proxy(socks("localhost", 41000)), verified,
       none},
      {"VLESS profile found on the system route", vless, system, verified, none},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.observed.matchingRestored(row.profile, row.verified), row.expected) << row.name;
}

}  // namespace
}  // namespace korvelin
