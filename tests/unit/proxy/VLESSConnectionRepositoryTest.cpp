#include "core/proxy/VLESSConnectionRepository.h"

#include <sys/stat.h>

#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::errorCaseOf;
using testing::exists;
using testing::makeFile;

const std::string kLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@203.0.113.5:443?type=tcp&security=reality"
    "&sni=www.example.com&fp=chrome&flow=xtls-rprx-vision&sid=6ba85179e30d4fc2"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc#Home";
const std::string kGrpcLink =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@203.0.113.5:443?type=grpc&security=tls"
    "&sni=www.example.com&fp=chrome&serviceName=svc";
const Uuid kFirst = *Uuid::parse("11111111-2222-3333-4444-555555555555");

// A base whose store is written by hand: `count` connections named "c0"...
struct Store {
  testing::ScopedTempDir dir;
  std::string base = dir.path();
  std::string proxy = base + "/ProxyConnections";
  std::string secrets = proxy + "/Secrets";

  VLESSConnectionRepository repository() const { return VLESSConnectionRepository(base, base); }
  std::string linkPath(const Uuid& id) const {
    return secrets + "/" + id.lowercaseString() + ".vless";
  }

  void ensureDirectories() const {
    if (!exists(proxy))
      testing::makeDirectory(proxy);
    if (!exists(secrets))
      testing::makeDirectory(secrets);
  }
  nlohmann::json document(int count) const {
    ensureDirectories();
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
      const Uuid id = i == 0 ? kFirst : Uuid::random();
      list.push_back({{"id", id.uppercaseString()},
                      {"name", "c" + std::to_string(i)},
                      {"createdAt", "2026-01-05T10:20:30Z"},
                      {"updatedAt", "2026-01-05T10:20:30Z"}});
      if (!exists(linkPath(id)))
        putLink(id, kLink);
    }
    return {{"schemaVersion", 1}, {"connections", list}};
  }
  void putLink(const Uuid& id, const std::string& text) const {
    ::unlink(linkPath(id).c_str());
    makeFile(linkPath(id), 0600, text);
  }
  void write(const nlohmann::json& metadata) const {
    ensureDirectories();
    ::unlink((proxy + "/connections.json").c_str());
    makeFile(proxy + "/connections.json", 0600, metadata.dump());
  }
};

struct EdgeCase {
  std::string name;
  std::function<void(Store&)> setup;
  std::function<void(const VLESSConnectionRepository&)> action;
  std::optional<Case> expected;
  std::function<void(const Store&)> check = [](const Store&) {};
};

