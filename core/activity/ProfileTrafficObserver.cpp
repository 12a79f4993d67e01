#include "core/activity/ProfileTrafficObserver.h"

#include <algorithm>
#include <deque>
#include <set>

#include <nlohmann/json.hpp>

namespace korvelin {

namespace {

// The whole process table, read once for one walk; far above any real
// system's process count, so that a runaway table cannot be read forever.
constexpr std::size_t kProcessTableLimit = 1 << 22;

struct ProcessNode {
  LiveProcessIdentity identity;
  std::optional<std::int32_t> parentPID;

  bool operator==(const ProcessNode&) const = default;
};

using Snapshot = std::vector<ProcessNode>;

bool isEstablishedLoopback(const ObservedTCPSocket& socket) {
  return socket.localIsLoopback && socket.remoteIsLoopback &&
         socket.state == platform::kTcpEstablished;
}

class Observation {
 public:
  Observation(const ProfileTrafficObserver& observer,
              const ProfileTrafficObservationContext& context)
      : observer_(observer), context_(context) {}

  std::optional<bool> run() {
    const auto& proxy = context_.proxy;
    if (proxy.scheme != ProfileProxyScheme::socks5 || proxy.host != "127.0.0.1")
      return std::nullopt;
    if (!identitiesHold())
      return std::nullopt;
    const auto first = snapshot();
    if (!first)
      return std::nullopt;
    const auto engineSockets = observer_.sockets(context_.xray.pid);
    if (!engineSockets)
      return std::nullopt;
    for (const auto& node : *first) {
      const auto sockets = observer_.sockets(node.identity.pid);
      if (!sockets)
        return std::nullopt;
      if (!std::any_of(sockets->begin(), sockets->end(),
                       [&](const auto& s) { return matches(s, *engineSockets); }))
        continue;
      if (!identitiesHold())
        return std::nullopt;
      const auto again = snapshot();
      if (!again || std::find_if(again->begin(), again->end(), [&](const ProcessNode& other) {
                      return other.identity == node.identity;
                    }) == again->end())
        return std::nullopt;
      return true;
    }
    if (!identitiesHold())
      return std::nullopt;
    const auto again = snapshot();
    if (!again || *again != *first)
      return std::nullopt;  // the tree changed while looking
    return false;
  }

 private:
  bool matches(const ObservedTCPSocket& client,
               const std::vector<ObservedTCPSocket>& engine) const {
    const std::uint16_t port = context_.proxy.port;
    if (!isEstablishedLoopback(client) || client.remotePort != port || client.localPort == port)
      return false;
    return std::any_of(engine.begin(), engine.end(), [&](const ObservedTCPSocket& server) {
      return isEstablishedLoopback(server) && server.localPort == client.remotePort &&
             server.remotePort == client.localPort;
    });
  }

  bool identitiesHold() const {
    const auto root = observer_.identity(context_.root.pid);
    const auto xray = observer_.identity(context_.xray.pid);
    return root && xray && *root == context_.root && *xray == context_.xray &&
           root->uid == xray->uid && root->bootSessionID == xray->bootSessionID;
  }

  std::optional<std::vector<std::int32_t>> childrenOf(
      std::int32_t pid,
      const std::optional<std::vector<std::pair<std::int32_t, std::int32_t>>>& table) const {
    if (observer_.children)
      return observer_.children(pid);
    if (!table)
      return std::nullopt;
    return ProfileTrafficObserver::childrenIn(*table, pid);
  }

  // The root's tree, breadth first, each node with its parent.
  std::optional<Snapshot> snapshot() const {
    std::optional<std::vector<std::pair<std::int32_t, std::int32_t>>> table;
    if (!observer_.children) {
      table = platform::processParents(kProcessTableLimit);
      if (!table)
        return std::nullopt;
    }
    Snapshot nodes{{context_.root, std::nullopt}};
    std::set<std::int32_t> visited{context_.root.pid};
    for (std::size_t next = 0; next < nodes.size(); ++next) {
      const std::int32_t parent = nodes[next].identity.pid;
      const auto children = childrenOf(parent, table);
      if (!children)
        return std::nullopt;
      for (const std::int32_t child : *children) {
        if (child < 2 || !visited.insert(child).second)
          return std::nullopt;
        const auto identity = observer_.identity(child);
        if (!identity || identity->uid != context_.root.uid ||
            identity->bootSessionID != context_.root.bootSessionID)
          return std::nullopt;
        if (nodes.size() > ProfileTrafficObserver::kMaxNodes)
          return std::nullopt;
        nodes.push_back({*identity, parent});
      }
    }
    return nodes;
  }

  const ProfileTrafficObserver& observer_;
  const ProfileTrafficObservationContext& context_;
};

}  // namespace

std::string_view rawValue(ProfileTrafficState::Kind kind) {
  switch (kind) {
    case ProfileTrafficState::Kind::observed:
      return "observed";
    case ProfileTrafficState::Kind::notObserved:
      return "notObserved";
    case ProfileTrafficState::Kind::unavailable:
      break;
  }
  return "unavailable";
}

void to_json(nlohmann::json& json, const ProfileTrafficState& state) {
  json = {{"state", rawValue(state.kind)}};
  if (state.isObserved())
    json["observedAt"] = state.observedAt;
}

std::optional<bool> ProfileTrafficObserver::observe(
    const ProfileTrafficObservationContext& context) const {
  try {
    return Observation(*this, context).run();
  } catch (...) {
    return std::nullopt;  // a reader that failed in its own way is missing evidence too
  }
}

ProfileTrafficState ProfileTrafficObserver::state(const ProfileTrafficObservationContext& context,
                                                  double now) const {
  const auto answer = observe(context);
  if (!answer)
    return ProfileTrafficState::unavailable();
  return *answer ? ProfileTrafficState::observed(now) : ProfileTrafficState::notObserved();
}

std::optional<std::vector<std::int32_t>> ProfileTrafficObserver::childrenIn(
    const std::vector<std::pair<std::int32_t, std::int32_t>>& parents,
    std::int32_t pid) {
  std::vector<std::int32_t> children;
  for (const auto& [child, parent] : parents) {
    if (parent != pid)
      continue;
    if (child < 2 || children.size() + 1 >= kChildRoom)
      return std::nullopt;
    children.push_back(child);
  }
  std::sort(children.begin(), children.end());
  return children;
}

std::optional<std::vector<std::int32_t>> ProfileTrafficObserver::liveChildren(std::int32_t pid) {
  const auto table = platform::processParents(kProcessTableLimit);
  if (!table)
    return std::nullopt;
  return childrenIn(*table, pid);
}

std::optional<std::vector<ObservedTCPSocket>> ProfileTrafficObserver::liveSockets(
    std::int32_t pid) {
  return platform::tcpSockets(pid);
}

}  // namespace korvelin
