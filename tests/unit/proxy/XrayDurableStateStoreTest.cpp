// The durable sidecar record on real files: its JSON and page format, the
// bootstrap rule, which page wins, and the refusal of unsafe files.

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/files/FilePath.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayStateRecords.h"

namespace korvelin {
namespace {

using ::testing::ElementsAre;
using testing::expectCoreError;
using ::testing::HasSubstr;
using ::testing::Matcher;
using testing::recordForSequence;
using ::testing::StartsWith;
constexpr auto fileBytes = &testing::readText;

const Uuid kProfile = *Uuid::parse("0D5B6F0E-2C3A-4B7D-9E1F-2A3B4C5D6E7F");
const Uuid kOther = *Uuid::parse("9A8B7C6D-5E4F-4A3B-8C2D-1E0F9A8B7C6D");
constexpr std::size_t kPage = XrayStatePage::kSize;

// The page's digest recomputed, so that only the damage under test remains.
std::string resealed(std::string page) {
  crypto_hash_sha256(reinterpret_cast<unsigned char*>(page.data()) + kPage - 32,
                     reinterpret_cast<const unsigned char*>(page.data()), kPage - 32);
  return page;
}

std::string pageWithJSON(std::uint64_t sequence, const std::string& json) {
  std::string page = *XrayStatePage::encode(XrayDurableState::emptyRecord(kProfile), sequence);
  std::fill(page.begin() + 8, page.end(), '\0');
  const auto length = static_cast<std::uint32_t>(json.size());
  std::memcpy(page.data() + 8, &length, 4);  // the build machine is little-endian
  std::memcpy(page.data() + 12, json.data(), std::min(json.size(), kPage - 44));
  return resealed(page);
}

TEST(XrayDurableStateFormat, RecordsKeepTheirKeysAndPagesRefuseDamage) {
  XrayDurableState full = recordForSequence(kProfile, 3);
  full.connectionID = full.generation = kOther;
  full.childPID = -1;
  full.capability = std::string(64, 'f');
  full.guardianIdentity = LiveProcessIdentity{7, 7, 501, 1700000000, 42, "/g", "B"};
  auto keys = [](const XrayDurableState& state) {
    const nlohmann::json json = state;
    std::vector<std::string> names;
    for (const auto& [key, value] : json.items())
      names.push_back(key);
    return names;
  };
  EXPECT_EQ(keys(full),
            (std::vector<std::string>{"capability", "childPID", "connectionID", "generation",
                                      "guardianIdentity", "guardianPID", "loopbackPort",
                                      "profileID", "protocolVersion", "socketPath", "status"}));
  EXPECT_EQ(keys(XrayDurableState::emptyRecord(kProfile)),
            (std::vector<std::string>{"profileID", "status"}));
  EXPECT_EQ(nlohmann::json(full)["status"], "active");
  const auto page = XrayStatePage::encode(full, 5);
  ASSERT_TRUE(page);
  EXPECT_EQ(XrayStatePage::decode(*page), (XrayStatePage{5, full}));

  const std::string id = kProfile.uppercaseString();
  std::string flipped = *page;
  flipped[100] ^= 1;
  const struct {
    const char* name;
    std::string bytes;
  } damaged[] = {
      {"digest mismatch", flipped},
      {"short page", page->substr(1)},
      {"sequence 0", pageWithJSON(0, nlohmann::json(full).dump())},
      {"length 0", pageWithJSON(1, "")},
      {"length 16341", pageWithJSON(1, std::string(16341, ' '))},
      {"unknown key", pageWithJSON(1, R"({"profileID":")" + id + R"(","status":"empty","pid":1})")},
      {"unknown status", pageWithJSON(1, R"({"profileID":")" + id + R"(","status":"stopped"})")},
      {"port out of range",
       pageWithJSON(1, R"({"loopbackPort":65536,"profileID":")" + id + R"(","status":"active"})")},
      {"not JSON", pageWithJSON(1, "{")},
  };
  for (const auto& [name, bytes] : damaged)
    EXPECT_FALSE(XrayStatePage::decode(bytes)) << name;
  // Null reads as absent.
  EXPECT_EQ(XrayStatePage::decode(pageWithJSON(
                1, R"({"childPID":null,"profileID":")" + id + R"(","status":"empty"})")),
            (XrayStatePage{1, XrayDurableState::emptyRecord(kProfile)}));

  // The JSON may fill the page up to 16340 bytes and not one byte more.
  XrayDurableState large = XrayDurableState::emptyRecord(kProfile);
  large.socketPath = "";
  large.socketPath->assign(16340 - nlohmann::json(large).dump().size(), 'x');
  EXPECT_TRUE(XrayStatePage::encode(large, 1));
  large.socketPath->push_back('x');
  EXPECT_FALSE(XrayStatePage::encode(large, 1));
}

class XrayDurableStateStoreTest : public ::testing::Test {
 protected:
  XrayDurableStateStoreTest() : base(temp.child("base")), paths(kProfile, base) {
    testing::makeDirectory(base);
    ProfilePreparer(temp.child("default")).prepare(paths);
  }