TEST(VLESSConnectionRepositoryTest, EdgeCases) {
  auto load = [](const VLESSConnectionRepository& r) { r.load(); };
  auto withStore = [](int count, std::function<void(Store&, nlohmann::json&)> edit = {}) {
    return [count, edit](Store& store) {
      auto document = store.document(count);
      if (edit)
        edit(store, document);
      store.write(document);
    };
  };
  auto create = [](std::string name, Uuid id = Uuid::random()) {
    return [name, id](const VLESSConnectionRepository& r) { r.create(id, name, kLink); };
  };
  auto renamed = [](std::string name) {
    return [name](Store& store) {
      store.write(store.document(1));
      store.repository().update(kFirst, name, std::nullopt);
    };
  };
  auto rename = [](std::string name) {
    return [name](const VLESSConnectionRepository& r) { r.update(kFirst, name, std::nullopt); };
  };
  auto firstLink = [&](std::function<void(const Store&, const std::string&)> change) {
    return withStore(1, [change](Store& s, auto&) { change(s, s.linkPath(kFirst)); });
  };
  const auto storageFailed = Case::proxyConnectionStorageFailed;
  const auto duplicateName = Case::duplicateProxyConnectionName;
  const std::string oversized = kLink + std::string(32769 - kLink.size(), 'x');
  const std::vector<EdgeCase> cases = {
      {"50 saved, the 51st refused", withStore(50), create("new"),
       Case::proxyConnectionLimitReached},
      {"49 saved, the 50th kept", withStore(49), create("new"), std::nullopt},
      {"51 on disk", withStore(51), load, storageFailed},
      {"case variant", renamed("Straße"), create("STRASSE"), duplicateName},
      {"Cyrillic case variant", renamed("Москва"), create("мОСКВА"), duplicateName},
      {"own name upper-cased", renamed("Москва"), rename("МОСКВА"), std::nullopt},
      {"rename onto another's name", withStore(2), rename("C1"), duplicateName},
      {"folded names repeat on disk",
       withStore(2, [](Store&, auto& d) { d["connections"][1]["name"] = "C0"; }), load,
       storageFailed},
      {"extra key", withStore(1, [](Store&, auto& d) { d["connections"][0]["remark"] = "x"; }),
       load, storageFailed},
      {"schemaVersion 2", withStore(1, [](Store&, auto& d) { d["schemaVersion"] = 2; }), load,
       storageFailed},
      {"link file 0640", firstLink([](auto&, auto& link) { ::chmod(link.c_str(), 0640); }), load,
       storageFailed},
      {"link file of 32769 bytes", firstLink([&](auto& s, auto&) { s.putLink(kFirst, oversized); }),
       load, storageFailed},
      {"link that does not parse",
       firstLink([](auto& s, auto&) { s.putLink(kFirst, "vless://nothing"); }), load,
       Case::invalidVLESSConfiguration},
      {"orphan link file", withStore(0, [](Store& s, auto&) { s.putLink(kFirst, kGrpcLink); }),
       create("new", kFirst), Case::proxyConnectionAlreadyExists,
       [](const Store& s) { EXPECT_EQ(testing::readText(s.linkPath(kFirst)), kGrpcLink); }},
      {"same id again", withStore(1), create("new", kFirst), Case::proxyConnectionAlreadyExists},
      {"in use", withStore(1),
       [](const VLESSConnectionRepository& r) { r.remove(kFirst, {kFirst}); },
       Case::proxyConnectionInUse,
       [](const Store& s) {
         EXPECT_TRUE(exists(s.linkPath(kFirst)));
         EXPECT_EQ(s.repository().load().connections.size(), 1u);
       }},
      {"no store at all", [](Store&) {}, load, std::nullopt,
       [](const Store& s) { EXPECT_FALSE(exists(s.proxy)); }},
      {"group-readable directory",
       withStore(1, [](Store& s, auto&) { ::chmod(s.secrets.c_str(), 0750); }), load,
       storageFailed},
  };
  for (const auto& edge : cases) {
    SCOPED_TRACE(edge.name);
    Store store;
    edge.setup(store);
    const auto repository = store.repository();
    try {
      edge.action(repository);
      EXPECT_FALSE(edge.expected.has_value());
    } catch (const KorvelinCoreError& e) {
      ASSERT_EQ(std::optional(e.errorCase()), edge.expected) << e.errorDescription();
      if (e.errorCase() == Case::proxyConnectionStorageFailed) {
        EXPECT_EQ(e.errorDescription(), "Proxy connection storage is unavailable or unsafe.");
      }
    }
    edge.check(store);
  }
}

// A write that fails half-way leaves the store as it was before the call.
TEST(VLESSConnectionRepositoryTest, FailedWritesRollBack) {
  Store store;
  auto repository = store.repository();
  repository.create(kFirst, "home", kLink);
  repository.setFaultPoint([](std::string_view point) {
    if (point == "metadata")
      throw std::runtime_error("injected");
  });
  const Uuid second = Uuid::random();
  EXPECT_THROW(repository.create(second, "work", kLink), std::runtime_error);
  EXPECT_FALSE(exists(store.linkPath(second)));
  EXPECT_THROW(repository.update(kFirst, "home", kGrpcLink), std::runtime_error);
  EXPECT_EQ(testing::readText(store.linkPath(kFirst)), kLink);

  repository.setFaultPoint({});
  const auto updated = repository.update(kFirst, "Home", kGrpcLink);
  EXPECT_EQ(updated.transport, VLESSConnectionTransport::grpc);
  EXPECT_EQ(repository.savedURI(kFirst), kGrpcLink);
  EXPECT_EQ(repository.load().connections, std::vector{updated});
}

TEST(VLESSConnectionRepositoryTest, ListsByFoldedNameAndStampsWholeSeconds) {
  Store store;
  const auto moment =
      std::chrono::sys_seconds(std::chrono::seconds(1767608430)) + std::chrono::milliseconds(900);
  VLESSConnectionRepository repository(store.base, store.base, [&] { return moment; });
  for (const char* name : {"zeta", "Äpfel", "alpha", "Beta"})
    repository.create(Uuid::random(), name, kLink);
  std::vector<std::string> names;
  for (const auto& c : repository.load().connections) {
    names.push_back(c.name);
    EXPECT_EQ(c.createdAt.time_since_epoch().count(), 1767608430);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "zeta", "Äpfel"}));
}

}  // namespace
}  // namespace korvelin
