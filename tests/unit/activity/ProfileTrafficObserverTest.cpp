#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core/activity/ProfileTrafficObserver.h"

namespace korvelin {
namespace {

constexpr std::uint16_t kProxyPort = 40000;
constexpr std::int32_t kRoot = 100, kXray = 50;

LiveProcessIdentity process(std::int32_t pid, std::uint32_t uid = 501) {
  return {pid,   kRoot, uid, 1000, static_cast<std::uint64_t>(pid), "/bin/p" + std::to_string(pid),
          "boot"};
}

ObservedTCPSocket established(std::uint16_t local, std::uint16_t remote) {
  return {local, remote, true, true, platform::kTcpEstablished};
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
    sockets[pid].push_back(established(clientPort, kProxyPort));
    sockets[kXray].push_back(established(kProxyPort, clientPort));
  }

  ProfileTrafficObserver observer() {
    ProfileTrafficObserver observer;
    observer.identity = [this](std::int32_t pid) -> std::optional<LiveProcessIdentity> {
      auto it = identities.find(pid);
      if (it == identities.end())
        return std::nullopt;
      return it->second;
    };
    observer.children = [this](std::int32_t pid) -> std::optional<std::vector<std::int32_t>> {
      if (pid == kRoot && ++rootListings == 2 && change)
        change(*this);
      return children[pid];
    };
    observer.sockets = [this](std::int32_t pid) -> std::optional<std::vector<ObservedTCPSocket>> {
      auto it = sockets.find(pid);
      if (it == sockets.end())
        return std::nullopt;
      return it->second;
    };
    return observer;
  }

  std::optional<bool> observe(ProfileProxyConfiguration proxy = {ProfileProxyScheme::socks5,
                                                                 "127.0.0.1", kProxyPort}) {
    return observer().observe(
        {Uuid::random(), process(kRoot), process(kXray), proxy, Uuid::random()});
  }
};

TEST(ProfileTrafficObserverTest, AnswersFromTheTables) {
  const std::optional<bool> yes = true, no = false, unavailable = std::nullopt;
  struct Row {
    const char* name;
    std::function<void(World&)> setUp;
    std::optional<bool> expected;
    ProfileProxyConfiguration proxy{ProfileProxyScheme::socks5, "127.0.0.1", kProxyPort};
  };
  const std::vector<Row> rows = {
      {"a grandchild's connection",
       [](World& w) { w.add(kRoot, 101), w.add(101, 102), w.connect(102, 51000); }, yes},
      {"the root's own connection", [](World& w) { w.connect(kRoot, 51000); }, yes},
      {"no connection at all", [](World& w) { w.add(kRoot, 101); }, no},
      {"a client whose peer the engine does not hold",
       [](World& w) { w.sockets[kRoot].push_back(established(51000, kProxyPort)); }, no},
      {"the engine holds the peer of another port",
       [](World& w) {
         w.sockets[kRoot].push_back(established(51000, kProxyPort));
         w.sockets[kXray].push_back(established(kProxyPort, 51001));
       },
       no},
      {"a connection not yet established",
       [](World& w) {
         w.connect(kRoot, 51000);
         w.sockets[kRoot][0].state = 2;
       },
       no},
      {"a client on another address than 127.0.0.1",
       [](World& w) {
         w.connect(kRoot, 51000);
         w.sockets[kRoot][0].localIsLoopback = false;
       },
       no},
      {"a listener on the proxy port is not a client",
       [](World& w) {
         w.sockets[kRoot].push_back(established(kProxyPort, kProxyPort));
         w.sockets[kXray].push_back(established(kProxyPort, kProxyPort));
       },
       no},
      {"a proxy named localhost",
       [](World& w) { w.connect(kRoot, 51000); },
       unavailable,
       {ProfileProxyScheme::socks5, "localhost", kProxyPort}},
      {"an http proxy",
       [](World& w) { w.connect(kRoot, 51000); },
       unavailable,
       {ProfileProxyScheme::http, "127.0.0.1", kProxyPort}},
      {"a root replaced under the same pid",
       [](World& w) { w.identities[kRoot].startMicroseconds = 7; }, unavailable},
      {"an engine that is gone", [](World& w) { w.identities.erase(kXray); }, unavailable},
      {"an engine of another user", [](World& w) { w.identities[kXray].uid = 502; }, unavailable},
      {"a child of another user", [](World& w) { w.add(kRoot, 101, 0); }, unavailable},
      {"a child that cannot be identified",
       [](World& w) {
         w.add(kRoot, 101);
         w.identities.erase(101);
       },
       unavailable},
      {"a child listed twice", [](World& w) { w.add(kRoot, 101), w.add(kRoot, 101); }, unavailable},
      {"a child id below 2", [](World& w) { w.children[kRoot] = {1}; }, unavailable},
      {"a socket table that cannot be read",
       [](World& w) { w.add(kRoot, 101), w.sockets.erase(101); }, unavailable},
      {"a child that ends between the two looks",
       [](World& w) {
         w.add(kRoot, 101);
         w.change = [](World& w) { w.children[kRoot].clear(); };
       },
       unavailable},
      {"a child that starts between the two looks",
       [](World& w) { w.change = [](World& w) { w.add(kRoot, 101); }; }, unavailable},
      {"the connected process ends before it is seen again",
       [](World& w) {
         w.add(kRoot, 101), w.connect(101, 51000);
         w.change = [](World& w) { w.children[kRoot].clear(); };
       },
       unavailable},
      {"a connection seen while another child starts",
       [](World& w) {
         w.add(kRoot, 101), w.connect(101, 51000);
         w.change = [](World& w) { w.add(kRoot, 102); };
       },
       yes},
  };
  for (const auto& row : rows) {
    World world;
    row.setUp(world);
    EXPECT_EQ(world.observe(row.proxy), row.expected) << row.name;
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
  const ProfileTrafficObservationContext context{
      Uuid::random(),
      process(kRoot),
      process(kXray),
      {ProfileProxyScheme::socks5, "127.0.0.1", kProxyPort},
      Uuid::random()};
  EXPECT_EQ(world.observer().state(context, 42), ProfileTrafficState::observed(42));
  world.sockets[kXray].clear();
  EXPECT_EQ(world.observer().state(context, 43), ProfileTrafficState::notObserved());
  world.identities.erase(kRoot);
  EXPECT_EQ(world.observer().state(context, 44), ProfileTrafficState::unavailable());
}

}  // namespace
}  // namespace korvelin
