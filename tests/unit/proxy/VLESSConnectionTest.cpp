// VLESS links, their engine configurations and saved connections.

#include <sys/stat.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/JsonSupport.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/VLESSConnectionRepository.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin {
namespace {

using Case = KorvelinCoreError::Case;
using testing::exists;
using testing::makeFile;

using Transport = VLESSConnectionTransport;

const std::string kUser = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string kKey = "SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc";  // 43 bytes
const std::string kServer = "vless://" + kUser + "@example.com:443?";
const std::string kTcp =
    "type=tcp&security=reality&sni=www.example.com&fp=chrome"
    "&flow=xtls-rprx-vision&pbk=" +
    kKey;
const std::string kGrpcTls = "type=grpc&security=tls&sni=proxy.example.com&serviceName=tunnel";
const std::string kGrpcReality =
    "type=grpc&security=reality&sni=www.example.com&fp=safari&serviceName=tunnel&pbk=" + kKey;

// Every refusal is the one error with its fixed text: no part of the link
// leaks into a message.
bool rejects(const std::string& link) {
  auto description = testing::thrownDescription(Case::invalidVLESSConfiguration,
                                                [&] { VLESSRealityConfiguration{link}; });
  if (description) {
    EXPECT_EQ(*description, "The VLESS link is invalid or uses unsupported settings.");
  }
  return description.has_value();
}

TEST(VLESSLinkTest, RejectsEverythingOutsideTheSupportedShapes) {
  struct Row {
    const char* why;
    std::string link;
  };
  const std::string tcp = kServer + kTcp;
  const std::string realityTcp = kServer + "type=tcp&security=reality&sni=a.com";
  const std::string grpcTls = kServer + "type=grpc&security=tls&sni=a.com";
  const std::vector<Row> cases = {
      {"empty", ""},
      {"leading space", " " + tcp},
      {"trailing line break", tcp + "\n"},
      {"capital scheme", "VLESS://" + tcp.substr(8)},
      {"too long", tcp + "#" + std::string(32768 - tcp.size(), 'a')},
      // Query items.
      {"alpn on TCP", tcp + "&alpn=h2"},
      {"duplicate name", tcp + "&type=tcp"},
      {"item without value", tcp + "&sid"},
      {"empty name", tcp + "&=x"},
      {"empty item", tcp + "&"},
      {"unknown name on TCP", tcp + "&headerType=none"},
      {"escaped duplicate name", tcp + "&%74ype=tcp"},
      {"raw space in a value", kServer + kGrpcTls + "&authority=a b"},
      {"broken escape", tcp + "&spx=%2"},
      {"escape that is not UTF-8", tcp + "&spx=/%ff"},
      {"encryption other than none", tcp + "&encryption=aes-128-gcm"},
      // Shapes.
      {"TCP with TLS", kServer + "type=tcp&security=tls&sni=a.example.com&fp=chrome"},
      {"no security", kServer + "type=tcp&security=none&sni=a.example.com"},
      {"websocket", kServer + "type=ws&security=tls&sni=a.example.com"},
      {"type missing", kServer + "security=tls&sni=a.example.com&serviceName=x"},
      {"sni missing", kServer + "type=grpc&security=tls&serviceName=x"},
      {"sni with underscore", kServer + "type=grpc&security=tls&sni=a_b.com&serviceName=x"},
      {"sni with trailing dot", kServer + "type=grpc&security=tls&sni=a.com.&serviceName=x"},
      {"sni label starting with -", kServer + "type=grpc&security=tls&sni=-a.com&serviceName=x"},
      {"sni label of 64 bytes",
       kServer + "type=grpc&security=tls&serviceName=x&sni=" + std::string(64, 'a') + ".com"},
      {"flow missing", realityTcp + "&fp=chrome&pbk=" + kKey},
      {"other flow", realityTcp + "&fp=chrome&flow=xtls-rprx-direct&pbk=" + kKey},
      {"flow on gRPC", kServer + kGrpcTls + "&flow=xtls-rprx-vision"},
      {"fp missing on TCP", realityTcp + "&flow=xtls-rprx-vision&pbk=" + kKey},
      {"fp missing on gRPC REALITY",
       kServer + "type=grpc&security=reality&sni=a.com&serviceName=x&pbk=" + kKey},
      {"unknown fp", kServer + kGrpcTls + "&fp=opera"},
      {"pbk missing", realityTcp + "&fp=chrome&flow=xtls-rprx-vision"},
      {"pbk of 31 bytes", tcp.substr(0, tcp.size() - kKey.size()) + kKey.substr(0, 31)},
      {"pbk of 65 bytes", tcp + std::string(22, 'A')},
      {"pbk with padding", tcp + "="},
      {"pbk on gRPC TLS", kServer + kGrpcTls + "&pbk=" + kKey},
      // REALITY optionals.
      {"odd sid", tcp + "&sid=abc"},
      {"17-character sid", tcp + "&sid=0123456789abcdef0"},
      {"non-hex sid", tcp + "&sid=zz"},
      {"spx not starting with /", tcp + "&spx=path"},
      {"empty spx", tcp + "&spx="},
      {"spx of 513 bytes", tcp + "&spx=/" + std::string(512, 'a')},
      {"pqv of 63 bytes", tcp + "&pqv=" + std::string(63, 'A')},
      // gRPC.
      {"gRPC mode multi", kServer + kGrpcTls + "&mode=multi"},
      {"serviceName missing", grpcTls},
      {"empty serviceName", grpcTls + "&serviceName="},
      {"serviceName with leading space", grpcTls + "&serviceName=%20x"},
      {"serviceName with a control character", grpcTls + "&serviceName=a%01b"},
      {"serviceName of 1025 bytes", grpcTls + "&serviceName=" + std::string(1025, 's')},
      {"alpn other than h2", kServer + kGrpcTls + "&alpn=http/1.1"},
      {"authority not a hostname", kServer + kGrpcTls + "&authority=a_b"},
      // User, host, port, path.
      {"no user", "vless://example.com:443?" + kTcp},
      {"user not a UUID", "vless://b831381d@example.com:443?" + kTcp},
      {"password", "vless://" + kUser + ":secret@example.com:443?" + kTcp},
      {"two at signs", "vless://x@" + kUser + "@example.com:443?" + kTcp},
      {"leading-zero IPv4 part", "vless://" + kUser + "@203.0.113.07:443?" + kTcp},
      {"three-part IPv4", "vless://" + kUser + "@1.2.3:443?" + kTcp},
      {"unbracketed IPv6", "vless://" + kUser + "@::1:443?" + kTcp},
      {"bracketed hostname", "vless://" + kUser + "@[example.com]:443?" + kTcp},
      {"IPv6 zone", "vless://" + kUser + "@[fe80::1%25eth0]:443?" + kTcp},
      {"escaped host", "vless://" + kUser + "@ex%61mple.com:443?" + kTcp},
      {"port 0", "vless://" + kUser + "@example.com:0?" + kTcp},
      {"port 65536", "vless://" + kUser + "@example.com:65536?" + kTcp},
      {"port with leading zero", "vless://" + kUser + "@example.com:0443?" + kTcp},
      {"port missing", "vless://" + kUser + "@example.com?" + kTcp},
      {"port empty", "vless://" + kUser + "@example.com:?" + kTcp},
      {"path", "vless://" + kUser + "@example.com:443/?" + kTcp},
      {"second number sign", tcp + "#a#b"},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(rejects(c.link)) << c.why;
}

// Every link here keeps the other parts of `kTcp`.
TEST(VLESSLinkTest, StoresCanonicalForms) {
  const auto stored = [](const std::string& link) {
    const VLESSRealityConfiguration c(link);
    return std::tuple{c.host, c.serverName, c.shortID, c.fingerprint};
  };
  const std::string user = "vless://" + kUser + "@";
  const std::string server = "www.example.com";
  using Stored = std::tuple<std::string, std::string, std::optional<std::string>, std::string>;
  const std::vector<std::tuple<const char*, std::string, Stored>> cases = {
      {"IPv6 in capitals: compressed, lower case, no brackets",
       user + "[2001:DB8:0:0:0:0:0:1]:443?" + kTcp,
       {"2001:db8::1", server, {}, "chrome"}},
      {"IPv4-mapped IPv6",
       user + "[::FFFF:192.0.2.1]:443?" + kTcp,
       {"::ffff:192.0.2.1", server, {}, "chrome"}},
      {"dotted IPv4 unchanged",
       user + "203.0.113.7:443?" + kTcp,
       {"203.0.113.7", server, {}, "chrome"}},
      {"hostname and sni lower-cased; gRPC with TLS defaults to chrome",
       user + "Proxy.EXAMPLE.com:443?type=grpc&security=tls&sni=WWW.Example.Com&serviceName=t",
       {"proxy.example.com", server, {}, "chrome"}},
      {"sid lower-cased",
       kServer + kTcp + "&sid=6BA85179E30D4FC2",
       {"example.com", server, "6ba85179e30d4fc2", "chrome"}},
      {"empty sid kept", kServer + kTcp + "&sid=", {"example.com", server, "", "chrome"}},
      // One byte longer is refused above.
      {"longest link",
       kServer + kTcp + "#" + std::string(32767 - kServer.size() - kTcp.size(), 'a'),
       {"example.com", server, {}, "chrome"}},
  };
  for (const auto& [why, link, expected] : cases)
    EXPECT_EQ(stored(link), expected) << why;
}

// Golden configurations: sorted keys, compact, exactly the keys Xray needs,
// `flow` only for TCP with REALITY. Split only for reading; the pieces join
// without separators.
TEST(XrayConfigurationTest, GoldenOutputForEachShape) {
  const std::string inbound =
      R"({"inbounds":[{"listen":"127.0.0.1","port":1080,"protocol":"socks",)"
      R"("settings":{"auth":"noauth","udp":false}}],"log":{"loglevel":"warning"},)";
  const std::string key = R"("publicKey":"SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc",)";
  const std::string pqv(64, 'Q');
  struct Row {
    std::string link;
    std::string outbound;
  };
  const std::vector<Row> cases = {
      // Upper-case user, escaped spider path, a remark: all normalised away.
      {"vless://B831381D-6324-4D53-AD4F-8CDA48B30811@example.com:443?" + kTcp +
           "&encryption=none&sid=AB&spx=%2Fsearch%3Fq%3D1&pqv=" + pqv + "#Home%20%F0%9F%87%A9",
       R"("outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"example.com",)"
       R"("port":443,"users":[{"encryption":"none","flow":"xtls-rprx-vision",)"
       R"("id":"b831381d-6324-4d53-ad4f-8cda48b30811"}]}]},)"
       R"("streamSettings":{"network":"tcp","realitySettings":{"fingerprint":"chrome",)"
       R"("mldsa65Verify":")" +
           pqv + R"(",)" + key +
           R"("serverName":"www.example.com","shortId":"ab","spiderX":"/search?q=1"},)"
           R"("security":"reality"}}]})"},
      // The authority is kept as written.
      {"vless://" + kUser + "@[2001:db8::1]:8443?" + kGrpcTls +
           "&mode=gun&alpn=h2&authority=Cdn.Example.net&fp=firefox",
       R"("outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"2001:db8::1",)"
       R"("port":8443,"users":[{"encryption":"none",)"
       R"("id":"b831381d-6324-4d53-ad4f-8cda48b30811"}]}]},)"
       R"("streamSettings":{"grpcSettings":{"authority":"Cdn.Example.net","multiMode":false,)"
       R"("serviceName":"tunnel"},"network":"grpc","security":"tls",)"
       R"("tlsSettings":{"alpn":["h2"],"fingerprint":"firefox",)"
       R"("serverName":"proxy.example.com"}}}]})"},
      {kServer + kGrpcReality + "&alpn=h2",
       R"("outbounds":[{"protocol":"vless","settings":{"vnext":[{"address":"example.com",)"
       R"("port":443,"users":[{"encryption":"none",)"
       R"("id":"b831381d-6324-4d53-ad4f-8cda48b30811"}]}]},)"
       R"("streamSettings":{"grpcSettings":{"multiMode":false,"serviceName":"tunnel"},)"
       R"("network":"grpc","realitySettings":{"alpn":["h2"],"fingerprint":"safari",)" +
           key + R"("serverName":"www.example.com"},"security":"reality"}}]})"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(VLESSRealityConfiguration(c.link).xrayJSON(1080), inbound + c.outbound) << c.link;
}

