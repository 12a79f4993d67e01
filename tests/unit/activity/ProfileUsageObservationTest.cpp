// How a run's use of its proxy is observed: the route its command line
// names, reconciled with its profile, and whether its processes talk through
// the sidecar, from tables of processes and sockets.

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core/activity/ProfileTrafficObserver.h"
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

constexpr std::uint16_t kProxyPort = 40000;
constexpr std::int32_t kRoot = 100, kXray = 50;

LiveProcessIdentity process(std::int32_t pid, std::uint32_t uid = 501) {
  return {pid,   kRoot, uid, 1000, static_cast<std::uint64_t>(pid), "/bin/p" + std::to_string(pid),
          "boot"};
}

ObservedTCPSocket established(std::uint16_t local, std::uint16_t remote) {
  return {local, remote, true, true, platform::kTcpEstablished};
}

const ProfileProxyConfiguration kSocks(ProfileProxyScheme::socks5, "127.0.0.1", kProxyPort);

// What `map` holds for `pid`, absent when it holds nothing.
template <typename Map>
std::optional<typename Map::mapped_type> lookup(const Map& map, std::int32_t pid) {
  const auto it = map.find(pid);
  return it == map.end() ? std::nullopt : std::optional(it->second);
}

// A process table the observer reads through its injected readers; `change`
// runs once after the first full walk of the tree, to move the world under
// the observer's feet.
struct World {
  std::map<std::int32_t, LiveProcessIdentity> identities{{kRoot, process(kRoot)},
                                                         {kXray, process(kXray)}};
  std::map<std::int32_t, std::vector<std::int32_t>> children;
  std::map<std::int32_t, std::vector<ObservedTCPSocket>> sockets{{kRoot, {}}, {kXray, {}}};
  std::function<void(World&)> change;
  int rootListings = 0;

  void add(std::int32_t parent, std::int32_t pid, std::uint32_t uid = 501) {
    children[parent].push_back(pid);
    identities[pid] = process(pid, uid);
    sockets[pid];
  }

  // The client in `pid` and the engine's end of the same connection.
  void connect(std::int32_t pid, std::uint16_t clientPort) {
    client(pid, clientPort);
    client(kXray, kProxyPort, clientPort);
  }
  // One end of a connection, held by `pid`.
  void client(std::int32_t pid, std::uint16_t local, std::uint16_t remote = kProxyPort) {
    sockets[pid].push_back(established(local, remote));
  }

  ProfileTrafficObserver observer() {
    ProfileTrafficObserver observer;
    observer.identity = [this](std::int32_t pid) { return lookup(identities, pid); };
    observer.children = [this](std::int32_t pid) -> std::optional<std::vector<std::int32_t>> {
      if (pid == kRoot && ++rootListings == 2 && change)
        change(*this);
      return children[pid];
    };
    observer.sockets = [this](std::int32_t pid) { return lookup(sockets, pid); };
    return observer;
  }

  static ProfileTrafficObservationContext context(ProfileProxyConfiguration proxy = kSocks) {
    return {Uuid::random(), process(kRoot), process(kXray), proxy, Uuid::random()};
  }
  std::optional<bool> observe(ProfileProxyConfiguration proxy = kSocks) {
    return observer().observe(context(proxy));
  }
};