  std::string file(std::string_view name) const {
    return appendingPathComponent(paths.root(), name);
  }
  std::string stateFile() const { return file(XrayDurableStateStore::kStateFileName); }

  void bootstrap() {
    store.withLockedState(paths, true, [](const XrayDurableState&, XrayDurableStateWriter&) {});
  }
  void putPage(int index, const std::string& bytes) {
    ASSERT_TRUE(testing::overwriteState(paths, index * static_cast<off_t>(kPage), bytes));
  }
  std::optional<XrayStatePage> page(int index) const {
    return XrayStatePage::decode(fileBytes(stateFile()).substr(index * kPage, kPage));
  }
  // Every way of reading must refuse, and the reason must name `name`.
  void expectEveryReadRefused(std::string_view name) {
    for (const auto& read : std::vector<std::function<void()>>{
             [&] { store.withLockedState(paths, true, [](auto&, auto&) { ADD_FAILURE(); }); },
             [&] { store.read(paths); }, [&] { store.readOnly(paths); }}) {
      refusals.clear();
      EXPECT_EQ(expectCoreError(read), KorvelinCoreError::profileRecoveryRequired(kProfile));
      EXPECT_THAT(refusals, ElementsAre(HasSubstr(name)));
    }
  }

  testing::ScopedTempDir temp;
  std::string base;
  ProfilePaths paths;
  std::vector<std::string> refusals;
  XrayDurableStateStore store{{},
                              [this](const std::string& detail) { refusals.push_back(detail); }};
};

TEST_F(XrayDurableStateStoreTest, OnlyBootstrapCreatesTheMarkerAndTheEmptyRecord) {
  EXPECT_EQ(store.read(paths), std::nullopt);
  EXPECT_EQ(expectCoreError([&] { store.readOnly(paths); }),
            KorvelinCoreError::profileRecoveryRequired(kProfile));
  EXPECT_FALSE(testing::exists(file(".xray-operation-lock")));

  expectCoreError([&] {
    store.withLockedState(paths, false,
                          [](const XrayDurableState&, XrayDurableStateWriter&) { ADD_FAILURE(); });
  });
  EXPECT_TRUE(testing::exists(file(".xray-operation-lock")));
  EXPECT_FALSE(testing::exists(file(".xray-managed-v1")));
  EXPECT_FALSE(testing::exists(stateFile()));

  const auto sequence = store.withLockedState(
      paths, true, [](const XrayDurableState& current, XrayDurableStateWriter& writer) {
        EXPECT_EQ(current, XrayDurableState::emptyRecord(kProfile));
        return writer.sequence();
      });
  EXPECT_EQ(sequence, 1u);
  for (auto [name, size] :
       {std::pair{".xray-operation-lock", 0}, {".xray-managed-v1", 0}, {".xray-state", 32768}}) {
    struct stat info {};
    ASSERT_EQ(::lstat(file(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode, S_IFREG | 0600) << name;
    EXPECT_EQ(info.st_size, size) << name;
  }
  EXPECT_EQ(page(0), (XrayStatePage{1, XrayDurableState::emptyRecord(kProfile)}));
  EXPECT_EQ(fileBytes(stateFile()).substr(kPage), std::string(kPage, '\0'));
  EXPECT_EQ(store.read(paths), XrayDurableState::emptyRecord(kProfile));
  EXPECT_EQ(store.readOnly(paths), XrayDurableState::emptyRecord(kProfile));
}

TEST_F(XrayDurableStateStoreTest, FilesOfAnotherSizeAreRefusedAndLeftAsTheyAre) {
  const std::pair<const char*, off_t> damages[] = {
      {".xray-state", 32767}, {".xray-state", 32769}, {".xray-operation-lock", 1}};
  for (const auto& [name, size] : damages) {
    SCOPED_TRACE(std::string(name) + ": " + std::to_string(size) + " bytes");
    testing::ScopedTempDir fresh;
    base = fresh.child("base");
    testing::makeDirectory(base);
    paths = ProfilePaths(kProfile, base);
    ProfilePreparer(fresh.child("default")).prepare(paths);
    bootstrap();
    const std::string path = file(name);
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
    const std::string bytes = fileBytes(path);
    expectEveryReadRefused(name);
    EXPECT_EQ(fileBytes(path), bytes);
  }
}

TEST_F(XrayDurableStateStoreTest, TheNewestValidPageOfTheProfileWins) {
  auto rec = [](std::uint64_t sequence) { return recordForSequence(kProfile, sequence); };
  auto sealed = [](std::uint64_t sequence, const XrayDurableState& state) {
    return *XrayStatePage::encode(state, sequence);
  };
  auto torn = [&](std::uint64_t sequence) {
    std::string page = sealed(sequence, rec(sequence));
    std::fill(page.begin() + 4096, page.begin() + 8192, '\0');
    return page;
  };
  XrayDurableState otherRecord = rec(8);
  otherRecord.profileID = kOther;
  const struct {
    const char* name;
    std::string page0, page1;
    std::optional<std::uint64_t> winner;  // absent: refused
  } cases[] = {
      {"7 and 8", sealed(8, rec(8)), sealed(7, rec(7)), 8},
      {"newer page torn", torn(8), sealed(7, rec(7)), 7},
      {"older page torn", sealed(8, rec(8)), torn(7), 8},
      {"both torn", torn(8), torn(7), std::nullopt},
      {"same sequence, same record", sealed(8, rec(8)), sealed(8, rec(8)), 8},
      {"same sequence, different records", sealed(8, rec(8)), sealed(8, rec(9)), std::nullopt},
      {"another profile's record", sealed(8, otherRecord), sealed(7, rec(7)), std::nullopt},
  };
  bootstrap();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    putPage(0, c.page0);
    putPage(1, c.page1);
    if (!c.winner) {
      expectEveryReadRefused(".xray-state");
      continue;
    }
    EXPECT_EQ(store.readOnly(paths), rec(*c.winner));
    EXPECT_EQ(store.read(paths), rec(*c.winner));
  }

  // After 7 and 8, sequence 9 goes to page 1 and 8 survives in page 0.
  putPage(0, sealed(8, rec(8)));
  putPage(1, sealed(7, rec(7)));
  store.withLockedState(paths, false,
                        [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                          EXPECT_EQ(current, rec(8));
                          writer.write(rec(100));
                        });
  EXPECT_EQ(page(1), (XrayStatePage{9, rec(100)}));
  EXPECT_EQ(page(0), (XrayStatePage{8, rec(8)}));
}

TEST_F(XrayDurableStateStoreTest, WritesAreConfirmedOneByOneAndBadOnesChangeNothing) {
  bootstrap();
  XrayDurableState foreign = recordForSequence(kOther, 2);
  XrayDurableState oversized = XrayDurableState::emptyRecord(kProfile);
  oversized.socketPath = std::string(16400, 's');

  const int result = store.withLockedState(
      paths, false, [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
        writer.write(recordForSequence(kProfile, 2));
        writer.write(recordForSequence(kProfile, 3));
        EXPECT_EQ(writer.sequence(), 3u);
        EXPECT_EQ(writer.current(), recordForSequence(kProfile, 3));
        EXPECT_EQ(current, XrayDurableState::emptyRecord(kProfile));

        const std::string before = fileBytes(stateFile());
        EXPECT_EQ(expectCoreError([&] { writer.write(foreign); }),
                  KorvelinCoreError::profileIdentifierMismatch());
        EXPECT_EQ(expectCoreError([&] { writer.write(oversized); }),
                  KorvelinCoreError::profileRecoveryRequired(kProfile));
        EXPECT_EQ(fileBytes(stateFile()), before);
        EXPECT_EQ(writer.sequence(), 3u);

        // Readers never wait for a writer: another store, or this one, fails at once.
        XrayDurableStateStore observer;
        EXPECT_EQ(expectCoreError([&] { observer.readOnly(paths); }),
                  KorvelinCoreError::profileRecoveryRequired(kProfile));
        EXPECT_EQ(expectCoreError([&] { store.readOnly(paths); }),
                  KorvelinCoreError::profileRecoveryRequired(kProfile));
        return 42;
      });
  EXPECT_EQ(result, 42);
  EXPECT_EQ(store.readOnly(paths), recordForSequence(kProfile, 3));

  // The body's own error passes through and the lock is released.
  EXPECT_EQ(expectCoreError([&] {
              store.withLockedState(paths, false,
                                    [](const XrayDurableState&, XrayDurableStateWriter&) {
                                      throw KorvelinCoreError::alreadyRunning(kProfile);
                                    });
            }),
            KorvelinCoreError::alreadyRunning(kProfile));
  EXPECT_EQ(store.readOnly(paths), recordForSequence(kProfile, 3));
}

// A write is judged by what the file holds after the sync, also where the
// store has read or written that page before.
TEST_F(XrayDurableStateStoreTest, AWriteIsJudgedByWhatTheFileHoldsAfterTheSync) {
  auto rec = [](std::uint64_t sequence) { return recordForSequence(kProfile, sequence); };
  std::string torn = *XrayStatePage::encode(rec(3), 3);
  torn[100] ^= 1;
  // Sequence 3 is written to page 1.
  const auto put = [&](int index, const std::string& bytes) {
    return [this, index, bytes] { putPage(index, bytes); };
  };
  // The opened file keeps its one link, under another name.
  const auto replace = [&] {
    testing::makeFile(stateFile() + ".copy", 0600, fileBytes(stateFile()));
    ASSERT_EQ(::rename(stateFile().c_str(), (stateFile() + ".old").c_str()), 0);
    ASSERT_EQ(::rename((stateFile() + ".copy").c_str(), stateFile().c_str()), 0);
  };
  const auto readBack = StartsWith("reading back .xray-state gave sequence");
  const std::vector<std::tuple<const char*, std::function<void()>, Matcher<std::string>>> cases = {
      {"the state file replaced", replace, "no longer the opened file: .xray-state"},
      {"the written page torn", put(1, torn), readBack},
      {"the written page holding another record", put(1, *XrayStatePage::encode(rec(4), 3)),
       readBack},
      {"a newer record in the other page", put(0, *XrayStatePage::encode(rec(4), 4)), readBack},
  };
  bootstrap();
  for (const auto& [name, damage, refusal] : cases) {
    SCOPED_TRACE(name);
    putPage(0, *XrayStatePage::encode(rec(2), 2));
    putPage(1, std::string(kPage, '\0'));
    refusals.clear();
    XrayDurableStateStore damaging(
        [&](std::string_view point, std::uint64_t) {
          if (point == "page.afterSync")
            damage();
        },
        [this](const std::string& detail) { refusals.push_back(detail); });
    EXPECT_EQ(expectCoreError([&] {
                damaging.withLockedState(paths, false,
                                         [&](auto&, auto& writer) { writer.write(rec(3)); });
              }),
              KorvelinCoreError::profileRecoveryRequired(kProfile));
    EXPECT_THAT(refusals, ElementsAre(refusal));
  }
}

}  // namespace
}  // namespace korvelin