TEST(XrayConfigurationTest, RefusesIncompleteHandBuiltConfigurations) {
  VLESSRealityConfiguration reality(kServer + kGrpcReality);
  auto noKey = reality;
  noKey.publicKey.reset();
  auto noService = reality;
  noService.serviceName.reset();
  auto notUtf8 = reality;
  notUtf8.serviceName = "\xff";
  for (const auto* configuration : {&noKey, &noService, &notUtf8})
    EXPECT_TRUE(testing::thrownDescription(Case::invalidVLESSConfiguration,
                                           [&] { configuration->xrayJSON(1080); }));
}

TEST(VLESSConnectionTest, NameRule) {
  std::string sixtyGraphemes;  // e + combining acute: 120 code points
  for (int i = 0; i < 60; ++i)
    sixtyGraphemes += "e\xCC\x81";
  struct Row {
    const char* why;
    std::string name;
    std::optional<std::string> stored;  // absent: refused
  };
  const std::vector<Row> cases = {
      {"plain", "Work", "Work"},
      {"trimmed", " \t Home VPN\n", "Home VPN"},
      {"ideographic space trimmed", "\xE3\x80\x80Tokyo\xE3\x80\x80", "Tokyo"},
      {"60 ASCII characters", std::string(60, 'n'), std::string(60, 'n')},
      {"60 characters after trimming", "  " + std::string(60, 'n') + "  ", std::string(60, 'n')},
      {"61 characters", std::string(61, 'n'), {}},
      {"60 user-perceived characters of two code points", sixtyGraphemes, sixtyGraphemes},
      {"empty", "", {}},
      {"only white space", " \n\t ", {}},
      {"tab in the middle", "a\tb", {}},
      {"format character (soft hyphen)", "a\u00ADb", {}},
      {"zero-width space", "a\u200Bb", {}},
      {"not UTF-8", "a\xff", {}},
  };
  for (const auto& c : cases) {
    std::optional<std::string> stored;
    auto refused = testing::thrownDescription(
        Case::invalidProxyConnectionName, [&] { stored = VLESSConnection::validatedName(c.name); });
    EXPECT_EQ(stored, c.stored) << c.why;
    EXPECT_EQ(refused.has_value(), !c.stored.has_value()) << c.why;
  }
}