TEST(ProfileTrafficObserverTest, AnswersFromTheTables) {
  using Setup = std::function<void(World&)>;
  const Setup nothing = [](World&) {};
  const Setup child = [](auto& w) { w.add(kRoot, 101); };
  const Setup connectedChild = [](auto& w) { w.add(kRoot, 101), w.connect(101, 51000); };
  const Setup rootConnected = [](auto& w) { w.connect(kRoot, 51000); };
  const Setup childEnds = [](auto& w) { w.children[kRoot].clear(); };
  const Setup childStarts = [](auto& w) { w.add(kRoot, 102); };
  // `setUp` makes the world; `change` moves it after the first walk.
  struct Row {
    const char* name;
    Setup setUp;
    Setup change = nullptr;
  };
  const std::vector<Row> yes = {
      {"a grandchild's connection",
       [](auto& w) { w.add(kRoot, 101), w.add(101, 102), w.connect(102, 51000); }},
      {"the root's own connection", rootConnected},
      {"a connection seen while another child starts", connectedChild, childStarts},
  };
  const std::vector<Row> no = {
      {"no connection at all", child},
      {"a client whose peer the engine does not hold", [](auto& w) { w.client(kRoot, 51000); }},
      {"the engine holds the peer of another port",
       [](auto& w) { w.client(kRoot, 51000), w.client(kXray, kProxyPort, 51001); }},
      {"a connection not yet established",
       [](auto& w) { w.connect(kRoot, 51000), w.sockets[kRoot][0].state = 2; }},
      {"a client on another address than 127.0.0.1",
       [](auto& w) { w.connect(kRoot, 51000), w.sockets[kRoot][0].localIsLoopback = false; }},
      {"a listener on the proxy port is not a client",
       [](auto& w) { w.connect(kRoot, kProxyPort); }},
  };
  const std::vector<Row> unavailable = {
      {"a root replaced under the same pid",
       [](auto& w) { w.identities[kRoot].startMicroseconds = 7; }},
      {"an engine that is gone", [](auto& w) { w.identities.erase(kXray); }},
      {"an engine of another user", [](auto& w) { w.identities[kXray].uid = 502; }},
      {"a child of another user", [](auto& w) { w.add(kRoot, 101, 0); }},
      {"a child that cannot be identified",
       [](auto& w) { w.add(kRoot, 101), w.identities.erase(101); }},
      {"a child listed twice", [](auto& w) { w.add(kRoot, 101), w.add(kRoot, 101); }},
      {"a child id below 2", [](auto& w) { w.children[kRoot] = {1}; }},
      {"a socket table that cannot be read",
       [](auto& w) { w.add(kRoot, 101), w.sockets.erase(101); }},
      {"a child that ends between the two looks", child, childEnds},
      {"a child that starts between the two looks", nothing, childStarts},
      {"the connected process ends before it is seen again", connectedChild, childEnds},
  };
  for (const auto& [rows, expected] :
       {std::pair(yes, std::optional(true)), std::pair(no, std::optional(false)),
        std::pair(unavailable, std::optional<bool>())}) {
    for (const auto& row : rows) {
      World world;
      row.setUp(world);
      world.change = row.change;
      EXPECT_EQ(world.observe(), expected) << row.name;
    }
  }
  // Only a SOCKS5 proxy on 127.0.0.1 can be matched with the engine's sockets.
  for (const auto& proxy :
       {ProfileProxyConfiguration(ProfileProxyScheme::socks5, "localhost", kProxyPort),
        ProfileProxyConfiguration(ProfileProxyScheme::http, "127.0.0.1", kProxyPort)}) {
    World world;
    world.connect(kRoot, 51000);
    EXPECT_EQ(world.observe(proxy), std::nullopt) << proxy.uri();
  }
}

TEST(ProfileTrafficObserverTest, TreesAreBoundedInWidthAndSize) {
  // 128 children fit the kernel's buffer; 129 may have been cut short.
  std::vector<std::pair<std::int32_t, std::int32_t>> table{{kRoot, 1}};
  for (std::int32_t i = 0; i < 128; ++i)
    table.emplace_back(1000 - i, kRoot);
  const auto children = ProfileTrafficObserver::childrenIn(table, kRoot);
  ASSERT_TRUE(children);
  EXPECT_EQ(children->size(), 128u);
  EXPECT_TRUE(std::is_sorted(children->begin(), children->end()));
  table.emplace_back(5000, kRoot);
  EXPECT_FALSE(ProfileTrafficObserver::childrenIn(table, kRoot));

  // The root and 512 descendants are held; one more fails the walk.
  for (const int descendants : {512, 513}) {
    World world;
    for (std::int32_t i = 0; i < descendants; ++i) {
      const std::int32_t pid = 1000 + i;
      world.add(i < 100 ? kRoot : 1000 + (i - 100) / 100, pid);
    }
    EXPECT_EQ(world.observe(), descendants == 512 ? std::optional(false) : std::nullopt)
        << descendants;
  }
}

TEST(ProfileTrafficObserverTest, StateShowsTheAnswer) {
  World world;
  world.connect(kRoot, 51000);
  const auto context = World::context();
  EXPECT_EQ(world.observer().state(context, 42), ProfileTrafficState::observed(42));
  world.sockets[kXray].clear();
  EXPECT_EQ(world.observer().state(context, 43), ProfileTrafficState::notObserved());
  world.identities.erase(kRoot);
  EXPECT_EQ(world.observer().state(context, 44), ProfileTrafficState::unavailable());
}

}  // namespace
}  // namespace korvelin
