#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "core/activity/ProfileActivityJournal.h"
#include "core/base/CoreError.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/FileTreeHelpers.h"
#include "tests/support/TempDir.h"

namespace korvelin {

void PrintTo(const ProfileActivityEvent& event, std::ostream* out) {
  *out << activityEventJSON(event);
}

namespace {

using Case = KorvelinCoreError::Case;
using testing::expectCoreError;
using testing::makeDirectory;
using testing::makeFile;
using testing::readText;

const Uuid kProfile = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const Uuid kEvent = *Uuid::parse("8d9b2c4e-1f3a-4b5c-9d6e-7f8091a2b3c4");

ProfileActivityEvent sampleEvent(std::optional<std::string> proxyName = "Office") {
  return {.id = kEvent,
          .profileID = kProfile,
          .kind = ProfileActivityKind::proxyUnavailableWhileRunning,
          .occurredAt = ReferenceDate::fromUnixTime(1780000000.25),
          .proxyName = std::move(proxyName),
          .detail = "SOCKS5 port 41000 stopped answering \"/health\""};
}

TEST(ProfileActivityEventTest, LinesKeepFieldOrderAndCountFrom2001) {
  EXPECT_EQ(
      activityEventJSON(sampleEvent()),
      R"({"id":"8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4","profileID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)"
      R"("kind":"proxyUnavailableWhileRunning","occurredAt":801692800.25,"proxyName":"Office",)"
      R"("detail":"SOCKS5 port 41000 stopped answering \"/health\""})");
  const std::string withoutName = activityEventJSON(sampleEvent(std::nullopt));
  EXPECT_EQ(withoutName.find("proxyName"), std::string::npos);
  EXPECT_EQ(parseProfileActivityEvent(withoutName), sampleEvent(std::nullopt));
  EXPECT_EQ(parseProfileActivityEvent(activityEventJSON(sampleEvent())), sampleEvent());
}

TEST(ProfileActivityEventTest, DecodesOnlyWellFormedEvents) {
  const std::string id = R"("id":"8D9B2C4E-1F3A-4B5C-9D6E-7F8091A2B3C4",)";
  const std::string profile = R"("profileID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)";
  const std::string kind = R"("kind":"proxyDisconnected",)";
  const std::string rest = kind + R"("occurredAt":5,"detail":"d")";
  auto line = [&](const std::string& middle) { return "{" + id + profile + middle + "}"; };
  EXPECT_TRUE(parseProfileActivityEvent(line(rest)));
  EXPECT_TRUE(parseProfileActivityEvent(line(R"("proxyName":null,)" + rest)))
      << "null name is absent";
  EXPECT_TRUE(parseProfileActivityEvent(R"({"id":"8d9b2c4e-1f3a-4b5c-9d6e-7f8091a2b3c4",)" +
                                        profile + rest + "}"))
      << "lower-case UUIDs decode";
  const std::string longDetail = std::string(kMaximumActivityLineBytes, 'x');
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"not JSON", "{"},
      {"array", "[]"},
      {"missing detail", line(kind + R"("occurredAt":5)")},
      {"unknown key", line(rest + R"(,"extra":1)")},
      {"unknown kind", line(R"("kind":"proxyLost","occurredAt":5,"detail":"d")")},
      {"date as text", line(kind + R"("occurredAt":"5","detail":"d")")},
      {"date beyond double", line(kind + R"("occurredAt":1e999,"detail":"d")")},
      {"name not a string", line(R"("proxyName":7,)" + rest)},
      {"profile not a UUID", "{" + id + R"("profileID":"me",)" + rest + "}"},
      {"not UTF-8", line(kind + R"("occurredAt":5,"detail":"\xff")")},
      {"longer than the limit", line(kind + R"("occurredAt":5,"detail":")" + longDetail + "\"")},
  };
  for (const auto& [name, text] : refused)
    EXPECT_FALSE(parseProfileActivityEvent(text)) << name;
}

// One journal from nothing: refusals that write nothing, appends to a private
// file, then reads of the newest lines amid lines to skip.
TEST(ProfileActivityJournalTest, AppendsWholePrivateLinesAndReadsTheNewestBack) {
  testing::ScopedTempDir temp;
  const ProfilePaths paths(kProfile, temp.child("base"));
  makeDirectory(paths.baseDirectory());
  ProfilePreparer(paths.baseDirectory()).prepare(paths);
  const std::string file = paths.logs() + "/activity.jsonl";
  ProfileActivityJournal journal;
  EXPECT_EQ(readProfileActivityJournal(paths, 4096), ProfileActivityJournalContents{})
      << "no journal yet";

  auto foreign = sampleEvent();
  foreign.profileID = Uuid::random();
  EXPECT_EQ(expectCoreError([&] { journal.append(foreign, paths); }).errorCase(),
            Case::profileIdentifierMismatch);
  auto invalidText = sampleEvent();
  invalidText.detail = "\xc3";
  EXPECT_EQ(expectCoreError([&] { journal.append(invalidText, paths); }).errorCase(),
            Case::logCreationFailed);
  EXPECT_FALSE(testing::exists(file)) << "refused before any file is touched";

  const auto first = sampleEvent();
  const ProfileActivityEvent second{.profileID = kProfile,
                                    .kind = ProfileActivityKind::proxyConnectionAvailable};
  journal.append(first, paths);
  EXPECT_EQ(testing::modeOf(file), 0600u);
  journal.append(second, paths);
  EXPECT_EQ(readText(file), activityEventJSON(first) + "\n" + activityEventJSON(second) + "\n");
  EXPECT_NE(first.id, second.id) << "every event gets its own identifier";
  const auto contents = readProfileActivityJournal(paths, 1 << 20);
  EXPECT_EQ(contents.events, (std::vector<ProfileActivityEvent>{first, second}));
  EXPECT_EQ(contents.ignoredLineCount, 0u);

  // Three lines of the same length, then a garbage line, an empty one and
  // another profile's event.
  std::vector<ProfileActivityEvent> events{first, second};
  for (int i = 0; i < 3; ++i) {
    events.push_back(sampleEvent());
    events.back().id = Uuid::random();
    journal.append(events.back(), paths);
  }
  std::ofstream(file, std::ios::app) << "not json\n\n" << activityEventJSON(foreign) << "\n";
  const std::size_t lineBytes = activityEventJSON(events[2]).size() + 1;
  const std::size_t tail =
      std::string("not json\n\n").size() + activityEventJSON(foreign).size() + 1;

  auto whole = readProfileActivityJournal(paths, 1 << 20);
  EXPECT_EQ(whole.events, events);
  EXPECT_EQ(whole.ignoredLineCount, 2u) << "the garbage line and the other profile's event";

  auto lastTwoWhole = readProfileActivityJournal(paths, 2 * lineBytes + tail);
  EXPECT_EQ(lastTwoWhole.events, std::vector(events.begin() + 3, events.end()));
  EXPECT_EQ(lastTwoWhole.ignoredLineCount, 2u)
      << "a window starting on a line boundary cuts nothing";

  auto cut = readProfileActivityJournal(paths, 2 * lineBytes + tail - 1);
  EXPECT_EQ(cut.events, std::vector(events.begin() + 4, events.end()));
  EXPECT_EQ(cut.ignoredLineCount, 3u);

  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  const auto error = expectCoreError([&] { readProfileActivityJournal(paths, 4096); });
  EXPECT_EQ(error.errorCase(), Case::unsafeProfilePath);
  EXPECT_EQ(error.detail(), "unsafe activity journal");
}

}  // namespace
}  // namespace korvelin