TEST(VLESSConnectionTest, JsonRoundTripAndStrictDecoding) {
  const auto created = std::chrono::sys_seconds{std::chrono::seconds{1767608430}};
  const VLESSConnection connection(*Uuid::parse(kUser), "  Office ", created,
                                   created + std::chrono::hours{1}, Transport::grpc);
  EXPECT_EQ(connection.name, "Office");

  const nlohmann::json json = connection;
  EXPECT_EQ(jsonio::compact(json),
            R"({"createdAt":"2026-01-05T10:20:30Z","id":"B831381D-6324-4D53-AD4F-8CDA48B30811",)"
            R"("name":"Office","updatedAt":"2026-01-05T11:20:30Z"})");
  auto decoded = json.get<VLESSConnection>();
  EXPECT_EQ(decoded.transport, Transport::realityTCP);  // not stored; the link decides
  decoded.transport = Transport::grpc;
  EXPECT_EQ(decoded, connection);

  auto withOffset = json;
  withOffset["createdAt"] = "2026-01-05T13:20:30+03:00";
  EXPECT_EQ(withOffset.get<VLESSConnection>().createdAt, created);

  auto with = [&](const char* key, const char* value) {
    auto changed = json;
    changed[key] = value;
    return changed;
  };
  auto missingKey = json;
  missingKey.erase("updatedAt");
  const std::vector<std::pair<const char*, nlohmann::json>> bad = {
      {"extra key", with("transport", "grpc")},
      {"missing key", missingKey},
      {"fractional seconds", with("createdAt", "2026-01-05T10:20:30.5Z")},
      {"impossible date", with("createdAt", "2026-02-30T10:20:30Z")},
      {"invalid name", with("name", "a\tb")},
      {"id not a UUID", with("id", "x")},
  };
  for (const auto& [why, document] : bad) {
    EXPECT_TRUE(testing::thrownDescription(Case::proxyConnectionStorageFailed, [&] {
      jsonio::decode(document.dump(), &KorvelinCoreError::proxyConnectionStorageFailed,
                     "connection",
                     [](const nlohmann::json& j) { return j.get<VLESSConnection>(); });
    })) << why;
  }
}

const std::string kLink = kServer + kTcp + "&sid=6ba85179e30d4fc2#Home";
const std::string kGrpcLink = kServer + kGrpcTls;
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
